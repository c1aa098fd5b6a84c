#pragma once

#include <stdexcept>
#include <string>

#include "vserver/ManagementController.h"

// What a server description says about the host the plug-in runs on.
struct HostConfig {
    bool scsiGenericSysfs = true;  // /sys/class/scsi_generic lists the sg nodes
    bool sgLoaded = true;          // the sg module is loaded at start
    unsigned fixedDisks = 1;       // non-USB disks before the USB ones
    unsigned settleSeconds = 0;    // virtual seconds from attach until a disk shows
    bool partitionTable = false;   // presented images start with a partition table

    // The operating system: redhat, centos, xenserver, suse, nimbl, tarsk,
    // nimbl-new, esx3, esx4, esx41 or esxi (its release files and kernel).
    std::string os = "redhat";
    bool udevadm = true;             // /sbin/udevadm is there
    std::string halDaemon = "none";  // none, stopped or running
    bool usbArbitrator = false;      // VMware's USB arbitrator service runs
    std::string procScsi;            // text of /proc/scsi/scsi
    std::string systemId = "0A1B";   // what getSystemId prints; empty: no such program
    // The IPMI drivers: loaded at start; unloaded (the plug-in loads them);
    // absent (no management controller: ipmi_si does not load).
    std::string ipmi = "loaded";
};

// A server described by an XML file under vserver/servers/.
struct ServerDescription {
    std::string name;
    std::string description;
    ControllerConfig controller;
    HostConfig host;
};

// Why a description cannot be used, and on which line (0: none).
class ServerDescriptionError : public std::runtime_error {
public:
    ServerDescriptionError(const std::string& reason, int line);
    int line() const { return line_; }

private:
    int line_;
};

// Reads a server description; throws ServerDescriptionError with the reason
// when the file cannot be read or says something the model cannot take.
ServerDescription loadServerDescription(const std::string& path);
ServerDescription parseServerDescription(const std::string& xmlText);

// The bundled descriptions' folder in the source tree.
std::string bundledServersDirectory();
