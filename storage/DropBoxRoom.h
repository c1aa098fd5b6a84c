#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "storage/partitions/LinuxEnumerateDevices.h"

// The room files take on a drop box's FAT volume, counted as the volume
// counts it rather than in bytes: every file takes whole clusters, and a
// directory entry (one, and one more per 13 characters of its long name) in
// the directory that holds it; the root directory of FAT12 and FAT16 has a
// fixed number of entries, every other directory grows by whole clusters.
// Paths are relative to the volume's root, "/" between directories.
class DropBoxRoom {
public:
    explicit DropBoxRoom(const FatGeometry& geometry);

    // A new command file (update.xml) of baseBytes replaces the last one.
    void startCommandFile(std::uint64_t baseBytes);
    // Whether a file of size bytes at path fits, with the command file
    // growing by commandGrowth bytes; nothing is taken.
    bool fits(const std::string& path, std::uint64_t size, std::uint64_t commandGrowth) const;
    // Takes that room.
    void take(const std::string& path, std::uint64_t size, std::uint64_t commandGrowth);
    // A file removed from the volume gives its room back; directories stay.
    void release(const std::string& path);
    // Every file in the root whose name starts with prefix is removed.
    void releaseRootFiles(const std::string& prefix);
    // The largest file that still fits at path.
    std::uint64_t largestFile(const std::string& path, std::uint64_t commandGrowth) const;

private:
    struct Directory {
        std::uint64_t entries = 0;
        std::uint64_t clusters = 0;
    };
    struct Plan {
        std::map<std::string, Directory> directories;
        std::uint64_t usedClusters = 0;
        std::uint64_t commandBytes = 0;
        std::map<std::string, std::uint64_t> files;  // path and size
        bool fits = true;
    };

    Plan planned(const std::string& path, std::uint64_t size, std::uint64_t commandGrowth) const;
    void addEntries(Plan& plan, const std::string& directory, std::uint64_t entries) const;
    std::uint64_t clustersFor(std::uint64_t bytes) const;

    FatGeometry geometry_;
    Plan state_;
};
