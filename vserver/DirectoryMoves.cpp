#include "vserver/DirectoryMoves.h"

namespace fs = std::filesystem;

void moveEntries(const fs::path& from, const fs::path& to) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(from, error)) {
        fs::path target = to / entry.path().filename();
        fs::rename(entry.path(), target, error);
        if (error) {
            fs::copy(entry.path(), target, fs::copy_options::recursive, error);
            fs::remove_all(entry.path(), error);
        }
    }
}

void clearDirectory(const fs::path& directory) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
        fs::remove_all(entry.path(), error);
    }
}
