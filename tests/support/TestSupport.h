#pragma once

#include <string>

// Runs the test inside a fresh temporary directory (under TMPDIR) as the
// current directory, where the plug-in writes its logs; removed afterwards.
class ScopedWorkingDirectory {
public:
    ScopedWorkingDirectory();
    ~ScopedWorkingDirectory();
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string previous_;
    std::string path_;
};

// Whole content of a file, or empty text when it cannot be read.
std::string readTextFile(const std::string& path);
void writeTextFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// Copies the files the plug-in ships (data/) into directory, where the
// plug-in expects them in its current directory.
void copyDataFiles(const std::string& directory);

// What a shell command started now inherits: a real child lists the targets
// of its open descriptors ("ls -l /proc/self/fd"). Reads /proc only.
std::string filesAChildInherits();
