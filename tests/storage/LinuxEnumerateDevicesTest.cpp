#include "storage/partitions/LinuxEnumerateDevices.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "storage/VeskLog.h"
#include "tests/support/TestSupport.h"
#include "vserver/FatImage.h"
#include "vserver/SimulatedServer.h"
#include "vserver/TempDirectory.h"
#include "vserver/VirtualServer.h"

namespace {

namespace fs = std::filesystem;

const std::string kSecupdLabel = std::string("SECUPD     ") + '\x08';

// A directory entry: the name blank-padded to eleven characters, the
// attribute, zeros.
std::string entry(const std::string& name, unsigned char attribute) {
    std::string bytes(32, '\0');
    std::string padded = name;
    padded.resize(11, ' ');
    std::memcpy(bytes.data(), padded.data(), 11);
    bytes[11] = static_cast<char>(attribute);
    return bytes;
}

TEST(DeviceLetters, NameDisksAsTheKernelDoes) {
    const std::pair<int, const char*> cases[] = {
        {0, "a"},     {25, "z"},     {26, "aa"},     {27, "ab"},  {701, "zz"}, {702, "aaa"},
        {728, "aba"}, {1378, "baa"}, {18277, "zzz"}, {18278, ""}, {-1, ""},
    };
    for (const auto& [n, letters] : cases) {
        EXPECT_EQ(letters, deviceLetters(n)) << n;
    }
}

struct Read {
    std::uint64_t offset;
    std::size_t count;
};

// A disk node reading a file of the test; every read is kept.
class FileDisk : public VirtualDevice {
public:
    FileDisk(const std::string& path, std::uint64_t offset, std::vector<Read>& reads)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), offset_(offset), reads_(reads) {}
    ~FileDisk() override { ::close(fd_); }

    ssize_t pread(void* buffer, std::size_t count, off_t offset) override {
        reads_.push_back({static_cast<std::uint64_t>(offset), count});
        return ::pread(fd_, buffer, count, offset + static_cast<off_t>(offset_));
    }

private:
    int fd_;
    std::uint64_t offset_;
    std::vector<Read>& reads_;
};

// Images as disk nodes of a virtual server of their own.
class LabelTest : public ::testing::Test {
protected:
    void addDisk(const std::string& node, const std::string& image, std::uint64_t offset = 0) {
        server.addDeviceNode(node, [this, image, offset](int) {
            return std::make_unique<FileDisk>(image, offset, reads);
        });
    }

    std::string label(const std::string& node) {
        std::string text = getLabel(node);
        EXPECT_EQ(0u, server.openDescriptors()) << node;
        return text;
    }

    std::string imagePath(const std::string& name) { return scratch.path() + "/" + name; }

    static std::string bytesAt(const std::string& path, std::uint64_t offset, std::size_t count) {
        std::ifstream file(path, std::ios::binary);
        std::string bytes(count, '\0');
        file.seekg(static_cast<std::streamoff>(offset));
        file.read(bytes.data(), static_cast<std::streamsize>(count));
        return bytes;
    }

