// Low-pass filter and down-sampling on each build: taps against the sinc in double precision,
// the convolution against its defining one-output loop bit for bit, the example table of rates,
// every down-sampling path, host traffic, and arguments outside the contract.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <random>
#include <vector>

#include "support.hpp"

namespace Vocetta::Testing {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

using LowPassFilterDoor = void (*)(NativeArray*, float, float, float);
using DownSampleDoor = void (*)(NativeArray*, NativeArray*, int32_t, int32_t);

// The taps the exported core writes for `tapCount` and `normalizedCutoff`.
std::vector<float> Taps(const Host::Entries& entries, int32_t tapCount, float normalizedCutoff) {
    std::vector<float> taps(static_cast<size_t>(tapCount), kNaN);
    float unused = 0.0f;
    entries._LowPassFilter(&unused, 0, &unused, taps.data(), tapCount, normalizedCutoff);
    return taps;
}

// data[j] = taps[k] x source[j - k] + data[j] for each j, k ascending: the definition of the
// filter's bits.
std::vector<float> DefiningConvolution(std::vector<float> data, const std::vector<float>& source,
                                       const std::vector<float>& taps) {
    const int64_t tapCount = static_cast<int64_t>(taps.size());
    for (int64_t j = 0; j < static_cast<int64_t>(data.size()); ++j) {
        for (int64_t k = 0; k < tapCount; ++k) {
            if (j - k >= 0) data[j] = taps[k] * source[j - k] + data[j];
        }
    }
    return data;
}

struct RateCase {
    int32_t sampleRate;
    int32_t tapCount;
    double normalizedCutoff;
    int32_t outputLength;  // of 1024 samples at 16000 Hz
};

// With the analysis settings: target 16000 Hz, cutoff 8000 Hz, range 500 Hz.
const std::vector<RateCase> kRateTable = {
    {48000, 298, 0.15625, 341},  {44100, 274, 0.170068, 372}, {32000, 198, 0.234375, 512},
    {22050, 138, 0.340136, 743}, {16000, 100, 0.46875, 1024}, {96000, 596, 0.078125, 170},
};

class LowPassFilter : public BuildTest {
  protected:
    LowPassFilterDoor door() const {
        return TestingSymbol<LowPassFilterDoor>("vocetta_testing_low_pass_filter", build());
    }
};

TEST_P(LowPassFilter, TapsAreTheTruncatedSinc) {
    for (const RateCase& rate : kRateTable) {
        const float cutoff = static_cast<float>(rate.normalizedCutoff);
        const std::vector<float> taps = Taps(entries(), rate.tapCount, cutoff);
        const double centre = (rate.tapCount - 1) * 0.5;
        double sum = 0.0;
        for (int32_t k = 0; k < rate.tapCount; ++k) {
            const double u = 2.0 * cutoff * (k - centre);
            const double expected = 2.0 * cutoff * std::sin(kPi * u) / (kPi * u);
            EXPECT_NEAR(taps[k], expected, 2e-7) << rate.sampleRate << " tap " << k;
            sum += taps[k];
        }
        EXPECT_NEAR(sum, 1.0, 0.02) << rate.sampleRate;  // a low-pass passes DC
        // Symmetric about the half-integer centre, within the sine's last bits.
        for (int32_t k = 0; k < rate.tapCount / 2; ++k) {
            EXPECT_NEAR(taps[k], taps[rate.tapCount - 1 - k], 1e-7);
        }
    }
    // Both vector widths and the scalar tail: counts around multiples of 4 and 8.
    for (int32_t tapCount = 1; tapCount <= 19; ++tapCount) {
        const std::vector<float> taps = Taps(entries(), tapCount, 0.2f);
        const double centre = (tapCount - 1) * 0.5;
        for (int32_t k = 0; k < tapCount; ++k) {
            const double u = 0.4 * (k - centre);
            if (u == 0.0) {
                EXPECT_TRUE(std::isnan(taps[k]));  // an odd count's middle tap is 0/0
                continue;
            }
            EXPECT_NEAR(taps[k], 0.4 * std::sin(kPi * u) / (kPi * u), 2e-7) << tapCount;
        }
    }
}

// Every block shape of the convolution: lengths around the vector and block widths, tap counts
// longer and shorter than the block, and the first outputs that reach only part of the taps.
TEST_P(LowPassFilter, ConvolutionIsTheOneOutputLoopBitForBit) {
    for (const int32_t tapCount : {2, 6, 8, 30, 32, 34, 138, 298}) {
        const std::vector<float> taps = Taps(entries(), tapCount, 0.15625f);
        for (const int32_t length :
             {1, 3, 4, 7, 8, 9, 31, 32, 33, 63, 100, 297, 298, 299, 333, 1024, 1031}) {
            const std::vector<float> source = RandomBlock(length, 11u * length + tapCount);
            const std::vector<float> initial = RandomBlock(length, 5u * length + tapCount);
            const std::vector<float> expected = DefiningConvolution(initial, source, taps);
            std::vector<float> data = initial;
            std::vector<float> written(static_cast<size_t>(tapCount));
            entries()._LowPassFilter(data.data(), length, source.data(), written.data(), tapCount,
                                     0.15625f);
            for (int32_t j = 0; j < length; ++j) {
                ASSERT_TRUE(SameBits(data[j], expected[j]))
                    << "taps " << tapCount << " length " << length << " j " << j;
            }
        }
    }
}

// Zeros and signs are part of the bits: -0 + (+0) is +0 and an infinite sample reaches every
// later output's chain at its own tap.
TEST_P(LowPassFilter, ConvolutionKeepsSignedZerosAndSpecialValues) {
    const std::vector<float> taps = Taps(entries(), 8, 0.3f);
    std::vector<float> source(70, 0.0f);
    source[40] = std::numeric_limits<float>::infinity();
    source[50] = -0.0f;
    source[60] = kNaN;
    const std::vector<float> initial(70, -0.0f);
    const std::vector<float> expected = DefiningConvolution(initial, source, taps);
    std::vector<float> data = initial;
    std::vector<float> written(8);
    entries()._LowPassFilter(data.data(), 70, source.data(), written.data(), 8, 0.3f);
    for (size_t j = 0; j < data.size(); ++j)
        EXPECT_TRUE(SameBits(data[j], expected[j])) << j;
}

TEST_P(LowPassFilter, CoreWithoutTapsOrDataWritesOnlyWhatItMay) {
    std::vector<float> data = {1.0f, 2.0f, 3.0f};
    const std::vector<float> source = {4.0f, 5.0f, 6.0f};
    float taps[4] = {kNaN, kNaN, kNaN, kNaN};
    for (const int32_t tapCount : {0, -2}) {
        entries()._LowPassFilter(data.data(), 3, source.data(), taps, tapCount, 0.2f);
        EXPECT_EQ(data, (std::vector<float>{1.0f, 2.0f, 3.0f}));
        EXPECT_TRUE(std::isnan(taps[0]));
    }
    entries()._LowPassFilter(data.data(), 0, source.data(), taps, 4, 0.2f);
    EXPECT_EQ(data, (std::vector<float>{1.0f, 2.0f, 3.0f}));
    EXPECT_FALSE(std::isnan(taps[0]));
}

// The tap count of each rate, seen in the size of the second scratch array, and the filtered
// block against a double-precision filter with the table's normalised cutoff.
TEST_P(LowPassFilter, RateTableAndTraffic) {
    for (const RateCase& rate : kRateTable) {
        const std::vector<float> block = RandomBlock(1024, static_cast<uint32_t>(rate.sampleRate));
        std::vector<float> data = block;
        NativeArray view{data.data(), 1024, VOCETTA_ALLOCATOR_NONE};
        Host::Accounting accounting;
        door()(&view, static_cast<float>(rate.sampleRate), 8000.0f, 500.0f);
        const std::vector<Host::ServiceCall> calls = accounting.calls();
        ASSERT_EQ(calls.size(), 4u) << rate.sampleRate;
        for (size_t c : {0u, 1u}) {
            EXPECT_EQ(calls[c].kind, Host::ServiceCall::Kind::Allocate);
            EXPECT_EQ(calls[c].alignment, 4);
            EXPECT_EQ(calls[c].label, VOCETTA_ALLOCATOR_TEMP);
            EXPECT_EQ(calls[c].last, 0);
        }
        EXPECT_EQ(calls[0].size, 1024 * 4);
        EXPECT_EQ(calls[1].size, rate.tapCount * 4) << rate.sampleRate;
        // The copy goes back first, then the taps.
        EXPECT_EQ(calls[2].kind, Host::ServiceCall::Kind::Release);
        EXPECT_EQ(calls[2].pointer, calls[0].pointer);
        EXPECT_EQ(calls[2].label, VOCETTA_ALLOCATOR_TEMP);
        EXPECT_EQ(calls[3].kind, Host::ServiceCall::Kind::Release);
        EXPECT_EQ(calls[3].pointer, calls[1].pointer);
        EXPECT_EQ(calls[3].label, VOCETTA_ALLOCATOR_TEMP);
        ExpectCleanTraffic(accounting);
        EXPECT_EQ(view.pointer, data.data());
        EXPECT_EQ(view.length, 1024);
        EXPECT_EQ(view.allocatorLabel, VOCETTA_ALLOCATOR_NONE);

        const double fc = rate.normalizedCutoff;
        const double centre = (rate.tapCount - 1) * 0.5;
        for (int32_t j = 0; j < 1024; j += 7) {
            double expected = block[j];
            for (int32_t k = 0; k < rate.tapCount && k <= j; ++k) {
                const double u = 2.0 * fc * (k - centre);
                expected += 2.0 * fc * std::sin(kPi * u) / (kPi * u) * block[j - k];
            }
            EXPECT_NEAR(data[j], expected, 5e-5) << rate.sampleRate << " j " << j;
        }
    }
}

// A constant block settles at a + a x (sum of taps), about 2.0009 a, once all 298 taps reach in.
TEST_P(LowPassFilter, ConstantBlockAt48kHz) {
    constexpr float a = 0.75f;
    std::vector<float> data(1024, a);
    NativeArray view{data.data(), 1024, VOCETTA_ALLOCATOR_NONE};
    door()(&view, 48000.0f, 8000.0f, 500.0f);
    const float tap0 = Taps(entries(), 298, 0.15625f)[0];
    EXPECT_TRUE(SameBits(data[0], tap0 * a + a));  // one tap reaches the first sample
    EXPECT_NE(data[296], data[297]);
    for (int32_t j = 297; j < 1024; ++j) {
        EXPECT_NEAR(data[j], 2.0009 * a, 1e-4 * a) << j;
        EXPECT_TRUE(SameBits(data[j], data[297])) << j;
    }
}

TEST_P(LowPassFilter, EmptyOrUnfilteredBlocksStillTakeAndReturnScratch) {
    // An empty block: a zero-size copy, the taps, both released.
    {
        float unused = 0.0f;
        NativeArray view{&unused, 0, VOCETTA_ALLOCATOR_NONE};
        Host::Accounting accounting;
        door()(&view, 48000.0f, 8000.0f, 500.0f);
        const std::vector<Host::ServiceCall> calls = accounting.calls();
        ASSERT_EQ(calls.size(), 4u);
        EXPECT_EQ(calls[0].size, 0);
        EXPECT_EQ(calls[1].size, 298 * 4);
        ExpectCleanTraffic(accounting);
    }
    // A range of 6.2 x the rate or more: 3.1 / width rounds to 0 taps and nothing is filtered.
    // A negative range or rate would give a negative count; it gives no filter either.
    for (const auto& [rate, range] :
         std::vector<std::pair<float, float>>{{48000.0f, 6.2f * 48000.0f},
                                              {48000.0f, -500.0f},
                                              {-48000.0f, 500.0f},
                                              {48000.0f, kNaN},
                                              {48000.0f, 0.0f},
                                              {48000.0f, -1e-30f}}) {
        const std::vector<float> block = RandomBlock(64, 9);
        std::vector<float> data = block;
        NativeArray view{data.data(), 64, VOCETTA_ALLOCATOR_NONE};
        Host::Accounting accounting;
        door()(&view, rate, 8000.0f, range);
        const std::vector<Host::ServiceCall> calls = accounting.calls();
        ASSERT_EQ(calls.size(), 4u) << rate << " " << range;
        EXPECT_EQ(calls[0].size, 64 * 4);
        EXPECT_EQ(calls[1].size, 0) << rate << " " << range;
        EXPECT_EQ(data, block);
        ExpectCleanTraffic(accounting);
    }
}

// The tap count rounds 3.1 / width in the thread's mode: 136.71 at 22050 Hz becomes 136 when
// rounding toward zero (even, so it stays), 138 by default (137 made even).
TEST_P(LowPassFilter, TapCountFollowsTheThreadRoundingMode) {
    std::vector<float> data(16, 1.0f);
    NativeArray view{data.data(), 16, VOCETTA_ALLOCATOR_NONE};
    const int32_t saved = entries()._GetControlWord();
    Host::Accounting accounting;
    entries()._SetControlWord((saved & ~0x6000) | 0x6000);
    door()(&view, 22050.0f, 8000.0f, 500.0f);
    entries()._SetControlWord(saved);
    door()(&view, 22050.0f, 8000.0f, 500.0f);
    const std::vector<Host::ServiceCall> calls = accounting.calls();
    ASSERT_EQ(calls.size(), 8u);
    EXPECT_EQ(calls[1].size, 136 * 4);
    EXPECT_EQ(calls[5].size, 138 * 4);
}

VOCETTA_TEST_EACH_BUILD(LowPassFilter);

// ---- Down-sampling -------------------------------------------------------------------------

class DownSample : public BuildTest {
  protected:
    // Runs DownSample on `input` and returns the new array's contents, checking the traffic: one
    // zero-or-copy-filled allocation handed over through the view, nothing released.
    std::vector<float> Run(const std::vector<float>& input, int32_t sampleRate,
                           int32_t targetSampleRate) const {
        NativeArray in{const_cast<float*>(input.data()), static_cast<int32_t>(input.size()),
                       VOCETTA_ALLOCATOR_NONE};
        int previous = 0;
        NativeArray out{&previous, 12345, VOCETTA_ALLOCATOR_TEMP};  // neither read nor released
        Host::Accounting accounting;
        TestingSymbol<DownSampleDoor>("vocetta_testing_down_sample", build())(&in, &out, sampleRate,
                                                                              targetSampleRate);
        const std::vector<Host::ServiceCall> calls = accounting.calls();
        EXPECT_EQ(calls.size(), 1u);
        if (calls.size() != 1u) return {};
        EXPECT_EQ(calls[0].kind, Host::ServiceCall::Kind::Allocate);
        EXPECT_EQ(calls[0].size, int64_t{out.length} * 4);
        EXPECT_EQ(calls[0].alignment, 4);
        EXPECT_EQ(calls[0].label, VOCETTA_ALLOCATOR_TEMP);
        EXPECT_EQ(calls[0].last, 0);
        EXPECT_EQ(out.pointer, calls[0].pointer);
        EXPECT_EQ(out.allocatorLabel, VOCETTA_ALLOCATOR_TEMP);
        EXPECT_EQ(in.pointer, input.data());
        const float* begin = static_cast<const float*>(out.pointer);
        std::vector<float> result(begin, begin + out.length);
        Host::FreeTracked(out.pointer, out.allocatorLabel);
        ExpectCleanTraffic(accounting);
        return result;
    }
};

TEST_P(DownSample, EveryPathTo16kHz) {
    const std::vector<float> input = RandomBlock(1024, 21);
    for (const RateCase& rate : kRateTable) {
        const std::vector<float> out = Run(input, rate.sampleRate, 16000);
        ASSERT_EQ(out.size(), static_cast<size_t>(rate.outputLength)) << rate.sampleRate;
        if (rate.sampleRate % 16000 == 0) {
            const int32_t step = rate.sampleRate / 16000;
            for (size_t k = 0; k < out.size(); ++k) {
                EXPECT_TRUE(SameBits(out[k], input[k * step])) << rate.sampleRate << " " << k;
            }
            continue;
        }
        // Linear interpolation at t = k x ratio, t rounded to a float.
        const float ratio = static_cast<float>(rate.sampleRate) / 16000.0f;
        for (size_t k = 0; k < out.size(); ++k) {
            const double t = static_cast<float>(k) * ratio;
            const size_t i0 = static_cast<size_t>(std::floor(t));
            ASSERT_LT(i0, input.size());
            const size_t i1 = std::min(i0 + 1, input.size() - 1);
            const double expected = input[i0] + (t - i0) * (input[i1] - input[i0]);
            EXPECT_NEAR(out[k], expected, 1e-6) << rate.sampleRate << " " << k;
        }
    }
    // 44100 Hz: output[1] lies 0.75625 of the way from input[2] to input[3].
    const std::vector<float> out = Run(input, 44100, 16000);
    EXPECT_NEAR(out[1], input[2] + 0.75625 * (input[3] - input[2]), 1e-6);
}

TEST_P(DownSample, CopiesAtOrBelowTheTargetRate) {
    const std::vector<float> input = RandomBlock(100, 4);
    for (const int32_t rate : {16000, 8000, 0, -44100}) {
        const std::vector<float> out = Run(input, rate, 16000);
        ASSERT_EQ(out.size(), input.size());
        for (size_t i = 0; i < out.size(); ++i)
            EXPECT_TRUE(SameBits(out[i], input[i]));
    }
}

TEST_P(DownSample, WholeStepsDropTheIncompleteTail) {
    const std::vector<float> input = RandomBlock(1025, 8);
    const std::vector<float> out = Run(input, 48000, 16000);
    ASSERT_EQ(out.size(), 341u);
    EXPECT_TRUE(SameBits(out[340], input[1020]));
    EXPECT_EQ(Run(RandomBlock(5, 1), 96000, 16000).size(), 0u);  // shorter than one step
}

TEST_P(DownSample, EmptyInputGivesAnEmptyArrayOnEveryPath) {
    for (const int32_t rate : {16000, 48000, 44100}) {
        EXPECT_EQ(Run({}, rate, 16000).size(), 0u) << rate;
    }
}

// A target rate of zero or below has no positive rate to reach; rather than dividing by it, the
// result is the limit of ever lower targets: an empty array, handed over like any other.
TEST_P(DownSample, NonPositiveTargetGivesAnEmptyArray) {
    const std::vector<float> input = RandomBlock(1024, 2);
    for (const auto& [rate, target] : std::vector<std::pair<int32_t, int32_t>>{
             {48000, 0}, {48000, -16000}, {44100, -1}, {1, 0}, {0, -5}}) {
        EXPECT_EQ(Run(input, rate, target).size(), 0u) << rate << " -> " << target;
    }
}

VOCETTA_TEST_EACH_BUILD(DownSample);

// ---- Resampling cores ----------------------------------------------------------------------

class ResamplingCores : public BuildTest {};

TEST_P(ResamplingCores, InterpolateWorkedValues) {
    const float input[] = {0.0f, 10.0f, 20.0f, 40.0f, 80.0f};
    float output[4] = {kNaN, kNaN, kNaN, kNaN};
    entries()._Interpolate(input, 5, output, 3, 1.5f);
    EXPECT_EQ(output[0], 0.0f);   // t = 0
    EXPECT_EQ(output[1], 15.0f);  // t = 1.5
    EXPECT_EQ(output[2], 40.0f);  // t = 3
    EXPECT_TRUE(std::isnan(output[3]));
    // Up to the last sample, where the upper index is clamped.
    entries()._Interpolate(input, 5, output, 4, 4.0f / 3.0f);
    EXPECT_FLOAT_EQ(output[3], 80.0f);
    for (const int32_t count : {0, -1}) {
        output[0] = kNaN;
        entries()._Interpolate(input, 5, output, count, 1.5f);
        EXPECT_TRUE(std::isnan(output[0]));
    }
}

// Ratios that carry t outside the input, and no input at all: reads stay inside
// input[0 ... inputLength - 1] (NaN guards around it would show otherwise).
TEST_P(ResamplingCores, InterpolateStaysInsideItsInput) {
    std::vector<float> guarded(20, kNaN);
    float* input = guarded.data() + 8;
    for (int32_t i = 0; i < 4; ++i)
        input[i] = 1.0f + static_cast<float>(i);  // 1 2 3 4
    std::vector<float> output(12, -7.0f);

    entries()._Interpolate(input, 4, output.data(), 12, 1.0f);  // t up to 11
    EXPECT_EQ(output, (std::vector<float>{1, 2, 3, 4, 4, 4, 4, 4, 4, 4, 4, 4}));
    entries()._Interpolate(input, 4, output.data(), 5, 2.5f);  // t = 0, 2.5, 5, 7.5, 10
    EXPECT_EQ(std::vector<float>(output.begin(), output.begin() + 5),
              (std::vector<float>{1.0f, 3.5f, 4.0f, 4.0f, 4.0f}));
    entries()._Interpolate(input, 4, output.data(), 4, -1.5f);  // before the first sample
    EXPECT_EQ(std::vector<float>(output.begin(), output.begin() + 4),
              (std::vector<float>{1.0f, 1.0f, 1.0f, 1.0f}));
    entries()._Interpolate(input, 4, output.data(), 3, 3e9f);  // beyond any int32 index
    EXPECT_EQ(std::vector<float>(output.begin(), output.begin() + 3),
              (std::vector<float>{1.0f, 4.0f, 4.0f}));
    entries()._Interpolate(input, 1, output.data(), 3, 0.7f);  // one sample
    EXPECT_EQ(std::vector<float>(output.begin(), output.begin() + 3),
              (std::vector<float>{1.0f, 1.0f, 1.0f}));

    for (const int32_t inputLength : {0, -3}) {
        std::fill(output.begin(), output.end(), -7.0f);
        entries()._Interpolate(input, inputLength, output.data(), 12, 1.0f);
        EXPECT_EQ(output, std::vector<float>(12, -7.0f)) << inputLength;
    }
}

TEST_P(ResamplingCores, Decimate) {
    std::vector<float> input(20);
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = static_cast<float>(i) * 0.5f;
    float output[7];
    std::fill(std::begin(output), std::end(output), kNaN);
    entries()._Decimate(input.data(), output, 7, 3);
    for (int32_t i = 0; i < 7; ++i)
        EXPECT_EQ(output[i], input[3 * i]);
    std::fill(std::begin(output), std::end(output), kNaN);
    entries()._Decimate(input.data(), output, 0, 3);
    entries()._Decimate(input.data(), output, -4, 3);
    EXPECT_TRUE(std::isnan(output[0]));
}

VOCETTA_TEST_EACH_BUILD(ResamplingCores);

}  // namespace
}  // namespace Vocetta::Testing
