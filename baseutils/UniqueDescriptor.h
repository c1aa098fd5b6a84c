#pragma once

#include <unistd.h>

// Owns a file descriptor and closes it when it goes out of scope.
class UniqueDescriptor {
public:
    explicit UniqueDescriptor(int fd) : fd_(fd) {}
    ~UniqueDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    UniqueDescriptor(const UniqueDescriptor&) = delete;
    UniqueDescriptor& operator=(const UniqueDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

private:
    int fd_;
};
