#pragma once

#include <string>
#include <vector>

#include "baseutils/DeviceInfo.h"

// The reading and selection behind the entry points, for hosts inside the
// project that drive the inventory driver themselves.

// Appends one new record per Device element of the inventory document.
void appendInventoryRecords(const std::string& document, std::vector<CDeviceInfo*>& devices);

// Appends each record of inventory once per filter entry it matches and
// releases the records no filter selects.
void selectInventoryRecords(const std::vector<CDeviceInfo*>& inventory,
                            const std::vector<std::string>& componentFilter,
                            const std::vector<SPCIInfo>& pciFilter,
                            std::vector<CDeviceInfo*>& devices);
