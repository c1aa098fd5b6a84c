#include "vserver/VirtualClock.h"

VirtualClock::VirtualClock(std::time_t start) : start_(start) {}

void VirtualClock::sleepMilliseconds(std::uint64_t milliseconds) {
    sleeps_.push_back(milliseconds);
    sleptMs_ += milliseconds;
    elapsedMs_ += milliseconds;
    notify();
}

void VirtualClock::advanceMilliseconds(std::uint64_t milliseconds) {
    elapsedMs_ += milliseconds;
    notify();
}

int VirtualClock::addListener(std::function<void()> listener) {
    listeners_[nextToken_] = std::move(listener);
    return nextToken_++;
}

void VirtualClock::removeListener(int token) {
    listeners_.erase(token);
}

void VirtualClock::notify() {
    // A listener may remove itself while it runs.
    std::map<int, std::function<void()>> listeners = listeners_;
    for (const auto& entry : listeners) {
        entry.second();
    }
}

std::time_t VirtualClock::now() const {
    return start_ + static_cast<std::time_t>(elapsedMs_ / 1000);
}
