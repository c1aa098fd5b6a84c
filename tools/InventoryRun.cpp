#include "tools/InventoryRun.h"

#include <unistd.h>

#include <memory>

#include "baseutils/Logger.h"
#include "inventory/InvHelper.h"
#include "inventory/InventoryRecords.h"
#include "tools/InventoryOutput.h"

namespace {

constexpr unsigned char kDriverMissing = 15;
constexpr unsigned char kLibraryFailed = 16;
constexpr unsigned char kLibraryInitFailed = 46;

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
    {
        CInvHelper helper;
        bool succeeded = helper.DoInventory(arguments, veskType, outcome.errorText);
        document = helper.GetPyxInv();
        outcome.errorCode = helper.writer().storageError();
        if (!succeeded) {
            outcome.kind = InventoryOutcome::Kind::Failed;
            return outcome;
        }
    }
    if (veskType == 0) {
        outcome.kind = InventoryOutcome::Kind::NoStorage;
        return outcome;
    }
    outcome.kind = InventoryOutcome::Kind::Records;
    if (!options.selective()) {
        appendInventoryRecords(document, devices);
        return outcome;
    }
    std::vector<CDeviceInfo*> inventory;
    appendInventoryRecords(document, inventory);
    selectInventoryRecords(inventory, options.components, options.pciDevices, devices);
    return outcome;
}

bool ipmiDeviceMissing(unsigned char errorCode) {
    return errorCode == kDriverMissing || errorCode == kLibraryFailed ||
           errorCode == kLibraryInitFailed;
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
    std::string text = "the inventory failed (storage error " + std::to_string(outcome.errorCode) +
                       "): " + outcome.errorText;
    if (ipmiDeviceMissing(outcome.errorCode)) {
        text +=
            "\nipmi-inventory: no usable IPMI device (/dev/ipmi0): check that this machine "
            "has a management controller and that the ipmi_si and ipmi_devintf drivers "
            "load";
    }
    return text + "\nipmi-inventory: the logs are in " + workDirectory +
           " (IPMIInventoryLog.txt; QUIB_DBG.log and kvoipmi.log when a file named zebdebuglog "
           "is there)";
}

std::string failureJson(const InventoryOutcome& outcome, const std::string& workDirectory) {
    return "{\n  \"error\": " + jsonString(outcome.errorText) +
           ",\n  \"errorCode\": " + std::to_string(outcome.errorCode) +
           ",\n  \"logs\": " + jsonString(workDirectory) + "\n}\n";
}
