#pragma once

#include <string>
#include <vector>

#include "baseutils/DeviceInfo.h"
#include "tools/InventoryOptions.h"

// text as a JSON string, quotes included.
std::string jsonString(const std::string& text);

std::string formatTable(const std::vector<CDeviceInfo*>& records);
std::string formatXml(const std::vector<CDeviceInfo*>& records);
std::string formatJson(const std::vector<CDeviceInfo*>& records);
std::string formatRecords(const std::vector<CDeviceInfo*>& records, OutputFormat format);

// The records a host received; each distinct record is released once,
// since a selective inventory may hand over the same record twice.
class ReceivedRecords {
public:
    ReceivedRecords() = default;
    ~ReceivedRecords();
    ReceivedRecords(const ReceivedRecords&) = delete;
    ReceivedRecords& operator=(const ReceivedRecords&) = delete;

    std::vector<CDeviceInfo*> devices;
};
