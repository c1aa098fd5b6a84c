#pragma once

#include <cstddef>
#include <string>

// MD5 digest text (lower-case hexadecimal) computed by OpenSSL, so that the
// controller model checks the plug-in's digests with code of its own.
std::string md5Text(const std::string& bytes);

// Bytes as lower-case hexadecimal text.
std::string hexText(const unsigned char* bytes, std::size_t length);

// The same for the bytes of a file, read in blocks; nothing readable gives
// the empty text.
std::string md5FileText(const std::string& path);
