#include "storage/IPMIRequest.h"
#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"

namespace {

constexpr unsigned char kStaticSlot = 0x00;
constexpr unsigned char kDynamicSlot = 0x80;
constexpr int kQueriedSlots = 8;
constexpr std::size_t kLabelLength = 6;

unsigned short wireOrderMask(int slot) {
    return secureVesk::swapBytes(static_cast<unsigned short>(1u << slot));
}

}  // namespace

std::string partitionInfoLabel() {
    std::string label;
    for (unsigned k = 5; k < 5 + kLabelLength; ++k) {
        label += static_cast<char>(responseByte(IPMIReqBuf, k));
    }
    return label;
}

void secureVesk::requireCatalogueSession() {
    if (!IsSessionActive()) {
        logVeskMsg(__FILE__, __LINE__, "VESK session not started");
        raiseQuibError(QUIB_NO_SESSION);
    }
}

// One "GetPartitionInfo" of a static (0x00) or dynamic (0x80) slot; the
// answer stays in IPMIReqBuf.
bool secureVesk::requestPartitionInfo(unsigned char kind, int slot) {
    clearRecord(IPMIReqBuf);
    sendHandle(&requestByte(IPMIReqBuf, 0));
    requestByte(IPMIReqBuf, 3) = kind;
    requestByte(IPMIReqBuf, 4) = static_cast<unsigned char>(slot);
    return IPMIRequest(VESK_GET_PARTITION_INFO, &IPMIReqBuf, 9, 14) == 0;
}

// One "Getpartitionindexinfo"; on success both bitmaps are stored.
bool secureVesk::readPartitionBitmaps() {
    requireCatalogueSession();
    clearRecord(IPMIReqBuf);
    sendHandle(&requestByte(IPMIReqBuf, 0));
    if (IPMIRequest(VESK_GET_PARTITION_INDEX_INFO, &IPMIReqBuf, 7, 13) != 0) {
        return false;
    }
    session.staticPartBitmap = static_cast<unsigned short>((responseByte(IPMIReqBuf, 3) << 8) |
                                                           responseByte(IPMIReqBuf, 4));
    session.dynPartBitmap = static_cast<unsigned short>((responseByte(IPMIReqBuf, 7) << 8) |
                                                        responseByte(IPMIReqBuf, 8));
    return true;
}

unsigned short secureVesk::getPartIndexInfo() {
    return guard<unsigned short>(0, __FILE__, __LINE__, [&] {
        readPartitionBitmaps();
        return session.staticPartBitmap;
    });
}

unsigned short secureVesk::getDynPartIndexInfo() {
    return guard<unsigned short>(0, __FILE__, __LINE__, [&] {
        readPartitionBitmaps();
        return session.dynPartBitmap;
    });
}

bool secureVesk::getPartInfo(unsigned short bitmap) {
    return guard(false, __FILE__, __LINE__, [&] {
        requireCatalogueSession();
        for (int slot = 0; slot < kQueriedSlots; ++slot) {
            if ((bitmap & (1u << slot)) == 0) {
                continue;
            }
            if (!requestPartitionInfo(kStaticSlot, slot)) {
                continue;
            }
            std::string label = partitionInfoLabel();
            int index = getPartIndex(label);
            // A label such as ABC999 parses beyond the catalogue's last row.
            if (index == 0 || index >= VESK_PART_COUNT) {
                if (bVeskDebugLog) {
                    logVeskMsg(
                        __FILE__, __LINE__,
                        "The partition name [" + label + "]is inconsistent with the standard.");
                }
                continue;
            }
            veskPartInfo[index].attachMask = wireOrderMask(slot);
            veskPartInfo[index].present = 1;
        }
        return true;
    });
}

bool secureVesk::getDynPartInfo(unsigned short bitmap) {
    return guard(false, __FILE__, __LINE__, [&] {
        requireCatalogueSession();
        int slot = 0;
        while (slot < kQueriedSlots && (bitmap & (1u << slot)) == 0) {
            ++slot;
        }
        if (slot == kQueriedSlots) {
            return true;
        }
        if (requestPartitionInfo(kDynamicSlot, slot)) {
            veskPartInfo[0].attachMask = wireOrderMask(slot);
            veskPartInfo[0].present = 1;
        }
        return true;
    });
}
