#pragma once

#include "baseutils/KvoOperatingSystemVersion.h"
#include "baseutils/KvoString.h"

// The Linux form: tells VMware ESX (release file) and ESXi (kernel name) apart
// from every other host.
class KvoLXOperatingSystemVersion : public KvoOperatingSystemVersion {
public:
    KvoLXOperatingSystemVersion();
    ~KvoLXOperatingSystemVersion() override;

    int Initialize() override;
    // "major.minor.build.revision-" followed by the version suffix.
    KvoString GetVersion() override;
    KvoString GetVendorVersion();

    void SetVersionSuffix(const KvoString& suffix) { mVersionSuffix = suffix; }

private:
    KvoString mVersionSuffix;
    KvoString mVendorVersion;
};
