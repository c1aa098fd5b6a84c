// The VM test's helper in the guest: a host that loads the release plug-in
// library and asks for a selective inventory; an unprivileged user holding
// lock files; and measurements (not a test): the IPMI library's round trip
// to the controller, another program's run time, and one inventory beside
// the sleeps the plug-in prescribes.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "baseutils/DeviceInfo.h"
#include "baseutils/HostPort.h"
#include "inventory/Stage_IPMIInventory.h"
#include "kvoipmi/KvoIPMIInterfaceImpl.h"
#include "storage/IPMIRequest.h"
#include "tools/InventoryOutput.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned char kAppNetFn = 0x06;
constexpr unsigned char kGetDeviceId = 0x01;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The production port, adding up every sleep the plug-in asks for.
class SleepTally : public SystemHostPort {
public:
    void sleepSeconds(unsigned int seconds) override {
        total += seconds;
        SystemHostPort::sleepSeconds(seconds);
    }
    void sleepMilliseconds(unsigned int milliseconds) override {
        total += milliseconds / 1000.0;
        SystemHostPort::sleepMilliseconds(milliseconds);
    }
    double total = 0;
};

int requests(int count) {
    Clock::time_point start = Clock::now();
    if (InitKvoIPMILibrary() != 0) {
        std::fprintf(stderr, "vm-bench: the IPMI library did not start\n");
        return 1;
    }
    double startSeconds = secondsSince(start);
    start = Clock::now();
    for (int i = 0; i < count; ++i) {
        _KvoIPMICommandData record{};
        record.requestBuffer[0] = kAppNetFn;
        record.requestBuffer[1] = kGetDeviceId;
        record.requestLength = 2;
        record.responseLength = KVO_IPMI_MAX_BUFFER_LENGTH;
        if (pKvoIPMILibHandle->IPMIRequest(&record) != KVO_IPMI_SUCCESS ||
            record.responseBuffer[RESPONSE_CODE] != 0) {
            std::fprintf(stderr, "vm-bench: Get Device ID %d failed\n", i + 1);
            return 1;
        }
    }
    double loop = secondsSince(start);
    ReleaseKvoIPMILibrary();
    std::printf("VMBENCH ipmirequest calls=%d total_s=%.3f per_call_ms=%.3f library_start_s=%.3f\n",
                count, loop, loop * 1000 / count, startSeconds);
    return 0;
}

int timed(char** argv) {
    Clock::time_point start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::printf("VMBENCH command status=%d total_s=%.3f\n",
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, secondsSince(start));
    return 0;
}

int inventory() {
    SleepTally tally;
    installHostPort(&tally);
    std::vector<CDeviceInfo*> devices;
    Clock::time_point start = Clock::now();
    GetInventory(devices);
    double wall = secondsSince(start);
    installHostPort(nullptr);
    std::printf("VMBENCH inventory records=%zu wall_s=%.3f sleeps_s=%.3f\n", devices.size(), wall,
                tally.total);
    for (CDeviceInfo* device : devices) {
        delete device;
    }
    return devices.empty() ? 1 : 0;
}

// As a host framework does: the library loaded on its own, its records
// printed as ipmi-inventory prints them.
int selective(const char* library, const std::string& component, const std::string& pci) {
    void* plugin = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (plugin == nullptr) {
        std::fprintf(stderr, "vm-bench: %s\n", dlerror());
        return 1;
    }
    auto getSelective =
        reinterpret_cast<GetSelectiveInventoryFunction>(dlsym(plugin, "GetSelectiveInventory"));
    SPCIInfo device;
    char vendor[16], id[16], subVendor[16], subDevice[16];
    if (getSelective == nullptr || std::sscanf(pci.c_str(), "%15[^:]:%15[^:]:%15[^:]:%15s", vendor,
                                               id, subVendor, subDevice) != 4) {
        std::fprintf(stderr, "vm-bench: no GetSelectiveInventory, or a bad PCI identity\n");
        return 1;
    }
    device.vendorID = vendor;
    device.deviceID = id;
    device.subVendorID = subVendor;
    device.subDeviceID = subDevice;
    ReceivedRecords records;
    getSelective(records.devices, {component}, {device});
    std::fputs(formatJson(records.devices).c_str(), stdout);
    return records.devices.empty() ? 1 : 0;
}

// An unprivileged local user who tries to create and hold each lock file
// the way an earlier plug-in kept its storage lock; holds what it got until
// killed.
int holdLocks(uid_t user, char** paths) {
    if (setgid(user) != 0 || setuid(user) != 0) {
        std::fprintf(stderr, "vm-bench: cannot become user %u\n", static_cast<unsigned>(user));
        return 1;
    }
    bool holding = false;
    for (char** path = paths; *path != nullptr; ++path) {
        int fd = open(*path, O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 || flock(fd, LOCK_EX | LOCK_NB) != 0) {
            std::printf("VMBENCH hold-lock %s refused: %s\n", *path, std::strerror(errno));
            continue;
        }
        std::printf("VMBENCH hold-lock %s held\n", *path);
        holding = true;
    }
    std::fflush(stdout);
    while (holding) {
        pause();
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "hold-lock") == 0) {
        return holdLocks(static_cast<uid_t>(std::atoi(argv[2])), argv + 3);
    }
    if (argc >= 3 && std::strcmp(argv[1], "requests") == 0) {
        return requests(std::atoi(argv[2]));
    }
    if (argc >= 3 && std::strcmp(argv[1], "time") == 0) {
        return timed(argv + 2);
    }
    if (argc == 2 && std::strcmp(argv[1], "inventory") == 0) {
        return inventory();
    }
    if (argc == 5 && std::strcmp(argv[1], "selective") == 0) {
        return selective(argv[2], argv[3], argv[4]);
    }
    std::fprintf(stderr,
                 "usage: vm-bench requests N | time COMMAND... | inventory |\n"
                 "       selective LIBRARY COMPONENT VENDOR:DEVICE:SUBVENDOR:SUBDEVICE |\n"
                 "       hold-lock UID PATH...\n");
    return 2;
}
