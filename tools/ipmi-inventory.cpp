// Command-line host of the plug-in: runs an inventory and prints the records.
#include <exception>
#include <iostream>
#include <memory>

#include "inventory/Stage_IPMIInventory.h"
#include "tools/InventoryOptions.h"
#include "tools/InventoryOutput.h"
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
            server =
                std::make_unique<SimulatedServer>(loadServerDescription(options.virtualServer));
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
    ReceivedRecords records;
    runInventory(options, records.devices);
    std::cout << formatRecords(records.devices, options.format);
    return 0;
}
