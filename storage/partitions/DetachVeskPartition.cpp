#include "storage/SecureVesk.h"
#include "storage/partitions/VeskPartInfo.h"

bool secureVesk::DetachVeskPartition(const std::string& label) {
    return DetachVeskPartition(getPartIndex(label));
}

bool secureVesk::DetachVeskPartition(int partIndex) {
    return guard(false, __FILE__, __LINE__, [&] {
        const spartInfo& row = presentRow(partIndex);
        if (!DetachPartition(row.attachMask, 0, partIndex, false)) {
            logVeskMsg(__FILE__, __LINE__, "Vesk partition did not got detached.");
            raiseQuibError(QUIB_DETACH_FAILED);
        }
        logVeskMsg(__FILE__, __LINE__, "Vesk partition got detached.");
        return true;
    });
}
