#include "vserver/VirtualServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "inventory/Stage_IPMIInventory.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"
#include "tests/support/ControllerCommands.h"
#include "tests/support/TestSupport.h"
#include "vserver/HostPrograms.h"
#include "vserver/SimulatedServer.h"

TEST(VirtualShell, RecordsEveryCommandAndFailsUnknownOnesWith127) {
    VirtualShell shell;
    EXPECT_EQ(127, shell.run("frobnicate --now").exitCode);
    EXPECT_EQ(0, shell.run("echo hi | grep -q hi").exitCode);
    ASSERT_EQ(2u, shell.commands().size());
    EXPECT_EQ("frobnicate --now", shell.commands()[0]);
}

TEST(VirtualShell, PipesSequencesSubstitutionAndScripts) {
    VirtualShell shell;
    shell.addProgram("uname", [](const auto&, const auto&) { return ShellResult{0, "6.1.0\n"}; });
    EXPECT_EQ("x-6.1.0\n", shell.run("echo x-$(uname -r)").output);
    EXPECT_EQ(1, shell.run("echo abc | grep -i \"x[-_]y\"  > /dev/null 2>&1").exitCode);
    EXPECT_EQ(0, shell.run("false || true").exitCode);
    EXPECT_EQ(1, shell.run("false && true").exitCode);
    shell.script("^modprobe usb_storage", 1);
    EXPECT_EQ(1, shell.run("modprobe usb_storage  > /dev/null 2>&1").exitCode);
}

TEST(VirtualServer, SleepsAdvanceTheClockAndPathsResolveUnderTheSandbox) {
    VirtualServer server;
    std::time_t start = server.now();
    server.sleepSeconds(2);
    server.sleepMilliseconds(50);
    EXPECT_EQ(start + 2, server.now());
    EXPECT_EQ((std::vector<std::uint64_t>{2000, 50}), server.clock().sleeps());
    EXPECT_EQ(server.root() + "/etc/x", server.resolve("/etc/x"));
    EXPECT_EQ("rel/x", server.resolve("rel/x"));
    server.writeFile("/etc/vmware-release", "VMware ESX 4.1\n");
    EXPECT_EQ(0, server.system("grep -i \"esx 4\" /etc/vmware-release > /dev/null"));
    EXPECT_EQ(1 << 8, server.system("grep -i esxi /etc/vmware-release > /dev/null"));
}

TEST(VirtualServer, MissingDeviceNodesFailToOpen) {
    VirtualServer server;
    EXPECT_EQ(-1, server.open("/dev/ipmi0", O_RDWR));
    server.addDeviceNode("/dev/ipmi0", [](int) { return std::make_unique<VirtualDevice>(); });
    int fd = server.open("/dev/ipmi0", O_RDWR);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(1u, server.openDescriptors());
    EXPECT_EQ(0, server.close(fd));
    EXPECT_EQ(0u, server.openDescriptors());
}

namespace {

bool insideRoot(const VirtualServer& server, const std::string& hostPath) {
    return hostPath == server.root() || hostPath.rfind(server.root() + "/", 0) == 0;
}

}  // namespace

