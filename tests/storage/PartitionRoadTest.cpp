#include <gtest/gtest.h>

#include <filesystem>

#include "storage/OsType.h"
#include "tests/storage/StorageFixture.h"
#include "tests/support/ControllerCommands.h"

namespace {

class PartitionRoadTest : public StorageTest {
protected:
    std::vector<std::string> commandsStartingWith(const std::string& prefix) {
        std::vector<std::string> found;
        for (const std::string& command : server.shell().commands()) {
            if (command.rfind(prefix, 0) == 0) {
                found.push_back(command);
            }
        }
        return found;
    }

    // A drop box created in the session; its slot at the controller.
    int createDropBox(secureVesk& vesk) {
        std::uint64_t granted = 0;
        EXPECT_TRUE(vesk.CreateDropBox("SECUPD", 0x100000, &granted));
        EXPECT_EQ(0x100000u, granted);
        for (int slot = 0; slot < 8; ++slot) {
            if (controller.storage().dynamicBitmap() & (1u << slot)) {
                return slot;
            }
        }
        return -1;
    }
};

}  // namespace

// The whole road of a drop box: found by its label, mounted, written, taken
// back into the controller's image, deleted; time only in the prescribed
// sleeps.
TEST_F(PartitionRoadTest, ADropBoxCarriesAFileFromTheHostToTheController) {
    controller.storage().createDynamic("SECUPD", 32768, 0x40);  // left by an earlier run
    secureVesk& vesk = layer();
    ASSERT_EQ(1, vesk.secureVeskInit());
    EXPECT_EQ(0, controller.storage().dynamicBitmap());
    server.shell().clearCommands();
    server.clock().clearSleeps();

    int slot = createDropBox(vesk);
    ASSERT_GE(slot, 0);
    ASSERT_TRUE(vesk.AttachPartition(0, veskPartInfo[0].attachMask, 0));
    std::string disk = simulated.disks().diskWithLabel("SECUPD")->diskPath;
    EXPECT_EQ("/dev/sdb", disk);
    EXPECT_EQ((std::vector<std::string>{"ln -sf /dev/sdb /dev/secvskupd-SECUPD"}),
              commandsStartingWith("ln "));
    EXPECT_EQ((std::vector<std::string>{
                  "mount -n -t vfat -oshortname=mixed,rw /dev/secvskupd-SECUPD /tmp/SECUPD"}),
              commandsStartingWith("mount "));
    // getDevicePath settles 5 s, the mount waits 1 s, the attach settles 10 s.
    EXPECT_EQ((std::vector<std::uint64_t>{5000, 1000, 10000}), longSleeps());

    server.writeFile("/tmp/SECUPD/update.xml", "<VESK_Update/>\n");
    ASSERT_TRUE(vesk.DetachPartition(0, veskPartInfo[0].attachMask, 0, false));
    EXPECT_EQ(std::optional<std::string>("<VESK_Update/>\n"),
              controller.readPartitionFile(true, slot, "update.xml"));
    EXPECT_FALSE(server.fileExists("/tmp/SECUPD"));
    EXPECT_FALSE(server.fileExists("/dev/secvskupd-SECUPD"));
    EXPECT_TRUE(simulated.mounts().mounts().empty());
    // Written while nothing is mounted: never reaches the controller.
    server.writeFile("/tmp/SECUPD/late.txt", "late");
    EXPECT_EQ(std::nullopt, controller.readPartitionFile(true, slot, "late.txt"));

    ASSERT_TRUE(vesk.DeleteDropBox(0));
    EXPECT_EQ(0, controller.storage().dynamicBitmap());
    this->vesk.reset();
    EXPECT_FALSE(controller.sessionOpen());
    EXPECT_FALSE(server.fileExists("/etc/udev/rules.d/98-secupdusb.rules"));
    EXPECT_EQ((std::vector<std::uint64_t>{5000, 1000, 10000}), longSleeps());
}

