#include "storage/DropBoxRoom.h"

#include <algorithm>

namespace {

constexpr std::uint64_t kEntryBytes = 32;
constexpr std::uint64_t kLongNameCharacters = 13;
// A new directory holds "." and "..".
constexpr std::uint64_t kNewDirectoryEntries = 2;
const char* const kCommandFileName = "update.xml";

// Entries of one name: its short entry and the long name's.
std::uint64_t entriesFor(const std::string& name) {
    return 1 + (name.size() + kLongNameCharacters - 1) / kLongNameCharacters;
}

std::string parentOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
    std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

DropBoxRoom::DropBoxRoom(const FatGeometry& geometry) : geometry_(geometry) {
    // The root holds the volume label and the command file.
    state_.directories[""] = Directory{1, geometry_.rootEntries == 0 ? 1u : 0u};
    state_.usedClusters = state_.directories[""].clusters;
    addEntries(state_, "", entriesFor(kCommandFileName));
}

std::uint64_t DropBoxRoom::clustersFor(std::uint64_t bytes) const {
    return (bytes + geometry_.clusterBytes - 1) / geometry_.clusterBytes;
}

// More entries in a directory: a fixed root may run out, any other
// directory takes another cluster when its clusters are full.
void DropBoxRoom::addEntries(Plan& plan, const std::string& directory,
                             std::uint64_t entries) const {
    Directory& holder = plan.directories[directory];
    holder.entries += entries;
    if (directory.empty() && geometry_.rootEntries != 0) {
        plan.fits = plan.fits && holder.entries <= geometry_.rootEntries;
        return;
    }
    std::uint64_t needed = clustersFor(holder.entries * kEntryBytes);
    if (needed > holder.clusters) {
        plan.usedClusters += needed - holder.clusters;
        holder.clusters = needed;
    }
}

DropBoxRoom::Plan DropBoxRoom::planned(const std::string& path, std::uint64_t size,
                                       std::uint64_t commandGrowth) const {
    Plan plan = state_;
    // The directories on the way that are not there yet.
    std::string directory = parentOf(path);
    for (std::string at = directory; !at.empty() && plan.directories.count(at) == 0;
         at = parentOf(at)) {
        plan.directories[at] = Directory{};
        addEntries(plan, at, kNewDirectoryEntries);
        addEntries(plan, parentOf(at), entriesFor(nameOf(at)));
    }
    addEntries(plan, directory, entriesFor(nameOf(path)));
    plan.usedClusters += clustersFor(size);
    plan.files[path] = size;
    std::uint64_t before = clustersFor(plan.commandBytes);
    plan.commandBytes += commandGrowth;
    plan.usedClusters += clustersFor(plan.commandBytes) - before;
    plan.fits = plan.fits && plan.usedClusters <= geometry_.clusters;
    return plan;
}

bool DropBoxRoom::fits(const std::string& path, std::uint64_t size,
                       std::uint64_t commandGrowth) const {
    return planned(path, size, commandGrowth).fits;
}

void DropBoxRoom::take(const std::string& path, std::uint64_t size, std::uint64_t commandGrowth) {
    state_ = planned(path, size, commandGrowth);
}

void DropBoxRoom::startCommandFile(std::uint64_t baseBytes) {
    state_.usedClusters -= clustersFor(state_.commandBytes);
    state_.commandBytes = baseBytes;
    state_.usedClusters += clustersFor(baseBytes);
}

void DropBoxRoom::release(const std::string& path) {
    auto file = state_.files.find(path);
    if (file == state_.files.end()) {
        return;
    }
    Directory& holder = state_.directories[parentOf(path)];
    holder.entries -= std::min(entriesFor(nameOf(path)), holder.entries);
    state_.usedClusters -= std::min(clustersFor(file->second), state_.usedClusters);
    state_.files.erase(file);
}

void DropBoxRoom::releaseRootFiles(const std::string& prefix) {
    for (auto file = state_.files.begin(); file != state_.files.end();) {
        std::string path = file->first;
        ++file;
        if (parentOf(path).empty() && path.rfind(prefix, 0) == 0) {
            release(path);
        }
    }
}

std::uint64_t DropBoxRoom::largestFile(const std::string& path, std::uint64_t commandGrowth) const {
    Plan empty = planned(path, 0, commandGrowth);
    if (!empty.fits) {
        return 0;
    }
    return (geometry_.clusters - empty.usedClusters) * geometry_.clusterBytes;
}
