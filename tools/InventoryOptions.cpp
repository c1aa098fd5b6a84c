#include "tools/InventoryOptions.h"

#include <functional>
#include <map>

#include "baseutils/SplitText.h"
#include "storage/PlacementDestination.h"

namespace {

using ValueHandler =
    std::function<bool(const std::string& value, InventoryOptions& options, std::string& error)>;

bool parsePci(const std::string& value, InventoryOptions& options, std::string& error) {
    std::vector<std::string> parts = splitText(value, ':');
    if (parts.size() != 4) {
        error = "--pci expects VENDOR:DEVICE:SUBVENDOR:SUBDEVICE, got '" + value + "'";
        return false;
    }
    SPCIInfo pci;
    pci.vendorID = parts[0];
    pci.deviceID = parts[1];
    pci.subVendorID = parts[2];
    pci.subDeviceID = parts[3];
    options.pciDevices.push_back(pci);
    return true;
}

bool parseFormat(const std::string& value, InventoryOptions& options, std::string& error) {
    static const std::map<std::string, OutputFormat> formats = {
        {"table", OutputFormat::Table}, {"xml", OutputFormat::Xml}, {"json", OutputFormat::Json}};
    auto found = formats.find(value);
    if (found == formats.end()) {
        error = "--format expects table, xml or json, got '" + value + "'";
        return false;
    }
    options.format = found->second;
    return true;
}

// FILE=NN/PATH with NN the number of a static partition.
bool parsePlacement(const std::string& value, InventoryOptions& options, std::string& error) {
    std::string::size_type equals = value.rfind('=');
    std::string destination = equals == std::string::npos ? "" : value.substr(equals + 1);
    std::string::size_type slash = destination.find('/');
    bool numbered = slash != std::string::npos && slash > 0 &&
                    destination.find_first_not_of("0123456789") == slash &&
                    slash + 1 < destination.size();
    if (equals == 0 || !numbered) {
        error = "--place expects FILE=PARTITION/PATH (for example a.bin=21/drivers/a.bin), got '" +
                value + "'";
        return false;
    }
    // Refused before anything reaches the controller: PATH is a path below
    // the drop box's mount directory on this host.
    std::string problem = placementDestinationProblem(destination);
    if (!problem.empty()) {
        error = "--place destination '" + destination + "' is refused: " + problem +
                "; PATH must be a plain relative file path inside the partition";
        return false;
    }
    options.placements.push_back({value.substr(0, equals), destination, value.substr(0, equals)});
    return true;
}

// Two files for one destination, or a destination that another one needs as
// a directory, cannot both be placed.
bool placementsAgree(const std::vector<Placement>& placements, std::string& error) {
    for (std::size_t i = 0; i < placements.size(); ++i) {
        for (std::size_t j = 0; j < placements.size(); ++j) {
            const std::string& one = placements[i].destination;
            const std::string& other = placements[j].destination;
            if (i < j && one == other) {
                error = "--place: two files for the destination " + one + ": " +
                        placements[i].given + " and " + placements[j].given;
                return false;
            }
            if (i != j && other.rfind(one + "/", 0) == 0) {
                error = "--place: the destination " + one + " of " + placements[i].given +
                        " is a directory for " + other;
                return false;
            }
        }
    }
    return true;
}

// An empty value would quietly mean the default (the real machine, say).
bool nonEmpty(const char* name, const std::string& value, std::string& error) {
    if (value.empty()) {
        error = std::string(name) + " needs a value";
        return false;
    }
    return true;
}

// Options that take a value, accepted as "--name VALUE" or "--name=VALUE".
const std::map<std::string, ValueHandler>& valueOptions() {
    static const std::map<std::string, ValueHandler> handlers = {
        {"--component",
         [](const std::string& value, InventoryOptions& options, std::string&) {
             options.components.push_back(value);
             return true;
         }},
        {"--pci", parsePci},
        {"--format", parseFormat},
        {"--virtual-server",
         [](const std::string& value, InventoryOptions& options, std::string& error) {
             options.virtualServer = value;
             return nonEmpty("--virtual-server", value, error);
         }},
        {"--place", parsePlacement},
        {"--update-record",
         [](const std::string& value, InventoryOptions& options, std::string& error) {
             options.recordPackage = value;
             return nonEmpty("--update-record", value, error);
         }},
        {"--workdir",
         [](const std::string& value, InventoryOptions& options, std::string& error) {
             options.workDirectory = value;
             return nonEmpty("--workdir", value, error);
         }},
    };
    return handlers;
}

}  // namespace

