#include "storage/VeskLog.h"

#include <sys/stat.h>

#include "baseutils/Logger.h"

bool bVeskDebugLog = false;
std::ofstream LogFile;
const std::string LogFilePath = "QUIB_DBG.log";
const std::string strEnableLogFileName = "zebdebuglog";

void writeVeskMsg(const char* sourceFile, unsigned line, const std::string& message) {
    LogFile << FormatLocalTime("[%Y-%m-%dT%H:%M:%S] ", 79) << ": "
            << getFileName(sourceFile ? sourceFile : "") << ":" << line << ": " << message << "\n";
    LogFile.flush();
}

void enableVeskLog() {
    if (bVeskDebugLog) {
        return;
    }
    struct stat status {};
    if (::stat(strEnableLogFileName.c_str(), &status) != 0) {
        return;
    }
    // A log that cannot be opened stays off, so the next layer tries again.
    if (!OpenCloseOnExec(LogFile, LogFilePath, std::ios::app)) {
        LogFile.clear();
        return;
    }
    bVeskDebugLog = true;
    logVeskMsg(__FILE__, __LINE__, "Debug message logging started.");
}

void disableVeskLog() {
    if (!bVeskDebugLog) {
        return;
    }
    // A write that failed earlier must not keep the log on (and closed) for good.
    LogFile.clear();
    LogFile.close();
    if (!LogFile.fail()) {
        bVeskDebugLog = false;
    }
}
