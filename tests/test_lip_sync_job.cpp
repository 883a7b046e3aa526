// The lip-sync job against its own parts: the exported kernels chained in the order of the
// analysis, the scoring formulas written out here, and the host traffic predicted from the sizes
// each stage must request.
#include <sys/mman.h>
#include <unistd.h>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <thread>
#include <unordered_map>

#include "job_arrays.hpp"
#include "support.hpp"

extern "C" float Sleef_powf1_u10purec(float, float);

namespace Vocetta::Testing {
namespace {

using Host::ServiceCall;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A vowel-like block: a 120-180 Hz voice with two formant bumps and a little noise.
std::vector<float> SpeechLike(int32_t length, int32_t sampleRate, uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> pitch(120.0, 180.0), formant(400.0, 900.0),
        phase(0.0, 6.28);
    std::normal_distribution<double> noise(0.0, 0.01);
    const double f0 = pitch(random), f1 = formant(random), f2 = f1 + 700.0;
    std::vector<double> phases(40);
    for (double& p : phases)
        p = phase(random);
    std::vector<float> samples(static_cast<size_t>(length));
    for (int32_t i = 0; i < length; ++i) {
        const double t = static_cast<double>(i) / sampleRate;
        double value = 0.0;
        for (int h = 1; h <= 40 && h * f0 < sampleRate / 2.0; ++h) {
            const double f = h * f0;
            const double gain = 0.2 / h + std::exp(-std::pow((f - f1) / 120.0, 2)) +
                                0.5 * std::exp(-std::pow((f - f2) / 180.0, 2));
            value += gain * std::sin(2.0 * M_PI * f * t + phases[static_cast<size_t>(h - 1)]);
        }
        samples[static_cast<size_t>(i)] = static_cast<float>(0.1 * value + noise(random));
    }
    return samples;
}

// A record with its arrays. Statistics and profiles are plausible MFCC magnitudes.
struct Job : JobArrays {
    Job(std::vector<float> samples, int32_t sampleRate, int32_t targetRate, int32_t melDiv,
        int32_t coefficients, int32_t phonemes, int32_t method, uint32_t seed = 7) {
        input = std::move(samples);
        means.resize(static_cast<size_t>(coefficients));
        deviations.resize(static_cast<size_t>(coefficients));
        profiles.resize(static_cast<size_t>(coefficients) * static_cast<size_t>(phonemes));
        mfcc.assign(static_cast<size_t>(coefficients), -1.0f);
        scores.assign(static_cast<size_t>(phonemes), -1.0f);
        result[0] = {-7.0f, -7};
        std::mt19937 random(seed);
        std::normal_distribution<float> value(0.0f, 20.0f);
        std::uniform_real_distribution<float> spread(5.0f, 30.0f);
        for (float& m : means)
            m = value(random);
        for (float& d : deviations)
            d = spread(random);
        for (float& p : profiles)
            p = value(random);
        record.startIndex = 0;
        record.sampleRate = sampleRate;
        record.targetSampleRate = targetRate;
        record.melDiv = melDiv;
        record.scoreMethod = method;
        Bind();
    }
};

// What the job must compute, from the exported kernels in the analysis order and the scoring
// formulas.
struct Expected {
    std::vector<float> mfcc, scores;
    float volume;
    int32_t best;
    size_t fftBegin = 0, fftEnd = 0;  // the magnitude spectrum's host calls, by `traceLength`
};

// `traceLength`, when given, counts the host calls so far, to find those of the spectrum.
Expected ChainKernels(const Host::Entries& e, Job& job, size_t (*traceLength)() = nullptr) {
    const LipSyncJob& r = job.record;
    Expected expected;
    const int32_t length = r.input.length;
    std::vector<float> buffer(static_cast<size_t>(length));
    e._UnrollRingBuffer(job.input.data(), buffer.data(), length, r.startIndex);

    // Low-pass: a truncated sinc 3.1 / (range / rate) taps long, made even, cut `range` Hz below
    // half the analysis rate.
    const float rate = static_cast<float>(r.sampleRate), range = 500.0f;
    const float cutoff = static_cast<float>(r.targetSampleRate / 2);
    int32_t tapCount = static_cast<int32_t>(std::rint(3.1f / (range / rate)));
    if (tapCount % 2 != 0) ++tapCount;
    if (tapCount > 0) {
        const std::vector<float> source = buffer;
        std::vector<float> taps(static_cast<size_t>(tapCount));
        e._LowPassFilter(buffer.data(), length, source.data(), taps.data(), tapCount,
                         (cutoff - range) / rate);
    }

    std::vector<float> data;
    if (r.sampleRate <= r.targetSampleRate) {
        data = buffer;
    } else if (r.sampleRate % r.targetSampleRate == 0) {
        const int32_t step = r.sampleRate / r.targetSampleRate;
        data.resize(static_cast<size_t>(length / step));
        e._Decimate(buffer.data(), data.data(), static_cast<int32_t>(data.size()), step);
    } else {
        const float ratio =
            static_cast<float>(r.sampleRate) / static_cast<float>(r.targetSampleRate);
        data.resize(static_cast<size_t>(std::rint(static_cast<float>(length) / ratio)));
        e._Interpolate(buffer.data(), length, data.data(), static_cast<int32_t>(data.size()),
                       ratio);
    }
    const auto n = static_cast<int32_t>(data.size());
    const std::vector<float> copy = data;
    e._ApplyPreEmphasis(data.data(), copy.data(), n, 0.97f);
    e._ApplyHammingWindow(data.data(), n);
    e._ScaleToPeak(data.data(), n, 1.0f);
    std::vector<float> spectrum(static_cast<size_t>(n));
    if (traceLength != nullptr) expected.fftBegin = traceLength();
    e.FFT(data.data(), spectrum.data(), n);
    if (traceLength != nullptr) expected.fftEnd = traceLength();
    std::vector<float> mel(static_cast<size_t>(r.melDiv));
    e._MelFilterBank(spectrum.data(), mel.data(), n, static_cast<float>(r.targetSampleRate),
                     r.melDiv);
    e._PowerToDecibel(mel.data(), r.melDiv);
    std::vector<float> cepstrum(static_cast<size_t>(r.melDiv));
    e._DCT(mel.data(), cepstrum.data(), r.melDiv);

    // Coefficients beyond the channels do not exist and come out as NaN.
    for (int32_t i = 1; i <= r.mfcc.length; ++i)
        expected.mfcc.push_back(i < r.melDiv ? cepstrum[static_cast<size_t>(i)] : kNaN);
    expected.volume = e._RootMeanSquare(job.input.data(), length);

    const int32_t m = r.mfcc.length;
    float total = 0.0f;
    for (int32_t p = 0; p < r.scores.length; ++p) {
        float sum = 0.0f, dot = 0.0f, na = 0.0f, nb = 0.0f;
        for (int32_t i = 0; i < m; ++i) {
            const float a = (expected.mfcc[i] - job.means[i]) / job.deviations[i];
            const float b = (job.profiles[p * m + i] - job.means[i]) / job.deviations[i];
            sum = sum + (r.scoreMethod == 0 ? std::fabs(a - b) : (a - b) * (a - b));
            dot = dot + a * b;
            na = na + a * a;
            nb = nb + b * b;
        }
        float score = 0.0f;
        if (r.scoreMethod == 0) score = Sleef_powf1_u10purec(10.0f, -sum / static_cast<float>(m));
        if (r.scoreMethod == 1) {
            score = Sleef_powf1_u10purec(10.0f, -std::sqrt(sum / static_cast<float>(m)));
        }
        if (r.scoreMethod == 2) {
            float c = dot / (std::sqrt(na) * std::sqrt(nb));
            score = Sleef_powf1_u10purec(c > 0.0f ? c : 0.0f, 100.0f);
        }
        expected.scores.push_back(score);
        total = total + score;
    }
    expected.best = expected.scores.empty() ? -1 : 0;
    float best = -1.0f;
    for (size_t p = 0; p < expected.scores.size(); ++p) {
        float& s = expected.scores[p];
        s = total > 0.0f ? s / total : 0.0f;
        if (s > best) best = s, expected.best = static_cast<int32_t>(p);
    }
    return expected;
}

void ExpectSameBits(const std::vector<float>& actual, const std::vector<float>& expected,
                    const char* what) {
    ASSERT_EQ(actual.size(), expected.size()) << what;
    for (size_t i = 0; i < actual.size(); ++i) {
        EXPECT_TRUE(SameBits(actual[i], expected[i]))
            << what << "[" << i << "] = " << actual[i] << ", expected " << expected[i];
    }
}

bool SameValue(float a, float b) {
    return SameBits(a, b) || (std::isnan(a) && std::isnan(b));
}

class LipSyncJobTest : public BuildTest {
  protected:
    void Run(Job& job) const { entries().LipSyncJob_Execute(&job.record); }

