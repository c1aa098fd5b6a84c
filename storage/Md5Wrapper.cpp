#include "storage/Md5Wrapper.h"

#include <fcntl.h>

#include <vector>

#include "baseutils/HostPort.h"
#include "baseutils/PortDescriptor.h"

namespace {

constexpr std::size_t kDigestSize = 16;
constexpr std::size_t kFileBlockSize = 1 << 20;
const char kHexDigits[] = "0123456789abcdef";
const char kUnreadableFile[] = "-1";
// MD5Update counts its input in an unsigned int; longer texts go in pieces.
constexpr std::size_t kLargestUpdate = 1u << 30;

void update(MD5& md5, MD5_CTX& context, const char* data, std::size_t size) {
    while (size > 0) {
        std::size_t piece = size < kLargestUpdate ? size : kLargestUpdate;
        md5.MD5Update(&context, reinterpret_cast<unsigned char*>(const_cast<char*>(data)),
                      static_cast<unsigned int>(piece));
        data += piece;
        size -= piece;
    }
}

}  // namespace

md5wrapper::md5wrapper() : md5(new MD5) {}

md5wrapper::~md5wrapper() = default;

std::string md5wrapper::getHashFromString(const std::string& text) {
    return hashit(text);
}

std::string md5wrapper::hashit(const std::string& text) {
    MD5_CTX context;
    md5->MD5Init(&context);
    update(*md5, context, text.data(), text.size());
    unsigned char digest[kDigestSize];
    md5->MD5Final(digest, &context);
    return convToString(digest);
}

std::string md5wrapper::getHashFromFile(const std::string& path) {
    PortDescriptor file(hostPort().open(path, O_RDONLY | O_CLOEXEC));
    if (!file.valid()) {
        return kUnreadableFile;
    }
    MD5_CTX context;
    md5->MD5Init(&context);
    std::vector<char> block(kFileBlockSize);
    off_t offset = 0;
    for (;;) {
        ssize_t got = hostPort().pread(file.get(), block.data(), block.size(), offset);
        if (got < 0) {
            return kUnreadableFile;
        }
        if (got == 0) {
            break;
        }
        update(*md5, context, block.data(), static_cast<std::size_t>(got));
        offset += got;
    }
    unsigned char digest[kDigestSize];
    md5->MD5Final(digest, &context);
    return convToString(digest);
}

Md5Stream::Md5Stream() {
    md5_.MD5Init(&context_);
}

void Md5Stream::add(const unsigned char* data, std::size_t size) {
    update(md5_, context_, reinterpret_cast<const char*>(data), size);
}

std::string Md5Stream::text() {
    unsigned char digest[kDigestSize];
    md5_.MD5Final(digest, &context_);
    return md5wrapper().convToString(digest);
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
