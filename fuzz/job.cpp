// The lip-sync job: its entry on decoded records (any rates, counts and ring starts the job mends,
// every array guarded and the record itself read-only), and the record as a whole (realistic
// audio, and the fields the job must ignore).
#include <algorithm>
#include <cmath>
#include <limits>

#include "harness.hpp"
#include "targets.hpp"

namespace Vocetta::Fuzz {
namespace {

size_t Size(int32_t count) {
    return count > 0 ? static_cast<size_t>(count) : 0;
}

// A record's parameters and reference data, with the job's view of each array.
struct JobCase {
    int32_t blockLength = 0;  // L, the input's length field
    int32_t startIndex = 0, sampleRate = 16000, targetSampleRate = 16000, melDiv = 20;
    int32_t scoreMethod = 0;
    int32_t coefficients = 0, phonemes = 0;  // M and P, the length fields of mfcc and scores
    std::vector<float> input, means, deviations, profiles;
    // Fields the job must not read: lengths of means, deviations, profiles and result, and the
    // six labels (input, means, deviations, profiles, mfcc, scores) plus the result's.
    int32_t ignoredLengths[4] = {0, 0, 0, 1};
    int32_t labels[7] = {1, 1, 1, 1, 1, 1, 1};

    void DefaultIgnored() {
        ignoredLengths[0] = ignoredLengths[1] = coefficients;
        ignoredLengths[2] = static_cast<int32_t>(profiles.size());
        ignoredLengths[3] = 1;
        std::fill(std::begin(labels), std::end(labels), VOCETTA_ALLOCATOR_NONE);
    }
};

// Runs the record and checks what every result must satisfy; returns the outcome, whose written
// bytes are mfcc (M floats), scores (P floats) and the result element.
Outcome RunJob(const JobCase& job, uint32_t control) {
    const std::vector<float> mfcc(Size(job.coefficients), -7.0f);
    const std::vector<float> scores(Size(job.phonemes), -7.0f);
    const std::vector<float> result = {-7.0f, -7.0f};
    const Outcome outcome = RunEveryBuild(
        [&](const Host::Entries& e, Arena& arena) -> uint64_t {
            LipSyncJob record{};
            record.input = {arena.Floats(job.input, true), job.blockLength, job.labels[0]};
            record.startIndex = job.startIndex;
            record.sampleRate = job.sampleRate;
            record.targetSampleRate = job.targetSampleRate;
            record.melDiv = job.melDiv;
            record.scoreMethod = job.scoreMethod;
            record.means = {arena.Floats(job.means, true), job.ignoredLengths[0], job.labels[1]};
            record.standardDeviations = {arena.Floats(job.deviations, true), job.ignoredLengths[1],
                                         job.labels[2]};
            record.phonemeProfiles = {arena.Floats(job.profiles, true), job.ignoredLengths[2],
                                      job.labels[3]};
            record.mfcc = {arena.Floats(mfcc, false), job.coefficients, job.labels[4]};
            record.scores = {arena.Floats(scores, false), job.phonemes, job.labels[5]};
            record.result = {arena.Floats(result, false), job.ignoredLengths[3], job.labels[6]};
            // Sealed: the job must not change a field of the record.
            e.LipSyncJob_Execute(
                static_cast<LipSyncJob*>(arena.Bytes(&record, sizeof record, true)));
            return 0;
        },
        control);

    const size_t m = Size(job.coefficients), p = Size(job.phonemes);
    const auto* bytes = outcome.written.data();
    std::vector<float> written(m + p);
    if (m + p != 0) std::memcpy(written.data(), bytes, (m + p) * sizeof(float));
    int32_t best;
    std::memcpy(&best, bytes + (m + p) * sizeof(float) + sizeof(float), sizeof best);
    // Normalised scores are 0 ... 1 (NaN only where a raw score was infinite); the best index is
    // a phoneme whose score no other beats, the first such, or -1 without phonemes.
    for (size_t i = 0; i < p; ++i) {
        const float s = written[m + i];
        if (!std::isnan(s) && !(s >= 0.0f && s <= 1.0f)) Fail("a normalised score outside 0 ... 1");
    }
    if (p == 0) Require(best == -1, "no phonemes, yet a best index other than -1");
    Require(best >= -1 && best < static_cast<int32_t>(p), "the best index is not a phoneme");
    if (best >= 0) {
        const float top = written[m + static_cast<size_t>(best)];
        for (size_t i = 0; i < p; ++i) {
            const float s = written[m + i];
            if (i < static_cast<size_t>(best)) Require(!(s >= top), "a lower index ties the best");
            Require(!(s > top), "a score beats the best");
        }
    }
    return outcome;
}

void DrawReferences(Input& input, JobCase& job, bool plausible) {
    const size_t m = Size(job.coefficients), p = Size(job.phonemes);
    if (plausible) {
        job.means.resize(m);
        job.deviations.resize(m);
        job.profiles.resize(m * p);
        for (float& v : job.means)
            v = input.FloatIn(-60.0f, 60.0f);
        for (float& v : job.deviations)
            v = input.FloatIn(0.5f, 40.0f);
        for (float& v : job.profiles)
            v = input.FloatIn(-80.0f, 80.0f);
    } else {
        job.means = input.Floats(m);
        job.deviations = input.Floats(m);
        job.profiles = input.Floats(m * p);
    }
}

}  // namespace

int EntryLipSyncJob_Execute(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    JobCase job;
    job.blockLength = input.Count(2048);
    job.startIndex = static_cast<int32_t>(input.Bits());  // any start: it is taken modulo L
    // Capture rates up to 400 kHz (the filter's length grows with the rate), any non-positive
    // one; any analysis rate (the job has none to reach at 0 or below).
    job.sampleRate = input.Bool() ? input.IntIn(-1000, 400000) : input.IntIn(8000, 48000);
    job.targetSampleRate =
        input.Bool() ? static_cast<int32_t>(input.Bits()) : input.IntIn(4000, 24000);
    job.melDiv = input.Count(128);
    // More coefficients than the mel channels give are mended (NaN), as are negative counts.
    job.coefficients = input.Count(48);
    job.phonemes = input.Count(12);
    job.scoreMethod = input.Bool() ? static_cast<int32_t>(input.Bits()) : input.IntIn(0, 2);
    DrawReferences(input, job, input.Bool());
    job.input = input.Floats(Size(job.blockLength));
    job.DefaultIgnored();
    RunJob(job, control);
    return 0;
}

namespace {

// A block of speech-like audio: up to four partials with a little noise, a click, silence, or
// clipped full scale.
std::vector<float> AudioBlock(Input& input, size_t length, float sampleRate) {
    std::vector<float> block(length, 0.0f);
    const uint8_t kind = input.Byte() % 4;
    if (kind == 0) return block;  // digital silence
    if (kind == 1) {
        if (length > 0) block[input.Bits() % length] = input.FloatIn(-1.0f, 1.0f);
        return block;
    }
    const int partials = 1 + input.Byte() % 4;
    for (int k = 0; k < partials; ++k) {
        const double frequency = input.FloatIn(50.0f, 0.5f * sampleRate);
        const double amplitude = input.FloatIn(0.0f, kind == 3 ? 4.0f : 0.5f);
        const double phase = input.FloatIn(0.0f, 6.2831855f);
        for (size_t i = 0; i < length; ++i) {
            block[i] += static_cast<float>(
                amplitude *
                std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / sampleRate + phase));
        }
    }
    const float noise = input.FloatIn(0.0f, 0.05f);
    uint32_t state = input.Bits() | 1u;
    for (float& sample : block) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        sample += noise * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
        if (kind == 3) sample = std::clamp(sample, -1.0f, 1.0f);
    }
    return block;
}

}  // namespace

