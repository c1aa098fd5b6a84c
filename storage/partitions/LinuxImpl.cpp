#include "storage/partitions/LinuxImpl.h"

#include <dlfcn.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <strings.h>
#include <algorithm>
#include <cctype>
#include <fstream>

#include "baseutils/HostPort.h"
#include "baseutils/Logger.h"

bool CLinuxImpl::bUSBBlocklistCheckDone = false;
bool CLinuxImpl::bUSBDriverNotLoaded = false;
bool CLinuxImpl::bUSBDriverLoadedByZeb = false;
bool CLinuxImpl::bZurlAlreadyInstalled = false;
std::int32_t CLinuxImpl::nZurlInstallRefCount = 0;

namespace {

const char* const kZurlDirectory = "/opt/brenn/zeb64/lib/";
const char* const kZurlDirectoryESXi = "/scratch/opt/brenn/zeb/lib/";
const char* const kZurlLibraries[] = {"libplimx64.so", "libplimx.so"};
const char* const kESXReleaseFile = "/etc/vmware-release";
constexpr int kUnloadAttempts = 59;

void Log(const char* file, unsigned line, const std::string& message) {
    CLogger::GetInstance()->log(file, line, message);
}

}  // namespace

bool CLinuxImpl::isESXiSystem() {
    struct utsname names;
    if (hostPort().uname(&names) != 0) {
        return false;
    }
    return strcasecmp(names.sysname, "VMkernel") == 0;
}

