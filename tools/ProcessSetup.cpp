#include "tools/ProcessSetup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <ext/stdio_filebuf.h>

#include <csignal>
#include <iostream>

namespace {

// Wakes the signal thread when nothing came.
constexpr int kStopWaiting = SIGUSR2;

sigset_t heldSet() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : {SIGTERM, SIGHUP, SIGINT, kStopWaiting}) {
        sigaddset(&set, signal);
    }
    return set;
}

}  // namespace

void ensureStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1) {
            // The lowest free descriptor: this one.
            open("/dev/null", O_RDONLY);
        }
    }
}

void ignoreBrokenPipes() {
    std::signal(SIGPIPE, SIG_IGN);
}

HeldSignals::HeldSignals() {
    sigset_t set = heldSet();
    // Blocked in this thread before any other starts, so in all of them.
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    started_ = pthread_create(&thread_, nullptr, &HeldSignals::wait, this) == 0;
}

HeldSignals::~HeldSignals() {
    if (started_) {
        pthread_kill(thread_, kStopWaiting);
        pthread_join(thread_, nullptr);
    }
}

void* HeldSignals::wait(void* self) {
    auto* held = static_cast<HeldSignals*>(self);
    sigset_t set = heldSet();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0 || signal == kStopWaiting) {
            return nullptr;
        }
        int none = 0;
        held->received_.compare_exchange_strong(none, signal);
    }
}

ChildStderrLog::ChildStderrLog(const std::string& logFile) {
    int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (log < 0) {
        return;
    }
    saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    if (saved_ < 0 || dup2(log, 2) < 0) {
        close(log);
        if (saved_ >= 0) {
            close(saved_);
            saved_ = -1;
        }
        return;
    }
    close(log);
    own_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(saved_, std::ios::out);
    std::cerr.flush();
    previous_ = std::cerr.rdbuf(own_.get());
}

ChildStderrLog::~ChildStderrLog() {
    if (saved_ < 0) {
        return;
    }
    std::cerr.flush();
    std::cerr.rdbuf(previous_);
    dup2(saved_, 2);
    own_.reset();  // closes saved_
}
