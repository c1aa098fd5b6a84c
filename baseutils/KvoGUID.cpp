#include "baseutils/KvoGUID.h"

#include <cstring>

KvoGUID::KvoGUID() : data1(0), data2(0), data3(0), data4{} {}

KvoGUID& KvoGUID::operator=(const KvoGUID& other) {
    data1 = other.data1;
    data2 = other.data2;
    data3 = other.data3;
    std::memcpy(data4, other.data4, sizeof(data4));
    return *this;
}

bool KvoGUID::operator==(const KvoGUID& other) const {
    return data1 == other.data1 && data2 == other.data2 && data3 == other.data3 &&
           std::memcmp(data4, other.data4, sizeof(data4)) == 0;
}

bool KvoGUID::operator!=(const KvoGUID& other) const {
    return !(*this == other);
}

bool KvoGUID::operator<(const KvoGUID& other) const {
    if (data1 != other.data1) {
        return data1 < other.data1;
    }
    if (data2 != other.data2) {
        return data2 < other.data2;
    }
    if (data3 != other.data3) {
        return data3 < other.data3;
    }
    // memcmp compares the bytes as unsigned values, first to last.
    return std::memcmp(data4, other.data4, sizeof(data4)) < 0;
}

bool KvoGUID::operator>(const KvoGUID& other) const {
    return other < *this;
}
