#include <algorithm>
#include <cctype>

#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"

namespace {

constexpr unsigned char kDynamicSlot = 0x80;
constexpr int kQueriedSlots = 8;

bool equalIgnoringCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

}  // namespace

bool secureVesk::DeleteDropBox(unsigned short bitmap) {
    return guardRaised(
        false, __FILE__, __LINE__,
        [&] {
            clearRecord(IPMIReqBuf);
            if (!IsSessionActive()) {
                logVeskMsg(__FILE__, __LINE__, "DeleteDropBox called with NO active session");
                raiseQuibError(QUIB_NO_SESSION);
            }
            sendHandle(&requestByte(IPMIReqBuf, 0));
            unsigned short mask;
            if (bitmap == 0) {
                logVeskMsg(__FILE__, __LINE__, "DeleteDropBox 0 == iBitMap ");
                mask = veskPartInfo[0].attachMask;
            } else {
                logVeskMsg(__FILE__, __LINE__, "DeleteDropBox 0 != iBitMap ");
                mask = swapBytes(bitmap);
            }
            requestByte(IPMIReqBuf, 3) = static_cast<unsigned char>(mask & 0xFF);
            requestByte(IPMIReqBuf, 4) = static_cast<unsigned char>(mask >> 8);
            if (IPMIRequest(VESK_DELETE_DYNAMIC_PARTITION, &IPMIReqBuf, 11, 11) != 0) {
                logVeskMsg(__FILE__, __LINE__, "DeleteDynamicPartition failed");
                if (lastError == QUIB_BITLOCKER_POLICY) {
                    logVeskMsg(__FILE__, __LINE__, "BitLocker Policy Detected for USB");
                    raiseQuibError(QUIB_BITLOCKER_POLICY);
                }
                raiseQuibError(QUIB_DELETE_PARTITION_FAILED);
            }
            logVeskMsg(__FILE__, __LINE__, "DeleteDynamicPartition succeeded");
            logVeskMsg(__FILE__, __LINE__, "DeleteDropBox succeeded");
            return true;
        },
        [](unsigned char) {
            logVeskMsg(__FILE__, __LINE__, "DeleteDropBox failed");
            return false;
        },
        {"DeleteDropBox failed", "QUIB internal error"});
}

bool secureVesk::deleteDynPartWithName(unsigned short bitmap, const std::string& name) {
    return guard(false, __FILE__, __LINE__, [&] {
        requireCatalogueSession();
        for (int slot = 0; slot < kQueriedSlots; ++slot) {
            if ((bitmap & (1u << slot)) == 0) {
                continue;
            }
            if (!requestPartitionInfo(kDynamicSlot, slot)) {
                logVeskMsg(__FILE__, __LINE__,
                           "secureVesk::deleteDynPartWithName GetPartitionInfo failed");
                continue;
            }
            std::string label = partitionInfoLabel();
            logVeskMsg(__FILE__, __LINE__, "deleteDynPartWithName partition name = " + label);
            if (!equalIgnoringCase(label, name)) {
                continue;
            }
            bool deleted = DeleteDropBox(static_cast<unsigned short>(1u << slot));
            logVeskMsg(__FILE__, __LINE__,
                       deleted ? "deleteDynPartWithName DeleteDropBox successful"
                               : "deleteDynPartWithName DeleteDropBox failed");
            return true;
        }
        return true;
    });
}
