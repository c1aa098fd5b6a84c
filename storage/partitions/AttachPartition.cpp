#include "baseutils/HostPort.h"
#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/PlatformLayer.h"
#include "storage/partitions/VeskPartInfo.h"

namespace {

constexpr int kAttachAttempts = 5;
constexpr unsigned kAttachSettleSeconds = 10;
constexpr int kLastRow = VESK_PART_COUNT - 1;

}  // namespace

// Masks go into request bytes 3-4 and 7-8 as they are held: wire order.
bool secureVesk::sendPartitionMasks(unsigned char subCommand, unsigned short staticMask,
                                    unsigned short dynMask) {
    clearRecord(IPMIReqBuf);
    sendHandle(&requestByte(IPMIReqBuf, 0));
    requestByte(IPMIReqBuf, 3) = static_cast<unsigned char>(staticMask & 0xFF);
    requestByte(IPMIReqBuf, 4) = static_cast<unsigned char>(staticMask >> 8);
    requestByte(IPMIReqBuf, 7) = static_cast<unsigned char>(dynMask & 0xFF);
    requestByte(IPMIReqBuf, 8) = static_cast<unsigned char>(dynMask >> 8);
    return IPMIRequest(subCommand, &IPMIReqBuf, 13, 7) == 0;
}

void secureVesk::detachWhatWasAttached(unsigned short staticMask, unsigned short dynMask) {
    bool detached = staticMask != 0 ? DetachPartition(staticMask, 0, 0, false)
                                    : DetachPartition(0, dynMask, 0, false);
    if (!detached) {
        logVeskMsg(__FILE__, __LINE__, "DetachPartition failed");
    }
}

bool secureVesk::AttachPartition(unsigned short staticMask, unsigned short dynMask, int partIndex) {
    auto attach = [&] {
        if (CPlatformLayer::isUSBblocklisted()) {
            logVeskMsg(__FILE__, __LINE__, "USB is blocklisted so stop the ZEB update");
            raiseQuibError(QUIB_USB_BLOCKLISTED);
        }
        logVeskMsg(__FILE__, __LINE__, "USB not blocklisted so continue ZEB update");
        if (partIndex < 0 || partIndex > kLastRow) {
            logVeskMsg(__FILE__, __LINE__, "Invalid Partition Id specfied");
            raiseQuibError(QUIB_INVALID_PARTITION);
        }
        if (!IsSessionActive()) {
            logVeskMsg(__FILE__, __LINE__, "AttachPartition called with NO active session");
            raiseQuibError(QUIB_NO_SESSION);
        }
        for (int attempt = 1;; ++attempt) {
            if (!sendPartitionMasks(VESK_ATTACH_PARTITIONS, staticMask, dynMask)) {
                logVeskMsg(__FILE__, __LINE__, "AttachPartitions IPMI Request failed");
                raiseQuibError(QUIB_ATTACH_FAILED);
            }
            logVeskMsg(__FILE__, __LINE__, "AttachPartitions IPMI Request succeeded");
            if (staticMask != 0) {
                session.staticPartBitmap |= staticMask;
                spartInfo& row = veskPartInfo[partIndex];
                std::string drive;
                if (!getPartDrive(row.partLabel, drive)) {
                    logVeskMsg(__FILE__, __LINE__, "getPartDrive error");
                    raiseQuibError(QUIB_MOUNT_NOT_FOUND);
                }
                row.mountPoint = drive;
                logVeskMsg(__FILE__, __LINE__, "Mount Point: " + drive);
                if (mountStatPartition(row.partLabel)) {
                    logVeskMsg(__FILE__, __LINE__, "AttachPartition succeeded");
                    break;
                }
                logVeskMsg(__FILE__, __LINE__,
                           "mountStatPartition did not succeed. Detaching partition and Retrying");
                bool detached = DetachPartition(staticMask, 0, 0, false);
                logVeskMsg(__FILE__, __LINE__,
                           detached ? "DetachPartition succeeded" : "DetachPartition failed");
            } else if (dynMask == 0) {
                break;
            } else {
                if (mountDynPartition()) {
                    break;
                }
                logVeskMsg(__FILE__, __LINE__,
                           "mountDynPartition did not succeed. Detaching partition and Retrying");
                bool detached = DetachPartition(0, dynMask, 0, false);
                logVeskMsg(__FILE__, __LINE__,
                           detached ? "DetachPartition succeeded" : "DetachPartition failed");
            }
            if (attempt == kAttachAttempts) {
                raiseQuibError(QUIB_MOUNT_NOT_FOUND);
            }
        }
        logVeskMsg(__FILE__, __LINE__, "AttachPartition succeeded");
        hostPort().sleepSeconds(kAttachSettleSeconds);
        return true;
    };
    return guardRaised(false, __FILE__, __LINE__, attach,
                       [&](unsigned char error) {
                           logVeskMsg(__FILE__, __LINE__, "AttachPartition failed");
                           if (error == QUIB_USB_BLOCKLISTED) {
                               logVeskMsg(__FILE__, __LINE__, "USB Blocklisted. Update failure");
                               raiseQuibError(error);
                           }
                           if (error == QUIB_MOUNT_NOT_FOUND) {
                               detachWhatWasAttached(staticMask, dynMask);
                           }
                           if (error == QUIB_BITLOCKER_POLICY) {
                               logVeskMsg(__FILE__, __LINE__, "BitLocker Policy Detected for USB");
                               raiseQuibError(error);
                           }
                           return false;
                       },
                       {"AttachPartition failed", "QUIB internal error"});
}
