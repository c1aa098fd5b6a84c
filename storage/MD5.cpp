#include "storage/MD5.h"

#include <cstring>
#include <utility>

namespace {

// Initial chaining values A, B, C, D.
constexpr UINT4 kInitialState[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

// Step constants: the integer part of 2^32 * |sin(i + 1)|.
constexpr UINT4 kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Rotation of each step, by round and position in the group of four.
constexpr int kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// Padding: a single 1 bit, then zeros.
constexpr unsigned char kPadding[64] = {0x80};

constexpr unsigned kBlockSize = 64;

// Index of the message word that step i adds.
constexpr int messageWord(int i) {
    int k = i % 16;
    switch (i / 16) {
        case 0:
            return k;
        case 1:
            return (1 + 5 * k) % 16;
        case 2:
            return (5 + 3 * k) % 16;
        default:
            return (7 * k) % 16;
    }
}

inline UINT4 rotateLeft(UINT4 value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

// One step: a = b + ((a + f(b, c, d) + x[k] + t[i]) <<< s). The terms that do
// not depend on b are added first, keeping the chain through b short.
template <int I>
[[gnu::always_inline]] inline void step(UINT4& a, UINT4 b, UINT4 c, UINT4 d, const UINT4* x) {
    constexpr int round = I / 16;
    UINT4 sum = a + x[messageWord(I)] + kSine[I];
    if constexpr (round == 0) {
        sum += d ^ (b & (c ^ d));  // F = (b & c) | (~b & d)
    } else if constexpr (round == 1) {
        sum += c & ~d;  // G = (b & d) | (c & ~d); the two halves never overlap
        sum += b & d;
    } else if constexpr (round == 2) {
        sum += b ^ (c ^ d);  // H
    } else {
        sum += c ^ (b | ~d);  // I
    }
    a = b + rotateLeft(sum, kShift[round][I % 4]);
}

// Four steps: the roles of a, b, c, d turn by one each step.
template <int Q>
[[gnu::always_inline]] inline void group(UINT4& a, UINT4& b, UINT4& c, UINT4& d, const UINT4* x) {
    step<4 * Q>(a, b, c, d, x);
    step<4 * Q + 1>(d, a, b, c, x);
    step<4 * Q + 2>(c, d, a, b, x);
    step<4 * Q + 3>(b, c, d, a, x);
}

template <int... Q>
[[gnu::always_inline]] inline void allGroups(UINT4& a, UINT4& b, UINT4& c, UINT4& d, const UINT4* x,
                                             std::integer_sequence<int, Q...>) {
    (group<Q>(a, b, c, d, x), ...);
}

}  // namespace

void MD5::MD5Init(MD5_CTX* context) {
    context->count[0] = context->count[1] = 0;
    for (int i = 0; i < 4; ++i) {
        context->state[i] = kInitialState[i];
    }
}

void MD5::MD5Update(MD5_CTX* context, unsigned char* input, unsigned int length) {
    unsigned int index = (context->count[0] >> 3) & 0x3F;
    context->count[0] += length << 3;
    if (context->count[0] < (length << 3)) {
        ++context->count[1];
    }
    context->count[1] += length >> 29;

    unsigned int partLength = kBlockSize - index;
    unsigned int i = 0;
    if (length >= partLength) {
        MD5_memcpy(&context->buffer[index], input, partLength);
        MD5Transform(context->state, context->buffer);
        // Whole blocks are digested where they lie.
        for (i = partLength; i + kBlockSize - 1 < length; i += kBlockSize) {
            MD5Transform(context->state, &input[i]);
        }
        index = 0;
    }
    MD5_memcpy(&context->buffer[index], &input[i], length - i);
}

void MD5::MD5Final(unsigned char digest[16], MD5_CTX* context) {
    unsigned char bits[8];
    Encode(bits, context->count, 8);
    // Pad to 56 bytes modulo 64, then append the length in bits.
    unsigned int index = (context->count[0] >> 3) & 0x3F;
    unsigned int padLength = index < 56 ? 56 - index : 120 - index;
    MD5Update(context, const_cast<unsigned char*>(kPadding), padLength);
    MD5Update(context, bits, 8);
    Encode(digest, context->state, 16);
    // No trace of the message stays behind.
    MD5_memset(reinterpret_cast<unsigned char*>(context), 0, sizeof(*context));
}

void MD5::MD5Transform(UINT4 state[4], const unsigned char block[64]) {
    UINT4 x[16];
    Decode(x, block, kBlockSize);
    UINT4 a = state[0], b = state[1], c = state[2], d = state[3];
    allGroups(a, b, c, d, x, std::make_integer_sequence<int, 16>{});
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

void MD5::Encode(unsigned char* output, const UINT4* input, unsigned int length) {
    for (unsigned int i = 0, j = 0; j < length; ++i, j += 4) {
        output[j] = static_cast<unsigned char>(input[i] & 0xFF);
        output[j + 1] = static_cast<unsigned char>((input[i] >> 8) & 0xFF);
        output[j + 2] = static_cast<unsigned char>((input[i] >> 16) & 0xFF);
        output[j + 3] = static_cast<unsigned char>((input[i] >> 24) & 0xFF);
    }
}

void MD5::Decode(UINT4* output, const unsigned char* input, unsigned int length) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    // The words lie in memory as the algorithm reads them.
    std::memcpy(output, input, length);
#else
    for (unsigned int i = 0, j = 0; j < length; ++i, j += 4) {
        output[i] = static_cast<UINT4>(input[j]) | (static_cast<UINT4>(input[j + 1]) << 8) |
                    (static_cast<UINT4>(input[j + 2]) << 16) |
                    (static_cast<UINT4>(input[j + 3]) << 24);
    }
#endif
}

void MD5::MD5_memcpy(unsigned char* output, const unsigned char* input, unsigned int length) {
    if (length > 0) {
        std::memcpy(output, input, length);
    }
}

void MD5::MD5_memset(unsigned char* output, int value, unsigned int length) {
    std::memset(output, value, length);
}
