#include "storage/partitions/psu.h"

#include <sys/stat.h>

#include "baseutils/HostPort.h"
#include "storage/VeskLog.h"

namespace {

constexpr std::size_t kCapturedBytes = 512;

}  // namespace

std::string executeCmd(const std::string& command) {
    logVeskMsg(__FILE__, __LINE__, command);
    std::string output;
    if (!hostPort().popen(command, kCapturedBytes, output)) {
        logVeskMsg(__FILE__, __LINE__, "executeCmd : popen failed");
        return "";
    }
    output = output.substr(0, output.find('\0'));
    logVeskMsg(__FILE__, __LINE__, output);
    return output;
}

void syncAll(const std::string& mountPoint) {
    logVeskMsg(__FILE__, __LINE__, "Entering syncAll and the mount point is " + mountPoint);
    hostPort().system("sync");
    logVeskMsg(__FILE__, __LINE__, "Leaving syncAll");
}

bool systemPathExists(const std::string& path) {
    struct stat info {};
    return hostPort().stat(path, &info) == 0;
}