    static void patch(const std::string& path, std::uint64_t offset, const std::string& bytes) {
        std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
        file.seekp(static_cast<std::streamoff>(offset));
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

    // Where the root directory of a volume made by mkfs.fat starts.
    static std::uint64_t rootDirectory(const std::string& path, std::uint64_t volume = 0) {
        std::string boot = bytesAt(path, volume, 512);
        auto byte = [&boot](std::size_t at) {
            return static_cast<std::uint64_t>(static_cast<unsigned char>(boot[at]));
        };
        auto le16 = [&](std::size_t at) { return byte(at) | byte(at + 1) << 8; };
        auto le32 = [&](std::size_t at) { return le16(at) | le16(at + 2) << 16; };
        std::uint64_t bps = le16(11);
        std::uint64_t spf = le16(22) ? le16(22) : le32(36);
        std::uint64_t fatArea = le16(14) + byte(16) * spf;
        std::uint64_t firstCluster = le16(22) ? 0 : (le32(44) - 2) * byte(13);
        return volume + (fatArea + firstCluster) * bps;
    }

    VirtualServer server;
    ScopedHostPort port{server};
    TempDirectory scratch{"labels"};
    std::vector<Read> reads;
};

struct MadeVolume {
    const char* name;
    FatType type;
    std::uint64_t sizeBytes;
    bool partitionTable;
};

class MkfsLabels : public LabelTest, public ::testing::WithParamInterface<MadeVolume> {};

TEST_P(MkfsLabels, LabelOfTheVolumeOrOfItsFirstPartition) {
    const MadeVolume& made = GetParam();
    std::string path = imagePath("disk.img");
    FatImage image =
        FatImage::create(path, made.sizeBytes, "SECUPD", {made.type, made.partitionTable});
    addDisk("/dev/sdb", path);
    addDisk("/dev/sdb1", path, image.offset());
    EXPECT_EQ(made.partitionTable ? "" : kSecupdLabel, label("/dev/sdb"));
    EXPECT_EQ(kSecupdLabel, label("/dev/sdb1"));
    for (const Read& read : reads) {
        EXPECT_LE(read.count, 0x11000u);
    }
}

INSTANTIATE_TEST_SUITE_P(LinuxEnumerateDevices, MkfsLabels,
                         ::testing::Values(MadeVolume{"Fat12", FatType::Fat12, 1 << 20, false},
                                           MadeVolume{"Fat16", FatType::Fat16, 16 << 20, false},
                                           MadeVolume{"Fat32", FatType::Fat32, 40 << 20, false},
                                           MadeVolume{"Fat12Table", FatType::Fat12, 2 << 20, true},
                                           MadeVolume{"Fat16Table", FatType::Fat16, 16 << 20, true},
                                           MadeVolume{"Fat32Table", FatType::Fat32, 40 << 20,
                                                      true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(LabelTest, RootDirectoryRulesOnMkfsVolumes) {
    std::string fat16 = imagePath("fat16.img");
    FatImage::create(fat16, 16 << 20, "SECUPD", {FatType::Fat16, false});
    std::uint64_t root = rootDirectory(fat16);
    ASSERT_EQ(kSecupdLabel, bytesAt(fat16, root, 12));
    // The second of two label entries wins.
    patch(fat16, root + 32, entry("SECOND", 0x08));
    addDisk("/dev/sdb", fat16);
    EXPECT_EQ(std::string("SECOND     ") + '\x08', label("/dev/sdb"));
    // A sector size of 520 is no FAT volume.
    patch(fat16, 11, std::string("\x08\x02", 2));
    EXPECT_EQ("", label("/dev/sdb"));

    // FAT32: an entry of attribute 0 ends the search, a label after it is not seen.
    std::string fat32 = imagePath("fat32.img");
    FatImage::create(fat32, 40 << 20, "SECUPD", {FatType::Fat32, false});
    root = rootDirectory(fat32);
    ASSERT_EQ(kSecupdLabel, bytesAt(fat32, root, 12));
    patch(fat32, root + 32, entry("LATER", 0x08));
    patch(fat32, root + 11, std::string(1, '\0'));
    addDisk("/dev/sdc", fat32);
    EXPECT_EQ("", label("/dev/sdc"));
    EXPECT_EQ("", label("/dev/sdd"));  // no such device
}

// A volume written byte by byte: boot sector fields, FAT entries, directory
// entries, and where the device ends.
class Synthetic {
public:
    Synthetic& put(std::uint64_t at, const std::string& data) {
        if (bytes_.size() < at + data.size()) {
            bytes_.resize(at + data.size(), '\0');
        }
        bytes_.replace(at, data.size(), data);
        return *this;
    }
    Synthetic& put8(std::uint64_t at, std::uint8_t value) {
        return put(at, std::string(1, static_cast<char>(value)));
    }
    Synthetic& put16(std::uint64_t at, std::uint16_t value) {
        return put8(at, value & 0xFF).put8(at + 1, value >> 8);
    }
    Synthetic& put32(std::uint64_t at, std::uint32_t value) {
        return put16(at, value & 0xFFFF).put16(at + 2, value >> 16);
    }
    Synthetic& cut(std::uint64_t size) {
        bytes_.resize(size, '\0');
        return *this;
    }
    const std::string& bytes() const { return bytes_; }

private:
    std::string bytes_;
};

// FAT16: 512-byte sectors, 4 per cluster, 1 reserved, 2 FATs of 32 sectors,
// 512 root entries at sector 65, 65 536 sectors.
Synthetic fat16() {
    Synthetic volume;
    volume.put(0, "\xEB\x3C\x90").put16(11, 512).put8(13, 4).put16(14, 1).put8(16, 2);
    volume.put16(17, 512).put16(19, 0).put32(32, 65536).put16(22, 32).put(54, "FAT16   ");
    volume.put16(510, 0xAA55);
    return volume;
}
constexpr std::uint64_t kFat16Root = 65 * 512;

// FAT32: 512-byte sectors, 1 per cluster, 32 reserved, 2 FATs of 1 024
// sectors, cluster 2 at sector 2 080, 1 048 576 sectors, root at cluster 2.
Synthetic fat32() {
    Synthetic volume;
    volume.put(0, "\xEB\x58\x90").put16(11, 512).put8(13, 1).put16(14, 32).put8(16, 2);
    volume.put16(17, 0).put16(19, 0).put32(32, 1 << 20).put16(22, 0).put32(36, 1024);
    volume.put32(44, 2).put(82, "FAT32   ").put16(510, 0xAA55);
    return volume;
}
constexpr std::uint64_t kFat32Table = 32 * 512;
std::uint64_t fat32Cluster(std::uint64_t cluster) {
    return (2080 + cluster - 2) * 512;
}

// A cluster's worth of ordinary file entries.
std::string files(std::size_t count) {
    std::string entries;
    for (std::size_t i = 0; i < count; ++i) {
        entries += std::string("FILE") + static_cast<char>('A' + i % 26) + "   TXT" + '\x20' +
                   std::string(20, '\x01');
    }
    return entries;
}

struct Corruption {
    const char* name;
    Synthetic volume;
    std::string label;
};

std::vector<Corruption> corruptions() {
    const std::string secupd = entry("SECUPD", 0x08);
    std::string noZero(32, 'Z');
    noZero[11] = 0x08;
    std::vector<Corruption> cases = {
        {"ZeroSectorsPerCluster", fat16().put8(13, 0).put(kFat16Root, secupd), ""},
        {"TotalBelowTheFatArea", fat16().put32(32, 40).put(kFat16Root, secupd), ""},
        {"ShorterThanABootSector", fat16().cut(100), ""},
        {"RootBeyondTheDevice", fat16().put16(22, 200).cut(70000), ""},
        {"GeometryThatWraps32Bits",
         fat16()
             .put16(11, 4096)
             .put16(22, 0)
             .put32(36, 0xFFFFFFFF)
             .put8(16, 0xFF)
             .put32(32, 0xFFFFFFFF),
         ""},
        {"HugeRootEndedByAZeroEntry",
         fat16().put16(17, 0xFFFF).put(kFat16Root, secupd).cut(kFat16Root + 512), kSecupdLabel},
        {"RootCutShortAfterItsLabel",
         fat16().put(kFat16Root, secupd + files(15)).cut(kFat16Root + 512), kSecupdLabel},
        {"LabelEntryWithoutAZeroByte", fat16().put(kFat16Root, noZero).cut(kFat16Root + 512),
         noZero},
        {"Fat32RootClusterZero", fat32().put32(44, 0).put(fat32Cluster(2), secupd), ""},
        {"Fat32RootClusterPastTheVolume", fat32().put32(44, 0x0FFFFFF0), ""},
        {"Fat32ChainLoopsOnItself",
         fat32().put32(kFat32Table + 2 * 4, 2).put(fat32Cluster(2), files(16)), ""},
        {"Fat32ChainLeavesTheVolume",
         fat32().put32(kFat32Table + 2 * 4, 0x0FFFFFF7).put(fat32Cluster(2), files(16)), ""},
        {"Fat32LabelInTheSecondCluster",
         fat32()
             .put32(kFat32Table + 2 * 4, 9)
             .put(fat32Cluster(2), files(16))
             .put(fat32Cluster(9), secupd)
             .cut(fat32Cluster(10)),
         kSecupdLabel},
        {"Fat32DeviceEndsInTheChain",
         fat32().put32(kFat32Table + 2 * 4, 3).put(fat32Cluster(2), files(16)).cut(fat32Cluster(3)),
         ""},
    };
    return cases;
}

TEST_F(LabelTest, CorruptedVolumesGiveNoLabelOrTheRightOne) {
    for (const Corruption& corruption : corruptions()) {
        SCOPED_TRACE(corruption.name);
        std::string path = imagePath(std::string(corruption.name) + ".img");
        std::ofstream(path, std::ios::binary) << corruption.volume.bytes();
        std::string node = std::string("/dev/sd-") + corruption.name;
        addDisk(node, path);
        reads.clear();
        EXPECT_EQ(corruption.label, label(node));
        std::uint64_t bytesRead = 0;
        for (const Read& read : reads) {
            bytesRead += read.count;
        }
        EXPECT_LE(bytesRead, 0x11000u + 2 * 65536 * 32);
    }
}

// --- Finding the disk through the virtual server ---------------------------

constexpr std::uint16_t kVsk022 = 1 << 5;  // static slot 5 of the default server

struct Host {
    const char* name;
    bool sysfs;
    bool sgLoaded;
    bool partitionTable;
    const char* dropBox;
    const char* vsk022;
};

class DiskHost : public ::testing::Test {
protected:
    static std::unique_ptr<SimulatedServer> serverWith(HostConfig host) {
        ServerDescription description =
            loadServerDescription(bundledServersDirectory() + "/default.xml");
        description.host = host;
        auto server = std::make_unique<SimulatedServer>(description);
        server->kernel().loadModule("usb_storage");
        return server;
    }

    static void attachDropBox(SimulatedServer& server, const std::string& label) {
        int slot = server.controller().createDynamic(label, 1 << 20).value();
        server.controller().attach(0, static_cast<std::uint16_t>(1 << slot));
    }
};

class FindDevice : public DiskHost, public ::testing::WithParamInterface<Host> {};

TEST_P(FindDevice, PairsGenericAndDiskNodesAndReadsTheLabels) {
    const Host& variant = GetParam();
    HostConfig config;
    config.scsiGenericSysfs = variant.sysfs;
    config.sgLoaded = variant.sgLoaded;
    config.partitionTable = variant.partitionTable;
    auto server = serverWith(config);
    server->controller().attach(kVsk022, 0);
    attachDropBox(*server, "SECUPD");

    bool emulatedOnly = !variant.sgLoaded;
    for (const auto& [label, expected] :
         {std::pair<std::string, std::string>{"SECUPD", variant.dropBox},
          {"VSK022", variant.vsk022}}) {
        std::string device = "untouched";
        CLinuxEnumerateDevices devices(emulatedOnly);
        EXPECT_TRUE(devices.GetDeviceWithLabel(label, device));
        EXPECT_EQ(expected, device);
        EXPECT_EQ(0u, server->host().openDescriptors());
    }
}

INSTANTIATE_TEST_SUITE_P(
    LinuxEnumerateDevices, FindDevice,
    ::testing::Values(Host{"SysfsListsGenericNodes", true, true, false, "/dev/sdc", "/dev/sdb"},
                      Host{"GenericNodesProbed", false, true, false, "/dev/sdc", "/dev/sdb"},
                      Host{"EmulatedOnlyWithoutSg", true, false, false, "/dev/sdc", "/dev/sdb"},
                      Host{"FirstPartition", true, true, true, "/dev/sdc1", "/dev/sdb1"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiskHost, SkipsFixedDisksAndComparesTheWantedLength) {
    HostConfig config;
    config.fixedDisks = 0;
    auto server = serverWith(config);
    TempDirectory scratch("fixed");
    FatImage::create(scratch.path() + "/system.img", 1 << 20, "SECUPD");
    server->disks().addFixedDisk(scratch.path() + "/system.img");

    // Nothing on an emulated host yet: no generic node to pair.
    std::string device = "untouched";
    EXPECT_FALSE(CLinuxEnumerateDevices(false).GetDeviceWithLabel("SECUPD", device));
    EXPECT_EQ("untouched", device);

    attachDropBox(*server, "SECUPDX");
    EXPECT_TRUE(CLinuxEnumerateDevices(false).GetDeviceWithLabel("SECUPD", device));
    EXPECT_EQ("/dev/sdb", device);  // not the fixed /dev/sda with the same label

    device = "untouched";
    CLinuxEnumerateDevices devices(false);
    EXPECT_TRUE(devices.GetDeviceWithLabel("VSK099", device));
    EXPECT_EQ("untouched", device);
    ASSERT_EQ(1u, devices.devices().size());
    const auto& entry = *devices.devices().begin();
    EXPECT_EQ("/dev/sg1", entry.first);
    EXPECT_EQ("/dev/sdb", entry.second.devicePath);
    EXPECT_EQ(server->disks().diskWithLabel("SECUPDX")->host, entry.second.id.host_no);
}

TEST_F(DiskHost, LogsEachStepOfTheSearch) {
    auto server = serverWith({});
    attachDropBox(*server, "SECUPD");
    ScopedWorkingDirectory cwd;
    writeTextFile("zebdebuglog", "");
    enableVeskLog();
    {
        std::string device;
        CLinuxEnumerateDevices(false).GetDeviceWithLabel("SECUPD", device);
    }
    disableVeskLog();

    std::vector<std::string> messages;
    std::istringstream log(readTextFile("QUIB_DBG.log"));
    const std::string unit = "LinuxEnumerateDevices.cpp:";
    for (std::string line; std::getline(log, line);) {
        std::size_t at = line.find(unit);
        if (at != std::string::npos) {
            messages.push_back(line.substr(line.find(": ", at) + 2));
        }
    }
    EXPECT_EQ((std::vector<std::string>{
                  "CEnumerateDevices::CLinuxEnumerateDevices",
                  "CEnumerateDevices::GetDeviceWithLabel Start",
                  "CEnumerateDevices::GetAllSGDevices Start",
                  "CEnumerateDevices::GetAllSGDevices sysfs_sg_dir exists",
                  "CEnumerateDevices::GetAllSGDevices Start",
                  "/dev/sdb",
                  kSecupdLabel,
                  "CEnumerateDevices::GetDeviceWithLabel -> found a device",
                  "/dev/sdb",
                  "CEnumerateDevices::GetDeviceWithLabel :End",
                  "CEnumerateDevices::~CLinuxEnumerateDevices",
              }),
              messages);
}

// The road of a drop box on the host: found by its label, linked, mounted,
// written, unmounted; the controller then holds what the host wrote.
TEST_F(DiskHost, FoundDropBoxMountsAndTheControllerSeesWhatTheHostWrote) {
    auto server = serverWith({});
    int slot = server->controller().createDynamic("SECUPD", 1 << 20).value();
    server->controller().attach(0, static_cast<std::uint16_t>(1 << slot));
    std::string device;
    ASSERT_TRUE(CLinuxEnumerateDevices(false).GetDeviceWithLabel("SECUPD", device));
    ASSERT_EQ("/dev/sdb", device);

    HostPort& port = hostPort();
    fs::create_directories(port.resolve("/tmp/SECUPD"));
    fs::create_symlink(device, port.resolve("/dev/secvskupd-SECUPD"));
    ASSERT_EQ(0, port.system("mount -n -t vfat -oshortname=mixed,rw /dev/secvskupd-SECUPD "
                             "/tmp/SECUPD"));
    writeTextFile(port.resolve("/tmp/SECUPD/update.xml"), "<Update/>");
    EXPECT_EQ(0, port.umount2("/tmp/SECUPD", 0));
    server->controller().detach(0, static_cast<std::uint16_t>(1 << slot));
    EXPECT_EQ("<Update/>",
              server->controller().readPartitionFile(true, slot, "update.xml").value_or(""));
}

}  // namespace
