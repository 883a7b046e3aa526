// The DCT, decibels and the mel scale: double-precision references, IEEE edge values, and the
// host's one-byte booleans.
#include <cmath>
#include <limits>
#include <random>

#include "support.hpp"

namespace Vocetta::Testing {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<float> RandomValues(int32_t n, float low, float high, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(low, high);
    std::vector<float> values(n);
    for (float& v : values)
        v = value(generator);
    return values;
}

// Unnormalised DCT-II in double.
std::vector<double> ReferenceDct(const std::vector<float>& input) {
    const size_t n = input.size();
    std::vector<double> out(n);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) {
            out[i] += std::cos(M_PI * (double(j) + 0.5) * double(i) / double(n)) * input[j];
        }
    }
    return out;
}

class CepstrumTest : public BuildTest {};
VOCETTA_TEST_EACH_BUILD(CepstrumTest);

TEST_P(CepstrumTest, DctMatchesTheUnnormalisedDefinition) {
    for (int32_t n : {2, 13, 30, 64}) {
        const std::vector<float> input = RandomValues(n, -50.0f, 10.0f, uint32_t(n));
        std::vector<float> output(n);
        entries()._DCT(input.data(), output.data(), n);
        const std::vector<double> reference = ReferenceDct(input);
        double scale = 0;
        for (float x : input)
            scale += std::fabs(x);
        for (int32_t i = 0; i < n; ++i) {
            // Rounded angles and a float accumulator: a few ulps of the absolute sum.
            EXPECT_NEAR(output[i], reference[i], 1e-6 * n * scale) << n << ":" << i;
        }
    }
}

TEST_P(CepstrumTest, DctEdgeCases) {
    const float one = 7.25f;
    float single = 0.0f;
    entries()._DCT(&one, &single, 1);
    EXPECT_EQ(single, 7.25f);

    const std::vector<float> ones(4, 1.0f);
    std::vector<float> out(4);
    entries()._DCT(ones.data(), out.data(), 4);
    EXPECT_EQ(out[0], 4.0f);  // row 0 has no weight: the plain sum
    for (int i = 1; i < 4; ++i)
        EXPECT_NEAR(out[i], 0.0f, 1e-6) << i;

    for (int32_t n : {0, -1, INT32_MIN}) {
        float untouched[2] = {-1.0f, -2.0f};
        entries()._DCT(ones.data(), untouched, n);
        EXPECT_EQ(untouched[0], -1.0f);
        EXPECT_EQ(untouched[1], -2.0f);
    }
}

// Row i reads the input as it stands once rows 0 ... i - 1 are written.
TEST_P(CepstrumTest, DctInPlaceReadsTheRowsWrittenSoFar) {
    const int32_t n = 8;
    std::vector<float> data = RandomValues(n, -1.0f, 1.0f, 3);
    std::vector<double> expected(data.begin(), data.end());
    for (int32_t i = 0; i < n; ++i) {
        double acc = 0;
        for (int32_t j = 0; j < n; ++j) {
            acc += std::cos(M_PI * (j + 0.5) * i / n) * expected[j];
        }
        expected[i] = acc;
    }
    entries()._DCT(data.data(), data.data(), n);
    for (int32_t i = 0; i < n; ++i)
        EXPECT_NEAR(data[i], expected[i], 1e-4) << i;
}

TEST_P(CepstrumTest, DecibelsOfSpecialValues) {
    std::vector<float> data{1.0f,  10.0f,     100.0f, 0.0f,       -1.0f,
                            -0.0f, kInfinity, kNaN,   -kInfinity, 1e-45f};
    entries()._PowerToDecibel(data.data(), int32_t(data.size()));
    EXPECT_EQ(data[0], 0.0f);
    EXPECT_LE(UlpDistance(data[1], 10.0f), 1);
    EXPECT_LE(UlpDistance(data[2], 20.0f), 1);
    EXPECT_EQ(data[3], -kInfinity);
    EXPECT_TRUE(std::isnan(data[4]));
    EXPECT_EQ(data[5], -kInfinity);
    EXPECT_EQ(data[6], kInfinity);
    EXPECT_TRUE(std::isnan(data[7]));
    EXPECT_TRUE(std::isnan(data[8]));
    EXPECT_NEAR(data[9], 10.0 * std::log10(1.401298464324817e-45), 1e-3);  // subnormal: finite
}

