#pragma once

#include <cstdint>
#include <string>

// One row of the partition catalogue.
struct spartInfo {
    unsigned short partIndex;
    std::string partName;
    unsigned int tableWord;
    unsigned short sizeMB;
    std::string partLabel;
    unsigned int typeCode;
    unsigned char flagByte;
    std::string generation;
    std::string mountPoint;
    unsigned short attachMask;  // wire order: most significant byte first in memory
    unsigned char present;
    unsigned long long sizeBytes;
    unsigned char reserved[16];
};

constexpr int VESK_PART_COUNT = 257;

// Row 0 is the drop box, rows 1 to 256 the static partitions VSK001 to VSK256.
extern spartInfo veskPartInfo[VESK_PART_COUNT];

// Name (and volume label) of the drop box.
extern const std::string dynDriveName;

// The six-character label of the "GetPartitionInfo" answer in IPMIReqBuf.
std::string partitionInfoLabel();

// The number in front of the first "/" of text (the whole text without one).
int GetPartNum(const std::string& text);
