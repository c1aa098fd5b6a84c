#include "storage/VeskLog.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TestSupport.h"
#include "vserver/VirtualServer.h"

namespace {

const std::string kTime = "[2026-12-04T21:20:27] ";

class VeskLogTest : public ::testing::Test {
protected:
    void TearDown() override { disableVeskLog(); }

    VirtualServer server;
    ScopedHostPort port{server};
    ScopedWorkingDirectory cwd;
};

}  // namespace

TEST_F(VeskLogTest, StaysOffWithoutTheMarkerFile) {
    enableVeskLog();
    logVeskMsg("/src/SecureVesk.cpp", 12, "lost");
    EXPECT_FALSE(bVeskDebugLog);
    EXPECT_FALSE(fileExists("QUIB_DBG.log"));
}

TEST_F(VeskLogTest, MarkerSwitchesItOnAndRunsAccumulate) {
    writeTextFile("zebdebuglog", "");
    for (int run = 0; run < 2; ++run) {
        enableVeskLog();
        enableVeskLog();  // a second layer object while on changes nothing
        logVeskMsg("/src/storage/SecureVesk.cpp", 7, "run " + std::to_string(run));
        disableVeskLog();
        EXPECT_FALSE(bVeskDebugLog);
    }
    logVeskMsg("/src/storage/SecureVesk.cpp", 8, "after the layer is gone");

    std::string log = readTextFile("QUIB_DBG.log");
    std::string started = ": Debug message logging started.\n";
    std::string run0 = kTime + ": SecureVesk.cpp:7: run 0\n";
    std::string run1 = kTime + ": SecureVesk.cpp:7: run 1\n";
    ASSERT_EQ(0u, log.find(kTime + ": VeskLog.cpp:"));
    std::size_t first = log.find(started);
    std::size_t second = log.find(started, first + 1);
    ASSERT_NE(std::string::npos, second);
    EXPECT_EQ(first + started.size(), log.find(run0));
    EXPECT_EQ(second + started.size(), log.find(run1));
    EXPECT_EQ(log.size(), log.find(run1) + run1.size());
}

TEST_F(VeskLogTest, ShellCommandsDoNotInheritIt) {
    writeTextFile("zebdebuglog", "");
    enableVeskLog();
    ASSERT_TRUE(bVeskDebugLog);
    std::string files = filesAChildInherits();
    EXPECT_EQ(std::string::npos, files.find("/QUIB_DBG.log")) << files;
}

TEST_F(VeskLogTest, ALogThatCannotBeOpenedOrWrittenDoesNotStayOn) {
    writeTextFile("zebdebuglog", "");
    std::filesystem::create_directory("QUIB_DBG.log");
    enableVeskLog();
    EXPECT_FALSE(bVeskDebugLog);

    std::filesystem::remove("QUIB_DBG.log");
    enableVeskLog();
    ASSERT_TRUE(bVeskDebugLog);
    LogFile.setstate(std::ios::badbit);  // as after a write to a full disk
    disableVeskLog();
    EXPECT_FALSE(bVeskDebugLog);

    enableVeskLog();
    logVeskMsg("/src/storage/SecureVesk.cpp", 9, "written again");
    disableVeskLog();
    EXPECT_NE(std::string::npos,
              readTextFile("QUIB_DBG.log").find(": SecureVesk.cpp:9: written again\n"));
}
