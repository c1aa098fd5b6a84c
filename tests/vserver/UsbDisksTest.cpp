#include "vserver/UsbDisks.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>

#include <algorithm>
#include <fstream>

#include "vserver/SimulatedServer.h"

namespace {

using Names = std::vector<std::string>;

constexpr std::uint16_t kVsk022 = 1 << 5;  // static slot 5 of the default server
constexpr std::uint16_t kFirstDynamic = 1 << 0;

struct IdLun {
    std::uint32_t devId;
    std::uint32_t hostUniqueId;
};

std::unique_ptr<SimulatedServer> serverWith(HostConfig host) {
    ServerDescription description =
        loadServerDescription(bundledServersDirectory() + "/default.xml");
    description.host = host;
    return std::make_unique<SimulatedServer>(description);
}

std::string imageBytes(const std::string& path, std::uint64_t offset, std::size_t count) {
    std::ifstream file(path, std::ios::binary);
    std::string bytes(count, '\0');
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(bytes.data(), static_cast<std::streamsize>(count));
    return bytes;
}

std::string deviceBytes(VirtualServer& host, const std::string& path, std::size_t count) {
    int fd = host.open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        return "";
    }
    std::string bytes(count, '\0');
    ssize_t got = host.pread(fd, bytes.data(), count, 0);
    host.close(fd);
    bytes.resize(got < 0 ? 0 : static_cast<std::size_t>(got));
    return bytes;
}

