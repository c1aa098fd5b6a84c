#pragma once

#include "baseutils/HostPort.h"

// A host port that passes every call on to another one; a port that watches
// or changes some calls derives from it and overrides those.
class ForwardingPort : public HostPort {
public:
    explicit ForwardingPort(HostPort& host) : host_(host) {}

    int system(const std::string& command) override { return host_.system(command); }
    bool popen(const std::string& command, std::size_t maxBytes, std::string& output,
               int* status = nullptr) override {
        return host_.popen(command, maxBytes, output, status);
    }
    void sleepSeconds(unsigned int seconds) override { host_.sleepSeconds(seconds); }
    void sleepMilliseconds(unsigned int milliseconds) override {
        host_.sleepMilliseconds(milliseconds);
    }
    std::time_t now() override { return host_.now(); }
    int open(const std::string& path, int flags, mode_t mode = 0644) override {
        return host_.open(path, flags, mode);
    }
    int close(int fd) override { return host_.close(fd); }
    int fstat(int fd, struct stat* result) override { return host_.fstat(fd, result); }
    ssize_t write(int fd, const void* buffer, std::size_t count) override {
        return host_.write(fd, buffer, count);
    }
    int fchmod(int fd, mode_t mode) override { return host_.fchmod(fd, mode); }
    int mkdir(const std::string& path, mode_t mode) override { return host_.mkdir(path, mode); }
    int flock(int fd, int operation) override { return host_.flock(fd, operation); }
    int ioctl(int fd, unsigned long request, void* argument) override {
        return host_.ioctl(fd, request, argument);
    }
    int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
               timeval* timeout) override {
        return host_.select(nfds, readfds, writefds, exceptfds, timeout);
    }
    ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) override {
        return host_.pread(fd, buffer, count, offset);
    }
    bool listDirectory(const std::string& path, std::vector<std::string>& names) override {
        return host_.listDirectory(path, names);
    }
    int umount2(const std::string& target, int flags) override {
        return host_.umount2(target, flags);
    }
    int stat(const std::string& path, struct stat* result) override {
        return host_.stat(path, result);
    }
    int lstat(const std::string& path, struct stat* result) override {
        return host_.lstat(path, result);
    }
    int setuid(uid_t uid) override { return host_.setuid(uid); }
    int uname(struct utsname* result) override { return host_.uname(result); }
    int sigaction(int signal, const struct sigaction* action, struct sigaction* previous) override {
        return host_.sigaction(signal, action, previous);
    }
    std::string resolve(const std::string& path) override { return host_.resolve(path); }
    std::string resolveEntry(const std::string& path) override { return host_.resolveEntry(path); }

protected:
    HostPort& host() { return host_; }

private:
    HostPort& host_;
};
