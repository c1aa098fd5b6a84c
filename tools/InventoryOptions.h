#pragma once

#include <string>
#include <vector>

#include "baseutils/DeviceInfo.h"

enum class OutputFormat { Table, Xml, Json };

// A file to place into a partition of the controller: --place FILE=DEST.
struct Placement {
    std::string file;         // as the plug-in will see it
    std::string destination;  // "NN/path": path on static partition NN
    std::string given;        // FILE as the operator gave it
};

// What the command line asks for.
struct InventoryOptions {
    std::vector<std::string> components;  // --component ID
    std::vector<SPCIInfo> pciDevices;     // --pci VENDOR:DEVICE:SUBVENDOR:SUBDEVICE
    OutputFormat format = OutputFormat::Table;
    std::string virtualServer;  // --virtual-server FILE: a server description
    std::string workDirectory;  // --workdir DIR: where the plug-in runs (empty: the default)
    bool help = false;
    bool version = false;
    bool verbose = false;               // --verbose: one line per step on stderr
    std::vector<Placement> placements;  // --place FILE=DEST, before the listing
    std::string recordPackage;          // --update-record PACKAGE, before the listing

    bool selective() const { return !components.empty() || !pciDevices.empty(); }
};

// Parses the arguments that follow the program name. On a bad argument
// returns false with a one-line reason in error.
bool parseInventoryOptions(const std::vector<std::string>& arguments, InventoryOptions& options,
                           std::string& error);

std::string inventoryUsage();
