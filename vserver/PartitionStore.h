#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "vserver/PartitionPresenter.h"

struct ControllerPartition {
    PartitionImage image;
    std::string name;  // informational ("UEFI", ...)
    bool attached = false;
    std::uint8_t createFlags = 0;  // last byte of the create request
};

// The controller's static and dynamic partitions, addressed by slot; bit i of
// a bitmap or mask stands for slot i.
class PartitionStore {
public:
    static constexpr int kMaxSlots = 16;

    explicit PartitionStore(int dynamicSlots = 8, std::uint64_t dynamicCapacityBytes = 0);

    bool addStatic(int slot, const std::string& label, std::uint64_t sizeBytes,
                   const std::string& name = "");
    // Lowest free dynamic slot, or nothing when no slot or room is left.
    std::optional<int> createDynamic(const std::string& label, std::uint64_t sizeBytes,
                                     std::uint8_t flags);
    bool removeDynamic(int slot);

    std::uint16_t staticBitmap() const;
    std::uint16_t dynamicBitmap() const;
    std::uint16_t attachedMask(bool dynamic) const;

    ControllerPartition* find(bool dynamic, int slot);
    const ControllerPartition* find(bool dynamic, int slot) const;
    std::vector<ControllerPartition> all() const;

    // Present or withdraw every existing partition selected by the masks;
    // bits of absent slots are ignored. Returns how many changed.
    int attach(std::uint16_t staticMask, std::uint16_t dynamicMask, PartitionPresenter* presenter);
    int detach(std::uint16_t staticMask, std::uint16_t dynamicMask, PartitionPresenter* presenter);
    void detachAll(PartitionPresenter* presenter);

private:
    using Slots = std::map<int, ControllerPartition>;
    Slots& slots(bool dynamic) { return dynamic ? dynamic_ : static_; }
    const Slots& slots(bool dynamic) const { return dynamic ? dynamic_ : static_; }
    int changeAttachment(Slots& partitions, std::uint16_t mask, bool attach,
                         PartitionPresenter* presenter);
    std::uint64_t dynamicBytesUsed() const;

    int dynamicSlots_;
    std::uint64_t dynamicCapacityBytes_;
    Slots static_;
    Slots dynamic_;
};
