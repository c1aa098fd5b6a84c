// Runs the controller model of a server description as qemu's external BMC:
// listens on 127.0.0.1 for qemu's ipmi-bmc-extern chardev, answers its
// requests in the VM protocol, and presents attached partitions by
// hot-plugging USB disks through qemu's monitor. Serves one connection and
// exits when qemu goes away.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "baseutils/UniqueDescriptor.h"
#include "vserver/ManagementController.h"
#include "vserver/QmpPresenter.h"
#include "vserver/ServerDescription.h"
#include "vserver/VmBmcSession.h"

namespace {

constexpr int kPollMs = 500;
constexpr int kQmpConnectMs = 10000;
constexpr std::size_t kReadChunk = 4096;

volatile sig_atomic_t stopRequested = 0;

void requestStop(int) {
    stopRequested = 1;
}

struct Options {
    std::string server;
    std::string qmp;
    std::string log;
    int port = 0;  // 0: any free port, printed on stdout
    unsigned acceptSeconds = 120;
    unsigned noAnswerFrom = 0;  // 0: every exchange is answered
};

const char* const kUsage =
    "usage: vm-bmc --server FILE --qmp SOCKET --log FILE [--port N] [--accept-timeout S]\n"
    "              [--no-answer-from N]\n"
    "  --server FILE         server description whose controller to run\n"
    "  --qmp SOCKET          qemu's QMP unix socket, for hot-plugging partitions\n"
    "  --log FILE            command log: every request and answer, every hot-plug\n"
    "  --port N              TCP port on 127.0.0.1 (default: a free one); the line\n"
    "                        \"listening on 127.0.0.1:PORT\" goes to stdout\n"
    "  --accept-timeout S    give up when qemu has not connected within S seconds\n"
    "  --no-answer-from N    from the Nth record exchange on, leave no answer file\n";

bool parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) {
            return false;
        }
        std::string value = argv[++i];
        try {
            if (name == "--server") {
                options.server = value;
            } else if (name == "--qmp") {
                options.qmp = value;
            } else if (name == "--log") {
                options.log = value;
            } else if (name == "--port") {
                options.port = std::stoi(value);
            } else if (name == "--accept-timeout") {
                options.acceptSeconds = static_cast<unsigned>(std::stoul(value));
            } else if (name == "--no-answer-from") {
                options.noAnswerFrom = static_cast<unsigned>(std::stoul(value));
            } else {
                return false;
            }
        } catch (const std::exception&) {
            return false;
        }
    }
    return !options.server.empty() && !options.qmp.empty() && !options.log.empty();
}

class CommandLog {
public:
    explicit CommandLog(const std::string& path)
        : out_(path, std::ios::app), start_(std::chrono::steady_clock::now()) {}
    bool good() const { return out_.good(); }
    void operator()(const std::string& line) {
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%9.3f ", seconds);
        out_ << stamp << line << "\n" << std::flush;
    }

private:
    std::ofstream out_;
    std::chrono::steady_clock::time_point start_;
};

// What the host test checks at the end: drop boxes left, attachments, session.
std::string controllerState(const ManagementController& controller) {
    char text[96];
    std::snprintf(text, sizeof text, "state: dynamic=0x%04x attached=0x%04x/0x%04x session=%s",
                  controller.storage().dynamicBitmap(), controller.storage().attachedMask(false),
                  controller.storage().attachedMask(true),
                  controller.sessionOpen() ? "open" : "closed");
    return text;
}

int listenOn(int port, int& chosenPort) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 1) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    chosenPort = ntohs(address.sin_port);
    return fd;
}

// Waits for qemu; -1 after the time-out or a stop request.
int acceptQemu(int listener, unsigned seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!stopRequested && std::chrono::steady_clock::now() < deadline) {
        pollfd ready{listener, POLLIN, 0};
        if (::poll(&ready, 1, kPollMs) > 0) {
            return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        }
    }
    return -1;
}

bool sendAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Serves qemu until it disconnects or a stop is requested.
void serve(int connection, ManagementController& controller, VmBmcSession& session,
           const Options& options, CommandLog& log) {
    std::string lastState = controllerState(controller);
    while (!stopRequested) {
        pollfd ready{connection, POLLIN, 0};
        int polled = ::poll(&ready, 1, kPollMs);
        if (polled <= 0) {
            continue;
        }
        std::uint8_t chunk[kReadChunk];
        ssize_t n = ::read(connection, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            log("qemu disconnected");
            return;
        }
        if (options.noAnswerFrom != 0 &&
            controller.exchangeOutcomes().size() + 1 >= options.noAnswerFrom) {
            controller.settings().writesAnswer = false;
        }
        if (!sendAll(connection, session.receive(chunk, static_cast<std::size_t>(n)))) {
            log("cannot answer qemu");
            return;
        }
        std::string state = controllerState(controller);
        if (state != lastState) {
            log(state);
            lastState = state;
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!parse(argc, argv, options)) {
        std::cerr << kUsage;
        return 2;
    }
    signal(SIGTERM, requestStop);
    signal(SIGINT, requestStop);
    signal(SIGPIPE, SIG_IGN);
    CommandLog log(options.log);
    if (!log.good()) {
        std::cerr << "vm-bmc: cannot write " << options.log << "\n";
        return 1;
    }
    ServerDescription description;
    try {
        description = loadServerDescription(options.server);
    } catch (const ServerDescriptionError& failure) {
        std::cerr << "vm-bmc: " << options.server << ": " << failure.what() << "\n";
        return 1;
    }
    ManagementController controller(description.controller);
    controller.images().setPartitionTable(description.host.partitionTable);
    QmpPresenter presenter(
        [&options] { return std::make_unique<UnixQmpChannel>(options.qmp, kQmpConnectMs); },
        [&log](const std::string& line) { log(line); });
    controller.setPresenter(&presenter);
    VmBmcSession session(controller, [&log](const std::string& line) { log(line); });

    int port = 0;
    UniqueDescriptor listener(listenOn(options.port, port));
    if (listener.get() < 0) {
        std::cerr << "vm-bmc: cannot listen on 127.0.0.1:" << options.port << ": "
                  << std::strerror(errno) << "\n";
        return 1;
    }
    log("serving " + options.server + " on 127.0.0.1:" + std::to_string(port));
    std::cout << "listening on 127.0.0.1:" << port << std::endl;
    UniqueDescriptor connection(acceptQemu(listener.get(), options.acceptSeconds));
    if (connection.get() < 0) {
        log("qemu did not connect");
        std::cerr << "vm-bmc: qemu did not connect within " << options.acceptSeconds << " s\n";
        return 1;
    }
    log("qemu connected");
    serve(connection.get(), controller, session, options, log);
    log("final " + controllerState(controller) +
        " exchanges=" + std::to_string(controller.exchangeOutcomes().size()));
    return 0;
}
