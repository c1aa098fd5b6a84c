// How ipmi-inventory behaves when its run or its surroundings fail: no usable
// IPMI, closed descriptors and pipes, signals, what earlier runs left.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "tests/support/ControllerCommands.h"
#include "tests/support/TestSupport.h"
#include "tools/InventoryOutput.h"
#include "tools/InventoryRun.h"
#include "tools/ProcessSetup.h"
#include "tools/SpawningHostPort.h"
#include "vserver/ServerDescription.h"
#include "vserver/SimulatedServer.h"

namespace fs = std::filesystem;

namespace {

struct Finished {
    int status = -1;  // exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

int decoded(int raw) {
    if (WIFEXITED(raw)) {
        return WEXITSTATUS(raw);
    }
    return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

// Runs the program through the shell with shellTail after its arguments
// (redirections), stdout and stderr into out.txt and err.txt unless the
// tail redirects them itself.
Finished runShell(const std::string& arguments, const std::string& shellTail,
                  const std::string& environment = "") {
    std::string line = environment + "'" + std::string(IPMI_INVENTORY_PROGRAM) + "' " + arguments +
                       " " + shellTail;
    int raw = std::system(line.c_str());
    return {decoded(raw), readTextFile("out.txt"), readTextFile("err.txt")};
}

std::string description(const std::string& name) {
    return bundledServersDirectory() + "/" + name;
}

// The default server with the Host element's attributes replaced.
std::string defaultServerWithHost(const std::string& attributes) {
    std::string text = readTextFile(description("default.xml"));
    std::string::size_type host = text.find("<Host");
    if (host == std::string::npos) {
        text.replace(text.find("</VirtualServer>"), 0, "  <Host " + attributes + "/>\n");
    } else {
        text.replace(host, text.find("/>", host) + 2 - host, "<Host " + attributes + "/>");
    }
    writeTextFile("server.xml", text);
    return "--virtual-server server.xml --workdir .";
}

// A directory of its own as TMPDIR for one program run.
class ScopedTmpdir {
public:
    ScopedTmpdir() : path_(fs::absolute("tmpdir").string()) { fs::create_directory(path_); }
    std::string environment() const { return "TMPDIR='" + path_ + "' "; }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

}  // namespace

// "No components" from a server whose IPMI cannot be used would be recorded
// as a good answer by a fleet script.
TEST(RunFailures, NoUsableIpmiDeviceIsAFailureThatSaysWhatToDo) {
    ScopedWorkingDirectory cwd;
    std::string server = defaultServerWithHost("ipmi=\"absent\"");
    Finished table = runShell(server, ">out.txt 2>err.txt");
    EXPECT_EQ(1, table.status);
    EXPECT_EQ("", table.out);
    EXPECT_EQ(0u, table.err.find("ipmi-inventory: no usable IPMI device: /dev/ipmi0: No such "
                                 "file or directory; load ipmi_devintf and ipmi_si, or run on "
                                 "a server with a management controller\n"))
        << table.err;
    EXPECT_EQ(std::string::npos, table.err.find("no embedded storage"));

    Finished json = runShell(server + " --format json", ">out.txt 2>err.txt");
    EXPECT_EQ(1, json.status);
    EXPECT_EQ(0u, json.out.find("{\n  \"devices\": [],\n  \"error\": {\n    \"code\": "));
}

// An answer read before a later clean-up step failed reaches the host and
// the operator, with the failure.
TEST(RunFailures, RecordsReadBeforeAFailedCleanUpAreListedWithTheError) {
    ScopedWorkingDirectory cwd;
    copyDataFiles(cwd.path());
    SimulatedServer server(loadServerDescription(description("default.xml")));
    server.controller().script().always(storageCommand(0x08), Behaviour::code(0xCC));
    InventoryOptions options;
    ReceivedRecords records;
    InventoryOutcome outcome = runInventory(options, records.devices);
    EXPECT_EQ(InventoryOutcome::Kind::Failed, outcome.kind);
    EXPECT_TRUE(outcome.recordsRead);
    EXPECT_EQ(12u, records.devices.size());
    std::string json = formatOutcome(outcome, records.devices, OutputFormat::Json, cwd.path());
    EXPECT_NE(std::string::npos, json.find("\"componentID\": \"25227\""));
    EXPECT_NE(std::string::npos, json.find("\"error\": {\n    \"code\": 44,")) << json;
    EXPECT_NE(
        std::string::npos,
        failureText(outcome, cwd.path()).find("the records listed were read before the failure"));
}

// A closed stdout must not make the plug-in log descriptor 1, and is a
// failed write.
TEST(RunFailures, AClosedStandardOutputIsAFailedWriteNotTheLog) {
    ScopedWorkingDirectory cwd;
    Finished run = runShell("--virtual-server '" + description("default.xml") + "' --workdir .",
                            ">&- 2>err.txt");
    EXPECT_EQ(1, run.status);
    EXPECT_NE(std::string::npos, run.err.find("ipmi-inventory: cannot write the output: "));
    std::string log = readTextFile("IPMIInventoryLog.txt");
    EXPECT_NE(std::string::npos, log.find("DoInventory"));
    EXPECT_EQ(std::string::npos, log.find("COMPONENT ID"));
}

// A reader that goes away (| head -1) ends the progress lines, not the run.
TEST(RunFailures, AClosedStderrPipeEndsProgressNotTheRun) {
    ScopedWorkingDirectory cwd;
    std::string line = "('" + std::string(IPMI_INVENTORY_PROGRAM) + "' --virtual-server '" +
                       description("default.xml") +
                       "' --workdir . --verbose 2>&1 >out.txt; echo $? >status.txt) | true";
    ASSERT_EQ(0, decoded(std::system(line.c_str())));
    EXPECT_EQ("0\n", readTextFile("status.txt"));
    EXPECT_EQ(0u, readTextFile("out.txt").find("COMPONENT ID"));
}

// SIGTERM, SIGHUP and SIGINT wait for the storage road to end and clean up;
// nothing is listed and the status says which signal it was.
TEST(RunFailures, ASignalEndsTheRunOnlyAfterItsCleanUp) {
    for (int signal : {SIGTERM, SIGHUP, SIGINT}) {
        SCOPED_TRACE(signal);
        ScopedWorkingDirectory cwd;
        ScopedTmpdir tmp;
        pid_t child = fork();
        if (child == 0) {
            setenv("TMPDIR", tmp.path().c_str(), 1);
            int out = open("out.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open("err.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::string server = description("default.xml");
            execl(IPMI_INVENTORY_PROGRAM, IPMI_INVENTORY_PROGRAM, "--virtual-server",
                  server.c_str(), "--workdir", ".", "--verbose", static_cast<char*>(nullptr));
            _exit(127);
        }
        // Signalled once the storage road is under way.
        for (int wait = 0; wait < 2000 &&
                           readTextFile("err.txt").find("opening the storage") == std::string::npos;
             ++wait) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        kill(child, signal);
        int raw = 0;
        waitpid(child, &raw, 0);
        EXPECT_EQ(128 + signal, decoded(raw));
        EXPECT_EQ("", readTextFile("out.txt"));
        std::string err = readTextFile("err.txt");
        EXPECT_NE(std::string::npos, err.find("closing the storage session; clean-up done"));
        EXPECT_NE(std::string::npos,
                  err.find("ipmi-inventory: stopped on signal " + std::to_string(signal)));
        EXPECT_EQ(std::vector<std::string>{}, tmp.entries());
    }
}

// What a virtual run killed outright left is removed by the next one; what a
// live process uses is not.
TEST(RunFailures, TheNextVirtualRunRemovesWhatAKilledOneLeft) {
    ScopedWorkingDirectory cwd;
    ScopedTmpdir tmp;
    pid_t gone = fork();
    if (gone == 0) {
        _exit(0);
    }
    waitpid(gone, nullptr, 0);
    std::string abandoned = tmp.path() + "/vserver-" + std::to_string(gone) + "-77-AbCdEf";
    fs::create_directories(abandoned + "/tmp/SECUPD");
    std::string ownStart;
    {
        std::ifstream stat("/proc/self/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        for (int number = 3; number <= 22 && fields >> ownStart; ++number) {
        }
    }
    std::string live =
        tmp.path() + "/vserver-" + std::to_string(getpid()) + "-" + ownStart + "-XyZ123";
    fs::create_directory(live);
    Finished run = runShell("--virtual-server '" + description("default.xml") + "' --workdir .",
                            ">out.txt 2>err.txt", tmp.environment());
    EXPECT_EQ(0, run.status);
    EXPECT_FALSE(fs::exists(abandoned));
    EXPECT_TRUE(fs::exists(live));
}

// The plug-in's child programs write into a log of the work directory; the
// program's own lines still reach its stderr.
TEST(RunFailures, ChildProgramsStderrGoesToALog) {
    ScopedWorkingDirectory cwd;
    int ownStderr = dup(2);
    int file = open("own.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(file, 2);
    close(file);
    {
        ChildStderrLog log("children.log");
        EXPECT_EQ(0, std::system("echo 'sh: 1: lsmod: not found' >&2"));
        std::cerr << "ipmi-inventory: own line" << std::endl;
    }
    std::cerr << "after" << std::endl;
    dup2(ownStderr, 2);
    close(ownStderr);
    EXPECT_EQ("sh: 1: lsmod: not found\n", readTextFile("children.log"));
    EXPECT_EQ("ipmi-inventory: own line\nafter\n", readTextFile("own.txt"));
}

// Not root: one line, and in JSON the error object too.
TEST(RunFailures, AMachineThatCannotBeAskedGivesTheErrorObject) {
    InventoryOutcome refusal = machineRefusal(realMachineProblem(false));
    std::string json = formatOutcome(refusal, {}, OutputFormat::Json, "");
    EXPECT_EQ(0u, json.find("{\n  \"devices\": [],\n  \"error\": {\n    \"code\": 74,\n"
                            "    \"text\": \"needs root:"));
}

// The held signals and the ignored SIGPIPE stay this program's: a command
// the plug-in runs (a daemon it starts) gets a clean signal state.
TEST(RunFailures, ShellCommandsStartWithNoSignalHeldOrIgnored) {
    sigset_t held;
    sigemptyset(&held);
    sigaddset(&held, SIGTERM);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &held, &before);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    struct sigaction previous {};
    sigaction(SIGPIPE, &ignore, &previous);
    SpawningHostPort port;
    std::string status;
    ASSERT_TRUE(port.popen("grep -E '^Sig(Blk|Ign)' /proc/self/status", 4096, status));
    EXPECT_EQ(0, port.system("exit 0"));
    EXPECT_EQ(3 << 8, port.system("exit 3"));
    sigaction(SIGPIPE, &previous, nullptr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    EXPECT_NE(std::string::npos, status.find("SigBlk:\t0000000000000000\n")) << status;
    EXPECT_EQ(std::string::npos, status.find("SigIgn:\t0000000000001000\n")) << status;

    std::string cut;
    int exited = 0;
    ASSERT_TRUE(port.popen("yes", 10, cut, &exited));
    EXPECT_EQ("y\ny\ny\ny\ny\n", cut);
    // The command with more to say ended of SIGPIPE (itself, or its shell says so).
    EXPECT_EQ(128 + SIGPIPE, decoded(exited));
}
