#pragma once

#include <cstdlib>
#include <ctime>
#include <string>

// Runs a test in a fixed time zone and restores the previous one.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char* zone) {
        const char* previous = std::getenv("TZ");
        hadPrevious_ = previous != nullptr;
        previous_ = previous ? previous : "";
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (hadPrevious_) {
            setenv("TZ", previous_.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone&) = delete;
    ScopedTimeZone& operator=(const ScopedTimeZone&) = delete;

private:
    bool hadPrevious_;
    std::string previous_;
};
