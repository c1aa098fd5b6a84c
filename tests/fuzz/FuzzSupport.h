#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vserver/VirtualServer.h"

// The fuzz targets run the plug-in's readers on the fuzzer's bytes in a
// working directory of their own and against a virtual host, so that no
// input touches this machine or takes real time.

// The virtual host, installed as the host port on first use; the process's
// current directory is then a fresh temporary one.
VirtualServer& fuzzHost();

// Writes the bytes as a file of the current directory.
void writeInputFile(const std::string& name, const std::uint8_t* data, std::size_t size);

// The fuzzer's bytes, taken from the front; zero once they run out.
class FuzzBytes {
public:
    FuzzBytes(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    bool empty() const { return at_ >= size_; }
    // Up to count bytes.
    std::string text(std::size_t count);

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// A finding of a target's own checks: stops the fuzzer like a crash.
[[noreturn]] void fuzzFinding(const char* what);
