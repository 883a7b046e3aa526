// The mel filter bank on each build: the worked 16 kHz example bin by bin, a double-precision
// reference, the two forms against each other, host traffic, the thread's rounding mode, and
// spectra that must never be read outside bins 1 ... L/2 (guard pages around them).
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "support.hpp"

namespace Vocetta::Testing {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

using MelFilterBankDoor = void (*)(NativeArray*, NativeArray*, float, int32_t);

// The filter bank as the mathematics states it, in double precision.
struct ReferenceBand {
    double fBegin, fCenter, fEnd;
    int64_t iBegin, iCenter, iEnd;
};

std::vector<ReferenceBand> ReferenceBands(int32_t length, double sampleRate, int32_t melDiv) {
    const double fMax = sampleRate * 0.5;
    const double melMax = 1127.0 * std::log(1.0 + fMax / 700.0);
    const double df = fMax / (length / 2);
    const double melStep = melMax / (melDiv + 1);
    const auto hz = [](double mel) { return 700.0 * (std::exp(mel / 1127.0) - 1.0); };
    std::vector<ReferenceBand> bands;
    for (int32_t i = 0; i < melDiv; ++i) {
        ReferenceBand band{hz(i * melStep), hz((i + 1) * melStep), hz((i + 2) * melStep), 0, 0, 0};
        band.iBegin = static_cast<int64_t>(std::ceil(band.fBegin / df));
        band.iCenter = static_cast<int64_t>(std::nearbyint(band.fCenter / df));
        band.iEnd = static_cast<int64_t>(std::floor(band.fEnd / df));
        bands.push_back(band);
    }
    return bands;
}

double ReferenceWeight(const ReferenceBand& band, int64_t j, double df) {
    const double f = j * df;
    const double w = j < band.iCenter ? (f - band.fBegin) / (band.fCenter - band.fBegin)
                                      : (band.fEnd - f) / (band.fEnd - band.fCenter);
    return w / ((band.fEnd - band.fBegin) * 0.5);
}

// Single-precision edges may land on the other side of an integer than the exact ones when
// the quotient is within rounding of it: band 29 ends at 8000 Hz exactly, 8000.001 Hz in floats.
bool Ambiguous(const ReferenceBand& band, int64_t bin, double df) {
    const auto near = [](double x, double at) { return std::fabs(x - at) < 1e-3; };
    return near(band.fBegin / df, static_cast<double>(bin - 1)) ||
           near(band.fEnd / df, static_cast<double>(bin)) ||
           near(band.fCenter / df, static_cast<double>(bin) - 0.5) ||
           near(band.fCenter / df, static_cast<double>(bin) + 0.5);
}

// Near a triangle's feet a weight is a small difference of band edges, whose float values carry
// the logarithm's and the exponential's few ulps.
double WeightTolerance(const ReferenceBand& band, double expected) {
    return 1e-5 * std::fabs(expected) + 1e-5 * 2.0 / (band.fEnd - band.fBegin);
}

std::vector<double> ReferenceMel(const std::vector<float>& spectrum, double sampleRate,
                                 int32_t melDiv) {
    const int32_t length = static_cast<int32_t>(spectrum.size());
    const double df = sampleRate * 0.5 / (length / 2);
    std::vector<double> out;
    for (const ReferenceBand& band : ReferenceBands(length, sampleRate, melDiv)) {
        double sum = 0.0;
        for (int64_t j = band.iBegin + 1; j <= band.iEnd; ++j) {
            sum += ReferenceWeight(band, j, df) * spectrum[static_cast<size_t>(j)];
        }
        out.push_back(sum);
    }
    return out;
}

std::vector<float> Mel(const Host::Entries& entries, const std::vector<float>& spectrum,
                       float sampleRate, int32_t melDiv) {
    std::vector<float> out(static_cast<size_t>(melDiv), kNaN);
    entries._MelFilterBank(spectrum.data(), out.data(), static_cast<int32_t>(spectrum.size()),
                           sampleRate, melDiv);
    return out;
}

std::vector<float> OneHot(int32_t length, int32_t bin) {
    std::vector<float> spectrum(static_cast<size_t>(length), 0.0f);
    spectrum[static_cast<size_t>(bin)] = 1.0f;
    return spectrum;
}

// Floats whose readable range is exactly [first, first + count): the pages on both sides fault.
class GuardedFloats {
  public:
    GuardedFloats(int32_t first, int32_t count) {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        const size_t bytes = static_cast<size_t>(count) * sizeof(float);
        EXPECT_EQ(bytes % page_, 0u) << "the readable range must fill whole pages";
        size_ = bytes + 2 * page_;
        base_ =
            static_cast<char*>(mmap(nullptr, size_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        EXPECT_NE(base_, MAP_FAILED);
        EXPECT_EQ(mprotect(base_ + page_, bytes, PROT_READ | PROT_WRITE), 0);
        elements_ = reinterpret_cast<float*>(base_ + page_) - first;
        for (int32_t i = 0; i < count; ++i)
            elements_[first + i] = 1.0f;
    }
    ~GuardedFloats() { munmap(base_, size_); }
    GuardedFloats(const GuardedFloats&) = delete;
    GuardedFloats& operator=(const GuardedFloats&) = delete;
    float* elements() const { return elements_; }  // element 0, possibly inside a guard page

  private:
    size_t page_ = 0, size_ = 0;
    char* base_ = nullptr;
    float* elements_ = nullptr;
};

// Rounds in `mode` (an MXCSR RC field) for the lifetime of the object, on this thread.
class RoundingMode {
  public:
    RoundingMode(const Host::Entries& entries, int32_t mode) : entries_(entries) {
        saved_ = entries_._GetControlWord();
        entries_._SetControlWord((saved_ & ~0x6000) | mode);
    }
    ~RoundingMode() { entries_._SetControlWord(saved_); }
    RoundingMode(const RoundingMode&) = delete;
    RoundingMode& operator=(const RoundingMode&) = delete;

  private:
    const Host::Entries& entries_;
    int32_t saved_ = 0;
};

constexpr int32_t kRoundDown = 0x2000;
constexpr int32_t kRoundTowardZero = 0x6000;

class MelFilterBank : public BuildTest {
  protected:
    MelFilterBankDoor door() const {
        return TestingSymbol<MelFilterBankDoor>("vocetta_testing_mel_filter_bank", build());
    }
};

// 16000 Hz, L = 1024, 30 bands: df = 15.625 Hz. Each bin feeds exactly the bands whose summed
// range iBegin + 1 ... iEnd holds it, with the weight of the edge its index selects.
TEST_P(MelFilterBank, WorkedExampleBinByBin) {
    constexpr int32_t kLength = 1024, kBands = 30;
    const std::vector<ReferenceBand> bands = ReferenceBands(kLength, 16000.0, kBands);
    // The indices worked by hand.
    EXPECT_EQ(bands[0].iBegin, 0);
    EXPECT_EQ(bands[0].iCenter, 4);
    EXPECT_EQ(bands[0].iEnd, 7);
    EXPECT_EQ(bands[1].iBegin, 4);
    EXPECT_EQ(bands[1].iCenter, 8);
    EXPECT_EQ(bands[1].iEnd, 12);
    EXPECT_EQ(bands[2].iCenter, 12);
    EXPECT_NEAR(bands[0].fCenter, 59.28, 0.01);
    EXPECT_NEAR(bands[1].fEnd, 193.33, 0.01);
    EXPECT_NEAR(bands[29].fEnd, 8000.0, 0.01);

    for (int32_t bin = 0; bin <= 513; ++bin) {
        const std::vector<float> out = Mel(entries(), OneHot(kLength, bin), 16000.0f, kBands);
        for (int32_t i = 0; i < kBands; ++i) {
            const ReferenceBand& band = bands[static_cast<size_t>(i)];
            if (Ambiguous(band, bin, 15.625)) continue;
            if (band.iBegin < bin && bin <= band.iEnd) {
                const double expected = ReferenceWeight(band, bin, 15.625);
                EXPECT_NEAR(out[i], expected, WeightTolerance(band, expected))
                    << "bin " << bin << " band " << i;
            } else {
                EXPECT_TRUE(SameBits(out[i], 0.0f)) << "bin " << bin << " band " << i;
            }
        }
    }
    // Bin 4 lies inside band 1 but is skipped there; band 0 takes it on its falling edge.
    const std::vector<float> bin4 = Mel(entries(), OneHot(kLength, 4), 16000.0f, kBands);
    EXPECT_GT(bin4[0], 0.0f);
    EXPECT_EQ(bin4[1], 0.0f);
    // The Nyquist bin is read by the last band only.
    const std::vector<float> nyquist = Mel(entries(), OneHot(kLength, 512), 16000.0f, kBands);
    EXPECT_GT(nyquist[29], 0.0f);
}

// Bin 12 at 187.5 Hz lies below band 2's centre (193.33 Hz) but at its rounded centre index,
// so it takes the falling edge and weighs more than the triangle's peak.
TEST_P(MelFilterBank, RoundedCentreBinTakesTheFallingEdge) {
    const std::vector<ReferenceBand> bands = ReferenceBands(1024, 16000.0, 30);
    const ReferenceBand& band = bands[2];
    const double edge = (band.fEnd - 187.5) / (band.fEnd - band.fCenter);
    EXPECT_NEAR(edge, 1.077, 0.001);
    const float weight = Mel(entries(), OneHot(1024, 12), 16000.0f, 30)[2];
    EXPECT_NEAR(weight, edge / ((band.fEnd - band.fBegin) * 0.5), 1e-7);
    EXPECT_GT(weight, 2.0 / (band.fEnd - band.fBegin));
}

TEST_P(MelFilterBank, AllOnesGivesAboutOneOverDf) {
    const std::vector<float> out = Mel(entries(), std::vector<float>(1024, 1.0f), 16000.0f, 30);
    for (size_t i = 0; i < out.size(); ++i) {
        EXPECT_GT(out[i], 0.063f) << i;
        EXPECT_LT(out[i], 0.066f) << i;
    }
}

TEST_P(MelFilterBank, FollowsDoublePrecisionReference) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> magnitude(0.0f, 3.0f);
    for (const auto& [length, rate, bands] : std::vector<std::tuple<int32_t, float, int32_t>>{
             {1024, 16000.0f, 30}, {341, 16000.0f, 30}, {2048, 44100.0f, 40}, {64, 8000.0f, 12}}) {
        std::vector<float> spectrum(static_cast<size_t>(length));
        for (float& x : spectrum)
            x = magnitude(random);
        const std::vector<float> out = Mel(entries(), spectrum, rate, bands);
        const std::vector<double> expected = ReferenceMel(spectrum, rate, bands);
        for (int32_t i = 0; i < bands; ++i) {
            EXPECT_NEAR(out[i], expected[i], 1e-5 * std::fabs(expected[i]) + 1e-7)
                << "L " << length << " band " << i;
        }
    }
}

// Many bands over few bins: the lowest bands hold no bin above iBegin and are exactly 0.
TEST_P(MelFilterBank, NarrowLowBandsAreExactlyZero) {
    const std::vector<float> out = Mel(entries(), std::vector<float>(32, 1.0f), 16000.0f, 40);
    EXPECT_TRUE(SameBits(out[0], 0.0f));
    int32_t empty = 0;
    for (float x : out)
        empty += SameBits(x, 0.0f);
    EXPECT_GT(empty, 5);
    EXPECT_GT(out[39], 0.0f);
    // A spectrum of fewer than two bins has df infinite: every band is empty.
    for (float x : Mel(entries(), {5.0f}, 16000.0f, 4))
        EXPECT_TRUE(SameBits(x, 0.0f));
    for (float x : Mel(entries(), {}, 16000.0f, 4))
        EXPECT_TRUE(SameBits(x, 0.0f));
}

TEST_P(MelFilterBank, RawFormWithoutBandsTouchesNothing) {
    const std::vector<float> spectrum(1024, 1.0f);
    float out[2] = {kNaN, kNaN};
    Host::Accounting accounting;
    entries()._MelFilterBank(spectrum.data(), out, 1024, 16000.0f, 0);
    entries()._MelFilterBank(spectrum.data(), out, 1024, 16000.0f, -3);
    EXPECT_TRUE(std::isnan(out[0]) && std::isnan(out[1]));
    EXPECT_TRUE(accounting.calls().empty());
}

// The NativeArray form: one zero-filled array of melDiv floats, handed over through the view,
// and the same bits as the raw form.
TEST_P(MelFilterBank, ViewFormCreatesItsOutputAndMatchesTheRawForm) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> magnitude(0.0f, 1.0f);
    std::vector<float> spectrum(1024);
    for (float& x : spectrum)
        x = magnitude(random);
    NativeArray input{spectrum.data(), 1024, VOCETTA_ALLOCATOR_NONE};
    int sentinel = 0;
    NativeArray output{&sentinel, 99, 7};

