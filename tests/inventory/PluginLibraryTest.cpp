// A host's view of the plug-in: load the built library, look the entry
// points up by their plain names and read what they hand over, with the
// public headers only.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <set>

#include "inventory/Stage_IPMIInventory.h"
#include "tests/support/TestSupport.h"
#include "vserver/ServerDescription.h"

namespace {

// Reads every member a host can read.
std::size_t readEveryMember(CDeviceInfo& record) {
    std::size_t bytes = record.getReleaseID().size() + record.getComponentID().size() +
                        record.getParentComponentID().size() + record.getComponentType().size() +
                        record.getDeviceName().size() + record.getVersion().size();
    SPCIInfo pci = record.getPCIInfo();
    bytes += pci.componentID.size() + pci.deviceID.size() + pci.subDeviceID.size() +
             pci.vendorID.size() + pci.subVendorID.size() + pci.spare.size();
    bytes += record.getParentDeviceType() + record.getDeviceType() + record.getDependencyType();
    bytes += record.getDependencyContext().size() + record.getDepenendencyPlatforms().size() +
             record.getParentPCIInfo().size() + record.getDependencyOS().size() +
             record.getApplicationInfo().size();
    bytes += record.getMessageID() + record.getStatus() + record.getErrorMsg().size() +
             record.getUpdateStatus() + record.getDisplay().size() + record.getDetail().size() +
             record.getCurrentVersion().size() + record.getEnumId().size() +
             record.getRebootRequired() + record.getColdPowerCycleRequired();
    _BDFInfo bdf = record.getBDFInfo();
    bytes += bdf.bdfWord + bdf.bus + bdf.device + bdf.function;
    bytes += record.getDeviceIdentifier().size() + record.getDeviceUdpateID() +
             record.getDeviceSpecificID() + record.getBus() + record.get_DeviceBus() +
             record.get_DeviceBusFunction() + (record.getDeviceHandle() != nullptr) +
             record.getFQDDInfo().size();
    WexCSystemInfo& system = record.getSystemInfo();
    bytes += system.systemID.size() + system.systemName.size() + system.systemModel.size() +
             system.systemRevision.size();
    return bytes;
}

void release(std::vector<CDeviceInfo*>& devices) {
    std::set<CDeviceInfo*> distinct(devices.begin(), devices.end());
    for (CDeviceInfo* record : distinct) {
        delete record;
    }
    devices.clear();
}

}  // namespace

// The test variant of the library, running against the bundled default
// virtual server.
TEST(PluginLibrary, HostLoadsTheLibraryAndCallsBothEntryPoints) {
    ScopedWorkingDirectory cwd;
    copyDataFiles(cwd.path());
    setenv("IPMI_INVENTORY_TEST_SERVER", (bundledServersDirectory() + "/default.xml").c_str(), 1);
    // Kept loaded: the library's log lives until the process ends.
    void* library = dlopen(IPMI_INVENTORY_TEST_LIBRARY, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    ASSERT_NE(nullptr, library) << dlerror();
    auto getInventory = reinterpret_cast<GetInventoryFunction>(dlsym(library, "GetInventory"));
    auto getSelective =
        reinterpret_cast<GetSelectiveInventoryFunction>(dlsym(library, "GetSelectiveInventory"));
    ASSERT_NE(nullptr, getInventory);
    ASSERT_NE(nullptr, getSelective);

    auto* own = new CDeviceInfo();
    own->setComponentID("host");
    std::vector<CDeviceInfo*> devices{own};
    getInventory(devices);
    ASSERT_EQ(13u, devices.size());
    EXPECT_EQ(own, devices.front());
    EXPECT_EQ("BIOS", devices[1]->getDeviceName());
    EXPECT_EQ("NVMe SSD 1.6TB", devices[12]->getDeviceName());
    for (CDeviceInfo* record : devices) {
        readEveryMember(*record);
    }

    std::vector<CDeviceInfo*> selected;
    getSelective(selected, {"25227"}, {SPCIInfo{"", "a824", "2049", "144d", "1028", ""}});
    ASSERT_EQ(2u, selected.size());
    EXPECT_EQ("BIOS", selected[0]->getDeviceName());
    EXPECT_EQ("NVMe SSD 1.6TB", selected[1]->getDeviceName());
    for (CDeviceInfo* record : selected) {
        readEveryMember(*record);
    }
    release(selected);
    release(devices);

    EXPECT_NE(std::string::npos,
              readTextFile("IPMIInventoryLog.txt").find("IPMIInventory::GetInventory end"));
    dlclose(library);
}
