#pragma once

#include "baseutils/HostPort.h"

// Owns a descriptor opened through the host port and closes it there.
class PortDescriptor {
public:
    explicit PortDescriptor(int fd = -1) : fd_(fd) {}
    ~PortDescriptor() { reset(); }
    PortDescriptor(const PortDescriptor&) = delete;
    PortDescriptor& operator=(const PortDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            hostPort().close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};
