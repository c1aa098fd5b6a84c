#include "vserver/VirtualClock.h"

VirtualClock::VirtualClock(std::time_t start) : start_(start) {}

void VirtualClock::sleepMilliseconds(std::uint64_t milliseconds) {
    sleeps_.push_back(milliseconds);
    sleptMs_ += milliseconds;
    elapsedMs_ += milliseconds;
}

void VirtualClock::advanceMilliseconds(std::uint64_t milliseconds) {
    elapsedMs_ += milliseconds;
}

std::time_t VirtualClock::now() const {
    return start_ + static_cast<std::time_t>(elapsedMs_ / 1000);
}