bool parseInventoryOptions(const std::vector<std::string>& arguments, InventoryOptions& options,
                           std::string& error) {
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& argument = arguments[index];
        if (argument == "--help" || argument == "-h") {
            options.help = true;
            continue;
        }
        if (argument == "--version") {
            options.version = true;
            continue;
        }
        if (argument == "--verbose" || argument == "-v") {
            options.verbose = true;
            continue;
        }
        std::string name = argument.substr(0, argument.find('='));
        auto handler = valueOptions().find(name);
        if (handler == valueOptions().end()) {
            error = "unknown argument '" + argument + "'";
            return false;
        }
        std::string value;
        if (name.size() < argument.size()) {
            value = argument.substr(name.size() + 1);
        } else if (index + 1 < arguments.size() && arguments[index + 1].rfind("--", 0) != 0) {
            value = arguments[++index];
        } else {
            error = "missing value for " + name;
            return false;
        }
        if (!handler->second(value, options, error)) {
            return false;
        }
    }
    return placementsAgree(options.placements, error);
}

std::string inventoryUsage() {
    return "Usage: ipmi-inventory [--component ID]... [--pci "
           "VENDOR:DEVICE:SUBVENDOR:SUBDEVICE]...\n"
           "                      [--format table|xml|json] [--virtual-server FILE]\n"
           "                      [--workdir DIR] [--place FILE=DEST]... [--update-record "
           "PACKAGE]\n"
           "                      [--verbose] [--version] [--help]\n"
           "\n"
           "Lists the firmware and software components the management controller has on\n"
           "record. With --component or --pci (each repeatable) only the matching records\n"
           "are listed, once per matching filter. A run waits for the controller by design\n"
           "and takes a minute or more on a real server.\n"
           "\n"
           "  --component ID   select records by component id\n"
           "  --pci V:D:SV:SD  select PCI devices by vendor, device, sub-vendor and\n"
           "                   sub-device id, as the controller reports them\n"
           "  --format FORMAT  table (default), xml or json\n"
           "  --virtual-server FILE\n"
           "                   ask the virtual server that FILE describes (for example\n"
           "                   vserver/servers/default.xml) instead of this machine\n"
           "  --workdir DIR    run the plug-in in DIR, which receives its data files\n"
           "                   (ErrorCodes.xml, the udev rules) and its logs; by default\n"
           "                   /var/lib/ipmiinventory when installed\n"
           "  --place FILE=DEST\n"
           "                   before listing, place FILE into the controller's static\n"
           "                   partition: DEST is NN/PATH, PATH on partition NN (21 is\n"
           "                   VSK021); repeatable, files too large for one drop box go\n"
           "                   in chunks; every file is checked by digest afterwards\n"
           "  --update-record PACKAGE\n"
           "                   before listing, write the record of the component the\n"
           "                   package description PACKAGE (a package.xml) describes\n"
           "                   into the controller's record store, with the system id\n"
           "                   that getSystemId in the work directory prints\n"
           "  -v, --verbose    one line per step on stderr, with the seconds since the\n"
           "                   start (on by default when stderr is a terminal)\n"
           "  --version        show the version\n"
           "  -h, --help       show this help\n"
           "\n"
           "Exit status:\n"
           "  0  records listed, or the controller answered that it has no embedded\n"
           "     storage (nothing to report; a line on stderr says so)\n"
           "  1  the run failed (the reason on stderr; with --format json the \"error\"\n"
           "     object): no usable IPMI device, no answer, not root, an output that\n"
           "     cannot be written, a failed placement or record update; also records\n"
           "     read before a later step failed (listed with the error)\n"
           "  2  a bad argument\n"
           "  3  the server description given with --virtual-server cannot be used\n"
           "  128+N  stopped by signal N after the run was finished and cleaned up\n"
           "\n"
           "Files written in the work directory: IPMIInventoryLog.txt (emptied by each\n"
           "run), commands-stderr.log (what the programs the plug-in runs wrote on\n"
           "stderr); with a file named zebdebuglog there also QUIB_DBG.log, kvoipmi.log\n"
           "and kvoipmi_internal.log (appended). While a run works the plug-in also uses\n"
           "/tmp/SECUPD, /dev/secvskupd-SECUPD and the udev rules in /etc/udev/rules.d,\n"
           "and removes them afterwards.\n";
}
