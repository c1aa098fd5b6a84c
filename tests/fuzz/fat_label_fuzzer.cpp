// The FAT label reader on arbitrary device bytes: the input is the start of
// the disk. An even last byte makes the disk 1 MiB (zeros after the input),
// so that windows far into the disk are read; an odd one ends the disk with
// the input, so that reads fall short.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "storage/partitions/LinuxEnumerateDevices.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

constexpr std::size_t kPaddedDisk = 1u << 20;
const char* const kNode = "/dev/sdb";

class BytesDisk : public VirtualDevice {
public:
    explicit BytesDisk(std::vector<std::uint8_t> bytes, std::size_t size)
        : bytes_(std::move(bytes)), size_(size) {}

    ssize_t pread(void* buffer, std::size_t count, off_t offset) override {
        if (offset < 0) {
            errno = EINVAL;
            return -1;
        }
        auto at = static_cast<std::size_t>(offset);
        if (at >= size_) {
            return 0;
        }
        std::size_t length = std::min(count, size_ - at);
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::memset(out, 0, length);
        if (at < bytes_.size()) {
            std::memcpy(out, bytes_.data() + at, std::min(length, bytes_.size() - at));
        }
        return static_cast<ssize_t>(length);
    }

private:
    std::vector<std::uint8_t> bytes_;
    std::size_t size_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    VirtualServer& host = fuzzHost();
    std::vector<std::uint8_t> bytes(data, data + size);
    std::size_t diskSize = size > 0 && (data[size - 1] & 1) ? size : std::max(size, kPaddedDisk);
    host.addDeviceNode(kNode, [&](int) { return std::make_unique<BytesDisk>(bytes, diskSize); });
    std::string label = getLabel(kNode);
    host.removeDeviceNode(kNode);
    // The label is a 32-byte directory entry read as text.
    if (label.size() > 32) {
        fuzzFinding("a label longer than its directory entry");
    }
    if (host.openDescriptors() != 0) {
        fuzzFinding("the label reader left the device open");
    }
    return 0;
}
