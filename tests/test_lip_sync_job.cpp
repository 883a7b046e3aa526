// The lip-sync job against its own parts: the exported kernels chained in the order of the
// analysis, the scoring formulas written out here, and the host traffic predicted from the sizes
// each stage must request.
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <thread>

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
struct Job {
    std::vector<float> input, means, deviations, profiles, mfcc, scores;
    LipSyncResult result[1] = {{-7.0f, -7}};
    LipSyncJob record{};

    Job(std::vector<float> samples, int32_t sampleRate, int32_t targetRate, int32_t melDiv,
        int32_t coefficients, int32_t phonemes, int32_t method, uint32_t seed = 7)
        : input(std::move(samples)),
          means(static_cast<size_t>(coefficients)),
          deviations(static_cast<size_t>(coefficients)),
          profiles(static_cast<size_t>(coefficients) * static_cast<size_t>(phonemes)),
          mfcc(static_cast<size_t>(coefficients), -1.0f),
          scores(static_cast<size_t>(phonemes), -1.0f) {
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

    static NativeArray View(std::vector<float>& v) {
        return {v.data(), static_cast<int32_t>(v.size()), VOCETTA_ALLOCATOR_NONE};
    }
    void Bind() {
        record.input = View(input);
        record.means = View(means);
        record.standardDeviations = View(deviations);
        record.phonemeProfiles = View(profiles);
        record.mfcc = View(mfcc);
        record.scores = View(scores);
        record.result = {result, 1, VOCETTA_ALLOCATOR_NONE};
    }
};

// What the job must compute, from the exported kernels in the analysis order and the scoring
// formulas.
struct Expected {
    std::vector<float> mfcc, scores;
    float volume;
    int32_t best;
};

Expected ChainKernels(const Host::Entries& e, Job& job) {
    const LipSyncJob& r = job.record;
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
    e.FFT(data.data(), spectrum.data(), n);
    std::vector<float> mel(static_cast<size_t>(r.melDiv));
    e._MelFilterBank(spectrum.data(), mel.data(), n, static_cast<float>(r.targetSampleRate),
                     r.melDiv);
    e._PowerToDecibel(mel.data(), r.melDiv);
    std::vector<float> cepstrum(static_cast<size_t>(r.melDiv));
    e._DCT(mel.data(), cepstrum.data(), r.melDiv);

    Expected expected;
    expected.mfcc.assign(cepstrum.begin() + 1, cepstrum.begin() + 1 + r.mfcc.length);
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

class LipSyncJobTest : public BuildTest {
  protected:
    void Run(Job& job) const { entries().LipSyncJob_Execute(&job.record); }
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
            probe.Bind();
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
    for (Job& job : concurrent)
        job.Bind();
    for (Job& job : sequential) {
        job.Bind();
        Run(job);
    }
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

VOCETTA_TEST_EACH_BUILD(LipSyncJobTest);
VOCETTA_TEST_EACH_BUILD(ScoringTest);

TEST(LipSyncJobForwarder, RunsTheSelectedBuild) {
    Job viaForwarder(SpeechLike(1024, 48000, 13), 48000, 16000, 30, 12, 5, 1);
    Job direct = viaForwarder;
    direct.Bind();
    Library().entries().LipSyncJob_Execute(&viaForwarder.record);
    Library().variant(Host::SelectedVariant()).LipSyncJob_Execute(&direct.record);
    ExpectSameBits(viaForwarder.mfcc, direct.mfcc, "mfcc");
    ExpectSameBits(viaForwarder.scores, direct.scores, "scores");
}

}  // namespace
}  // namespace Vocetta::Testing
