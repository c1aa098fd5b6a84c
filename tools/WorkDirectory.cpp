#include "tools/WorkDirectory.h"

#include <filesystem>

namespace fs = std::filesystem;

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

std::string defaultWorkDirectory() {
    return INVENTORY_DEFAULT_WORKDIR;
}

std::string shippedDataDirectory() {
    return INVENTORY_DATA_DIR;
}
