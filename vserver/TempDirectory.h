#pragma once

#include <string>

// A fresh directory under the system's temporary directory (TMPDIR), removed
// with everything in it on destruction. Its name carries its owner (the
// process id and the process's start time), so that what a killed owner
// left can be told from what a live one uses.
class TempDirectory {
public:
    explicit TempDirectory(const std::string& prefix);
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& path() const { return path_; }

    // Removes the temporary directories whose owner process is gone; returns
    // how many.
    static unsigned removeAbandoned();

private:
    std::string path_;
};
