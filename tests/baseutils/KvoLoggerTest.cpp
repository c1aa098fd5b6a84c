#include "baseutils/KvoLogger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/baseutils/ScopedTimeZone.h"
#include "tests/support/TestSupport.h"
#include "vserver/VirtualServer.h"

namespace {

const char kUserLog[] = "kvoipmi.log";
const char kInternalLog[] = "kvoipmi_internal.log";

KvoString utf8(const char* text) {
    return KvoString(text, KvoString::KvoEncodingUTF8);
}

KvoLoggingOptions options(int levelsToShow, const char* internalLog = kInternalLog) {
    KvoLoggingOptions result;
    result.SetApplicationName(utf8("App"));
    result.SetNumberOfSupportedLevels(5);
    result.SetNumberOfLevelsToShowInUserLog(levelsToShow);
    result.SetUserLogFile(KvoFile(utf8(kUserLog)));
    result.SetInternalLogFile(KvoFile(utf8(internalLog)));
    return result;
}

void logAt(int level, const char* message) {
    KvoLogger::Log(utf8("Open"), utf8("Proc.cpp"), 42, level, "%s %d", message, level);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        out.push_back(line);
    }
    return out;
}

// The prefix of an entry of Open() in Proc.cpp at line 42, written at the
// virtual server's start time (2026-12-04 21:20:27 UTC).
std::string prefix(const char* level, bool internal) {
    std::string name = level;
    name.resize(5, ' ');
    return "App " + name + " : 12/4/2026 09:20PM Open" + std::string(36, ' ') + "() Proc.cpp" +
           std::string(22, ' ') + (internal ? ": 42 " : ":42 ");
}

// A working directory, a fixed clock and time zone, and a logger that is
// closed again afterwards.
class KvoLoggerTest : public ::testing::Test {
protected:
    ~KvoLoggerTest() override { KvoLogger::Terminate(); }

    ScopedWorkingDirectory directory_;
    ScopedTimeZone zone_{"UTC0"};
    VirtualServer server_;
    ScopedHostPort port_{server_};
};

}  // namespace

TEST_F(KvoLoggerTest, FourLevelsGoToBothLogsButTraceAndDebugOnlyInternally) {
    ASSERT_TRUE(KvoLogger::Initialize(options(4)));
    for (int level = KvoLogNone; level <= KvoLogDebug; ++level) {
        logAt(level, "entry");
    }
    KvoLogger::Terminate();

    std::vector<std::string> internal = lines(readTextFile(kInternalLog));
    ASSERT_EQ(7u, internal.size());
    EXPECT_EQ(prefix("INFO", true) + "entry 4", internal[4]);
    EXPECT_EQ(prefix("TRACE", true) + "entry 5", internal[5]);
    EXPECT_EQ(prefix("NONE", true) + "entry 0", internal[0]);

    EXPECT_EQ(prefix("NONE", false) + "entry 0\n" + prefix("FATAL", false) + "entry 1\n" +
                  prefix("ERROR", false) + "entry 2\n" + prefix("WARN", false) + "entry 3\n" +
                  prefix("INFO", false) + "entry 4\n",
              readTextFile(kUserLog));
}

TEST_F(KvoLoggerTest, FiveLevelsSendOnlyTraceToStandardError) {
    // The switch to standard error lasts for the process, so it runs in a child.
    EXPECT_EXIT(
        {
            KvoLogger::Initialize(options(5));
            logAt(KvoLogInfo, "info");
            logAt(KvoLogTrace, "trace");
            logAt(KvoLogError, "error");
            logAt(KvoLogTrace, "again");
            KvoLogger::Terminate();
            std::vector<std::string> internal = lines(readTextFile(kInternalLog));
            bool ok = internal.size() == 4 && readTextFile(kUserLog).empty() &&
                      internal[0] == prefix("INFO", true) + "info 4";
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0),
        "App TRACE : [^\n]*Proc.cpp *:42 trace 5\nApp TRACE : [^\n]*:42 again 5\n");
}

