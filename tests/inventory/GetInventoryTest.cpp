#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <set>

#include "baseutils/Logger.h"
#include "inventory/IPMIInventory.h"
#include "inventory/Stage_IPMIInventory.h"
#include "tests/support/TestSupport.h"
#include "vserver/SimulatedServer.h"

namespace {

// Releases each distinct record once: selective results may repeat one.
void release(std::vector<CDeviceInfo*>& devices) {
    std::set<CDeviceInfo*> distinct(devices.begin(), devices.end());
    for (CDeviceInfo* record : distinct) {
        delete record;
    }
    devices.clear();
}

std::vector<std::string> displays(const std::vector<CDeviceInfo*>& devices) {
    std::vector<std::string> names;
    for (const CDeviceInfo* record : devices) {
        names.push_back(record->getDeviceName());
    }
    return names;
}

// The entry points on the whole road, against the default virtual server
// whose record store answers with the test's document.
class InventoryTest : public ::testing::Test {
protected:
    InventoryTest() { copyDataFiles(cwd.path()); }

    void SetUp() override { CLogger::GetInstance()->Close(); }
    void TearDown() override {
        CLogger::GetInstance()->Close();
        release(devices);
    }

    void setDocument(const std::string& text) {
        server.controller().settings().records.currentRecords = text;
    }

    std::string log() { return readTextFile("IPMIInventoryLog.txt"); }
    bool logged(const std::string& message) {
        return log().find(": " + message + "\n") != std::string::npos;
    }

    SimulatedServer server{loadServerDescription(bundledServersDirectory() + "/default.xml")};
    ScopedWorkingDirectory cwd;
    std::vector<CDeviceInfo*> devices;
};

}  // namespace

TEST_F(InventoryTest, ReadsComponentAndPCIDevicesAndAppendsAfterExistingEntries) {
    setDocument(
        "<?xml version=\"1.0\"?><Envelope><SVMInventory lang=\"en\">"
        "<Device componentID=\"101\" display=\"A\">"
        "<Application componentType=\"FRMW\" version=\"1.2\" display=\"AFW\"/></Device>"
        "<Device componentID=\"7\" display=\"NIC\" vendorID=\"8086\" deviceID=\"1f\""
        " subVendorID=\"1028\" subDeviceID=\"0a\"> <Note/>"
        "<Application componentType=\"BIOS\" version=\"1\" display=\"first\"/>"
        "<Application componentType=\"FRMW\" version=\"2\" display=\"last\"/></Device>"
        "<Device componentID=\"303\" display=\"bare\"/>"
        "<Device><Application/></Device>"
        "<SPStatus result=\"true\"/></SVMInventory></Envelope>");
    devices.push_back(new CDeviceInfo());
    GetInventory(devices);

    ASSERT_EQ(5u, devices.size());
    const CDeviceInfo& component = *devices[1];
    EXPECT_EQ("101", component.getComponentID());
    EXPECT_EQ("A", component.getDeviceName());
    EXPECT_EQ(2, component.getDeviceType());
    EXPECT_EQ("FRMW", component.getComponentType());
    EXPECT_EQ("1.2", component.getVersion());
    EXPECT_EQ("AFW", component.getDisplay());
    EXPECT_EQ(0, component.getStatus());
    EXPECT_EQ("", component.getPCIInfo().vendorID);

    const CDeviceInfo& pci = *devices[2];
    EXPECT_EQ("", pci.getComponentID());
    EXPECT_EQ(1, pci.getDeviceType());
    EXPECT_EQ("NIC", pci.getDeviceName());
    SPCIInfo identity = pci.getPCIInfo();
    EXPECT_EQ("7", identity.componentID);
    EXPECT_EQ("8086", identity.vendorID);
    EXPECT_EQ("1f", identity.deviceID);
    EXPECT_EQ("1028", identity.subVendorID);
    EXPECT_EQ("0a", identity.subDeviceID);
    EXPECT_EQ("", identity.spare);
    EXPECT_EQ("FRMW", pci.getComponentType());
    EXPECT_EQ("2", pci.getVersion());
    EXPECT_EQ("last", pci.getDisplay());

    EXPECT_EQ("303", devices[3]->getComponentID());
    EXPECT_EQ(-1, devices[3]->getStatus());
    EXPECT_EQ("", devices[3]->getVersion());
    EXPECT_EQ("", devices[4]->getComponentID());  // absent attributes read as empty text
    EXPECT_EQ(0, devices[4]->getStatus());

    for (const char* line :
         {"IPMIInventory::GetInventory start", "IPMIInventory::GetInvXMLString start", "Device",
          "Found Device node", "Vendor id is empty", "Component ID", "101",
          "Found Application node", "Vendor id not empty",
          "vector<CDeviceInfo*> size after population: 5", "IPMIInventory::GetInventory end"}) {
        EXPECT_TRUE(logged(line)) << line;
    }
}

