#include "tests/fuzz/FuzzSupport.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "vserver/TempDirectory.h"

namespace {

// Made once and never destroyed: the plug-in's singletons may still use the
// host port while the process ends.
struct FuzzWorld {
    TempDirectory workDirectory{"fuzz"};
    VirtualServer server;
    ScopedHostPort installed{server};

    FuzzWorld() {
        if (::chdir(workDirectory.path().c_str()) != 0) {
            std::perror("chdir");
            std::abort();
        }
    }
};

}  // namespace

VirtualServer& fuzzHost() {
    static FuzzWorld* world = new FuzzWorld();
    return world->server;
}

void writeInputFile(const std::string& name, const std::uint8_t* data, std::size_t size) {
    std::ofstream(name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

std::string FuzzBytes::text(std::size_t count) {
    std::string result;
    while (count-- > 0 && !empty()) {
        result.push_back(static_cast<char>(byte()));
    }
    return result;
}

void fuzzFinding(const char* what) {
    std::fprintf(stderr, "fuzz finding: %s\n", what);
    std::abort();
}
