#include "storage/DoCopy.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "storage/VeskLog.h"
#include "tests/support/TestSupport.h"
#include "vserver/HostPrograms.h"
#include "vserver/VirtualServer.h"

namespace {

const std::string kTarget = "/tmp/SECUPD/";
const std::string kSource = "/opt/pkg/payload.bin";

using Commands = std::vector<std::string>;

namespace fs = std::filesystem;

// A host whose shell copies and makes directories in its sandbox, and can be
// made to fail to start for mkdir.
class CopyHost : public VirtualServer {
public:
    CopyHost() { addHostPrograms(*this, services); }

    int system(const std::string& command) override {
        if (noShellForMkdir && command.rfind("mkdir ", 0) == 0) {
            shell().run(command);  // still recorded
            return -1;
        }
        return VirtualServer::system(command);
    }

    bool noShellForMkdir = false;
    HostServices services;
};

class DoCopyTest : public ::testing::Test {
protected:
    DoCopyTest() {
        server.writeFile(kSource, "payload");
        fs::create_directories(server.resolve(kTarget));
        writeTextFile("zebdebuglog", "");
        enableVeskLog();
    }
    ~DoCopyTest() override { disableVeskLog(); }

    // The messages of the copy function's log lines, in order.
    std::vector<std::string> logged() {
        std::vector<std::string> messages;
        std::istringstream log(readTextFile("QUIB_DBG.log"));
        const std::regex line("^.*: DoCopy\\.cpp:[0-9]+: (.*)$");
        for (std::string text; std::getline(log, text);) {
            std::smatch match;
            if (std::regex_match(text, match, line)) {
                messages.push_back(match[1]);
            }
        }
        return messages;
    }

    CopyHost server;
    ScopedHostPort port{server};
    ScopedWorkingDirectory cwd;
};

struct CopyCase {
    int mode;
    std::string relativePath;
    Commands commands;
    int status;
    std::string copy;  // where the payload lands, if anywhere
};

const CopyCase kCopyCases[] = {
    {1,
     "21/x.xml",
     {"/bin/cp /opt/pkg/payload.bin /tmp/SECUPD/x.xml > /dev/null"},
     0,
     "/tmp/SECUPD/x.xml"},
    {16,
     "21/a/b/file",
     {"mkdir /tmp/SECUPD/a > /dev/null 2>&1", "mkdir /tmp/SECUPD/a/b > /dev/null 2>&1",
      "/bin/cp /opt/pkg/payload.bin /tmp/SECUPD/a/b/file > /dev/null"},
     0,
     "/tmp/SECUPD/a/b/file"},
    {8,
     "21/c/d",
     {"mkdir /tmp/SECUPD/c > /dev/null 2>&1", "/bin/mkdir -p /tmp/SECUPD/c/d > /dev/null 2>&1"},
     0,
     ""},
    {9,
     "21/ssib.bin",
     {"/bin/cp /opt/pkg/payload.bin /tmp/SECUPD/ > /dev/null"},
     0,
     "/tmp/SECUPD/payload.bin"},
    // No "/": the whole path is the tail.
    {1,
     "top.xml",
     {"/bin/cp /opt/pkg/payload.bin /tmp/SECUPD/top.xml > /dev/null"},
     0,
     "/tmp/SECUPD/top.xml"},
    // A leading "/" does not start the directories, the next one does: the
    // copy goes to x/y/z, which has no x.
    {1,
     "/x/y/z",
     {"mkdir /tmp/SECUPD/y > /dev/null 2>&1",
      "/bin/cp /opt/pkg/payload.bin /tmp/SECUPD/x/y/z > /dev/null"},
     1 << 8,
     ""},
    // Other modes run an empty command.
    {3, "21/e/x.xml", {"mkdir /tmp/SECUPD/e > /dev/null 2>&1", ""}, 0, ""},
    {0, "21/x.xml", {""}, 0, ""},
};

}  // namespace

TEST_F(DoCopyTest, EachModeRunsItsCommands) {
    for (const CopyCase& c : kCopyCases) {
        server.shell().clearCommands();
        EXPECT_EQ(c.status, doCopy(kTarget, c.relativePath, kSource, static_cast<exmlMode>(c.mode)))
            << c.relativePath;
        EXPECT_EQ(c.commands, server.shell().commands()) << c.relativePath;
        if (!c.copy.empty()) {
            EXPECT_EQ("payload", server.readFile(c.copy)) << c.relativePath;
        }
    }
    EXPECT_TRUE(fs::is_directory(server.resolve("/tmp/SECUPD/c/d")));
}

TEST_F(DoCopyTest, ReturnsTheFinalCommandsStatusAndLogsEachStep) {
    server.shell().script("^/bin/cp ", 1);
    EXPECT_EQ(1 << 8, doCopy(kTarget, "21/a/file", kSource, EXML_FILECOPY));
    const std::string mkdir = "mkdir /tmp/SECUPD/a > /dev/null 2>&1";
    const std::string copy = "/bin/cp /opt/pkg/payload.bin /tmp/SECUPD/a/file > /dev/null";
    EXPECT_EQ((std::vector<std::string>{"doCopy", "Creating directory", mkdir, "succeeded",
                                        "Cmd: " + copy, "Executing command " + copy}),
              logged());
}

TEST_F(DoCopyTest, AMkdirWithoutShellIsLoggedAsFailedAndTheCopyStillRuns) {
    server.noShellForMkdir = true;
    EXPECT_EQ(0, doCopy(kTarget, "21/a/file", kSource, EXML_SIGNEDUNZIP));
    std::vector<std::string> messages = logged();
    ASSERT_EQ(6u, messages.size());
    EXPECT_EQ("failed", messages[3]);
    EXPECT_EQ("Executing command /bin/cp /opt/pkg/payload.bin /tmp/SECUPD/a/file > /dev/null",
              messages[5]);
}

TEST_F(DoCopyTest, AnEmptyCommandIsNotLoggedAsCmd) {
    EXPECT_EQ(0, doCopy(kTarget, "21/x.xml", kSource, EXML_FILEDELETE));
    EXPECT_EQ((std::vector<std::string>{"doCopy", "Executing command "}), logged());
}

TEST_F(DoCopyTest, PathsTheShellWouldSplitAreQuoted) {
    doCopy(kTarget, "21/my dir/it's;x", "/opt/pkg/a b", EXML_FILECOPY);
    EXPECT_EQ((Commands{"mkdir '/tmp/SECUPD/my dir' > /dev/null 2>&1",
                        "/bin/cp '/opt/pkg/a b' '/tmp/SECUPD/my dir/it'\\''s;x' > /dev/null"}),
              server.shell().commands());
}
