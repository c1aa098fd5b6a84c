#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"

namespace {

constexpr int kLastRow = VESK_PART_COUNT - 1;

}  // namespace

// The catalogue row of a static partition the controller has, or a raised 3.
const spartInfo& secureVesk::presentRow(int partIndex) {
    if (partIndex < 0 || partIndex > kLastRow) {
        logVeskMsg(__FILE__, __LINE__, "Invalid Vesk partition specfied");
        raiseQuibError(QUIB_INVALID_PARTITION);
    }
    const spartInfo& row = veskPartInfo[partIndex];
    if (!row.present) {
        logVeskMsg(__FILE__, __LINE__, "Vesk partition is not present.");
        raiseQuibError(QUIB_INVALID_PARTITION);
    }
    return row;
}

bool secureVesk::AttachVeskPartition(const std::string& label) {
    return AttachVeskPartition(getPartIndex(label));
}

bool secureVesk::AttachVeskPartition(int partIndex) {
    auto attach = [&] {
        const spartInfo& row = presentRow(partIndex);
        if (!AttachPartition(row.attachMask, 0, partIndex)) {
            logVeskMsg(__FILE__, __LINE__, "AttachVeskPartition failed");
            raiseQuibError(QUIB_ATTACH_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "AttachVeskPartition successful");
        return true;
    };
    return guardRaised(false, __FILE__, __LINE__, attach, [](unsigned char error) {
        if (error == QUIB_USB_BLOCKLISTED) {
            logVeskMsg(__FILE__, __LINE__,
                       "Throwing USBBlocklisted Error from attachvesk(PartId) partition");
            raiseQuibError(error);
        }
        if (error == QUIB_BITLOCKER_POLICY) {
            logVeskMsg(__FILE__, __LINE__, "BitLocker Policy Detected for USB");
            raiseQuibError(error);
        }
        return false;
    });
}
