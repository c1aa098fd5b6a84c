#include "vserver/UsbDisks.h"

#include <fcntl.h>
#include <scsi/scsi.h>
#include <scsi/sg.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>

#include "vserver/EmulatedKernel.h"
#include "vserver/VirtualServer.h"

namespace fs = std::filesystem;

namespace {

const char* const kUsbStorage = "usb_storage";
const char* const kGeneric = "sg";
const char* const kDiskPrefix = "/dev/sd";
const char* const kGenericPrefix = "/dev/sg";
const char* const kSysfsDirectory = "/sys/class/scsi_generic";
const char* const kFirstPartition = "1";
constexpr int kLetters = 26;
constexpr int kFixedHost = 0;
constexpr int kDiskType = 0;  // TYPE_DISK
constexpr short kQueueDepth = 1;

// The kernel's SCSI_IOCTL_GET_IDLUN answer.
struct IdLun {
    std::uint32_t devId;
    std::uint32_t hostUniqueId;
};

struct ScsiAddress {
    int host = 0;
    int channel = 0;
    int target = 0;
    int lun = 0;
};

// The bytes a node reads; goes away with the disk, so that descriptors the
// host still holds fail.
struct Medium {
    std::string imagePath;                 // empty: zeros
    std::shared_ptr<VolumeMirror> mirror;  // whose changes the image takes before it is read
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::atomic<bool> present{true};
};

// How the kernel names disk n: a ... z, aa ... zz, aaa ...
std::string diskLetters(int index) {
    std::string name;
    do {
        name.insert(name.begin(), static_cast<char>('a' + index % kLetters));
        index = index / kLetters - 1;
    } while (index >= 0);
    return name;
}

int fail(int error) {
    errno = error;
    return -1;
}

int answerScsi(const ScsiAddress& address, unsigned long request, void* argument) {
    switch (request) {
        case SCSI_IOCTL_GET_IDLUN: {
            IdLun answer{static_cast<std::uint32_t>(
                             (address.target & 0xFF) | ((address.lun & 0xFF) << 8) |
                             ((address.channel & 0xFF) << 16) | ((address.host & 0xFF) << 24)),
                         static_cast<std::uint32_t>(address.host)};
            std::memcpy(argument, &answer, sizeof(answer));
            return 0;
        }
        case SCSI_IOCTL_GET_BUS_NUMBER:
            std::memcpy(argument, &address.host, sizeof(int));
            return 0;
        default:
            return fail(ENOTTY);
    }
}

// /dev/sdX or /dev/sdX1.
class DiskNode : public VirtualDevice {
public:
    DiskNode(std::shared_ptr<Medium> medium, ScsiAddress address, int fd)
        : medium_(std::move(medium)), address_(address), fd_(fd) {}
    ~DiskNode() override {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }

    int ioctl(unsigned long request, void* argument) override {
        if (!medium_->present) {
            return fail(ENODEV);
        }
        return answerScsi(address_, request, argument);
    }

    ssize_t pread(void* buffer, std::size_t count, off_t offset) override {
        if (!medium_->present) {
            return fail(EIO);
        }
        if (offset < 0) {
            return fail(EINVAL);
        }
        std::uint64_t start = static_cast<std::uint64_t>(offset);
        if (start >= medium_->length) {
            return 0;
        }
        std::size_t size =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, medium_->length - start));
        if (fd_ < 0) {
            std::memset(buffer, 0, size);
            return static_cast<ssize_t>(size);
        }
        return ::pread(fd_, buffer, size, static_cast<off_t>(medium_->offset + start));
    }

private:
    std::shared_ptr<Medium> medium_;
    ScsiAddress address_;
    int fd_;
};

// /dev/sgN: identification only.
class GenericNode : public VirtualDevice {
public:
    GenericNode(std::shared_ptr<Medium> medium, ScsiAddress address, bool emulated)
        : medium_(std::move(medium)), address_(address), emulated_(emulated) {}

