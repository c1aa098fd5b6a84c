#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <vector>

// Time of the virtual server: sleeps advance it and return at once.
class VirtualClock {
public:
    explicit VirtualClock(std::time_t start = 1796419227);  // 2026-12-04 21:20:27 UTC

    // The time the clock shows before anything has passed.
    void startAt(std::time_t start) { start_ = start; }

    void sleepMilliseconds(std::uint64_t milliseconds);
    void advanceMilliseconds(std::uint64_t milliseconds);  // time passing, not a sleep

    std::time_t now() const;
    std::uint64_t elapsedMilliseconds() const { return elapsedMs_; }
    std::uint64_t sleptMilliseconds() const { return sleptMs_; }
    const std::vector<std::uint64_t>& sleeps() const { return sleeps_; }
    void clearSleeps() { sleeps_.clear(); }
    // Back to the time before anything passed.
    void reset() {
        elapsedMs_ = 0;
        sleptMs_ = 0;
        sleeps_.clear();
    }

    // Called after time has passed (a sleep or an advance); returns a token
    // for removeListener.
    int addListener(std::function<void()> listener);
    void removeListener(int token);

private:
    std::time_t start_;
    // Read by any thread (log time stamps) while the running one sleeps.
    std::atomic<std::uint64_t> elapsedMs_{0};
    std::atomic<std::uint64_t> sleptMs_{0};
    std::vector<std::uint64_t> sleeps_;  // each sleep in milliseconds, in order
    std::map<int, std::function<void()>> listeners_;
    int nextToken_ = 1;

    void notify();
};
