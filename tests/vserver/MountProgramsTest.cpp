#include "vserver/MountPrograms.h"

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <filesystem>

#include "tests/support/TestSupport.h"
#include "vserver/SimulatedServer.h"

namespace {

namespace fs = std::filesystem;
using Files = std::vector<std::string>;

const char* const kMountRw =
    "mount -n -t vfat -oshortname=mixed,rw /dev/secvskupd-SECUPD /tmp/SECUPD";
const char* const kMountRo =
    "mount -t vfat -oshortname=mixed,ro /dev/secvskupd-SECUPD /tmp/SECUPD > /dev/null 2>&1";

// A drop box attached as /dev/sdb, the link the plug-in makes to it and its
// mount directory.
class MountTest : public ::testing::Test {
protected:
    MountTest()
        : server(loadServerDescription(bundledServersDirectory() + "/default.xml")),
          host(server.host()) {
        server.kernel().loadModule("usb_storage");
        slot = server.controller().createDynamic("SECUPD", 1 << 20).value();
        server.controller().writePartitionFile(true, slot, "update.xml", "<update/>");
        server.controller().attach(0, static_cast<std::uint16_t>(1 << slot));
        fs::create_directories(host.resolve("/tmp/SECUPD"));
        fs::create_symlink("/dev/sdb", host.resolve("/dev/secvskupd-SECUPD"));
    }

    int run(const std::string& command) { return host.shell().run(command).exitCode; }
    std::string mounted(const std::string& name) { return readTextFile(path(name)); }
    std::string path(const std::string& name) { return host.resolve("/tmp/SECUPD/" + name); }
    void write(const std::string& name, const std::string& text) {
        writeTextFile(path(name), text);
    }
    Files imageFiles() { return server.controller().partitionImage(true, slot)->listFiles(); }
    std::string imageFile(const std::string& name) {
        return server.controller().readPartitionFile(true, slot, name).value_or("(absent)");
    }

    SimulatedServer server;
    VirtualServer& host;
    int slot = 0;
};

TEST_F(MountTest, ReadWriteMountWritesTheDirectoryBackOnUnmount) {
    write("stale.txt", "written while nothing was mounted");
    ASSERT_EQ(0, run(kMountRw));
    EXPECT_EQ("<update/>", mounted("update.xml"));
    EXPECT_FALSE(fs::exists(path("stale.txt")));  // hidden by the mount
    write("output.xml", "<SVMInventory/>");
    fs::remove(path("update.xml"));

    ASSERT_EQ(1u, server.mounts().mountsOn("/tmp/SECUPD/").size());
    EXPECT_EQ("/dev/sdb", server.mounts().mounts().at(0).disk);
    EXPECT_EQ("SECUPD", server.mounts().mounts().at(0).label);
    EXPECT_EQ(0, host.umount2("/tmp/SECUPD", 0));
    EXPECT_EQ(-1, host.umount2("/tmp/SECUPD", 0));
    EXPECT_EQ(EINVAL, errno);

    EXPECT_EQ((Files{"output.xml"}), imageFiles());
    EXPECT_EQ("<SVMInventory/>", imageFile("output.xml"));
    // The directory's own content shows again, and never went into the image.
    EXPECT_EQ("written while nothing was mounted", mounted("stale.txt"));
    EXPECT_FALSE(fs::exists(path("output.xml")));
    std::vector<MountEvent> events = server.mounts().events();
    ASSERT_EQ(3u, events.size());
    EXPECT_FALSE(events[0].readOnly);
    EXPECT_TRUE(events[1].wroteBack);
    EXPECT_EQ(EINVAL, events[2].status);
}

// As Linux answers the first clean-up of a run: a mount point that is not
// there is ENOENT, one that is there but holds no mount EINVAL.
TEST_F(MountTest, UnmountingWhatIsNotMounted) {
    EXPECT_EQ(-1, host.umount2("/tmp/VSK001", 0));
    EXPECT_EQ(ENOENT, errno);
    EXPECT_EQ(-1, host.umount2("/tmp/SECUPD", 0));
    EXPECT_EQ(EINVAL, errno);
}

TEST_F(MountTest, ReadOnlyMountWritesNothingBack) {
    ASSERT_EQ(0, run(kMountRo));
    EXPECT_TRUE(server.mounts().mounts().at(0).readOnly);
    write("output.xml", "lost");
    EXPECT_EQ(0, run("umount /tmp/SECUPD > /dev/null 2>&1"));
    EXPECT_EQ(MountPrograms::kMountFailure, run("umount /tmp/SECUPD"));
    EXPECT_EQ((Files{"update.xml"}), imageFiles());
    EXPECT_FALSE(server.mounts().events().at(1).wroteBack);
    EXPECT_TRUE(fs::is_empty(host.resolve("/tmp/SECUPD")));
}

TEST_F(MountTest, StackedMountsUnmountOneAtATimeAndBusyUnmountsFail) {
    ASSERT_EQ(0, run(kMountRw));
    write("first.txt", "1");
    ASSERT_EQ(0, run(kMountRw));
    EXPECT_FALSE(fs::exists(path("first.txt")));
    EXPECT_EQ(2u, server.mounts().mountsOn("/tmp/SECUPD").size());

    server.mounts().failUnmounts(2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(-1, host.umount2("/tmp/SECUPD", 0));
        EXPECT_EQ(EBUSY, errno);
    }
    EXPECT_EQ(0, host.umount2("/tmp/SECUPD", 0));
    EXPECT_EQ("1", mounted("first.txt"));  // the first mount shows again
    EXPECT_EQ(0, host.umount2("/tmp/SECUPD", 0));
    EXPECT_EQ(-1, host.umount2("/tmp/SECUPD", 0));
    EXPECT_EQ((Files{"first.txt", "update.xml"}), imageFiles());
}

TEST_F(MountTest, MountFailsWithoutDirectoryDiskOrFatVolume) {
    const int failure = MountPrograms::kMountFailure;
    EXPECT_EQ(failure, run("mount -t vfat -oshortname=mixed,ro /dev/sdb /tmp/VSK022"));
    EXPECT_EQ(failure, run("mount -t vfat -oro /dev/sdz /tmp/SECUPD"));
    EXPECT_EQ(failure, run("mount -t vfat -o ro /dev/sda /tmp/SECUPD"));  // blank system disk
    EXPECT_EQ(failure, run("mount -t ext4 /dev/sdb /tmp/SECUPD"));
    EXPECT_EQ(1, run("mount -t vfat /dev/sdb"));
    EXPECT_TRUE(server.mounts().mounts().empty());

    // A link whose target names the sandbox path leads to the disk too.
    fs::create_symlink(host.resolve("/dev/sdb"), host.resolve("/dev/secvskupd-VSK"));
    EXPECT_EQ(0, run("mount -t vfat -oshortname=mixed,ro /dev/secvskupd-VSK /tmp/SECUPD"));
    EXPECT_NE(std::string::npos, host.shell().run("mount").output.find(
                                     "/dev/secvskupd-VSK on /tmp/SECUPD type vfat (ro"));
}

TEST_F(MountTest, DiskWithdrawnWhileMountedGetsNothingBack) {
    ASSERT_EQ(0, run(kMountRw));
    write("output.xml", "too late");
    server.controller().detach(0, static_cast<std::uint16_t>(1 << slot));
    EXPECT_EQ(0, run("umount /dev/secvskupd-SECUPD"));
    EXPECT_FALSE(server.mounts().events().back().wroteBack);
    EXPECT_EQ((Files{"update.xml"}), imageFiles());
}

}  // namespace

