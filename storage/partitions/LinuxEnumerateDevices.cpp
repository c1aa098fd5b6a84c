#include "storage/partitions/LinuxEnumerateDevices.h"

#include <fcntl.h>
#include <scsi/scsi.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>

#include "baseutils/HostPort.h"
#include "storage/VeskLog.h"

static_assert(SG_EMULATED_HOST == 0x2203, "generic-SCSI emulated-host request number");
static_assert(SG_GET_SCSI_ID == 0x2276, "generic-SCSI id request number");
static_assert(SCSI_IOCTL_GET_IDLUN == 0x5382, "SCSI id/lun request number");
static_assert(SCSI_IOCTL_GET_BUS_NUMBER == 0x5386, "SCSI bus number request number");
static_assert(sizeof(sg_scsi_id) == 32, "the kernel's SCSI id answer");
static_assert(sizeof(CLinuxEnumerateDevices::scsi_idlun) == 8, "the kernel's id/lun answer");

namespace {

const char* const kGenericSysfsDirectory = "/sys/class/scsi_generic";
const char* const kDevicePrefix = "/dev/";
const char* const kGenericPrefix = "/dev/sg";
const char* const kDiskPrefix = "/dev/sd";
const char* const kFirstPartition = "1";
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC;
constexpr int kGenericNames = 4096;
constexpr int kDiskNames = 18278;

constexpr int kOneLetter = 26;
constexpr int kTwoLetters = 702;
constexpr int kLetters = 26;

// A device descriptor closed through the host port on every path.
class Descriptor {
public:
    explicit Descriptor(const std::string& path) : fd_(hostPort().open(path, kOpenFlags)) {}
    ~Descriptor() {
        if (fd_ >= 0) {
            hostPort().close(fd_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    bool isOpen() const { return fd_ >= 0; }
    int get() const { return fd_; }
    bool request(unsigned long number, void* argument) const {
        return hostPort().ioctl(fd_, number, argument) >= 0;
    }

private:
    int fd_;
};

// --- FAT label reader -------------------------------------------------------

constexpr std::size_t kHeadBytes = 0x11000;
constexpr std::size_t kWindowBytes = 4096;
constexpr std::size_t kBootSectorBytes = 512;
constexpr std::size_t kEntryBytes = 32;
// A FAT directory holds at most 65 536 entries; no walk goes further.
constexpr std::uint64_t kMaxDirectoryBytes = 65536 * kEntryBytes;
constexpr int kMaxRootClusters = 99;

// Boot sector fields (offsets into sector 0, little-endian).
constexpr std::size_t kBytesPerSectorAt = 11;
constexpr std::size_t kSectorsPerClusterAt = 13;
constexpr std::size_t kReservedSectorsAt = 14;
constexpr std::size_t kFatCountAt = 16;
constexpr std::size_t kRootEntriesAt = 17;
constexpr std::size_t kTotalSectors16At = 19;
constexpr std::size_t kSectorsPerFat16At = 22;
constexpr std::size_t kTotalSectors32At = 32;
constexpr std::size_t kSectorsPerFat32At = 36;
constexpr std::size_t kRootClusterAt = 44;

// Directory entry fields.
constexpr std::size_t kAttributeAt = 11;
constexpr unsigned char kVolumeLabel = 0x08;
constexpr unsigned char kEndOfDirectory = 0x00;

constexpr std::uint64_t kMaxFat12Clusters = 4084;
constexpr std::uint64_t kMaxFat16Clusters = 65524;
constexpr std::uint32_t kFat32EntryMask = 0x0FFFFFFF;
constexpr std::uint32_t kFat32EndOfChain = 0x0FFFFFF8;
constexpr std::uint64_t kFirstCluster = 2;

struct Signature {
    std::size_t offset;
    const char* text;
};

// Checked in this order; any one makes the sector a FAT boot sector.
const Signature kFatSignatures[] = {
    {82, "MSWIN"}, {82, "FAT32   "}, {54, "FAT16   "}, {54, "MSDOS"}, {54, "FAT12   "},
};

std::uint16_t le16(const unsigned char* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

std::uint32_t le32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) |
           (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// Label reader state of one opened disk: the device's first bytes in a head
// buffer, later ranges in a small window. Closes the device when done.
struct device {
    const char* fsType = nullptr;
    char fatType[6] = {};
    int fd = -1;
    std::unique_ptr<unsigned char[]> head;
    std::size_t headLength = 0;
    std::unique_ptr<unsigned char[]> window;
    std::uint64_t windowOffset = 0;
    std::size_t windowLength = 0;

    explicit device(int descriptor) : fd(descriptor) {}
    ~device() { hostPort().close(fd); }
    device(const device&) = delete;
    device& operator=(const device&) = delete;

    // Bytes [offset, offset + length) of the device, or null when they cannot
    // be read. A range beyond the head buffer is cut to the window's size;
    // length tells how many bytes the result holds.
    const unsigned char* get_buffer(std::uint64_t offset, std::size_t& length);

private:
    bool readAt(unsigned char* into, std::size_t count, std::uint64_t offset) const {
        if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max() - count)) {
            return false;
        }
        ssize_t got = hostPort().pread(fd, into, count, static_cast<off_t>(offset));
        return got >= 0 && static_cast<std::size_t>(got) == count;
    }
};

const unsigned char* device::get_buffer(std::uint64_t offset, std::size_t& length) {
    if (length == 0 || offset > std::numeric_limits<std::uint64_t>::max() - length) {
        return nullptr;
    }
    if (offset + length <= kHeadBytes) {
        std::size_t end = static_cast<std::size_t>(offset + length);
        if (!head) {
            head = std::make_unique<unsigned char[]>(kHeadBytes);
        }
        if (headLength < end) {
            if (!readAt(head.get() + headLength, end - headLength, headLength)) {
                return nullptr;
            }
            headLength = end;
        }
        return head.get() + offset;
    }
    length = std::min(length, kWindowBytes);
    if (windowLength > 0 && offset >= windowOffset &&
        offset + length <= windowOffset + windowLength) {
        return window.get() + (offset - windowOffset);
    }
    if (!window) {
        window = std::make_unique<unsigned char[]>(kWindowBytes);
    }
    windowLength = 0;
    if (!readAt(window.get(), length, offset)) {
        return nullptr;
    }
    windowOffset = offset;
    windowLength = length;
    return window.get();
}

struct BootSector {
    std::uint64_t bytesPerSector = 0;
    std::uint64_t sectorsPerCluster = 0;
    std::uint64_t reservedSectors = 0;
    std::uint64_t rootEntries = 0;
    std::uint64_t fatArea = 0;  // sectors before the root directory (FAT12/16) or cluster 2
    std::uint64_t clusters = 0;
    std::uint32_t rootCluster = 0;
    bool fat32 = false;
};

bool isFatBootSector(const unsigned char* sector) {
    for (const Signature& signature : kFatSignatures) {
        if (std::memcmp(sector + signature.offset, signature.text, std::strlen(signature.text)) ==
            0) {
            return true;
        }
    }
    return false;
}

bool validSectorSize(std::uint64_t bytes) {
    return bytes == 512 || bytes == 1024 || bytes == 2048 || bytes == 4096;
}

// Reads the geometry; false when the sector is not FAT or its numbers do not
// describe a volume.
bool readBootSector(device& disk, BootSector& boot) {
    std::size_t length = kBootSectorBytes;
    const unsigned char* sector = disk.get_buffer(0, length);
    if (!sector || !isFatBootSector(sector)) {
        return false;
    }
    boot.bytesPerSector = le16(sector + kBytesPerSectorAt);
    if (!validSectorSize(boot.bytesPerSector)) {
        return false;
    }
    boot.sectorsPerCluster = sector[kSectorsPerClusterAt];
    boot.reservedSectors = le16(sector + kReservedSectorsAt);
    std::uint64_t fats = sector[kFatCountAt];
    boot.rootEntries = le16(sector + kRootEntriesAt);
    std::uint64_t total = le16(sector + kTotalSectors16At);
    if (total == 0) {
        total = le32(sector + kTotalSectors32At);
    }
    std::uint64_t sectorsPerFat = le16(sector + kSectorsPerFat16At);
    if (sectorsPerFat == 0) {
        sectorsPerFat = le32(sector + kSectorsPerFat32At);
    }
    boot.rootCluster = le32(sector + kRootClusterAt);
    if (boot.sectorsPerCluster == 0) {
        return false;
    }
    std::uint64_t rootSectors =
        (boot.rootEntries * kEntryBytes + boot.bytesPerSector - 1) / boot.bytesPerSector;
    boot.fatArea = boot.reservedSectors + fats * sectorsPerFat;
    if (total < rootSectors + boot.fatArea) {
        return false;
    }
    boot.clusters = (total - rootSectors - boot.fatArea) / boot.sectorsPerCluster;
    boot.fat32 = boot.clusters > kMaxFat16Clusters;
    const char* type = boot.clusters <= kMaxFat12Clusters   ? "FAT12"
                       : boot.clusters <= kMaxFat16Clusters ? "FAT16"
                                                            : "FAT32";
    std::memcpy(disk.fatType, type, sizeof(disk.fatType));
    disk.fsType = "vfat";
    return true;
}

// A label entry as text: up to its first zero byte, never past the entry.
std::string entryText(const unsigned char* entry) {
    const unsigned char* end = std::find(entry, entry + kEntryBytes, 0);
    return std::string(reinterpret_cast<const char*>(entry), static_cast<std::size_t>(end - entry));
}

enum class Walk { Continue, Stop };

// Walks the directory entries of [offset, offset + bytes) a sector at a time,
// so that a device cut short still gives the sectors it has; visit decides
// for each entry whether to go on.
template <typename Visit>
void walkEntries(device& disk, const BootSector& boot, std::uint64_t offset, std::uint64_t bytes,
                 Visit&& visit) {
    for (std::uint64_t done = 0; done < bytes; done += boot.bytesPerSector) {
        std::size_t length =
            static_cast<std::size_t>(std::min<std::uint64_t>(bytes - done, boot.bytesPerSector));
        const unsigned char* sector = disk.get_buffer(offset + done, length);
        if (!sector) {
            return;
        }
        for (std::size_t at = 0; at + kEntryBytes <= length; at += kEntryBytes) {
            if (visit(sector + at) == Walk::Stop) {
                return;
            }
        }
    }
}

// FAT12 and FAT16: the root directory follows the FATs; the last label entry
// before the end of the directory wins.
std::string rootDirectoryLabel(device& disk, const BootSector& boot) {
    std::string label;
    walkEntries(disk, boot, boot.fatArea * boot.bytesPerSector, boot.rootEntries * kEntryBytes,
                [&label](const unsigned char* entry) {
                    unsigned char attribute = entry[kAttributeAt];
                    if (attribute == kEndOfDirectory) {
                        return Walk::Stop;
                    }
                    if (attribute == kVolumeLabel) {
                        label = entryText(entry);
                    }
                    return Walk::Continue;
                });
    return label;
}

// FAT32: the root directory is a cluster chain; the first label entry wins.
std::string rootClusterLabel(device& disk, const BootSector& boot) {
    std::uint64_t lastCluster = boot.clusters + 1;
    std::uint64_t clusterBytes = boot.sectorsPerCluster * boot.bytesPerSector;
    std::uint64_t budget = kMaxDirectoryBytes;
    std::uint64_t cluster = boot.rootCluster;
    for (int i = 0; i < kMaxRootClusters && budget > 0; ++i) {
        if (cluster < kFirstCluster || cluster > lastCluster) {
            return "";
        }
        std::uint64_t offset = ((cluster - kFirstCluster) * boot.sectorsPerCluster + boot.fatArea) *
                               boot.bytesPerSector;
        std::uint64_t bytes = std::min(clusterBytes, budget);
        budget -= bytes;
        std::string label;
        bool ended = false;
        walkEntries(disk, boot, offset, bytes, [&](const unsigned char* entry) {
            unsigned char attribute = entry[kAttributeAt];
            if (attribute == kEndOfDirectory || attribute == kVolumeLabel) {
                label = attribute == kVolumeLabel ? entryText(entry) : "";
                ended = true;
                return Walk::Stop;
            }
            return Walk::Continue;
        });
        if (ended) {
            return label;
        }
        std::size_t length = 4;
        const unsigned char* fatEntry =
            disk.get_buffer(boot.reservedSectors * boot.bytesPerSector + cluster * 4, length);
        if (!fatEntry) {
            return "";
        }
        std::uint32_t next = le32(fatEntry) & kFat32EntryMask;
        if (next == 0 || next >= kFat32EndOfChain) {
            return "";
        }
        cluster = next;
    }
    return "";
}

std::string letters(int n) {
    std::string name;
    if (n < kOneLetter) {
        name += static_cast<char>('a' + n);
    } else if (n < kTwoLetters) {
        name += static_cast<char>('a' + (n - kOneLetter) / kLetters);
        name += static_cast<char>('a' + n % kLetters);
    } else {
        name += static_cast<char>('a' + ((n - kTwoLetters) / (kLetters * kLetters)) % kLetters);
        name += static_cast<char>('a' + ((n - kOneLetter) / kLetters) % kLetters);
        name += static_cast<char>('a' + n % kLetters);
    }
    return name;
}

}  // namespace

std::string deviceLetters(int n) {
    if (n < 0 || n >= kDiskNames) {
        return "";
    }
    return letters(n);
}

std::string getLabel(const std::string& path) {
    int fd = hostPort().open(path, kOpenFlags);
    if (fd < 0) {
        return "";
    }
    device disk(fd);
    BootSector boot;
    if (!readBootSector(disk, boot)) {
        return "";
    }
    return boot.fat32 ? rootClusterLabel(disk, boot) : rootDirectoryLabel(disk, boot);
}

bool readFatGeometry(const std::string& path, FatGeometry& geometry) {
    int fd = hostPort().open(path, kOpenFlags);
    if (fd < 0) {
        return false;
    }
    device disk(fd);
    BootSector boot;
    if (!readBootSector(disk, boot)) {
        return false;
    }
    geometry.clusterBytes = boot.sectorsPerCluster * boot.bytesPerSector;
    geometry.clusters = boot.clusters;
    geometry.rootEntries = boot.fat32 ? 0 : boot.rootEntries;
    return true;
}

// --- Enumeration ------------------------------------------------------------

CLinuxEnumerateDevices::CLinuxEnumerateDevices(bool emulatedOnly) : emulatedOnly(emulatedOnly) {
    logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::CLinuxEnumerateDevices");
}

CLinuxEnumerateDevices::~CLinuxEnumerateDevices() {
    logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::~CLinuxEnumerateDevices");
}

bool CLinuxEnumerateDevices::GetAllSGDevices() {
    logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::GetAllSGDevices Start");
    struct stat status {};
    if (hostPort().stat(kGenericSysfsDirectory, &status) == 0 && S_ISDIR(status.st_mode)) {
        logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::GetAllSGDevices sysfs_sg_dir exists");
        std::vector<std::string> names;
        if (!hostPort().listDirectory(kGenericSysfsDirectory, names)) {
            return false;
        }
        for (const std::string& name : names) {
            sgDevicePaths.push_back(kDevicePrefix + name);
        }
    } else {
        for (int n = 0; n < kGenericNames; ++n) {
            std::string path = kGenericPrefix + deviceLetters(n);
            if (Descriptor(path).isOpen()) {
                sgDevicePaths.push_back(path);
            }
        }
    }
    logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::GetAllSGDevices Start");
    return true;
}

bool CLinuxEnumerateDevices::GetEumlatedSGDevices() {
    bool stored = false;
    for (const std::string& path : sgDevicePaths) {
        Descriptor generic(path);
        if (!generic.isOpen()) {
            continue;
        }
        int emulated = 0;
        if (!generic.request(SG_EMULATED_HOST, &emulated) || emulated == 0) {
            continue;
        }
        sg_device_info info{};
        if (!generic.request(SG_GET_SCSI_ID, &info.id)) {
            continue;
        }
        sgDevices[path] = info;
        stored = true;
    }
    return stored;
}

bool CLinuxEnumerateDevices::GetSDDevices() {
    bool answered = false;
    for (int n = 0; n < kDiskNames; ++n) {
        std::string path = kDiskPrefix + deviceLetters(n);
        Descriptor disk(path);
        if (!disk.isOpen()) {
            continue;
        }
        scsi_idlun idlun{};
        int hostNumber = 0;
        if (!disk.request(SCSI_IOCTL_GET_IDLUN, &idlun) ||
            !disk.request(SCSI_IOCTL_GET_BUS_NUMBER, &hostNumber)) {
            continue;
        }
        answered = true;
        if (emulatedOnly) {
            sg_device_info info{};
            info.devicePath = path;
            sgDevices[path] = info;
        } else {
            SearchSGDevice(path, idlun, hostNumber);
        }
    }
    return answered;
}

void CLinuxEnumerateDevices::SearchSGDevice(const std::string& path, const scsi_idlun& idlun,
                                            int hostNumber) {
    int target = static_cast<int>(idlun.dev_id & 0xFF);
    int lun = static_cast<int>((idlun.dev_id >> 8) & 0xFF);
    int channel = static_cast<int>((idlun.dev_id >> 16) & 0xFF);
    for (auto& entry : sgDevices) {
        const sg_scsi_id& id = entry.second.id;
        if (id.host_no == hostNumber && id.scsi_id == target && id.lun == lun &&
            id.channel == channel) {
            entry.second.devicePath = path;
        }
    }
}

bool CLinuxEnumerateDevices::GetDeviceWithLabel(const std::string& label, std::string& device) {
    logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::GetDeviceWithLabel Start");
    if (!emulatedOnly) {
        if (!GetAllSGDevices()) {
            logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::GetAllSGDevices failed");
            return false;
        }
        if (!GetEumlatedSGDevices()) {
            logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::GetEumlatedSGDevices failed");
            return false;
        }
    }
    if (!GetSDDevices()) {
        logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::GetSDDevices failed");
        return false;
    }
    for (const auto& entry : sgDevices) {
        std::string path = entry.second.devicePath;
        // A generic node without its disk has nothing to read.
        if (path.empty()) {
            continue;
        }
        logVeskMsg(__FILE__, __LINE__, path);
        std::string found = getLabel(path);
        if (found.empty()) {
            path += kFirstPartition;
            found = getLabel(path);
        }
        logVeskMsg(__FILE__, __LINE__, found);
        if (!found.empty() && found.compare(0, label.size(), label) == 0) {
            device = path;
            logVeskMsg(__FILE__, __LINE__,
                       "CEnumerateDevices::GetDeviceWithLabel -> found a device");
            logVeskMsg(__FILE__, __LINE__, path);
            break;
        }
    }
    logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices::GetDeviceWithLabel :End");
    return true;
}
