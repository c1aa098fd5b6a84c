#include "vserver/HostSystem.h"

#include <sys/stat.h>

#include <map>

#include "vserver/ServerDescription.h"
#include "vserver/VirtualServer.h"

namespace {

struct SystemFiles {
    const char* kernel;
    const char* release;
    std::vector<std::pair<const char*, const char*>> files;
};

const std::map<std::string, SystemFiles>& systems() {
    static const std::map<std::string, SystemFiles> table = {
        {"redhat",
         {"Linux",
          "4.18.0-513.el8.x86_64",
          {{"/etc/redhat-release", "Red Hat Enterprise Linux release 8.9 (Ootpa)\n"}}}},
        {"centos",
         {"Linux",
          "3.10.0-1160.el7.x86_64",
          {{"/etc/redhat-release", "CentOS Linux release 7.9.2009 (Core)\n"}}}},
        {"xenserver",
         {"Linux",
          "4.19.0+1",
          {{"/etc/redhat-release", "XenServer release 8.2.1 (xenenterprise)\n"}}}},
        {"suse",
         {"Linux",
          "4.12.14-122.37-default",
          {{"/etc/SuSE-release", "SUSE Linux Enterprise Server 12 (x86_64)\nVERSION = 12\n"}}}},
        {"nimbl",
         {"Linux", "5.10.0", {{"/VERSION", "NIMBL_MAJOR_VERSION=2\nNIMBL_MINOR_VERSION=4\n"}}}},
        {"tarsk", {"Linux", "5.10.0", {{"/VER_INFO", "TARSK_MAJOR_VERSION=3\n"}}}},
        {"nimbl-new",
         {"Linux",
          "5.14.0",
          {{"/etc/redhat-release", "Tarsk release 4\n"},
           {"/nimbl-version", "NIMBL_MAJOR_VERSION=4\nNIMBL_MINOR_VERSION=1\n"}}}},
        {"esx3",
         {"Linux", "2.4.21-57.ELvmnix", {{"/etc/vmware-release", "VMware ESX Server 3 (Dali)\n"}}}},
        {"esx4",
         {"Linux", "2.6.18-128.ESX", {{"/etc/vmware-release", "VMware ESX 4.0 (Kandinsky)\n"}}}},
        {"esx41",
         {"Linux", "2.6.18-194.ESX", {{"/etc/vmware-release", "VMware ESX 4.1 (Kandinsky)\n"}}}},
        {"esxi", {"VMkernel", "7.0.3", {}}},
    };
    return table;
}

}  // namespace

bool knownHostSystem(const std::string& os) {
    return systems().count(os) != 0;
}

void prepareHostSystem(VirtualServer& server, const HostConfig& host, HostServices& services) {
    const SystemFiles& system = systems().at(host.os);
    server.setUname(system.kernel, system.release);
    for (const auto& [path, content] : system.files) {
        server.writeFile(path, content);
    }
    for (const char* directory : {"/etc/udev/rules.d", "/lib/udev/rules.d", "/run/udev/rules.d",
                                  "/etc/init.d", "/sbin", "/proc/scsi"}) {
        server.makeDirectory(directory);
    }
    if (host.os == "esxi") {
        server.makeDirectory("/vmfs/volumes");
    }
    if (host.udevadm) {
        server.writeFile("/sbin/udevadm", "#!/bin/sh\n");
        ::chmod(server.resolve("/sbin/udevadm").c_str(), 0755);
    }
    if (host.halDaemon != "none") {
        server.writeFile("/etc/init.d/haldaemon", "#!/bin/sh\n");
        ::chmod(server.resolve("/etc/init.d/haldaemon").c_str(), 0755);
    }
    services.halDaemonRunning = host.halDaemon == "running";
    services.usbArbitratorRunning = host.usbArbitrator;
    server.writeFile("/proc/scsi/scsi",
                     host.procScsi.empty() ? "Attached devices:\n" : host.procScsi);
}
