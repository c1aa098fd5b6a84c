#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "vserver/FatImage.h"
#include "vserver/PartitionPresenter.h"
#include "vserver/VolumeMirror.h"

class EmulatedKernel;
class VirtualServer;

struct UsbDiskOptions {
    // The sg driver lists its nodes in /sys/class/scsi_generic as sgN; a host
    // without it names the nodes the old way, /dev/sga, /dev/sgb ...
    bool scsiGenericSysfs = true;
    // Non-USB disks the host has before any USB disk (/dev/sda ...).
    unsigned fixedDisks = 1;
    // Virtual seconds from the attach until the kernel shows the disk.
    unsigned settleSeconds = 0;
};

// A shown disk node's volume.
struct PresentedVolume {
    FatImage volume;
    std::uint64_t presentation = 0;  // which presentation of a partition
    std::string label;
    std::shared_ptr<VolumeMirror> mirror;  // the volume's files; none for a fixed disk
};

// The kernel side of attached partitions: each one becomes a USB SCSI disk,
// /dev/sdX (lowest free letter) and /dev/sdX1 when its image has a partition
// table, reading the image's bytes and answering the SCSI id/lun and bus
// number requests, each on a SCSI host of its own. While the sg module is
// loaded every disk has a generic node too (lowest free number) answering
// the emulated-host and SCSI id requests: 1 for USB disks, 0 for fixed ones.
// USB disks show only while usb_storage is loaded (or built in), and only
// once the settle time has passed since the attach.
class UsbDisks : public PartitionPresenter {
public:
    struct DiskInfo {
        bool usb = false;
        std::string label;          // the partition's; empty for a fixed disk
        std::string diskPath;       // "/dev/sdb"; empty while not shown
        std::string partitionPath;  // "/dev/sdb1" when the image has a partition table
        std::string genericPath;    // "/dev/sg1" or "/dev/sgb"; empty without sg
        int host = 0;
    };

    UsbDisks(VirtualServer& server, EmulatedKernel& kernel, UsbDiskOptions options = {});
    ~UsbDisks() override;
    UsbDisks(const UsbDisks&) = delete;
    UsbDisks& operator=(const UsbDisks&) = delete;

    void present(const PartitionImage& image) override;
    void withdraw(const PartitionImage& image) override;
    // The host writes a presented volume only by mounting it.
    bool writesThroughMirror() const override { return true; }

    void setSettleSeconds(unsigned seconds);
    // Adds a fixed disk after the others, reading imagePath (empty: sizeBytes
    // of zeros).
    void addFixedDisk(const std::string& imagePath = "", std::uint64_t sizeBytes = 1 << 20);
    // Withdraws every USB disk: none is shown, as on a new server.
    void reset();

    // Fixed disks first, then USB disks in the order they were attached.
    std::vector<DiskInfo> disks() const;
    std::optional<DiskInfo> diskWithLabel(const std::string& label) const;

    // What a shown disk or partition node holds; nothing for another path.
    std::optional<PresentedVolume> volumeAt(const std::string& devicePath) const;
    // The presentation is still attached (the disk was not withdrawn since).
    bool stillPresented(std::uint64_t presentation) const;

    struct Disk;

private:
    void refresh();
    bool waitingToShow() const;
    void show(Disk& disk, bool visible);
    void showGeneric(Disk& disk, bool visible);
    void updateSysfs(bool sgActive);
    int lowestFree(const std::function<int(const Disk&)>& field) const;
    std::string genericPath(int index) const;

    VirtualServer& server_;
    EmulatedKernel& kernel_;
    UsbDiskOptions options_;
    int clockListener_ = 0;
    int moduleListener_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::unique_ptr<Disk>> disks_;
    std::uint64_t nextPresentation_ = 1;
    std::optional<bool> sysfsShown_;  // what updateSysfs last made of the class directory
};
