#pragma once

#include "baseutils/KvoString.h"

// Operating-system name codes the environment detection sets.
enum KvoOSNameCode : unsigned int {
    KvoOSUnknown = 0,
    KvoOSVMwareESX = 18,
    KvoOSVMwareESXi = 19,
};

// What is known about the host operating system.
class KvoOperatingSystemVersion {
public:
    KvoOperatingSystemVersion();
    virtual ~KvoOperatingSystemVersion();

    virtual KvoString GetVersion() = 0;
    virtual int Initialize() = 0;

    unsigned int GetName() const { return mName; }
    unsigned int GetArchitecture() const { return mArchitecture; }
    unsigned int GetType() const { return mType; }
    unsigned int GetVendorName() const { return mVendorName; }
    void SetVersionNumbers(int major, int minor, int build, int revision);

protected:
    unsigned int mName;
    unsigned int mArchitecture;
    unsigned int mType;
    unsigned int mVendorName;
    KvoString mVersionText;
    int mMajor;
    int mMinor;
    int mBuild;
    int mRevision;
};
