#include "storage/CSHA.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <fstream>
#include <utility>

#include "baseutils/HostPort.h"
#include "storage/CDoubleBuffering.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define CSHA_X86_SHA 1
#endif

namespace {

const char kNegativeLength[] = "FileDigest ERROR: in CSHA::AddData(), Data Length should be >= 0!";
const char kCannotOpen[] = "FileDigest ERROR: in IMessageDigest::DigestFile(): Cannot open File ";

constexpr int kDigestSize = 32;
constexpr int kLengthOffset = 56;  // where the bit count starts in the last block
// Files are read in pieces through a double buffer, never whole.
constexpr int kFileBufferSize = 1024;
constexpr int kFilePieceLength = 384;
const char kHexDigits[] = "0123456789abcdef";

constexpr std::uint32_t kInitialHash[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                           0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

alignas(16) constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

// Value of one digit 0-9 or A-F; -1 for any other character.
int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

using CompressFunction = void (*)(std::uint32_t state[8], const unsigned char* data,
                                  std::size_t blocks);

inline std::uint32_t rotateRight(std::uint32_t value, int bits) {
    return (value >> bits) | (value << (32 - bits));
}

inline std::uint32_t loadBigEndian(const unsigned char* bytes) {
    return (static_cast<std::uint32_t>(bytes[0]) << 24) |
           (static_cast<std::uint32_t>(bytes[1]) << 16) |
           (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

inline void storeBigEndian(std::uint32_t value, unsigned char* bytes) {
    bytes[0] = static_cast<unsigned char>(value >> 24);
    bytes[1] = static_cast<unsigned char>(value >> 16);
    bytes[2] = static_cast<unsigned char>(value >> 8);
    bytes[3] = static_cast<unsigned char>(value);
}

void compressPortable(std::uint32_t state[8], const unsigned char* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = loadBigEndian(data + 4 * i);
        }
        for (int i = 16; i < 64; ++i) {
            std::uint32_t s0 =
                rotateRight(w[i - 15], 7) ^ rotateRight(w[i - 15], 18) ^ (w[i - 15] >> 3);
            std::uint32_t s1 =
                rotateRight(w[i - 2], 17) ^ rotateRight(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t sum1 = rotateRight(e, 6) ^ rotateRight(e, 11) ^ rotateRight(e, 25);
            std::uint32_t choose = g ^ (e & (f ^ g));
            std::uint32_t t1 = h + sum1 + choose + kRound[i] + w[i];
            std::uint32_t sum0 = rotateRight(a, 2) ^ rotateRight(a, 13) ^ rotateRight(a, 22);
            std::uint32_t majority = (a & b) | (c & (a | b));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + sum0 + majority;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef CSHA_X86_SHA

bool cpuHasShaInstructions() {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    bool vectorShuffles = (ecx & bit_SSSE3) && (ecx & bit_SSE4_1);
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    return vectorShuffles && (ebx & bit_SHA);
}

// Four rounds of group G. The state lives as ABEF and CDGH; w holds the
// message schedule four words at a time, computed two groups ahead.
template <int G>
[[gnu::target("sha,sse4.1"), gnu::always_inline]] inline void fourRounds(
    __m128i& abef, __m128i& cdgh, __m128i (&w)[4], const unsigned char* block, __m128i byteSwap) {
    constexpr int current = G % 4, next = (G + 1) % 4, previous = (G + 3) % 4;
    if constexpr (G < 4) {
        w[current] = _mm_shuffle_epi8(
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + 16 * G)), byteSwap);
    }
    __m128i message =
        _mm_add_epi32(w[current], _mm_load_si128(reinterpret_cast<const __m128i*>(&kRound[4 * G])));
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);
    if constexpr (G >= 3 && G <= 14) {
        __m128i carried = _mm_add_epi32(w[next], _mm_alignr_epi8(w[current], w[previous], 4));
        w[next] = _mm_sha256msg2_epu32(carried, w[current]);
    }
    abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(message, 0x0E));
    if constexpr (G >= 1 && G <= 12) {
        w[previous] = _mm_sha256msg1_epu32(w[previous], w[current]);
    }
}

template <int... G>
[[gnu::target("sha,sse4.1"), gnu::always_inline]] inline void allRounds(
    __m128i& abef, __m128i& cdgh, const unsigned char* block, __m128i byteSwap,
    std::integer_sequence<int, G...>) {
    __m128i w[4];
    (fourRounds<G>(abef, cdgh, w, block, byteSwap), ...);
}

[[gnu::target("sha,sse4.1")]] void compressWithShaInstructions(std::uint32_t state[8],
                                                               const unsigned char* data,
                                                               std::size_t blocks) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; blocks > 0; --blocks, data += 64) {
        __m128i savedAbef = abef, savedCdgh = cdgh;
        allRounds(abef, cdgh, data, byteSwap, std::make_integer_sequence<int, 16>{});
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }
    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

CompressFunction cpuCompress() {
    static const CompressFunction found =
        cpuHasShaInstructions() ? compressWithShaInstructions : nullptr;
    return found;
}

#else

CompressFunction cpuCompress() {
    return nullptr;
}

#endif

std::atomic<CompressFunction>& selectedCompress() {
    static std::atomic<CompressFunction> selected{cpuCompress() ? cpuCompress() : compressPortable};
    return selected;
}

}  // namespace