    int ioctl(unsigned long request, void* argument) override {
        if (!medium_->present) {
            return fail(ENODEV);
        }
        if (request == SG_EMULATED_HOST) {
            int answer = emulated_ ? 1 : 0;
            std::memcpy(argument, &answer, sizeof(answer));
            return 0;
        }
        if (request == SG_GET_SCSI_ID) {
            sg_scsi_id answer{};
            answer.host_no = address_.host;
            answer.channel = address_.channel;
            answer.scsi_id = address_.target;
            answer.lun = address_.lun;
            answer.scsi_type = kDiskType;
            answer.h_cmd_per_lun = kQueueDepth;
            answer.d_queue_depth = kQueueDepth;
            std::memcpy(argument, &answer, sizeof(answer));
            return 0;
        }
        return answerScsi(address_, request, argument);
    }

private:
    std::shared_ptr<Medium> medium_;
    ScsiAddress address_;
    bool emulated_;
};

DeviceOpener diskOpener(std::shared_ptr<Medium> medium, ScsiAddress address) {
    return [medium, address](int) -> std::unique_ptr<VirtualDevice> {
        int fd = -1;
        if (medium->mirror) {
            medium->mirror->settleImage();
        }
        if (!medium->imagePath.empty()) {
            fd = ::open(medium->imagePath.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                return nullptr;
            }
        }
        return std::make_unique<DiskNode>(medium, address, fd);
    };
}

std::uint64_t fileSize(const std::string& path, std::uint64_t fallback) {
    std::error_code error;
    std::uint64_t size = path.empty() ? fallback : fs::file_size(path, error);
    return error ? fallback : size;
}

}  // namespace

struct UsbDisks::Disk {
    bool usb = false;
    bool dynamic = false;
    int slot = 0;
    std::string label;
    std::string imagePath;
    std::shared_ptr<VolumeMirror> mirror;
    std::uint64_t sizeBytes = 0;
    std::optional<FatImage::Span> partition;
    ScsiAddress address;
    std::uint64_t shownFromMs = 0;
    std::uint64_t presentation = 0;
    int diskIndex = -1;
    int genericIndex = -1;
    std::shared_ptr<Medium> whole;
    std::shared_ptr<Medium> first;

    std::string diskPath() const {
        return diskIndex < 0 ? "" : kDiskPrefix + diskLetters(diskIndex);
    }
    std::string partitionPath() const {
        return diskIndex < 0 || !partition ? "" : diskPath() + kFirstPartition;
    }
};

UsbDisks::UsbDisks(VirtualServer& server, EmulatedKernel& kernel, UsbDiskOptions options)
    : server_(server), kernel_(kernel), options_(options) {
    for (unsigned i = 0; i < options_.fixedDisks; ++i) {
        addFixedDisk();
    }
    // Time matters only to a disk that waits to show.
    clockListener_ = server_.clock().addListener([this] {
        if (waitingToShow()) {
            refresh();
        }
    });
    moduleListener_ = kernel_.addModuleListener([this] { refresh(); });
    refresh();
}

UsbDisks::~UsbDisks() {
    server_.clock().removeListener(clockListener_);
    kernel_.removeModuleListener(moduleListener_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& disk : disks_) {
        showGeneric(*disk, false);
        show(*disk, false);
    }
    updateSysfs(false);
}

void UsbDisks::addFixedDisk(const std::string& imagePath, std::uint64_t sizeBytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto disk = std::make_unique<Disk>();
        disk->imagePath = imagePath;
        disk->sizeBytes = fileSize(imagePath, sizeBytes);
        if (!imagePath.empty()) {
            disk->partition = FatImage::firstPartition(imagePath);
        }
        int fixed = static_cast<int>(
            std::count_if(disks_.begin(), disks_.end(), [](const auto& d) { return !d->usb; }));
        disk->address = ScsiAddress{kFixedHost, 0, fixed, 0};
        disk->presentation = nextPresentation_++;
        // Fixed disks come before USB disks.
        auto firstUsb =
            std::find_if(disks_.begin(), disks_.end(), [](const auto& d) { return d->usb; });
        disks_.insert(firstUsb, std::move(disk));
    }
    refresh();
}