// Lengths around the lane groups: every element, grouped or in the tail, is 10 log10 x.
TEST_P(CepstrumTest, DecibelsOfEveryElementWithAnyTail) {
    for (int32_t n = 1; n <= 19; ++n) {
        std::vector<float> data = RandomValues(n + 1, 1e-6f, 1e6f, uint32_t(n));
        const std::vector<float> input = data;
        const float sentinel = data[n];
        entries()._PowerToDecibel(data.data(), n);
        for (int32_t i = 0; i < n; ++i) {
            const float expected = float(10.0 * std::log10(double(input[i])));
            EXPECT_LE(UlpDistance(data[i], expected), 2) << n << ":" << i;
        }
        EXPECT_TRUE(SameBits(data[n], sentinel));
    }
    float untouched = 5.0f;
    entries()._PowerToDecibel(&untouched, 0);
    entries()._PowerToDecibel(&untouched, -3);
    EXPECT_EQ(untouched, 5.0f);
}

TEST_P(CepstrumTest, MelScaleValues) {
    const Host::Entries& e = entries();
    for (uint8_t flag : {0, 1}) {
        EXPECT_EQ(e._FrequencyToMel(0.0f, flag), 0.0f);
        EXPECT_EQ(e._MelToFrequency(0.0f, flag), 0.0f);
        EXPECT_EQ(e._FrequencyToMel(-700.0f, flag), -kInfinity);
        EXPECT_TRUE(std::isnan(e._FrequencyToMel(-701.0f, flag)));
        EXPECT_TRUE(std::isnan(e._FrequencyToMel(kNaN, flag)));
        EXPECT_EQ(e._FrequencyToMel(kInfinity, flag), kInfinity);
    }
    // Natural logarithm with both factors, never log10.
    EXPECT_NEAR(e._FrequencyToMel(700.0f, 0), 1127.0 * std::log(2.0), 1e-3);
    EXPECT_NEAR(e._FrequencyToMel(700.0f, 1), 2595.0 * std::log(2.0), 1e-3);
    EXPECT_NEAR(e._MelToFrequency(float(1127.0 * std::log(2.0)), 0), 700.0, 1e-3);
    EXPECT_NEAR(e._MelToFrequency(float(2595.0 * std::log(2.0)), 1), 700.0, 1e-3);
    // exp saturates beyond |x| = 104.
    EXPECT_EQ(e._MelToFrequency(1127.0f * 105.0f, 0), kInfinity);
    EXPECT_EQ(e._MelToFrequency(-1127.0f * 105.0f, 0), -700.0f);
    EXPECT_EQ(e._MelToFrequency(2595.0f * 105.0f, 1), kInfinity);
    EXPECT_EQ(e._MelToFrequency(-kInfinity, 1), -700.0f);
}

TEST_P(CepstrumTest, MelConversionsInvertEachOther) {
    for (uint8_t flag : {0, 1}) {
        for (float f : {20.0f, 300.0f, 1000.0f, 8000.0f, 22050.0f}) {
            const float mel = entries()._FrequencyToMel(f, flag);
            // e - 1 cancels at low frequencies: a few ulps of 1, times 700, absolute.
            EXPECT_NEAR(entries()._MelToFrequency(mel, flag), f, f * 2e-6 + 5e-4) << int(flag);
        }
    }
}

// Only bit 0 of the host's boolean is read.
TEST_P(CepstrumTest, MelFlagReadsOnlyBitZero) {
    const Host::Entries& e = entries();
    for (uint8_t flag : {2, 4, 0x80, 0xFE}) {
        EXPECT_TRUE(SameBits(e._FrequencyToMel(700.0f, flag), e._FrequencyToMel(700.0f, 0)));
        EXPECT_TRUE(SameBits(e._MelToFrequency(500.0f, flag), e._MelToFrequency(500.0f, 0)));
    }
    for (uint8_t flag : {3, 0xFF}) {
        EXPECT_TRUE(SameBits(e._FrequencyToMel(700.0f, flag), e._FrequencyToMel(700.0f, 1)));
        EXPECT_TRUE(SameBits(e._MelToFrequency(500.0f, flag), e._MelToFrequency(500.0f, 1)));
    }
}

