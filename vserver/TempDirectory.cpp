#include "vserver/TempDirectory.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Field 22 of /proc/PID/stat: when the process started, in clock ticks;
// empty when there is no such process.
std::string startTime(const std::string& pid) {
    std::ifstream stat("/proc/" + pid + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::string::size_type name = text.rfind(')');
    if (name == std::string::npos) {
        return "";
    }
    std::istringstream fields(text.substr(name + 2));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number) {
    }
    return field;
}

const std::string& ownerTag() {
    static const std::string tag = [] {
        std::string pid = std::to_string(getpid());
        return pid + "-" + startTime(pid);
    }();
    return tag;
}

}  // namespace

TempDirectory::TempDirectory(const std::string& prefix) {
    std::string pattern =
        (fs::temp_directory_path() / (prefix + "-" + ownerTag() + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        throw std::runtime_error("cannot create a temporary directory for " + prefix);
    }
    path_ = buffer.data();
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

namespace {

// Only this user's own directories of the virtual server's kinds, never
// through a link.
bool abandoned(const fs::directory_entry& entry) {
    static const std::regex owned(
        "(vserver|vmounts|vimages|staging)-([0-9]+)-([0-9]+)-[A-Za-z0-9]{6}");
    std::smatch match;
    std::string name = entry.path().filename().string();
    struct stat info {};
    return std::regex_match(name, match, owned) && ::lstat(entry.path().c_str(), &info) == 0 &&
           S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           startTime(match[2]) != match[3].str();
}

}  // namespace

unsigned TempDirectory::removeAbandoned() {
    unsigned removed = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path(), error)) {
        if (!abandoned(entry)) {
            continue;
        }
        std::error_code failed;
        fs::remove_all(entry.path(), failed);
        removed += failed ? 0 : 1;
    }
    return removed;
}
