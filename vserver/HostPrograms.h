#pragma once

#include <string>

class VirtualServer;

// What the virtual host's services say, changeable while it runs.
struct HostServices {
    bool halDaemonRunning = false;
    bool usbArbitratorRunning = false;
};

// The file and service programs of the virtual host's shell (mkdir, ln, rm,
// cp, chmod, sync, ls, sed, blockdev, udevadm, the hal init script, ps,
// esxcli), acting on the sandbox. Their state lives in services.
void addHostPrograms(VirtualServer& server, HostServices& services);
