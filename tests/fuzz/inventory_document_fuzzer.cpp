// The entry points' reader of the inventory document (the controller's
// answer file) into device records.
#include <string>
#include <vector>

#include "baseutils/DeviceInfo.h"
#include "inventory/InventoryRecords.h"
#include "tests/fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzHost();
    std::vector<CDeviceInfo*> devices;
    appendInventoryRecords(std::string(reinterpret_cast<const char*>(data), size), devices);
    for (CDeviceInfo* device : devices) {
        delete device;
    }
    return 0;
}
