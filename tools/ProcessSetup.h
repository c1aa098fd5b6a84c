#pragma once

#include <pthread.h>
#include <atomic>
#include <memory>
#include <ostream>
#include <streambuf>
#include <string>

// What the command-line host sets up about its own process before the
// plug-in runs.

// Descriptors 0, 1 and 2 are open before anything opens a file: a missing
// one is opened on /dev/null read-only, so that a log never becomes the
// standard output and writing a closed standard output fails.
void ensureStandardDescriptors();

// A closed pipe on stdout or stderr is a failed write, never a signal that
// ends the run in the middle of the storage road.
void ignoreBrokenPipes();

// Holds SIGTERM, SIGHUP and SIGINT for its lifetime: they are taken by a
// thread of its own and only recorded, so that the storage road runs to its
// end and cleans up. The process is asked afterwards whether one came.
class HeldSignals {
public:
    HeldSignals();
    ~HeldSignals();
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;

    // The first signal that came, or 0.
    int received() const { return received_.load(); }

private:
    static void* wait(void* self);

    pthread_t thread_{};
    bool started_ = false;
    std::atomic<int> received_{0};
};

// The standard error of the programs the plug-in runs goes to a log file in
// the work directory; this program's own lines (std::cerr) keep the
// original standard error. Restored on destruction.
class ChildStderrLog {
public:
    explicit ChildStderrLog(const std::string& logFile);
    ~ChildStderrLog();
    ChildStderrLog(const ChildStderrLog&) = delete;
    ChildStderrLog& operator=(const ChildStderrLog&) = delete;

    // The descriptor of this program's own standard error.
    int ownStderr() const { return saved_ >= 0 ? saved_ : 2; }

private:
    int saved_ = -1;
    std::unique_ptr<std::streambuf> own_;
    std::streambuf* previous_ = nullptr;
};
