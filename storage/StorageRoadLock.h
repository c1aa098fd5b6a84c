#pragma once

#include <string>

#include "baseutils/PortDescriptor.h"

// The lock file that keeps two runs of the storage road on one host apart:
// each deletes the other's drop box at start-up otherwise. It lives in a
// directory only root may enter, so no other user can hold it or plant a
// link in its place.
extern const std::string storageLockDirectory;
extern const std::string storageLockPath;
// How long a run waits for another run's storage road to end.
constexpr unsigned kStorageLockWaitSeconds = 300;

// An advisory lock (flock) on the storage lock file, held from acquire until
// destruction. A host without /run runs unguarded.
class StorageRoadLock {
public:
    StorageRoadLock() = default;
    StorageRoadLock(const StorageRoadLock&) = delete;
    StorageRoadLock& operator=(const StorageRoadLock&) = delete;

    // Tries once a second for up to waitSeconds. 0 when the lock is held or
    // the host has no place for it; else the layer's error number: 71 when
    // another run held it all that time, 73 when the directory or the file
    // is a link, not root's, or writable by others.
    unsigned char acquire(unsigned waitSeconds = kStorageLockWaitSeconds);
    // The road is this run's: the lock is held, or the host has no place
    // for it and the run goes on unguarded.
    bool held() const { return held_; }
    bool unguarded() const { return unguarded_; }
    // What the last acquire gave.
    unsigned char refusal() const { return refusal_; }

private:
    unsigned char openLockFile();
    unsigned char waitForLock(unsigned waitSeconds);

    PortDescriptor fd_;
    bool held_ = false;
    bool unguarded_ = false;
    unsigned char refusal_ = 0;
};
