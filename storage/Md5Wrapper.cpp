#include "storage/Md5Wrapper.h"

#include <fstream>

#include "baseutils/HostPort.h"

namespace {

constexpr std::size_t kDigestSize = 16;
constexpr std::size_t kFileBlockSize = 1024;
const char kHexDigits[] = "0123456789abcdef";
const char kUnreadableFile[] = "-1";
// MD5Update counts its input in an unsigned int; longer texts go in pieces.
constexpr std::size_t kLargestUpdate = 1u << 30;

void update(MD5& md5, MD5_CTX& context, char* data, std::size_t size) {
    while (size > 0) {
        std::size_t piece = size < kLargestUpdate ? size : kLargestUpdate;
        md5.MD5Update(&context, reinterpret_cast<unsigned char*>(data),
                      static_cast<unsigned int>(piece));
        data += piece;
        size -= piece;
    }
}

}  // namespace

md5wrapper::md5wrapper() : md5(new MD5) {}

md5wrapper::~md5wrapper() = default;

std::string md5wrapper::getHashFromString(std::string text) {
    return hashit(std::move(text));
}

std::string md5wrapper::hashit(std::string text) {
    MD5_CTX context;
    md5->MD5Init(&context);
    update(*md5, context, text.data(), text.size());
    unsigned char digest[kDigestSize];
    md5->MD5Final(digest, &context);
    return convToString(digest);
}

std::string md5wrapper::getHashFromFile(std::string path) {
    std::ifstream file(hostPort().resolve(path), std::ios::in | std::ios::binary);
    if (!file.is_open()) {
        return kUnreadableFile;
    }
    MD5_CTX context;
    md5->MD5Init(&context);
    char block[kFileBlockSize];
    while (file.read(block, sizeof(block)) || file.gcount() > 0) {
        update(*md5, context, block, static_cast<std::size_t>(file.gcount()));
    }
    unsigned char digest[kDigestSize];
    md5->MD5Final(digest, &context);
    return convToString(digest);
}

std::string md5wrapper::convToString(unsigned char* digest) {
    std::string text;
    text.reserve(2 * kDigestSize);
    for (std::size_t i = 0; i < kDigestSize; ++i) {
        text += kHexDigits[digest[i] >> 4];
        text += kHexDigits[digest[i] & 0x0F];
    }
    return text;
}
