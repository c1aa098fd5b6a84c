#pragma once

#include <string>

// The lock file that keeps two runs of the storage road on one host apart:
// each deletes the other's drop box at start-up otherwise.
extern const std::string storageLockPath;
// How long a run waits for another run's storage road to end.
constexpr unsigned kStorageLockWaitSeconds = 300;

// An advisory lock (flock) on the storage lock file, held from acquire until
// destruction. A host without the lock directory runs unguarded.
class StorageRoadLock {
public:
    StorageRoadLock() = default;
    ~StorageRoadLock();
    StorageRoadLock(const StorageRoadLock&) = delete;
    StorageRoadLock& operator=(const StorageRoadLock&) = delete;

    // Tries once a second for up to waitSeconds; false when another run held
    // the lock all that time.
    bool acquire(unsigned waitSeconds = kStorageLockWaitSeconds);
    bool held() const { return held_; }

private:
    int fd_ = -1;
    bool held_ = false;
};
