#include "tools/SpawningHostPort.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace {

// Spawn attributes: an empty signal mask, the program's own signals back at
// their defaults.
class CleanSignals {
public:
    CleanSignals() {
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        for (int signal : {SIGTERM, SIGHUP, SIGINT, SIGPIPE, SIGUSR2}) {
            sigaddset(&defaults, signal);
        }
        posix_spawnattr_setsigmask(&attributes_, &none);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    ~CleanSignals() { posix_spawnattr_destroy(&attributes_); }
    CleanSignals(const CleanSignals&) = delete;
    CleanSignals& operator=(const CleanSignals&) = delete;

    const posix_spawnattr_t* get() const { return &attributes_; }

private:
    posix_spawnattr_t attributes_;
};

pid_t spawnShell(const std::string& command, const posix_spawn_file_actions_t* actions) {
    CleanSignals attributes;
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, "/bin/sh", actions, attributes.get(), const_cast<char**>(argv),
                    environ) != 0) {
        return -1;
    }
    return pid;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) {
            return -1;
        }
    }
    return status;
}

}  // namespace

int SpawningHostPort::system(const std::string& command) {
    pid_t pid = spawnShell(command, nullptr);
    return pid < 0 ? -1 : waitFor(pid);
}

bool SpawningHostPort::popen(const std::string& command, std::size_t maxBytes,
                             std::string& output, int* status) {
    output.clear();
    int pipe[2];
    if (pipe2(pipe, O_CLOEXEC) != 0) {
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
    pid_t pid = spawnShell(command, &actions);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe[1]);
    if (pid < 0) {
        close(pipe[0]);
        return false;
    }
    char buffer[4096];
    while (output.size() < maxBytes) {
        ssize_t got = read(pipe[0], buffer, std::min(sizeof(buffer), maxBytes - output.size()));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        output.append(buffer, static_cast<std::size_t>(got));
    }
    // As pclose(3): the reader goes first, so a command with more to say ends.
    close(pipe[0]);
    int result = waitFor(pid);
    if (status) {
        *status = result;
    }
    return true;
}
