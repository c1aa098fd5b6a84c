#include "vserver/QmpPresenter.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace {

constexpr int kConnectPauseMs = 100;
constexpr std::size_t kReadChunk = 4096;

std::string escapeJson(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '"' || c == '\\') {
            escaped += '\\';
        }
        escaped += c;
    }
    return escaped;
}

// Where the value of the member key starts (after the colon and blanks).
std::optional<std::size_t> memberValue(const std::string& line, const std::string& key) {
    std::string quoted = "\"" + key + "\"";
    for (std::size_t at = line.find(quoted); at != std::string::npos;
         at = line.find(quoted, at + 1)) {
        std::size_t next = line.find_first_not_of(" \t", at + quoted.size());
        if (next != std::string::npos && line[next] == ':') {
            return line.find_first_not_of(" \t", next + 1);
        }
    }
    return std::nullopt;
}

std::string commandLine(const std::string& command, const std::string& arguments) {
    std::string line = "{" + jsonMember("execute", command);
    if (!arguments.empty()) {
        line += ", \"arguments\": {" + arguments + "}";
    }
    return line + "}";
}

}  // namespace

std::optional<std::string> jsonStringMember(const std::string& line, const std::string& key) {
    std::optional<std::size_t> at = memberValue(line, key);
    if (!at || *at == std::string::npos || line[*at] != '"') {
        return std::nullopt;
    }
    std::string value;
    for (std::size_t i = *at + 1; i < line.size(); ++i) {
        if (line[i] == '"') {
            return value;
        }
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
        }
        value += line[i];
    }
    return std::nullopt;  // unterminated
}

bool jsonHasMember(const std::string& line, const std::string& key) {
    return memberValue(line, key).has_value();
}

std::string jsonMember(const std::string& key, const std::string& value) {
    return "\"" + key + "\": \"" + escapeJson(value) + "\"";
}

UnixQmpChannel::UnixQmpChannel(const std::string& path, int timeoutMs) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path) {
        throw QmpError("QMP socket path too long: " + path);
    }
    std::strcpy(address.sun_path, path.c_str());
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) {
            throw QmpError(std::string("socket: ") + std::strerror(errno));
        }
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            return;
        }
        int error = errno;
        ::close(fd_);
        fd_ = -1;
        if (std::chrono::steady_clock::now() >= deadline) {
            throw QmpError("cannot connect to QMP at " + path + ": " + std::strerror(error));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(kConnectPauseMs));
    }
}

UnixQmpChannel::~UnixQmpChannel() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void UnixQmpChannel::send(const std::string& line) {
    std::string text = line + "\n";
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw QmpError(std::string("QMP send: ") + std::strerror(errno));
        }
        sent += static_cast<std::size_t>(n);
    }
}

std::optional<std::string> UnixQmpChannel::receive(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t end = buffered_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd readable{fd_, POLLIN, 0};
        int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return std::nullopt;
        }
        char chunk[kReadChunk];
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n <= 0) {
            throw QmpError("QMP connection closed");
        }
        buffered_.append(chunk, static_cast<std::size_t>(n));
    }
}

QmpPresenter::QmpPresenter(Connect connect, Log log)
    : connect_(std::move(connect)), log_(std::move(log)) {}

std::string QmpPresenter::deviceId(const PartitionImage& image) {
    return std::string(image.dynamic ? "dynamic" : "static") + std::to_string(image.slot);
}

QmpChannel& QmpPresenter::channel() {
    if (channel_) {
        return *channel_;
    }
    channel_ = connect_();
    std::optional<std::string> greeting = channel_->receive(kReplyTimeoutMs);
    if (!greeting || !jsonHasMember(*greeting, "QMP")) {
        channel_.reset();
        throw QmpError("no QMP greeting");
    }
    execute("qmp_capabilities", "");
    return *channel_;
}

void QmpPresenter::execute(const std::string& command, const std::string& arguments) {
    QmpChannel& qmp = channel_ ? *channel_ : channel();
    std::string line = commandLine(command, arguments);
    log_("qmp " + line);
    qmp.send(line);
    for (;;) {
        std::optional<std::string> reply = qmp.receive(kReplyTimeoutMs);
        if (!reply) {
            throw QmpError("no reply to " + command);
        }
        if (jsonHasMember(*reply, "event")) {
            events_.push_back(*reply);
            continue;
        }
        if (jsonHasMember(*reply, "error")) {
            throw QmpError(command +
                           " failed: " + jsonStringMember(*reply, "desc").value_or(*reply));
        }
        if (jsonHasMember(*reply, "return")) {
            return;
        }
    }
}

bool QmpPresenter::deletionSeen(const std::string& device) {
    for (auto event = events_.begin(); event != events_.end(); ++event) {
        if (jsonStringMember(*event, "event") == std::string("DEVICE_DELETED") &&
            jsonStringMember(*event, "device") == device) {
            events_.erase(event);
            return true;
        }
    }
    return false;
}

// The block node may go only once qemu has let go of the device.
void QmpPresenter::awaitDeletion(const std::string& device) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
    while (!deletionSeen(device)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        std::optional<std::string> line =
            left.count() > 0 ? channel_->receive(static_cast<int>(left.count())) : std::nullopt;
        if (!line) {
            throw QmpError("no DEVICE_DELETED event for " + device);
        }
        if (jsonHasMember(*line, "event")) {
            events_.push_back(*line);
        }
    }
}

// A failure is logged and leaves the partition unseen by the guest: the
// plug-in's own retries and time-outs then show it.
void QmpPresenter::present(const PartitionImage& image) {
    std::string device = deviceId(image);
    std::string node = device + "-image" + std::to_string(++presented_);
    auto attempt = [this](const char* command, const std::string& arguments,
                          const std::string& what) {
        try {
            execute(command, arguments);
            return true;
        } catch (const QmpError& failure) {
            log_(what + " failed: " + failure.what());
            return false;
        }
    };
    std::string presenting = "presenting " + image.label;
    if (!attempt("blockdev-add",
                 jsonMember("driver", "raw") + ", " + jsonMember("node-name", node) +
                     ", \"file\": {" + jsonMember("driver", "file") + ", " +
                     jsonMember("filename", image.imagePath) + "}",
                 presenting)) {
        return;
    }
    if (!attempt("device_add",
                 jsonMember("driver", "usb-storage") + ", " + jsonMember("id", device) + ", " +
                     jsonMember("drive", node) + ", " + jsonMember("bus", "xhci.0") +
                     ", \"removable\": true",
                 presenting)) {
        // The node would stay in qemu with nothing to withdraw it.
        attempt("blockdev-del", jsonMember("node-name", node), "removing " + node);
        return;
    }
    nodes_[device] = node;
    log_("presented " + image.label + " as " + device);
}

void QmpPresenter::withdraw(const PartitionImage& image) {
    std::string device = deviceId(image);
    auto node = nodes_.find(device);
    if (node == nodes_.end()) {
        log_("withdrawing " + image.label + ": it was never presented");
        return;
    }
    try {
        execute("device_del", jsonMember("id", device));
        awaitDeletion(device);
        execute("blockdev-del", jsonMember("node-name", node->second));
        nodes_.erase(node);
        log_("withdrew " + image.label);
    } catch (const QmpError& failure) {
        log_("withdrawing " + image.label + " failed: " + failure.what());
    }
}
