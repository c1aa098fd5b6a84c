#include "baseutils/KvoLogger.h"

#include <cstdarg>
#include <cstring>
#include <string>

#include "baseutils/HostPort.h"
#include "baseutils/KvoTime.h"

namespace {

const char* const kLevelNames[] = {"NONE", "FATAL", "ERROR", "WARN", "INFO", "TRACE", "DEBUG"};
constexpr int kLevelCount = sizeof(kLevelNames) / sizeof(kLevelNames[0]);

void writeMessage(FILE* stream, const char* format, va_list arguments) {
    std::vfprintf(stream, format, arguments);
    std::size_t length = std::strlen(format);
    if (length == 0 || format[length - 1] != '\n') {
        std::fputc('\n', stream);
    }
    std::fflush(stream);
}

}  // namespace

KvoLoggingOptions KvoLogger::mOptions;
FILE* KvoLogger::mUserLogFile = nullptr;
FILE* KvoLogger::mInternalLogFile = nullptr;
std::atomic<bool> KvoLogger::mEnabled{false};

KvoLock& KvoLogger::GetLockObject() {
    // Never destroyed: entries may still be written while the process ends.
    static KvoLock* loggerLock = new KvoLock();
    return *loggerLock;
}

bool KvoLogger::OpenLog(FILE*& stream, const KvoFile& file) {
    std::string path = file.GetPath().GetUTF8String();
    // Close-on-exec ("e"): the shell commands of the library must not inherit it.
    const char* mode = file.Exists() ? "a+e" : "we";
    stream = path.empty() ? nullptr : std::fopen(hostPort().resolve(path).c_str(), mode);
    if (!stream) {
        std::fprintf(stderr, "Error in %s opening user log file: %s\n", "Initialize", path.c_str());
        return false;
    }
    return true;
}

// The streams are read and written under the logger lock only: a test of a
// plain pointer outside it races with the thread that opens or closes them.
bool KvoLogger::Initialize(const KvoLoggingOptions& options) {
    KvoLock::Guard guard(GetLockObject());
    bool result = true;
    if (!mInternalLogFile && !OpenLog(mInternalLogFile, options.GetInternalLogFile())) {
        result = false;
    }
    if (!mUserLogFile && options.NumberOfLevelsToShowInUserLog() != 0 &&
        !OpenLog(mUserLogFile, options.GetUserLogFile())) {
        result = false;
    }
    mOptions = options;
    mEnabled = mUserLogFile != nullptr && mInternalLogFile != nullptr;
    return result;
}

bool KvoLogger::GoesToUserLog(int level) {
    int shown = mOptions.NumberOfLevelsToShowInUserLog();
    if (shown == 0 || level > shown) {
        return false;
    }
    // With 5 levels only TRACE entries reach the user log; otherwise every
    // level up to the threshold but TRACE does.
    return shown == KvoLogTrace ? level == KvoLogTrace : level != KvoLogTrace;
}

void KvoLogger::Log(const KvoString& function, const KvoString& file, long long line, int level,
                    const char* format, ...) {
    // The level indexes the name table; anything else is not an entry.
    if (level < 0 || level >= kLevelCount) {
        return;
    }
    if (!format) {
        format = "";
    }
    KvoLock::Guard guard(GetLockObject());
    if (!mUserLogFile || !mInternalLogFile) {
        return;
    }
    std::string application = mOptions.GetApplicationName().GetUTF8String();
    KvoTime now(static_cast<unsigned long long>(KvoTime::CurrentTime()));
    KvoString dateText;
    KvoString timeText;
    now.DateToString(dateText, true);
    now.TimeToString(timeText);
    std::string date = dateText.GetUTF8String();
    std::string time = timeText.GetUTF8String();
    std::string functionName = function.GetUTF8String();
    std::string fileName = file.GetUTF8String();
    const char* levelName = kLevelNames[level];
    int lineNumber = static_cast<int>(line);

    std::fprintf(mInternalLogFile, "%s %-5s : %s %s %-40s() %-30s:%3d ", application.c_str(),
                 levelName, date.c_str(), time.c_str(), functionName.c_str(), fileName.c_str(),
                 lineNumber);
    va_list arguments;
    va_start(arguments, format);
    writeMessage(mInternalLogFile, format, arguments);
    va_end(arguments);

    if (!GoesToUserLog(level)) {
        return;
    }
    if (level == KvoLogTrace && mUserLogFile != stderr) {
        // TRACE entries go to standard error from now on; the file is done.
        std::fclose(mUserLogFile);
        mUserLogFile = stderr;
    }
    std::fprintf(mUserLogFile, "%s %-5s : %s %s %-40s() %-30s:%d ", application.c_str(), levelName,
                 date.c_str(), time.c_str(), functionName.c_str(), fileName.c_str(), lineNumber);
    va_start(arguments, format);
    writeMessage(mUserLogFile, format, arguments);
    va_end(arguments);
}

bool KvoLogger::Terminate() {
    KvoLock::Guard guard(GetLockObject());
    mEnabled = false;
    if (mUserLogFile && mUserLogFile != stderr) {
        std::fclose(mUserLogFile);
        mUserLogFile = nullptr;
    }
    if (mInternalLogFile) {
        std::fclose(mInternalLogFile);
        mInternalLogFile = nullptr;
    }
    return true;
}