// mount(8), umount(8) and umount2(2) meet links as on Linux: the programs and
// a plain umount2 follow them, umount2 with UMOUNT_NOFOLLOW does not.
TEST_F(MountTest, UnmountsFollowLinksUnlessToldNotTo) {
    fs::create_directories(host.resolve("/mnt/other"));
    fs::create_symlink("/mnt/other", host.resolveEntry("/tmp/planted"));
    ASSERT_EQ(0, run("mount -t tmpfs tmpfs /tmp/planted"));
    ASSERT_EQ(1u, server.mounts().mountsOn("/mnt/other").size());

    EXPECT_EQ(-1, host.umount2("/tmp/planted", UMOUNT_NOFOLLOW));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(1u, server.mounts().mountsOn("/mnt/other").size());
    EXPECT_EQ(0, host.umount2("/tmp/planted", 0));
    EXPECT_TRUE(server.mounts().mountsOn("/mnt/other").empty());

    ASSERT_EQ(0, run("mount -t tmpfs tmpfs /mnt/other"));
    EXPECT_EQ(0, run("umount /tmp/planted"));
    EXPECT_TRUE(server.mounts().mounts().empty());
}

TEST_F(MountTest, AMemoryFileSystemHidesTheDirectoryUntilUnmounted) {
    fs::create_directories(host.resolve("/mnt/other"));
    writeTextFile(host.resolve("/mnt/other/kept"), "underneath");
    ASSERT_EQ(0, run("mount -t tmpfs tmpfs /mnt/other"));
    EXPECT_FALSE(host.fileExists("/mnt/other/kept"));
    writeTextFile(host.resolve("/mnt/other/scratch"), "gone after the unmount");
    EXPECT_EQ(0, host.umount2("/mnt/other", UMOUNT_NOFOLLOW));
    EXPECT_EQ("underneath", host.readFile("/mnt/other/kept"));
    EXPECT_FALSE(host.fileExists("/mnt/other/scratch"));
}
