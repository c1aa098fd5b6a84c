#include "vserver/EmulatedKernel.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include "vserver/ScriptedBmc.h"
#include "vserver/VirtualServer.h"

namespace {

TEST(EmulatedKernel, ModulesFollowLsmodModprobeAndRmmodWithTheirDependencies) {
    VirtualServer server;
    EmulatedKernel kernel(server);
    VirtualShell& shell = server.shell();
    EXPECT_EQ(0, shell.run("lsmod | grep ipmi_si > /dev/null 2>&1").exitCode);
    EXPECT_NE(std::string::npos, shell.run("lsmod").output.find(
                                     "ipmi_msghandler       122880  2 ipmi_devintf,ipmi_si"));

    // A module others depend on stays; the dependants go first.
    EXPECT_EQ(1, shell.run("rmmod ipmi_msghandler").exitCode);
    EXPECT_EQ(0, shell.run("rmmod ipmi_si").exitCode);
    EXPECT_FALSE(server.hasDeviceNode("/dev/ipmi0"));  // no interface driver, no device
    EXPECT_EQ(0, shell.run("rmmod ipmi_devintf && rmmod ipmi_msghandler").exitCode);
    EXPECT_TRUE(kernel.loadedModules().empty());

    // modprobe brings the dependency along; a scripted failure sticks.
    EXPECT_EQ(0, shell.run("modprobe ipmi_devintf").exitCode);
    EXPECT_EQ((std::vector<std::string>{"ipmi_msghandler", "ipmi_devintf"}),
              kernel.loadedModules());
    kernel.setModprobeFails("ipmi_si", true);
    EXPECT_EQ(1, shell.run("modprobe ipmi_si").exitCode);
    EXPECT_EQ(1, shell.run("modprobe no_such_module").exitCode);
    kernel.setModprobeFails("ipmi_si", false);
    EXPECT_EQ(0, shell.run("modprobe ipmi_si").exitCode);
    EXPECT_TRUE(server.hasDeviceNode("/dev/ipmi0"));

    // An open device holds its drivers.
    int fd = server.open("/dev/ipmi0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(1, shell.run("rmmod ipmi_si").exitCode);
    server.close(fd);
    EXPECT_EQ(0, shell.run("rmmod ipmi_si").exitCode);
}

TEST(EmulatedKernel, BuiltInModulesAreListedUnderTheRunningRelease) {
    VirtualServer server;
    server.setUname("Linux", "5.14.0-demo");
    EmulatedKernel kernel(server);
    kernel.setBuiltinModules({"usb_storage"});
    EXPECT_EQ("kernel/drivers/usb/storage/usb-storage.ko\n",
              server.readFile("/lib/modules/5.14.0-demo/modules.builtin"));
    EXPECT_EQ(0, server.shell()
                     .run("grep -i \"usb[-_]storage.ko\" /lib/modules/$(uname -r)/modules.builtin")
                     .exitCode);
    EXPECT_EQ(0, server.shell().run("modprobe usb-storage").exitCode);
    EXPECT_FALSE(kernel.isModuleLoaded("usb_storage"));  // built in: nothing to load
}

TEST(ScriptedBmc, AnswersOnceThenStandingThenInvalidCommand) {
    ScriptedBmc bmc;
    bmc.answer(0x30, 0xA2, 0x00, {0x01});
    bmc.answerOnce(0x30, 0xA2, 0xC0);
    bmc.silenceOnce(0x30, 0xA2);
    IpmiRequest request{0x30, 0xA2, {0x00}};
    EXPECT_EQ(0xC0, bmc.exchange(request)->data[0]);
    EXPECT_FALSE(bmc.exchange(request).has_value());
    std::optional<IpmiResponse> standing = bmc.exchange(request);
    EXPECT_EQ(0x31, standing->netfn);
    EXPECT_EQ((std::vector<std::uint8_t>{0x00, 0x01}), standing->data);
    EXPECT_EQ(0xC1, bmc.exchange({0x06, 0x01, {}})->data[0]);
    EXPECT_EQ(3u, bmc.requestCount(0x30, 0xA2));
}

}  // namespace
