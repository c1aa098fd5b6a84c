#include "vserver/VirtualServer.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// Virtual descriptors live in a range real ones of a test process never reach,
// yet stay below FD_SETSIZE so that fd_set works on them.
constexpr int kFirstVirtualFd = 900;
constexpr int kLastVirtualFd = 1000;

}  // namespace

int VirtualDevice::ioctl(unsigned long, void*) {
    errno = ENOTTY;
    return -1;
}

ssize_t VirtualDevice::pread(void*, std::size_t, off_t) {
    errno = EINVAL;
    return -1;
}

VirtualServer::VirtualServer() : sandbox_("vserver"), root_(sandbox_.path()), paths_(root_) {
    shell_.setResolver([this](const std::string& path) { return resolve(path); });
    for (const char* dir : {"/etc", "/tmp", "/dev", "/sys", "/proc", "/lib/modules", "/run/lock"}) {
        fs::create_directories(resolve(dir));
    }
    // World-writable and sticky, as on Linux: anyone may plant an entry there.
    fs::permissions(resolve("/tmp"), fs::perms::all | fs::perms::sticky_bit);
    fs::permissions(resolve("/run/lock"), fs::perms::all | fs::perms::sticky_bit);
}

std::optional<std::string> VirtualServer::canonicalPath(const std::string& path,
                                                        bool followLast) const {
    int error = 0;
    std::optional<std::string> system = paths_.canonical(path, followLast, &error);
    if (!system) {
        errno = error;
    }
    return system;
}

bool VirtualServer::isNode(const std::string& systemPath) const {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    return nodes_.count(systemPath) != 0;
}

// Owners are kept by the entry's system path, so that a link and what it
// leads to have owners of their own.
std::string VirtualServer::ownerKey(const std::string& path) const {
    return paths_.canonical(path, false).value_or(path);
}

void VirtualServer::setOwner(const std::string& path, uid_t uid) {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    owners_[ownerKey(path)] = uid;
}

void VirtualServer::entryCreated(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    owners_.erase(ownerKey(path));
}

VirtualServer::~VirtualServer() = default;

void VirtualServer::writeFile(const std::string& path, const std::string& content) {
    fs::path target = resolve(path);
    fs::create_directories(target.parent_path());
    std::ofstream(target, std::ios::binary | std::ios::trunc) << content;
}

void VirtualServer::makeDirectory(const std::string& path) {
    fs::create_directories(resolve(path));
}

bool VirtualServer::fileExists(const std::string& path) {
    std::optional<std::string> system = canonicalPath(path);
    std::error_code error;
    return system && (isNode(*system) || fs::exists(resolve(*system), error));
}