    Host::Accounting accounting;
    door()(&input, &output, 16000.0f, 30);
    const std::vector<Host::ServiceCall> calls = accounting.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, Host::ServiceCall::Kind::Allocate);
    EXPECT_EQ(calls[0].size, 30 * 4);
    EXPECT_EQ(calls[0].alignment, 4);
    EXPECT_EQ(calls[0].label, VOCETTA_ALLOCATOR_TEMP);
    EXPECT_EQ(calls[0].last, 0);
    EXPECT_EQ(output.pointer, calls[0].pointer);
    EXPECT_EQ(output.length, 30);
    EXPECT_EQ(output.allocatorLabel, VOCETTA_ALLOCATOR_TEMP);
    EXPECT_EQ(input.pointer, spectrum.data());
    EXPECT_EQ(input.length, 1024);

    const std::vector<float> raw = Mel(entries(), spectrum, 16000.0f, 30);
    const float* bands = static_cast<const float*>(output.pointer);
    for (int32_t i = 0; i < 30; ++i)
        EXPECT_TRUE(SameBits(bands[i], raw[i])) << i;
    Host::FreeTracked(output.pointer, output.allocatorLabel);
    ExpectCleanTraffic(accounting);
}

// The view form runs neighbouring bands' sums side by side; each must still be its band's sum in
// bin order, whatever the band widths: empty, narrower and wider than a vector, and uneven.
TEST_P(MelFilterBank, ViewFormMatchesTheRawFormForEveryShape) {
    std::mt19937 random(11);
    std::uniform_real_distribution<float> magnitude(0.0f, 1.0f);
    for (int32_t length : {2, 3, 17, 64, 341, 1024, 4096}) {
        std::vector<float> spectrum(static_cast<size_t>(length));
        for (float& x : spectrum)
            x = magnitude(random);
        for (float rate : {8000.0f, 16000.0f, 44100.0f}) {
            for (int32_t melDiv : {1, 2, 7, 30, 64, 257}) {
                NativeArray input{spectrum.data(), length, VOCETTA_ALLOCATOR_NONE};
                NativeArray output{nullptr, 0, VOCETTA_ALLOCATOR_INVALID};
                door()(&input, &output, rate, melDiv);
                const std::vector<float> raw = Mel(entries(), spectrum, rate, melDiv);
                const float* bands = static_cast<const float*>(output.pointer);
                for (int32_t i = 0; i < melDiv; ++i) {
                    ASSERT_TRUE(SameBits(bands[i], raw[static_cast<size_t>(i)]))
                        << length << " bins, " << rate << " Hz, " << melDiv << " bands: band " << i;
                }
                Host::FreeTracked(output.pointer, output.allocatorLabel);
            }
        }
    }
}

