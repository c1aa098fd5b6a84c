#pragma once

#include <atomic>
#include <cstdio>

#include "baseutils/Export.h"
#include "baseutils/KvoLoggingOptions.h"
#include "baseutils/KvoString.h"
#include "baseutils/LKvoLock.h"

// Levels of KvoLogger::Log.
enum KvoLogLevel {
    KvoLogNone = 0,
    KvoLogFatal = 1,
    KvoLogError = 2,
    KvoLogWarn = 3,
    KvoLogInfo = 4,
    KvoLogTrace = 5,
    KvoLogDebug = 6,
};

// Process-wide leveled logger: every entry goes to the internal log and, by
// level, to the user log. Silent until Initialize has opened both logs.
class KVO_EXPORT KvoLogger {
public:
    static bool Initialize(const KvoLoggingOptions& options);
    static void Log(const KvoString& function, const KvoString& file, long long line, int level,
                    const char* format, ...) __attribute__((format(printf, 5, 6)));
    static bool Terminate();
    static KvoLock& GetLockObject();
    // Both logs are open: an entry would be written. Asked before anything
    // is formatted for an entry.
    static bool IsEnabled() { return mEnabled.load(std::memory_order_relaxed); }

private:
    static bool OpenLog(FILE*& stream, const KvoFile& file);
    static bool GoesToUserLog(int level);

    static KvoLoggingOptions mOptions;
    static FILE* mUserLogFile;
    static FILE* mInternalLogFile;
    static std::atomic<bool> mEnabled;
};

// The part of a source path after its last "/": log lines name the file,
// not where it lay on the build machine.
constexpr const char* KvoSourceFileName(const char* path) {
    const char* name = path;
    for (const char* at = path; *at != '\0'; ++at) {
        if (*at == '/') {
            name = at + 1;
        }
    }
    return name;
}

// Logs with the calling function, source file and line; builds nothing
// while the logs are off.
#define KVO_LOG(level, ...)                                                                    \
    do {                                                                                       \
        if (KvoLogger::IsEnabled()) {                                                          \
            KvoLogger::Log(KvoString(__func__, KvoString::KvoEncodingUTF8),                    \
                           KvoString(KvoSourceFileName(__FILE__), KvoString::KvoEncodingUTF8), \
                           __LINE__, (level), __VA_ARGS__);                                    \
        }                                                                                      \
    } while (false)
