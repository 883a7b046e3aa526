// The complex FFT and the magnitude spectrum, against double-precision references, hand-worked
// values and the host traffic a recursion of halving levels must produce.
#include <dlfcn.h>
#include <immintrin.h>

#include <cmath>
#include <complex>
#include <random>
#include <sstream>

#include "support.hpp"

namespace Vocetta::Testing {
namespace {

using Complex = std::complex<double>;
constexpr double kTwoPi = 6.283185307179586;

struct Signal {
    std::vector<float> re, im;
};

Signal RandomSignal(int32_t n, bool complex, uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> value(-1.0f, 1.0f);
    Signal signal{std::vector<float>(n), std::vector<float>(n, 0.0f)};
    for (int32_t i = 0; i < n; ++i) {
        signal.re[i] = value(generator);
        if (complex) signal.im[i] = value(generator);
    }
    return signal;
}

// The textbook DFT in double, with the angles reduced exactly (j * k mod n) before any rounding.
std::vector<Complex> ReferenceDft(const Signal& x) {
    const size_t n = x.re.size();
    std::vector<Complex> root(n), out(n);
    for (size_t m = 0; m < n; ++m)
        root[m] = std::polar(1.0, -kTwoPi * double(m) / double(n));
    for (size_t k = 0; k < n; ++k) {
        Complex sum = 0;
        for (size_t j = 0; j < n; ++j)
            sum += Complex(x.re[j], x.im[j]) * root[(j * k) % n];
        out[k] = sum;
    }
    return out;
}

double Norm(const Signal& x) {
    double sum = 0;
    for (size_t i = 0; i < x.re.size(); ++i)
        sum += double(x.re[i]) * x.re[i] + double(x.im[i]) * x.im[i];
    return std::sqrt(sum);
}

// Largest error of any bin, relative to the norm of the input.
double RelativeError(const Signal& result, const std::vector<Complex>& reference, double norm) {
    double worst = 0;
    for (size_t k = 0; k < reference.size(); ++k) {
        worst = std::max(worst, std::abs(Complex(result.re[k], result.im[k]) - reference[k]));
    }
    return worst / norm;
}

Signal Transformed(const Host::Entries& entries, Signal x) {
    entries._FFT(x.re.data(), x.im.data(), int32_t(x.re.size()));
    return x;
}

// ---- What the host sees -------------------------------------------------------------------

struct ExpectedCall {
    bool allocate;
    int64_t size;
    size_t block;  // which allocation a release hands back
};

// The transform's recursion as a call trace: a block of n >= 2 takes four arrays of n / 2 floats,
// runs its two halves, and returns the four in creation order.
void ExpectLevel(int32_t n, std::vector<ExpectedCall>& trace, size_t& allocations) {
    if (n < 2) return;
    const size_t first = allocations;
    for (int i = 0; i < 4; ++i)
        trace.push_back({true, int64_t{n / 2} * 4, allocations++});
    ExpectLevel(n / 2, trace, allocations);
    ExpectLevel(n / 2, trace, allocations);
    for (size_t i = 0; i < 4; ++i)
        trace.push_back({false, 0, first + i});
}

void ExpectTrace(const std::vector<Host::ServiceCall>& calls,
                 const std::vector<ExpectedCall>& expected) {
    ASSERT_EQ(calls.size(), expected.size());
    std::vector<const void*> blocks;
    for (size_t i = 0; i < calls.size(); ++i) {
        const Host::ServiceCall& call = calls[i];
        if (expected[i].allocate) {
            ASSERT_EQ(call.kind, Host::ServiceCall::Kind::Allocate) << "call " << i;
            EXPECT_EQ(call.size, expected[i].size) << "call " << i;
            EXPECT_EQ(call.alignment, 4);
            EXPECT_EQ(call.label, 2);
            EXPECT_EQ(call.last, 0);
            blocks.push_back(call.pointer);
        } else {
            ASSERT_EQ(call.kind, Host::ServiceCall::Kind::Release) << "call " << i;
            EXPECT_EQ(call.label, 2);
            EXPECT_EQ(call.pointer, blocks.at(expected[i].block)) << "call " << i;
        }
    }
}

std::vector<ExpectedCall> TransformTrace(int32_t n, size_t firstBlock = 0) {
    std::vector<ExpectedCall> trace;
    size_t allocations = firstBlock;
    ExpectLevel(n, trace, allocations);
    return trace;
}

// ---- The defined arithmetic, rendered naively ----------------------------------------------

// SLEEF from the library's own dependency, for a bit-exact rendering of the transform.
template <typename Function>
Function Sleef(const char* name) {
    static void* handle = dlopen("libsleef.so.3", RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) handle = dlopen("libsleef.so.3", RTLD_NOW);
    return handle ? reinterpret_cast<Function>(dlsym(handle, name)) : nullptr;
}

using ScalarFunction = float (*)(float);

void VectorSse2(const char* name, const float* in, float* out) {
    using Function = __m128 (*)(__m128);
    _mm_storeu_ps(out, Sleef<Function>(name)(_mm_loadu_ps(in)));
}

__attribute__((target("avx2,fma"))) void VectorAvx2(void* function, const float* in, float* out) {
    using Function = __m256 (*)(__m256);
    _mm256_storeu_ps(out, reinterpret_cast<Function>(function)(_mm256_loadu_ps(in)));
}

// One level at a time, every twiddle computed where it is used, scratch from std::vector.
void NaiveTransform(float* re, float* im, int32_t n, Host::Variant variant) {
    if (n < 2) return;
    const int32_t h = n / 2;
    std::vector<float> er(h), ei(h), orr(h), oi(h);
    for (int32_t i = 0; i < h; ++i) {
        er[i] = re[2 * i], ei[i] = im[2 * i], orr[i] = re[2 * i + 1], oi[i] = im[2 * i + 1];
    }
    NaiveTransform(er.data(), ei.data(), h, variant);
    NaiveTransform(orr.data(), oi.data(), h, variant);
    const int32_t lanes = variant == Host::Variant::Avx2 ? 8 : 4;
    std::vector<float> theta(h), c(h), s(h);
    for (int32_t k = 0; k < h; ++k) {
        theta[k] = (float(k) * -6.2831855f) / float(n);
    }
    int32_t k = 0;
    for (; k + lanes <= h; k += lanes) {
        if (variant == Host::Variant::Avx2) {
            VectorAvx2(Sleef<void*>("Sleef_cosf8_u35avx2"), &theta[k], &c[k]);
            VectorAvx2(Sleef<void*>("Sleef_sinf8_u35avx2"), &theta[k], &s[k]);
        } else {
            VectorSse2("Sleef_cosf4_u35sse2", &theta[k], &c[k]);
            VectorSse2("Sleef_sinf4_u35sse2", &theta[k], &s[k]);
        }
    }
    for (; k < h; ++k) {
        c[k] = Sleef<ScalarFunction>("Sleef_cosf1_u35purec")(theta[k]);
        s[k] = Sleef<ScalarFunction>("Sleef_sinf1_u35purec")(theta[k]);
    }
    for (k = 0; k < h; ++k) {
        const float tRe = orr[k] * c[k] - oi[k] * s[k];
        const float tIm = orr[k] * s[k] + oi[k] * c[k];
        re[k] = er[k] + tRe, im[k] = ei[k] + tIm;
        re[k + h] = er[k] - tRe, im[k + h] = ei[k] - tIm;
    }
}

// ---- Tests -----------------------------------------------------------------------------------

class FftTest : public BuildTest {};
VOCETTA_TEST_EACH_BUILD(FftTest);

TEST_P(FftTest, MatchesDoublePrecisionDftForEveryPowerOfTwo) {
    for (int32_t n = 2; n <= 4096; n *= 2) {
        for (bool complex : {false, true}) {
            const Signal x = RandomSignal(n, complex, uint32_t(n) * 2 + complex);
            const double error = RelativeError(Transformed(entries(), x), ReferenceDft(x), Norm(x));
            // A radix-2 transform gains about one rounding per level; measured: at most 1.3e-7
            // times log2 n on both builds.
            EXPECT_LT(error, 4e-7 * std::log2(double(n))) << "n = " << n << " complex " << complex;
            std::ostringstream text;
            text << error;
            RecordProperty("relative_error_" + std::to_string(n) + (complex ? "c" : "r"),
                           text.str());
        }
    }
}

TEST_P(FftTest, ComputesTheStatedArithmeticBitForBit) {
    if (Sleef<void*>("Sleef_cosf1_u35purec") == nullptr) GTEST_SKIP() << "no libsleef.so.3";
    // Besides the job's lengths: levels of blocks narrower than a vector, side by side (powers of
    // two) and with kept samples of odd ancestors between them (18, 19, 35, 38, 77); levels that
    // halve an even level whose twiddle count is not a multiple of a vector (96, 160, 2040, 4088);
    // runs of every count from one to seven butterflies, whole blocks and after a vector's worth
    // (21, 23, 27, 29, 31, 45, 111).
    for (int32_t n : {2,   3,   4,    5,    7,    8,    13,   18,   19,   21,  23,  24,
                      27,  29,  31,   35,   38,   45,   64,   77,   96,   111, 160, 341,
                      372, 743, 1000, 1024, 2040, 2048, 4088, 4096, 4097, 8192}) {
        Signal x = RandomSignal(n, true, uint32_t(n));
        const Signal result = Transformed(entries(), x);
        NaiveTransform(x.re.data(), x.im.data(), n, build());
        for (int32_t k = 0; k < n; ++k) {
            ASSERT_TRUE(SameBits(result.re[k], x.re[k]) && SameBits(result.im[k], x.im[k]))
                << "n = " << n << ", bin " << k;
        }
    }
}

TEST_P(FftTest, FollowsTheNegativeExponentConvention) {
    const int32_t n = 64;
    for (int32_t m : {1, 5, 31}) {
        // e^(+2 pi i m j / n) lands in bin m alone.
        Signal x{std::vector<float>(n), std::vector<float>(n)};
        for (int32_t j = 0; j < n; ++j) {
            x.re[j] = float(std::cos(kTwoPi * m * j / n));
            x.im[j] = float(std::sin(kTwoPi * m * j / n));
        }
        Signal X = Transformed(entries(), x);
        for (int32_t k = 0; k < n; ++k) {
            const double expected = k == m ? n : 0.0;
            EXPECT_NEAR(X.re[k], expected, 1e-4) << "m " << m << " bin " << k;
            EXPECT_NEAR(X.im[k], 0.0, 1e-4) << "m " << m << " bin " << k;
        }
        // A real cosine splits evenly between bins m and n - m.
        for (int32_t j = 0; j < n; ++j)
            x.im[j] = 0.0f;
        X = Transformed(entries(), x);
        for (int32_t k = 0; k < n; ++k) {
            const double expected = (k == m || k == n - m) ? n / 2.0 : 0.0;
            EXPECT_NEAR(X.re[k], expected, 1e-4) << "m " << m << " bin " << k;
            EXPECT_NEAR(X.im[k], 0.0, 1e-4) << "m " << m << " bin " << k;
        }
    }
}

TEST_P(FftTest, ImpulseAndConstantInputs) {
    for (int32_t n : {2, 16, 1024}) {
        Signal impulse{std::vector<float>(n, 0.0f), std::vector<float>(n, 0.0f)};
        impulse.re[0] = 1.0f;
        const Signal flat = Transformed(entries(), impulse);
        for (int32_t k = 0; k < n; ++k) {
            EXPECT_EQ(flat.re[k], 1.0f) << k;
            EXPECT_EQ(flat.im[k], 0.0f) << k;
        }
        const Signal constant{std::vector<float>(n, 1.0f), std::vector<float>(n, 0.0f)};
        const Signal spike = Transformed(entries(), constant);
        EXPECT_EQ(spike.re[0], float(n));
        EXPECT_EQ(spike.im[0], 0.0f);
        for (int32_t k = 1; k < n; ++k) {
            EXPECT_NEAR(spike.re[k], 0.0, 1e-4) << k;
            EXPECT_NEAR(spike.im[k], 0.0, 1e-4) << k;
        }
    }
}

TEST_P(FftTest, SmallLengthsWorkedByHand) {
    Signal two{{3.0f, 5.0f}, {1.0f, -2.0f}};
    two = Transformed(entries(), two);
    EXPECT_EQ(two.re, (std::vector<float>{8.0f, -2.0f}));
    EXPECT_EQ(two.im, (std::vector<float>{-1.0f, 3.0f}));

    // 1, 2, 3, 4: 10, -2 + 2i, -2, -2 - 2i; bins 1 and 3 carry cos(-pi/2) in float.
    Signal four{{1, 2, 3, 4}, {0, 0, 0, 0}};
    four = Transformed(entries(), four);
    EXPECT_EQ(four.re[0], 10.0f);
    EXPECT_EQ(four.im[0], 0.0f);
    EXPECT_EQ(four.re[2], -2.0f);
    EXPECT_EQ(four.im[2], 0.0f);
    EXPECT_LE(UlpDistance(four.re[1], -2.0f), 1);
    EXPECT_LE(UlpDistance(four.im[1], 2.0f), 1);
    EXPECT_LE(UlpDistance(four.re[3], -2.0f), 1);
    EXPECT_LE(UlpDistance(four.im[3], -2.0f), 1);
}

// Odd lengths leave their last element behind at every level; the butterflies still use the odd
// length in the angle. The expected values follow that definition in double precision.
TEST_P(FftTest, LengthsThatAreNotPowersOfTwo) {
    // 3: the pair transform of x0, x1; x2 as it was.
    Signal three{{0.5f, -1.25f, 7.0f}, {2.0f, 0.75f, -3.0f}};
    three = Transformed(entries(), three);
    EXPECT_EQ(three.re, (std::vector<float>{-0.75f, 1.75f, 7.0f}));
    EXPECT_EQ(three.im, (std::vector<float>{2.75f, 1.25f, -3.0f}));

    auto expectNear = [](const Signal& got, const std::vector<Complex>& want) {
        for (size_t k = 0; k < want.size(); ++k) {
            EXPECT_NEAR(got.re[k], want[k].real(), 1e-5) << "bin " << k;
            EXPECT_NEAR(got.im[k], want[k].imag(), 1e-5) << "bin " << k;
        }
    };
    const Signal x = RandomSignal(6, true, 7);
    auto at = [&](int i) { return Complex(x.re[i], x.im[i]); };
    auto w = [](int k, int n) { return std::polar(1.0, -kTwoPi * k / n); };

    // 5: halves (x0, x2) and (x1, x3) as pairs, x4 left behind, twiddle angles over 5.
    {
        const Complex e0 = at(0) + at(2), e1 = at(0) - at(2);
        const Complex o0 = at(1) + at(3), o1 = at(1) - at(3);
        Signal five{{x.re.begin(), x.re.begin() + 5}, {x.im.begin(), x.im.begin() + 5}};
        expectNear(Transformed(entries(), five),
                   {e0 + o0, e1 + w(1, 5) * o1, e0 - o0, e1 - w(1, 5) * o1, at(4)});
    }
    // 6: halves (x0, x2, x4) and (x1, x3, x5), each a length-3 block as above, angles over 6.
    {
        const Complex e[3] = {at(0) + at(2), at(0) - at(2), at(4)};
        const Complex o[3] = {at(1) + at(3), at(1) - at(3), at(5)};
        std::vector<Complex> want(6);
        for (int k = 0; k < 3; ++k) {
            want[k] = e[k] + w(k, 6) * o[k];
            want[k + 3] = e[k] - w(k, 6) * o[k];
        }
        expectNear(Transformed(entries(), x), want);
    }
}

TEST_P(FftTest, LengthsBelowTwoTouchNothing) {
    Host::Accounting accounting;
    for (int32_t n : {1, 0, -1, -4096, INT32_MIN}) {
        float re[2] = {1.5f, 2.5f}, im[2] = {-3.5f, 4.5f};
        entries()._FFT(re, im, n);
        EXPECT_EQ(re[0], 1.5f);
        EXPECT_EQ(re[1], 2.5f);
        EXPECT_EQ(im[0], -3.5f);
        EXPECT_EQ(im[1], 4.5f);
    }
    EXPECT_TRUE(accounting.calls().empty());
}

TEST_P(FftTest, TakesFourArraysPerLevelAndReturnsThemInOrder) {
    for (int32_t n : {2, 3, 8, 341, 1024, 4096}) {
        Signal x = RandomSignal(n, true, 3);
        Host::Accounting accounting;
        entries()._FFT(x.re.data(), x.im.data(), n);
        const std::vector<Host::ServiceCall> calls = accounting.calls();
        if ((n & (n - 1)) == 0) {
            EXPECT_EQ(calls.size(), 8u * (n - 1)) << n;
        }
        ExpectTrace(calls, TransformTrace(n));
        ExpectCleanTraffic(accounting);
    }
}

class MagnitudeSpectrumTest : public BuildTest {};
VOCETTA_TEST_EACH_BUILD(MagnitudeSpectrumTest);

TEST_P(MagnitudeSpectrumTest, IsTheModulusOfEveryBin) {
    for (int32_t n : {1, 4, 256, 1024}) {
        const Signal x = RandomSignal(n, false, 11);
        const std::vector<Complex> reference = ReferenceDft(x);
        std::vector<float> spectrum(n, -1.0f);
        entries().FFT(x.re.data(), spectrum.data(), n);
        for (int32_t k = 0; k < n; ++k) {
            EXPECT_NEAR(spectrum[k], std::abs(reference[k]), 4e-7 * 10 * Norm(x)) << n << ":" << k;
        }
    }
    const std::vector<float> ramp{1, 2, 3, 4};
    std::vector<float> spectrum(4);
    entries().FFT(ramp.data(), spectrum.data(), 4);
    EXPECT_EQ(spectrum[0], 10.0f);
    EXPECT_EQ(spectrum[2], 2.0f);
    EXPECT_LE(UlpDistance(spectrum[1], 2.828427f), 1);
    EXPECT_LE(UlpDistance(spectrum[3], 2.828427f), 1);

    const float single = -2.5f;
    float magnitude = 0.0f;
    entries().FFT(&single, &magnitude, 1);
    EXPECT_EQ(magnitude, 2.5f);

    // 3 is not a power of two: |x0 + x1|, |x0 - x1|, |x2|.
    const std::vector<float> three{3.0f, 1.0f, -4.0f};
    std::vector<float> out(3);
    entries().FFT(three.data(), out.data(), 3);
    EXPECT_EQ(out, (std::vector<float>{4.0f, 2.0f, 4.0f}));
}

TEST_P(MagnitudeSpectrumTest, MayWriteOverItsInput) {
    const Signal x = RandomSignal(512, false, 5);
    std::vector<float> separate(512);
    entries().FFT(x.re.data(), separate.data(), 512);
    std::vector<float> inPlace = x.re;
    entries().FFT(inPlace.data(), inPlace.data(), 512);
    for (int32_t k = 0; k < 512; ++k)
        ASSERT_TRUE(SameBits(inPlace[k], separate[k])) << k;
}

TEST_P(MagnitudeSpectrumTest, HostTrafficWrapsTheTransform) {
    for (int32_t n : {1, 2, 341, 1024}) {
        const Signal x = RandomSignal(n, false, 9);
        std::vector<float> spectrum(n);
        Host::Accounting accounting;
        entries().FFT(x.re.data(), spectrum.data(), n);
        std::vector<ExpectedCall> expected{{true, int64_t{n} * 4, 0}, {true, int64_t{n} * 4, 1}};
        for (const ExpectedCall& call : TransformTrace(n, 2))
            expected.push_back(call);
        expected.push_back({false, 0, 0});
        expected.push_back({false, 0, 1});
        ExpectTrace(accounting.calls(), expected);
        ExpectCleanTraffic(accounting);
    }
}

// A negative length used to reach the host as a negative-sized request; it now reads as 0.
TEST_P(MagnitudeSpectrumTest, EmptyAndNegativeLengthsAskForEmptyArrays) {
    for (int32_t n : {0, -1, -1000, INT32_MIN}) {
        const float data[2] = {1.0f, 2.0f};
        float spectrum[2] = {-7.0f, -8.0f};
        Host::Accounting accounting;
        entries().FFT(data, spectrum, n);
        ExpectTrace(accounting.calls(), {{true, 0, 0}, {true, 0, 1}, {false, 0, 0}, {false, 0, 1}});
        ExpectCleanTraffic(accounting);
        EXPECT_EQ(spectrum[0], -7.0f);
        EXPECT_EQ(spectrum[1], -8.0f);
    }
}

TEST(SpectralBuilds, AgreeWithinSleefBoundsAndForwardersFollowTheSelection) {
    if (!Host::Supports(Host::Variant::Avx2)) GTEST_SKIP() << "this processor cannot run AVX2";
    const Host::Entries& sse2 = Library().variant(Host::Variant::Sse2);
    const Host::Entries& avx2 = Library().variant(Host::Variant::Avx2);
    const Host::Entries& selected = Library().variant(Host::SelectedVariant());
    for (int32_t n : {8, 341, 1024, 4096}) {
        const Signal x = RandomSignal(n, true, 21);
        const Signal a = Transformed(sse2, x), b = Transformed(avx2, x);
        const Signal forwarded = Transformed(Library().entries(), x);
        const Signal direct = Transformed(selected, x);
        double worst = 0;
        for (int32_t k = 0; k < n; ++k) {
            worst =
                std::max(worst, std::abs(Complex(a.re[k], a.im[k]) - Complex(b.re[k], b.im[k])));
            ASSERT_TRUE(SameBits(forwarded.re[k], direct.re[k]) &&
                        SameBits(forwarded.im[k], direct.im[k]));
        }
        // Each twiddle may differ by a few ulps between the builds' vector functions.
        EXPECT_LT(worst / Norm(x), 4e-7 * std::log2(double(n))) << n;

        std::vector<float> viaForwarder(n), viaVariant(n);
        Library().entries().FFT(x.re.data(), viaForwarder.data(), n);
        selected.FFT(x.re.data(), viaVariant.data(), n);
        for (int32_t k = 0; k < n; ++k)
            ASSERT_TRUE(SameBits(viaForwarder[k], viaVariant[k]));
    }
}

}  // namespace
}  // namespace Vocetta::Testing
