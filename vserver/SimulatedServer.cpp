#include "vserver/SimulatedServer.h"

#include "vserver/HostSystem.h"
#include "vserver/SystemIdReport.h"

namespace {

UsbDiskOptions diskOptions(const HostConfig& host) {
    UsbDiskOptions options;
    options.scsiGenericSysfs = host.scsiGenericSysfs;
    options.fixedDisks = host.fixedDisks;
    options.settleSeconds = host.settleSeconds;
    return options;
}

}  // namespace

SimulatedServer::SimulatedServer(const ServerDescription& description)
    : kernel_(host_),
      disks_(host_, kernel_, diskOptions(description.host)),
      mounts_(host_, disks_),
      datastores_(host_, disks_),
      controller_(description.controller),
      installed_(host_) {
    addHostPrograms(host_, services_);
    prepareHostSystem(host_, description.host, services_);
    // The controller's disk on the USB bus, as lsusb lists it.
    host_.shell().addProgram("lsusb", [this](const std::vector<std::string>&, const std::string&) {
        std::string listing = "Bus 001 Device 001: ID 1d6b:0002 Linux Foundation 2.0 root hub\n";
        for (const UsbDisks::DiskInfo& disk : disks_.disks()) {
            if (disk.usb) {
                listing +=
                    "Bus 001 Device 002: ID 0624:0250 Avocent Corp. Virtual Keyboard/Mouse\n";
                break;
            }
        }
        return ShellResult{0, listing};
    });
    // The server's own program that tells its system id, run from the
    // plug-in's directory.
    if (!description.host.systemId.empty()) {
        std::string systemId = description.host.systemId;
        host_.shell().addProgramInEveryDirectory(
            "getSystemId", [systemId](const std::vector<std::string>&, const std::string&) {
                return ShellResult{0, systemIdReport(systemId)};
            });
    }
    if (description.host.sgLoaded) {
        kernel_.loadModule("sg");
    }
    if (description.host.ipmi != "loaded") {
        for (const char* module : {"ipmi_si", "ipmi_devintf", "ipmi_msghandler"}) {
            kernel_.unloadModule(module);
        }
        kernel_.setModprobeFails("ipmi_si", description.host.ipmi == "absent");
    }
    controller_.images().setPartitionTable(description.host.partitionTable);
    if (description.host.os == "esxi") {
        controller_.setPresenter(&datastores_);
    } else {
        controller_.setPresenter(&disks_);
    }
    kernel_.attachController(&controller_);
    initialServices_ = services_;
    host_.markInitial();
    host_.shell().markInitial();
    kernel_.markInitial();
}

// The files go back before the disks and modules: those then bring the
// files that stand for them in line.
void SimulatedServer::reset() {
    kernel_.attachController(&controller_);
    controller_.reset();
    mounts_.reset();
    host_.reset();
    disks_.reset();
    kernel_.reset();
    services_ = initialServices_;
}
