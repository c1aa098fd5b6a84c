// Soak run: many GetInventory calls in one process against the bundled
// default virtual server. After every report interval it prints the open
// descriptors (the process's own and the virtual kernel's), the heap in use
// and each log file's size; only the logs may grow with the calls.
//   inventory-soak [CALLS [INTERVAL]]
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "inventory/Stage_IPMIInventory.h"
#include "vserver/ServerDescription.h"
#include "vserver/SimulatedServer.h"
#include "vserver/TempDirectory.h"

namespace fs = std::filesystem;

namespace {

const char* const kLogs[] = {"IPMIInventoryLog.txt", "QUIB_DBG.log", "kvoipmi.log",
                             "kvoipmi_internal.log"};

std::size_t processDescriptors() {
    std::error_code error;
    std::size_t count = 0;
    for (auto it = fs::directory_iterator("/proc/self/fd", error);
         !error && it != fs::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count > 0 ? count - 1 : 0;  // the listing's own descriptor
}

long long fileSize(const char* name) {
    std::error_code error;
    auto size = fs::file_size(name, error);
    return error ? -1 : static_cast<long long>(size);
}

// The model keeps a record of everything it saw; the soak measures the
// plug-in, so the record goes after every call.
void forgetRecords(SimulatedServer& server) {
    server.controller().clearRecord();
    server.controller().clearOutcomes();
    server.kernel().clearRecord();
    server.host().clock().clearSleeps();
    server.host().shell().clearCommands();
    server.host().clearOpenedPaths();
    server.mounts().clearEvents();
}

void printHeader() {
    std::printf("%6s %8s %8s %12s", "calls", "fds", "vfds", "heap");
    for (const char* log : kLogs) {
        std::printf(" %22s", log);
    }
    std::printf("\n");
}

void printReport(unsigned calls, SimulatedServer& server) {
    struct mallinfo2 heap = mallinfo2();
    std::printf("%6u %8zu %8zu %12zu", calls, processDescriptors(), server.host().openDescriptors(),
                heap.uordblks);
    for (const char* log : kLogs) {
        std::printf(" %22lld", fileSize(log));
    }
    std::printf("\n");
    std::fflush(stdout);
}

int copyDataFiles(const fs::path& to) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(INVENTORY_DATA_DIR, error)) {
        fs::copy_file(entry.path(), to / entry.path().filename(),
                      fs::copy_options::overwrite_existing, error);
        if (error) {
            std::fprintf(stderr, "cannot copy %s\n", entry.path().c_str());
            return 1;
        }
    }
    return error ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned calls = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 1000;
    unsigned interval = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : 100;
    if (interval == 0) {
        interval = 1;
    }
    TempDirectory work("soak");
    if (copyDataFiles(work.path()) != 0 || ::chdir(work.path().c_str()) != 0) {
        return 1;
    }
    std::FILE* marker = std::fopen("zebdebuglog", "w");  // every log on
    if (marker) {
        std::fclose(marker);
    }
    SimulatedServer server(
        loadServerDescription(std::string(INVENTORY_SOURCE_DIR) + "/vserver/servers/default.xml"));
    printHeader();
    printReport(0, server);
    unsigned failed = 0;
    for (unsigned call = 1; call <= calls; ++call) {
        std::vector<CDeviceInfo*> devices;
        GetInventory(devices);
        if (devices.empty()) {
            ++failed;
        }
        for (CDeviceInfo* device : std::set<CDeviceInfo*>(devices.begin(), devices.end())) {
            delete device;
        }
        forgetRecords(server);
        if (call % interval == 0 || call == calls) {
            printReport(call, server);
        }
    }
    std::printf("%u of %u calls returned no records; virtual time %.0f s\n", failed, calls,
                server.host().clock().elapsedMilliseconds() / 1000.0);
    return failed == 0 ? 0 : 1;
}
