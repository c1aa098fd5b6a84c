#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <set>

#include "baseutils/Logger.h"
#include "inventory/InvHelper.h"
#include "inventory/Stage_IPMIInventory.h"
#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"
#include "tests/support/TestSupport.h"
#include "vserver/SimulatedServer.h"

namespace {

const CommandKey kCreate = storageCommand(0x07);
const CommandKey kAttach = storageCommand(0x05);
const CommandKey kDetach = storageCommand(0x06);
const CommandKey kDelete = storageCommand(0x08);
const CommandKey kHandOver = storageCommand(0x09);

void release(std::vector<CDeviceInfo*>& devices) {
    std::set<CDeviceInfo*> distinct(devices.begin(), devices.end());
    for (CDeviceInfo* record : distinct) {
        delete record;
    }
    devices.clear();
}

struct Expected {
    const char* componentId;
    const char* name;
    const char* type;
    const char* version;
    const char* display;
    const char* vendor;  // empty: not a PCI device
    const char* device;
    const char* subVendor;
    const char* subDevice;
};

// The default server's record store, record for record.
const Expected kDefaultRecords[] = {
    {"25227", "BIOS", "BIOS", "2.19.1", "BIOS", "", "", "", ""},
    {"25228", "Integrated Management Controller", "FRMW", "7.10.30.00",
     "Management Controller Firmware", "", "", "", ""},
    {"28897", "Lifecycle Controller", "FRMW", "7.10.30.00", "Lifecycle Controller", "", "", "", ""},
    {"104684", "System CPLD", "FRMW", "1.1.3", "System CPLD", "", "", "", ""},
    {"27763", "Backplane 1", "FRMW", "4.35", "Backplane Expander Firmware", "", "", "", ""},
    {"101734", "Power Supply 1", "FRMW", "00.1D.7D", "PSU Firmware", "", "", "", ""},
    {"101734", "Power Supply 2", "FRMW", "00.1D.7D", "PSU Firmware", "", "", "", ""},
    {"159", "OS Drivers Pack", "APAC", "23.07.05", "OS Collector", "", "", "", ""},
    {"", "RAID Controller", "FRMW", "52.26.0-5179", "RAID Controller Firmware", "1000", "10e2",
     "1028", "1ae1"},
    {"", "Ethernet 25G 2P Adapter", "FRMW", "22.91.5", "NIC Firmware", "14e4", "16d7", "1028",
     "0b1b"},
    {"", "Ethernet 1G 2P LOM", "FRMW", "22.91.5", "LOM Firmware", "14e4", "165f", "1028", "1f5b"},
    {"", "NVMe SSD 1.6TB", "FRMW", "2.2.0", "SSD Firmware", "144d", "a824", "1028", "2049"},
};

void expectRecord(const Expected& expected, const CDeviceInfo& record) {
    SCOPED_TRACE(expected.name);
    EXPECT_EQ(expected.componentId, record.getComponentID());
    EXPECT_EQ(expected.name, record.getDeviceName());
    EXPECT_EQ(expected.type, record.getComponentType());
    EXPECT_EQ(expected.version, record.getVersion());
    EXPECT_EQ(expected.display, record.getDisplay());
    EXPECT_EQ(0, record.getStatus());
    bool pci = *expected.vendor != '\0';
    EXPECT_EQ(pci ? 1 : 2, record.getDeviceType());
    SPCIInfo identity = record.getPCIInfo();
    EXPECT_EQ(expected.vendor, identity.vendorID);
    EXPECT_EQ(expected.device, identity.deviceID);
    EXPECT_EQ(expected.subVendor, identity.subVendorID);
    EXPECT_EQ(expected.subDevice, identity.subDeviceID);
    EXPECT_EQ(pci ? "0" : "", identity.componentID);
}

class InventoryRoadTest : public ::testing::Test {
protected:
    explicit InventoryRoadTest(const std::string& name = "default.xml")
        : server(loadServerDescription(bundledServersDirectory() + "/" + name)) {
        copyDataFiles(cwd.path());
        writeTextFile("zebdebuglog", "");
        CLogger::GetInstance()->Close();
        GenerationType = -1;
    }
    ~InventoryRoadTest() override {
        release(devices);
        CLogger::GetInstance()->Close();
    }

    ManagementController& controller() { return server.controller(); }
    VirtualServer& host() { return server.host(); }

    std::vector<std::uint64_t> longSleeps() {
        std::vector<std::uint64_t> result;
        for (std::uint64_t sleep : host().clock().sleeps()) {
            if (sleep >= 1000) {
                result.push_back(sleep);
            }
        }
        return result;
    }

