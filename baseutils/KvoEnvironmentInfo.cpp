#include "baseutils/KvoEnvironmentInfo.h"

#include "baseutils/KvoLXOperatingSystemVersion.h"

KvoEnvironmentInfo::KvoEnvironmentInfo() = default;

KvoEnvironmentInfo::~KvoEnvironmentInfo() = default;

bool KvoEnvironmentInfo::Initialize() {
    if (mVersion) {
        return true;
    }
    mVersion = std::make_unique<KvoLXOperatingSystemVersion>();
    mVersion->Initialize();
    return true;
}

unsigned int KvoEnvironmentInfo::GetOSName() const {
    return mVersion ? mVersion->GetName() : 0;
}

unsigned int KvoEnvironmentInfo::GetOSArch() const {
    return mVersion ? mVersion->GetArchitecture() : 0;
}

unsigned int KvoEnvironmentInfo::GetOSType() const {
    return mVersion ? mVersion->GetType() : 0;
}

unsigned int KvoEnvironmentInfo::GetOSVendorName() const {
    return mVersion ? mVersion->GetVendorName() : 0;
}

KvoOperatingSystemVersion* KvoEnvironmentInfo::GetOSVersion() const {
    return mVersion.get();
}