TEST(VirtualServer, PathsWalkAsInAChrootAndNeverLeaveTheSandbox) {
    VirtualServer server;
    server.makeDirectory("/tmp/SECUPD/sub");
    std::filesystem::create_symlink("/etc", server.resolveEntry("/tmp/etc-link"));
    std::filesystem::create_symlink("../../..", server.resolveEntry("/tmp/SECUPD/up"));
    struct Case {
        const char* path;
        const char* canonical;
    };
    const Case cases[] = {
        {"/tmp/SECUPD/../x", "/tmp/x"},
        {"/tmp/SECUPD/../../../../../../x", "/x"},
        {"/..", "/"},
        {"/tmp/./SECUPD//sub/../sub/", "/tmp/SECUPD/sub"},
        {"/tmp/etc-link/passwd", "/etc/passwd"},  // absolute targets start at the root
        {"/tmp/SECUPD/sub/../up/x", "/x"},        // relative ones where the link is
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.canonical, server.canonicalPath(c.path).value_or("(failed)"));
        EXPECT_TRUE(insideRoot(server, server.resolve(c.path)));
    }
    EXPECT_EQ("/tmp/etc-link", server.canonicalPath("/tmp/etc-link", false).value_or(""));

    // What the shell writes through such paths lands inside too.
    EXPECT_EQ(0, server.system("echo x > /tmp/SECUPD/../../../../../../escaped"));
    EXPECT_EQ("x\n", server.readFile("/escaped"));
    EXPECT_FALSE(
        std::filesystem::exists(std::filesystem::path(server.root()).parent_path() / "escaped"));

    // A loop of links fails as Linux fails it.
    std::filesystem::create_symlink("/tmp/loop-b", server.resolveEntry("/tmp/loop-a"));
    std::filesystem::create_symlink("/tmp/loop-a", server.resolveEntry("/tmp/loop-b"));
    errno = 0;
    EXPECT_FALSE(server.canonicalPath("/tmp/loop-a/x"));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_EQ(-1, server.open("/tmp/loop-a", O_RDONLY));
    EXPECT_EQ(ELOOP, errno);
}