std::string VirtualServer::readFile(const std::string& path) {
    std::ifstream file(resolve(path), std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void VirtualServer::addDeviceNode(const std::string& path, DeviceOpener opener) {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    nodes_[path] = std::move(opener);
}

void VirtualServer::removeDeviceNode(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    nodes_.erase(path);
}

void VirtualServer::clearOpenedPaths() {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    openedPaths_.clear();
}

std::vector<std::string> VirtualServer::openedPaths() const {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    return openedPaths_;
}

void VirtualServer::setUname(const std::string& sysname, const std::string& release) {
    sysname_ = sysname;
    release_ = release;
}

int VirtualServer::system(const std::string& command) {
    return shell_.run(command).exitCode << 8;
}

bool VirtualServer::popen(const std::string& command, std::size_t maxBytes, std::string& output,
                          int* status) {
    ShellResult result = shell_.run(command);
    output = result.output.substr(0, maxBytes);
    if (status) {
        *status = result.exitCode << 8;
    }
    return true;
}

void VirtualServer::sleepSeconds(unsigned int seconds) {
    clock_.sleepMilliseconds(static_cast<std::uint64_t>(seconds) * 1000);
}

void VirtualServer::sleepMilliseconds(unsigned int milliseconds) {
    clock_.sleepMilliseconds(milliseconds);
}

std::time_t VirtualServer::now() {
    return clock_.now();
}

// Device openers and device destructors take the kernel's lock, and the
// kernel adds and removes nodes under it: neither runs under this lock.
int VirtualServer::open(const std::string& path, int flags, mode_t mode) {
    // Linux does not follow a link in the last component for O_NOFOLLOW, nor
    // for O_CREAT | O_EXCL, which then fails on the link itself.
    bool followLast =
        (flags & O_NOFOLLOW) == 0 && ((flags & O_CREAT) == 0 || (flags & O_EXCL) == 0);
    std::optional<std::string> system = canonicalPath(path, followLast);
    if (!system) {
        return -1;
    }
    DeviceOpener opener;
    int fd = kFirstVirtualFd;
    {
        std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
        auto node = nodes_.find(*system);
        if (node == nodes_.end()) {
            if (system->rfind("/dev/", 0) == 0) {
                errno = ENOENT;
                return -1;
            }
            std::string host = paths_.hostPath(*system, false);
            struct stat before {};
            bool existed = ::lstat(host.c_str(), &before) == 0;
            int file = ::open(host.c_str(), flags, mode);
            if (file >= 0) {
                openedPaths_.push_back(path);
                openFiles_[file] = *system;
                if (!existed) {
                    owners_.erase(*system);
                }
            }
            return file;
        }
        while (open_.count(fd) && fd < kLastVirtualFd) {
            ++fd;
        }
        if (fd == kLastVirtualFd) {
            errno = EMFILE;
            return -1;
        }
        opener = node->second;
        open_[fd] = nullptr;  // taken while the device opens
    }
    std::unique_ptr<VirtualDevice> device = opener(flags);
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    if (!device) {
        open_.erase(fd);
        return -1;
    }
    open_[fd] = std::move(device);
    openedPaths_.push_back(path);
    return fd;
}

VirtualDevice* VirtualServer::device(int fd) {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    auto it = open_.find(fd);
    return it == open_.end() ? nullptr : it->second.get();
}

int VirtualServer::close(int fd) {
    std::unique_ptr<VirtualDevice> closing;  // destroyed once the lock is let go
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    auto open = open_.find(fd);
    if (open != open_.end() && open->second) {
        closing = std::move(open->second);
        open_.erase(open);
        return 0;
    }
    if (fd >= kFirstVirtualFd && fd < kLastVirtualFd) {
        errno = EBADF;
        return -1;
    }
    if (openFiles_.erase(fd)) {
        locks_.releaseAll(fd);
    }
    return ::close(fd);
}

std::optional<std::string> VirtualServer::openFilePath(int fd) const {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    auto file = openFiles_.find(fd);
    if (file == openFiles_.end()) {
        errno = EBADF;
        return std::nullopt;
    }
    return file->second;
}

int VirtualServer::fstat(int fd, struct stat* result) {
    if (device(fd) != nullptr) {
        std::memset(result, 0, sizeof(*result));
        result->st_mode = S_IFCHR | 0600;
        return 0;
    }
    std::optional<std::string> path = openFilePath(fd);
    if (!path) {
        return -1;
    }
    int status = ::fstat(fd, result);
    if (status == 0) {
        reportOwner(*path, result);
    }
    return status;
}

// Only the sandbox's files are written; devices take no data here.
ssize_t VirtualServer::write(int fd, const void* buffer, std::size_t count) {
    return openFilePath(fd) ? ::write(fd, buffer, count) : -1;
}

int VirtualServer::fchmod(int fd, mode_t mode) {
    return openFilePath(fd) ? ::fchmod(fd, mode) : -1;
}

// As mkdir(2): a link in the last component is an entry that exists.
int VirtualServer::mkdir(const std::string& path, mode_t mode) {
    std::optional<std::string> system = canonicalPath(path, false);
    if (!system) {
        return -1;
    }
    int status = ::mkdir(paths_.hostPath(*system, false).c_str(), mode);
    if (status == 0) {
        entryCreated(*system);
    }
    return status;
}

std::size_t VirtualServer::openDescriptors() const {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    return open_.size();
}

// Shared locks are taken as exclusive ones: the plug-in asks for no other.
int VirtualServer::flock(int fd, int operation) {
    std::optional<std::string> path = openFilePath(fd);
    if (!path) {
        return -1;
    }
    if ((operation & LOCK_UN) != 0) {
        locks_.release(*path, fd);
        return 0;
    }
    return locks_.acquire(*path, fd);
}

int VirtualServer::ioctl(int fd, unsigned long request, void* argument) {
    if (VirtualDevice* dev = device(fd)) {
        return dev->ioctl(request, argument);
    }
    errno = EBADF;
    return -1;
}

int VirtualServer::select(int nfds, fd_set* readfds, fd_set*, fd_set*, timeval* timeout) {
    int ready = 0;
    fd_set result;
    FD_ZERO(&result);
    constexpr int kBitsPerWord = 8 * sizeof(__FDS_BITS(&result)[0]);
    for (int fd = 0; readfds && fd < nfds; ++fd) {
        // The descriptors asked about lie far apart: empty words go whole.
        if (fd % kBitsPerWord == 0 && __FDS_BITS(readfds)[fd / kBitsPerWord] == 0) {
            fd += kBitsPerWord - 1;
            continue;
        }
        if (!FD_ISSET(fd, readfds)) {
            continue;
        }
        VirtualDevice* dev = device(fd);
        if (!dev) {
            errno = EBADF;
            return -1;
        }
        if (dev->readable()) {
            FD_SET(fd, &result);
            ++ready;
        }
    }
    if (ready == 0 && timeout) {
        // Nothing will ever arrive while we wait: the whole time-out passes.
        clock_.advanceMilliseconds(static_cast<std::uint64_t>(timeout->tv_sec) * 1000 +
                                   static_cast<std::uint64_t>(timeout->tv_usec) / 1000);
    }
    if (readfds) {
        *readfds = result;
    }
    return ready;
}

ssize_t VirtualServer::pread(int fd, void* buffer, std::size_t count, off_t offset) {
    if (VirtualDevice* dev = device(fd)) {
        return dev->pread(buffer, count, offset);
    }
    return ::pread(fd, buffer, count, offset);
}

bool VirtualServer::listDirectory(const std::string& path, std::vector<std::string>& names) {
    names.clear();
    std::optional<std::string> system = canonicalPath(path);
    if (!system) {
        return false;
    }
    std::error_code error;
    fs::directory_iterator it(paths_.hostPath(*system), error);
    if (error) {
        return false;
    }
    for (const auto& entry : it) {
        names.push_back(entry.path().filename().string());
    }
    std::string prefix = system->back() == '/' ? *system : *system + "/";
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    for (const auto& node : nodes_) {
        if (node.first.rfind(prefix, 0) == 0 &&
            node.first.find('/', prefix.size()) == std::string::npos) {
            names.push_back(node.first.substr(prefix.size()));
        }
    }
    return true;
}

int VirtualServer::umount2(const std::string& target, int flags) {
    if (umountHandler_) {
        return umountHandler_(target, flags);
    }
    errno = EINVAL;
    return -1;
}

int VirtualServer::stat(const std::string& path, struct stat* result) {
    std::optional<std::string> system = canonicalPath(path);
    if (!system) {
        return -1;
    }
    if (isNode(*system)) {
        std::memset(result, 0, sizeof(*result));
        result->st_mode = S_IFCHR | 0600;
        return 0;
    }
    int status = ::stat(paths_.hostPath(*system, false).c_str(), result);
    if (status == 0) {
        reportOwner(*system, result);
    }
    return status;
}

int VirtualServer::lstat(const std::string& path, struct stat* result) {
    std::optional<std::string> system = canonicalPath(path, false);
    if (!system) {
        return -1;
    }
    if (isNode(*system)) {
        return stat(*system, result);
    }
    int status = ::lstat(paths_.hostPath(*system, false).c_str(), result);
    if (status == 0) {
        reportOwner(*system, result);
    }
    return status;
}

void VirtualServer::reportOwner(const std::string& systemPath, struct stat* result) const {
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    auto owner = owners_.find(systemPath);
    if (owner != owners_.end()) {
        result->st_uid = owner->second;
    } else if (result->st_uid == ::getuid()) {
        result->st_uid = 0;
    }
}

int VirtualServer::setuid(uid_t uid) {
    setuidCalls_.push_back(uid);
    if (setuidRefused_) {
        errno = EPERM;
        return -1;
    }
    return 0;
}

int VirtualServer::uname(struct utsname* result) {
    std::memset(result, 0, sizeof(*result));
    std::strncpy(result->sysname, sysname_.c_str(), sizeof(result->sysname) - 1);
    std::strncpy(result->release, release_.c_str(), sizeof(result->release) - 1);
    std::strncpy(result->nodename, "vserver", sizeof(result->nodename) - 1);
    std::strncpy(result->machine, "x86_64", sizeof(result->machine) - 1);
    return 0;
}

int VirtualServer::sigaction(int signal, const struct sigaction* action,
                             struct sigaction* previous) {
    if (previous) {
        struct sigaction none {};
        auto known = signalActions_.find(signal);
        *previous = known == signalActions_.end() ? none : known->second;
    }
    if (action) {
        signalActions_[signal] = *action;
    }
    return 0;
}

std::string VirtualServer::resolve(const std::string& path) {
    return paths_.hostPath(path, true);
}

std::string VirtualServer::resolveEntry(const std::string& path) {
    return paths_.hostPath(path, false);
}

namespace {

std::string fileContent(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

}  // namespace

void VirtualServer::markInitial() {
    initialFiles_.clear();
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(root_, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
        fs::file_status status = it->symlink_status(error);
        InitialEntry entry{status.type(), status.permissions(), "", {}};
        if (status.type() == fs::file_type::regular) {
            entry.content = fileContent(it->path());
            entry.written = fs::last_write_time(it->path(), error);
        } else if (status.type() == fs::file_type::symlink) {
            entry.content = fs::read_symlink(it->path(), error).string();
        }
        initialFiles_[it->path().string().substr(root_.size())] = entry;
    }
    initialSysname_ = sysname_;
    initialRelease_ = release_;
}

void VirtualServer::reset() {
    std::vector<int> devices;
    std::vector<int> files;
    {
        std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
        for (const auto& open : open_) {
            devices.push_back(open.first);
        }
        for (const auto& open : openFiles_) {
            files.push_back(open.first);
        }
    }
    for (int fd : devices) {
        close(fd);
    }
    for (int fd : files) {
        close(fd);
    }
    std::error_code error;
    std::vector<fs::path> added;
    for (auto it = fs::recursive_directory_iterator(root_, error);
         it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (initialFiles_.count(it->path().string().substr(root_.size())) == 0) {
            added.push_back(it->path());
            it.disable_recursion_pending();
        }
    }
    for (const fs::path& path : added) {
        fs::remove_all(path, error);
    }
    // In path order: a directory comes before what it holds.
    for (const auto& [relative, entry] : initialFiles_) {
        fs::path path = root_ + relative;
        fs::file_status status = fs::symlink_status(path, error);
        bool same = status.type() == entry.type;
        if (same && entry.type == fs::file_type::regular) {
            // Written since the mark only when its time says so.
            same = fs::last_write_time(path, error) == entry.written &&
                   fs::file_size(path, error) == entry.content.size();
        } else if (same && entry.type == fs::file_type::symlink) {
            same = fs::read_symlink(path, error).string() == entry.content;
        }
        if (!same) {
            fs::remove_all(path, error);
            if (entry.type == fs::file_type::directory) {
                fs::create_directory(path, error);
            } else if (entry.type == fs::file_type::symlink) {
                fs::create_symlink(entry.content, path, error);
            } else {
                std::ofstream(path, std::ios::binary | std::ios::trunc) << entry.content;
                fs::last_write_time(path, entry.written, error);
            }
        }
        if (entry.type != fs::file_type::symlink) {
            fs::permissions(path, entry.perms, error);
        }
    }
    std::lock_guard<std::recursive_mutex> lock(descriptorsMutex_);
    openedPaths_.clear();
    owners_.clear();
    setuidCalls_.clear();
    setuidRefused_ = false;
    signalActions_.clear();
    sysname_ = initialSysname_;
    release_ = initialRelease_;
    clock_.reset();
    shell_.reset();
}
