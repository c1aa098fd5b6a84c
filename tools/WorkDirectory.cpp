#include "tools/WorkDirectory.h"

#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The installed layout: the program in <prefix>/bin, its data files in
// <prefix>/share/ipmiinventory. Empty when the program runs from the build.
fs::path installedPrefix() {
    std::error_code error;
    fs::path program = fs::read_symlink("/proc/self/exe", error);
    if (error) {
        return {};
    }
    fs::path prefix = program.parent_path().parent_path();
    if (!fs::exists(prefix / "share/ipmiinventory/ErrorCodes.xml", error)) {
        return {};
    }
    return prefix;
}

}  // namespace

std::string enterWorkDirectory(const std::string& directory, const std::string& dataDirectory) {
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) {
        return "cannot create the work directory " + directory + ": " + error.message();
    }
    for (const auto& entry : fs::directory_iterator(dataDirectory, error)) {
        fs::path target = fs::path(directory) / entry.path().filename();
        if (!fs::exists(target)) {
            fs::copy_file(entry.path(), target, error);
        }
    }
    fs::current_path(directory, error);
    if (error) {
        return "cannot enter the work directory " + directory + ": " + error.message();
    }
    return "";
}

// The package's state directory: /var/lib/ipmiinventory for the prefix /usr
// (also below a root the package was unpacked into), <prefix>/var/lib/...
// for another prefix; a directory of the build tree otherwise.
std::string defaultWorkDirectory() {
    fs::path prefix = installedPrefix();
    if (prefix.empty()) {
        return INVENTORY_DEFAULT_WORKDIR;
    }
    fs::path state = prefix.filename() == "usr" ? prefix.parent_path() / "var" : prefix / "var";
    return (state / "lib/ipmiinventory").string();
}

std::string shippedDataDirectory() {
    fs::path prefix = installedPrefix();
    return prefix.empty() ? INVENTORY_DATA_DIR : (prefix / "share/ipmiinventory").string();
}
