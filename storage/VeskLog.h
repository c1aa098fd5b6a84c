#pragma once

#include <fstream>
#include <string>

// The storage layer's log "QUIB_DBG.log", switched on by the marker file
// "zebdebuglog" in the current directory. Process-wide, unguarded.
extern bool bVeskDebugLog;
extern std::ofstream LogFile;
extern const std::string LogFilePath;
extern const std::string strEnableLogFileName;

// Writes one line when the log is on; otherwise nothing.
void logVeskMsg(const char* sourceFile, unsigned line, std::string message);

// Called by the storage layer's constructor: opens the log for appending
// when it is off and the marker file exists.
void enableVeskLog();

// Called by the storage layer's destructor: closes the log when it is on.
void disableVeskLog();
