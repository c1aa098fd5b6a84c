// Command-line host of the plug-in: runs an inventory and prints the records.
#include <unistd.h>

#include <cerrno>
#include <csignal>
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
#include "tools/ProcessSetup.h"
#include "tools/Progress.h"
#include "tools/SpawningHostPort.h"
#include "tools/StagingRun.h"
#include "tools/WorkDirectory.h"
#include "vserver/SimulatedServer.h"
#include "vserver/TempDirectory.h"

namespace {

constexpr int kSucceeded = 0;
constexpr int kFailed = 1;
constexpr int kBadArgument = 2;
constexpr int kBadDescription = 3;

const char* const kVersion = "1.0.0";
// What the programs the plug-in runs write on stderr, in the work directory.
const char* const kChildStderrLog = "commands-stderr.log";
constexpr int kSignalStatusBase = 128;

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
           const InventoryOptions& options, const std::string& workDirectory,
           const std::string& moreJson) {
    if (outcome.kind == InventoryOutcome::Kind::NoStorage) {
        std::cerr << "ipmi-inventory: this server's management controller has no embedded "
                     "storage, so it keeps no component records; nothing to report\n";
    }
    int status = emit(formatOutcome(outcome, devices, options.format, workDirectory, moreJson));
    if (outcome.kind != InventoryOutcome::Kind::Failed) {
        return status;
    }
    std::cerr << "ipmi-inventory: " << failureText(outcome, workDirectory) << "\n";
    return kFailed;
}

// A run that cannot start on this machine: one line, and in JSON the error
// object.
int refuseMachine(const std::string& reason, const InventoryOptions& options) {
    if (options.format == OutputFormat::Json) {
        InventoryOutcome refusal = machineRefusal(reason);
        emit(formatOutcome(refusal, {}, OutputFormat::Json, ""));
    }
    return fail(reason);
}

int stoppedOnSignal(int signal) {
    std::cerr << "ipmi-inventory: stopped on signal " << signal << " (" << strsignal(signal)
              << ") after the run was finished and cleaned up; nothing listed\n";
    return kSignalStatusBase + signal;
}

// The files to place as the plug-in will see them, named before the work
// directory changes what a relative name means: on the virtual server they
// are copied into its file system first. Empty text when all are usable,
// else the reason.
std::string preparePlacements(std::vector<Placement>& placements, SimulatedServer* server) {
    for (std::size_t index = 0; index < placements.size(); ++index) {
        Placement& placement = placements[index];
        std::filesystem::path path = std::filesystem::absolute(placement.file);
        std::error_code error;
        if (std::filesystem::is_directory(path, error)) {
            return "--place: " + placement.file + " is a directory, not a file";
        }
        if (!std::filesystem::is_regular_file(path, error)) {
            return "--place: no such file: " + placement.file;
        }
        if (server == nullptr) {
            placement.file = path.string();
            continue;
        }
        std::string inside = "/var/tmp/ipmi-inventory/payload" + std::to_string(index) + "-" +
                             path.filename().string();
        std::filesystem::path copy = server->host().resolve(inside);
        std::filesystem::create_directories(copy.parent_path(), error);
        std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing,
                                   error);
        if (error) {
            return "--place: cannot hand " + placement.file +
                   " to the virtual server: " + error.message();
        }
        placement.file = inside;
    }
    return "";
}

// The package description to write a record from, refused as an argument
// when it is no file.
std::string preparePackage(std::string& package) {
    if (package.empty()) {
        return "";
    }
    std::error_code error;
    if (std::filesystem::is_directory(package, error)) {
        return "--update-record: " + package + " is a directory, not a file";
    }
    if (!std::filesystem::is_regular_file(package, error)) {
        return "--update-record: no such file: " + package;
    }
    package = std::filesystem::absolute(package).string();
    return "";
}

// What stdout gets about the placements in JSON.
std::string placedMembers(const InventoryOptions& options, const std::vector<Placement>& placed) {
    return options.placements.empty() ? "" : jsonPlaced(placed);
}

int stagingFailed(const char* what, const StagingOutcome& outcome, const InventoryOptions& options,
                  const std::string& workDirectory) {
    if (options.format == OutputFormat::Json) {
        emit(jsonDocument({}, jsonError(outcome.errorCode, outcome.errorText, workDirectory) +
                                  placedMembers(options, outcome.placed)));
    }
    return fail(stagingFailureText(what, outcome));
}

// Placements and the record update, before the listing; kSucceeded or the
// exit status of the failure. What was placed and verified goes to placed.
int runStaging(const InventoryOptions& options, const std::string& workDirectory,
               std::vector<Placement>& placed) {
    if (!options.placements.empty()) {
        StagingOutcome outcome = runPlacements(options.placements);
        placed = outcome.placed;
        if (!outcome.succeeded) {
            return stagingFailed("the placement", outcome, options, workDirectory);
        }
        std::cerr << "ipmi-inventory: " << outcome.summary;
    }
    if (!options.recordPackage.empty()) {
        StagingOutcome updated = runRecordUpdate(options.recordPackage);
        if (!updated.succeeded) {
            updated.placed = placed;
            return stagingFailed("the record update", updated, options, workDirectory);
        }
        std::cerr << "ipmi-inventory: " << updated.summary;
    }
    return kSucceeded;
}

}  // namespace

int main(int argc, char** argv) {
    ensureStandardDescriptors();
    ignoreBrokenPipes();
    HeldSignals signals;
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
    SpawningHostPort production;
    if (!options.virtualServer.empty()) {
        // Read before the work directory changes what a relative name means.
        std::string path = std::filesystem::absolute(options.virtualServer).string();
        try {
            // What virtual runs killed outright left behind.
            TempDirectory::removeAbandoned();
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
            return refuseMachine(problem, options);
        }
        installHostPort(&production);
    }
    std::string problem = preparePlacements(options.placements, server.get());
    if (problem.empty()) {
        problem = preparePackage(options.recordPackage);
    }
    if (!problem.empty()) {
        return fail(problem, kBadArgument);
    }
    std::string workDirectory =
        options.workDirectory.empty() ? defaultWorkDirectory() : options.workDirectory;
    std::string failure = enterWorkDirectory(workDirectory, shippedDataDirectory());
    if (!failure.empty()) {
        return fail(failure);
    }
    workDirectory = std::filesystem::current_path().string();

    int status = kSucceeded;
    ReceivedRecords records;
    InventoryOutcome outcome;
    std::vector<Placement> placed;
    {
        ChildStderrLog childStderr(kChildStderrLog);
        std::unique_ptr<ProgressPort> progress;
        HostPort* previous = nullptr;
        if (options.verbose || isatty(childStderr.ownStderr())) {
            progress = std::make_unique<ProgressPort>(hostPort(), std::cerr);
            previous = installHostPort(progress.get());
        }
        status = runStaging(options, workDirectory, placed);
        if (status == kSucceeded) {
            outcome = runInventory(options, records.devices);
        }
        if (progress) {
            installHostPort(previous);
        }
    }
    if (int signal = signals.received()) {
        return stoppedOnSignal(signal);
    }
    if (status == kSucceeded) {
        status = report(outcome, records.devices, options, workDirectory,
                        placedMembers(options, placed));
    }
    if (server) {
        std::cerr << "ipmi-inventory: " << server->host().clock().elapsedMilliseconds() / 1000
                  << " s of virtual time on the virtual server\n";
    }
    return status;
}
