#pragma once

#include <string>
#include <vector>

#include "baseutils/DeviceInfo.h"
#include "tools/InventoryOptions.h"
#include "tools/InventoryOutcome.h"

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
// directory, and reads its document as the entry points do, after a failed
// run too: an answer read before a later step failed is the caller's.
InventoryOutcome runInventory(const InventoryOptions& options, std::vector<CDeviceInfo*>& devices);

// The storage errors that mean the IPMI library could not start.
bool ipmiDeviceMissing(unsigned char errorCode);

// Why the IPMI device cannot be opened, through the host port in use:
// "/dev/ipmi0: No such file or directory"; empty when one opens.
std::string ipmiDeviceProblem();

// A one-line reason why this machine cannot be asked, or empty text.
std::string realMachineProblem(bool root);
// The outcome of a run that could not start on this machine.
InventoryOutcome machineRefusal(const std::string& reason);

// Lines for stderr after a failed run: the error (or, without a usable IPMI
// device, what to do), and where the logs are.
std::string failureText(const InventoryOutcome& outcome, const std::string& workDirectory);
