#pragma once

#include <string>

// A fresh directory under the system's temporary directory (TMPDIR), removed
// with everything in it on destruction.
class TempDirectory {
public:
    explicit TempDirectory(const std::string& prefix);
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string path_;
};
