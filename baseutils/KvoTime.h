#pragma once

#include <ctime>

#include "baseutils/Export.h"
#include "baseutils/KvoString.h"

// A point in time in whole seconds since the Unix epoch; 0 means not set.
class KVO_EXPORT KvoTime {
public:
    KvoTime();
    KvoTime(unsigned long long value);
    KvoTime(const KvoTime& other);
    KvoTime& operator=(const KvoTime& other);
    virtual ~KvoTime();

    bool operator==(const KvoTime& other) const;
    bool operator!=(const KvoTime& other) const;
    bool operator<(const KvoTime& other) const;
    bool operator>(const KvoTime& other) const;
    bool Equals(const KvoTime& other) const;

    // The host's current time.
    static std::time_t CurrentTime();

    bool SetTime(unsigned long long value);
    unsigned long long GetTime() const;
    // Local calendar fields; false (value unchanged) when a field is out of range.
    bool SetTime(int year, int month, int day, int hour, int minute, int second);
    // Local calendar fields, weekday 1-7 with Sunday = 1; null pointers are skipped.
    bool GetTime(int* year, int* month, int* day, int* hour, int* minute, int* second,
                 int* weekday) const;
    bool IsValid() const;

    // numeric: "3/7/2025"; otherwise "%A, %B %d, %G".
    bool DateToString(KvoString& text, bool numeric) const;
    // "%I:%M%p", for example "09:05PM".
    bool TimeToString(KvoString& text) const;

private:
    bool LocalTime(std::tm& fields) const;

    unsigned long long mTime;
};
