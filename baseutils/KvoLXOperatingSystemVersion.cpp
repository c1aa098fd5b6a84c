#include "baseutils/KvoLXOperatingSystemVersion.h"

#include <strings.h>
#include <sys/stat.h>
#include <sys/utsname.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "baseutils/HostPort.h"

namespace {

const char strESXVerFile[] = "/etc/vmware-release";
const char szESXiKernel[] = "VMkernel";

constexpr int kReleaseLineLength = 1024;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

bool releaseFileNamesESX() {
    struct stat info;
    if (hostPort().stat(strESXVerFile, &info) != 0) {
        return false;
    }
    std::unique_ptr<std::FILE, FileCloser> file(
        std::fopen(hostPort().resolve(strESXVerFile).c_str(), "re"));
    if (!file) {
        return false;
    }
    char line[kReleaseLineLength + 1] = {};
    if (!std::fgets(line, sizeof(line), file.get())) {
        return false;
    }
    return std::strstr(line, "VMware ESX") != nullptr;
}

}  // namespace

KvoLXOperatingSystemVersion::KvoLXOperatingSystemVersion() = default;

KvoLXOperatingSystemVersion::~KvoLXOperatingSystemVersion() = default;

int KvoLXOperatingSystemVersion::Initialize() {
    if (releaseFileNamesESX()) {
        mName = KvoOSVMwareESX;
    }
    struct utsname system;
    if (hostPort().uname(&system) != 0) {
        return 0;
    }
    if (::strcasecmp(system.sysname, szESXiKernel) == 0) {
        mName = KvoOSVMwareESXi;
    }
    return 0;
}

KvoString KvoLXOperatingSystemVersion::GetVersion() {
    KvoString version;
    version.AppendNumber(mMajor);
    version += ".";
    version.AppendNumber(mMinor);
    version += ".";
    version.AppendNumber(mBuild);
    version += ".";
    version.AppendNumber(mRevision);
    version += "-";
    version.append(mVersionSuffix);
    return version;
}

KvoString KvoLXOperatingSystemVersion::GetVendorVersion() {
    mVendorVersion = KvoString("6.5", KvoString::KvoEncodingUTF8);
    return mVendorVersion;
}
