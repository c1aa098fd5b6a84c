#include "storage/StorageRoadLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

#include "baseutils/HostPort.h"
#include "baseutils/Logger.h"

const std::string storageLockPath = "/run/lock/ipmiinventory.lock";

namespace {

void logLine(unsigned line, const std::string& message) {
    CLogger::GetInstance()->log(__FILE__, line, message);
}

// A host whose lock file cannot be used keeps the run going unguarded.
bool unguarded(unsigned line, const char* what) {
    logLine(line,
            "Storage lock " + storageLockPath + " cannot be " + what + "; running without it");
    return true;
}

}  // namespace

StorageRoadLock::~StorageRoadLock() {
    if (fd_ >= 0) {
        hostPort().close(fd_);  // lets the lock go
    }
}

bool StorageRoadLock::acquire(unsigned waitSeconds) {
    // Not inherited: a program the run starts must not keep the road locked.
    fd_ = hostPort().open(storageLockPath, O_RDWR | O_CREAT | O_CLOEXEC);
    if (fd_ < 0) {
        held_ = unguarded(__LINE__, "opened");
        return true;
    }
    for (unsigned waited = 0;; ++waited) {
        if (hostPort().flock(fd_, LOCK_EX | LOCK_NB) == 0) {
            if (waited > 0) {
                logLine(__LINE__,
                        "Storage lock obtained after " + std::to_string(waited) + " seconds");
            }
            held_ = true;
            return true;
        }
        if (errno != EWOULDBLOCK) {
            held_ = unguarded(__LINE__, "taken");
            return true;
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
    hostPort().close(fd_);
    fd_ = -1;
    return false;
}
