#include <gtest/gtest.h>

#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <functional>

#include "storage/OsType.h"
#include "storage/partitions/psu.h"
#include "tests/storage/StorageFixture.h"

namespace {

const char* const kReleaseFiles[] = {"/etc/vmware-release", "/etc/redhat-release",
                                     "/etc/SuSE-release",   "/VERSION",
                                     "/VER_INFO",           "/nimbl-version"};

class HostEnvironmentTest : public StorageTest {
protected:
    // Detects the host anew after the release files were replaced.
    int detect(const std::vector<std::pair<const char*, const char*>>& files,
               const std::string& kernel = "Linux") {
        for (const char* path : kReleaseFiles) {
            std::remove(server.resolve(path).c_str());
        }
        for (const auto& [path, content] : files) {
            server.writeFile(path, content);
        }
        server.setUname(kernel, "6.1.0-vserver");
        vesk->osType = -1;
        EXPECT_TRUE(vesk->getLinuxOSVer());
        return vesk->osType;
    }

    std::vector<std::string> rulesFilesIn(const std::string& directory) {
        std::vector<std::string> found;
        for (const char* file : {"98-secupdusb.rules", "00-secupd-brenn.rules"}) {
            if (server.fileExists(directory + file)) {
                found.push_back(file);
            }
        }
        return found;
    }
};

const std::vector<std::string> kBothRules = {"98-secupdusb.rules", "00-secupd-brenn.rules"};

}  // namespace

TEST_F(HostEnvironmentTest, HostTypesFromTheKernelAndTheReleaseFiles) {
    layer();
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> files;
        const char* kernel;
        int osType;
        const char* logLine;  // null: none expected
    };
    const Case cases[] = {
        {"ESXi", {}, "vmkernel", ESXi, "getLinuxOSVer: ESXi Found"},
        {"ESX 3",
         {{"/etc/vmware-release", "VMware ESX Server 3 (Dali)\n"}},
         "Linux",
         ESX,
         "getLinuxOSVer: ESX 3 Found"},
        {"ESX 4.1",
         {{"/etc/vmware-release", "VMware ESX 4.1 (Kandinsky)\n"}},
         "Linux",
         ESX4_1,
         "getLinuxOSVer: ESX 4 Found"},
        {"ESX 4",
         {{"/etc/vmware-release", "VMware ESX 4.0 (Kandinsky)\n"}},
         "Linux",
         ESX4,
         nullptr},
        {"ESX 5 goes on",
         {{"/etc/vmware-release", "VMware ESX 5\n"}, {"/etc/SuSE-release", "SLES 11\n"}},
         "Linux",
         SUSE,
         "getLinuxOSVer: Unrecognized VMWare Found"},
        {"Red Hat",
         {{"/etc/redhat-release", "Red Hat Enterprise Linux Server release 7.9\n"}},
         "Linux",
         REDHAT,
         "getLinuxOSVer REDHAT found"},
        {"XenServer",
         {{"/etc/redhat-release", "XenServer release 7.1.0\n"}},
         "Linux",
         XENSERVER,
         "getLinuxOSVer Xenserver found"},
        {"CentOS",
         {{"/etc/redhat-release", "CentOS Linux release 7 (Core)\n"}},
         "Linux",
         CENTOS,
         "getLinuxOSVer CentOS found"},
        {"CentOS with a version file but no key",
         {{"/etc/redhat-release", "CentOS Linux release 7 (Core)\n"},
          {"/nimbl-version", "BUILD=12\n"}},
         "Linux",
         REDHAT,
         nullptr},
        {"new deployment environment",
         {{"/etc/redhat-release", "CentOS Linux release 7 (Core)\n"},
          {"/nimbl-version", "BUILD=12\nNIMBL_MAJOR_VERSION=3\n"}},
         "Linux",
         ELI_NEW,
         "getLinuxOSVer: NEW ELI(TARSK) Found"},
        {"SUSE",
         {{"/etc/SuSE-release", "SUSE Linux Enterprise Server 11\n"}},
         "Linux",
         SUSE,
         "getLinuxOSVer: SLES Found"},
        {"Nimbl",
         {{"/VERSION", "X=1\nNIMBL_MAJOR_VERSION=2\n"}},
         "Linux",
         ELI,
         "getLinuxOSVer: ELI(NIMBL) Found"},
        {"Tarsk",
         {{"/VER_INFO", "TARSK_MAJOR_VERSION=4\n"}},
         "Linux",
         ELI,
         "getLinuxOSVer: ELI(TARSK) Found"},
        {"nothing known", {}, "Linux", REDHAT, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::size_t logBefore = log().size();
        EXPECT_EQ(c.osType, detect(c.files, c.kernel));
        if (c.logLine) {
            EXPECT_NE(std::string::npos, log().find(c.logLine, logBefore));
        }
    }
    // Detected once: a second call asks nothing.
    std::size_t setuids = server.setuidCalls().size();
    EXPECT_TRUE(vesk->getLinuxOSVer());
    EXPECT_EQ(setuids, server.setuidCalls().size());
    EXPECT_NE(std::string::npos, log().find("getLinuxOSVer OS Version previously set"));
}

