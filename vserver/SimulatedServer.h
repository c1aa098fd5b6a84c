#pragma once

#include <string>

#include "vserver/EmulatedKernel.h"
#include "vserver/EsxiDatastores.h"
#include "vserver/HostPrograms.h"
#include "vserver/ManagementController.h"
#include "vserver/MountPrograms.h"
#include "vserver/ServerDescription.h"
#include "vserver/UsbDisks.h"
#include "vserver/VirtualServer.h"

// A whole virtual server built from a description: the host with its
// emulated kernel, the controller behind the OpenIPMI device, the USB disks
// through which the controller shows its partitions and the shell's mount
// programs for them. While it lives it is the plug-in's host port.
class SimulatedServer {
public:
    explicit SimulatedServer(const ServerDescription& description);

    SimulatedServer(const SimulatedServer&) = delete;
    SimulatedServer& operator=(const SimulatedServer&) = delete;

    VirtualServer& host() { return host_; }
    EmulatedKernel& kernel() { return kernel_; }
    ManagementController& controller() { return controller_; }
    UsbDisks& disks() { return disks_; }
    MountPrograms& mounts() { return mounts_; }
    HostServices& services() { return services_; }

    // Back to the state the server had when it was built: every file,
    // module, disk, mount, controller state and the clock as new, nothing
    // recorded, so that one server serves many runs as if each had its own.
    void reset();

private:
    VirtualServer host_;
    EmulatedKernel kernel_;
    UsbDisks disks_;
    MountPrograms mounts_;
    EsxiDatastores datastores_;
    HostServices services_;
    HostServices initialServices_;
    ManagementController controller_;
    ScopedHostPort installed_;
};
