#pragma once

#include "baseutils/HostPort.h"

// The production port for the command-line host. The program holds
// SIGTERM, SIGHUP and SIGINT and ignores SIGPIPE; a shell command the
// plug-in runs must not inherit that (a daemon it starts would never stop
// on SIGTERM), so the shell starts with no signal blocked and these at
// their defaults. Otherwise as system(3) and popen(3).
class SpawningHostPort : public SystemHostPort {
public:
    int system(const std::string& command) override;
    bool popen(const std::string& command, std::size_t maxBytes, std::string& output,
               int* status = nullptr) override;
};
