#include "storage/StorageRoadLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "baseutils/HostPort.h"
#include "baseutils/Logger.h"
#include "storage/VeskErrors.h"

const std::string storageLockDirectory = "/run/ipmiinventory";
const std::string storageLockPath = storageLockDirectory + "/storage.lock";

namespace {

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kLockFileMode = 0600;

void logLine(unsigned line, const std::string& message) {
    CLogger::GetInstance()->log(__FILE__, line, message);
}

// Root's alone: owned by root, writable by no one else.
bool rootsAlone(const struct stat& info) {
    return info.st_uid == 0 && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

unsigned char refused(unsigned line, const std::string& path, const std::string& reason) {
    logLine(line, "Storage lock " + path + " refused: " + reason);
    return QUIB_STORAGE_LOCK_UNSAFE;
}

// The directory exists as a real directory that only root can change, made
// 0700 when it is missing. ENOENT (no /run) leaves it to the caller.
unsigned char prepareDirectory(int& error) {
    struct stat info {};
    if (hostPort().lstat(storageLockDirectory, &info) != 0) {
        if (hostPort().mkdir(storageLockDirectory, kDirectoryMode) != 0 && errno != EEXIST) {
            error = errno;
            return 0;
        }
        if (hostPort().lstat(storageLockDirectory, &info) != 0) {
            error = errno;
            return 0;
        }
    }
    if (S_ISLNK(info.st_mode)) {
        return refused(__LINE__, storageLockDirectory, "it is a symbolic link");
    }
    if (!S_ISDIR(info.st_mode) || !rootsAlone(info)) {
        return refused(__LINE__, storageLockDirectory,
                       "it is not a directory that only root owns and can write");
    }
    return 0;
}

}  // namespace

unsigned char StorageRoadLock::openLockFile() {
    int error = 0;
    if (unsigned char problem = prepareDirectory(error)) {
        return problem;
    }
    if (error == 0) {
        // Not inherited: a program the run starts must not keep the road locked.
        fd_.reset(hostPort().open(storageLockPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC,
                                  kLockFileMode));
        error = fd_.valid() ? 0 : errno;
    }
    if (error == ELOOP) {
        return refused(__LINE__, storageLockPath, "it is a symbolic link");
    }
    if (error != 0) {
        logLine(__LINE__, "Storage lock " + storageLockPath + " cannot be opened (" +
                              std::strerror(error) + "); running without it");
        unguarded_ = true;
        held_ = true;
        return 0;
    }
    struct stat info {};
    if (hostPort().fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode) || !rootsAlone(info)) {
        fd_.reset();
        return refused(__LINE__, storageLockPath,
                       "it is not a regular file that only root owns and can write");
    }
    return 0;
}

unsigned char StorageRoadLock::acquire(unsigned waitSeconds) {
    refusal_ = openLockFile();
    if (refusal_ == 0 && !unguarded_) {
        refusal_ = waitForLock(waitSeconds);
    }
    return refusal_;
}

unsigned char StorageRoadLock::waitForLock(unsigned waitSeconds) {
    for (unsigned waited = 0;; ++waited) {
        if (hostPort().flock(fd_.get(), LOCK_EX | LOCK_NB) == 0) {
            if (waited > 0) {
                logLine(__LINE__,
                        "Storage lock obtained after " + std::to_string(waited) + " seconds");
            }
            held_ = true;
            return 0;
        }
        if (errno != EWOULDBLOCK) {
            logLine(__LINE__, "Storage lock " + storageLockPath + " cannot be taken (" +
                                  std::strerror(errno) + "); running without it");
            unguarded_ = true;
            held_ = true;
            return 0;
        }
        if (waited == waitSeconds) {
            break;
        }
        if (waited == 0) {
            logLine(__LINE__, "Another run is using the controller storage; waiting up to " +
                                  std::to_string(waitSeconds) + " seconds for " + storageLockPath);
        }
        hostPort().sleepSeconds(1);
    }
    logLine(__LINE__, "Storage lock not obtained within " + std::to_string(waitSeconds) +
                          " seconds: another run still uses the controller storage");
    fd_.reset();
    return QUIB_STORAGE_BUSY;
}
