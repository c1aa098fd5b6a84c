#pragma once

#include <memory>
#include <string>

#include "storage/MD5.h"

// MD5 digest texts (32 lower-case hexadecimal characters) of texts and files.
// Every call runs a fresh context on the one MD5 object.
class md5wrapper {
public:
    md5wrapper();
    ~md5wrapper();
    md5wrapper(const md5wrapper&) = delete;
    md5wrapper& operator=(const md5wrapper&) = delete;

    std::string getHashFromString(std::string text);
    // The file's bytes, read in blocks; "-1" when it cannot be opened.
    std::string getHashFromFile(std::string path);

    std::string hashit(std::string text);
    // The 16 digest bytes as digest text.
    std::string convToString(unsigned char* digest);

private:
    std::unique_ptr<MD5> md5;
};
