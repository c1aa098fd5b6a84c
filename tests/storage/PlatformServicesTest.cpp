#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "baseutils/Logger.h"
#include "storage/partitions/LinuxImpl.h"
#include "storage/partitions/PlatformLayer.h"
#include "tests/support/TestSupport.h"
#include "vserver/EmulatedKernel.h"
#include "vserver/VirtualServer.h"

using ::testing::HasSubstr;
using ::testing::Not;

namespace {

const std::string kCheck = "lsmod | grep usb_storage  > /dev/null 2>&1";
const std::string kLoad = "modprobe usb_storage  > /dev/null 2>&1";
const std::string kUnload = "rmmod usb_storage  > /dev/null 2>&1";
const std::string kBuiltin =
    "grep -i \"usb[-_]storage.ko\" /lib/modules/$(uname -r)/modules.builtin  > /dev/null 2>&1";

class PlatformServicesTest : public ::testing::Test {
protected:
    PlatformServicesTest() {
        CLogger::GetInstance()->Close();
        CLogger::GetInstance()->Initialize("IPMIInventoryLog.txt");
        ForgetUsbCheck();
    }
    ~PlatformServicesTest() override {
        ForgetUsbCheck();
        CLogger::GetInstance()->Close();
    }

    static void ForgetUsbCheck() {
        CLinuxImpl::bUSBBlocklistCheckDone = false;
        CLinuxImpl::bUSBDriverNotLoaded = false;
        CLinuxImpl::bUSBDriverLoadedByZeb = false;
    }

    std::vector<std::string> commands() { return server.shell().commands(); }
    std::string log() const { return readTextFile("IPMIInventoryLog.txt"); }

