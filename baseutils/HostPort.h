#pragma once

// Every call the plug-in makes into the host operating system goes through
// one HostPort. Production uses the real calls; tests and the demo mode swap
// in the virtual server.

#include <signal.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/utsname.h>

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

class HostPort {
public:
    virtual ~HostPort() = default;

    // Shell. system() returns the raw wait status, as system(3) does.
    virtual int system(const std::string& command) = 0;
    // Runs command and reads at most maxBytes of its output into output.
    // Returns false when the command could not be started; status gets the
    // pclose(3) status otherwise.
    virtual bool popen(const std::string& command, std::size_t maxBytes, std::string& output,
                       int* status = nullptr) = 0;

    // Time.
    virtual void sleepSeconds(unsigned int seconds) = 0;
    virtual void sleepMilliseconds(unsigned int milliseconds) = 0;
    virtual std::time_t now() = 0;

    // Devices and files. Same contracts as the libc calls: -1 and errno on
    // failure. Paths are system paths; the port resolves them itself. mode
    // counts only where O_CREAT makes the file.
    virtual int open(const std::string& path, int flags, mode_t mode = 0644) = 0;
    virtual int close(int fd) = 0;
    virtual int fstat(int fd, struct stat* result) = 0;
    virtual ssize_t write(int fd, const void* buffer, std::size_t count) = 0;
    virtual int fchmod(int fd, mode_t mode) = 0;
    virtual int mkdir(const std::string& path, mode_t mode) = 0;
    // An advisory lock on an open file (flock(2)); released by LOCK_UN or
    // when the descriptor is closed.
    virtual int flock(int fd, int operation) = 0;
    virtual int ioctl(int fd, unsigned long request, void* argument) = 0;
    virtual int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                       timeval* timeout) = 0;
    virtual ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) = 0;
    // Names of the entries of a directory, without "." and ".."; false when
    // it cannot be read.
    virtual bool listDirectory(const std::string& path, std::vector<std::string>& names) = 0;
    virtual int umount2(const std::string& target, int flags) = 0;
    virtual int stat(const std::string& path, struct stat* result) = 0;
    // As stat, but a symbolic link is described itself, not followed.
    virtual int lstat(const std::string& path, struct stat* result) = 0;

    // Process.
    virtual int setuid(uid_t uid) = 0;
    virtual int uname(struct utsname* result) = 0;
    virtual int sigaction(int signal, const struct sigaction* action,
                          struct sigaction* previous) = 0;

    // Maps an absolute system path to where it lies for this port, its
    // links followed as an open(2) would follow them.
    virtual std::string resolve(const std::string& path) = 0;
    // The same for the directory entry path names itself: a link in the last
    // component is the link, as unlink(2), rename(2) and readlink(2) see it.
    virtual std::string resolveEntry(const std::string& path) = 0;
};

// The port in use; the production port unless another one is installed.
HostPort& hostPort();

// Installs port (nullptr restores the production port); returns the previous
// one. Not thread-safe: install before any plug-in call runs.
HostPort* installHostPort(HostPort* port);

// Production port: each member is the libc call and nothing more.
class SystemHostPort : public HostPort {
public:
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
};
