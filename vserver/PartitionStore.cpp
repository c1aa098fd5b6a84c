#include "vserver/PartitionStore.h"

#include <algorithm>

namespace {

std::uint16_t bitmapOf(const std::map<int, ControllerPartition>& partitions) {
    std::uint16_t bitmap = 0;
    for (const auto& entry : partitions) {
        bitmap |= static_cast<std::uint16_t>(1u << entry.first);
    }
    return bitmap;
}

}  // namespace

PartitionStore::PartitionStore(int dynamicSlots, std::uint64_t dynamicCapacityBytes)
    : dynamicSlots_(std::clamp(dynamicSlots, 0, kMaxSlots)),
      dynamicCapacityBytes_(dynamicCapacityBytes) {}

bool PartitionStore::addStatic(int slot, const std::string& label, std::uint64_t sizeBytes,
                               const std::string& name) {
    if (slot < 0 || slot >= kMaxSlots || static_.count(slot) != 0) {
        return false;
    }
    ControllerPartition partition;
    partition.image = PartitionImage{false, slot, label, sizeBytes, "", nullptr};
    partition.name = name;
    static_[slot] = partition;
    return true;
}

std::uint64_t PartitionStore::dynamicBytesUsed() const {
    std::uint64_t used = 0;
    for (const auto& entry : dynamic_) {
        used += entry.second.image.sizeBytes;
    }
    return used;
}

std::optional<int> PartitionStore::createDynamic(const std::string& label, std::uint64_t sizeBytes,
                                                 std::uint8_t flags) {
    if (dynamicCapacityBytes_ != 0 && dynamicBytesUsed() + sizeBytes > dynamicCapacityBytes_) {
        return std::nullopt;
    }
    for (int slot = 0; slot < dynamicSlots_; ++slot) {
        if (dynamic_.count(slot) != 0) {
            continue;
        }
        ControllerPartition partition;
        partition.image = PartitionImage{true, slot, label, sizeBytes, "", nullptr};
        partition.createFlags = flags;
        dynamic_[slot] = partition;
        return slot;
    }
    return std::nullopt;
}

bool PartitionStore::removeDynamic(int slot) {
    return dynamic_.erase(slot) != 0;
}

std::uint16_t PartitionStore::staticBitmap() const {
    return bitmapOf(static_);
}

std::uint16_t PartitionStore::dynamicBitmap() const {
    return bitmapOf(dynamic_);
}

std::uint16_t PartitionStore::attachedMask(bool dynamic) const {
    std::uint16_t mask = 0;
    for (const auto& entry : slots(dynamic)) {
        if (entry.second.attached) {
            mask |= static_cast<std::uint16_t>(1u << entry.first);
        }
    }
    return mask;
}

ControllerPartition* PartitionStore::find(bool dynamic, int slot) {
    auto found = slots(dynamic).find(slot);
    return found == slots(dynamic).end() ? nullptr : &found->second;
}

const ControllerPartition* PartitionStore::find(bool dynamic, int slot) const {
    auto found = slots(dynamic).find(slot);
    return found == slots(dynamic).end() ? nullptr : &found->second;
}

std::vector<ControllerPartition> PartitionStore::all() const {
    std::vector<ControllerPartition> result;
    for (const Slots* partitions : {&static_, &dynamic_}) {
        for (const auto& entry : *partitions) {
            result.push_back(entry.second);
        }
    }
    return result;
}

int PartitionStore::changeAttachment(Slots& partitions, std::uint16_t mask, bool attach,
                                     PartitionPresenter* presenter) {
    int changed = 0;
    for (auto& entry : partitions) {
        ControllerPartition& partition = entry.second;
        if ((mask & (1u << entry.first)) == 0 || partition.attached == attach) {
            continue;
        }
        partition.attached = attach;
        ++changed;
        if (presenter == nullptr) {
            continue;
        }
        if (attach) {
            presenter->present(partition.image);
        } else {
            presenter->withdraw(partition.image);
        }
    }
    return changed;
}

int PartitionStore::attach(std::uint16_t staticMask, std::uint16_t dynamicMask,
                           PartitionPresenter* presenter) {
    return changeAttachment(static_, staticMask, true, presenter) +
           changeAttachment(dynamic_, dynamicMask, true, presenter);
}

int PartitionStore::detach(std::uint16_t staticMask, std::uint16_t dynamicMask,
                           PartitionPresenter* presenter) {
    return changeAttachment(static_, staticMask, false, presenter) +
           changeAttachment(dynamic_, dynamicMask, false, presenter);
}

void PartitionStore::detachAll(PartitionPresenter* presenter) {
    detach(0xFFFF, 0xFFFF, presenter);
}