TEST_F(PartitionRoadTest, AStaticPartitionIsMountedReadOnlyByItsLabel) {
    secureVesk& vesk = layer();
    ASSERT_EQ(1, vesk.secureVeskInit());
    server.shell().clearCommands();
    ASSERT_TRUE(vesk.AttachVeskPartition("VSK022"));
    std::string disk = simulated.disks().diskWithLabel("VSK022")->diskPath;
    EXPECT_EQ((std::vector<std::string>{"mkdir -p /tmp/VSK022"}), commandsStartingWith("mkdir "));
    EXPECT_EQ((std::vector<std::string>{"ln -sf " + disk + " /dev/secvskupd-VSK022"}),
              commandsStartingWith("ln "));
    EXPECT_EQ((std::vector<std::string>{"mount -t vfat -oshortname=mixed,ro "
                                        "/dev/secvskupd-VSK022 /tmp/VSK022 > /dev/null 2>&1"}),
              commandsStartingWith("mount "));
    EXPECT_EQ("/tmp/VSK022/", veskPartInfo[22].mountPoint);
    ASSERT_EQ(1u, simulated.mounts().mountsOn("/tmp/VSK022").size());
    EXPECT_TRUE(simulated.mounts().mountsOn("/tmp/VSK022")[0].readOnly);

    ASSERT_TRUE(vesk.DetachVeskPartition("VSK022"));
    EXPECT_EQ("", veskPartInfo[22].mountPoint);
    EXPECT_TRUE(simulated.mounts().mounts().empty());
    EXPECT_FALSE(server.fileExists("/tmp/VSK022"));
}

TEST_F(PartitionRoadTest, EveryWayOfFindingTheDiskFindsIt) {
    struct Case {
        const char* name;
        bool sgLoaded;
        bool sysfs;
        bool partitionTable;
        const char* device;
    };
    const Case cases[] = {
        {"sg with sysfs", true, true, false, "/dev/sdb"},
        {"sg without sysfs", true, false, false, "/dev/sdb"},
        {"no sg", false, true, false, "/dev/sdb"},
        {"behind a partition table", true, true, true, "/dev/sdb1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServerDescription description = defaultServer();
        description.host.sgLoaded = c.sgLoaded;
        description.host.scsiGenericSysfs = c.sysfs;
        description.host.partitionTable = c.partitionTable;
        vesk.reset();
        SimulatedServer other(description);
        resetCatalogue();
        GenerationType = -1;
        secureVesk layer;
        ASSERT_EQ(1, layer.secureVeskInit());
        std::uint64_t granted = 0;
        ASSERT_TRUE(layer.CreateDropBox("SECUPD", 0x100000, &granted));
        ASSERT_TRUE(layer.AttachPartition(0, veskPartInfo[0].attachMask, 0));
        EXPECT_EQ(1u, other.host()
                          .shell()
                          .commandsContaining(std::string("ln -sf ") + c.device +
                                              " /dev/secvskupd-SECUPD")
                          .size());
        EXPECT_TRUE(layer.DetachPartition(0, veskPartInfo[0].attachMask, 0, false));
        EXPECT_TRUE(layer.DeleteDropBox(0));
    }
}

TEST_F(PartitionRoadTest, ADiskThatShowsLateIsLookedForAgain) {
    simulated.disks().setSettleSeconds(12);
    secureVesk& vesk = layer();
    ASSERT_EQ(1, vesk.secureVeskInit());
    createDropBox(vesk);
    server.clock().clearSleeps();
    ASSERT_TRUE(vesk.AttachPartition(0, veskPartInfo[0].attachMask, 0));
    EXPECT_EQ((std::vector<std::uint64_t>{5000, 5000, 5000, 1000, 10000}), longSleeps());
    EXPECT_EQ(3u, server.shell()
                      .commandsContaining("/sbin/blockdev --report /dev/sd* > /dev/null 2>&1")
                      .size());
}

TEST_F(PartitionRoadTest, PlantedLinksAndForeignDirectoriesAreNeverMountedOn) {
    struct Case {
        const char* name;
        std::function<void()> plant;
    };
    std::vector<Case> cases = {
        {"mount point is a link",
         [&] {
             std::filesystem::create_symlink(server.resolve("/etc"), server.resolve("/tmp/SECUPD"));
         }},
        {"mount point owned by another user",
         [&] {
             server.makeDirectory("/tmp/SECUPD");
             server.setOwner("/tmp/SECUPD", 1000);
         }},
        {"device link points at a directory",
         [&] { std::filesystem::create_symlink("/etc", server.resolve("/dev/secvskupd-SECUPD")); }},
    };
    kernel.loadModule("usb_storage");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        secureVesk& vesk = layer();
        ASSERT_EQ(1, vesk.secureVeskInit());
        int slot = createDropBox(vesk);
        controller.attach(0, static_cast<std::uint16_t>(1u << slot));
        c.plant();
        server.shell().clearCommands();
        EXPECT_FALSE(vesk.mountDynPartition());
        EXPECT_TRUE(commandsStartingWith("mount ").empty());
        EXPECT_TRUE(commandsStartingWith("ln ").empty());
        EXPECT_TRUE(simulated.mounts().mounts().empty());
        EXPECT_NE(std::string::npos, log().find("Refusing to "));
        // Leave the plant for the next case's clean slate.
        std::error_code ignored;
        std::filesystem::remove(server.resolve("/tmp/SECUPD"), ignored);
        std::filesystem::remove(server.resolve("/dev/secvskupd-SECUPD"), ignored);
        server.setOwner("/tmp/SECUPD", 0);
        controller.detach(0, static_cast<std::uint16_t>(1u << slot));
        vesk.DeleteDropBox(0);
    }
}

