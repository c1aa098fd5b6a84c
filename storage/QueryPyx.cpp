#include <sys/mount.h>
#include <sys/stat.h>

#include <strings.h>
#include <sys/utsname.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "baseutils/HostPort.h"
#include "storage/DropBoxExchange.h"
#include "storage/IPMIRequest.h"
#include "storage/OsType.h"
#include "storage/PyxConfigFile.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/LinuxEnumerateDevices.h"
#include "storage/partitions/VeskPartInfo.h"
#include "storage/partitions/psu.h"

std::vector<cfgEntry> PyxRequest;

// Texts shared with volume discovery on ESXi.
const std::string ESXi_LIST_MOUNTED_DEVICES = "ls /vmfs/volumes/ | grep ";
const std::string ESXi_DEVICE_PATH = "/vmfs/volumes/SECUPD/";

namespace {

const char* const kMountParent = "/tmp/";
const char* const kLinkPrefix = "/dev/secvskupd-";
const char* const kEsxiVolumes = "/vmfs/volumes/";
const char* const kVmwareRelease = "/etc/vmware-release";
const char* const kRedhatRelease = "/etc/redhat-release";
const char* const kSuseRelease = "/etc/SuSE-release";
const char* const kNimblVersionFile = "/VERSION";
const char* const kTarskVersionFile = "/VER_INFO";
const char* const kNewEliVersionFile = "/nimbl-version";
const char* const kRescan = "esxcli storage filesystem rescan";
const char* const kAutomount = "esxcli storage filesystem automount";
const char* const kControllerDiskOnUsb = "lsusb | grep -i 0624:0250 > /dev/null";
const char* const kBlockdevReport = "/sbin/blockdev --report /dev/sd* > /dev/null 2>&1";
const char* const kSgLoaded = "lsmod | grep -w sg >/dev/null;echo $?";
constexpr std::size_t kReleaseLineLength = 1024;
constexpr int kMountTries = 60;
constexpr int kDeviceSearchTries = 60;
constexpr unsigned kDeviceSettleSeconds = 5;
constexpr unsigned kEsxiSettleSeconds = 2;
// A busy mount point is waited for a minute, then given up.
constexpr int kBusyUnmountTries = 60;
// More stacked mounts than this on one directory are not ours.
constexpr int kStackedMountsLimit = 64;

std::string firstLine(const std::string& path) {
    std::ifstream file(hostPort().resolve(path));
    std::string line;
    std::getline(file, line);
    return line.substr(0, kReleaseLineLength - 1);
}

bool anyLineContains(const std::string& path, const std::string& text) {
    std::ifstream file(hostPort().resolve(path));
    std::string line;
    while (std::getline(file, line)) {
        if (line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

bool kernelIsVmkernel() {
    struct utsname names {};
    return hostPort().uname(&names) == 0 && strcasecmp(names.sysname, "VMkernel") == 0;
}

int run(const std::string& command) {
    return hostPort().system(command);
}

// The plug-in runs as root and mounts under the world-writable /tmp: a
// planted link or a foreign directory there would redirect the mount and
// the files written into it.
bool safeMountPoint(const std::string& directory) {
    struct stat info {};
    if (hostPort().lstat(directory, &info) != 0) {
        return errno == ENOENT;
    }
    if (S_ISDIR(info.st_mode) && info.st_uid == 0) {
        return true;
    }
    logVeskMsg(__FILE__, __LINE__,
               "Refusing to mount on " + directory + ": it is not a directory owned by root");
    return false;
}

// What stands at a mount directory under the world-writable /tmp decides
// what clean-up may do there: a directory owned by root is the plug-in's to
// unmount and remove; a link is removed, never followed (an unmount through
// it would take another file system away); anything else belongs to
// someone else and is left alone.
enum class MountDirectory { Absent, Ours, Link, Foreign };

MountDirectory mountDirectoryAt(const std::string& directory) {
    struct stat info {};
    if (hostPort().lstat(directory, &info) != 0) {
        return MountDirectory::Absent;
    }
    if (S_ISLNK(info.st_mode)) {
        logVeskMsg(__FILE__, __LINE__,
                   "Not unmounting " + directory + ": it is a link; removing the link only");
        return MountDirectory::Link;
    }
    if (S_ISDIR(info.st_mode) && info.st_uid == 0) {
        return MountDirectory::Ours;
    }
    logVeskMsg(__FILE__, __LINE__,
               "Not unmounting or removing " + directory + ": it is not a directory owned by root");
    return MountDirectory::Foreign;
}

// The device link is replaced by ln -sf, which would follow a link to a
// directory and write into it.
bool safeDeviceLink(const std::string& link) {
    struct stat info {};
    if (hostPort().lstat(link, &info) != 0) {
        return errno == ENOENT;
    }
    if (S_ISLNK(info.st_mode) && info.st_uid == 0) {
        struct stat target {};
        if (hostPort().stat(link, &target) != 0 || !S_ISDIR(target.st_mode)) {
            return true;
        }
    }
    logVeskMsg(__FILE__, __LINE__,
               "Refusing to replace " + link + ": it is not a device link owned by root");
    return false;
}

}  // namespace

bool secureVesk::getLinuxOSVer() {
    if (osType != OS_UNDETECTED) {
        logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer OS Version previously set");
        return true;
    }
    if (hostPort().setuid(0) != 0) {
        logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer:user is not root");
        storeErrorInfo(QUIB_NOT_ROOT);
        return false;
    }
    if (kernelIsVmkernel()) {
        osType = ESXi;
        logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer: ESXi Found");
        return true;
    }
    if (systemPathExists(kVmwareRelease)) {
        std::string line = firstLine(kVmwareRelease);
        if (contains(line, "VMware ESX Server 3")) {
            osType = ESX;
            logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer: ESX 3 Found");
            return true;
        }
        if (contains(line, "VMware ESX 4.1")) {
            osType = ESX4_1;
            logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer: ESX 4 Found");
            return true;
        }
        if (contains(line, "VMware ESX 4")) {
            osType = ESX4;
            logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer: ESX 4 Found");
            return true;
        }
        logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer: Unrecognized VMWare Found");
    }
    if (systemPathExists(kRedhatRelease)) {
        std::string line = firstLine(kRedhatRelease);
        if (contains(line, "Red Hat")) {
            osType = REDHAT;
            logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer REDHAT found");
            return true;
        }
        if (contains(line, "XenServer")) {
            osType = XENSERVER;
            logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer Xenserver found");
            return true;
        }
        if (systemPathExists(kNewEliVersionFile)) {
            if (anyLineContains(kNewEliVersionFile, "NIMBL_MAJOR_VERSION")) {
                osType = ELI_NEW;
                logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer: NEW ELI(TARSK) Found");
                return true;
            }
        } else if (contains(line, "Cent")) {
            osType = CENTOS;
            logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer CentOS found");
            return true;
        }
    }
    if (systemPathExists(kSuseRelease)) {
        osType = SUSE;
        logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer: SLES Found");
        return true;
    }
    if (systemPathExists(kNimblVersionFile) &&
        anyLineContains(kNimblVersionFile, "NIMBL_MAJOR_VERSION")) {
        osType = ELI;
        logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer: ELI(NIMBL) Found");
        return true;
    }
    if (systemPathExists(kTarskVersionFile) &&
        anyLineContains(kTarskVersionFile, "TARSK_MAJOR_VERSION")) {
        osType = ELI;
        logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer: ELI(TARSK) Found");
        return true;
    }
    osType = REDHAT;
    return true;
}

bool secureVesk::getPartDrive(const std::string& label, std::string& drive) {
    drive = (osType == ESXi ? kEsxiVolumes : kMountParent) + label + "/";
    return true;
}

bool secureVesk::getDynPartDrive(const std::string& name, char* buffer, std::size_t size) {
    std::snprintf(buffer, size, osType == ESXi ? "/vmfs/volumes/%s/" : "/tmp/%s/", name.c_str());
    return true;
}

bool secureVesk::isSGDriverLoaded() {
    return std::strtol(executeCmd(kSgLoaded).c_str(), nullptr, 10) == 0;
}

std::string secureVesk::getDevicePath(const std::string& label) {
    logVeskMsg(__FILE__, __LINE__, "getDevicePath: Entering");
    if (label.empty()) {
        logVeskMsg(__FILE__, __LINE__, "getDevicePath: Volume name is empty ");
        return "";
    }
    if (osType == ESXi) {
        for (int attempt = 0; attempt < kDeviceSearchTries; ++attempt) {
            logVeskMsg(__FILE__, __LINE__, "getDevicePath: going through ESXi way of mounting ");
            run(kRescan);
            if (run(kControllerDiskOnUsb) != 0) {
                continue;
            }
            logVeskMsg(__FILE__, __LINE__, "getDevicePAth: SECUPD attached on ESXi");
            run(kAutomount);
            run(kRescan);
            hostPort().sleepSeconds(kEsxiSettleSeconds);
            if (run(ESXi_LIST_MOUNTED_DEVICES + label + " > /dev/null") == 0) {
                logVeskMsg(__FILE__, __LINE__, "getDevicePath: ESXi mount path found");
                return ESXi_DEVICE_PATH;
            }
            logVeskMsg(__FILE__, __LINE__,
                       "getDevicePath: Device Not Found and Trying to Find again");
        }
    } else {
        bool sgLoaded = isSGDriverLoaded();
        if (!sgLoaded) {
            logVeskMsg(__FILE__, __LINE__, "getDevicePath: SG driver is not loaded ");
        }
        bool emulatedOnly = !sgLoaded || isClassicEsx(osType);
        for (int attempt = 0; attempt < kDeviceSearchTries; ++attempt) {
            run(kBlockdevReport);
            CLinuxEnumerateDevices devices(emulatedOnly);
            hostPort().sleepSeconds(kDeviceSettleSeconds);
            std::string device;
            if (devices.GetDeviceWithLabel(label, device)) {
                logVeskMsg(__FILE__, __LINE__, "CEnumerateDevices found a device ");
                if (!device.empty()) {
                    logVeskMsg(__FILE__, __LINE__, device);
                    return device;
                }
            }
            logVeskMsg(__FILE__, __LINE__, "Trying to find device ");
        }
    }
    logVeskMsg(__FILE__, __LINE__, "Could not find the device after all the retries ");
    return "";
}

void secureVesk::removeMountLeftovers(const std::string& label) {
    std::string directory = kMountParent + label;
    if (mountDirectoryAt(directory) != MountDirectory::Foreign) {
        run("rm -rf " + directory);
    }
    run("rm -f " + std::string(kLinkPrefix) + label);
}

bool secureVesk::mountVolume(const std::string& label, const std::string& mountOptions,
                             const std::string& redirection, const char* mountedLine) {
    std::string device = getDevicePath(label);
    if (device.empty()) {
        logVeskMsg(__FILE__, __LINE__, "Correct Volume Label not found.  Partition Not Mounted");
        return false;
    }
    if (osType == ESXi && label == dynDriveName) {
        return true;  // ESXi mounts the datastore itself
    }
    std::string directory = kMountParent + label;
    std::string link = kLinkPrefix + label;
    if (!safeMountPoint(directory)) {
        return false;
    }
    std::string mkdir = "mkdir -p " + directory;
    logVeskMsg(__FILE__, __LINE__, "Creating directory " + mkdir);
    if (run(mkdir) != 0) {
        logVeskMsg(__FILE__, __LINE__, "mkdir failed");
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "Directory Created");
    if (!safeDeviceLink(link)) {
        run("rm -rf " + directory);
        return false;
    }
    std::string ln = "ln -sf " + device + " " + link;
    logVeskMsg(__FILE__, __LINE__, "Creating Link " + ln);
    if (run(ln) != 0) {
        logVeskMsg(__FILE__, __LINE__, "Link creation failed");
        run("rm -rf " + directory);
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "Link created");
    logVeskMsg(__FILE__, __LINE__, "Mounting partition " + link + " on " + directory);
    std::string mount = "mount " + mountOptions + " " + link + " " + directory + redirection;
    logVeskMsg(__FILE__, __LINE__, mount);
    for (int attempt = 0; attempt < kMountTries; ++attempt) {
        hostPort().sleepSeconds(1);
        // Checked again before every mount: the directory could have been
        // swapped for a link since it was made.
        if (!safeMountPoint(directory)) {
            break;
        }
        if (run(mount) == 0) {
            logVeskMsg(__FILE__, __LINE__, mountedLine);
            return true;
        }
        logVeskMsg(__FILE__, __LINE__, "Mount Failed. Re-trying");
    }
    logVeskMsg(__FILE__, __LINE__, "mount failed");
    removeMountLeftovers(label);
    return false;
}

bool secureVesk::mountStatPartition(const std::string& label) {
    logVeskMsg(__FILE__, __LINE__, "mountStatPartition");
    return mountVolume(label, "-t vfat -oshortname=mixed,ro", " > /dev/null 2>&1",
                       "Partition Mounted");
}

bool secureVesk::mountDynPartition() {
    logVeskMsg(__FILE__, __LINE__, "mountDynPartition");
    return mountVolume(dynDriveName, "-n -t vfat -oshortname=mixed,rw", "",
                       "Dynamic Partition Mounted");
}

bool secureVesk::unmountStatPartition(const std::string& label) {
    logVeskMsg(__FILE__, __LINE__, "-- umountStatPartition Entry");
    if (!getLinuxOSVer()) {
        return false;
    }
    std::string directory = kMountParent + label;
    MountDirectory found = mountDirectoryAt(directory);
    if (found == MountDirectory::Ours || found == MountDirectory::Absent) {
        hostPort().umount2(directory, UMOUNT_NOFOLLOW);
        logVeskMsg(__FILE__, __LINE__, "static partition umounted.");
    }
    if (found != MountDirectory::Foreign) {
        run("rm -rf " + directory + " > /dev/null 2>&1");
    }
    run("rm -f /dev/secvskupd-* > /dev/null 2>&1");
    return true;
}

// Pops every mount stacked on the drop box directory; false when it stays
// busy.
bool secureVesk::unmountDropBoxMounts() {
    std::string directory = kMountParent + dynDriveName;
    int busyTries = 0;
    for (int mounts = 0; mounts < kStackedMountsLimit;) {
        logVeskMsg(__FILE__, __LINE__, "Unmounting dir -> " + directory);
        if (hostPort().umount2(directory, UMOUNT_NOFOLLOW) == 0) {
            logVeskMsg(__FILE__, __LINE__, "Umount Successful");
            ++mounts;
            continue;
        }
        int error = errno;
        logVeskMsg(__FILE__, __LINE__, "Umount Error Num = " + std::to_string(error));
        if (error != EBUSY) {
            return true;
        }
        if (++busyTries == kBusyUnmountTries) {
            logVeskMsg(__FILE__, __LINE__, "Drop box still busy, giving up the unmount");
            return false;
        }
        hostPort().sleepSeconds(1);
    }
    return true;
}

bool secureVesk::unmountDynPartition() {
    logVeskMsg(__FILE__, __LINE__, "-- umountDynPartition Entry");
    if (!getLinuxOSVer()) {
        logVeskMsg(__FILE__, __LINE__, "getLinuxOSVer failed");
        return false;
    }
    if (osType == ESXi) {
        logVeskMsg(__FILE__, __LINE__, "Unmount not needed for ESXi");
        return true;
    }
    std::string directory = kMountParent + dynDriveName;
    MountDirectory found = mountDirectoryAt(directory);
    bool unmounted = true;
    if (found == MountDirectory::Ours || found == MountDirectory::Absent) {
        unmounted = unmountDropBoxMounts();
    }
    // Removing the directory of a volume that is still mounted would empty
    // the volume itself.
    if (unmounted && found != MountDirectory::Foreign) {
        run("rm -rf " + directory + " > /dev/null 2>&1");
    }
    run("rm -f /dev/secvskupd-* > /dev/null 2>&1");
    return true;
}

namespace {

constexpr std::uint64_t kRecordQuerySize = 0x100000;

}  // namespace

bool secureVesk::QueryPyx(std::stringstream& out, exmlMode mode) {
    std::uint64_t size = osType == ESXi ? kEsxiDropBoxBytes : kRecordQuerySize;
    clearRecord(IPMIReqBuf);
    if (!recordRequestAccepted("QueryPyx", mode,
                               {EXML_PYX_QUERY_CURRENT_RECORDS, EXML_PYX_QUERY_HISTORY_RECORDS,
                                EXML_PYX_QUERY_EVENT_RECORDS},
                               "QueryPyx called with NO active session")) {
        return false;
    }
    cfgEntry entry = recordEntry(mode);
    entry.source = "Update.xml";
    entry.destination = "Output.xml";

    DropBoxExchange exchange{"QueryPyx",
                             size,
                             singleEntryCommandFile(entry),
                             "Update.xml Hash: ",
                             "Update.xml Content: ",
                             "Output.xml file does NOT exist",
                             "Contents of Output.xml",
                             [](const std::string&) {
                                 hostPort().system("sync");
                                 logVeskMsg(__FILE__, __LINE__, "update.xml written");
                             }};
    // The answer is the caller's as soon as it was read, even when taking
    // the drop box back or deleting it fails afterwards.
    std::string answer;
    bool exchanged = runDropBoxExchange(exchange, answer);
    out << answer;
    if (!exchanged) {
        return false;
    }
    logVeskMsg(__FILE__, __LINE__, "QueryPyx succeeded");
    return true;
}
