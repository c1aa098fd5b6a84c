#pragma once

#include <cstddef>

// OpenSSL's digests through EVP, each fetched once. Kept apart from the
// plug-in's headers, whose MD5 and MD5_CTX share OpenSSL's names.
void openSslMd5(const unsigned char* data, std::size_t length, unsigned char digest[16]);
void openSslSha256(const unsigned char* data, std::size_t length, unsigned char digest[32]);
