#include "vserver/Md5Digest.h"

#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <vector>

std::string hexText(const unsigned char* bytes, std::size_t length) {
    std::string text;
    char hex[3];
    for (std::size_t i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof(hex), "%02x", bytes[i]);
        text += hex;
    }
    return text;
}

std::string md5Text(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    return hexText(digest, length);
}

std::string md5FileText(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        return "";
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr);
    std::vector<char> block(1 << 16);
    while (file.read(block.data(), static_cast<std::streamsize>(block.size())) ||
           file.gcount() > 0) {
        EVP_DigestUpdate(context.get(), block.data(), static_cast<std::size_t>(file.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    return hexText(digest, length);
}
