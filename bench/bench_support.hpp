// Shared ground for the benchmarks: the library loaded once through the SDK (with the SDK's
// real-time allocator, no accounting), and registration of a benchmark on each build.
#pragma once

#include <benchmark/benchmark.h>

#include <functional>
#include <string>
#include <vector>

#include "job_arrays.hpp"
#include "vocetta/library.hpp"

namespace Vocetta::Bench {

const Host::Library& Library();
const Host::Library& TestingLibrary();

template <typename Function>
Function TestingSymbol(const std::string& name, Host::Variant variant) {
    return reinterpret_cast<Function>(
        TestingLibrary().symbol((name + Host::VariantSuffix(variant)).c_str()));
}

// Registers "name/x64_sse2" and "name/avx2" (the latter only where the processor runs it).
// `body` receives the state and the build's entries.
using BuildBody =
    std::function<void(benchmark::State&, const Host::Entries&, Host::Variant variant)>;
benchmark::internal::Benchmark* RegisterEachBuild(
    const std::string& name, BuildBody body,
    const std::function<void(benchmark::internal::Benchmark*)>& configure = {});

// A lip-sync record over one block of the signal below: 1,024 samples at `rate`, analysed at
// 16 kHz with 30 mel channels, 12 coefficients and 5 phonemes scored by `method`.
struct JobRecord : Testing::JobArrays {
    static constexpr int32_t kBlock = 1024, kTarget = 16000, kMelDiv = 30, kCoefficients = 12,
                             kPhonemes = 5;

    JobRecord(int32_t rate, int32_t method);
};

// Deterministic test signal: a few harmonics and a little noise, in [-1, 1].
std::vector<float> SpeechLikeSignal(int32_t length, float sampleRate, uint32_t seed = 1);

}  // namespace Vocetta::Bench
