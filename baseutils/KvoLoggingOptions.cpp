#include "baseutils/KvoLoggingOptions.h"

KvoLoggingOptions::KvoLoggingOptions()
    : mNumberOfSupportedLevels(0), mNumberOfLevelsToShowInUserLog(0) {}

KvoString KvoLoggingOptions::GetApplicationName() const {
    return mApplicationName;
}

bool KvoLoggingOptions::SetApplicationName(const KvoString& name) {
    mApplicationName = name;
    return true;
}

int KvoLoggingOptions::NumberOfSupportedLevels() const {
    return mNumberOfSupportedLevels;
}

bool KvoLoggingOptions::SetNumberOfSupportedLevels(int levels) {
    mNumberOfSupportedLevels = levels;
    return true;
}

int KvoLoggingOptions::NumberOfLevelsToShowInUserLog() const {
    return mNumberOfLevelsToShowInUserLog;
}

bool KvoLoggingOptions::SetNumberOfLevelsToShowInUserLog(int levels) {
    mNumberOfLevelsToShowInUserLog = levels;
    return true;
}

KvoFile KvoLoggingOptions::GetUserLogFile() const {
    return mUserLogFile;
}

bool KvoLoggingOptions::SetUserLogFile(const KvoFile& file) {
    mUserLogFile = file;
    return true;
}

KvoFile KvoLoggingOptions::GetInternalLogFile() const {
    return mInternalLogFile;
}

bool KvoLoggingOptions::SetInternalLogFile(const KvoFile& file) {
    mInternalLogFile = file;
    return true;
}
