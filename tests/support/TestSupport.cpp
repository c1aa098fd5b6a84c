#include "tests/support/TestSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

namespace fs = std::filesystem;

ScopedWorkingDirectory::ScopedWorkingDirectory() : previous_(fs::current_path().string()) {
    std::string pattern = (fs::temp_directory_path() / "cwd-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) {
        throw std::runtime_error("cannot create a temporary working directory");
    }
    path_ = buffer.data();
    fs::current_path(path_);
}

ScopedWorkingDirectory::~ScopedWorkingDirectory() {
    std::error_code ignored;
    fs::current_path(previous_, ignored);
    fs::remove_all(path_, ignored);
}

std::string readTextFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

void writeTextFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

bool fileExists(const std::string& path) {
    return fs::exists(path);
}

void copyDataFiles(const std::string& directory) {
    for (const auto& entry : fs::directory_iterator(INVENTORY_DATA_DIR)) {
        fs::copy_file(entry.path(), fs::path(directory) / entry.path().filename(),
                      fs::copy_options::overwrite_existing);
    }
}

std::string filesAChildInherits() {
    std::string listing;
    FILE* child = ::popen("ls -l /proc/self/fd", "re");
    if (!child) {
        throw std::runtime_error("cannot start a child process");
    }
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof(buffer), child)) > 0;) {
        listing.append(buffer, got);
    }
    ::pclose(child);
    return listing;
}