TEST_F(HostEnvironmentTest, UdevRulesGoWhereTheHostReadsThem) {
    layer();
    struct Case {
        const char* name;
        std::vector<std::pair<const char*, const char*>> files;
        bool halRunning;
        bool installed;
        bool allDirectories;
    };
    const Case cases[] = {
        {"Red Hat", {{"/etc/redhat-release", "Red Hat Enterprise Linux 8\n"}}, false, true, false},
        {"SUSE with hal", {{"/etc/SuSE-release", "SLES\n"}}, true, true, false},
        {"SUSE without hal", {{"/etc/SuSE-release", "SLES\n"}}, false, false, false},
        {"CentOS", {{"/etc/redhat-release", "CentOS Linux 7\n"}}, false, false, true},
    };
    server.writeFile("/sbin/udevadm", "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        detect(c.files);
        services.halDaemonRunning = c.halRunning;
        vesk->halDaemonRunning = c.halRunning;
        server.shell().clearCommands();
        EXPECT_EQ(c.installed, vesk->udevhalInstall());
        EXPECT_EQ(kBothRules, rulesFilesIn("/etc/udev/rules.d/"));
        EXPECT_EQ(c.allDirectories ? kBothRules : std::vector<std::string>{},
                  rulesFilesIn("/lib/udev/rules.d/"));
        EXPECT_EQ(c.allDirectories ? kBothRules : std::vector<std::string>{},
                  rulesFilesIn("/run/udev/rules.d/"));
        EXPECT_FALSE(
            server.shell()
                .commandsContaining("/sbin/udevadm control --reload-rules > /dev/null 2>&1")
                .empty());
        struct stat installed {};
        ASSERT_EQ(0, server.stat("/etc/udev/rules.d/98-secupdusb.rules", &installed));
        EXPECT_EQ(0644u, installed.st_mode & 07777);
        EXPECT_EQ(readTextFile("98-secupdusb.rules"),
                  server.readFile("/etc/udev/rules.d/98-secupdusb.rules"));
        EXPECT_EQ(c.name == std::string("SUSE with hal") ? false : c.halRunning,
                  services.halDaemonRunning);
        EXPECT_TRUE(vesk->udevhalUninstall());
        EXPECT_TRUE(rulesFilesIn("/etc/udev/rules.d/").empty());
        EXPECT_TRUE(rulesFilesIn("/lib/udev/rules.d/").empty());
        EXPECT_EQ(c.halRunning, services.halDaemonRunning);
    }
}

