#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "baseutils/HostPort.h"
#include "vserver/FileLocks.h"
#include "vserver/SandboxPaths.h"
#include "vserver/TempDirectory.h"
#include "vserver/VirtualClock.h"
#include "vserver/VirtualShell.h"

// An open file description of the virtual kernel.
class VirtualDevice {
public:
    virtual ~VirtualDevice() = default;
    virtual int ioctl(unsigned long request, void* argument);
    virtual bool readable() { return false; }
    virtual ssize_t pread(void* buffer, std::size_t count, off_t offset);
};

// Opens a device node; returns null (with errno set) when the open fails.
using DeviceOpener = std::function<std::unique_ptr<VirtualDevice>(int flags)>;

// A whole server in one process: the host port of tests and of the demo
// mode. Absolute system paths live under a sandbox root of its own.
class VirtualServer : public HostPort {
public:
    // Creates the sandbox root as a fresh directory under the system's
    // temporary directory (TMPDIR); it is removed on destruction.
    VirtualServer();
    ~VirtualServer() override;
    VirtualServer(const VirtualServer&) = delete;
    VirtualServer& operator=(const VirtualServer&) = delete;

    VirtualClock& clock() { return clock_; }
    VirtualShell& shell() { return shell_; }
    const std::string& root() const { return root_; }

    // The system path that path names once its links are followed (with
    // followLast false a link in the last component stays itself); nullopt
    // with errno set when the walk fails (ELOOP, ENOTDIR, ENOENT).
    std::optional<std::string> canonicalPath(const std::string& path, bool followLast = true) const;

    // Writes a file of the virtual host (path absolute, parents created).
    void writeFile(const std::string& path, const std::string& content);
    bool fileExists(const std::string& path);
    void makeDirectory(const std::string& path);  // parents too
    std::string readFile(const std::string& path);

    // Device nodes of the emulated kernel.
    void addDeviceNode(const std::string& path, DeviceOpener opener);
    void removeDeviceNode(const std::string& path);
    bool hasDeviceNode(const std::string& path) const { return nodes_.count(path) != 0; }
    std::size_t openDescriptors() const;
    std::vector<std::string> openedPaths() const;  // every successful open, in order
    void clearOpenedPaths();

    // The virtual host runs the plug-in as root: files the test process owns
    // are reported as root's, unless a path (the entry itself, not where a
    // link leads) was given another owner here.
    void setOwner(const std::string& path, uid_t uid);
    // A new entry at path is its creator's, the plug-in's: root.
    void entryCreated(const std::string& path);

    void setUname(const std::string& sysname, const std::string& release);
    std::vector<uid_t> setuidCalls() const { return setuidCalls_; }
    // The process runs as a user who cannot become root: setuid fails (EPERM).
    void refuseSetuid(bool refused) { setuidRefused_ = refused; }
    // Signal dispositions the plug-in asked for; the test process keeps its own.
    const std::map<int, struct sigaction>& signalActions() const { return signalActions_; }
    void setUmountHandler(std::function<int(const std::string&, int)> handler) {
        umountHandler_ = std::move(handler);
    }

    // HostPort.
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

    FileLocks& fileLocks() { return locks_; }

    // What reset goes back to: the sandbox's files and the host's state as
    // they are now.
    void markInitial();
    // The files of the mark and nothing else, every descriptor closed, no
    // call of the plug-in remembered.
    void reset();

private:
    struct InitialEntry {
        std::filesystem::file_type type;
        std::filesystem::perms perms;
        std::string content;  // a file's bytes, a link's target
        std::filesystem::file_time_type written;
    };
    VirtualDevice* device(int fd);
    // The system path of a sandbox file opened as fd; nullopt (EBADF) else.
    std::optional<std::string> openFilePath(int fd) const;
    void reportOwner(const std::string& systemPath, struct stat* result) const;
    std::string ownerKey(const std::string& path) const;
    bool isNode(const std::string& systemPath) const;

    TempDirectory sandbox_;
    std::string root_;
    SandboxPaths paths_;
    VirtualClock clock_;
    VirtualShell shell_;
    // Descriptors and nodes; another thread may open a file while one runs.
    mutable std::recursive_mutex descriptorsMutex_;
    std::map<std::string, DeviceOpener> nodes_;
    std::map<int, std::unique_ptr<VirtualDevice>> open_;
    std::map<int, std::string> openFiles_;  // real descriptors of sandbox files
    std::vector<std::string> openedPaths_;
    FileLocks locks_;
    std::string sysname_ = "Linux";
    std::string release_ = "6.1.0-vserver";
    std::vector<uid_t> setuidCalls_;
    bool setuidRefused_ = false;
    std::map<std::string, uid_t> owners_;
    std::map<int, struct sigaction> signalActions_;
    std::function<int(const std::string&, int)> umountHandler_;
    std::map<std::string, InitialEntry> initialFiles_;  // by path below the root
    std::string initialSysname_ = "Linux";
    std::string initialRelease_ = "6.1.0-vserver";
};

// Installs a virtual server as the host port for its lifetime.
class ScopedHostPort {
public:
    explicit ScopedHostPort(HostPort& port) : previous_(installHostPort(&port)) {}
    ~ScopedHostPort() { installHostPort(previous_); }
    ScopedHostPort(const ScopedHostPort&) = delete;
    ScopedHostPort& operator=(const ScopedHostPort&) = delete;

private:
    HostPort* previous_;
};
