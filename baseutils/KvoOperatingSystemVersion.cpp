#include "baseutils/KvoOperatingSystemVersion.h"

KvoOperatingSystemVersion::KvoOperatingSystemVersion()
    : mName(0),
      mArchitecture(0),
      mType(0),
      mVendorName(0),
      mMajor(0),
      mMinor(0),
      mBuild(0),
      mRevision(0) {}

KvoOperatingSystemVersion::~KvoOperatingSystemVersion() = default;

void KvoOperatingSystemVersion::SetVersionNumbers(int major, int minor, int build, int revision) {
    mMajor = major;
    mMinor = minor;
    mBuild = build;
    mRevision = revision;
}
