#pragma once

// The plug-in's entry points, as a host declares them. Both are exported
// under their plain names; the host owns every record it receives and may
// find the same record more than once in a selective result.

#include <string>
#include <vector>

#include "baseutils/DeviceInfo.h"
#include "baseutils/Export.h"

extern "C" {

// Appends one record per component the controller has on record.
KVO_EXPORT void GetInventory(std::vector<CDeviceInfo*>& devices);

// Appends the records that match a component id or a PCI identity (vendor,
// device, sub-vendor and sub-device); a record is appended once per filter
// entry it matches. With both filters empty, devices is replaced by the
// whole inventory.
KVO_EXPORT void GetSelectiveInventory(std::vector<CDeviceInfo*>& devices,
                                      const std::vector<std::string>& componentFilter,
                                      const std::vector<SPCIInfo>& pciFilter);
}

// Types of the two entry points, for dlsym.
using GetInventoryFunction = void (*)(std::vector<CDeviceInfo*>&);
using GetSelectiveInventoryFunction = void (*)(std::vector<CDeviceInfo*>&,
                                               const std::vector<std::string>&,
                                               const std::vector<SPCIInfo>&);
