#include "bench_support.hpp"

#include <cmath>
#include <random>

namespace Vocetta::Bench {

const Host::Library& Library() {
    static const Host::Library library(VOCETTA_LIBRARY_PATH);
    return library;
}

const Host::Library& TestingLibrary() {
    static const Host::Library library(VOCETTA_TESTING_LIBRARY_PATH);
    return library;
}

benchmark::internal::Benchmark* RegisterEachBuild(
    const std::string& name, BuildBody body,
    const std::function<void(benchmark::internal::Benchmark*)>& configure) {
    benchmark::internal::Benchmark* last = nullptr;
    for (Host::Variant variant : Host::kVariants) {
        if (!Host::Supports(variant)) continue;
        last = benchmark::RegisterBenchmark((name + "/" + Host::VariantName(variant)).c_str(),
                                            [body, variant](benchmark::State& state) {
                                                body(state, Library().variant(variant), variant);
                                            });
        if (configure) configure(last);
    }
    return last;
}

JobRecord::JobRecord(int32_t rate, int32_t method) {
    input = SpeechLikeSignal(kBlock, static_cast<float>(rate));
    means.assign(kCoefficients, 0.0f);
    deviations.assign(kCoefficients, 10.0f);
    profiles.assign(kCoefficients * kPhonemes, 1.0f);
    mfcc.resize(kCoefficients);
    scores.resize(kPhonemes);
    record.sampleRate = rate;
    record.targetSampleRate = kTarget;
    record.melDiv = kMelDiv;
    record.scoreMethod = method;
    Bind();
}

std::vector<float> SpeechLikeSignal(int32_t length, float sampleRate, uint32_t seed) {
    std::mt19937 random(seed);
    std::normal_distribution<float> noise(0.0f, 0.02f);
    std::vector<float> samples(static_cast<size_t>(length));
    const double pi = 3.14159265358979323846;
    for (int32_t i = 0; i < length; ++i) {
        const double t = i / static_cast<double>(sampleRate);
        double value = 0.0;
        // A 140 Hz voice with formant-like emphasis near 700 and 1200 Hz.
        for (int harmonic = 1; harmonic <= 25; ++harmonic) {
            const double f = 140.0 * harmonic;
            const double gain = 1.0 / harmonic + 0.6 * std::exp(-std::pow((f - 700.0) / 150.0, 2)) +
                                0.4 * std::exp(-std::pow((f - 1200.0) / 200.0, 2));
            value += gain * std::sin(2.0 * pi * f * t + harmonic);
        }
        samples[static_cast<size_t>(i)] = static_cast<float>(0.25 * value) + noise(random);
    }
    return samples;
}

}  // namespace Vocetta::Bench
