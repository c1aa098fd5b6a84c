#pragma once

#include <string>

// Runs command through the shell and returns the first 512 bytes of its
// standard output, up to the first zero byte.
std::string executeCmd(const std::string& command);

// Flushes the host's file system buffers after files were written into a
// mounted partition.
void syncAll(const std::string& mountPoint);

// Whether a system path exists (resolved through the host port).
bool systemPathExists(const std::string& path);