    // Nothing of the run is left at the controller or on the host.
    void expectNothingLeft() {
        EXPECT_EQ(0, controller().storage().dynamicBitmap());
        EXPECT_EQ(0, controller().storage().attachedMask(true));
        EXPECT_FALSE(controller().sessionOpen());
        EXPECT_TRUE(server.mounts().mounts().empty());
        EXPECT_FALSE(host().fileExists("/tmp/SECUPD"));
        EXPECT_FALSE(host().fileExists("/dev/secvskupd-SECUPD"));
        EXPECT_FALSE(host().fileExists("/etc/udev/rules.d/98-secupdusb.rules"));
        std::vector<std::string> left;
        host().listDirectory("/tmp", left);
        EXPECT_TRUE(left.empty());
    }

    std::string pluginLog() { return readTextFile("IPMIInventoryLog.txt"); }
    std::string storageLog() { return readTextFile("QUIB_DBG.log"); }

    // One driver run as the bridge makes it: its result and error text.
    bool runDriver(std::string& errorText, int& veskType, std::string& document) {
        std::string program = cwd.path() + "/ipmiinventory.exe";
        std::vector<char> buffer(program.begin(), program.end());
        buffer.push_back('\0');
        char* arguments[] = {buffer.data(), nullptr};
        CInvHelper helper;
        bool succeeded = helper.DoInventory(arguments, veskType, errorText);
        document = helper.GetPyxInv();
        return succeeded;
    }

    ScopedWorkingDirectory cwd;
    SimulatedServer server;
    std::vector<CDeviceInfo*> devices;
};

class NoStorageRoadTest : public InventoryRoadTest {
protected:
    NoStorageRoadTest() : InventoryRoadTest("no-storage.xml") {}
};

// The error table's text for a storage error number.
std::string errorText(unsigned code) {
    std::string table = readTextFile(std::string(INVENTORY_DATA_DIR) + "/ErrorCodes.xml");
    std::string key = "CodeNo=\"" + std::to_string(code) + "\" Discription=\"";
    std::size_t at = table.find(key);
    if (at == std::string::npos) {
        return "";
    }
    at += key.size();
    return table.substr(at, table.find('"', at) - at);
}

}  // namespace

TEST_F(InventoryRoadTest, GetInventoryReturnsEveryRecordOfTheControllersStore) {
    auto* own = new CDeviceInfo();
    devices.push_back(own);
    GetInventory(devices);
    ASSERT_EQ(1u + std::size(kDefaultRecords), devices.size());
    EXPECT_EQ(own, devices[0]);
    for (std::size_t i = 0; i < std::size(kDefaultRecords); ++i) {
        expectRecord(kDefaultRecords[i], *devices[i + 1]);
    }
    // Attach: 5 s to find the disk, 1 s before the mount, 10 s to settle; the
    // controller works through three status polls of 1 s; attach again.
    EXPECT_EQ((std::vector<std::uint64_t>{5000, 1000, 10000, 1000, 1000, 1000, 5000, 1000, 10000}),
              longSleeps());
    expectNothingLeft();
    ASSERT_EQ(1u, controller().exchangeOutcomes().size());
    EXPECT_TRUE(controller().exchangeOutcomes()[0].accepted);
    for (const char* line : {"DoInventory success", "CInvHelper :: DoInventory Get Pyx Inv Success",
                             "vector<CDeviceInfo*> size after population: 13"}) {
        EXPECT_NE(std::string::npos, pluginLog().find(line)) << line;
    }
    EXPECT_NE(std::string::npos, storageLog().find("QueryPyx succeeded"));
}

TEST_F(InventoryRoadTest, SelectiveInventoryKeepsTheRecordsTheFiltersName) {
    GetSelectiveInventory(devices, {"101734", "25227"},
                          {SPCIInfo{"", "16d7", "0b1b", "14e4", "1028", ""}});
    ASSERT_EQ(4u, devices.size());
    expectRecord(kDefaultRecords[0], *devices[0]);
    expectRecord(kDefaultRecords[5], *devices[1]);
    expectRecord(kDefaultRecords[6], *devices[2]);
    expectRecord(kDefaultRecords[9], *devices[3]);
    expectNothingLeft();
}

