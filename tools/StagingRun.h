#pragma once

#include <string>
#include <vector>

#include "tools/InventoryOptions.h"

// How a placement or a record update ended.
struct StagingOutcome {
    bool succeeded = false;
    unsigned char errorCode = 0;  // the storage layer's error number
    std::string errorText;        // from ErrorCodes.xml, or what was refused
    std::string summary;          // what was done, for stderr
    // The placements placed and verified, and those that were not (the
    // controller may hold some of these unverified).
    std::vector<Placement> placed;
    std::vector<Placement> notPlaced;
};

// Places each file (a path as the plug-in sees it) at its destination, one
// copy per partition, each verified by digest afterwards. Every file is
// judged against its partition before the first drop box.
StagingOutcome runPlacements(const std::vector<Placement>& placements);

// Writes the record that the package description at packagePath describes
// into the controller's record store. The description is used as
// "package.xml" in the current directory for the time of the update.
StagingOutcome runRecordUpdate(const std::string& packagePath);

// Text for a failed placement or record update, with what was placed
// before the failure and what was not.
std::string stagingFailureText(const char* what, const StagingOutcome& outcome);

// The "placed" member of the JSON document: the files placed and verified.
std::string jsonPlaced(const std::vector<Placement>& placed);
