#include "kvoipmi/LKvoIPMIDriverManager.h"

#include <string>

#include "baseutils/HostPort.h"
#include "baseutils/KvoLogger.h"

namespace {

const KvoString strLsmod("lsmod ", KvoString::KvoEncodingUTF8);
const KvoString strModprobe("modprobe ", KvoString::KvoEncodingUTF8);
const KvoString strRmmod("rmmod ", KvoString::KvoEncodingUTF8);
const KvoString strGrep("grep ", KvoString::KvoEncodingUTF8);
const KvoString strPipe(" | ", KvoString::KvoEncodingUTF8);
const KvoString strDevNull(" > /dev/null 2>&1 ", KvoString::KvoEncodingUTF8);
const KvoString strDevIntf("ipmi_devintf", KvoString::KvoEncodingUTF8);
const KvoString strMsgHndlr("ipmi_msghandler", KvoString::KvoEncodingUTF8);
const KvoString strSI("ipmi_si", KvoString::KvoEncodingUTF8);

constexpr unsigned int kOSNameESX = 18;
constexpr unsigned int kOSNameESXi = 19;
constexpr unsigned int kReleasePauseSeconds = 3;

KvoString Join(const KvoString& left, const KvoString& right) {
    KvoString result(left);
    result.append(right);
    return result;
}

}  // namespace

DriverManager::DriverManager()
    : mDevIntfLoaded(false),
      mMsgHandlerLoaded(false),
      mSILoaded(false),
      mDriversAvailable(false),
      mLoadAttempted(false) {}

DriverManager::~DriverManager() {
    ReleaseIPMIDriver();
}

bool DriverManager::IsVMwareHost(bool esxiOnly) {
    mEnvironment.Initialize();
    unsigned int name = mEnvironment.GetOSName();
    return name == kOSNameESXi || (!esxiOnly && name == kOSNameESX);
}

int DriverManager::IsDriverAvailable(KvoString module) {
    std::string command =
        Join(Join(Join(Join(strLsmod, strPipe), strGrep), module), strDevNull).GetUTF8String();
    int status = hostPort().system(command);
    KVO_LOG(KvoLogInfo, "Command %s, Exit code : %d", command.c_str(), status);
    return status;
}

int DriverManager::LoadDriver(KvoString module) {
    std::string command = Join(Join(strModprobe, module), strDevNull).GetUTF8String();
    int status = hostPort().system(command);
    KVO_LOG(KvoLogInfo, "Command : %s, exit code : %d", command.c_str(), status);
    return status;
}

int DriverManager::ReleaseDriver(KvoString module) {
    hostPort().sleepSeconds(kReleasePauseSeconds);
    std::string command = Join(Join(strRmmod, module), strDevNull).GetUTF8String();
    int status = hostPort().system(command);
    KVO_LOG(KvoLogInfo, "Releasing driver, command : %s, Exit code : %d\n", command.c_str(),
            status);
    return status;
}

unsigned int DriverManager::IsIPMIDriverAvailable() {
    if (mDriversAvailable) {
        return 0;
    }
    if (IsVMwareHost(false)) {
        KVO_LOG(KvoLogInfo,
                "Detected the system as ESX and hence blacklisting the checks for loading the "
                "driver on Linux Operating System");
        return 0;
    }
    struct Check {
        const KvoString& module;
        bool& loaded;
    };
    const Check checks[] = {
        {strMsgHndlr, mMsgHandlerLoaded}, {strDevIntf, mDevIntfLoaded}, {strSI, mSILoaded}};
    for (const Check& check : checks) {
        if (IsDriverAvailable(check.module) == 0) {
            check.loaded = true;
            KVO_LOG(KvoLogInfo, "Driver %s is loaded", check.module.GetUTF8String().c_str());
        }
    }
    if (mMsgHandlerLoaded && mDevIntfLoaded && mSILoaded) {
        mDriversAvailable = true;
        return 0;
    }
    unsigned int status = LoadIPMIDriver();
    if (status == 0) {
        mDriversAvailable = true;
    }
    return status;
}

unsigned int DriverManager::LoadIPMIDriver() {
    mLoadAttempted = true;
    int msgHandler = mMsgHandlerLoaded ? 0 : LoadDriver(strMsgHndlr);
    int devIntf = mDevIntfLoaded ? 0 : LoadDriver(strDevIntf);
    int si = mSILoaded ? 0 : LoadDriver(strSI);
    return (msgHandler != 0 && devIntf != 0 && si != 0) ? 1 : 0;
}

unsigned int DriverManager::ReleaseIPMIDriver() {
    if (!mLoadAttempted) {
        return 0;
    }
    if (IsVMwareHost(true)) {
        return 0;
    }
    struct Release {
        const KvoString& module;
        bool loaded;
    };
    const Release releases[] = {
        {strSI, mSILoaded}, {strDevIntf, mDevIntfLoaded}, {strMsgHndlr, mMsgHandlerLoaded}};
    for (const Release& release : releases) {
        if (!release.loaded) {
            ReleaseDriver(release.module);
            KVO_LOG(KvoLogInfo, "Unloaded IPMI driver %s since it is already loaded",
                    release.module.GetUTF8String().c_str());
        }
    }
    mDevIntfLoaded = false;
    mMsgHandlerLoaded = false;
    mSILoaded = false;
    mDriversAvailable = false;
    mLoadAttempted = false;
    return 0;
}