    // A block of speech from `rate` to `target` through the job and through the kernels
    // chained: the same coefficients and volume.
    void ExpectChainedKernels(int32_t rate, int32_t target, int32_t length, uint32_t seed) const {
        Job job(SpeechLike(length, rate, seed), rate, target, 24, 12, 3, 1, seed);
        const Expected expected = ChainKernels(entries(), job);
        Run(job);
        SCOPED_TRACE(testing::Message()
                     << rate << " to " << target << " Hz, " << length << " samples");
        for (size_t i = 0; i < job.mfcc.size(); ++i)
            ASSERT_TRUE(SameValue(job.mfcc[i], expected.mfcc[i]))
                << "mfcc[" << i << "] = " << job.mfcc[i] << ", expected " << expected.mfcc[i];
        ASSERT_TRUE(SameValue(job.result[0].volume, expected.volume));
    }
};

TEST_P(LipSyncJobTest, EqualsTheKernelsChainedForRealisticBlocks) {
    uint32_t seed = 1;
    for (int32_t rate : {48000, 44100, 32000, 16000}) {
        for (int32_t method : {0, 1, 2}) {
            ++seed;
            Job job(SpeechLike(1024, rate, seed), rate, 16000, 30, 12, 5, method, seed + 100);
            job.record.startIndex = 300;
            // One profile near the block, so the scores are not all underflowed.
            Job probe = job;
            Run(probe);
            for (int32_t i = 0; i < 12; ++i)
                job.profiles[24 + i] = probe.mfcc[i] + 0.5f * i;

            const Expected expected = ChainKernels(entries(), job);
            Run(job);
            SCOPED_TRACE(testing::Message() << rate << " Hz, method " << method);
            ExpectSameBits(job.mfcc, expected.mfcc, "mfcc");
            ExpectSameBits(job.scores, expected.scores, "scores");
            EXPECT_TRUE(SameBits(job.result[0].volume, expected.volume));
            EXPECT_EQ(job.result[0].phonemeIndex, expected.best);
            if (method != 2) {
                EXPECT_EQ(job.result[0].phonemeIndex, 2);
            }
        }
    }
}

// The host-service calls one block must make, predicted from the sizes of each stage.
struct Traffic {
    struct Call {
        bool allocate;
        int64_t size;  // allocate
        int id;        // which allocation
    };
    std::vector<Call> calls;
    int next = 0;

