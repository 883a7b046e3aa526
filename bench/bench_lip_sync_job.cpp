// The whole job per block, and where its time goes: the same block through the exported kernels
// one stage at a time, each stage timed on its own.
#include <chrono>
#include <cmath>

#include "bench_support.hpp"
#include "vocetta/host_services.hpp"

namespace Vocetta::Bench {
namespace {

constexpr int32_t kBlock = JobRecord::kBlock, kTarget = JobRecord::kTarget,
                  kMelDiv = JobRecord::kMelDiv;

void Execute(benchmark::State& state, const Host::Entries& entries, int32_t rate) {
    JobRecord job(rate, CosineSimilarity);
    // Host-service calls per block, counted once outside the timed loop.
    size_t serviceCalls;
    {
        Host::Accounting accounting;
        entries.LipSyncJob_Execute(&job.record);
        serviceCalls = accounting.calls().size();
    }
    for (auto _ : state)
        entries.LipSyncJob_Execute(&job.record);
    state.counters["service_calls"] = static_cast<double>(serviceCalls);
    // Seconds of audio analysed per second of computing, one block per call.
    state.counters["realtime_factor"] = benchmark::Counter(
        static_cast<double>(kBlock) / rate, benchmark::Counter::kIsIterationInvariantRate);
}

// The analysis stage by stage through the exported kernels; each counter is nanoseconds per
// block spent in that stage.
void Stages(benchmark::State& state, const Host::Entries& e, int32_t rate) {
    using Clock = std::chrono::steady_clock;
    JobRecord job(rate, CosineSimilarity);
    const char* names[] = {"ring", "lowpass", "downsample", "condition", "fft", "mel", "cepstrum"};
    double spent[7] = {};
    const float sampleRate = static_cast<float>(rate);
    int32_t taps = static_cast<int32_t>(std::rint(3.1f / (500.0f / sampleRate)));
    taps += taps % 2;
    std::vector<float> buffer(kBlock), source(kBlock), tapArray(static_cast<size_t>(taps));
    std::vector<float> data(kBlock), copy(kBlock), spectrum(kBlock), mel(kMelDiv),
        cepstrum(kMelDiv);
    for (auto _ : state) {
        auto t0 = Clock::now();
        e._UnrollRingBuffer(job.input.data(), buffer.data(), kBlock, 0);
        auto t1 = Clock::now();
        source = buffer;
        e._LowPassFilter(buffer.data(), kBlock, source.data(), tapArray.data(), taps,
                         (kTarget / 2 - 500.0f) / sampleRate);
        auto t2 = Clock::now();
        int32_t n = kBlock;
        if (rate > kTarget && rate % kTarget == 0) {
            n = kBlock / (rate / kTarget);
            e._Decimate(buffer.data(), data.data(), n, rate / kTarget);
        } else if (rate > kTarget) {
            const float ratio = sampleRate / kTarget;
            n = static_cast<int32_t>(std::rint(kBlock / ratio));
            e._Interpolate(buffer.data(), kBlock, data.data(), n, ratio);
        } else {
            data = buffer;
        }
        auto t3 = Clock::now();
        copy = data;
        e._ApplyPreEmphasis(data.data(), copy.data(), n, 0.97f);
        e._ApplyHammingWindow(data.data(), n);
        e._ScaleToPeak(data.data(), n, 1.0f);
        auto t4 = Clock::now();
        e.FFT(data.data(), spectrum.data(), n);
        auto t5 = Clock::now();
        e._MelFilterBank(spectrum.data(), mel.data(), n, kTarget, kMelDiv);
        auto t6 = Clock::now();
        e._PowerToDecibel(mel.data(), kMelDiv);
        e._DCT(mel.data(), cepstrum.data(), kMelDiv);
        auto t7 = Clock::now();
        const Clock::time_point marks[] = {t0, t1, t2, t3, t4, t5, t6, t7};
        for (int i = 0; i < 7; ++i) {
            spent[i] += std::chrono::duration<double, std::nano>(marks[i + 1] - marks[i]).count();
        }
    }
    for (int i = 0; i < 7; ++i) {
        state.counters[std::string("ns_") + names[i]] =
            spent[i] / static_cast<double>(state.iterations());
    }
}

const bool kRegistered = [] {
    for (int32_t rate : {48000, 44100, 32000, 16000}) {
        const std::string rateName = std::to_string(rate);
        RegisterEachBuild(std::string("Execute/").append(rateName),
                          [rate](benchmark::State& state, const Host::Entries& entries,
                                 Host::Variant) { Execute(state, entries, rate); });
        RegisterEachBuild(std::string("ExecuteStages/").append(rateName),
                          [rate](benchmark::State& state, const Host::Entries& entries,
                                 Host::Variant) { Stages(state, entries, rate); });
    }
    return true;
}();

}  // namespace
}  // namespace Vocetta::Bench
