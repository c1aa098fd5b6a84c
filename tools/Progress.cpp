#include "tools/Progress.h"

// sys/ioctl.h first: the OpenIPMI header uses its request macros.
#include <sys/ioctl.h>

#include <linux/ipmi.h>
#include <sys/file.h>

#include <cerrno>

#include "storage/StorageRoadLock.h"

namespace {

constexpr unsigned char kOemNetFn = 0x30;
constexpr unsigned char kStorageCommand = 0xA2;
constexpr int kSearchTries = 60;
constexpr std::time_t kLockWaitLineSeconds = 30;

bool startsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

ProgressPort::ProgressPort(HostPort& host, std::ostream& out)
    : ForwardingPort(host), out_(out), start_(host.now()) {}

void ProgressPort::step(const std::string& text) {
    if (text == last_) {
        return;
    }
    last_ = text;
    out_ << "[" << (host().now() - start_) << " s] " << text << "\n" << std::flush;
}

// What a storage command (0x30/0xA2) means for the run, by sub-command.
void ProgressPort::sent(unsigned char netfn, unsigned char cmd, const unsigned char* data,
                        unsigned length) {
    if (netfn != kOemNetFn || cmd != kStorageCommand || length == 0) {
        return;
    }
    switch (data[0]) {
        case 0x00:
        case 0x12:
            step("opening the storage session");
            break;
        case 0x01:
            step("closing the storage session; clean-up done");
            break;
        case 0x05:
            searchTry_ = 0;
            step("asking the controller to show the drop box as a USB disk");
            break;
        case 0x06:
            step("taking the drop box back from the host");
            break;
        case 0x07:
            step("creating the drop box");
            break;
        case 0x08:
            step("deleting the drop box");
            break;
        case 0x09:
            statusPoll_ = 0;
            step("handing the command file's digest over");
            break;
        case 0x0A:
            step("controller processing, poll " + std::to_string(++statusPoll_));
            break;
        default:
            break;
    }
}

int ProgressPort::system(const std::string& command) {
    if (startsWith(command, "/sbin/blockdev --report")) {
        step("waiting for the disk to appear, try " + std::to_string(++searchTry_) + " of " +
             std::to_string(kSearchTries));
    } else if (startsWith(command, "mount ")) {
        step("mounting the drop box");
    }
    int status = host().system(command);
    if (startsWith(command, "mount ") && status == 0) {
        step("mounted");
    }
    return status;
}

int ProgressPort::open(const std::string& path, int flags, mode_t mode) {
    int fd = host().open(path, flags, mode);
    if (fd >= 0 && path == storageLockPath) {
        lockFd_ = fd;
    }
    return fd;
}

int ProgressPort::close(int fd) {
    if (fd == lockFd_) {
        lockFd_ = -1;
        waiting_ = false;
    }
    return host().close(fd);
}

int ProgressPort::flock(int fd, int operation) {
    int result = host().flock(fd, operation);
    if (fd == lockFd_ && (operation & LOCK_UN) == 0) {
        int error = errno;
        lockTried(fd, result);
        errno = error;
    }
    return result;
}

// A wait for another run's storage lock is told at once and every 30 s.
void ProgressPort::lockTried(int, int result) {
    std::time_t now = host().now();
    if (result == 0) {
        if (waiting_) {
            step("storage lock obtained after " + std::to_string(now - waitStart_) + " s");
        }
        waiting_ = false;
        return;
    }
    if (errno != EWOULDBLOCK) {
        return;
    }
    if (!waiting_) {
        waiting_ = true;
        waitStart_ = now;
    } else if (now - lastWaitLine_ < kLockWaitLineSeconds) {
        return;
    }
    lastWaitLine_ = now;
    step(
        "waiting for another inventory or update run to finish with the controller's storage "
        "(lock " +
        storageLockPath + "), " + std::to_string(now - waitStart_) + " s so far");
}

int ProgressPort::ioctl(int fd, unsigned long request, void* argument) {
    if (request == IPMICTL_SEND_COMMAND && argument != nullptr) {
        const auto* message = static_cast<const ipmi_req*>(argument);
        if (message->msg.data != nullptr) {
            sent(message->msg.netfn, message->msg.cmd, message->msg.data, message->msg.data_len);
        }
    }
    return host().ioctl(fd, request, argument);
}

std::string ProgressPort::resolve(const std::string& path) {
    if (endsWith(path, "/output.xml")) {
        step("reading the controller's answer");
    }
    return host().resolve(path);
}
