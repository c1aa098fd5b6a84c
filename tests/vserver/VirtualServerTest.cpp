#include "vserver/VirtualServer.h"

#include <fcntl.h>
#include <gtest/gtest.h>

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
