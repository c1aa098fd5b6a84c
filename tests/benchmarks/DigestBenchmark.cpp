// Digest classes against OpenSSL's MD5 and SHA-256 on the same buffers.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "storage/CSHA.h"
#include "storage/MD5.h"
#include "storage/Md5Wrapper.h"
#include "tests/benchmarks/OpenSslDigests.h"

namespace {

constexpr std::int64_t kSmallest = 1 << 10;
constexpr std::int64_t kLargest = std::int64_t{64} << 20;

// One buffer of pseudo-random bytes; every size digests its first bytes.
const std::string& buffer() {
    static const std::string bytes = [] {
        std::string data(static_cast<std::size_t>(kLargest), '\0');
        std::uint64_t state = 0x9E3779B97F4A7C15ULL;
        for (char& c : data) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            c = static_cast<char>(state >> 56);
        }
        return data;
    }();
    return bytes;
}

unsigned char* bytes() {
    return reinterpret_cast<unsigned char*>(const_cast<char*>(buffer().data()));
}

void finish(benchmark::State& state) {
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void md5_MD5(benchmark::State& state) {
    MD5 md5;
    unsigned char digest[16];
    for (auto _ : state) {
        MD5_CTX context;
        md5.MD5Init(&context);
        md5.MD5Update(&context, bytes(), static_cast<unsigned int>(state.range(0)));
        md5.MD5Final(digest, &context);
        benchmark::DoNotOptimize(digest);
    }
    finish(state);
}

// The wrapper takes its text by value: the copy is part of its cost.
void md5_md5wrapper(benchmark::State& state) {
    md5wrapper md5;
    const std::string text = buffer().substr(0, static_cast<std::size_t>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(md5.getHashFromString(text));
    }
    finish(state);
}

template <void (*Digest)(const unsigned char*, std::size_t, unsigned char*)>
void openSsl(benchmark::State& state) {
    unsigned char digest[32];
    for (auto _ : state) {
        Digest(bytes(), static_cast<std::size_t>(state.range(0)), digest);
        benchmark::DoNotOptimize(digest);
    }
    finish(state);
}

void md5_OpenSSL(benchmark::State& state) {
    openSsl<openSslMd5>(state);
}

void runCsha(benchmark::State& state) {
    CSHA sha;
    char digest[32];
    for (auto _ : state) {
        sha.AddData(buffer().data(), static_cast<int>(state.range(0)));
        sha.FinalDigest(digest);
        benchmark::DoNotOptimize(digest);
    }
    finish(state);
}

void sha256_CSHA(benchmark::State& state) {
    if (!CSHA::UseCpuInstructions(true)) {
        state.SetLabel("no SHA instructions: portable code");
    }
    runCsha(state);
}

void sha256_CSHA_portable(benchmark::State& state) {
    CSHA::UseCpuInstructions(false);
    runCsha(state);
    CSHA::UseCpuInstructions(true);
}

void sha256_OpenSSL(benchmark::State& state) {
    openSsl<openSslSha256>(state);
}

void sizes(benchmark::internal::Benchmark* benchmark) {
    benchmark->RangeMultiplier(4)->Range(kSmallest, kLargest);
}

}  // namespace

BENCHMARK(md5_MD5)->Apply(sizes);
BENCHMARK(md5_md5wrapper)->Apply(sizes);
BENCHMARK(md5_OpenSSL)->Apply(sizes);
BENCHMARK(sha256_CSHA)->Apply(sizes);
BENCHMARK(sha256_CSHA_portable)->Apply(sizes);
BENCHMARK(sha256_OpenSSL)->Apply(sizes);

BENCHMARK_MAIN();
