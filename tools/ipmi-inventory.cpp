// Command-line host of the plug-in: runs an inventory and prints the records.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>

#include "tools/InventoryOptions.h"
#include "tools/InventoryOutput.h"
#include "tools/InventoryRun.h"
#include "tools/Progress.h"
#include "tools/WorkDirectory.h"
#include "vserver/SimulatedServer.h"

namespace {

constexpr int kSucceeded = 0;
constexpr int kFailed = 1;
constexpr int kBadArgument = 2;
constexpr int kBadDescription = 3;

const char* const kVersion = "1.0.0";

int fail(const std::string& message, int status = kFailed) {
    std::cerr << "ipmi-inventory: " << message << "\n";
    return status;
}

// Writes text to stdout; a write that fails (a full disk, a closed pipe) is
// a failure of the run, not a silent loss.
int emit(const std::string& text) {
    std::cout << text << std::flush;
    if (!std::cout) {
        return fail(std::string("cannot write the output: ") + std::strerror(errno));
    }
    return kSucceeded;
}

int report(const InventoryOutcome& outcome, const std::vector<CDeviceInfo*>& devices,
           const InventoryOptions& options, const std::string& workDirectory) {
    bool json = options.format == OutputFormat::Json;
    switch (outcome.kind) {
        case InventoryOutcome::Kind::NoStorage:
            std::cerr << "ipmi-inventory: this server's management controller has no embedded "
                         "storage, so it keeps no component records; nothing to report\n";
            return json ? emit("[]\n") : kSucceeded;
        case InventoryOutcome::Kind::Failed: {
            std::cerr << "ipmi-inventory: " << failureText(outcome, workDirectory) << "\n";
            int status = json ? emit(failureJson(outcome, workDirectory)) : kSucceeded;
            return status == kSucceeded ? kFailed : status;
        }
        case InventoryOutcome::Kind::Records:
        default:
            return emit(formatRecords(devices, options.format));
    }
}

}  // namespace

int main(int argc, char** argv) {
    InventoryOptions options;
    std::string error;
    if (!parseInventoryOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        return fail(error + " (see --help)", kBadArgument);
    }
    if (options.help) {
        return emit(inventoryUsage());
    }
    if (options.version) {
        return emit(std::string("ipmi-inventory ") + kVersion + "\n");
    }
    std::unique_ptr<SimulatedServer> server;
    if (!options.virtualServer.empty()) {
        // Read before the work directory changes what a relative name means.
        std::string path = std::filesystem::absolute(options.virtualServer).string();
        try {
            server = std::make_unique<SimulatedServer>(loadServerDescription(path));
            server->host().clock().startAt(std::time(nullptr));
        } catch (const ServerDescriptionError& failure) {
            // Named as the user gave it.
            std::string reason = failure.what();
            if (reason.rfind(path, 0) == 0) {
                reason = options.virtualServer + reason.substr(path.size());
            }
            return fail("bad server description: " + reason, kBadDescription);
        } catch (const std::exception& failure) {
            // Not the argument's fault: the virtual server could not be set up here.
            return fail(std::string("cannot start the virtual server: ") + failure.what());
        }
    } else {
        std::string problem = realMachineProblem(geteuid() == 0);
        if (!problem.empty()) {
            return fail(problem);
        }
    }
    std::string workDirectory =
        options.workDirectory.empty() ? defaultWorkDirectory() : options.workDirectory;
    std::string failure = enterWorkDirectory(workDirectory, shippedDataDirectory());
    if (!failure.empty()) {
        return fail(failure);
    }
    workDirectory = std::filesystem::current_path().string();

    std::unique_ptr<ProgressPort> progress;
    HostPort* previous = nullptr;
    if (options.verbose || isatty(STDERR_FILENO)) {
        progress = std::make_unique<ProgressPort>(hostPort(), std::cerr);
        previous = installHostPort(progress.get());
    }
    ReceivedRecords records;
    InventoryOutcome outcome = runInventory(options, records.devices);
    if (progress) {
        installHostPort(previous);
    }
    int status = report(outcome, records.devices, options, workDirectory);
    if (server) {
        std::cerr << "ipmi-inventory: " << server->host().clock().elapsedMilliseconds() / 1000
                  << " s of virtual time on the virtual server\n";
    }
    return status;
}
