#pragma once

#include <string>

// MD5 digest text (lower-case hexadecimal) computed by OpenSSL, so that the
// controller model checks the plug-in's digests with code of its own.
std::string md5Text(const std::string& bytes);
