// The time-domain kernels of one analysed block: the low-pass filter (against the
// straightforward one-output loop it must match bit for bit), down-sampling on every path, the
// mel filter bank, the window, pre-emphasis and peak scaling. The filter and window timings
// include a 4 KB copy that restores the block before each run.
#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "bench_support.hpp"
#include "vocetta/host_services.hpp"

namespace Vocetta::Bench {
namespace {

constexpr int32_t kBlock = 1024;

using LowPassFilterDoor = void (*)(NativeArray*, float, float, float);
using DownSampleDoor = void (*)(NativeArray*, NativeArray*, int32_t, int32_t);

// The convolution as written down, one output at a time: the baseline the library's lanes race.
void StraightforwardConvolution(float* data, int32_t dataLength, const float* source,
                                const float* taps, int32_t tapCount) {
    for (int32_t j = 0; j < dataLength; ++j) {
        for (int32_t k = 0; k < tapCount; ++k) {
            if (j - k >= 0) data[j] = taps[k] * source[j - k] + data[j];
        }
    }
}

struct FilterSettings {
    int32_t sampleRate;
    int32_t tapCount;
    float normalizedCutoff;
};

const bool kRegistered = [] {
    const std::vector<float> block = SpeechLikeSignal(kBlock, 48000.0f);

    for (const FilterSettings& settings :
         {FilterSettings{48000, 298, 0.15625f}, FilterSettings{44100, 274, 7500.0f / 44100.0f}}) {
        const std::string rate = std::to_string(settings.sampleRate);
        // The whole internal filter: scratch copy, taps, convolution, release.
        RegisterEachBuild("LowPassFilter/" + rate, [block, settings](benchmark::State& state,
                                                                     const Host::Entries&,
                                                                     Host::Variant variant) {
            const auto filter =
                TestingSymbol<LowPassFilterDoor>("vocetta_testing_low_pass_filter", variant);
            std::vector<float> data = block;
            for (auto _ : state) {
                state.PauseTiming();
                data = block;
                state.ResumeTiming();
                NativeArray view{data.data(), kBlock, VOCETTA_ALLOCATOR_NONE};
                filter(&view, static_cast<float>(settings.sampleRate), 8000.0f, 500.0f);
                benchmark::DoNotOptimize(data.data());
            }
            state.SetItemsProcessed(state.iterations() * kBlock);
        });
        // The exported core alone (taps and convolution) ...
        RegisterEachBuild("_LowPassFilter/" + rate, [block, settings](benchmark::State& state,
                                                                      const Host::Entries& entries,
                                                                      Host::Variant) {
            std::vector<float> data = block;
            std::vector<float> taps(static_cast<size_t>(settings.tapCount));
            for (auto _ : state) {
                std::copy(block.begin(), block.end(), data.begin());
                entries._LowPassFilter(data.data(), kBlock, block.data(), taps.data(),
                                       settings.tapCount, settings.normalizedCutoff);
                benchmark::DoNotOptimize(data.data());
            }
            state.SetItemsProcessed(state.iterations() * kBlock);
        });
        // ... against the straightforward loop on the same taps (the taps' cost left out).
        benchmark::RegisterBenchmark(
            ("Convolution/straightforward/" + rate).c_str(),
            [block, settings](benchmark::State& state) {
                std::vector<float> taps(static_cast<size_t>(settings.tapCount));
                float unused = 0.0f;
                Library().entries()._LowPassFilter(&unused, 0, &unused, taps.data(),
                                                   settings.tapCount, settings.normalizedCutoff);
                std::vector<float> data = block;
                for (auto _ : state) {
                    std::copy(block.begin(), block.end(), data.begin());
                    StraightforwardConvolution(data.data(), kBlock, block.data(), taps.data(),
                                               settings.tapCount);
                    benchmark::DoNotOptimize(data.data());
                }
                state.SetItemsProcessed(state.iterations() * kBlock);
            });
    }

    for (const int32_t sampleRate : {48000, 44100, 32000, 22050, 16000, 96000}) {
        RegisterEachBuild(
            "DownSample/" + std::to_string(sampleRate),
            [block, sampleRate](benchmark::State& state, const Host::Entries&,
                                Host::Variant variant) {
                const auto downSample =
                    TestingSymbol<DownSampleDoor>("vocetta_testing_down_sample", variant);
                NativeArray input{const_cast<float*>(block.data()), kBlock, VOCETTA_ALLOCATOR_NONE};
                for (auto _ : state) {
                    NativeArray output{nullptr, 0, 0};
                    downSample(&input, &output, sampleRate, 16000);
                    benchmark::DoNotOptimize(output.pointer);
                    Host::FreeTracked(output.pointer, output.allocatorLabel);
                }
                state.SetItemsProcessed(state.iterations() * kBlock);
            });
    }

    for (const int32_t bins : {341, 1024}) {
        std::vector<float> spectrum(static_cast<size_t>(bins));
        for (size_t i = 0; i < spectrum.size(); ++i)
            spectrum[i] = std::fabs(block[i]);
        RegisterEachBuild(
            "_MelFilterBank/30/" + std::to_string(bins),
            [spectrum, bins](benchmark::State& state, const Host::Entries& entries, Host::Variant) {
                float bands[30];
                for (auto _ : state) {
                    entries._MelFilterBank(spectrum.data(), bands, bins, 16000.0f, 30);
                    benchmark::DoNotOptimize(bands);
                }
            });
    }

    RegisterEachBuild(
        "_ApplyHammingWindow/1024",
        [block](benchmark::State& state, const Host::Entries& entries, Host::Variant) {
            std::vector<float> data = block;
            for (auto _ : state) {
                std::copy(block.begin(), block.end(), data.begin());  // no drift into subnormals
                entries._ApplyHammingWindow(data.data(), kBlock);
                benchmark::DoNotOptimize(data.data());
            }
            state.SetItemsProcessed(state.iterations() * kBlock);
        });
    RegisterEachBuild(
        "_ApplyPreEmphasis/1024",
        [block](benchmark::State& state, const Host::Entries& entries, Host::Variant) {
            std::vector<float> data(kBlock);
            for (auto _ : state) {
                entries._ApplyPreEmphasis(data.data(), block.data(), kBlock, 0.97f);
                benchmark::DoNotOptimize(data.data());
            }
            state.SetItemsProcessed(state.iterations() * kBlock);
        });
    RegisterEachBuild("_ScaleToPeak/1024", [block](benchmark::State& state,
                                                   const Host::Entries& entries, Host::Variant) {
        std::vector<float> data = block;
        for (auto _ : state) {
            entries._ScaleToPeak(data.data(), kBlock, 1.0f);
            benchmark::DoNotOptimize(data.data());
        }
        state.SetItemsProcessed(state.iterations() * kBlock);
    });
    return true;
}();

}  // namespace
}  // namespace Vocetta::Bench