int JobRecord(const uint8_t* data, size_t size) {
    Input input(data, size);
    constexpr int32_t kRates[] = {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000, 96000};
    constexpr int32_t kTargets[] = {8000, 11025, 16000, 22050, 24000};
    constexpr int32_t kBlocks[] = {64, 128, 256, 341, 372, 512, 743, 1024, 1536, 2048};
    JobCase job;
    job.sampleRate = kRates[input.Byte() % 9];
    job.targetSampleRate = kTargets[input.Byte() % 5];
    job.blockLength = kBlocks[input.Byte() % 10];
    job.startIndex = input.IntIn(0, job.blockLength - 1);
    job.melDiv = input.IntIn(2, 64);
    job.coefficients = input.IntIn(0, job.melDiv - 1);
    job.phonemes = input.IntIn(0, 8);
    job.scoreMethod = input.IntIn(0, 2);
    DrawReferences(input, job, true);
    job.input = AudioBlock(input, Size(job.blockLength), static_cast<float>(job.sampleRate));
    job.DefaultIgnored();
    const Outcome canonical = RunJob(job, kDefaultControlWord);

    // The lengths of means, deviations, profiles and result and every label are never read, and
    // a ring start of L or more (or one below 0, which the job mends) reads the same block.
    JobCase other = job;
    for (int32_t& length : other.ignoredLengths)
        length = static_cast<int32_t>(input.Bits());
    for (int32_t& label : other.labels)
        label = static_cast<int32_t>(input.Bits());
    const int64_t laps = static_cast<int64_t>(input.IntIn(-3, 3));
    const int64_t start = int64_t{job.startIndex} + laps * job.blockLength;
    other.startIndex = static_cast<int32_t>(start);
    const Outcome varied = RunJob(other, kDefaultControlWord);
    if (varied.written != canonical.written)
        Fail("the job's results depend on a field it must ignore or on the ring's lap");
    return 0;
}

}  // namespace Vocetta::Fuzz