TEST(VirtualServer, LinksAreFollowedOrNotAsTheCallsOfLinuxDo) {
    HostServices services;
    VirtualServer server;
    addHostPrograms(server, services);
    server.writeFile("/etc/secret", "root only\n");
    std::filesystem::create_symlink("/etc/secret", server.resolveEntry("/tmp/planted"));
    server.addDeviceNode("/dev/sdb", [](int) { return std::make_unique<VirtualDevice>(); });
    std::filesystem::create_symlink("/dev/sdb", server.resolveEntry("/dev/secvskupd-SECUPD"));

    struct stat info {};
    ASSERT_EQ(0, server.lstat("/tmp/planted", &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    ASSERT_EQ(0, server.stat("/tmp/planted", &info));
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(-1, server.open("/tmp/planted", O_RDONLY | O_NOFOLLOW));
    EXPECT_EQ(ELOOP, errno);
    EXPECT_EQ(-1, server.open("/tmp/planted", O_RDWR | O_CREAT | O_EXCL));
    EXPECT_EQ(EEXIST, errno);
    int fd = server.open("/tmp/planted", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(0, server.close(fd));
    // A link to a device node opens the device.
    fd = server.open("/dev/secvskupd-SECUPD", O_RDONLY);
    EXPECT_GE(fd, 900);
    EXPECT_EQ(0, server.close(fd));
    EXPECT_EQ(-1, server.mkdir("/tmp/planted", 0700));
    EXPECT_EQ(EEXIST, errno);

    // Owners belong to the entry: the link may be another user's.
    server.setOwner("/tmp/planted", 1000);
    ASSERT_EQ(0, server.lstat("/tmp/planted", &info));
    EXPECT_EQ(1000u, info.st_uid);
    ASSERT_EQ(0, server.stat("/tmp/planted", &info));
    EXPECT_EQ(0u, info.st_uid);

    // rm removes the link, never what it leads to.
    EXPECT_EQ(0, server.system("rm -rf /tmp/planted"));
    EXPECT_EQ("root only\n", server.readFile("/etc/secret"));
    EXPECT_FALSE(server.fileExists("/tmp/planted"));
}

TEST(VirtualServer, ShellProgramsFollowLinksAsTheirLinuxNamesakes) {
    HostServices services;
    VirtualServer server;
    addHostPrograms(server, services);
    server.makeDirectory("/mnt/other");
    std::filesystem::create_symlink("/mnt/other", server.resolveEntry("/tmp/dir-link"));
    std::filesystem::create_symlink("/nowhere/file", server.resolveEntry("/tmp/dangling"));
    server.writeFile("/src", "payload");

    // mkdir -p accepts a link to a directory, refuses a link leading nowhere.
    EXPECT_EQ(0, server.system("mkdir -p /tmp/dir-link"));
    EXPECT_NE(0, server.system("mkdir -p /tmp/dangling"));
    EXPECT_FALSE(server.fileExists("/nowhere"));
    // cp writes into the directory a link leads to, but not through a
    // dangling link.
    EXPECT_EQ(0, server.system("cp /src /tmp/dir-link"));
    EXPECT_EQ("payload", server.readFile("/mnt/other/src"));
    EXPECT_NE(0, server.system("cp /src /tmp/dangling"));
    EXPECT_FALSE(server.fileExists("/nowhere/file"));
    // ln -s puts the new link inside a directory its name leads to.
    EXPECT_EQ(0, server.system("ln -s /etc/rules /tmp/dir-link"));
    struct stat info {};
    ASSERT_EQ(0, server.lstat("/mnt/other/rules", &info));
    EXPECT_TRUE(S_ISLNK(info.st_mode));
}

namespace {

// What one inventory shows of a server: every exchange with the controller,
// every shell command, the virtual time, the records.
struct RunRecord {
    std::vector<std::string> exchanges;
    std::vector<std::string> commands;
    std::uint64_t elapsedMs = 0;
    std::vector<std::string> records;
};

RunRecord inventoryOn(SimulatedServer& server) {
    ScopedWorkingDirectory cwd;
    copyDataFiles(cwd.path());
    GenerationType = -1;
    for (spartInfo& row : veskPartInfo) {
        row.mountPoint.clear();
        row.attachMask = 0;
        row.present = 0;
    }
    std::vector<CDeviceInfo*> devices;
    GetInventory(devices);
    RunRecord run;
    for (CDeviceInfo* device : devices) {
        run.records.push_back(device->getDeviceName() + " " + device->getVersion());
        delete device;
    }
    for (const RecordedExchange& exchange : server.controller().exchanges()) {
        std::string text;
        for (std::uint8_t byte : exchange.request.data) {
            text += std::to_string(byte) + " ";
        }
        text += "->";
        if (exchange.response) {
            for (std::uint8_t byte : exchange.response->data) {
                text += " " + std::to_string(byte);
            }
        }
        run.exchanges.push_back(text);
    }
    run.commands = server.host().shell().commands();
    run.elapsedMs = server.host().clock().elapsedMilliseconds();
    return run;
}

}  // namespace

// One server can serve many runs: after a reset it answers exactly as a
// new one would, whatever the run before did to it.
TEST(SimulatedServer, AResetServerAnswersLikeANewOne) {
    ServerDescription description =
        loadServerDescription(bundledServersDirectory() + "/default.xml");
    RunRecord fresh;
    {
        SimulatedServer server(description);
        fresh = inventoryOn(server);
    }
    ASSERT_EQ(12u, fresh.records.size());

    SimulatedServer server(description);
    // A run that leaves things behind: a refused delete keeps the drop box,
    // modules are changed, files and a link are planted, a mount stays.
    server.controller().script().always(storageCommand(0x08), Behaviour::code(0xCC));
    server.controller().settings().records.currentRecords = "<SVMInventory/>";
    server.kernel().unloadModule("sg");
    server.kernel().loseResponses(2);
    server.host().writeFile("/tmp/leftover/file", "x");
    std::filesystem::create_symlink("/etc", server.host().resolveEntry("/tmp/SECUPD"));
    server.host().setOwner("/tmp/SECUPD", 1000);
    server.host().makeDirectory("/mnt/other");
    server.host().system("mount -t tmpfs tmpfs /mnt/other");
    server.host().shell().script("^modprobe sg", 1);
    inventoryOn(server);

    server.reset();
    RunRecord again = inventoryOn(server);
    EXPECT_EQ(fresh.exchanges, again.exchanges);
    EXPECT_EQ(fresh.commands, again.commands);
    EXPECT_EQ(fresh.elapsedMs, again.elapsedMs);
    EXPECT_EQ(fresh.records, again.records);
    EXPECT_TRUE(server.mounts().mounts().empty());
}
