#pragma once

#include <string>

#include "storage/CfgEntry.h"

// Copies source into the mounted partition at target (which ends in "/")
// through the shell, creating the directories of relativePath below the
// first one. Returns the final command's status as the shell reports it
// (the raw wait status of hostPort().system(): 0 success, an exit code n
// shows as n << 8); the directory steps are only logged.
int doCopy(std::string target, std::string relativePath, std::string source, exmlMode mode);
