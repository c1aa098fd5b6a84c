#pragma once

#include <string>

#include "vserver/HostPrograms.h"

class VirtualServer;
struct HostConfig;

// Whether the host operating system is one a description may name.
bool knownHostSystem(const std::string& os);

// Lays out the virtual host's system files as the description's host has
// them: release files, the kernel name, udev rules directories and tools,
// the hal init script, /proc/scsi/scsi; and sets its services.
void prepareHostSystem(VirtualServer& server, const HostConfig& host, HostServices& services);