// The work directory may be writable by others: a planted link must not
// have root copy what it leads to into /etc/udev/rules.d for all to read.
TEST_F(HostEnvironmentTest, RulesFilesAreInstalledOnlyFromRootsOwnRegularFiles) {
    layer();
    writeTextFile("secret", "root:$6$hash:19000:0:99999:7:::\n");
    struct Case {
        const char* name;
        std::function<void()> plant;
    };
    const Case cases[] = {
        {"a link to another file",
         [] {
             std::filesystem::remove("98-secupdusb.rules");
             std::filesystem::create_symlink("secret", "98-secupdusb.rules");
         }},
        {"another user's file",
         [&] {
             std::filesystem::remove("98-secupdusb.rules");
             writeTextFile("98-secupdusb.rules", "ACTION==\"add\", RUN+=\"/tmp/evil\"\n");
             server.setOwner("98-secupdusb.rules", 1000);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.plant();
        std::remove(server.resolve("/etc/udev/rules.d/98-secupdusb.rules").c_str());
        EXPECT_FALSE(vesk->CopyFile("98-secupdusb.rules", "/etc/udev/rules.d/"));
        EXPECT_FALSE(server.fileExists("/etc/udev/rules.d/98-secupdusb.rules"));
        EXPECT_NE(std::string::npos,
                  log().find("Not installing 98-secupdusb.rules: it is not a regular file owned "
                             "by root (links are not followed)"));
    }
    // The other rules file is still installed, readable by all, not executable.
    EXPECT_TRUE(vesk->CopyFile("00-secupd-brenn.rules", "/etc/udev/rules.d/"));
    struct stat installed {};
    ASSERT_EQ(0, server.lstat("/etc/udev/rules.d/00-secupd-brenn.rules", &installed));
    EXPECT_TRUE(S_ISREG(installed.st_mode));
    EXPECT_EQ(0644u, installed.st_mode & 07777);
}

TEST_F(HostEnvironmentTest, HalDaemonStateComesFromItsInitScript) {
    secureVesk& vesk = layer();
    EXPECT_FALSE(vesk.IsHalDaemonRunning());  // no init script
    server.writeFile("/etc/init.d/haldaemon", "#!/bin/sh\n");
    EXPECT_FALSE(vesk.IsHalDaemonRunning());  // not executable
    server.shell().run("chmod 755 /etc/init.d/haldaemon");
    services.halDaemonRunning = true;
    EXPECT_TRUE(vesk.IsHalDaemonRunning());
    EXPECT_TRUE(vesk.StopHalDaemon());
    EXPECT_FALSE(vesk.IsHalDaemonRunning());
}

TEST_F(HostEnvironmentTest, ConstructionIgnoresInterruptsAndStopsForTheUsbArbitrator) {
    layer();
    ASSERT_EQ(1u, server.signalActions().count(SIGINT));
    EXPECT_EQ(SIG_IGN, server.signalActions().at(SIGINT).sa_handler);
    EXPECT_EQ(0, vesk->lastError);

    server.setUname("VMkernel", "7.0.3");
    services.usbArbitratorRunning = true;
    secureVesk& esxi = layer();
    EXPECT_EQ(QUIB_USB_ARBITRATOR_RUNNING, esxi.lastError);
    EXPECT_EQ(0, esxi.layerReady);
    EXPECT_NE(std::string::npos, log().find("usbarbitrator serice is running.. please stop it"));
}

TEST_F(HostEnvironmentTest, CommandOutputIsCapturedUpTo512Bytes) {
    layer();
    server.shell().script("^print600$", 0, std::string(600, 'x'));
    EXPECT_EQ(std::string(512, 'x'), executeCmd("print600"));
    server.shell().script("^withzero$", 0, std::string("ab\0cd", 5));
    EXPECT_EQ("ab", executeCmd("withzero"));

    secureVesk& vesk = *this->vesk;
    kernel.unloadModule("sg");
    EXPECT_FALSE(vesk.isSGDriverLoaded());
    kernel.loadModule("sg");
    EXPECT_TRUE(vesk.isSGDriverLoaded());
    EXPECT_EQ(2u,
              server.shell().commandsContaining("lsmod | grep -w sg >/dev/null;echo $?").size());
}

TEST_F(HostEnvironmentTest, UnmountingAStaticPartitionRemovesItsDirectoryAndLinks) {
    secureVesk& vesk = layer();
    std::vector<std::pair<std::string, int>> unmounts;
    server.setUmountHandler([&](const std::string& target, int flags) {
        unmounts.emplace_back(target, flags);
        return 0;
    });
    server.makeDirectory("/tmp/VSK022");
    server.shell().clearCommands();
    EXPECT_TRUE(vesk.unmountStatPartition("VSK022"));
    EXPECT_EQ((std::vector<std::pair<std::string, int>>{{"/tmp/VSK022", UMOUNT_NOFOLLOW}}),
              unmounts);
    EXPECT_EQ((std::vector<std::string>{"rm -rf /tmp/VSK022 > /dev/null 2>&1",
                                        "rm -f /dev/secvskupd-* > /dev/null 2>&1"}),
              server.shell().commands());
}

// /tmp is anyone's: what stands at a mount directory is unmounted and
// removed only when it is root's own directory; a link is removed without
// being followed, another user's entry is left alone.
TEST_F(HostEnvironmentTest, UnmountsNeverFollowWhatOthersPlantedInTmp) {
    secureVesk& vesk = layer();
    std::vector<std::string> unmounted;
    server.setUmountHandler([&](const std::string& target, int flags) {
        EXPECT_EQ(UMOUNT_NOFOLLOW, flags);
        unmounted.push_back(target);
        errno = EINVAL;
        return -1;
    });
    struct Case {
        const char* name;
        std::function<void(const std::string&)> plant;
        bool unmounted;
        bool removed;
        const char* logLine;
    };
    const Case cases[] = {
        {"a link",
         [&](const std::string& path) {
             server.makeDirectory("/mnt/other");
             std::filesystem::create_symlink("/mnt/other", server.resolveEntry(path));
             server.setOwner(path, 1000);
         },
         false, true, ": it is a link; removing the link only"},
        {"another user's directory",
         [&](const std::string& path) {
             server.writeFile(path + "/theirs", "x");
             server.setOwner(path, 1000);
         },
         false, false, ": it is not a directory owned by root"},
        {"root's directory", [&](const std::string& path) { server.makeDirectory(path); }, true,
         true, nullptr},
    };
    for (const Case& c : cases) {
        for (const char* label : {"SECUPD", "VSK001"}) {
            SCOPED_TRACE(std::string(c.name) + " at /tmp/" + label);
            std::string path = std::string("/tmp/") + label;
            c.plant(path);
            unmounted.clear();
            bool dropBox = label == std::string("SECUPD");
            EXPECT_TRUE(dropBox ? vesk.unmountDynPartition() : vesk.unmountStatPartition(label));
            EXPECT_EQ(c.unmounted, !unmounted.empty());
            struct stat info {};
            EXPECT_EQ(c.removed, server.lstat(path, &info) != 0);
            if (c.logLine) {
                EXPECT_NE(std::string::npos, log().find(path + c.logLine));
            }
            server.setOwner(path, 0);
            std::filesystem::remove_all(server.resolveEntry(path));
        }
    }
    EXPECT_TRUE(server.fileExists("/mnt/other"));
}

TEST_F(HostEnvironmentTest, TheDropBoxIsUnmountedUntilNothingIsLeft) {
    secureVesk& vesk = layer();
    int mounted = 2;
    std::vector<std::string> targets;
    server.setUmountHandler([&](const std::string& target, int) {
        targets.push_back(target);
        if (mounted == 0) {
            errno = EINVAL;
            return -1;
        }
        --mounted;
        return 0;
    });
    server.writeFile("/tmp/SECUPD/leftover", "x");
    server.shell().run("ln -sf /dev/sdb /dev/secvskupd-SECUPD");
    EXPECT_TRUE(vesk.unmountDynPartition());
    EXPECT_EQ(3u, targets.size());
    EXPECT_EQ("/tmp/SECUPD", targets[0]);
    EXPECT_FALSE(server.fileExists("/tmp/SECUPD"));
    EXPECT_FALSE(server.fileExists("/dev/secvskupd-SECUPD"));
    EXPECT_NE(std::string::npos, log().find("Umount Error Num = 22"));
}

TEST_F(HostEnvironmentTest, ABusyDropBoxIsWaitedForAMinuteAndItsFilesKept) {
    secureVesk& vesk = layer();
    unsigned calls = 0;
    server.setUmountHandler([&](const std::string&, int) {
        ++calls;
        errno = EBUSY;
        return -1;
    });
    server.writeFile("/tmp/SECUPD/update.xml", "x");
    server.clock().clearSleeps();
    EXPECT_TRUE(vesk.unmountDynPartition());
    EXPECT_EQ(60u, calls);
    EXPECT_EQ(59u, sleepsOf(1000));
    EXPECT_TRUE(server.fileExists("/tmp/SECUPD/update.xml"));
}

TEST_F(HostEnvironmentTest, EsxiNeedsNoUnmountAndRescansAfterADetach) {
    server.setUname("VMkernel", "7.0.3");
    secureVesk& vesk = layer();
    server.shell().clearCommands();
    EXPECT_TRUE(vesk.unmountDynPartition());
    EXPECT_TRUE(server.shell().commands().empty());

    server.writeFile("/vmfs/volumes/SECUPD/update.xml", "x");  // stale datastore
    server.clock().clearSleeps();
    vesk.CleanMountedPartition();
    EXPECT_EQ(5u, server.shell().commandsContaining("esxcli storage filesystem rescan").size());
    EXPECT_EQ(4u, sleepsOf(2000));
    std::remove(server.resolve("/vmfs/volumes/SECUPD/update.xml").c_str());
    std::remove(server.resolve("/vmfs/volumes/SECUPD").c_str());
    server.shell().clearCommands();
    vesk.CleanMountedPartition();
    EXPECT_EQ(1u, server.shell().commandsContaining("esxcli storage filesystem rescan").size());
    EXPECT_NE(std::string::npos, log().find("SECUPD Removed"));
}

TEST_F(HostEnvironmentTest, StaleScsiEntriesOfEsxAreRemovedWhenTheirAddressIsNumeric) {
    secureVesk& vesk = layer();
    vesk.osType = ESX;
    const std::string listing =
        "Attached devices:\n"
        "Host: scsi0 Channel: 00 Id: 00 Lun: 00\n"
        "  Vendor: ATA      Model: DISK             Rev: 1.0\n"
        "Host: scsi12 Channel: 00 Id: 01 Lun: 00\n"
        "  Vendor: Brenn    Model: SECUPD           Rev: 1.0\n";
    server.writeFile("/proc/scsi/scsi", listing);
    server.shell().clearCommands();
    vesk.ESX_RemoveEntries(0, 0x0100, 0);
    EXPECT_EQ((std::vector<std::string>{
                  "/bin/cat /proc/scsi/scsi | /bin/sed -n '/SECUPD/{g;1!p;};h'",
                  "echo \"scsi remove-single-entry 12 00 01 00\" > /proc/scsi/scsi"}),
              server.shell().commands());

    server.writeFile("/proc/scsi/scsi",
                     "Host: scsi$(reboot) Channel: 00 Id: 00 Lun: 00\n  Model: SECUPD\n");
    server.shell().clearCommands();
    vesk.ESX_RemoveEntries(0, 0x0100, 0);
    EXPECT_EQ(1u, server.shell().commands().size());
}

TEST_F(HostEnvironmentTest, ServerDescriptionsLayOutTheirHostSystems) {
    struct Case {
        const char* os;
        int osType;
    };
    const Case cases[] = {{"redhat", REDHAT},     {"centos", CENTOS}, {"xenserver", XENSERVER},
                          {"suse", SUSE},         {"nimbl", ELI},     {"tarsk", ELI},
                          {"nimbl-new", ELI_NEW}, {"esx3", ESX},      {"esx4", ESX4},
                          {"esx41", ESX4_1},      {"esxi", ESXi}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.os);
        ServerDescription description = defaultServer();
        description.host.os = c.os;
        vesk.reset();
        SimulatedServer host(description);
        secureVesk layer;
        EXPECT_EQ(c.osType, layer.osType);
    }
    EXPECT_THROW(parseServerDescription("<VirtualServer><Host os=\"beos\"/></VirtualServer>"),
                 ServerDescriptionError);
}
