#pragma once

#include <fstream>

// Hands out a file in pieces through a caller's buffer split into two
// halves: while one half is read, the other is refilled from the stream.
// Misuse is reported by exceptions of type const char*.
class CDoubleBuffering {
public:
    // size must be even and pieceLength between 1 and size / 2; reads the
    // first half at once.
    CDoubleBuffering(std::ifstream& in, char* buffer, int size, int pieceLength);
    CDoubleBuffering(const CDoubleBuffering&) = delete;
    CDoubleBuffering& operator=(const CDoubleBuffering&) = delete;

    // Copies the next length bytes (the piece length for -1) into out and
    // returns how many it copied: fewer at the end of the file, 0 once the
    // end has been handed out.
    int GetData(char* out, int length = -1);

private:
    // Reads the half that starts at offset; at a short read the end is reached.
    void fill(int offset);

    std::ifstream& m_rInFile;
    char* m_pcBuff;
    int m_iSize;
    int m_iHalfSize;
    int m_iPieceLength;
    int m_iReadPos;
    int m_iValid;       // bytes read from the stream and not yet handed out
    int m_iRefillHalf;  // 0 or 1: the half the next refill goes to
    bool m_bEndOfData;
};
