// Pre-emphasis, the Hamming window and peak scaling on each build: hand-worked values, the
// element-by-element definitions (overlapping pre-emphasis included), and a double-precision
// window.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support.hpp"

namespace Vocetta::Testing {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr double kPi = 3.14159265358979323846;

class Conditioning : public BuildTest {};

// ---- Pre-emphasis ---------------------------------------------------------------------------

TEST_P(Conditioning, PreEmphasisShortBlocks) {
    const float source[] = {1.0f, 2.0f, 4.0f};
    float data[3] = {kNaN, kNaN, kNaN};
    entries()._ApplyPreEmphasis(data, source, 0, 0.5f);
    entries()._ApplyPreEmphasis(data, source, 1, 0.5f);
    EXPECT_TRUE(std::isnan(data[0]) && std::isnan(data[1]));
    entries()._ApplyPreEmphasis(data, source, 2, 0.5f);
    EXPECT_TRUE(std::isnan(data[0]));
    EXPECT_EQ(data[1], 1.5f);
    EXPECT_TRUE(std::isnan(data[2]));
}

// data[i] = source[i] - coefficient x source[i - 1]; data[0] is never written.
TEST_P(Conditioning, PreEmphasisMatchesItsDefinition) {
    for (const size_t length : {3u, 4u, 8u, 9u, 17u, 1024u, 1027u}) {
        const std::vector<float> source = RandomBlock(length, static_cast<uint32_t>(length));
        std::vector<float> data(length, kNaN);
        entries()._ApplyPreEmphasis(data.data(), source.data(), static_cast<int32_t>(length),
                                    0.97f);
        EXPECT_TRUE(std::isnan(data[0]));
        for (size_t i = 1; i < length; ++i) {
            EXPECT_TRUE(SameBits(data[i], source[i] - 0.97f * source[i - 1])) << length << " " << i;
        }
        entries()._ApplyPreEmphasis(data.data(), source.data(), static_cast<int32_t>(length), 0.0f);
        for (size_t i = 1; i < length; ++i)
            EXPECT_TRUE(SameBits(data[i], source[i]));
    }
}

// In place (and shifted by one either way), each step reads what the step before it wrote.
TEST_P(Conditioning, OverlappingPreEmphasisRunsElementByElement) {
    const std::vector<float> original = RandomBlock(200, 17);
    for (const ptrdiff_t shift : {0, 1, -1, 5}) {
        std::vector<float> expected(220, 0.0f), actual(220, 0.0f);
        std::copy(original.begin(), original.end(), expected.begin() + 10);
        std::copy(original.begin(), original.end(), actual.begin() + 10);
        {
            float* data = expected.data() + 10 + shift;
            const float* source = expected.data() + 10;
            for (int32_t i = 1; i < 200; ++i)
                data[i] = source[i] - 0.97f * source[i - 1];
        }
        entries()._ApplyPreEmphasis(actual.data() + 10 + shift, actual.data() + 10, 200, 0.97f);
        for (size_t i = 0; i < actual.size(); ++i) {
            EXPECT_TRUE(SameBits(actual[i], expected[i])) << "shift " << shift << " at " << i;
        }
    }
}

// ---- Hamming window -------------------------------------------------------------------------

TEST_P(Conditioning, HammingWindowHandWorkedLengths) {
    float one[] = {3.0f};
    entries()._ApplyHammingWindow(one, 1);  // phase 0 / 0
    EXPECT_TRUE(std::isnan(one[0]));

    float two[] = {1.0f, -2.0f};
    entries()._ApplyHammingWindow(two, 2);
    EXPECT_NEAR(two[0], 0.08f, 1e-7);
    EXPECT_NEAR(two[1], -0.16f, 2e-7);

    float five[] = {1.0f, 1.0f, 1.0f, 1.0f, 1.0f};
    entries()._ApplyHammingWindow(five, 5);
    const float weights[] = {0.08f, 0.54f, 1.0f, 0.54f, 0.08f};
    for (int32_t i = 0; i < 5; ++i)
        EXPECT_NEAR(five[i], weights[i], 1e-6) << i;

    float untouched[] = {kNaN};
    entries()._ApplyHammingWindow(untouched, 0);
    entries()._ApplyHammingWindow(untouched, -4);
    EXPECT_TRUE(std::isnan(untouched[0]));
}

TEST_P(Conditioning, HammingWindowFollowsDoublePrecision) {
    for (const size_t length : {3u, 7u, 8u, 9u, 16u, 31u, 341u, 1024u}) {
        const std::vector<float> block = RandomBlock(length, 100 + static_cast<uint32_t>(length));
        std::vector<float> data = block;
        entries()._ApplyHammingWindow(data.data(), static_cast<int32_t>(length));
        for (size_t i = 0; i < length; ++i) {
            const double weight = 0.54 - 0.46 * std::cos(2.0 * kPi * i / (length - 1.0));
            EXPECT_NEAR(data[i], weight * block[i], 1e-6) << length << " " << i;
        }
    }
}

// ---- Peak scaling ---------------------------------------------------------------------------

TEST_P(Conditioning, ScaleToPeakHandWorked) {
    float block[] = {0.5f, -2.0f, 1.0f};
    entries()._ScaleToPeak(block, 3, 1.0f);
    EXPECT_EQ(block[0], 0.25f);
    EXPECT_EQ(block[1], -1.0f);
    EXPECT_EQ(block[2], 0.5f);
    entries()._ScaleToPeak(block, 3, -3.0f);  // a negative peak flips every sign
    EXPECT_EQ(block[0], -0.75f);
    EXPECT_EQ(block[1], 3.0f);
    EXPECT_EQ(block[2], -1.5f);
}

TEST_P(Conditioning, ScaleToPeakLeavesNearSilenceAlone) {
    const float epsilon = 1.1920929e-7f;
    std::vector<float> zeros(9, 0.0f);
    entries()._ScaleToPeak(zeros.data(), 9, 1.0f);
    for (float x : zeros)
        EXPECT_TRUE(SameBits(x, 0.0f));

    const float below = std::nextafter(epsilon, 0.0f);
    std::vector<float> quiet(11, -below / 2);
    quiet[6] = below;
    const std::vector<float> before = quiet;
    entries()._ScaleToPeak(quiet.data(), 11, 1.0f);
    EXPECT_EQ(quiet, before);

    std::vector<float> atEpsilon(11, epsilon / 2);
    atEpsilon[3] = -epsilon;  // exactly 2^-23 is scaled
    entries()._ScaleToPeak(atEpsilon.data(), 11, 1.0f);
    EXPECT_EQ(atEpsilon[3], -1.0f);
    EXPECT_EQ(atEpsilon[0], 0.5f);

    float untouched[] = {2.0f};
    entries()._ScaleToPeak(untouched, 0, 1.0f);
    entries()._ScaleToPeak(untouched, -1, 1.0f);
    EXPECT_EQ(untouched[0], 2.0f);
}

TEST_P(Conditioning, ScaleToPeakSkipsNaN) {
    for (const size_t length : {3u, 9u, 100u}) {
        std::vector<float> block = RandomBlock(length, 5);
        block[1] = kNaN;
        block[length - 1] = 4.0f;
        const std::vector<float> before = block;
        entries()._ScaleToPeak(block.data(), static_cast<int32_t>(length), 2.0f);
        EXPECT_TRUE(std::isnan(block[1]));
        for (size_t i = 0; i < length; ++i) {
            if (i == 1) continue;
            EXPECT_TRUE(SameBits(block[i], before[i] * 0.5f)) << length << " " << i;
        }
    }
}

VOCETTA_TEST_EACH_BUILD(Conditioning);

}  // namespace
}  // namespace Vocetta::Testing
