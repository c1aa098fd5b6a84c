#include "storage/DoCopy.h"

#include "baseutils/HostPort.h"
#include "baseutils/ShellArgument.h"
#include "storage/VeskLog.h"

namespace {

const char kQuiet[] = " > /dev/null";
const char kQuietWithErrors[] = " > /dev/null 2>&1";
constexpr int kShellNotRun = -1;

void logMessage(unsigned line, const std::string& message) {
    logVeskMsg(__FILE__, line, message);
}

// Creates target + each directory of relativePath below its first element:
// for 21/a/b/file, a and then a/b. A leading "/" does not count as the first.
void makeDirectories(const std::string& target, const std::string& relativePath) {
    std::string::size_type start = std::string::npos;
    for (std::string::size_type at = 0; at < relativePath.size(); ++at) {
        if (relativePath[at] != '/') {
            continue;
        }
        if (start == std::string::npos) {
            if (at > 0) {
                start = at;
            }
            continue;
        }
        std::string directory = relativePath.substr(start + 1, at - start - 1);
        std::string command = "mkdir " + shellArgument(target + directory) + kQuietWithErrors;
        logMessage(__LINE__, "Creating directory");
        logMessage(__LINE__, command);
        logMessage(__LINE__, hostPort().system(command) == kShellNotRun ? "failed" : "succeeded");
    }
}

std::string finalCommand(const std::string& target, const std::string& tail,
                         const std::string& source, exmlMode mode) {
    switch (mode) {
        case EXML_FILECOPY:
        case EXML_SIGNEDUNZIP:
            return "/bin/cp " + shellArgument(source) + " " + shellArgument(target + tail) + kQuiet;
        case EXML_DIRMAKE:
            return "/bin/mkdir -p " + shellArgument(target + tail) + kQuietWithErrors;
        case EXML_SSIB:
            return "/bin/cp " + shellArgument(source) + " " + shellArgument(target) + kQuiet;
        default:
            return "";
    }
}

}  // namespace

int doCopy(std::string target, std::string relativePath, std::string source, exmlMode mode) {
    logMessage(__LINE__, "doCopy");
    makeDirectories(target, relativePath);
    std::string::size_type slash = relativePath.find('/');
    std::string tail = slash == std::string::npos ? relativePath : relativePath.substr(slash + 1);
    std::string command = finalCommand(target, tail, source, mode);
    if (!command.empty()) {
        logMessage(__LINE__, "Cmd: " + command);
    }
    logMessage(__LINE__, "Executing command " + command);
    return hostPort().system(command);
}