    int Allocate(int32_t count) {
        calls.push_back({true, int64_t{count} * 4, next});
        return next++;
    }
    void Release(int id) { calls.push_back({false, 0, id}); }
    void Fft(int32_t n) {
        if (n < 2) return;
        const int32_t h = n / 2;
        int ids[4];
        for (int& id : ids)
            id = Allocate(h);
        Fft(h);
        Fft(h);
        for (int id : ids)
            Release(id);
    }
};

Traffic PredictTraffic(int32_t length, int32_t tapCount, int32_t frame, int32_t melDiv) {
    Traffic t;
    const int buffer = t.Allocate(length);
    const int source = t.Allocate(length), taps = t.Allocate(tapCount);
    t.Release(source);
    t.Release(taps);
    const int data = t.Allocate(frame);
    t.Release(t.Allocate(frame));  // the pre-emphasis copy
    const int spectrum = t.Allocate(frame);
    const int re = t.Allocate(frame), im = t.Allocate(frame);
    t.Fft(frame);
    t.Release(re);
    t.Release(im);
    const int mel = t.Allocate(melDiv), cepstrum = t.Allocate(melDiv);
    for (int id : {buffer, data, spectrum, mel, cepstrum})
        t.Release(id);
    return t;
}

void ExpectTraffic(const std::vector<ServiceCall>& calls, const Traffic& predicted) {
    ASSERT_EQ(calls.size(), predicted.calls.size());
    std::map<int, const void*> blocks;
    for (size_t i = 0; i < calls.size(); ++i) {
        const ServiceCall& call = calls[i];
        const Traffic::Call& expected = predicted.calls[i];
        SCOPED_TRACE(testing::Message() << "call #" << i);
        ASSERT_EQ(call.kind,
                  expected.allocate ? ServiceCall::Kind::Allocate : ServiceCall::Kind::Release);
        EXPECT_EQ(call.label, VOCETTA_ALLOCATOR_TEMP);
        if (expected.allocate) {
            EXPECT_EQ(call.size, expected.size);
            EXPECT_EQ(call.alignment, 4);
            EXPECT_EQ(call.last, 0);
            blocks[expected.id] = call.pointer;
        } else {
            EXPECT_EQ(call.pointer, blocks[expected.id]);
        }
    }
}

TEST_P(LipSyncJobTest, HostTrafficOfOneBlock) {
    struct Case {
        int32_t rate, length, tapCount, frame;
    } cases[] = {{48000, 1024, 298, 341}, {44100, 1024, 274, 372}, {16000, 1024, 100, 1024},
                 {48000, 0, 298, 0},      {48000, 2, 298, 0},      {48000, 3, 298, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " Hz, " << c.length << " samples");
        Job job(SpeechLike(c.length, c.rate, 3), c.rate, 16000, 30, 12, 5, 0);
        Host::Accounting accounting;
        Run(job);
        ExpectTraffic(accounting.calls(), PredictTraffic(c.length, c.tapCount, c.frame, 30));
        ExpectCleanTraffic(accounting);
    }
}

TEST_P(LipSyncJobTest, ThousandsOfBlocksLeakNothing) {
    Job job(SpeechLike(1024, 44100, 4), 44100, 16000, 30, 12, 5, 1);
    Host::Accounting accounting;
    for (int i = 0; i < 2000; ++i) {
        job.record.startIndex = (i * 37) % 1024;
        Run(job);
    }
    ExpectCleanTraffic(accounting);
    EXPECT_EQ(accounting.allocationCount(), accounting.releaseCount());
}

TEST_P(LipSyncJobTest, EmptyScoresGiveIndexMinusOneAndStillTheVolume) {
    Job job({3.0f, 4.0f, 3.0f, 4.0f}, 16000, 16000, 30, 12, 0, 0);
    Run(job);
    EXPECT_EQ(job.result[0].phonemeIndex, -1);
    EXPECT_FLOAT_EQ(job.result[0].volume, std::sqrt(12.5f));
}

TEST_P(LipSyncJobTest, NoCoefficientsLeavesMfccAloneAndScoresZero) {
    for (int32_t method : {0, 1, 2}) {
        Job job(SpeechLike(1024, 16000, 5), 16000, 16000, 30, 0, 3, method);
        float sentinel = 42.0f;
        job.record.mfcc = {&sentinel, 0, VOCETTA_ALLOCATOR_NONE};
        Run(job);
        EXPECT_EQ(sentinel, 42.0f);
        EXPECT_EQ(job.scores, std::vector<float>(3, 0.0f)) << "method " << method;
        EXPECT_EQ(job.result[0].phonemeIndex, 0);
    }
}

TEST_P(LipSyncJobTest, EmptyAndTinyBlocksRunCleanly) {
    for (int32_t length : {0, 1, 2, 3}) {
        Job job(std::vector<float>(static_cast<size_t>(length), 0.5f), 48000, 16000, 30, 12, 5, 0);
        Host::Accounting accounting;
        Run(job);
        ExpectCleanTraffic(accounting);
        if (length == 0) {
            EXPECT_TRUE(std::isnan(job.result[0].volume));
        }
        EXPECT_EQ(job.result[0].phonemeIndex, 0) << length << " samples";
    }
}

TEST_P(LipSyncJobTest, SilenceScoresZeroWithIndexZero) {
    Job job(std::vector<float>(1024, 0.0f), 48000, 16000, 30, 12, 5, 0);
    Run(job);
    EXPECT_EQ(job.result[0].volume, 0.0f);
    for (float c : job.mfcc)
        EXPECT_TRUE(std::isnan(c));  // -inf mixed with cosines of both signs
    EXPECT_EQ(job.scores, std::vector<float>(5, 0.0f));
    EXPECT_EQ(job.result[0].phonemeIndex, 0);
}

TEST_P(LipSyncJobTest, StartIndexWrapsModuloTheRing) {
    const std::vector<float> samples = SpeechLike(1024, 32000, 6);
    Job reference(samples, 32000, 16000, 30, 12, 5, 1);
    Run(reference);
    Job wrapped(samples, 32000, 16000, 30, 12, 5, 1);
    wrapped.record.startIndex = 1024;
    Run(wrapped);
    ExpectSameBits(wrapped.mfcc, reference.mfcc, "mfcc");

    // A negative start counts back from the end of the ring, as start + L would.
    Job back(samples, 32000, 16000, 30, 12, 5, 1), forward(samples, 32000, 16000, 30, 12, 5, 1);
    back.record.startIndex = -5;
    forward.record.startIndex = 1019;
    Run(back);
    Run(forward);
    ExpectSameBits(back.mfcc, forward.mfcc, "mfcc");
    back.record.startIndex = INT32_MIN;
    forward.record.startIndex = static_cast<int32_t>((int64_t{INT32_MIN} % 1024 + 1024) % 1024);
    Run(back);
    Run(forward);
    ExpectSameBits(back.mfcc, forward.mfcc, "mfcc");
}

TEST_P(LipSyncJobTest, ScalingByAPowerOfTwoScalesOnlyTheVolume) {
    std::vector<float> samples = SpeechLike(1024, 44100, 8);
    Job reference(samples, 44100, 16000, 30, 12, 5, 2);
    Run(reference);
    for (float& s : samples)
        s *= 0.125f;
    Job scaled(samples, 44100, 16000, 30, 12, 5, 2);
    Run(scaled);
    ExpectSameBits(scaled.mfcc, reference.mfcc, "mfcc");
    EXPECT_EQ(scaled.result[0].volume, reference.result[0].volume * 0.125f);
}

// Scoring on a fixed MFCC vector: a profile equal to the block scores 1 before normalisation.
class ScoringTest : public LipSyncJobTest {
  protected:
    // Runs a record whose profiles are given relative to the block's own MFCCs.
    Job Score(int32_t method, const std::vector<std::vector<float>>& offsets) const {
        const std::vector<float> samples = SpeechLike(1024, 16000, 9);
        Job probe(samples, 16000, 16000, 30, 12, 1, 0);
        Run(probe);
        Job job(samples, 16000, 16000, 30, 12, static_cast<int32_t>(offsets.size()), method);
        for (size_t p = 0; p < offsets.size(); ++p) {
            for (size_t i = 0; i < 12; ++i) {
                job.profiles[p * 12 + i] =
                    offsets[p].empty() ? probe.mfcc[i] : probe.mfcc[i] + offsets[p][i];
            }
        }
        Run(job);
        return job;
    }
};

TEST_P(ScoringTest, PerfectMatchAloneScoresExactlyOne) {
    for (int32_t method : {0, 1, 2}) {
        const Job job = Score(method, {{}});
        EXPECT_EQ(job.scores[0], 1.0f) << "method " << method;
        EXPECT_EQ(job.result[0].phonemeIndex, 0);
    }
}

TEST_P(ScoringTest, TiesGoToTheLowerIndex) {
    const std::vector<float> far(12, 40.0f), near(12, 1.0f);
    for (int32_t method : {0, 1}) {
        const Job job = Score(method, {far, near, near});
        EXPECT_EQ(job.scores[1], job.scores[2]);
        EXPECT_EQ(job.result[0].phonemeIndex, 1);
        EXPECT_NEAR(job.scores[0] + job.scores[1] + job.scores[2], 1.0f, 1e-6f);
    }
}

TEST_P(ScoringTest, OppositeVectorsScoreZeroUnderCosine) {
    const std::vector<float> samples = SpeechLike(1024, 16000, 9);
    Job job(samples, 16000, 16000, 30, 12, 2, 2);
    std::fill(job.means.begin(), job.means.end(), 0.0f);
    std::fill(job.deviations.begin(), job.deviations.end(), 1.0f);
    Run(job);
    for (int i = 0; i < 12; ++i) {
        job.profiles[static_cast<size_t>(i)] = -job.mfcc[static_cast<size_t>(i)];
        job.profiles[static_cast<size_t>(12 + i)] = 2.0f * job.mfcc[static_cast<size_t>(i)];
    }
    Run(job);
    EXPECT_EQ(job.scores[0], 0.0f);
    EXPECT_EQ(job.scores[1], 1.0f);  // parallel, whatever the length
    EXPECT_EQ(job.result[0].phonemeIndex, 1);
}

TEST_P(ScoringTest, UnknownMethodAndNaNScoresGiveZeros) {
    Job unknown = Score(7, {{}, {}});
    EXPECT_EQ(unknown.scores, std::vector<float>(2, 0.0f));
    EXPECT_EQ(unknown.result[0].phonemeIndex, 0);

    std::vector<float> poisoned(12, 0.0f);
    poisoned[3] = kNaN;
    const Job nan = Score(0, {{}, poisoned});
    EXPECT_EQ(nan.scores, std::vector<float>(2, 0.0f));
    EXPECT_EQ(nan.result[0].phonemeIndex, 0);

    const Job underflow = Score(0, {std::vector<float>(12, 1e6f)});
    EXPECT_EQ(underflow.scores[0], 0.0f);
    EXPECT_EQ(underflow.result[0].phonemeIndex, 0);
}

// Records the analysis cannot honour in full must still return without harm.
TEST_P(LipSyncJobTest, MoreCoefficientsThanChannelsGivesNaNForTheMissing) {
    Job job(SpeechLike(1024, 16000, 10), 16000, 16000, 8, 12, 2, 0);
    Job full(SpeechLike(1024, 16000, 10), 16000, 16000, 8, 7, 2, 0);
    Run(job);
    Run(full);
    for (size_t i = 0; i < 7; ++i)
        EXPECT_TRUE(SameBits(job.mfcc[i], full.mfcc[i])) << i;
    for (size_t i = 7; i < 12; ++i)
        EXPECT_TRUE(std::isnan(job.mfcc[i])) << i;
}

TEST_P(LipSyncJobTest, NonPositiveRatesAndCountsDoNoHarm) {
    struct Case {
        int32_t rate, target, melDiv, length;
    } cases[] = {{48000, 0, 30, 1024},      {48000, -16000, 30, 1024}, {0, 16000, 30, 1024},
                 {-44100, 16000, 30, 1024}, {48000, 16000, -5, 1024},  {48000, 16000, 30, -4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rate << " -> " << c.target << " Hz, melDiv "
                                        << c.melDiv << ", length " << c.length);
        Job job(SpeechLike(1024, 48000, 11), c.rate, c.target, c.melDiv, 12, 5, 0);
        job.record.input.length = c.length;
        Host::Accounting accounting;
        Run(job);
        for (const ServiceCall& call : accounting.calls())
            EXPECT_GE(call.size, 0);
        ExpectCleanTraffic(accounting);
    }
}

TEST_P(LipSyncJobTest, ConcurrentRecordsMatchSequentialOnes) {
    const std::vector<float> input = SpeechLike(1024, 44100, 12);
    constexpr int kRecords = 16;
    std::vector<Job> sequential, concurrent;
    for (int i = 0; i < kRecords; ++i) {
        sequential.emplace_back(input, 44100, 16000, 30, 12, 5, i % 3);
        sequential.back().record.startIndex = i * 61;
    }
    concurrent = sequential;
    for (Job& job : sequential)
        Run(job);
    Host::Accounting accounting;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 25; ++round) {
                for (int i = t; i < kRecords; i += 4)
                    Run(concurrent[static_cast<size_t>(i)]);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    ExpectCleanTraffic(accounting);
    for (int i = 0; i < kRecords; ++i) {
        ExpectSameBits(concurrent[i].mfcc, sequential[i].mfcc, "mfcc");
        ExpectSameBits(concurrent[i].scores, sequential[i].scores, "scores");
    }
}

// A host that hands out garbage: every block is filled with random floats and fenced on both
// sides by random bytes that are checked when it comes back, and blocks are aligned to 4 bytes
// only. Reading scratch that was never written, or writing past a block, changes the results or
// trips a fence. Every call is traced: kind, size, alignment, label, last argument, and for a
// release the position in the trace of the allocation it returns.
class GarbageHost {
  public:
    struct Call {
        ServiceCall::Kind kind;
        int64_t size;
        int32_t alignment, label, last;
        int64_t block;  // Release: trace position of the allocation, -1 if unknown
    };

