#include "vserver/SimulatedServer.h"

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
      controller_(description.controller),
      installed_(host_) {
    if (description.host.sgLoaded) {
        kernel_.loadModule("sg");
    }
    controller_.images().setPartitionTable(description.host.partitionTable);
    controller_.setPresenter(&disks_);
    kernel_.attachController(&controller_);
}
