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

    std::string getHashFromString(const std::string& text);
    // The file's bytes, read through the host port in blocks of 1 MiB; "-1"
    // when it cannot be opened.
    std::string getHashFromFile(const std::string& path);

    std::string hashit(const std::string& text);
    // The 16 digest bytes as digest text.
    std::string convToString(unsigned char* digest);

private:
    std::unique_ptr<MD5> md5;
};

// An MD5 digest built piece by piece, for bytes read once for something
// else (a copy), so that they need not be read again for their digest.
class Md5Stream {
public:
    Md5Stream();
    void add(const unsigned char* data, std::size_t size);
    // The digest text of everything added.
    std::string text();

private:
    MD5 md5_;
    MD5_CTX context_;
};
