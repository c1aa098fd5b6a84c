#pragma once

#include <string>
#include <vector>

#include "tools/InventoryOptions.h"

// How a placement or a record update ended.
struct StagingOutcome {
    bool succeeded = false;
    unsigned char errorCode = 0;  // the storage layer's error number
    std::string errorText;        // from ErrorCodes.xml
    std::string summary;          // what was done, for stderr
};

// Places each file (a path as the plug-in sees it) at its destination, one
// copy per partition, each verified by digest afterwards.
StagingOutcome runPlacements(const std::vector<Placement>& placements);

// Writes the record that the package description at packagePath describes
// into the controller's record store. The description is used as
// "package.xml" in the current directory for the time of the update.
StagingOutcome runRecordUpdate(const std::string& packagePath);

// Text for a failed placement or record update.
std::string stagingFailureText(const char* what, const StagingOutcome& outcome);