    ScopedWorkingDirectory cwd;
    VirtualServer server;
    ScopedHostPort port{server};
    EmulatedKernel kernel{server};
};

TEST_F(PlatformServicesTest, AMissingDriverThatCannotBeLoadedIsRememberedAsBlocked) {
    kernel.setModprobeFails("usb_storage", true);
    EXPECT_TRUE(CPlatformLayer::isUSBblocklisted());
    EXPECT_EQ((std::vector<std::string>{kBuiltin, kCheck, kLoad}), commands());
    EXPECT_THAT(log(), HasSubstr("CLinuxImpl::isUSBblocklisted usb_storage module is not loaded. "
                                 "Attempt to load it was unsuccessful."));

    server.shell().clearCommands();
    EXPECT_TRUE(CPlatformLayer::isUSBblocklisted());
    EXPECT_EQ(std::vector<std::string>{kBuiltin}, commands());
    EXPECT_THAT(log(), HasSubstr(" CLinuxImpl::isUSBblocklisted check has already been performed "
                                 "earlier."));
    CPlatformLayer::unloadUSB();
    EXPECT_TRUE(server.shell().commandsContaining("rmmod").empty());
}

TEST_F(PlatformServicesTest, ADriverLoadedHereIsUnloadedAndTheCheckForgotten) {
    EXPECT_FALSE(CPlatformLayer::isUSBblocklisted());
    EXPECT_TRUE(kernel.isModuleLoaded("usb_storage"));
    EXPECT_EQ((std::vector<std::string>{kBuiltin, kCheck, kLoad, kCheck}), commands());
    EXPECT_THAT(
        log(), HasSubstr("CLinuxImpl::isUSBblocklisted loading usb_storage module is successful."));

    server.shell().clearCommands();
    CPlatformLayer::unloadUSB();
    EXPECT_EQ(std::vector<std::string>{kUnload}, commands());
    EXPECT_FALSE(kernel.isModuleLoaded("usb_storage"));
    EXPECT_THAT(log(), HasSubstr("CLinuxImpl::unloadUSB unloading usb module is successful."));
    EXPECT_FALSE(CLinuxImpl::bUSBBlocklistCheckDone);
    EXPECT_FALSE(CLinuxImpl::bUSBDriverLoadedByZeb);
}

TEST_F(PlatformServicesTest, ADriverThatWasPresentIsLeftAlone) {
    kernel.loadModule("usb_storage");
    EXPECT_FALSE(CPlatformLayer::isUSBblocklisted());
    EXPECT_EQ((std::vector<std::string>{kBuiltin, kCheck}), commands());
    CPlatformLayer::unloadUSB();
    EXPECT_TRUE(server.shell().commandsContaining("rmmod").empty());
    EXPECT_TRUE(kernel.isModuleLoaded("usb_storage"));
    EXPECT_THAT(log(), HasSubstr(" CLinuxImpl::unloadUSB is not required."));
}

TEST_F(PlatformServicesTest, AnUnloadThatKeepsFailingIsTried59Times) {
    EXPECT_FALSE(CPlatformLayer::isUSBblocklisted());
    kernel.setRmmodFails("usb_storage", true);
    server.shell().clearCommands();
    CPlatformLayer::unloadUSB();
    EXPECT_EQ(59u, commands().size());
    EXPECT_EQ(std::vector<std::uint64_t>(59, 1000), server.clock().sleeps());
    EXPECT_FALSE(CLinuxImpl::bUSBDriverLoadedByZeb);
}

TEST_F(PlatformServicesTest, BuiltInDriverIsNeverBlockedAndNeverRemembered) {
    kernel.setBuiltinModules({"usb_storage"});
    EXPECT_FALSE(CPlatformLayer::isUSBblocklisted());
    EXPECT_FALSE(CPlatformLayer::isUSBblocklisted());
    EXPECT_EQ((std::vector<std::string>{kBuiltin, kBuiltin}), commands());
    EXPECT_FALSE(CLinuxImpl::bUSBBlocklistCheckDone);
    EXPECT_THAT(log(), HasSubstr("CLinuxImpl::isUSBStorageStaticallyLinked usb_storage is built "
                                 "with kernel"));
}

TEST_F(PlatformServicesTest, VMwareHostsSkipTheCheckWithoutCommands) {
    server.setUname("VMkernel", "7.0.3");
    EXPECT_FALSE(CPlatformLayer::isUSBblocklisted());
    server.setUname("Linux", "2.6.18");
    server.writeFile("/etc/vmware-release", "VMware ESX Server 3 (Dali)\n");
    EXPECT_FALSE(CPlatformLayer::isUSBblocklisted());
    EXPECT_TRUE(commands().empty());
    EXPECT_THAT(log(), HasSubstr("getLinuxOSVer: ESX 3 Found"));
    EXPECT_THAT(log(), HasSubstr(" CLinuxImpl::Skipping USB blocklisting check for ESXi and ESX"));

    server.writeFile("/etc/vmware-release", "Something else\n");
    CLinuxImpl platform;
    EXPECT_FALSE(platform.isESXSystem());
    EXPECT_THAT(log(), HasSubstr("getLinuxOSVer: Unrecognized VMWare Found"));
}

TEST_F(PlatformServicesTest, FileTestsAndDirectories) {
    writeTextFile("x.xml", "<x/>");
    std::string directory = CPlatformLayer::getCurrentDirectory();
    EXPECT_EQ(cwd.path() + "/", directory);
    EXPECT_TRUE(CPlatformLayer::IsFileExits("x.xml"));
    EXPECT_FALSE(CPlatformLayer::IsFileExits("y.xml"));
    EXPECT_THAT(log(),
                HasSubstr("CLinuxImpl::IsFileExistsAbs() File name " + directory + "x.xml exist"));
    EXPECT_THAT(log(), HasSubstr("CLinuxImpl::IsFileExistsAbs() File name " + directory +
                                 "y.xml doesnt exist"));

    // System paths are looked up where the host keeps them.
    server.writeFile("/tmp/SECUPD/output.xml", "<a/>");
    EXPECT_TRUE(CPlatformLayer::IsFileExistsAbs("/tmp/SECUPD/output.xml"));
    EXPECT_FALSE(CPlatformLayer::IsFileExistsAbs("/tmp/SECUPD/input.xml"));
    EXPECT_THAT(log(), HasSubstr("File name /tmp/SECUPD/output.xml exist"));
    EXPECT_EQ(std::vector<std::string>{"/tmp/SECUPD/output.xml"},
              CPlatformLayer::GetFileList("/tmp/SECUPD"));
    EXPECT_EQ(std::vector<std::string>{"output.xml"},
              CPlatformLayer::GetFileListName("/tmp/SECUPD/"));

    EXPECT_EQ(0, CPlatformLayer::ExecuteCmdNoWait("true"));
    EXPECT_EQ("true &", commands().back());
    CPlatformLayer::Sleep(2);
    EXPECT_EQ(std::vector<std::uint64_t>{2000}, server.clock().sleeps());
}

TEST_F(PlatformServicesTest, AWorkingDirectoryTooDeepForTheBufferStillNamesItsOwnFiles) {
    // Nine levels of 250 characters: deeper than the 2048-byte buffer.
    const std::string level(250, 'd');
    for (int depth = 0; depth < 9; ++depth) {
        ASSERT_EQ(0, mkdir(level.c_str(), 0700));
        ASSERT_EQ(0, chdir(level.c_str()));
    }
    writeTextFile("x.xml", "<x/>");
    EXPECT_EQ("./", CPlatformLayer::getCurrentDirectory());
    EXPECT_TRUE(CPlatformLayer::IsFileExits("x.xml"));
    EXPECT_FALSE(CPlatformLayer::IsFileExits("etc/passwd"));
}

TEST_F(PlatformServicesTest, TheHardwareAccessLibraryIsAbsentHere) {
    EXPECT_FALSE(CPlatformLayer::isZurlInstalled());
    EXPECT_FALSE(CPlatformLayer::InstallZurl());
    EXPECT_TRUE(CPlatformLayer::UninstallZurl());
    EXPECT_EQ(0, CLinuxImpl::nZurlInstallRefCount);
    EXPECT_EQ(nullptr, CPlatformLayer::Load_Library("/no/such/library.so"));
    EXPECT_THAT(log(), HasSubstr("LoadZurlLibrary: Unable to Load libplimx64.so from "
                                 "/opt/brenn/zeb64/lib/"));
}

}  // namespace