void UsbDisks::present(const PartitionImage& image) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto disk = std::make_unique<Disk>();
        disk->usb = true;
        disk->dynamic = image.dynamic;
        disk->slot = image.slot;
        disk->label = image.label;
        disk->imagePath = image.imagePath;
        disk->mirror = image.mirror;
        disk->sizeBytes = fileSize(image.imagePath, image.sizeBytes);
        if (!image.imagePath.empty()) {
            disk->partition = FatImage::firstPartition(image.imagePath);
        }
        // Linux numbers SCSI hosts from the lowest free number: a disk that
        // comes back after a withdraw gets the host number it had.
        disk->address =
            ScsiAddress{lowestFree([](const Disk& d) { return d.address.host; }), 0, 0, 0};
        disk->shownFromMs = server_.clock().elapsedMilliseconds() +
                            static_cast<std::uint64_t>(options_.settleSeconds) * 1000;
        disk->presentation = nextPresentation_++;
        disks_.push_back(std::move(disk));
    }
    refresh();
}

void UsbDisks::withdraw(const PartitionImage& image) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = std::find_if(disks_.begin(), disks_.end(), [&image](const auto& disk) {
        return disk->usb && disk->dynamic == image.dynamic && disk->slot == image.slot;
    });
    if (found == disks_.end()) {
        return;
    }
    showGeneric(**found, false);
    show(**found, false);
    disks_.erase(found);
    updateSysfs(kernel_.isModuleActive(kGeneric));
}

void UsbDisks::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto disk = disks_.begin(); disk != disks_.end();) {
        if (!(*disk)->usb) {
            ++disk;
            continue;
        }
        showGeneric(**disk, false);
        show(**disk, false);
        disk = disks_.erase(disk);
    }
    sysfsShown_.reset();  // the host's files may have been put back meanwhile
    updateSysfs(kernel_.isModuleActive(kGeneric));
}

bool UsbDisks::waitingToShow() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(disks_.begin(), disks_.end(),
                       [](const auto& disk) { return disk->usb && disk->diskIndex < 0; });
}

void UsbDisks::setSettleSeconds(unsigned seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    options_.settleSeconds = seconds;
}

void UsbDisks::refresh() {
    bool usbActive = kernel_.isModuleActive(kUsbStorage);
    bool sgActive = kernel_.isModuleActive(kGeneric);
    std::uint64_t now = server_.clock().elapsedMilliseconds();
    std::lock_guard<std::mutex> lock(mutex_);
    // Names that go free are taken again by the next disk to show.
    std::vector<bool> visible;
    for (const auto& disk : disks_) {
        visible.push_back(!disk->usb || (usbActive && now >= disk->shownFromMs));
    }
    for (std::size_t i = 0; i < disks_.size(); ++i) {
        if (!visible[i] || !sgActive) {
            showGeneric(*disks_[i], false);
        }
        if (!visible[i]) {
            show(*disks_[i], false);
        }
    }
    for (std::size_t i = 0; i < disks_.size(); ++i) {
        if (visible[i]) {
            show(*disks_[i], true);
        }
    }
    for (std::size_t i = 0; i < disks_.size(); ++i) {
        if (visible[i] && sgActive) {
            showGeneric(*disks_[i], true);
        }
    }
    updateSysfs(sgActive);
}

void UsbDisks::show(Disk& disk, bool visible) {
    if (visible == (disk.diskIndex >= 0)) {
        return;
    }
    if (!visible) {
        server_.removeDeviceNode(disk.diskPath());
        if (disk.partition) {
            server_.removeDeviceNode(disk.partitionPath());
        }
        disk.whole->present = false;
        if (disk.first) {
            disk.first->present = false;
        }
        disk.diskIndex = -1;
        return;
    }
    disk.diskIndex = lowestFree([](const Disk& d) { return d.diskIndex; });
    disk.whole = std::make_shared<Medium>();
    disk.whole->imagePath = disk.imagePath;
    disk.whole->mirror = disk.mirror;
    disk.whole->length = disk.sizeBytes;
    server_.addDeviceNode(disk.diskPath(), diskOpener(disk.whole, disk.address));
    if (disk.partition) {
        disk.first = std::make_shared<Medium>();
        disk.first->imagePath = disk.imagePath;
        disk.first->mirror = disk.mirror;
        disk.first->offset = disk.partition->offset;
        disk.first->length = disk.partition->length;
        server_.addDeviceNode(disk.partitionPath(), diskOpener(disk.first, disk.address));
    }
}

