#pragma once

#include "baseutils/Export.h"
#include "baseutils/KvoFile.h"
#include "baseutils/KvoString.h"

// Settings of the logger: application name, levels and the two log files.
class KVO_EXPORT KvoLoggingOptions {
public:
    KvoLoggingOptions();

    KvoString GetApplicationName() const;
    bool SetApplicationName(const KvoString& name);
    int NumberOfSupportedLevels() const;
    bool SetNumberOfSupportedLevels(int levels);
    // 0 means no user log.
    int NumberOfLevelsToShowInUserLog() const;
    bool SetNumberOfLevelsToShowInUserLog(int levels);
    KvoFile GetUserLogFile() const;
    bool SetUserLogFile(const KvoFile& file);
    KvoFile GetInternalLogFile() const;
    bool SetInternalLogFile(const KvoFile& file);

private:
    KvoString mApplicationName;
    int mNumberOfSupportedLevels;
    int mNumberOfLevelsToShowInUserLog;
    KvoFile mUserLogFile;
    KvoFile mInternalLogFile;
};
