#include "tests/benchmarks/OpenSslDigests.h"

// The one-shot calls go straight to OpenSSL's assembler code; the EVP
// interface would add a provider look-up to every small buffer.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#include <openssl/sha.h>

void openSslMd5(const unsigned char* data, std::size_t length, unsigned char digest[16]) {
    MD5(data, length, digest);
}

void openSslSha256(const unsigned char* data, std::size_t length, unsigned char digest[32]) {
    SHA256(data, length, digest);
}