// A negative band count is no bands too, never a negative allocation.
TEST_P(MelFilterBank, ViewFormWithoutBandsStoresAnEmptyArray) {
    std::vector<float> spectrum(1024, 1.0f);
    NativeArray input{spectrum.data(), 1024, VOCETTA_ALLOCATOR_NONE};
    for (int32_t melDiv : {0, -5}) {
        NativeArray output{nullptr, 0, 0};
        Host::Accounting accounting;
        door()(&input, &output, 16000.0f, melDiv);
        const std::vector<Host::ServiceCall> calls = accounting.calls();
        ASSERT_EQ(calls.size(), 1u);
        EXPECT_EQ(calls[0].size, 0);
        EXPECT_EQ(output.pointer, calls[0].pointer);
        EXPECT_EQ(output.length, 0);
        EXPECT_EQ(output.allocatorLabel, VOCETTA_ALLOCATOR_TEMP);
        Host::FreeTracked(output.pointer, output.allocatorLabel);
        ExpectCleanTraffic(accounting);
    }
}

// The centre index rounds in the thread's mode: band 0's centre quotient 3.79 becomes 3 when
// rounding down or toward zero, which moves bin 3 from the rising to the falling edge.
TEST_P(MelFilterBank, CentreIndexFollowsTheThreadRoundingMode) {
    const std::vector<ReferenceBand> bands = ReferenceBands(1024, 16000.0, 30);
    const ReferenceBand& band = bands[0];
    const double halfWidth = (band.fEnd - band.fBegin) * 0.5;
    const double rising = (46.875 - band.fBegin) / (band.fCenter - band.fBegin) / halfWidth;
    const double falling = (band.fEnd - 46.875) / (band.fEnd - band.fCenter) / halfWidth;
    const std::vector<float> spectrum = OneHot(1024, 3);

    EXPECT_NEAR(Mel(entries(), spectrum, 16000.0f, 30)[0], rising, 1e-6);
    for (const int32_t mode : {kRoundDown, kRoundTowardZero}) {
        float band0 = 0.0f;
        {
            RoundingMode rounding(entries(), mode);
            band0 = Mel(entries(), spectrum, 16000.0f, 30)[0];
        }
        EXPECT_NEAR(band0, falling, 1e-6) << "mode " << mode;
    }
    EXPECT_NEAR(Mel(entries(), spectrum, 16000.0f, 30)[0], rising, 1e-6);
}