TEST_F(KvoLoggerTest, TheMacroNamesTheSourceFileNotItsPath) {
    ASSERT_TRUE(KvoLogger::Initialize(options(4)));
    const int line = __LINE__ + 1;
    KVO_LOG(KvoLogInfo, "from the macro");
    KvoLogger::Terminate();
    const std::string name = "KvoLoggerTest.cpp";
    EXPECT_EQ("App INFO  : 12/4/2026 09:20PM TestBody" + std::string(32, ' ') + "() " + name +
                  std::string(30 - name.size(), ' ') + ":" + std::to_string(line) +
                  " from the macro\n",
              readTextFile(kInternalLog));
    EXPECT_STREQ("Proc.cpp", KvoSourceFileName("/build/machine/kvoipmi/Proc.cpp"));
    EXPECT_STREQ("Proc.cpp", KvoSourceFileName("Proc.cpp"));
}

TEST_F(KvoLoggerTest, ShellCommandsInheritNoLog) {
    ASSERT_TRUE(KvoLogger::Initialize(options(4)));
    std::string files = filesAChildInherits();
    EXPECT_EQ(std::string::npos, files.find(std::string("/") + kUserLog)) << files;
    EXPECT_EQ(std::string::npos, files.find(std::string("/") + kInternalLog)) << files;
}

TEST_F(KvoLoggerTest, NoLevelsToShowMeansNoUserLogAndNoEntries) {
    ASSERT_TRUE(KvoLogger::Initialize(options(0)));
    logAt(KvoLogFatal, "lost");
    KvoLogger::Terminate();
    EXPECT_FALSE(fileExists(kUserLog));
    EXPECT_EQ("", readTextFile(kInternalLog));
}

TEST_F(KvoLoggerTest, NewlinesAreNotDoubledAndEmptyFormatsGiveOne) {
    ASSERT_TRUE(KvoLogger::Initialize(options(4)));
    KvoLogger::Log(utf8("Open"), utf8("Proc.cpp"), 42, KvoLogInfo, "ends\n");
    KvoLogger::Log(utf8("Open"), utf8("Proc.cpp"), 42, KvoLogInfo, "%s", "");
    KvoLogger::Log(utf8("Open"), utf8("Proc.cpp"), 42, KvoLogInfo, "two\nlines");
    KvoLogger::Terminate();
    EXPECT_EQ(prefix("INFO", true) + "ends\n" + prefix("INFO", true) + "\n" + prefix("INFO", true) +
                  "two\nlines\n",
              readTextFile(kInternalLog));
}

TEST_F(KvoLoggerTest, SilentWhileClosedAndAppendsWhenReopened) {
    logAt(KvoLogError, "before");
    EXPECT_FALSE(fileExists(kInternalLog));

    ASSERT_TRUE(KvoLogger::Initialize(options(4)));
    logAt(KvoLogError, "first");
    KvoLogger::Terminate();
    logAt(KvoLogError, "after");

    ASSERT_TRUE(KvoLogger::Initialize(options(4)));
    logAt(KvoLogError, "second");
    logAt(7, "out of range");
    logAt(-1, "out of range");
    KvoLogger::Terminate();

    EXPECT_EQ(prefix("ERROR", true) + "first 2\n" + prefix("ERROR", true) + "second 2\n",
              readTextFile(kInternalLog));
    EXPECT_EQ(2u, lines(readTextFile(kUserLog)).size());
}

TEST_F(KvoLoggerTest, UnopenableLogIsReportedAndNothingIsLogged) {
    testing::internal::CaptureStderr();
    EXPECT_FALSE(KvoLogger::Initialize(options(4, "missing/dir/internal.log")));
    logAt(KvoLogError, "lost");
    std::string error = testing::internal::GetCapturedStderr();
    EXPECT_EQ("Error in Initialize opening user log file: missing/dir/internal.log\n", error);
    KvoLogger::Terminate();
    EXPECT_EQ("", readTextFile(kUserLog));
}

TEST_F(KvoLoggerTest, EntriesFromThreadsDoNotInterleave) {
    ASSERT_TRUE(KvoLogger::Initialize(options(4)));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 50; ++i) {
                logAt(KvoLogInfo, "threaded");
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    KvoLogger::Terminate();
    std::vector<std::string> internal = lines(readTextFile(kInternalLog));
    ASSERT_EQ(200u, internal.size());
    for (const std::string& line : internal) {
        EXPECT_EQ(prefix("INFO", true) + "threaded 4", line);
    }
}
