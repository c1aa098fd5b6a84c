#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"

namespace {

constexpr std::uint64_t kUnitBytes = 32768;
// 65 536 units of 32 KiB would not fit the 16-bit unit field.
constexpr std::uint64_t kLargestRefusedSize = 0x80000000ull;
constexpr unsigned char kCreateFlags = 0x40;
constexpr int kQueriedSlots = 8;

}  // namespace

// The new partition could not be identified: delete the slot whose bit
// appeared, or leave a leftover to the next start-up, which deletes it by
// name, rather than send a delete that names no partition.
void secureVesk::deleteUnidentifiedDropBox(unsigned short before, unsigned short after) {
    unsigned short appeared = static_cast<unsigned short>(after & ~before);
    for (int slot = 0; slot < kQueriedSlots; ++slot) {
        unsigned short bit = static_cast<unsigned short>(1u << slot);
        if ((appeared & bit) == 0) {
            continue;
        }
        logVeskMsg(__FILE__, __LINE__, "Deleting created partition");
        clearRecord(IPMIReqBuf);
        sendHandle(&requestByte(IPMIReqBuf, 0));
        unsigned short mask = swapBytes(bit);
        requestByte(IPMIReqBuf, 3) = static_cast<unsigned char>(mask & 0xFF);
        requestByte(IPMIReqBuf, 4) = static_cast<unsigned char>(mask >> 8);
        if (IPMIRequest(VESK_DELETE_DYNAMIC_PARTITION, &IPMIReqBuf, 14, 9) != 0) {
            logVeskMsg(__FILE__, __LINE__, "DeleteDynamicPartition failed");
        }
        return;
    }
}

// The controller may have made the partition although its answer said
// otherwise (or never came): a partition labelled like the drop box that
// appeared since before goes, so that no drop box outlives the run.
void secureVesk::deleteDropBoxLeftBehind(unsigned short before) {
    unsigned char error = lastError;
    unsigned short appeared = static_cast<unsigned short>(getDynPartIndexInfo() & ~before);
    if (appeared != 0) {
        deleteDynPartWithName(appeared, dynDriveName);
    }
    lastError = error;
}

bool secureVesk::CreateDropBox(const std::string& /*name*/, std::uint64_t size,
                               std::uint64_t* outSize) {
    unsigned short before = 0;
    unsigned short after = 0;
    auto create = [&] {
        clearRecord(IPMIReqBuf);
        if (!IsSessionActive()) {
            logVeskMsg(__FILE__, __LINE__, "CreateDropBox called with NO active session");
            raiseQuibError(QUIB_NO_SESSION);
        }
        // Refused before anything is sent.
        if (size >= kLargestRefusedSize) {
            logVeskMsg(__FILE__, __LINE__, "QUIB size greater than 2GB");
            raiseQuibError(QUIB_DROPBOX_TOO_LARGE);
        }
        before = getDynPartIndexInfo();
        after = before;
        std::uint64_t units = (size + kUnitBytes - 1) / kUnitBytes;
        clearRecord(IPMIReqBuf);
        sendHandle(&requestByte(IPMIReqBuf, 0));
        requestByte(IPMIReqBuf, 3) = static_cast<unsigned char>(units & 0xFF);
        requestByte(IPMIReqBuf, 4) = static_cast<unsigned char>((units >> 8) & 0xFF);
        for (std::size_t i = 0; i < dynDriveName.size(); ++i) {
            requestByte(IPMIReqBuf, 5 + i) = static_cast<unsigned char>(dynDriveName[i]);
        }
        requestByte(IPMIReqBuf, 11) = kCreateFlags;
        if (IPMIRequest(VESK_CREATE_DYNAMIC_PARTITION, &IPMIReqBuf, 14, 9) != 0) {
            logVeskMsg(__FILE__, __LINE__, "CreateDropBox failed");
            raiseQuibError(QUIB_DROPBOX_CREATE_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "CreateDynamicPartition succeeded");
        after = getDynPartIndexInfo();
        if (after == before) {
            logVeskMsg(__FILE__, __LINE__, "getDynPartIndexInfo BitMap = 0. Partition Invalid");
            veskPartInfo[0].attachMask = 0;
            raiseQuibError(QUIB_NO_DYNAMIC_SLOT);
        }
        logVeskMsg(__FILE__, __LINE__, "getDynPartIndexInfo BitMap != 0. Partition is Valid");
        getDynPartInfo(static_cast<unsigned short>(after ^ before));
        if (veskPartInfo[0].attachMask == 0) {
            logVeskMsg(__FILE__, __LINE__, "DynPartInfo bitmap = 0");
            raiseQuibError(QUIB_NO_DYNAMIC_SLOT);
        }
        if (outSize != nullptr) {
            *outSize = units * kUnitBytes;
        }
        logVeskMsg(__FILE__, __LINE__, "CreateDropBox succeeded");
        return true;
    };
    auto refused = [&] {
        if (outSize != nullptr) {
            *outSize = 0;
        }
    };
    return guardRaised(
        false, __FILE__, __LINE__, create,
        [&](unsigned char error) {
            refused();
            logVeskMsg(__FILE__, __LINE__, "CreateDropBox failed");
            if (error == QUIB_NO_DYNAMIC_SLOT && after != before) {
                deleteUnidentifiedDropBox(before, after);
            } else if (error == QUIB_NO_DYNAMIC_SLOT || error == QUIB_DROPBOX_CREATE_FAILED) {
                deleteDropBoxLeftBehind(before);
            }
            if (error == QUIB_BITLOCKER_POLICY) {
                logVeskMsg(__FILE__, __LINE__, "BitLocker Policy Detected for USB");
                raiseQuibError(error);
            }
            return false;
        },
        {"CreateDropBox failed", "QUIB internal error"});
}
