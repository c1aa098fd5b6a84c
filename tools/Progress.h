#pragma once

#include <ostream>
#include <string>

#include "baseutils/HostPort.h"

// Shows the steps of a run as they happen, one line each with the seconds
// since the start, by watching what the plug-in asks of its host: the
// controller commands it sends through the IPMI device, the shell commands
// it runs, the files it reaches. Every call is passed on unchanged.
class ProgressPort : public HostPort {
public:
    ProgressPort(HostPort& host, std::ostream& out);

    int system(const std::string& command) override;
    bool popen(const std::string& command, std::size_t maxBytes, std::string& output,
               int* status = nullptr) override;
    void sleepSeconds(unsigned int seconds) override;
    void sleepMilliseconds(unsigned int milliseconds) override;
    std::time_t now() override;
    int open(const std::string& path, int flags, mode_t mode = 0644) override;
    int close(int fd) override;
    int fstat(int fd, struct stat* result) override;
    ssize_t write(int fd, const void* buffer, std::size_t count) override;
    int fchmod(int fd, mode_t mode) override;
    int mkdir(const std::string& path, mode_t mode) override;
    int flock(int fd, int operation) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
               timeval* timeout) override;
    ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) override;
    bool listDirectory(const std::string& path, std::vector<std::string>& names) override;
    int umount2(const std::string& target, int flags) override;
    int stat(const std::string& path, struct stat* result) override;
    int lstat(const std::string& path, struct stat* result) override;
    int setuid(uid_t uid) override;
    int uname(struct utsname* result) override;
    int sigaction(int signal, const struct sigaction* action, struct sigaction* previous) override;
    std::string resolve(const std::string& path) override;
    std::string resolveEntry(const std::string& path) override;

private:
    void step(const std::string& text);
    void sent(unsigned char netfn, unsigned char cmd, const unsigned char* data, unsigned length);

    void lockTried(int fd, int result);

    HostPort& host_;
    std::ostream& out_;
    std::time_t start_;
    int searchTry_ = 0;
    int statusPoll_ = 0;
    std::string last_;
    int lockFd_ = -1;
    std::time_t waitStart_ = 0;
    std::time_t lastWaitLine_ = 0;
    bool waiting_ = false;
};