TEST_F(InventoryTest, UnusableDocumentsLeaveTheListUnchanged) {
    const std::string invalid =
        "Invalid XML, Unable to find root or device nodes (SVMInventory/device) ";
    const struct {
        const char* text;
        std::string expectedLine;
    } cases[] = {
        {"", "Empty inventory from GetInvXMLString"},
        {"<SVMInventory><Device", invalid},
        {"<Other><Device componentID=\"1\"/></Other>", invalid},
        {"<SVMInventory/>", invalid},
    };
    for (const auto& each : cases) {
        CLogger::GetInstance()->Close();
        setDocument(each.text);
        devices.push_back(new CDeviceInfo());
        GetInventory(devices);
        EXPECT_EQ(1u, devices.size()) << each.text;
        EXPECT_TRUE(logged(each.expectedLine)) << each.text;
        EXPECT_TRUE(logged("vector<CDeviceInfo*> size after population: 1")) << each.text;
        release(devices);
    }
}

TEST_F(InventoryTest, TwoCallsInOneProcessShareOneLog) {
    writeTextFile("IPMIInventoryLog.txt", "from an earlier process\n");
    GetInventory(devices);
    GetInventory(devices);
    std::string text = log();
    EXPECT_EQ(std::string::npos, text.find("earlier process"));
    std::size_t first = text.find("IPMIInventory::GetInventory end");
    EXPECT_NE(std::string::npos, text.find("IPMIInventory::GetInventory end", first + 1));
}

namespace {

// Records A and B share component id 101, C is a PCI device, D has 202.
const char* kSelectiveDocument =
    "<SVMInventory>"
    "<Device componentID=\"101\" display=\"A\"/>"
    "<Device componentID=\"101\" display=\"B\"/>"
    "<Device componentID=\"55\" display=\"C\" vendorID=\"8086\" deviceID=\"1f\""
    " subVendorID=\"1028\" subDeviceID=\"0a\"/>"
    "<Device componentID=\"202\" display=\"D\"/>"
    "</SVMInventory>";

SPCIInfo pciFilter(const char* vendor, const char* device, const char* subVendor,
                   const char* subDevice) {
    SPCIInfo filter;
    filter.componentID = "ignored";
    filter.spare = "ignored";
    filter.vendorID = vendor;
    filter.deviceID = device;
    filter.subVendorID = subVendor;
    filter.subDeviceID = subDevice;
    return filter;
}

}  // namespace

TEST_F(InventoryTest, SelectiveInventoryAppendsOncePerMatchingFilterEntry) {
    setDocument(kSelectiveDocument);
    const struct {
        std::vector<std::string> components;
        std::vector<SPCIInfo> pci;
        std::vector<std::string> expected;
    } cases[] = {
        {{"101"}, {}, {"host", "A", "B"}},
        {{"101", "101"}, {}, {"host", "A", "A", "B", "B"}},
        {{"202", "nothing"}, {}, {"host", "D"}},
        {{"10"}, {}, {"host"}},
        {{""}, {}, {"host", "C"}},
        {{"55"}, {}, {"host"}},  // a PCI record's component id is empty
        {{}, {pciFilter("8086", "1f", "1028", "0a")}, {"host", "C"}},
        {{}, {pciFilter("8086", "1f", "1028", "0A")}, {"host"}},
        {{}, {pciFilter("", "", "", "")}, {"host", "A", "B", "D"}},
        {{"202"}, {pciFilter("", "", "", "")}, {"host", "A", "B", "D", "D"}},
    };
    for (const auto& each : cases) {
        CLogger::GetInstance()->Close();
        auto* host = new CDeviceInfo();
        host->setDeviceName("host");
        devices.push_back(host);
        GetSelectiveInventory(devices, each.components, each.pci);
        EXPECT_EQ(each.expected, displays(devices));
        EXPECT_TRUE(
            logged("Size of vector before returning:" + std::to_string(each.expected.size())));
        EXPECT_TRUE(logged("IPMIInventory::GetSelectiveInventory end"));
        release(devices);
    }
}

TEST_F(InventoryTest, SelectiveInventoryWithoutFiltersReplacesTheList) {
    setDocument(kSelectiveDocument);
    std::unique_ptr<CDeviceInfo> host(new CDeviceInfo());
    devices.push_back(host.get());
    GetSelectiveInventory(devices, {}, {});
    EXPECT_EQ((std::vector<std::string>{"A", "B", "C", "D"}), displays(devices));

    release(devices);
    setDocument("");
    devices.push_back(host.get());
    GetSelectiveInventory(devices, {}, {});
    EXPECT_TRUE(devices.empty());
}
