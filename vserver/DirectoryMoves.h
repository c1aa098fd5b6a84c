#pragma once

#include <filesystem>

// Moves every entry of from into to: renamed where it can be, else copied
// and removed.
void moveEntries(const std::filesystem::path& from, const std::filesystem::path& to);

// Removes everything in directory, not the directory.
void clearDirectory(const std::filesystem::path& directory);
