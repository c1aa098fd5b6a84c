#include "vserver/FileLocks.h"

#include <cerrno>

int FileLocks::acquire(const std::string& path, int fd) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto holder = holders_.find(path);
        if (holder == holders_.end() || holder->second.fd == fd) {
            holders_[path] = Holder{fd, std::this_thread::get_id()};
            return 0;
        }
        if (holder->second.thread == std::this_thread::get_id()) {
            errno = EWOULDBLOCK;
            return -1;
        }
        released_.wait(lock);
    }
}

void FileLocks::release(const std::string& path, int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto holder = holders_.find(path);
    if (holder != holders_.end() && holder->second.fd == fd) {
        holders_.erase(holder);
        released_.notify_all();
    }
}

void FileLocks::releaseAll(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto holder = holders_.begin(); holder != holders_.end();) {
        holder = holder->second.fd == fd ? holders_.erase(holder) : std::next(holder);
    }
    released_.notify_all();
}

bool FileLocks::held(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return holders_.count(path) != 0;
}
