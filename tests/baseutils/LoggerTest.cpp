#include "baseutils/Logger.h"

#include <gtest/gtest.h>

#include "baseutils/Debugger.h"
#include "tests/support/TestSupport.h"
#include "vserver/VirtualServer.h"

namespace {

const std::string kTime = "[2026-12-04T21:20:27] ";  // the virtual clock's start, TZ=UTC

class PluginLogTest : public ::testing::Test {
protected:
    void SetUp() override { CLogger::GetInstance()->Close(); }
    void TearDown() override { CLogger::GetInstance()->Close(); }

    VirtualServer server;
    ScopedHostPort port{server};
    ScopedWorkingDirectory cwd;
};

}  // namespace

TEST_F(PluginLogTest, NothingIsWrittenBeforeInitialize) {
    CLogger::GetInstance()->log("/src/Probe.c", 7, "lost");
    EXPECT_FALSE(fileExists("debug.log"));
    EXPECT_FALSE(fileExists("IPMIInventoryLog.txt"));
}

TEST_F(PluginLogTest, LinesPadSourceAndLineAndASecondInitializeChangesNothing) {
    writeTextFile("plugin.log", "old run\n");
    CLogger* logger = CLogger::GetInstance();
    logger->Initialize("plugin.log");
    logger->Initialize("other.log");
    logger->log("/build/dir/Probe.c", 7, "first");
    std::ostringstream message;
    message << "count " << 3;
    logger->log("VeryLongSourceFileNameThatIsCut.cpp", 123456, message);
    EXPECT_EQ("", message.str());

    EXPECT_EQ(kTime + ": " + std::string(18, ' ') + "Probe.c:    7: first\n" + kTime +
                  ": VeryLongSourceFileNameThatIsCut.cpp:123456: count 3\n",
              readTextFile("plugin.log"));
    EXPECT_FALSE(fileExists("other.log"));
}

TEST_F(PluginLogTest, TimeTextsAreCutNotLost) {
    EXPECT_EQ("[2026-12-04T21:20:27] ", FormatLocalTime("[%Y-%m-%dT%H:%M:%S] ", 79));
    EXPECT_EQ("12/04/26, 09:20:27 PM", FormatLocalTime("%D, %r", 29));
    EXPECT_EQ("12/04/26, 0", FormatLocalTime("%D, %r", 11));
}

TEST(FileNameHelpers, BaseNameAndHexadecimalText) {
    EXPECT_EQ("c.cpp", CLogger::getFileName("/a/b/c.cpp"));
    EXPECT_EQ("c.cpp", getFileName("c.cpp"));
    EXPECT_EQ("", getFileName("/a/"));
    EXPECT_EQ(0x1f, Ascii2Hex("  1F"));
    EXPECT_EQ(0, Ascii2Hex("zz"));
    EXPECT_EQ(-1, Ascii2Hex("ffffffff"));
}

TEST_F(PluginLogTest, DebugLogIsOffUntilEnabledAndWritesTextsAsGiven) {
    cDebugger* debug = cDebugger::getInstance();
    debug->Debug("before\n");
    debug->DebugTime();
    EXPECT_FALSE(fileExists("zebdebuglog"));

    debug->EnableDebug("debug.txt");
    debug->EnableDebug("again.txt");
    debug->Debug("one ");
    std::ostringstream text;
    text << "two\n";
    debug->Debug(text);
    debug->DebugTime();
    cDebugger::Destroy();

    EXPECT_EQ("one two\n12/04/26, 09:20:27 PM\n", readTextFile("debug.txt"));
    EXPECT_TRUE(fileExists("zebdebuglog"));
    EXPECT_FALSE(fileExists("again.txt"));
}

TEST_F(PluginLogTest, ShellCommandsInheritNoLog) {
    // The probe sees what a child inherits: a file opened without
    // close-on-exec shows up.
    std::ofstream inherited("inherited.txt");
    ASSERT_NE(std::string::npos, filesAChildInherits().find("/inherited.txt"));

    CLogger::GetInstance()->Initialize("IPMIInventoryLog.txt");
    CLogger::GetInstance()->log("/src/Probe.c", 7, "open");
    cDebugger::getInstance()->EnableDebug("debug.txt");
    std::string files = filesAChildInherits();
    cDebugger::Destroy();
    EXPECT_EQ(std::string::npos, files.find("/IPMIInventoryLog.txt")) << files;
    EXPECT_EQ(std::string::npos, files.find("/debug.txt")) << files;
    EXPECT_EQ(std::string::npos, files.find("/zebdebuglog")) << files;
    EXPECT_NE(std::string::npos, readTextFile("IPMIInventoryLog.txt").find(": open\n"));
}
