// Command-line host of the plug-in: runs an inventory and prints the records.
#include <exception>
#include <filesystem>
#include <iostream>
#include <memory>

#include "inventory/Stage_IPMIInventory.h"
#include "tools/InventoryOptions.h"
#include "tools/InventoryOutput.h"
#include "tools/WorkDirectory.h"
#include "vserver/SimulatedServer.h"

namespace {

void runInventory(const InventoryOptions& options, std::vector<CDeviceInfo*>& devices) {
    if (options.selective()) {
        GetSelectiveInventory(devices, options.components, options.pciDevices);
    } else {
        GetInventory(devices);
    }
}

}  // namespace

int main(int argc, char** argv) {
    InventoryOptions options;
    std::string error;
    if (!parseInventoryOptions(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
        std::cerr << "ipmi-inventory: " << error << " (see --help)\n";
        return 2;
    }
    if (options.help) {
        std::cout << inventoryUsage();
        return 0;
    }
    std::unique_ptr<SimulatedServer> server;
    if (!options.virtualServer.empty()) {
        try {
            // Read before the work directory changes what a relative name means.
            server = std::make_unique<SimulatedServer>(
                loadServerDescription(std::filesystem::absolute(options.virtualServer).string()));
        } catch (const ServerDescriptionError& failure) {
            std::cerr << "ipmi-inventory: " << failure.what() << "\n";
            return 2;
        } catch (const std::exception& failure) {
            // Not the argument's fault: the virtual server could not be set up here.
            std::cerr << "ipmi-inventory: cannot start the virtual server: " << failure.what()
                      << "\n";
            return 1;
        }
    }
    std::string workDirectory =
        options.workDirectory.empty() ? defaultWorkDirectory() : options.workDirectory;
    std::string failure = enterWorkDirectory(workDirectory, shippedDataDirectory());
    if (!failure.empty()) {
        std::cerr << "ipmi-inventory: " << failure << "\n";
        return 1;
    }
    ReceivedRecords records;
    runInventory(options, records.devices);
    std::cout << formatRecords(records.devices, options.format);
    if (server) {
        std::cerr << "ipmi-inventory: " << server->host().clock().elapsedMilliseconds() / 1000
                  << " s of virtual time on the virtual server\n";
    }
    return 0;
}
