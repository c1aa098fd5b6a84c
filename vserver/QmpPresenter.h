#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "vserver/PartitionPresenter.h"

// One line-delimited JSON conversation with qemu's monitor (QMP).
class QmpChannel {
public:
    virtual ~QmpChannel() = default;
    virtual void send(const std::string& line) = 0;
    // The next line qemu sent, or nothing after timeoutMs without one.
    virtual std::optional<std::string> receive(int timeoutMs) = 0;
};

// A QMP unix socket (qemu's "-qmp unix:PATH,server=on,wait=off").
class UnixQmpChannel : public QmpChannel {
public:
    // Connects, trying for up to timeoutMs while qemu is still starting.
    UnixQmpChannel(const std::string& path, int timeoutMs);
    ~UnixQmpChannel() override;
    UnixQmpChannel(const UnixQmpChannel&) = delete;
    UnixQmpChannel& operator=(const UnixQmpChannel&) = delete;

    void send(const std::string& line) override;
    std::optional<std::string> receive(int timeoutMs) override;

private:
    int fd_ = -1;
    std::string buffered_;
};

class QmpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The string value of the first member named key in a QMP line; QMP's
// replies are flat enough for that.
std::optional<std::string> jsonStringMember(const std::string& line, const std::string& key);
// The line has a member named key.
bool jsonHasMember(const std::string& line, const std::string& key);
// key and value as a JSON member, the value quoted and escaped.
std::string jsonMember(const std::string& key, const std::string& value);

// Shows an attached partition to a VM by hot-plugging a USB disk backed by
// the partition's FAT image, and unplugs it on withdraw. The monitor is
// reached when the first partition is presented.
class QmpPresenter : public PartitionPresenter {
public:
    using Connect = std::function<std::unique_ptr<QmpChannel>()>;
    using Log = std::function<void(const std::string&)>;

    static constexpr int kReplyTimeoutMs = 10000;

    QmpPresenter(Connect connect, Log log);

    void present(const PartitionImage& image) override;
    void withdraw(const PartitionImage& image) override;

    // The USB device that shows a partition.
    static std::string deviceId(const PartitionImage& image);

private:
    QmpChannel& channel();
    // Sends a command and waits for its reply; events that arrive meanwhile
    // are kept. Throws QmpError for an error reply or none.
    void execute(const std::string& command, const std::string& arguments);
    void awaitDeletion(const std::string& device);
    bool deletionSeen(const std::string& device);

    Connect connect_;
    Log log_;
    std::unique_ptr<QmpChannel> channel_;
    std::vector<std::string> events_;
    std::map<std::string, std::string> nodes_;  // device id -> block node behind it
    unsigned presented_ = 0;
};
