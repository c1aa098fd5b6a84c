#pragma once

#include <string>
#include <vector>

#include "baseutils/DeviceInfo.h"
#include "tools/InventoryOptions.h"
#include "tools/InventoryOutcome.h"

// text as a JSON string, quotes included.
std::string jsonString(const std::string& text);

std::string formatTable(const std::vector<CDeviceInfo*>& records);
std::string formatXml(const std::vector<CDeviceInfo*>& records);
// {"devices": [...]}, and members (",\n  \"name\": value" each) after it.
std::string jsonDocument(const std::vector<CDeviceInfo*>& records, const std::string& members);
std::string formatJson(const std::vector<CDeviceInfo*>& records);
// The "error" member of a failed run's document.
std::string jsonError(unsigned code, const std::string& text, const std::string& logs);
std::string formatRecords(const std::vector<CDeviceInfo*>& records, OutputFormat format);

// What stdout gets for a run's outcome: the records (also those read
// before a later failure); in JSON always one object, with "error" after a
// failure, "storage": false for a controller without storage, and
// moreJson's members last.
std::string formatOutcome(const InventoryOutcome& outcome, const std::vector<CDeviceInfo*>& records,
                          OutputFormat format, const std::string& workDirectory,
                          const std::string& moreJson = "");

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
