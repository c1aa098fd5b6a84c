#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"

namespace {

constexpr int kLastRow = VESK_PART_COUNT - 1;

}  // namespace

bool secureVesk::DetachVeskPartition(const std::string& label) {
    return DetachVeskPartition(getPartIndex(label));
}

bool secureVesk::DetachVeskPartition(int partIndex) {
    return guard(false, __FILE__, __LINE__, [&] {
        if (partIndex < 0 || partIndex > kLastRow) {
            logVeskMsg(__FILE__, __LINE__, "Invalid Vesk partition specfied");
            raiseQuibError(QUIB_INVALID_PARTITION);
        }
        const spartInfo& row = veskPartInfo[partIndex];
        if (!row.present) {
            logVeskMsg(__FILE__, __LINE__, "Vesk partition is not present.");
            raiseQuibError(QUIB_INVALID_PARTITION);
        }
        if (!DetachPartition(row.attachMask, 0, partIndex, false)) {
            logVeskMsg(__FILE__, __LINE__, "Vesk partition did not got detached.");
            raiseQuibError(QUIB_DETACH_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "Vesk partition got detached.");
        return true;
    });
}
