#include "baseutils/HostPort.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

SystemHostPort& systemPort() {
    static SystemHostPort port;
    return port;
}

HostPort* currentPort = nullptr;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

HostPort& hostPort() {
    return currentPort ? *currentPort : systemPort();
}

HostPort* installHostPort(HostPort* port) {
    HostPort* previous = currentPort;
    currentPort = port;
    return previous;
}

int SystemHostPort::system(const std::string& command) {
    return ::system(command.c_str());
}

bool SystemHostPort::popen(const std::string& command, std::size_t maxBytes, std::string& output,
                           int* status) {
    output.clear();
    FILE* pipe = ::popen(command.c_str(), "re");
    if (!pipe) {
        return false;
    }
    char buffer[4096];
    while (output.size() < maxBytes) {
        std::size_t want = std::min(sizeof(buffer), maxBytes - output.size());
        std::size_t got = fread(buffer, 1, want, pipe);
        if (got == 0) {
            break;
        }
        output.append(buffer, got);
    }
    int result = ::pclose(pipe);
    if (status) {
        *status = result;
    }
    return true;
}

void SystemHostPort::sleepSeconds(unsigned int seconds) {
    ::sleep(seconds);
}

void SystemHostPort::sleepMilliseconds(unsigned int milliseconds) {
    timespec request{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
    ::nanosleep(&request, nullptr);
}

std::time_t SystemHostPort::now() {
    return ::time(nullptr);
}

int SystemHostPort::open(const std::string& path, int flags, mode_t mode) {
    return ::open(path.c_str(), flags, mode);
}

int SystemHostPort::close(int fd) {
    return ::close(fd);
}

int SystemHostPort::fstat(int fd, struct stat* result) {
    return ::fstat(fd, result);
}

ssize_t SystemHostPort::write(int fd, const void* buffer, std::size_t count) {
    return ::write(fd, buffer, count);
}

int SystemHostPort::fchmod(int fd, mode_t mode) {
    return ::fchmod(fd, mode);
}

int SystemHostPort::mkdir(const std::string& path, mode_t mode) {
    return ::mkdir(path.c_str(), mode);
}

int SystemHostPort::flock(int fd, int operation) {
    return ::flock(fd, operation);
}

int SystemHostPort::ioctl(int fd, unsigned long request, void* argument) {
    return ::ioctl(fd, request, argument);
}

int SystemHostPort::select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                           timeval* timeout) {
    return ::select(nfds, readfds, writefds, exceptfds, timeout);
}

ssize_t SystemHostPort::pread(int fd, void* buffer, std::size_t count, off_t offset) {
    return ::pread(fd, buffer, count, offset);
}

bool SystemHostPort::listDirectory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    std::unique_ptr<DIR, DirCloser> dir(::opendir(path.c_str()));
    if (!dir) {
        return false;
    }
    while (dirent* entry = ::readdir(dir.get())) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    return true;
}

int SystemHostPort::umount2(const std::string& target, int flags) {
    return ::umount2(target.c_str(), flags);
}

int SystemHostPort::stat(const std::string& path, struct stat* result) {
    return ::stat(path.c_str(), result);
}

int SystemHostPort::lstat(const std::string& path, struct stat* result) {
    return ::lstat(path.c_str(), result);
}

int SystemHostPort::setuid(uid_t uid) {
    return ::setuid(uid);
}

int SystemHostPort::uname(struct utsname* result) {
    return ::uname(result);
}

int SystemHostPort::sigaction(int signal, const struct sigaction* action,
                              struct sigaction* previous) {
    return ::sigaction(signal, action, previous);
}

std::string SystemHostPort::resolve(const std::string& path) {
    return path;
}

std::string SystemHostPort::resolveEntry(const std::string& path) {
    return path;
}
