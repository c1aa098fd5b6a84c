#pragma once

#include <cstdint>
#include <string>

// One partition of the controller's storage as the host would be handed it.
struct PartitionImage {
    bool dynamic = false;
    int slot = 0;
    std::string label;  // six characters, also the FAT volume label
    std::uint64_t sizeBytes = 0;
    std::string imagePath;  // FAT image backing the partition, when there is one
};

// How the controller shows an attached partition to the host (an emulated USB
// disk in-process, a hot-plugged disk in a VM). The controller model only
// says when.
class PartitionPresenter {
public:
    virtual ~PartitionPresenter() = default;
    virtual void present(const PartitionImage& image) = 0;
    virtual void withdraw(const PartitionImage& image) = 0;
};