// The mel arithmetic uses the same scalar functions in both builds.
TEST_P(MelFilterBank, BuildsAgreeBitForBit) {
    if (!Host::Supports(Host::Variant::Avx2)) GTEST_SKIP();
    std::vector<float> spectrum(2048);
    for (size_t i = 0; i < spectrum.size(); ++i)
        spectrum[i] = 1.0f + 0.5f * std::sin(0.1f * i);
    const std::vector<float> sse2 =
        Mel(Library().variant(Host::Variant::Sse2), spectrum, 48000.0f, 40);
    const std::vector<float> avx2 =
        Mel(Library().variant(Host::Variant::Avx2), spectrum, 48000.0f, 40);
    for (size_t i = 0; i < sse2.size(); ++i)
        EXPECT_TRUE(SameBits(sse2[i], avx2[i])) << i;
}

// The band edges' exponentials come from SLEEF's vector form, kLanes edges at a time, while the
// thread rounds to nearest without flushing, and from the scalar form otherwise. With no value
// near the denormals, flushing changes nothing else, so both must give the same bits.
TEST_P(MelFilterBank, VectorAndScalarEdgesGiveTheSameBits) {
    constexpr int32_t kRoundNearestFlushToZero = 0x8000;
    std::vector<float> spectrum(2048);
    for (size_t i = 0; i < spectrum.size(); ++i)
        spectrum[i] = 1.0f + 0.5f * std::sin(0.37f * i);
    for (const float rate :
         {8000.0f, 11025.0f, 16000.0f, 22050.0f, 44100.0f, 48000.0f, 96000.0f, 12345.6f, 1.0e6f}) {
        for (int32_t melDiv = 1; melDiv <= 80; melDiv += melDiv < 20 ? 1 : 7) {
            const std::vector<float> lanes = Mel(entries(), spectrum, rate, melDiv);
            std::vector<float> scalar;
            {
                RoundingMode flushing(entries(), kRoundNearestFlushToZero);
                scalar = Mel(entries(), spectrum, rate, melDiv);
            }
            ASSERT_EQ(lanes.size(), scalar.size());
            for (size_t i = 0; i < lanes.size(); ++i) {
                ASSERT_TRUE(SameBits(lanes[i], scalar[i]))
                    << "rate " << rate << ", melDiv " << melDiv << ", band " << i;
            }
        }
    }
}

