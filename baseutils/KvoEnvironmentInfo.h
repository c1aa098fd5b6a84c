#pragma once

#include <memory>

#include "baseutils/Export.h"
#include "baseutils/KvoOperatingSystemVersion.h"

// The host environment; only the operating-system name code is detected
// (18 VMware ESX, 19 VMware ESXi, 0 otherwise).
class KVO_EXPORT KvoEnvironmentInfo {
public:
    KvoEnvironmentInfo();
    ~KvoEnvironmentInfo();
    KvoEnvironmentInfo(const KvoEnvironmentInfo&) = delete;
    KvoEnvironmentInfo& operator=(const KvoEnvironmentInfo&) = delete;

    // Detects the host on the first call; later calls keep the result.
    bool Initialize();

    // 0 until Initialize has run.
    unsigned int GetOSName() const;
    unsigned int GetOSArch() const;
    unsigned int GetOSType() const;
    unsigned int GetOSVendorName() const;
    // Null until Initialize has run.
    KvoOperatingSystemVersion* GetOSVersion() const;

private:
    std::unique_ptr<KvoOperatingSystemVersion> mVersion;
};