    explicit GarbageHost(uint64_t seed) : state_(seed) {
        current_ = this;
        Library().initialize(&Resolve);
    }
    ~GarbageHost() {
        Library().initialize(&Host::Library::DefaultResolver);
        current_ = nullptr;
        for (auto& [pointer, block] : live_)
            std::free(block.base);
    }
    GarbageHost(const GarbageHost&) = delete;
    GarbageHost& operator=(const GarbageHost&) = delete;

    const std::vector<Call>& calls() const { return calls_; }
    const std::vector<std::string>& faults() const { return faults_; }
    size_t liveBlocks() const { return live_.size(); }
    // Forgets the calls so far, between records whose blocks have all come back.
    void clearCalls() { calls_.clear(); }
    static size_t TraceLength() { return current_->calls_.size(); }

  private:
    static constexpr size_t kFence = 64;
    struct Block {
        uint8_t* base;
        size_t offset;  // of the block from base
        int64_t size;
        size_t call;
        uint64_t fenceSeed;
    };

    uint64_t Next() {  // splitmix64
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Fences are whole words of a sequence that depends on the block: no value they hold is
    // likely to be written there by chance.
    static void FillFence(uint8_t* p, size_t words, uint64_t seed) {
        for (size_t i = 0; i < words; ++i) {
            const uint32_t word = static_cast<uint32_t>((seed + i) * 0x9E3779B97F4A7C15ull >> 32);
            std::memcpy(p + 4 * i, &word, 4);
        }
    }
    static bool FenceIntact(const uint8_t* p, size_t words, uint64_t seed) {
        uint8_t expected[kFence + 16];
        FillFence(expected, words, seed);
        return std::memcmp(p, expected, 4 * words) == 0;
    }

    static void* Malloc(int64_t size, int32_t alignment, int32_t label, int32_t last) {
        GarbageHost& host = *current_;
        host.calls_.push_back({ServiceCall::Kind::Allocate, size, alignment, label, last, -1});
        if (size < 0) {
            host.faults_.push_back("negative allocation");
            size = 0;
        }
        const size_t offset = kFence + 4 * (host.Next() % 4);  // 4-byte aligned, rarely 16
        const size_t bytes = static_cast<size_t>(size);
        auto* base = static_cast<uint8_t*>(std::malloc(offset + bytes + kFence));
        Block block{base, offset, size, host.calls_.size() - 1, host.Next()};
        FillFence(base, offset / 4, block.fenceSeed);
        FillFence(base + offset + bytes, kFence / 4, ~block.fenceSeed);
        // Finite garbage of moderate size: it changes results instead of turning them all
        // into NaN, which would hide the difference.
        uint8_t* data = base + offset;
        for (size_t i = 0; i < bytes; i += 4) {
            const auto bits = static_cast<uint32_t>(host.Next());
            const uint32_t garbage = (bits & 0x807FFFFFu) | ((123u + (bits >> 23) % 8u) << 23);
            std::memcpy(data + i, &garbage, std::min<size_t>(4, bytes - i));
        }
        host.live_[data] = block;
        return data;
    }

    static void Free(void* pointer, int32_t label) {
        GarbageHost& host = *current_;
        const auto found = host.live_.find(pointer);
        if (found == host.live_.end()) {
            host.calls_.push_back({ServiceCall::Kind::Release, 0, 0, label, 0, -1});
            host.faults_.push_back("release of a block that is not live");
            return;
        }
        const Block block = found->second;
        host.live_.erase(found);
        host.calls_.push_back(
            {ServiceCall::Kind::Release, 0, 0, label, 0, static_cast<int64_t>(block.call)});
        const size_t bytes = static_cast<size_t>(block.size);
        if (!FenceIntact(block.base, block.offset / 4, block.fenceSeed) ||
            !FenceIntact(block.base + block.offset + bytes, kFence / 4, ~block.fenceSeed)) {
            host.faults_.push_back("fence overwritten around the block of call " +
                                   std::to_string(block.call));
        }
        std::free(block.base);
    }

    static void Abort(const char* type, const char* message) {
        current_->calls_.push_back({ServiceCall::Kind::Abort, 0, 0, 0, 0, -1});
        throw Host::AbortError(type, message);
    }

    static void* Resolve(const char* name) {
        const std::string text(name);
        if (text == VOCETTA_SERVICE_MALLOC_TRACKED) return reinterpret_cast<void*>(&Malloc);
        if (text == VOCETTA_SERVICE_FREE_TRACKED) return reinterpret_cast<void*>(&Free);
        if (text == VOCETTA_SERVICE_ABORT) return reinterpret_cast<void*>(&Abort);
        return nullptr;
    }

    static inline GarbageHost* current_ = nullptr;
    uint64_t state_;
    std::vector<Call> calls_;
    std::vector<std::string> faults_;
    std::unordered_map<const void*, Block> live_;
};

// The job's host calls as the stages must make them, with the magnitude spectrum's own calls
// (taken from the exported kernel) spliced in. Allocation ids are trace positions.
std::vector<GarbageHost::Call> PredictJobCalls(const LipSyncJob& r,
                                               const std::vector<GarbageHost::Call>& fftCalls,
                                               int64_t fftOrigin) {
    std::vector<GarbageHost::Call> calls;
    auto allocate = [&](int64_t count) {
        calls.push_back({ServiceCall::Kind::Allocate, count * 4, 4, VOCETTA_ALLOCATOR_TEMP, 0, -1});
        return static_cast<int64_t>(calls.size() - 1);
    };
    auto release = [&](int64_t id) {
        calls.push_back({ServiceCall::Kind::Release, 0, 0, VOCETTA_ALLOCATOR_TEMP, 0, id});
    };
    const int64_t length = r.input.length > 0 ? r.input.length : 0;
    int32_t tapCount = static_cast<int32_t>(std::rint(3.1f / (500.0f / r.sampleRate)));
    tapCount += tapCount % 2;
    int64_t frame = length;
    if (r.sampleRate > r.targetSampleRate && r.sampleRate % r.targetSampleRate == 0) {
        frame = length / (r.sampleRate / r.targetSampleRate);
    } else if (r.sampleRate > r.targetSampleRate) {
        const float ratio =
            static_cast<float>(r.sampleRate) / static_cast<float>(r.targetSampleRate);
        frame = static_cast<int64_t>(std::rint(static_cast<float>(length) / ratio));
    }
    const int64_t buffer = allocate(length);
    const int64_t source = allocate(length), taps = allocate(tapCount);
    release(source);
    release(taps);
    const int64_t data = allocate(frame);
    release(allocate(frame));  // the pre-emphasis copy
    const int64_t spectrum = allocate(frame);
    const int64_t shift = static_cast<int64_t>(calls.size()) - fftOrigin;
    for (GarbageHost::Call call : fftCalls) {
        if (call.kind == ServiceCall::Kind::Release) call.block += shift;
        calls.push_back(call);
    }
    const int64_t mel = allocate(r.melDiv), cepstrum = allocate(r.melDiv);
    for (int64_t id : {buffer, data, spectrum, mel, cepstrum})
        release(id);
    return calls;
}

// A float that ordinary, tiny, special and invalid values all turn up in.
float RandomValue(std::mt19937& random, float scale, bool specials) {
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    if (specials) {
        switch (std::uniform_int_distribution<int>(0, 40)(random)) {
            case 0:
                return 0.0f;
            case 1:
                return -0.0f;
            case 2:
                return 1e-40f * uniform(random);  // denormal
            case 3:
                return std::numeric_limits<float>::denorm_min();
            case 4:
                return std::numeric_limits<float>::infinity();
            case 5:
                return -std::numeric_limits<float>::infinity();
            case 6: {  // NaN, random payload
                const uint32_t bits = 0x7FC00000u | (random() & 0x803FFFFFu);
                float nan;
                std::memcpy(&nan, &bits, sizeof nan);
                return nan;
            }
            case 7:
                return 3e38f * uniform(random);
            default:
                break;
        }
    }
    return scale * uniform(random);
}

int32_t RandomRate(std::mt19937& random) {
    const int32_t common[] = {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000};
    if (random() % 2 == 0) return common[random() % 10];
    return std::uniform_int_distribution<int32_t>(8000, 96000)(random);
}

Job RandomJob(std::mt19937& random) {
    auto below = [&](int32_t n) {
        return static_cast<int32_t>(random() % static_cast<uint32_t>(n));
    };
    int32_t sampleRate = RandomRate(random), targetRate = RandomRate(random);
    // Whole-number ratios take their own path through the down-sampler.
    if (below(4) == 0) {
        const int32_t step = 2 + below(12);
        targetRate = sampleRate / step;
        sampleRate = targetRate * step;
    }
    if (below(8) == 0) targetRate = sampleRate;
    int32_t length = below(16) == 0 ? below(8193) : below(1100);
    if (below(10) == 0) length = below(9);
    const int32_t melDiv = 2 + below(63);
    int32_t coefficients = below(melDiv);
    if (below(20) == 0) coefficients = melDiv + below(3);
    const int32_t phonemes = below(7), method = below(4);
    const bool specials = below(3) == 0;
    const float scale = std::ldexp(1.0f, below(40) - 25);

    std::vector<float> samples(static_cast<size_t>(length));
    const int32_t kind = below(12);
    for (float& x : samples)
        x = kind == 0 ? 0.0f : RandomValue(random, scale, specials);
    if (kind == 1 && length > 0) std::fill(samples.begin(), samples.end(), samples[0]);
    Job job(std::move(samples), sampleRate, targetRate, melDiv, coefficients, phonemes, method,
            random());
    if (below(6) == 0) {
        for (float& x : job.profiles)
            x = RandomValue(random, 30.0f, true);
    }
    job.record.startIndex =
        below(4) == 0 ? static_cast<int32_t>(random() & 0x7FFFFFFF) : below(3 * length + 1);
    return job;
}

void ExpectSameCalls(const std::vector<GarbageHost::Call>& actual,
                     const std::vector<GarbageHost::Call>& expected) {
    ASSERT_EQ(actual.size(), expected.size()) << "host calls";
    for (size_t i = 0; i < actual.size(); ++i) {
        const GarbageHost::Call &a = actual[i], &e = expected[i];
        const bool same = a.kind == e.kind && a.size == e.size && a.alignment == e.alignment &&
                          a.label == e.label && a.last == e.last && a.block == e.block;
        ASSERT_TRUE(same) << "host call #" << i << ": kind " << static_cast<int>(a.kind) << " size "
                          << a.size << " label " << a.label << " block " << a.block
                          << ", expected kind " << static_cast<int>(e.kind) << " size " << e.size
                          << " label " << e.label << " block " << e.block;
    }
}

// Sets the thread's rounding control (0 nearest, 1 down, 2 up, 3 toward zero) for its lifetime.
class RoundingMode {
  public:
    RoundingMode(const Host::Entries& entries, int32_t mode)
        : entries_(entries), saved_(entries._GetControlWord()) {
        entries._SetControlWord((saved_ & ~0x6000) | (mode << 13));
    }
    ~RoundingMode() { entries_._SetControlWord(saved_); }
    RoundingMode(const RoundingMode&) = delete;
    RoundingMode& operator=(const RoundingMode&) = delete;