Names sysfsEntries(VirtualServer& host) {
    Names names;
    if (!host.listDirectory("/sys/class/scsi_generic", names)) {
        return {"(none)"};
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(UsbDisks, AnAttachedPartitionIsAUsbDiskWithTheImagesBytes) {
    auto server = serverWith({});
    VirtualServer& host = server->host();
    server->kernel().loadModule("usb_storage");
    EXPECT_EQ((Names{"sg0"}), sysfsEntries(host));  // the system disk

    server->controller().attach(kVsk022, 0);
    std::optional<UsbDisks::DiskInfo> disk = server->disks().diskWithLabel("VSK022");
    ASSERT_TRUE(disk.has_value());
    EXPECT_EQ("/dev/sdb", disk->diskPath);
    EXPECT_EQ("", disk->partitionPath);
    EXPECT_EQ("/dev/sg1", disk->genericPath);
    EXPECT_EQ((Names{"sg0", "sg1"}), sysfsEntries(host));
    std::string image = server->controller().storage().find(false, 5)->image.imagePath;
    EXPECT_EQ(imageBytes(image, 0, 4096), deviceBytes(host, "/dev/sdb", 4096));

    int fd = host.open("/dev/sdb", O_RDONLY | O_NONBLOCK);
    IdLun idlun{};
    int bus = -1;
    ASSERT_EQ(0, host.ioctl(fd, SCSI_IOCTL_GET_IDLUN, &idlun));
    ASSERT_EQ(0, host.ioctl(fd, SCSI_IOCTL_GET_BUS_NUMBER, &bus));
    EXPECT_GT(bus, 0);  // a SCSI host of its own, after the system disk's
    EXPECT_EQ(static_cast<std::uint32_t>(bus) << 24, idlun.devId);

    int generic = host.open("/dev/sg1", O_RDONLY | O_NONBLOCK);
    int emulated = -1;
    sg_scsi_id id{};
    ASSERT_EQ(0, host.ioctl(generic, SG_EMULATED_HOST, &emulated));
    ASSERT_EQ(0, host.ioctl(generic, SG_GET_SCSI_ID, &id));
    EXPECT_EQ(1, emulated);
    EXPECT_EQ(bus, id.host_no);
    EXPECT_EQ(0, id.channel + id.scsi_id + id.lun);
    host.close(generic);
    generic = host.open("/dev/sg0", O_RDONLY | O_NONBLOCK);
    ASSERT_EQ(0, host.ioctl(generic, SG_EMULATED_HOST, &emulated));
    EXPECT_EQ(0, emulated);
    host.close(generic);

    // Detach withdraws the nodes; a descriptor still open reads nothing.
    server->controller().detach(kVsk022, 0);
    EXPECT_FALSE(host.hasDeviceNode("/dev/sdb"));
    EXPECT_FALSE(host.hasDeviceNode("/dev/sg1"));
    EXPECT_EQ((Names{"sg0"}), sysfsEntries(host));
    char byte = 0;
    EXPECT_EQ(-1, host.pread(fd, &byte, 1, 0));
    host.close(fd);

    // Names and host numbers go free: the drop box takes /dev/sdb on the
    // same SCSI host, as on Linux.
    ASSERT_TRUE(server->controller().createDynamic("SECUPD", 1 << 20).has_value());
    server->controller().attach(0, kFirstDynamic);
    disk = server->disks().diskWithLabel("SECUPD");
    ASSERT_TRUE(disk.has_value());
    EXPECT_EQ("/dev/sdb", disk->diskPath);
    EXPECT_EQ(bus, disk->host);
}

TEST(UsbDisks, ShowOnlyWithUsbStorageAndAfterTheSettleTime) {
    HostConfig config;
    config.settleSeconds = 12;
    auto server = serverWith(config);
    VirtualServer& host = server->host();
    server->controller().attach(kVsk022, 0);
    host.sleepSeconds(20);
    EXPECT_FALSE(host.hasDeviceNode("/dev/sdb"));  // no USB storage driver

    server->controller().detach(kVsk022, 0);
    host.shell().run("modprobe usb_storage");
    server->controller().attach(kVsk022, 0);
    for (int i = 0; i < 2; ++i) {
        host.sleepSeconds(5);
        EXPECT_FALSE(host.hasDeviceNode("/dev/sdb")) << "after " << 5 * (i + 1) << " s";
    }
    host.sleepSeconds(5);
    EXPECT_TRUE(host.hasDeviceNode("/dev/sdb"));
    EXPECT_TRUE(host.hasDeviceNode("/dev/sg1"));

    host.shell().run("rmmod usb_storage");
    EXPECT_FALSE(host.hasDeviceNode("/dev/sdb"));
    EXPECT_TRUE(host.hasDeviceNode("/dev/sda"));
}

TEST(UsbDisks, OldStyleGenericNamesWithoutSysfsAndNoneWithoutSg) {
    HostConfig config;
    config.scsiGenericSysfs = false;
    config.fixedDisks = 2;
    config.partitionTable = true;
    auto server = serverWith(config);
    VirtualServer& host = server->host();
    server->kernel().loadModule("usb_storage");
    server->controller().attach(kVsk022, 0);
    std::optional<UsbDisks::DiskInfo> disk = server->disks().diskWithLabel("VSK022");
    ASSERT_TRUE(disk.has_value());
    EXPECT_EQ("/dev/sdc", disk->diskPath);
    EXPECT_EQ("/dev/sgc", disk->genericPath);
    EXPECT_EQ((Names{"(none)"}), sysfsEntries(host));

    // The partition node reads the volume behind the partition table.
    std::string image = server->controller().storage().find(false, 5)->image.imagePath;
    std::optional<FatImage::Span> partition = FatImage::firstPartition(image);
    ASSERT_TRUE(partition.has_value());
    EXPECT_EQ("/dev/sdc1", disk->partitionPath);
    EXPECT_EQ(imageBytes(image, partition->offset, 512), deviceBytes(host, "/dev/sdc1", 512));
    EXPECT_EQ(imageBytes(image, 0, 512), deviceBytes(host, "/dev/sdc", 512));

    host.shell().run("rmmod sg");
    EXPECT_EQ("", server->disks().diskWithLabel("VSK022")->genericPath);
    EXPECT_FALSE(host.hasDeviceNode("/dev/sga"));
    EXPECT_TRUE(host.hasDeviceNode("/dev/sdc1"));
}

}  // namespace

namespace {

int busOf(VirtualServer& host, const std::string& path) {
    int fd = host.open(path, O_RDONLY | O_NONBLOCK);
    int bus = -1;
    if (fd >= 0) {
        host.ioctl(fd, SCSI_IOCTL_GET_BUS_NUMBER, &bus);
        host.close(fd);
    }
    return bus;
}

// As on Linux, SCSI host numbers are reused: the drop box presented again
// comes back on the host it had, the first one when no system disk holds it.
TEST(UsbDisks, HostNumbersAreReusedAfterAWithdraw) {
    for (unsigned fixed : {1u, 0u}) {
        HostConfig config;
        config.fixedDisks = fixed;
        auto server = serverWith(config);
        server->kernel().loadModule("usb_storage");
        std::string disk = fixed ? "/dev/sdb" : "/dev/sda";
        int slot = server->controller().createDynamic("SECUPD", 1 << 20).value();
        std::uint16_t mask = static_cast<std::uint16_t>(1 << slot);
        std::vector<int> buses;
        for (int round = 0; round < 2; ++round) {
            server->controller().attach(0, mask);
            buses.push_back(busOf(server->host(), disk));
            server->controller().detach(0, mask);
        }
        int expected = fixed ? 1 : 0;
        EXPECT_EQ((std::vector<int>{expected, expected}), buses) << fixed << " fixed disks";
    }
}

}  // namespace
