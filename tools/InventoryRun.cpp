#include "tools/InventoryRun.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "baseutils/HostPort.h"
#include "baseutils/Logger.h"
#include "inventory/InvHelper.h"
#include "inventory/InventoryRecords.h"
#include "kvoipmi/LKvoIPMIProcessor.h"
#include "storage/VeskErrors.h"
#include "tools/InventoryOutput.h"

namespace {

constexpr unsigned char kDriverMissing = 15;
constexpr unsigned char kLibraryFailed = 16;
constexpr unsigned char kLibraryInitFailed = 46;

// The records of document as the entry points hand them over.
void hostRecords(const std::string& document, const InventoryOptions& options,
                 std::vector<CDeviceInfo*>& devices) {
    if (!options.selective()) {
        appendInventoryRecords(document, devices);
        return;
    }
    std::vector<CDeviceInfo*> inventory;
    appendInventoryRecords(document, inventory);
    selectInventoryRecords(inventory, options.components, options.pciDevices, devices);
}

std::string currentDirectory() {
    std::unique_ptr<char, decltype(&std::free)> path(getcwd(nullptr, 0), &std::free);
    return path ? std::string(path.get()) : std::string(".");
}

}  // namespace

PluginArguments::PluginArguments() {
    std::string program = currentDirectory() + "/ipmiinventory.exe";
    program_.assign(program.begin(), program.end());
    program_.push_back('\0');
    arguments_[0] = program_.data();
}

InventoryOutcome runInventory(const InventoryOptions& options, std::vector<CDeviceInfo*>& devices) {
    CLogger::GetInstance()->Initialize("IPMIInventoryLog.txt");
    PluginArguments pluginArguments;
    char** arguments = pluginArguments.get();

    InventoryOutcome outcome;
    int veskType = 0;
    std::string document;
    bool succeeded = false;
    {
        CInvHelper helper;
        succeeded = helper.DoInventory(arguments, veskType, outcome.errorText);
        document = helper.GetPyxInv();
        outcome.errorCode = helper.writer().storageError();
    }
    if (!succeeded) {
        outcome.kind = InventoryOutcome::Kind::Failed;
        if (ipmiDeviceMissing(outcome.errorCode)) {
            outcome.deviceProblem = ipmiDeviceProblem();
        }
        outcome.recordsRead = !document.empty();
        hostRecords(document, options, devices);
        return outcome;
    }
    if (veskType == 0) {
        outcome.kind = InventoryOutcome::Kind::NoStorage;
        return outcome;
    }
    outcome.kind = InventoryOutcome::Kind::Records;
    hostRecords(document, options, devices);
    return outcome;
}

std::string ipmiDeviceProblem() {
    std::string first;
    for (const std::string& path : IPMIProcessor::DevicePaths()) {
        int fd = hostPort().open(path, O_RDWR | O_CLOEXEC);
        if (fd >= 0) {
            hostPort().close(fd);
            return "";
        }
        if (first.empty()) {
            first = path + ": " + std::strerror(errno);
        }
    }
    return first;
}

bool ipmiDeviceMissing(unsigned char errorCode) {
    return errorCode == kDriverMissing || errorCode == kLibraryFailed ||
           errorCode == kLibraryInitFailed;
}

InventoryOutcome machineRefusal(const std::string& reason) {
    InventoryOutcome outcome;
    outcome.errorCode = QUIB_NOT_ROOT;
    outcome.errorText = reason;
    return outcome;
}

std::string realMachineProblem(bool root) {
    if (!root) {
        return "needs root: it loads the IPMI and USB storage drivers and mounts the "
               "controller's USB disk; run it as root (for example with sudo), or try it on "
               "the virtual server with --virtual-server FILE";
    }
    return "";
}

std::string failureText(const InventoryOutcome& outcome, const std::string& workDirectory) {
    if (ipmiDeviceMissing(outcome.errorCode) && !outcome.deviceProblem.empty()) {
        return "no usable IPMI device: " + outcome.deviceProblem +
               "; load ipmi_devintf and ipmi_si, or run on a server with a management "
               "controller";
    }
    std::string text = "the inventory failed (storage error " + std::to_string(outcome.errorCode) +
                       "): " + outcome.errorText;
    if (outcome.recordsRead) {
        text +=
            "\nipmi-inventory: the records listed were read before the failure; the controller "
            "may hold its drop box until the next run";
    }
    return text + "\nipmi-inventory: the logs are in " + workDirectory +
           " (IPMIInventoryLog.txt; QUIB_DBG.log and kvoipmi.log when a file named zebdebuglog "
           "is there)";
}
