#include "storage/CDoubleBuffering.h"

#include <cstring>

namespace {

const char kOddSize[] = "CDoubleBuffering: m_iSize should be Even Number!";
const char kBadStream[] = "CDoubleBuffering: Referenced File not Opened or in Bad State!";
const char kIllegalConstruction[] = "CDoubleBuffering: Illegal Construction Data!";
const char kIllegalLength[] = "CDoubleBuffering::GetData(): Illegal iDataLen!";
constexpr int kDefaultLength = -1;

}  // namespace

CDoubleBuffering::CDoubleBuffering(std::ifstream& in, char* buffer, int size, int pieceLength)
    : m_rInFile(in),
      m_pcBuff(buffer),
      m_iSize(size),
      m_iHalfSize(size / 2),
      m_iPieceLength(pieceLength),
      m_iReadPos(0),
      m_iValid(0),
      m_iRefillHalf(0),
      m_bEndOfData(false) {
    if (size % 2 != 0) {
        throw static_cast<const char*>(kOddSize);
    }
    if (!in.is_open() || !in.good()) {
        throw static_cast<const char*>(kBadStream);
    }
    if (buffer == nullptr || pieceLength < 1 || pieceLength > m_iHalfSize) {
        throw static_cast<const char*>(kIllegalConstruction);
    }
    fill(0);
}

int CDoubleBuffering::GetData(char* out, int length) {
    if (length == kDefaultLength) {
        length = m_iPieceLength;
    }
    if (length < 1 || length > m_iHalfSize) {
        throw static_cast<const char*>(kIllegalLength);
    }
    // The read would run past what the current half holds: the other half
    // is free by now and is refilled first.
    if (m_iValid < length && !m_bEndOfData) {
        fill(m_iRefillHalf * m_iHalfSize);
    }
    int count = length < m_iValid ? length : m_iValid;
    int first = count < m_iSize - m_iReadPos ? count : m_iSize - m_iReadPos;
    std::memcpy(out, m_pcBuff + m_iReadPos, static_cast<std::size_t>(first));
    std::memcpy(out + first, m_pcBuff, static_cast<std::size_t>(count - first));
    m_iReadPos = (m_iReadPos + count) % m_iSize;
    m_iValid -= count;
    return count;
}

void CDoubleBuffering::fill(int offset) {
    m_rInFile.read(m_pcBuff + offset, m_iHalfSize);
    int read = static_cast<int>(m_rInFile.gcount());
    m_iValid += read;
    m_iRefillHalf = 1 - m_iRefillHalf;
    m_bEndOfData = read < m_iHalfSize;
}
