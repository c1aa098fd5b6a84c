#pragma once

#include <cstdint>
#include <string>

// SHA-256. Misuse and unreadable files are reported by std::string
// exceptions. Uses the CPU's SHA instructions where it has them.
class CSHA {
public:
    CSHA();

    // Back to the initial hash values, no data.
    void Reset();
    // Adds length bytes; a negative length throws.
    void AddData(const char* data, int length);
    // Pads, finishes and writes the 32 digest bytes; the object starts
    // afresh afterwards.
    void FinalDigest(char* digest);
    // Resets, digests the whole file and writes the 32 digest bytes.
    void DigestFile(const std::string& path, char* digest);
    // The file named by input (isFile) or the bytes of input, as 64
    // characters of digest text and a terminating zero in out.
    void CalculateSHA256(const std::string& input, bool isFile, char* out);

    // Lower-case hexadecimal, zero-terminated: two characters for Char2Hex,
    // 2 * length for Binary2Hex.
    static void Char2Hex(unsigned char value, char* out);
    static void Binary2Hex(const unsigned char* data, int length, char* out);
    // The reverse: digits and upper-case A-F only; false at the first other
    // character.
    static bool Hex2Char(const char* text, unsigned char& value);
    static bool Hex2Binary(const char* text, unsigned char* out, int length);

    // Whether blocks go through the CPU's SHA instructions. Switching them
    // off (or on, where the CPU has them) applies to every object; returns
    // whether they are in use afterwards.
    static bool UsesCpuInstructions();
    static bool UseCpuInstructions(bool enable);

private:
    static constexpr int kBlockSize = 64;

    void addBlocks(const unsigned char* data, std::size_t blocks);

    std::uint32_t m_auiHash[8];
    std::uint32_t m_auiCount[2];  // bits added: low word, high word
    unsigned char m_aucBlock[kBlockSize];
    bool m_bAddData;  // data added since the last reset
};