TEST_F(NoStorageRoadTest, AServerWithoutControllerStorageHasAnEmptySuccessfulInventory) {
    std::string error;
    int veskType = -1;
    std::string document;
    EXPECT_TRUE(runDriver(error, veskType, document));
    EXPECT_EQ(0, veskType);
    EXPECT_EQ("", error);
    EXPECT_EQ("", document);
    EXPECT_EQ(0u, controller().sessionsBegun());
    GetInventory(devices);
    EXPECT_TRUE(devices.empty());
    EXPECT_NE(std::string::npos, pluginLog().find(" No Vesk"));
    EXPECT_NE(std::string::npos, pluginLog().find("Empty inventory from GetInvXMLString"));
}

TEST_F(InventoryRoadTest, AFaultAtEveryStepOfTheRecordQueryLeavesNothingBehind) {
    struct Case {
        const char* name;
        std::function<void(SimulatedServer&)> inject;
        unsigned error;
        const char* logLine;
    };
    const std::vector<Case> cases = {
        {"create",
         [](SimulatedServer& s) { s.controller().script().always(kCreate, Behaviour::code(0xCC)); },
         22, "CreateDropBox failed"},
        {"attach",
         [](SimulatedServer& s) { s.controller().script().always(kAttach, Behaviour::code(0xCC)); },
         14, "AttachPartition failed."},
        {"mount", [](SimulatedServer& s) { s.host().shell().script("^mount -n ", 32); }, 14,
         "mountDynPartition did not succeed. Detaching partition and Retrying"},
        {"write lost", [](SimulatedServer& s) { s.host().shell().script("^mount -n ", 0); }, 24,
         "SecureVeskCopy failed"},
        {"detach",
         [](SimulatedServer& s) {
             s.controller().script().onCall(kDetach, 2, Behaviour::code(0xCC));
         },
         23, "DetachPartition failed"},
        {"hand-over",
         [](SimulatedServer& s) {
             s.controller().script().always(kHandOver, Behaviour::code(0xCC));
         },
         24, "SecureVeskCopy failed"},
        {"answer missing",
         [](SimulatedServer& s) { s.controller().settings().writesAnswer = false; }, 33,
         "Output.xml file does NOT exist"},
        {"delete",
         [](SimulatedServer& s) {
             s.controller().script().onCall(kDelete, 1, Behaviour::code(0xCC));
         },
         25, "Delete Drop Box Failed."},
    };
    // A fresh server with the fault, in a fresh working directory.
    auto scene = [](const Case& c,
                    const std::function<void(SimulatedServer&, const std::string&)>& body) {
        ScopedWorkingDirectory run;
        copyDataFiles(run.path());
        writeTextFile("zebdebuglog", "");
        CLogger::GetInstance()->Close();
        GenerationType = -1;
        SimulatedServer faulty(loadServerDescription(bundledServersDirectory() + "/default.xml"));
        c.inject(faulty);
        body(faulty, run.path());
        EXPECT_EQ(0, faulty.controller().storage().dynamicBitmap());
        EXPECT_FALSE(faulty.controller().sessionOpen());
        EXPECT_TRUE(faulty.mounts().mounts().empty());
        EXPECT_FALSE(faulty.host().fileExists("/tmp/SECUPD"));
        EXPECT_FALSE(faulty.host().fileExists("/dev/secvskupd-SECUPD"));
        // Bounded by five mount attempts of at most 65 s each.
        EXPECT_LT(faulty.host().clock().elapsedMilliseconds(), 5u * 66u * 1000u);
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scene(c, [&](SimulatedServer&, const std::string& directory) {
            std::string program = directory + "/ipmiinventory.exe";
            std::vector<char> buffer(program.begin(), program.end());
            buffer.push_back('\0');
            char* arguments[] = {buffer.data(), nullptr};
            std::string error;
            int veskType = 0;
            CInvHelper helper;
            EXPECT_FALSE(helper.DoInventory(arguments, veskType, error));
            EXPECT_EQ(1, veskType);
            EXPECT_EQ(c.error, helper.writer().storageError());
            EXPECT_EQ(errorText(c.error), error);
            EXPECT_FALSE(error.empty());
            EXPECT_EQ("", helper.GetPyxInv());
            std::string log = readTextFile("QUIB_DBG.log");
            EXPECT_NE(std::string::npos, log.find(c.logLine));
            EXPECT_NE(std::string::npos, log.find("QueryPyx failed"));
        });
        scene(c, [&](SimulatedServer&, const std::string&) {
            auto* own = new CDeviceInfo();
            std::vector<CDeviceInfo*> list{own};
            GetInventory(list);
            EXPECT_EQ(std::vector<CDeviceInfo*>{own}, list);
            delete own;
            EXPECT_NE(std::string::npos,
                      readTextFile("IPMIInventoryLog.txt").find("DoInventory failed"));
        });
    }
}
