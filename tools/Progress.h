#pragma once

#include <ostream>
#include <string>

#include "vserver/ForwardingPort.h"

// Shows the steps of a run as they happen, one line each with the seconds
// since the start, by watching what the plug-in asks of its host: the
// controller commands it sends through the IPMI device, the shell commands
// it runs, the files it reaches. Every call is passed on unchanged.
class ProgressPort : public ForwardingPort {
public:
    ProgressPort(HostPort& host, std::ostream& out);

    int system(const std::string& command) override;
    int open(const std::string& path, int flags, mode_t mode = 0644) override;
    int close(int fd) override;
    int flock(int fd, int operation) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    std::string resolve(const std::string& path) override;

private:
    void step(const std::string& text);
    void sent(unsigned char netfn, unsigned char cmd, const unsigned char* data, unsigned length);
    void lockTried(int fd, int result);

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