bool CLinuxImpl::isESXSystem() {
    std::ifstream release(hostPort().resolve(kESXReleaseFile));
    if (!release.is_open()) {
        return false;
    }
    std::string line;
    std::getline(release, line);
    std::transform(line.begin(), line.end(), line.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (line.find("vmware esx server 3") != std::string::npos) {
        Log(__FILE__, __LINE__, "getLinuxOSVer: ESX 3 Found");
        return true;
    }
    if (line.find("vmware esx 4.1") != std::string::npos ||
        line.find("vmware esx 4") != std::string::npos) {
        Log(__FILE__, __LINE__, "getLinuxOSVer: ESX 4 Found");
        return true;
    }
    Log(__FILE__, __LINE__, "getLinuxOSVer: Unrecognized VMWare Found");
    return false;
}

bool CLinuxImpl::isUSBStorageStaticallyLinked() {
    Log(__FILE__, __LINE__, " CLinuxImpl::isUSBStorageStaticallyLinked Start");
    if (ExecuteCmd("grep -i \"usb[-_]storage.ko\" /lib/modules/$(uname -r)/modules.builtin  > "
                   "/dev/null 2>&1",
                   false, 0) == 0) {
        Log(__FILE__, __LINE__,
            "CLinuxImpl::isUSBStorageStaticallyLinked usb_storage is built with kernel");
        return true;
    }
    Log(__FILE__, __LINE__, " CLinuxImpl::isUSBStorageStaticallyLinked End");
    return false;
}

bool CLinuxImpl::isUSBblocklisted() {
    Log(__FILE__, __LINE__, " CLinuxImpl::isUSBblocklisted Start");
    if (isESXiSystem() || isESXSystem()) {
        Log(__FILE__, __LINE__, " CLinuxImpl::Skipping USB blocklisting check for ESXi and ESX");
        return false;
    }
    if (isUSBStorageStaticallyLinked()) {
        return false;
    }
    if (bUSBBlocklistCheckDone) {
        Log(__FILE__, __LINE__,
            " CLinuxImpl::isUSBblocklisted check has already been performed earlier.");
        Log(__FILE__, __LINE__, " CLinuxImpl::isUSBblocklisted End");
        return bUSBDriverNotLoaded;
    }
    Log(__FILE__, __LINE__,
        " CLinuxImpl::isUSBblocklisted check is being done for the first time.");
    const std::string check = "lsmod | grep usb_storage  > /dev/null 2>&1";
    if (ExecuteCmd(check, false, 0) == 0) {
        Log(__FILE__, __LINE__,
            "CLinuxImpl::isUSBblocklisted usb_storage module is already present.");
    } else if (ExecuteCmd("modprobe usb_storage  > /dev/null 2>&1", false, 0) == 0 &&
               ExecuteCmd(check, false, 0) == 0) {
        Log(__FILE__, __LINE__,
            "CLinuxImpl::isUSBblocklisted loading usb_storage module is successful.");
        bUSBDriverLoadedByZeb = true;
    } else {
        Log(__FILE__, __LINE__,
            "CLinuxImpl::isUSBblocklisted usb_storage module is not loaded. Attempt to load it "
            "was unsuccessful.");
        bUSBDriverNotLoaded = true;
    }
    Log(__FILE__, __LINE__, " CLinuxImpl::isUSBblocklisted End");
    bUSBBlocklistCheckDone = true;
    return bUSBDriverNotLoaded;
}

void CLinuxImpl::unloadUSB() {
    Log(__FILE__, __LINE__, " CLinuxImpl::unloadUSB Start");
    if (bUSBDriverLoadedByZeb) {
        Log(__FILE__, __LINE__, " CLinuxImpl::unloadUSB usb module need be unloaded");
        for (int attempt = 0; attempt < kUnloadAttempts; ++attempt) {
            if (ExecuteCmd("rmmod usb_storage  > /dev/null 2>&1", false, 0) == 0) {
                Log(__FILE__, __LINE__,
                    "CLinuxImpl::unloadUSB unloading usb module is successful.");
                break;
            }
            Sleep(1);
            Log(__FILE__, __LINE__,
                "CLinuxImpl::unloadUSB unloading usb module is not successful.");
        }
    } else {
        Log(__FILE__, __LINE__, " CLinuxImpl::unloadUSB is not required.");
    }
    Log(__FILE__, __LINE__, " CLinuxImpl::unloadUSB End");
    bUSBBlocklistCheckDone = false;
    bUSBDriverNotLoaded = false;
    bUSBDriverLoadedByZeb = false;
}

bool CLinuxImpl::CanOpenForReading(const std::string& displayedPath,
                                   const std::string& actualPath) {
    std::ifstream file(actualPath);
    bool exists = file.is_open();
    Log(__FILE__, __LINE__,
        "CLinuxImpl::IsFileExistsAbs() File name " + displayedPath +
            (exists ? " exist" : " doesnt exist"));
    return exists;
}

bool CLinuxImpl::IsFileExistsAbs(const std::string& path) {
    return CanOpenForReading(path, hostPort().resolve(path));
}

bool CLinuxImpl::IsFileExits(const std::string& name) {
    // The working directory is a real path of this process, not a system path.
    std::string path = getCurrentDirectory() + name;
    return CanOpenForReading(path, path);
}

std::string CLinuxImpl::getCurrentDirectory() {
    char buffer[2048];
    if (!getcwd(buffer, sizeof(buffer))) {
        // Too deep for the buffer: a relative prefix still names files here,
        // where "/" would name files in the root directory.
        return "./";
    }
    return std::string(buffer) + "/";
}

std::string CLinuxImpl::getCurrentProcessDirectory() {
    char buffer[2048];
    ssize_t length =
        readlink(hostPort().resolveEntry("/proc/self/exe").c_str(), buffer, sizeof(buffer) - 1);
    if (length <= 0) {
        Log(__FILE__, __LINE__, "CLinuxImpl::getCurrentProcessDirectory() failed via readlink");
        return getCurrentDirectory();
    }
    std::string path(buffer, static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/') + 1);
}

bool CLinuxImpl::setCurrentDirectory(const std::string& path) {
    return chdir(path.c_str()) == 0;
}

int CLinuxImpl::ExecuteCmd(const std::string& command, bool, unsigned int) {
    return hostPort().system(command);
}

int CLinuxImpl::ExecuteCmdNoWait(const std::string& command, bool flag, unsigned int timeout) {
    return ExecuteCmd(command + " &", flag, timeout);
}

void CLinuxImpl::Sleep(unsigned int seconds) {
    hostPort().sleepSeconds(seconds);
}

std::vector<std::string> CLinuxImpl::GetFileListName(const std::string& directory) {
    std::vector<std::string> names;
    if (!hostPort().listDirectory(directory, names)) {
        names.clear();
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> CLinuxImpl::GetFileList(const std::string& directory) {
    std::vector<std::string> paths;
    std::string prefix = directory.empty() || directory.back() == '/' ? directory : directory + "/";
    for (const auto& name : GetFileListName(directory)) {
        paths.push_back(prefix + name);
    }
    return paths;
}

void* CLinuxImpl::LoadLibrary(const std::string& path) {
    if (path.find('/') != std::string::npos && access(path.c_str(), F_OK) != 0) {
        return nullptr;
    }
    return dlopen(path.c_str(), RTLD_NOW);
}

void* CLinuxImpl::LoadLibrarywithoutCustomization(const std::string& path) {
    return dlopen(path.c_str(), RTLD_NOW);
}

bool CLinuxImpl::FreeLibrary(void* handle) {
    return handle && dlclose(handle) == 0;
}

void* CLinuxImpl::GetProcAddress(void* handle, const std::string& name) {
    return handle ? dlsym(handle, name.c_str()) : nullptr;
}

void* CLinuxImpl::LoadZurlLibrary(const std::string& name) {
    std::string directory = isESXiSystem() ? kZurlDirectoryESXi : kZurlDirectory;
    void* handle = LoadLibrary(directory + name);
    if (handle) {
        return handle;
    }
    Log(__FILE__, __LINE__, "LoadZurlLibrary: Unable to Load " + name + " from " + directory);
    return LoadLibrarywithoutCustomization(name);
}

bool CLinuxImpl::isZurlInstalled() {
    for (const char* library : kZurlLibraries) {
        if (void* handle = LoadZurlLibrary(library)) {
            FreeLibrary(handle);
            return true;
        }
    }
    return false;
}

// The hardware access library is installed by its own package; here only
// the bookkeeping of who asked for it is kept.
bool CLinuxImpl::InstallZurl() {
    if (!isZurlInstalled()) {
        return false;
    }
    if (nZurlInstallRefCount == 0) {
        bZurlAlreadyInstalled = true;
    }
    ++nZurlInstallRefCount;
    return true;
}

bool CLinuxImpl::UninstallZurl() {
    if (nZurlInstallRefCount > 0) {
        --nZurlInstallRefCount;
    }
    if (nZurlInstallRefCount == 0) {
        bZurlAlreadyInstalled = false;
    }
    return true;
}
