// The library's own floorf, ceilf, rintf and trunc, against the C library's and values worked by
// hand, under every rounding mode of the control word.
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <xmmintrin.h>

#include "support.hpp"

namespace Vocetta::Testing {
namespace {

using FloatFn = float (*)(float);
using DoubleFn = double (*)(double);

template <typename Function>
Function RuntimeSymbol(const char* name) {
    void* address = Library().symbol(name);
    EXPECT_NE(address, nullptr) << name;
    return reinterpret_cast<Function>(address);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

bool SameDouble(double a, double b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Hand-picked trouble plus a sweep over every exponent and both signs.
std::vector<float> FloatInputs() {
    std::vector<float> values = {
        0.0f,        -0.0f,        0.5f,        -0.5f,        1.5f,         -1.5f,
        2.5f,        -2.5f,        3.5f,        -3.5f,        0.49999997f,  -0.49999997f,
        0.50000006f, -0.50000006f, 1.0f,        -1.0f,        0.99999994f,  -0.99999994f,
        8388607.5f,  -8388607.5f,  8388606.5f,  -8388606.5f,  8388608.0f,   -8388608.0f,
        8388609.0f,  -8388609.0f,  16777216.0f, -16777218.0f, 2147483648.f, -2147483648.f,
        1e30f,       -1e30f,       FLT_MAX,     -FLT_MAX,     FLT_MIN,      -FLT_MIN,
        1e-40f,      -1e-40f,      kInf,        -kInf};
    for (uint32_t bits = 0; bits < 0x7F800000u; bits += 0x3F1Bu) {
        float x;
        std::memcpy(&x, &bits, sizeof x);
        values.push_back(x);
        values.push_back(-x);
    }
    std::mt19937 generator(5);
    std::uniform_real_distribution<float> small(-64.0f, 64.0f);
    for (int i = 0; i < 20000; ++i)
        values.push_back(small(generator));
    return values;
}

TEST(RuntimeFunctions, HandWorkedValues) {
    const auto floorFn = RuntimeSymbol<FloatFn>("floorf");
    const auto ceilFn = RuntimeSymbol<FloatFn>("ceilf");
    const auto rintFn = RuntimeSymbol<FloatFn>("rintf");
    const auto truncFn = RuntimeSymbol<DoubleFn>("trunc");

    EXPECT_TRUE(SameBits(floorFn(-0.5f), -1.0f));
    EXPECT_TRUE(SameBits(floorFn(-0.0f), -0.0f));
    EXPECT_TRUE(SameBits(floorFn(2.999f), 2.0f));
    EXPECT_TRUE(SameBits(ceilFn(-0.5f), -0.0f));
    EXPECT_TRUE(SameBits(ceilFn(0.25f), 1.0f));
    EXPECT_TRUE(SameBits(ceilFn(-2.999f), -2.0f));
    // Ties go to the even neighbour.
    EXPECT_TRUE(SameBits(rintFn(0.5f), 0.0f));
    EXPECT_TRUE(SameBits(rintFn(-0.5f), -0.0f));
    EXPECT_TRUE(SameBits(rintFn(1.5f), 2.0f));
    EXPECT_TRUE(SameBits(rintFn(2.5f), 2.0f));
    EXPECT_TRUE(SameBits(rintFn(-3.5f), -4.0f));
    EXPECT_TRUE(SameBits(rintFn(8388607.5f), 8388608.0f));
    EXPECT_TRUE(SameBits(rintFn(8388606.5f), 8388606.0f));
    EXPECT_TRUE(SameDouble(truncFn(-0.75), -0.0));
    EXPECT_TRUE(SameDouble(truncFn(2.999), 2.0));
    EXPECT_TRUE(SameDouble(truncFn(4503599627370495.5), 4503599627370495.0));
    EXPECT_TRUE(SameDouble(truncFn(-1e19), -1e19));
    for (const auto fn : {floorFn, ceilFn, rintFn}) {
        EXPECT_EQ(fn(kInf), kInf);
        EXPECT_EQ(fn(-kInf), -kInf);
        EXPECT_TRUE(std::isnan(fn(kNaN)));
        EXPECT_TRUE(std::isnan(fn(-kNaN)));
    }
    EXPECT_TRUE(std::isnan(truncFn(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_EQ(truncFn(-std::numeric_limits<double>::infinity()),
              -std::numeric_limits<double>::infinity());
}

TEST(RuntimeFunctions, AgreeWithTheCLibrary) {
    const auto floorFn = RuntimeSymbol<FloatFn>("floorf");
    const auto ceilFn = RuntimeSymbol<FloatFn>("ceilf");
    const auto rintFn = RuntimeSymbol<FloatFn>("rintf");
    for (const float x : FloatInputs()) {
        EXPECT_TRUE(SameBits(floorFn(x), std::floor(x))) << x;
        EXPECT_TRUE(SameBits(ceilFn(x), std::ceil(x))) << x;
        EXPECT_TRUE(SameBits(rintFn(x), std::nearbyint(x))) << x;
    }
}

TEST(RuntimeFunctions, TruncAgreesWithTheCLibrary) {
    const auto truncFn = RuntimeSymbol<DoubleFn>("trunc");
    std::vector<double> values = {0.0,     -0.0,       0.5,          -0.5,           0x1p52,
                                  -0x1p52, 0x1p52 + 1, 0x1p53,       0x1p63,         -0x1p63,
                                  0x1p64,  -0x1p70,    1e300,        5e-324,         -5e-324,
                                  DBL_MAX, -DBL_MAX,   0x1p52 - 0.5, -(0x1p52 - 0.5)};
    std::mt19937_64 generator(11);
    for (int i = 0; i < 20000; ++i) {
        uint64_t bits = generator();
        double x;
        std::memcpy(&x, &bits, sizeof x);
        if (!std::isnan(x)) values.push_back(x);
        values.push_back(std::ldexp(static_cast<double>(bits >> 11), -static_cast<int>(i % 64)));
        values.push_back(-values.back());
    }
    for (const double x : values)
        EXPECT_TRUE(SameDouble(truncFn(x), std::trunc(x))) << x;
}

// rintf follows the calling thread's rounding mode, as the library's own control word sets it;
// floorf, ceilf and trunc do not.
TEST(RuntimeFunctions, RintFollowsTheRoundingModeAndTheOthersDoNot) {
    const auto floorFn = RuntimeSymbol<FloatFn>("floorf");
    const auto ceilFn = RuntimeSymbol<FloatFn>("ceilf");
    const auto rintFn = RuntimeSymbol<FloatFn>("rintf");
    const auto truncFn = RuntimeSymbol<DoubleFn>("trunc");
    const Host::Entries& entries = Library().entries();
    const std::vector<float> inputs = FloatInputs();

    const uint32_t saved = _mm_getcsr();
    const struct {
        uint32_t bits;
        float (*reference)(float);
        const char* name;
    } modes[] = {
        {0x0000, [](float x) { return std::nearbyint(x); }, "nearest"},
        {0x2000, [](float x) { return std::floor(x); }, "down"},
        {0x4000, [](float x) { return std::ceil(x); }, "up"},
        {0x6000, [](float x) { return std::trunc(x); }, "toward zero"},
    };
    for (const auto& mode : modes) {
        std::vector<float> rinted(inputs.size()), floored(inputs.size()), ceiled(inputs.size());
        std::vector<double> truncated(inputs.size());
        entries._SetControlWord(static_cast<int32_t>((saved & ~0x6000u) | mode.bits));
        for (size_t i = 0; i < inputs.size(); ++i) {
            rinted[i] = rintFn(inputs[i]);
            floored[i] = floorFn(inputs[i]);
            ceiled[i] = ceilFn(inputs[i]);
            truncated[i] = truncFn(static_cast<double>(inputs[i]) * 1.25);
        }
        entries._SetControlWord(static_cast<int32_t>(saved));
        ASSERT_EQ(_mm_getcsr(), saved);

        for (size_t i = 0; i < inputs.size(); ++i) {
            const float x = inputs[i];
            EXPECT_TRUE(SameBits(rinted[i], mode.reference(x))) << mode.name << ": rintf " << x;
            EXPECT_TRUE(SameBits(floored[i], std::floor(x))) << mode.name << ": floorf " << x;
            EXPECT_TRUE(SameBits(ceiled[i], std::ceil(x))) << mode.name << ": ceilf " << x;
            EXPECT_TRUE(SameDouble(truncated[i], std::trunc(static_cast<double>(x) * 1.25)))
                << mode.name << ": trunc " << x;
        }
    }

    // The same by hand, rounding up: the half-way and the nearly-integral cases move up.
    entries._SetControlWord(static_cast<int32_t>((saved & ~0x6000u) | 0x4000));
    const float upPositive = rintFn(1.25f), upNegative = rintFn(-1.75f), upHalf = rintFn(-0.5f);
    entries._SetControlWord(static_cast<int32_t>(saved));
    EXPECT_EQ(upPositive, 2.0f);
    EXPECT_EQ(upNegative, -1.0f);
    EXPECT_TRUE(SameBits(upHalf, -0.0f));
}

}  // namespace
}  // namespace Vocetta::Testing