// The job computes only the DCT rows it keeps, the rows in vector lanes. Lane for lane that
// vector cosine must give the scalar cosine's bits whenever a group's first and last lanes share
// a reduction range (below 125, below 39000, beyond); this checks every angle the job's groups
// reach for up to 256 channels, samples of larger channel counts, and dense angles of each range,
// against the SLEEF that this library was linked with.
class LaneCosineTest : public BuildTest {
  protected:
    using Trigonometry = int32_t (*)(const float*, int32_t, float*, float*, int32_t);
    static int32_t Range(float x) { return x < 125.0f ? 0 : x < 39000.0f ? 1 : 2; }

    // Compares each group of `lanes` angles that stays in one range; returns the groups checked.
    size_t ExpectSameBitsWithinRanges(const std::vector<float>& angles, int32_t lanes,
                                      const char* what, const char* function = "cos") const {
        const auto trigonometry =
            TestingSymbol<Trigonometry>("vocetta_testing_trigonometry", build());
        std::vector<float> vector(angles.size()), scalar(angles.size());
        trigonometry(angles.data(), static_cast<int32_t>(angles.size()), vector.data(),
                     scalar.data(), std::string(function) == "sin" ? 1 : 0);
        size_t checked = 0, mismatches = 0;
        for (size_t g = 0; g + lanes <= angles.size(); g += lanes) {
            if (Range(angles[g]) != Range(angles[g + lanes - 1])) continue;
            ++checked;
            for (size_t i = g; i < g + lanes; ++i) {
                if (!SameBits(vector[i], scalar[i]) && ++mismatches <= 5) {
                    ADD_FAILURE() << what << ": " << function << "(" << angles[i] << ") is "
                                  << vector[i] << " in lanes and " << scalar[i] << " alone";
                }
            }
        }
        EXPECT_EQ(mismatches, 0u) << what;
        return checked;
    }

    int32_t Lanes() const {
        const auto trigonometry =
            TestingSymbol<Trigonometry>("vocetta_testing_trigonometry", build());
        return trigonometry(nullptr, 0, nullptr, nullptr, 0);
    }

    // The angles of rows first ... first + lanes - 1 at input j, as the job forms them.
    static void AppendGroup(std::vector<float>& angles, int32_t channels, int32_t first, int32_t j,
                            int32_t lanes) {
        const float s = 3.1415927f / static_cast<float>(channels);
        for (int32_t lane = 0; lane < lanes; ++lane) {
            const float t = (static_cast<float>(j) + 0.5f) * static_cast<float>(first + lane);
            angles.push_back(t * s);
        }
    }
};
VOCETTA_TEST_EACH_BUILD(LaneCosineTest);

TEST_P(LaneCosineTest, EqualsTheScalarCosineOverTheJobsAngles) {
    const int32_t lanes = Lanes();
    ASSERT_EQ(lanes, build() == Host::Variant::Avx2 ? 8 : 4);
    std::vector<float> angles;
    for (int32_t channels = 2; channels <= 256; ++channels) {
        for (int32_t first = 1; first < channels; first += lanes) {
            for (int32_t j = 0; j < channels; ++j)
                AppendGroup(angles, channels, first, j, lanes);
        }
    }
    std::mt19937 random(16);
    for (int32_t channels : {300, 1000, 4096, 12413, 12500, 50000, 1 << 20}) {
        for (int n = 0; n < 4000; ++n) {
            const int32_t first =
                1 + lanes * static_cast<int32_t>(random() % ((channels - 1 + lanes - 1) / lanes));
            AppendGroup(angles, channels, first, static_cast<int32_t>(random() % channels), lanes);
        }
    }
    // Nearly every group stays in one range, so nearly all of them were compared.
    const size_t groups = angles.size() / static_cast<size_t>(lanes);
    EXPECT_GT(ExpectSameBitsWithinRanges(angles, lanes, "the job's angles"), groups * 9 / 10);
}

TEST_P(LaneCosineTest, EqualsTheScalarCosineThroughoutEachReductionRange) {
    const int32_t lanes = Lanes();
    std::mt19937 random(17);
    for (auto [low, high] : {std::pair{0.0f, 125.0f}, {125.0f, 39000.0f}, {39000.0f, 1e7f}}) {
        std::uniform_real_distribution<float> angle(low, high);
        std::vector<float> angles(200000);
        for (float& a : angles)
            a = angle(random);
        // Lanes near either end of the range, and the ends themselves.
        angles[0] = low;
        angles[lanes - 1] = std::nextafter(high, 0.0f);
        ExpectSameBitsWithinRanges(angles, lanes, "dense angles");
    }
}