CSHA::CSHA() {
    Reset();
}

void CSHA::Reset() {
    std::memcpy(m_auiHash, kInitialHash, sizeof(m_auiHash));
    m_auiCount[0] = m_auiCount[1] = 0;
    std::memset(m_aucBlock, 0, sizeof(m_aucBlock));
    m_bAddData = false;
}

void CSHA::AddData(const char* data, int length) {
    if (length < 0) {
        throw std::string(kNegativeLength);
    }
    if (length == 0) {
        return;
    }
    m_bAddData = true;
    const unsigned char* input = reinterpret_cast<const unsigned char*>(data);
    std::size_t size = static_cast<std::size_t>(length);
    std::size_t index = (m_auiCount[0] >> 3) & (kBlockSize - 1);
    std::uint32_t lowBits = static_cast<std::uint32_t>(size) << 3;
    m_auiCount[0] += lowBits;
    if (m_auiCount[0] < lowBits) {
        ++m_auiCount[1];
    }
    m_auiCount[1] += static_cast<std::uint32_t>(size >> 29);

    if (index > 0) {
        std::size_t room = kBlockSize - index;
        std::size_t taken = size < room ? size : room;
        std::memcpy(m_aucBlock + index, input, taken);
        if (taken < room) {
            return;
        }
        addBlocks(m_aucBlock, 1);
        input += taken;
        size -= taken;
    }
    // Whole blocks are digested where they lie.
    addBlocks(input, size / kBlockSize);
    std::memcpy(m_aucBlock, input + size / kBlockSize * kBlockSize, size % kBlockSize);
}

void CSHA::FinalDigest(char* digest) {
    static const unsigned char padding[kBlockSize] = {0x80};
    unsigned char bitCount[8];
    storeBigEndian(m_auiCount[1], bitCount);
    storeBigEndian(m_auiCount[0], bitCount + 4);
    int index = static_cast<int>((m_auiCount[0] >> 3) & (kBlockSize - 1));
    int padLength =
        index < kLengthOffset ? kLengthOffset - index : kBlockSize + kLengthOffset - index;
    AddData(reinterpret_cast<const char*>(padding), padLength);
    AddData(reinterpret_cast<const char*>(bitCount), sizeof(bitCount));
    for (int i = 0; i < 8; ++i) {
        storeBigEndian(m_auiHash[i], reinterpret_cast<unsigned char*>(digest) + 4 * i);
    }
    Reset();
}

void CSHA::DigestFile(const std::string& path, char* digest) {
    Reset();
    std::ifstream in(hostPort().resolve(path), std::ios::in | std::ios::binary);
    if (!in.is_open()) {
        throw std::string(kCannotOpen) + path + "!";
    }
    char buffer[kFileBufferSize];
    CDoubleBuffering reader(in, buffer, kFileBufferSize, kFilePieceLength);
    char piece[kFilePieceLength];
    for (int count; (count = reader.GetData(piece)) > 0;) {
        AddData(piece, count);
    }
    FinalDigest(digest);
}

void CSHA::CalculateSHA256(const std::string& input, bool isFile, char* out) {
    char digest[kDigestSize];
    if (isFile) {
        DigestFile(input, digest);
    } else {
        // AddData counts in an int; longer texts go in pieces.
        for (std::size_t at = 0; at < input.size(); at += INT_MAX) {
            std::size_t piece = std::min<std::size_t>(input.size() - at, INT_MAX);
            AddData(input.data() + at, static_cast<int>(piece));
        }
        FinalDigest(digest);
    }
    Binary2Hex(reinterpret_cast<const unsigned char*>(digest), kDigestSize, out);
}

void CSHA::Char2Hex(unsigned char value, char* out) {
    out[0] = kHexDigits[value >> 4];
    out[1] = kHexDigits[value & 0x0F];
    out[2] = '\0';
}

void CSHA::Binary2Hex(const unsigned char* data, int length, char* out) {
    out[0] = '\0';
    for (int i = 0; i < length; ++i) {
        Char2Hex(data[i], out + 2 * i);
    }
}

bool CSHA::Hex2Char(const char* text, unsigned char& value) {
    int high = hexDigit(text[0]);
    if (high < 0) {
        return false;
    }
    int low = hexDigit(text[1]);
    if (low < 0) {
        return false;
    }
    value = static_cast<unsigned char>(high << 4 | low);
    return true;
}

bool CSHA::Hex2Binary(const char* text, unsigned char* out, int length) {
    for (int i = 0; i < length; ++i) {
        if (!Hex2Char(text + 2 * i, out[i])) {
            return false;
        }
    }
    return true;
}

bool CSHA::UsesCpuInstructions() {
    return selectedCompress().load() != compressPortable;
}

bool CSHA::UseCpuInstructions(bool enable) {
    CompressFunction cpu = cpuCompress();
    selectedCompress().store(enable && cpu ? cpu : compressPortable);
    return UsesCpuInstructions();
}

void CSHA::addBlocks(const unsigned char* data, std::size_t blocks) {
    if (blocks > 0) {
        selectedCompress().load(std::memory_order_relaxed)(m_auiHash, data, blocks);
    }
}
