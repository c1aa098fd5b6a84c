// One placement of a payload of each size given (MiB; default 64 and 1024)
// through the plug-in's storage layer against the virtual server: its wall
// time, beside cp and md5sum of the same file, and the bytes written and
// read meanwhile by this process and the tools it ran (mtools, unzip), as
// multiples of the payload's size. The plug-in's own copy into the mounted
// drop box is among the bytes written.
#include <fcntl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tools/StagingRun.h"
#include "tools/WorkDirectory.h"
#include "vserver/SimulatedServer.h"
#include "vserver/TempDirectory.h"

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kMiB = 1 << 20;
const char* const kPayloadInside = "/var/tmp/payload.bin";
const char* const kDestination = "30/images/payload.bin";

struct IoCounters {
    std::uint64_t written = 0;
    std::uint64_t read = 0;
};

// This process's bytes, its reaped children's included.
IoCounters ioCounters() {
    std::ifstream io("/proc/self/io");
    IoCounters counters;
    std::string key;
    std::uint64_t value = 0;
    while (io >> key >> value) {
        if (key == "wchar:") {
            counters.written = value;
        } else if (key == "rchar:") {
            counters.read = value;
        }
    }
    return counters;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void writePayload(const fs::path& path, std::uint64_t bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    std::mt19937_64 random(bytes);
    std::vector<std::uint64_t> block(kMiB / sizeof(std::uint64_t));
    for (std::uint64_t done = 0; done < bytes; done += kMiB) {
        for (std::uint64_t& word : block) {
            word = random();
        }
        file.write(reinterpret_cast<const char*>(block.data()), kMiB);
    }
}

int run(const std::vector<std::string>& argv) {
    pid_t child = fork();
    if (child == 0) {
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        int quiet = ::open("/dev/null", O_WRONLY);
        ::dup2(quiet, 1);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return status;
}

// cp of the payload, then md5sum of the copy: what the placement's copy and
// verification cost without a controller in the way.
double copyAndDigest(const fs::path& payload, const fs::path& scratch) {
    fs::path copy = scratch / "copy.bin";
    auto start = std::chrono::steady_clock::now();
    if (run({"cp", payload.string(), copy.string()}) != 0 || run({"md5sum", copy.string()}) != 0) {
        throw std::runtime_error("cp or md5sum failed");
    }
    double seconds = secondsSince(start);
    fs::remove(copy);
    return seconds;
}

bool placeOnce(std::uint64_t mib, const fs::path& scratch) {
    std::uint64_t bytes = mib * kMiB;
    SimulatedServer server(
        loadServerDescription(INVENTORY_SOURCE_DIR "/tests/benchmarks/placement-server.xml"));
    server.host().clock().startAt(std::time(nullptr));
    fs::path payload = server.host().resolve(kPayloadInside);
    writePayload(payload, bytes);
    std::string failure =
        enterWorkDirectory((scratch / "workdir").string(), INVENTORY_SOURCE_DIR "/data");
    if (!failure.empty()) {
        std::cerr << failure << "\n";
        return false;
    }

    IoCounters before = ioCounters();
    auto start = std::chrono::steady_clock::now();
    StagingOutcome outcome = runPlacements({Placement{kPayloadInside, kDestination, "payload"}});
    double seconds = secondsSince(start);
    IoCounters after = ioCounters();
    if (!outcome.succeeded) {
        std::cerr << "the placement of " << mib << " MiB failed: " << outcome.errorText << "\n";
        return false;
    }
    double reference = copyAndDigest(payload, scratch);
    std::printf(
        "%6llu MiB  placement %7.2f s  cp+md5sum %6.2f s  (%5.1fx)  written %5.1fx  read %5.1fx\n",
        static_cast<unsigned long long>(mib), seconds, reference, seconds / reference,
        double(after.written - before.written) / double(bytes),
        double(after.read - before.read) / double(bytes));
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::uint64_t> sizes;
    for (int i = 1; i < argc; ++i) {
        char* end = nullptr;
        unsigned long long mib = std::strtoull(argv[i], &end, 10);
        if (end == argv[i] || *end != '\0' || mib == 0 || mib > 2048) {
            std::cerr << "usage: placement-benchmark [MIB...]   (1 to 2048 each)\n";
            return 2;
        }
        sizes.push_back(mib);
    }
    if (sizes.empty()) {
        sizes = {64, 1024};
    }
    TempDirectory scratch("placement-benchmark");
    fs::path previous = fs::current_path();
    bool ok = true;
    for (std::uint64_t mib : sizes) {
        ok = placeOnce(mib, scratch.path()) && ok;
        fs::current_path(previous);
    }
    return ok ? 0 : 1;
}