// The FFT takes the last h mod lanes twiddles of a level of length n, angles (k x -2 pi) / n
// for k from h - h mod lanes to h - 1, from the lane cosine and sine, the lanes past h repeating
// the last angle; every such group of every length up to 2^16 (and samples of longer ones), and
// dense angles down to -pi and beyond the first range.
TEST_P(LaneCosineTest, EqualsTheScalarCosineAndSineOverTheTwiddlesLastLanes) {
    const int32_t lanes = Lanes();
    std::vector<float> angles;
    auto appendTail = [&](int32_t n) {
        const int32_t h = n / 2, first = h - h % lanes;
        if (first == h) return;
        for (int32_t lane = 0; lane < lanes; ++lane) {
            const int32_t k = first + lane < h ? first + lane : h - 1;
            angles.push_back((static_cast<float>(k) * -6.2831855f) / static_cast<float>(n));
        }
    };
    for (int32_t n = 2; n <= 1 << 16; ++n)
        appendTail(n);
    std::mt19937 random(18);
    for (int i = 0; i < 20000; ++i)
        appendTail(static_cast<int32_t>((1u << 16) + random() % (1u << 30)));
    std::uniform_real_distribution<float> angle(-125.0f, 0.0f);
    for (int i = 0; i < 200000; ++i)
        angles.push_back(i < lanes ? -3.1415927f : angle(random));
    const size_t groups = angles.size() / static_cast<size_t>(lanes);
    EXPECT_EQ(ExpectSameBitsWithinRanges(angles, lanes, "the twiddles' angles", "cos"), groups);
    EXPECT_EQ(ExpectSameBitsWithinRanges(angles, lanes, "the twiddles' angles", "sin"), groups);
}

TEST(CepstrumBuilds, AgreeAndForwardersFollowTheSelection) {
    if (!Host::Supports(Host::Variant::Avx2)) GTEST_SKIP() << "this processor cannot run AVX2";
    const Host::Entries& sse2 = Library().variant(Host::Variant::Sse2);
    const Host::Entries& avx2 = Library().variant(Host::Variant::Avx2);
    const Host::Entries& selected = Library().variant(Host::SelectedVariant());
    const Host::Entries& forwarders = Library().entries();

    // The DCT takes every cosine from the scalar function in both builds: the same bits.
    const std::vector<float> input = RandomValues(30, -80.0f, 0.0f, 17);
    std::vector<float> a(30), b(30), c(30);
    sse2._DCT(input.data(), a.data(), 30);
    avx2._DCT(input.data(), b.data(), 30);
    forwarders._DCT(input.data(), c.data(), 30);
    for (int i = 0; i < 30; ++i) {
        EXPECT_TRUE(SameBits(a[i], b[i])) << i;
        EXPECT_TRUE(SameBits(c[i], a[i])) << i;
    }

    // The grouped logarithm may differ in the last bit between the builds.
    const std::vector<float> power = RandomValues(37, 1e-8f, 1e4f, 19);
    std::vector<float> x = power, y = power, z = power, w = power;
    sse2._PowerToDecibel(x.data(), 37);
    avx2._PowerToDecibel(y.data(), 37);
    forwarders._PowerToDecibel(z.data(), 37);
    selected._PowerToDecibel(w.data(), 37);
    for (int i = 0; i < 37; ++i) {
        EXPECT_LE(UlpDistance(x[i], y[i]), 1) << i;
        EXPECT_TRUE(SameBits(z[i], w[i])) << i;
    }

    for (float value : {0.0f, 440.0f, 3000.0f, -350.0f}) {
        for (uint8_t flag : {0, 1}) {
            EXPECT_TRUE(SameBits(forwarders._FrequencyToMel(value, flag),
                                 selected._FrequencyToMel(value, flag)));
            EXPECT_TRUE(SameBits(forwarders._MelToFrequency(value, flag),
                                 selected._MelToFrequency(value, flag)));
            EXPECT_TRUE(
                SameBits(sse2._FrequencyToMel(value, flag), avx2._FrequencyToMel(value, flag)));
        }
    }
}

}  // namespace
}  // namespace Vocetta::Testing
