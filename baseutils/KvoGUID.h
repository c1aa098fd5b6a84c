#pragma once

#include <cstdint>

#include "baseutils/Export.h"

// A 128-bit identifier value.
class KVO_EXPORT KvoGUID {
public:
    KvoGUID();
    KvoGUID(const KvoGUID& other) = default;
    KvoGUID& operator=(const KvoGUID& other);

    bool operator==(const KvoGUID& other) const;
    bool operator!=(const KvoGUID& other) const;
    // Lexicographic by data1, data2, data3, then the bytes of data4.
    bool operator<(const KvoGUID& other) const;
    bool operator>(const KvoGUID& other) const;

    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
};
