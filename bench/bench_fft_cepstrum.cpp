// The spectral kernels on analysis-sized frames, and what the host allocator alone costs for the
// transform's traffic: the same MallocTracked/FreeTracked sequence (sizes and order of the
// recursion) without the library, so that "FFT minus Allocator" is roughly the library's share.
#include <cstring>

#include "bench_support.hpp"
#include "vocetta/host_services.hpp"

namespace Vocetta::Bench {
namespace {

constexpr int32_t kLengths[] = {256, 341, 512, 1024, 2048};

// The transform's host traffic alone: a block of n >= 2 takes four arrays of n / 2 floats, runs
// its halves, returns the four in order. Replayed by the same recursion, so that branches and
// calls cost what they cost inside the transform.
void AllocatorLevel(int32_t n) {
    if (n < 2) return;
    const int64_t size = int64_t{n / 2} * 4;
    void* blocks[4];
    for (void*& block : blocks) {
        block = Host::MallocTracked(size, 4, 2, 0);
        benchmark::DoNotOptimize(block);
    }
    AllocatorLevel(n / 2);
    AllocatorLevel(n / 2);
    for (void* block : blocks)
        Host::FreeTracked(block, 2);
}

void ReplayTraffic(benchmark::State& state, int32_t n, bool magnitude) {
    for (auto _ : state) {
        void* re = magnitude ? Host::MallocTracked(int64_t{n} * 4, 4, 2, 0) : nullptr;
        void* im = magnitude ? Host::MallocTracked(int64_t{n} * 4, 4, 2, 0) : nullptr;
        AllocatorLevel(n);
        if (magnitude) {
            Host::FreeTracked(re, 2);
            Host::FreeTracked(im, 2);
        }
    }
}

const bool kRegistered = [] {
    for (int32_t n : kLengths) {
        const std::string size = std::to_string(n);
        const std::vector<float> frame = SpeechLikeSignal(n, 16000.0f);

        // In place, so each iteration starts again from the frame (a copy of 2n floats).
        RegisterEachBuild("_FFT/" + size, [frame, n](benchmark::State& state,
                                                     const Host::Entries& entries, Host::Variant) {
            std::vector<float> re(n), im(n);
            for (auto _ : state) {
                std::memcpy(re.data(), frame.data(), sizeof(float) * size_t(n));
                std::memset(im.data(), 0, sizeof(float) * size_t(n));
                entries._FFT(re.data(), im.data(), n);
                benchmark::DoNotOptimize(re.data());
            }
        });
        RegisterEachBuild("FFT/" + size, [frame, n](benchmark::State& state,
                                                    const Host::Entries& entries, Host::Variant) {
            std::vector<float> spectrum(n);
            for (auto _ : state) {
                entries.FFT(frame.data(), spectrum.data(), n);
                benchmark::DoNotOptimize(spectrum.data());
            }
        });
        benchmark::RegisterBenchmark(
            ("Allocator/_FFT/" + size).c_str(),
            [n](benchmark::State& state) { ReplayTraffic(state, n, false); });
        benchmark::RegisterBenchmark(
            ("Allocator/FFT/" + size).c_str(),
            [n](benchmark::State& state) { ReplayTraffic(state, n, true); });
    }

    // A frame's 30 mel channels in decibels, as the analysis feeds its DCT.
    RegisterEachBuild("_DCT/30",
                      [](benchmark::State& state, const Host::Entries& entries, Host::Variant) {
                          std::vector<float> input(30), output(30);
                          for (int32_t i = 0; i < 30; ++i)
                              input[i] = -60.0f + 1.7f * float(i % 11);
                          for (auto _ : state) {
                              entries._DCT(input.data(), output.data(), 30);
                              benchmark::DoNotOptimize(output.data());
                          }
                      });
    // In place, so each iteration starts again from the powers (a copy of 1,024 floats).
    RegisterEachBuild("_PowerToDecibel/1024",
                      [](benchmark::State& state, const Host::Entries& entries, Host::Variant) {
                          std::vector<float> power = SpeechLikeSignal(1024, 16000.0f);
                          for (float& p : power)
                              p = p * p + 1e-6f;
                          std::vector<float> data(1024);
                          for (auto _ : state) {
                              std::memcpy(data.data(), power.data(), sizeof(float) * 1024);
                              entries._PowerToDecibel(data.data(), 1024);
                              benchmark::DoNotOptimize(data.data());
                          }
                          state.SetItemsProcessed(state.iterations() * 1024);
                      });
    return true;
}();

}  // namespace
}  // namespace Vocetta::Bench
