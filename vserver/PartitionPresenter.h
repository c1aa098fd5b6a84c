#pragma once

#include <cstdint>
#include <memory>
#include <string>

class VolumeMirror;

// One partition of the controller's storage as the host would be handed it.
struct PartitionImage {
    bool dynamic = false;
    int slot = 0;
    std::string label;  // six characters, also the FAT volume label
    std::uint64_t sizeBytes = 0;
    std::string imagePath;                 // FAT image backing the partition, when there is one
    std::shared_ptr<VolumeMirror> mirror;  // the image's files, with the image
};

// How the controller shows an attached partition to the host (an emulated USB
// disk in-process, a hot-plugged disk in a VM). The controller model only
// says when.
class PartitionPresenter {
public:
    virtual ~PartitionPresenter() = default;
    virtual void present(const PartitionImage& image) = 0;
    virtual void withdraw(const PartitionImage& image) = 0;
    // The host changes a presented volume only through its mirror; else
    // (a VM writing the image) the mirror is dropped when it is presented.
    virtual bool writesThroughMirror() const { return false; }
};
