#pragma once

#include "baseutils/KvoEnvironmentInfo.h"
#include "baseutils/KvoString.h"
#include "kvoipmi/IKvoIPMIDriverManager.h"

// Loads the missing IPMI kernel modules with modprobe and unloads exactly
// those again with rmmod when released. Does nothing on VMware ESX and ESXi.
class DriverManager : public IKvoIPMIDriverManager {
public:
    DriverManager();
    ~DriverManager() override;
    DriverManager(const DriverManager&) = delete;
    DriverManager& operator=(const DriverManager&) = delete;

    // 0 when the drivers are present, were loaded, or the host is ESX/ESXi;
    // 1 when every one of the three modules had to be loaded and none loaded.
    unsigned int IsIPMIDriverAvailable() override;
    unsigned int ReleaseIPMIDriver() override;

    // Raw system() statuses; 0 means loaded / success.
    int IsDriverAvailable(KvoString module);
    int LoadDriver(KvoString module);
    unsigned int LoadIPMIDriver();
    int ReleaseDriver(KvoString module);

private:
    bool IsVMwareHost(bool esxiOnly);

    bool mDevIntfLoaded;
    bool mMsgHandlerLoaded;
    bool mSILoaded;
    bool mDriversAvailable;
    bool mLoadAttempted;
    KvoEnvironmentInfo mEnvironment;
};
