#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kvoipmi/KvoIPMIInterfaceImpl.h"
#include "kvoipmi/LKvoIPMIDriverManager.h"
#include "tests/kvoipmi/IpmiTestBench.h"

namespace {

const std::string kCheckMsgHandler = "lsmod  | grep ipmi_msghandler > /dev/null 2>&1 ";
const std::string kCheckDevIntf = "lsmod  | grep ipmi_devintf > /dev/null 2>&1 ";
const std::string kCheckSI = "lsmod  | grep ipmi_si > /dev/null 2>&1 ";
const std::vector<std::string> kChecks = {kCheckMsgHandler, kCheckDevIntf, kCheckSI};

std::vector<std::string> Concat(std::vector<std::string> head,
                                const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

TEST(DriverManager, AllModulesLoadedMeansThreeChecksAndNothingElse) {
    IpmiBench bench;
    {
        DriverManager manager;
        EXPECT_EQ(0u, manager.IsIPMIDriverAvailable());
        EXPECT_EQ(0u, manager.IsIPMIDriverAvailable());  // known now: no command
    }
    EXPECT_EQ(kChecks, bench.server.shell().commands());
    EXPECT_TRUE(bench.server.clock().sleeps().empty());
}

TEST(DriverManager, LoadsMissingModulesAndUnloadsExactlyThoseInReverse) {
    IpmiBench bench;
    bench.kernel.unloadModule("ipmi_si");
    bench.kernel.unloadModule("ipmi_devintf");
    {
        DriverManager manager;
        EXPECT_EQ(0u, manager.IsIPMIDriverAvailable());
        EXPECT_TRUE(bench.kernel.isModuleLoaded("ipmi_si"));
    }
    EXPECT_EQ(
        Concat(kChecks,
               {"modprobe ipmi_devintf > /dev/null 2>&1 ", "modprobe ipmi_si > /dev/null 2>&1 ",
                "rmmod ipmi_si > /dev/null 2>&1 ", "rmmod ipmi_devintf > /dev/null 2>&1 "}),
        bench.server.shell().commands());
    EXPECT_EQ((std::vector<std::uint64_t>{3000, 3000}), bench.server.clock().sleeps());
    EXPECT_EQ(std::vector<std::string>{"ipmi_msghandler"}, bench.kernel.loadedModules());
}

TEST(DriverManager, APartialLoadFailureIsNotReportedAndStillUnloaded) {
    IpmiBench bench;
    bench.kernel.unloadModule("ipmi_si");
    bench.kernel.setModprobeFails("ipmi_si", true);
    DriverManager manager;
    EXPECT_EQ(0u, manager.IsIPMIDriverAvailable());
    bench.server.shell().clearCommands();
    EXPECT_EQ(0u, manager.ReleaseIPMIDriver());
    EXPECT_EQ(std::vector<std::string>{"rmmod ipmi_si > /dev/null 2>&1 "},
              bench.server.shell().commands());
    EXPECT_EQ((std::vector<std::uint64_t>{3000}), bench.server.clock().sleeps());
    EXPECT_EQ(0u, manager.ReleaseIPMIDriver());  // flags cleared: nothing more to undo
    EXPECT_EQ(1u, bench.server.shell().commands().size());
}

TEST(DriverManager, EveryLoadFailingReportsOne) {
    IpmiBench bench;
    for (const char* module : {"ipmi_si", "ipmi_devintf", "ipmi_msghandler"}) {
        bench.kernel.unloadModule(module);
        bench.kernel.setModprobeFails(module, true);
    }
    DriverManager manager;
    EXPECT_EQ(1u, manager.IsIPMIDriverAvailable());
    EXPECT_EQ(Concat(kChecks, {"modprobe ipmi_msghandler > /dev/null 2>&1 ",
                               "modprobe ipmi_devintf > /dev/null 2>&1 ",
                               "modprobe ipmi_si > /dev/null 2>&1 "}),
              bench.server.shell().commands());

    KvoIPMIInterfaceImpl facade;
    EXPECT_EQ(1u, facade.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr)));
    EXPECT_EQ(0u, bench.kernel.openFiles());
}

TEST(DriverManager, VMwareHostsRunNoCommand) {
    for (const char* sysname : {"VMkernel", "vmkernel"}) {
        IpmiBench bench;
        bench.server.setUname(sysname, "7.0.3");
        bench.kernel.unloadModule("ipmi_si");
        DriverManager manager;
        EXPECT_EQ(0u, manager.IsIPMIDriverAvailable());
        EXPECT_EQ(0u, manager.ReleaseIPMIDriver());
        EXPECT_TRUE(bench.server.shell().commands().empty()) << sysname;
    }
    IpmiBench bench;
    bench.server.writeFile("/etc/vmware-release", "VMware ESX 4.1 (Kandinsky)\n");
    DriverManager manager;
    EXPECT_EQ(0u, manager.IsIPMIDriverAvailable());
    EXPECT_TRUE(bench.server.shell().commands().empty());
}

TEST(DriverManager, InitializeLoadsModulesOpensTheDeviceAndLeavesModulesInUse) {
    IpmiBench bench;
    for (const char* module : {"ipmi_si", "ipmi_devintf", "ipmi_msghandler"}) {
        bench.kernel.unloadModule(module);
    }
    KvoIPMIInterfaceImpl facade;
    EXPECT_EQ(0u, facade.Initialize(static_cast<const _KvoIPMIConfiguration*>(nullptr)));
    EXPECT_EQ(1u, bench.kernel.openFiles());
    // The unloads run while the session holds the device: the kernel refuses.
    EXPECT_EQ(3u, bench.server.shell().commandsContaining("rmmod ").size());
    EXPECT_EQ((std::vector<std::string>{"ipmi_msghandler", "ipmi_devintf", "ipmi_si"}),
              bench.kernel.loadedModules());
    EXPECT_EQ((std::vector<std::uint64_t>{3000, 3000, 3000}), bench.server.clock().sleeps());
}

}  // namespace
