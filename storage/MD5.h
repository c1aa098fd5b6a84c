#pragma once

#include <cstdint>

// 32-bit word of the MD5 state.
typedef std::uint32_t UINT4;

// MD5 context: state (ABCD), number of bits modulo 2^64 (low word first) and
// the input buffer of a partial block.
struct MD5_CTX {
    UINT4 state[4];
    UINT4 count[2];
    unsigned char buffer[64];
};

// The MD5 message digest algorithm. Each operation works on the context it is
// given; the object itself holds no state.
class MD5 {
public:
    // Begins an MD5 operation, writing a new context.
    void MD5Init(MD5_CTX* context);
    // Continues an MD5 operation with length more bytes of input.
    void MD5Update(MD5_CTX* context, unsigned char* input, unsigned int length);
    // Ends an MD5 operation: writes the 16 digest bytes and clears the context.
    void MD5Final(unsigned char digest[16], MD5_CTX* context);

private:
    // Runs the four rounds over one 64-byte block.
    void MD5Transform(UINT4 state[4], const unsigned char block[64]);
    // Words to bytes and back, little-endian; length counts bytes (a multiple of 4).
    void Encode(unsigned char* output, const UINT4* input, unsigned int length);
    void Decode(UINT4* output, const unsigned char* input, unsigned int length);
    void MD5_memcpy(unsigned char* output, const unsigned char* input, unsigned int length);
    void MD5_memset(unsigned char* output, int value, unsigned int length);
};
