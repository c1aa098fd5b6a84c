#include <cctype>

#include "baseutils/HostPort.h"
#include "storage/IPMIRequest.h"
#include "storage/OsType.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"

namespace {

constexpr int kLastRow = VESK_PART_COUNT - 1;
constexpr int kDetachAllRow = 1;
// Slots 0 to 7 in wire order: the bytes 0x00, 0xFF.
constexpr unsigned short kAllSlots = 0xFF00;
constexpr std::size_t kScsiListingBytes = 1024;
constexpr int kRescanTries = 5;
constexpr unsigned kRescanPauseSeconds = 2;
const char* const kRescan = "esxcli storage filesystem rescan";
const char* const kRescanAdapters =
    "for i in `/usr/sbin/esxcfg-scsidevs -A | /bin/awk '{print $1}' | uniq` ; do "
    "/usr/sbin/esxcfg-rescan $i &> /dev/null ; done";

struct ScsiField {
    const char* name;
    std::size_t offset;  // from the start of the name to the value
};

// "Host: scsi2 Channel: 00 Id: 00 Lun: 00": the host number follows the
// four letters of the adapter name.
const ScsiField kScsiAddress[] = {{"Host: ", 10}, {"Channel: ", 9}, {"Id: ", 4}, {"Lun: ", 5}};

// Two characters of a field, or empty when they are not a number: the value
// is put into a shell command.
std::string scsiValue(const std::string& listing, const ScsiField& field) {
    std::size_t at = listing.find(field.name);
    if (at == std::string::npos || at + field.offset >= listing.size()) {
        return "";
    }
    std::string value = listing.substr(at + field.offset, 2);
    while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
        value.pop_back();
    }
    for (char c : value) {
        if (!std::isdigit(static_cast<unsigned char>(c))) {
            return "";
        }
    }
    return value;
}

void removeScsiEntry(const std::string& label, const std::string& pattern) {
    std::string command = "/bin/cat /proc/scsi/scsi | /bin/sed -n '/" + pattern + "/{g;1!p;};h'";
    std::string listing;
    if (!hostPort().popen(command, kScsiListingBytes, listing) || listing.empty()) {
        return;
    }
    logVeskMsg(__FILE__, __LINE__, "HBTL (" + label + " ): " + listing);
    std::string values[4];
    for (int i = 0; i < 4; ++i) {
        values[i] = scsiValue(listing, kScsiAddress[i]);
    }
    logVeskMsg(__FILE__, __LINE__,
               "HBTL (" + values[0] + ", " + values[1] + ", " + values[2] + ", " + values[3] + ")");
    for (const std::string& value : values) {
        if (value.empty()) {
            logVeskMsg(__FILE__, __LINE__, "SCSI address not understood, entry left in place");
            return;
        }
    }
    hostPort().system("echo \"scsi remove-single-entry " + values[0] + " " + values[1] + " " +
                      values[2] + " " + values[3] + "\" > /proc/scsi/scsi");
}

}  // namespace