void UsbDisks::showGeneric(Disk& disk, bool visible) {
    if (visible == (disk.genericIndex >= 0)) {
        return;
    }
    if (!visible) {
        server_.removeDeviceNode(genericPath(disk.genericIndex));
        std::error_code ignored;
        fs::remove(server_.resolve(std::string(kSysfsDirectory) + "/sg" +
                                   std::to_string(disk.genericIndex)),
                   ignored);
        disk.genericIndex = -1;
        return;
    }
    disk.genericIndex = lowestFree([](const Disk& d) { return d.genericIndex; });
    std::shared_ptr<Medium> medium = disk.whole;
    ScsiAddress address = disk.address;
    bool emulated = disk.usb;
    server_.addDeviceNode(genericPath(disk.genericIndex),
                          [medium, address, emulated](int) -> std::unique_ptr<VirtualDevice> {
                              return std::make_unique<GenericNode>(medium, address, emulated);
                          });
    if (options_.scsiGenericSysfs) {
        fs::create_directories(server_.resolve(std::string(kSysfsDirectory) + "/sg" +
                                               std::to_string(disk.genericIndex)));
    }
}

// The class directory exists while the sg driver is there. Every sleep
// refreshes the disks: the directory is touched only when that changes.
void UsbDisks::updateSysfs(bool sgActive) {
    bool wanted = options_.scsiGenericSysfs && sgActive;
    if (sysfsShown_ && *sysfsShown_ == wanted) {
        return;
    }
    std::string directory = server_.resolve(kSysfsDirectory);
    std::error_code ignored;
    if (wanted) {
        fs::create_directories(directory, ignored);
    } else {
        fs::remove_all(directory, ignored);
    }
    sysfsShown_ = wanted;
}

// The lowest number no disk holds in the given field.
int UsbDisks::lowestFree(const std::function<int(const Disk&)>& field) const {
    std::set<int> used;
    for (const auto& disk : disks_) {
        used.insert(field(*disk));
    }
    int index = 0;
    while (used.count(index)) {
        ++index;
    }
    return index;
}

std::string UsbDisks::genericPath(int index) const {
    return kGenericPrefix +
           (options_.scsiGenericSysfs ? std::to_string(index) : diskLetters(index));
}

std::vector<UsbDisks::DiskInfo> UsbDisks::disks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DiskInfo> result;
    for (const auto& disk : disks_) {
        result.push_back(DiskInfo{disk->usb, disk->label, disk->diskPath(), disk->partitionPath(),
                                  disk->genericIndex < 0 ? "" : genericPath(disk->genericIndex),
                                  disk->address.host});
    }
    return result;
}

std::optional<UsbDisks::DiskInfo> UsbDisks::diskWithLabel(const std::string& label) const {
    for (const DiskInfo& disk : disks()) {
        if (disk.usb && disk.label == label) {
            return disk;
        }
    }
    return std::nullopt;
}

std::optional<PresentedVolume> UsbDisks::volumeAt(const std::string& devicePath) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& disk : disks_) {
        if (disk->diskIndex < 0 || disk->imagePath.empty()) {
            continue;
        }
        // The mirror holds the files of the image's volume, behind its
        // partition table when it has one.
        if (devicePath == disk->diskPath()) {
            return PresentedVolume{FatImage(disk->imagePath), disk->presentation, disk->label,
                                   disk->partition ? nullptr : disk->mirror};
        }
        if (disk->partition && devicePath == disk->partitionPath()) {
            return PresentedVolume{FatImage(disk->imagePath, disk->partition->offset),
                                   disk->presentation, disk->label, disk->mirror};
        }
    }
    return std::nullopt;
}

bool UsbDisks::stillPresented(std::uint64_t presentation) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::any_of(disks_.begin(), disks_.end(), [presentation](const auto& disk) {
        return disk->presentation == presentation;
    });
}
