#pragma once

#include <fstream>
#include <string>

// The storage layer's log "QUIB_DBG.log", switched on by the marker file
// "zebdebuglog" in the current directory. Process-wide, unguarded.
extern bool bVeskDebugLog;
extern std::ofstream LogFile;
extern const std::string LogFilePath;
extern const std::string strEnableLogFileName;

// Writes one line; the caller has made sure the log is on.
void writeVeskMsg(const char* sourceFile, unsigned line, const std::string& message);

// Writes one line when the log is on; otherwise nothing, and the message is
// not even built. The message must have no effect of its own.
#define logVeskMsg(sourceFile, line, message)              \
    do {                                                   \
        if (bVeskDebugLog) {                               \
            writeVeskMsg((sourceFile), (line), (message)); \
        }                                                  \
    } while (false)

// Called by the storage layer's constructor: opens the log for appending
// when it is off and the marker file exists.
void enableVeskLog();

// Called by the storage layer's destructor: closes the log when it is on.
void disableVeskLog();