// Only bins 1 ... L/2 are readable here; bin 0 and bin L/2 + 1 sit in pages that fault.
// Rates outside the contract (negative, zero, NaN, infinite) make undefined band edges, whose
// indices must still keep every read in range. -1400 Hz puts fMax at -700 Hz, where the mel
// scale is -inf: band 0's lower index is NaN while its upper one is L/2.
TEST_P(MelFilterBank, ReadsOnlyBinsOneToHalfTheLength) {
    constexpr int32_t kLength = 2048;
    const int32_t half = kLength / 2;
    GuardedFloats spectrum(1, half);
    float out[40];

    entries()._MelFilterBank(spectrum.elements(), out, kLength, 32000.0f, 40);
    for (float x : out)
        EXPECT_TRUE(std::isfinite(x) && x > 0.0f);
    entries()._MelFilterBank(spectrum.elements(), out, kLength + 1, 32000.0f, 40);

    for (const float rate :
         {-1400.0f, -1000.0f, -3e38f, 0.0f, -0.0f, kNaN, kInf, -kInf, 1e-30f, 3.4e38f}) {
        for (float& x : out)
            x = -1.0f;
        entries()._MelFilterBank(spectrum.elements(), out, kLength, rate, 40);
        for (float x : out)
            EXPECT_FALSE(x == -1.0f) << "rate " << rate;
    }
    // No edge can be placed at all: every band sums nothing.
    for (const float rate : {-1400.0f, 0.0f, kNaN, kInf}) {
        entries()._MelFilterBank(spectrum.elements(), out, kLength, rate, 40);
        for (float x : out)
            EXPECT_TRUE(SameBits(x, 0.0f)) << "rate " << rate;
    }

    NativeArray input{spectrum.elements(), kLength, VOCETTA_ALLOCATOR_NONE};
    NativeArray output{nullptr, 0, 0};
    door()(&input, &output, -1400.0f, 40);
    for (int32_t i = 0; i < 40; ++i)
        EXPECT_TRUE(SameBits(static_cast<const float*>(output.pointer)[i], 0.0f));
    Host::FreeTracked(output.pointer, output.allocatorLabel);
}

VOCETTA_TEST_EACH_BUILD(MelFilterBank);

}  // namespace
}  // namespace Vocetta::Testing
