#include "tests/benchmarks/OpenSslDigests.h"

#include <openssl/evp.h>

#include <memory>

namespace {

// The digest is fetched once and a context kept: the one-shot functions
// fetch and lock per call, which weighs most on the small buffers.
class Digest {
public:
    explicit Digest(const char* name)
        : digest_(EVP_MD_fetch(nullptr, name, nullptr)), context_(EVP_MD_CTX_new()) {}
    ~Digest() {
        EVP_MD_CTX_free(context_);
        EVP_MD_free(digest_);
    }
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;

    void run(const unsigned char* data, std::size_t length, unsigned char* out) {
        unsigned int size = 0;
        EVP_DigestInit_ex2(context_, digest_, nullptr);
        EVP_DigestUpdate(context_, data, length);
        EVP_DigestFinal_ex(context_, out, &size);
    }

private:
    EVP_MD* digest_;
    EVP_MD_CTX* context_;
};

}  // namespace

void openSslMd5(const unsigned char* data, std::size_t length, unsigned char digest[16]) {
    static Digest md5("MD5");
    md5.run(data, length, digest);
}

void openSslSha256(const unsigned char* data, std::size_t length, unsigned char digest[32]) {
    static Digest sha256("SHA256");
    sha256.run(data, length, digest);
}