bool secureVesk::DetachPartition(unsigned short staticMask, unsigned short dynMask, int partIndex,
                                 bool logFailure) {
    auto detach = [&] {
        clearRecord(IPMIReqBuf);
        if (!IsSessionActive()) {
            logVeskMsg(__FILE__, __LINE__, "DetachPartition called with NO active session");
            raiseQuibError(QUIB_NO_SESSION);
        }
        if (staticMask != 0) {
            if (partIndex < 0 || partIndex > kLastRow) {
                logVeskMsg(__FILE__, __LINE__, "Invalid partition Id specfied");
                raiseQuibError(QUIB_INVALID_PARTITION);
            }
            if (!unmountStatPartition(veskPartInfo[partIndex].partLabel)) {
                logVeskMsg(__FILE__, __LINE__, "umountStatPartition volumeLabel NOT found");
            }
        }
        if (dynMask != 0 && !unmountDynPartition()) {
            logVeskMsg(__FILE__, __LINE__, "umountDynPartition failed.");
        }
        if (!sendPartitionMasks(VESK_DETACH_PARTITIONS, staticMask, dynMask)) {
            if (logFailure) {
                logVeskMsg(__FILE__, __LINE__, "DetachPartitions IPMI Request failed");
            }
            raiseQuibError(QUIB_DETACH_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "DetachPartitions IPMI Request succeeded");
        session.staticPartBitmap &= static_cast<unsigned short>(~staticMask);
        // A dynamic-only detach does not check the row; a bad one names nothing.
        if (partIndex >= 0 && partIndex <= kLastRow) {
            veskPartInfo[partIndex].mountPoint.clear();
        }
        logVeskMsg(__FILE__, __LINE__, "DetachPartition succeeded");
        ESX_RemoveEntries(staticMask, dynMask, partIndex);
        CleanMountedPartition();
        return true;
    };
    return guardRaised(false, __FILE__, __LINE__, detach,
                       [&](unsigned char) {
                           if (logFailure) {
                               logVeskMsg(__FILE__, __LINE__, "DetachPartition failed");
                           }
                           return false;
                       },
                       {"DetachPartition failed", "QUIB internal error"});
}

bool secureVesk::DetachAll() {
    return guard(false, __FILE__, __LINE__, [&] {
        clearRecord(IPMIReqBuf);
        if (!IsSessionActive()) {
            logVeskMsg(__FILE__, __LINE__, "DetachPartition called with NO active session");
            raiseQuibError(QUIB_NO_SESSION);
        }
        if (!unmountStatPartition(veskPartInfo[kDetachAllRow].partLabel)) {
            logVeskMsg(__FILE__, __LINE__, "umountStatPartition volumeLabel NOT found");
        }
        if (!unmountDynPartition()) {
            logVeskMsg(__FILE__, __LINE__, "umountDynPartition failed.");
        }
        if (!sendPartitionMasks(VESK_DETACH_PARTITIONS, kAllSlots, kAllSlots)) {
            raiseQuibError(QUIB_DETACH_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "DetachPartitions IPMI Request succeeded");
        session.staticPartBitmap &= 0x00FF;
        veskPartInfo[kDetachAllRow].mountPoint.clear();
        logVeskMsg(__FILE__, __LINE__, "DetachPartition succeeded");
        ESX_RemoveEntries(kAllSlots, kAllSlots, kDetachAllRow);
        CleanMountedPartition();
        return true;
    });
}

void secureVesk::ESX_RemoveEntries(unsigned short staticMask, unsigned short dynMask,
                                   int partIndex) {
    if (osType == ESX) {
        std::string label =
            partIndex >= 0 && partIndex <= kLastRow ? veskPartInfo[partIndex].partLabel : "";
        logVeskMsg(__FILE__, __LINE__, "Removing " + label + " from /proc/scsi/scsi");
        std::string pattern = staticMask != 0 ? label : dynMask != 0 ? dynDriveName : "";
        removeScsiEntry(label, pattern);
    } else if (osType == ESX4) {
        hostPort().system(kRescanAdapters);
    }
    logVeskMsg(__FILE__, __LINE__, "done");
}

void secureVesk::CleanMountedPartition() {
    if (osType != ESXi) {
        return;
    }
    for (int attempt = 1; attempt <= kRescanTries; ++attempt) {
        logVeskMsg(__FILE__, __LINE__, "Running Rescan command to remove stale folder name : Try");
        if (hostPort().system(kRescan) == 0) {
            if (hostPort().system("ls /vmfs/volumes/ | grep " + dynDriveName +
                                  " > /dev/null 2>&1") != 0) {
                logVeskMsg(__FILE__, __LINE__, dynDriveName + " Removed");
                break;
            }
        } else {
            logVeskMsg(__FILE__, __LINE__, "Rescan Failed.");
        }
        if (attempt < kRescanTries) {
            hostPort().sleepSeconds(kRescanPauseSeconds);
        }
    }
    logVeskMsg(__FILE__, __LINE__, "Leaving CleanMountedPartition");
}
