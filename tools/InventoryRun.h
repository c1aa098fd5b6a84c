#pragma once

#include <string>
#include <vector>

#include "baseutils/DeviceInfo.h"
#include "tools/InventoryOptions.h"

// How one inventory run ended.
struct InventoryOutcome {
    enum class Kind {
        Records,    // the controller's records (possibly none) are in devices
        NoStorage,  // the controller has no embedded storage: nothing to report
        Failed,     // the run failed; errorText says why
    };
    Kind kind = Kind::Failed;
    std::string errorText;        // from ErrorCodes.xml
    unsigned char errorCode = 0;  // the storage layer's error number
};

// The argument vector the plug-in's bridge hands its driver: a program path
// in the current directory, where the driver looks for its error table.
class PluginArguments {
public:
    PluginArguments();
    PluginArguments(const PluginArguments&) = delete;
    PluginArguments& operator=(const PluginArguments&) = delete;
    char** get() { return arguments_; }

private:
    std::vector<char> program_;
    char* arguments_[2] = {nullptr, nullptr};
};

// Drives the inventory driver as the plug-in's bridge does, in the current
// directory, and reads its document as the entry points do.
InventoryOutcome runInventory(const InventoryOptions& options, std::vector<CDeviceInfo*>& devices);

// The storage errors that mean the IPMI device or its drivers are missing.
bool ipmiDeviceMissing(unsigned char errorCode);

// A one-line reason why this machine cannot be asked, or empty text.
std::string realMachineProblem(bool root);

// Text for a failed run: the error, and where the logs are.
std::string failureText(const InventoryOutcome& outcome, const std::string& workDirectory);
std::string failureJson(const InventoryOutcome& outcome, const std::string& workDirectory);
