#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <thread>

#include "baseutils/KvoLogger.h"
#include "kvoipmi/KvoIPMICommandData.h"
#include "kvoipmi/KvoIPMISession.h"
#include "kvoipmi/KvoIPMISessionHandler.h"
#include "tests/support/TestSupport.h"
#include "vserver/EmulatedKernel.h"
#include "vserver/ScriptedBmc.h"
#include "vserver/VirtualServer.h"

// Library state that outlives a test: sessions, the configuration reader
// and the logger are process-wide.
inline void ResetIpmiLibrary() {
    KvoIPMISessionHandler::DestroyInstance();
    KvoIPMISession::mIPMIXMLConfig.Release();
    KvoIPMISession::mIPMIXMLConfig.SetConfigurationFileName(
        KvoString("KvoIPMIConfig.xml", KvoString::KvoEncodingUTF8));
    KvoLogger::Terminate();
}

// A virtual server with the emulated kernel and a scripted controller,
// in a temporary working directory.
struct IpmiBench {
    IpmiBench() {
        ResetIpmiLibrary();
        kernel.attachController(&bmc);
    }
    ~IpmiBench() { ResetIpmiLibrary(); }

    std::string internalLog() const { return readTextFile("kvoipmi_internal.log"); }

    ScopedWorkingDirectory cwd;
    VirtualServer server;
    ScopedHostPort port{server};
    EmulatedKernel kernel{server};
    ScriptedBmc bmc;
};

inline _KvoIPMICommandData MakeRecord(std::uint8_t netfn, std::uint8_t cmd,
                                      std::initializer_list<std::uint8_t> data = {}) {
    _KvoIPMICommandData record{};
    record.requestBuffer[0] = netfn;
    record.requestBuffer[1] = cmd;
    unsigned int length = 2;
    for (std::uint8_t byte : data) {
        record.requestBuffer[length++] = byte;
    }
    record.requestLength = length;
    return record;
}

inline _KvoIPMIConfiguration Settings(std::uint32_t retryCount, std::uint32_t retryInterval) {
    return _KvoIPMIConfiguration{60, 5, retryCount, retryInterval, 0, 0};
}

// How often part occurs in text.
inline std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// A configuration file whose default entry, under a device entry named
// deviceName and a configuration entry named configName, holds keys.
inline std::string ConfigFile(const std::string& deviceName, const std::string& configName,
                              const std::string& keys) {
    return "<?xml version=\"1.0\"?>\n<KvoRoot>\n  <Device name=\"Other\"/>\n  <Device name=\"" +
           deviceName + "\">\n    <Config name=\"" + configName + "\">" + keys +
           "</Config>\n  </Device>\n</KvoRoot>\n";
}

// The virtual server serves one caller at a time: installed over it, this
// port lets the host calls of several threads in one by one, while the
// library's own code runs side by side.
class SerialHostPort : public HostPort {
public:
    explicit SerialHostPort(HostPort& port) : port_(port) {}

    int system(const std::string& command) override {
        Lock lock(mutex_);
        return port_.system(command);
    }
    bool popen(const std::string& command, std::size_t maxBytes, std::string& output,
               int* status = nullptr) override {
        Lock lock(mutex_);
        return port_.popen(command, maxBytes, output, status);
    }
    void sleepSeconds(unsigned int seconds) override {
        Lock lock(mutex_);
        port_.sleepSeconds(seconds);
    }
    void sleepMilliseconds(unsigned int milliseconds) override {
        Lock lock(mutex_);
        port_.sleepMilliseconds(milliseconds);
    }
    std::time_t now() override {
        Lock lock(mutex_);
        return port_.now();
    }
    int open(const std::string& path, int flags, mode_t mode = 0644) override {
        Lock lock(mutex_);
        return port_.open(path, flags, mode);
    }
    int close(int fd) override {
        Lock lock(mutex_);
        return port_.close(fd);
    }
    int fstat(int fd, struct stat* result) override {
        Lock lock(mutex_);
        return port_.fstat(fd, result);
    }
    ssize_t write(int fd, const void* buffer, std::size_t count) override {
        Lock lock(mutex_);
        return port_.write(fd, buffer, count);
    }
    int fchmod(int fd, mode_t mode) override {
        Lock lock(mutex_);
        return port_.fchmod(fd, mode);
    }
    int mkdir(const std::string& path, mode_t mode) override {
        Lock lock(mutex_);
        return port_.mkdir(path, mode);
    }
    int flock(int fd, int operation) override {
        Lock lock(mutex_);
        return port_.flock(fd, operation);
    }
    int ioctl(int fd, unsigned long request, void* argument) override {
        Lock lock(mutex_);
        return port_.ioctl(fd, request, argument);
    }
    int select(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
               timeval* timeout) override {
        Lock lock(mutex_);
        return port_.select(nfds, readfds, writefds, exceptfds, timeout);
    }
    ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) override {
        Lock lock(mutex_);
        return port_.pread(fd, buffer, count, offset);
    }
    bool listDirectory(const std::string& path, std::vector<std::string>& names) override {
        Lock lock(mutex_);
        return port_.listDirectory(path, names);
    }
    int umount2(const std::string& target, int flags) override {
        Lock lock(mutex_);
        return port_.umount2(target, flags);
    }
    int stat(const std::string& path, struct stat* result) override {
        Lock lock(mutex_);
        return port_.stat(path, result);
    }
    int lstat(const std::string& path, struct stat* result) override {
        Lock lock(mutex_);
        return port_.lstat(path, result);
    }
    int setuid(uid_t uid) override {
        Lock lock(mutex_);
        return port_.setuid(uid);
    }
    int uname(struct utsname* result) override {
        Lock lock(mutex_);
        return port_.uname(result);
    }
    int sigaction(int signal, const struct sigaction* action, struct sigaction* previous) override {
        Lock lock(mutex_);
        return port_.sigaction(signal, action, previous);
    }
    std::string resolve(const std::string& path) override {
        Lock lock(mutex_);
        return port_.resolve(path);
    }
    std::string resolveEntry(const std::string& path) override {
        Lock lock(mutex_);
        return port_.resolveEntry(path);
    }

private:
    using Lock = std::lock_guard<std::recursive_mutex>;

    HostPort& port_;
    std::recursive_mutex mutex_;
};

// Runs first and second on two threads that start them at the same moment,
// as far as two threads can: each waits until the other is running too.
template <typename First, typename Second>
void RunTogether(First first, Second second) {
    std::atomic<int> running{0};
    auto startTogether = [&running] {
        running.fetch_add(1);
        while (running.load() < 2) {
            std::this_thread::yield();
        }
    };
    std::thread one([&] {
        startTogether();
        first();
    });
    std::thread other([&] {
        startTogether();
        second();
    });
    one.join();
    other.join();
}