  private:
    const Host::Entries& entries_;
    int32_t saved_;
};

// Random records, through the job and through the exported kernels chained, on a garbage host:
// every output word (up to NaN payloads, which are not part of any result) and every host call.
void RunRandomRecords(const Host::Entries& entries, uint32_t seed, int records) {
    std::mt19937 random(seed);
    GarbageHost host(seed);
    for (int n = 0; n < records; ++n) {
        Job job = RandomJob(random);
        const LipSyncJob& r = job.record;
        host.clearCalls();
        // Now and then a thread that rounds otherwise: both sides run under that mode.
        const int32_t rounding = random() % 8 == 0 ? static_cast<int32_t>(random() % 3 + 1) : 0;
        SCOPED_TRACE(testing::Message()
                     << "record " << n << " of seed " << seed << ": " << r.input.length
                     << " samples, " << r.sampleRate << " -> " << r.targetSampleRate
                     << " Hz, melDiv " << r.melDiv << ", M " << r.mfcc.length << ", P "
                     << r.scores.length << ", method " << r.scoreMethod << ", start "
                     << r.startIndex << ", rounding mode " << rounding);
        const RoundingMode mode(entries, rounding);
        const Expected expected = ChainKernels(entries, job, &GarbageHost::TraceLength);
        const std::vector<GarbageHost::Call> fftCalls(
            host.calls().begin() + static_cast<std::ptrdiff_t>(expected.fftBegin),
            host.calls().begin() + static_cast<std::ptrdiff_t>(expected.fftEnd));

        const LipSyncJob before = job.record;
        const size_t origin = host.calls().size();
        entries.LipSyncJob_Execute(&job.record);
        ASSERT_EQ(std::memcmp(&before, &job.record, sizeof before), 0) << "the record changed";

        std::vector<GarbageHost::Call> calls(
            host.calls().begin() + static_cast<std::ptrdiff_t>(origin), host.calls().end());
        for (GarbageHost::Call& call : calls)
            call.block -=
                call.kind == ServiceCall::Kind::Release ? static_cast<int64_t>(origin) : 0;
        ExpectSameCalls(calls,
                        PredictJobCalls(r, fftCalls, static_cast<int64_t>(expected.fftBegin)));
        for (size_t i = 0; i < job.mfcc.size(); ++i)
            ASSERT_TRUE(SameValue(job.mfcc[i], expected.mfcc[i]))
                << "mfcc[" << i << "] = " << job.mfcc[i] << ", expected " << expected.mfcc[i];
        for (size_t i = 0; i < job.scores.size(); ++i)
            ASSERT_TRUE(SameValue(job.scores[i], expected.scores[i]))
                << "scores[" << i << "] = " << job.scores[i] << ", expected " << expected.scores[i];
        ASSERT_TRUE(SameValue(job.result[0].volume, expected.volume));
        ASSERT_EQ(job.result[0].phonemeIndex, expected.best);
        ASSERT_TRUE(host.faults().empty()) << host.faults().front();
        ASSERT_EQ(host.liveBlocks(), 0u);
    }
}

// The job raises several phonemes' scores in one vector call where the thread rounds to nearest:
// lane for lane that power must be the scalar one, for every base and exponent a score can
// have (10 to a distance's negated mean or root mean square, a positive cosine, even one
// enlarged by underflowing norms, to the 100th), whatever the other lanes hold. An offline pass
// compared all 2^32 exponents of 10 and all 2^31 non-negative bases to the 100th; this samples
// them densely.
class LanePowerTest : public BuildTest {};
VOCETTA_TEST_EACH_BUILD(LanePowerTest);

TEST_P(LanePowerTest, EqualsTheScalarPowerForEveryArgumentTheScoresReach) {
    using Powers = int32_t (*)(const float*, const float*, int32_t, float*, float*);
    const auto powers = TestingSymbol<Powers>("vocetta_testing_powers", build());
    std::mt19937 random(23);
    std::vector<float> bases, exponents;
    auto add = [&](float base, float exponent) {
        bases.push_back(base);
        exponents.push_back(exponent);
    };
    std::uniform_real_distribution<float> negated(-60.0f, 0.0f), cosine(0.0f, 1.0f);
    std::uniform_int_distribution<uint32_t> bits(0, 0xffffffffu);
    const float specials[] = {0.0f,
                              -0.0f,
                              1e-45f,
                              -1e-45f,
                              1e-38f,
                              kNaN,
                              -kNaN,
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              1.0f,
                              38.5f,
                              -45.0f,
                              -37.9f,
                              1e30f};
    for (float x : specials) {
        add(10.0f, x);
        add(std::fabs(x), 100.0f);
    }
    for (int i = 0; i < 150000; ++i) {
        add(10.0f, negated(random));
        add(cosine(random), 100.0f);
        // Any exponent of 10, any non-negative base (the sign bit clear) to the 100th.
        add(10.0f, std::bit_cast<float>(bits(random)));
        add(std::bit_cast<float>(bits(random) >> 1), 100.0f);
    }
    // Mixed lanes: the pairs above dealt into vectors in another order.
    const size_t pairs = bases.size();
    for (size_t i = 0; i < pairs; ++i) {
        const size_t j = random() % pairs;
        add(bases[j], exponents[j]);
    }
    const int32_t count = static_cast<int32_t>(bases.size() / 8 * 8);
    std::vector<float> lanes(bases.size()), scalars(bases.size());
    ASSERT_EQ(powers(bases.data(), exponents.data(), count, lanes.data(), scalars.data()),
              build() == Host::Variant::Avx2 ? 8 : 4);
    int mismatches = 0;
    for (int32_t i = 0; i < count; ++i) {
        if (!SameBits(lanes[static_cast<size_t>(i)], scalars[static_cast<size_t>(i)]) &&
            ++mismatches <= 5) {
            ADD_FAILURE() << "pow(" << bases[static_cast<size_t>(i)] << ", "
                          << exponents[static_cast<size_t>(i)] << ") is "
                          << lanes[static_cast<size_t>(i)] << " in lanes and "
                          << scalars[static_cast<size_t>(i)] << " alone";
        }
    }
    EXPECT_EQ(mismatches, 0);
}

// When the scores overlap what a later phoneme's comparison reads, each score is written before
// the next phoneme is compared: here phoneme 1's profile is the array element that receives
// phoneme 0's score. One coefficient, mean 0 and a deviation that standardises it to +-1/4:
// score 0 is 10^-1/4 (profile 0), score 1 10^-|1/4 - score 0 / deviation| (not the 500 that
// element held before, which would score 10^-1 or less).
TEST_P(ScoringTest, AScoreWrittenOverALaterProfileIsReadAsThatProfile) {
    const std::vector<float> samples = SpeechLike(1024, 16000, 9);
    for (const int32_t rounding : {0, 3}) {
        Job job(samples, 16000, 16000, 30, 1, 2, 0);
        Run(job);
        const float m = job.mfcc[0];
        ASSERT_NE(m, 0.0f);
        const float deviation = 4.0f * std::fabs(m);
        job.means = {0.0f};
        job.deviations = {deviation};
        std::vector<float> shared = {0.0f, 500.0f, -1.0f};
        job.record.phonemeProfiles = {shared.data(), 2, VOCETTA_ALLOCATOR_NONE};
        job.record.scores = {shared.data() + 1, 2, VOCETTA_ALLOCATOR_NONE};
        {
            const RoundingMode mode(entries(), rounding);
            Run(job);
        }
        // Under another rounding mode the coefficient itself comes out a little otherwise.
        const double block = static_cast<double>(job.mfcc[0]) / deviation;
        const double first = std::pow(10.0, -std::fabs(block));
        const double second = std::pow(10.0, -std::fabs(block - first / deviation));
        EXPECT_NEAR(shared[1], first / (first + second), 1e-5) << "rounding mode " << rounding;
        EXPECT_NEAR(shared[2], second / (first + second), 1e-5) << "rounding mode " << rounding;
        EXPECT_EQ(shared[0], 0.0f);
    }
}

// The most phonemes a record can name, 2^31 - 1: the scores run in groups of lanes up to the
// last, which must not step past that count (a signed overflow, after which the groups start
// over below 0). The scores' 8 GiB of addresses are one small file mapped again and again, so
// the test needs little memory; without coefficients every score is 10^NaN, and the total, NaN,
// leaves them all 0 with phoneme 0 the best. Two billion scores take a minute or more a build,
// too long for every run: `vocetta_tests --gtest_also_run_disabled_tests
// --gtest_filter='*TheMostPhonemes*'`.
TEST_P(ScoringTest, DISABLED_TheMostPhonemesARecordCanNameAreScoredOnce) {
    constexpr size_t kChunk = size_t{1} << 22;
    constexpr size_t kBytes = size_t{1} << 33;
    const int file = memfd_create("scores", 0);
    ASSERT_GE(file, 0);
    ASSERT_EQ(ftruncate(file, static_cast<off_t>(kChunk)), 0);
    void* reserved =
        mmap(nullptr, kBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(reserved, MAP_FAILED);
    char* base = static_cast<char*>(reserved);
    for (size_t at = 0; at < kBytes; at += kChunk) {
        ASSERT_NE(mmap(base + at, kChunk, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, file, 0),
                  MAP_FAILED);
    }
    float* scores = reinterpret_cast<float*>(base);
    scores[0] = -1.0f;
    Job job(SpeechLike(1024, 16000, 9), 16000, 16000, 30, 0, 0, 0);
    job.record.scores = {scores, std::numeric_limits<int32_t>::max(), VOCETTA_ALLOCATOR_NONE};
    Run(job);
    EXPECT_EQ(job.result[0].phonemeIndex, 0);
    EXPECT_EQ(scores[0], 0.0f);
    EXPECT_EQ(scores[kChunk / sizeof(float) - 1], 0.0f);
    munmap(reserved, kBytes);
    close(file);
}

// Split in two so that ctest runs the halves side by side.
TEST_P(LipSyncJobTest, RandomRecordsEqualTheKernelsChainedWordForWord) {
    RunRandomRecords(entries(), 20261208, 1200);
}

TEST_P(LipSyncJobTest, MoreRandomRecordsEqualTheKernelsChainedWordForWord) {
    RunRandomRecords(entries(), 4049, 1200);
}

// The first outputs of the low-pass reach back less far than the filter is long, each one sample
// further than the one before: the job finishes them in lanes. Every whole-number step to beyond
// the 16 that it deals into lanes, interpolated and copied rates, lengths around the vector widths.
TEST_P(LipSyncJobTest, FirstOutputsOfTheFilterEqualTheKernelsChainedAtEveryStep) {
    std::vector<int32_t> rates = {8000, 11025, 22050, 44100};
    for (int32_t step = 2; step <= 18; ++step)
        rates.push_back(8000 * step);
    uint32_t seed = 50;
    for (const int32_t rate : rates) {
        for (const int32_t length : {5, 8, 9, 17, 47, 64, 65, 130, 400, 1024})
            ExpectChainedKernels(rate, 8000, length, ++seed);
    }
}

// Between two and three input samples per output, interpolation reads two neighbours of each
// output, pairs two or three samples apart: the job filters only those. Ratios near both ends,
// lengths about where the filter's first samples end, past where the spaced pairs' copy is
// rebuilt, and with the last output clamped to the last sample.
TEST_P(LipSyncJobTest, InterpolationBetweenTwoAndThreeSamplesEqualsTheKernelsChained) {
    const int32_t rates[][2] = {{44100, 16000}, {22050, 8000},  {40000, 16000},
                                {47999, 16000}, {32001, 16000}, {20000, 9999}};
    uint32_t seed = 700;
    for (const auto& rate : rates) {
        for (const int32_t length : {287, 288, 289, 290, 337, 1023, 1024, 1025, 2049, 5000})
            ExpectChainedKernels(rate[0], rate[1], length, ++seed);
    }
}

// Steps of two and three deal a vector of samples to every polyphase row at a time and the rest
// one by one; interpolation takes a vector of outputs at a time and the rest one by one. Lengths
// on either side of where the vectors end.
TEST_P(LipSyncJobTest, VectorAndOneByOnePartsMeetWhereTheVectorsEnd) {
    const int32_t rates[][2] = {{48000, 16000}, {24000, 8000},  {32000, 16000},
                                {16000, 8000},  {44100, 16000}, {11025, 8000}};
    uint32_t seed = 900;
    for (const auto& rate : rates) {
        for (const int32_t length : {23, 24, 25, 47, 48, 49, 191, 192, 193, 383, 384, 385, 3001})
            ExpectChainedKernels(rate[0], rate[1], length, ++seed);
    }
}

// Just above two input samples per output, the rounding of the positions can put the last output
// at or past the last sample, so that interpolation reads that sample alone: when it closes a
// pair of outputs two or three samples after the one before, the pair may not be filtered as
// four samples, the fourth would lie one past the block. Fenced blocks show such a write.
TEST_P(LipSyncJobTest, APairEndingAtTheLastSampleStaysInsideTheBlock) {
    // Each: the last output, even, lands on the last sample, three or two after the one before.
    const int32_t cases[][3] = {{8005, 4001, 5337}, {8003, 4000, 10671}, {8002, 4000, 16007}};
    GarbageHost host(11);
    uint32_t seed = 900;
    for (const auto& c : cases) {
        const int32_t rate = c[0], target = c[1], length = c[2];
        const float ratio = static_cast<float>(rate) / static_cast<float>(target);
        const auto m = static_cast<int32_t>(std::rint(static_cast<float>(length) / ratio));
        ASSERT_EQ(m % 2, 0);
        ASSERT_GE(static_cast<float>(m - 1) * ratio, static_cast<float>(length - 1));
        ++seed;
        Job job(SpeechLike(length, rate, seed), rate, target, 24, 12, 3, 1, seed);
        const Expected expected = ChainKernels(entries(), job);
        Run(job);
        SCOPED_TRACE(testing::Message() << rate << " to " << target << " Hz, " << length);
        for (size_t i = 0; i < job.mfcc.size(); ++i)
            ASSERT_TRUE(SameValue(job.mfcc[i], expected.mfcc[i])) << "mfcc[" << i << "]";
        ASSERT_TRUE(SameValue(job.result[0].volume, expected.volume));
        ASSERT_TRUE(host.faults().empty()) << host.faults().front();
        ASSERT_EQ(host.liveBlocks(), 0u);
    }
}

VOCETTA_TEST_EACH_BUILD(LipSyncJobTest);
VOCETTA_TEST_EACH_BUILD(ScoringTest);

TEST(LipSyncJobForwarder, RunsTheSelectedBuild) {
    Job viaForwarder(SpeechLike(1024, 48000, 13), 48000, 16000, 30, 12, 5, 1);
    Job direct = viaForwarder;
    Library().entries().LipSyncJob_Execute(&viaForwarder.record);
    Library().variant(Host::SelectedVariant()).LipSyncJob_Execute(&direct.record);
    ExpectSameBits(viaForwarder.mfcc, direct.mfcc, "mfcc");
    ExpectSameBits(viaForwarder.scores, direct.scores, "scores");
}

}  // namespace
}  // namespace Vocetta::Testing
