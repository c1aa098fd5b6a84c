#include "baseutils/KvoTime.h"

#include <cstdio>
#include <cstring>

#include "baseutils/HostPort.h"

namespace {

constexpr std::size_t kTextBufferSize = 100;

KvoString fromUTF8(const char* text) {
    return KvoString(text, KvoString::KvoEncodingUTF8);
}

}  // namespace

KvoTime::KvoTime() : mTime(0) {}

KvoTime::KvoTime(unsigned long long value) : mTime(value) {}

KvoTime::KvoTime(const KvoTime& other) : mTime(other.mTime) {}

KvoTime& KvoTime::operator=(const KvoTime& other) {
    mTime = other.mTime;
    return *this;
}

KvoTime::~KvoTime() = default;

bool KvoTime::operator==(const KvoTime& other) const {
    return mTime == other.mTime;
}

bool KvoTime::operator!=(const KvoTime& other) const {
    return mTime != other.mTime;
}

bool KvoTime::operator<(const KvoTime& other) const {
    return mTime < other.mTime;
}

bool KvoTime::operator>(const KvoTime& other) const {
    return mTime > other.mTime;
}

bool KvoTime::Equals(const KvoTime& other) const {
    return mTime == other.mTime;
}

std::time_t KvoTime::CurrentTime() {
    return hostPort().now();
}

bool KvoTime::SetTime(unsigned long long value) {
    mTime = value;
    return true;
}

unsigned long long KvoTime::GetTime() const {
    return mTime;
}

bool KvoTime::SetTime(int year, int month, int day, int hour, int minute, int second) {
    if (year <= 1600 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 59) {
        return false;
    }
    // The fields go straight into the conversion: a text read back with %Y
    // would stop at four digits of the year.
    std::tm fields;
    std::memset(&fields, 0, sizeof(fields));
    fields.tm_year = year - 1900;
    fields.tm_mon = month - 1;
    fields.tm_mday = day;
    fields.tm_hour = hour;
    fields.tm_min = minute;
    fields.tm_sec = second;
    fields.tm_isdst = -1;
    // -1 is also one second before the epoch; only a conversion that did not
    // fill in the weekday failed.
    fields.tm_wday = -1;
    std::time_t value = std::mktime(&fields);
    if (value == static_cast<std::time_t>(-1) && fields.tm_wday == -1) {
        return false;
    }
    mTime = static_cast<unsigned long long>(value);
    return true;
}

bool KvoTime::LocalTime(std::tm& fields) const {
    if (mTime == 0) {
        return false;
    }
    std::time_t value = static_cast<std::time_t>(mTime);
    return ::localtime_r(&value, &fields) != nullptr;
}

bool KvoTime::GetTime(int* year, int* month, int* day, int* hour, int* minute, int* second,
                      int* weekday) const {
    std::tm fields;
    if (!LocalTime(fields)) {
        return false;
    }
    auto store = [](int* target, int value) {
        if (target) {
            *target = value;
        }
    };
    store(year, fields.tm_year + 1900);
    store(month, fields.tm_mon + 1);
    store(day, fields.tm_mday);
    store(hour, fields.tm_hour);
    store(minute, fields.tm_min);
    store(second, fields.tm_sec);
    store(weekday, fields.tm_wday + 1);
    return true;
}

bool KvoTime::IsValid() const {
    return mTime != 0;
}

bool KvoTime::DateToString(KvoString& text, bool numeric) const {
    text.clear();
    std::tm fields;
    if (!LocalTime(fields)) {
        return false;
    }
    char buffer[kTextBufferSize];
    if (numeric) {
        std::snprintf(buffer, sizeof(buffer), "%d/%d/%d", fields.tm_mon + 1, fields.tm_mday,
                      fields.tm_year + 1900);
    } else if (std::strftime(buffer, sizeof(buffer), "%A, %B %d, %G", &fields) == 0) {
        buffer[0] = '\0';
    }
    text = fromUTF8(buffer);
    return true;
}

bool KvoTime::TimeToString(KvoString& text) const {
    text.clear();
    std::tm fields;
    if (!LocalTime(fields)) {
        return false;
    }
    char buffer[kTextBufferSize];
    if (std::strftime(buffer, sizeof(buffer), "%I:%M%p", &fields) == 0) {
        buffer[0] = '\0';
    }
    text = fromUTF8(buffer);
    return true;
}