TEST_F(PartitionRoadTest, AMountThatNeverWorksIsRetriedFiveTimesAndDetached) {
    secureVesk& vesk = layer();
    ASSERT_EQ(1, vesk.secureVeskInit());
    server.shell().script("^mount ", 32);
    controller.clearRecord();
    server.clock().clearSleeps();
    EXPECT_FALSE(vesk.AttachVeskPartition("VSK001"));
    EXPECT_EQ(QUIB_ATTACH_FAILED, vesk.lastError);
    EXPECT_EQ(6u, controller.requestsFor(kDetach).size());
    EXPECT_EQ(300u, server.shell().commandsContaining("mount -t vfat").size());
    EXPECT_EQ(5u * 60u, sleepsOf(1000));
    EXPECT_EQ(5u, sleepsOf(5000));
    EXPECT_EQ(0u, sleepsOf(10000));
    EXPECT_FALSE(server.fileExists("/tmp/VSK001"));
    EXPECT_NE(std::string::npos,
              log().find("mountStatPartition did not succeed. Detaching partition and Retrying"));
}

TEST_F(PartitionRoadTest, EsxiShowsTheDropBoxAsADatastoreOfItsOwn) {
    ServerDescription description = defaultServer();
    description.host.os = "esxi";
    vesk.reset();
    SimulatedServer esxi(description);
    secureVesk layer;
    ASSERT_EQ(ESXi, layer.osType);
    ASSERT_EQ(1, layer.secureVeskInit());
    std::uint64_t granted = 0;
    ASSERT_TRUE(layer.CreateDropBox("SECUPD", 0x2000000, &granted));
    esxi.host().clock().clearSleeps();
    esxi.host().shell().clearCommands();
    ASSERT_TRUE(layer.AttachPartition(0, veskPartInfo[0].attachMask, 0));
    EXPECT_TRUE(esxi.host().shell().commandsContaining("mount ").empty());
    EXPECT_EQ(1u, esxi.host()
                      .shell()
                      .commandsContaining("ls /vmfs/volumes/ | grep SECUPD > /dev/null")
                      .size());
    EXPECT_EQ((std::vector<std::uint64_t>{2000, 10000}),
              std::vector<std::uint64_t>(esxi.host().clock().sleeps().begin(),
                                         esxi.host().clock().sleeps().end()));
    char directory[1024];
    layer.getDynPartDrive("SECUPD", directory);
    EXPECT_STREQ("/vmfs/volumes/SECUPD/", directory);
    esxi.host().writeFile(std::string(directory) + "update.xml", "x");
    ASSERT_TRUE(layer.DetachPartition(0, veskPartInfo[0].attachMask, 0, false));
    int slot = esxi.controller().storage().dynamicBitmap() == 1 ? 0 : -1;
    EXPECT_EQ(std::optional<std::string>("x"),
              esxi.controller().readPartitionFile(true, slot, "update.xml"));
    EXPECT_NE(std::string::npos, log().find("SECUPD Removed"));
    EXPECT_TRUE(layer.DeleteDropBox(0));
}

TEST_F(PartitionRoadTest, OnEsxiADiskThatNeverShowsIsLookedForSixtyTimesBackToBack) {
    server.setUname("VMkernel", "7.0.3");
    secureVesk& vesk = layer();
    server.clock().clearSleeps();
    EXPECT_EQ("", vesk.getDevicePath("SECUPD"));
    EXPECT_EQ(60u, server.shell().commandsContaining("esxcli storage filesystem rescan").size());
    EXPECT_EQ(60u, server.shell().commandsContaining("lsusb | grep -i 0624:0250").size());
    EXPECT_TRUE(longSleeps().empty());
}
