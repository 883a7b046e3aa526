// Level measures, the ring-buffer copy and the control word, on each build, against values
// worked by hand and double-precision references.
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include <xmmintrin.h>

#include "support.hpp"

namespace Vocetta::Testing {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

// ---- Peak magnitude --------------------------------------------------------------------------

class PeakMagnitude : public BuildTest {};

TEST_P(PeakMagnitude, HandWorkedCases) {
    const auto peak = entries()._PeakMagnitude;
    const float mixed[] = {-3.0f, 2.0f};
    EXPECT_EQ(peak(mixed, 2), 3.0f);
    const float leadingNaN[] = {kNaN, -1.0f};
    EXPECT_EQ(peak(leadingNaN, 2), 1.0f);
    const float infinities[] = {1.0f, -kInf, kNaN};
    EXPECT_EQ(peak(infinities, 3), kInf);
    const float negativeZero[] = {-0.0f, -0.0f};
    EXPECT_EQ(peak(negativeZero, 2), 0.0f);
    const float tiny[] = {-1e-40f, 1e-41f};  // subnormal magnitudes count like any other
    EXPECT_EQ(peak(tiny, 2), 1e-40f);
    EXPECT_EQ(peak(mixed, 0), 0.0f);
    EXPECT_EQ(peak(mixed, -5), 0.0f);
}

TEST_P(PeakMagnitude, AllNaNBlocksGiveZero) {
    const std::vector<float> nans(40, kNaN);
    for (int32_t length = 1; length <= 40; ++length) {
        EXPECT_TRUE(SameBits(entries()._PeakMagnitude(nans.data(), length), 0.0f)) << length;
    }
}

// Every position of the peak and of a NaN, across whole vectors and the scalar tail.
TEST_P(PeakMagnitude, FindsThePeakAnywhereAndSkipsNaNAnywhere) {
    for (int32_t length = 1; length <= 37; ++length) {
        for (int32_t at = 0; at < length; ++at) {
            std::vector<float> block(length);
            for (int32_t i = 0; i < length; ++i)
                block[i] = (i % 2 ? -0.25f : 0.5f) * (i % 3 + 1);
            block[at] = -2.75f;
            EXPECT_EQ(entries()._PeakMagnitude(block.data(), length), 2.75f)
                << "length " << length << ", peak at " << at;
            for (int32_t nan = 0; nan < length; ++nan) {
                if (nan == at) continue;
                std::vector<float> withNaN = block;
                withNaN[nan] = nan % 2 ? kNaN : -kNaN;
                EXPECT_EQ(entries()._PeakMagnitude(withNaN.data(), length), 2.75f)
                    << "length " << length << ", peak at " << at << ", NaN at " << nan;
            }
        }
    }
}

TEST_P(PeakMagnitude, LargeRandomBlocks) {
    for (const size_t length : {1000u, 1024u, 4099u}) {
        std::vector<float> block = RandomBlock(length, static_cast<uint32_t>(length), 8.0f);
        for (size_t i = 3; i < length; i += 97)
            block[i] = kNaN;
        double expected = 0.0;
        for (const float x : block) {
            if (!std::isnan(x)) expected = std::max(expected, std::fabs(static_cast<double>(x)));
        }
        EXPECT_EQ(entries()._PeakMagnitude(block.data(), static_cast<int32_t>(length)),
                  static_cast<float>(expected));
    }
}

VOCETTA_TEST_EACH_BUILD(PeakMagnitude);

// ---- Root mean square and Euclidean norm -----------------------------------------------------

class SumOfSquares : public BuildTest {};

TEST_P(SumOfSquares, HandWorkedCases) {
    const auto rms = entries()._RootMeanSquare;
    const auto norm = entries()._EuclideanNorm;
    const float threeFour[] = {3.0f, 4.0f};
    EXPECT_TRUE(SameBits(rms(threeFour, 2), std::sqrt(12.5f)));  // 3.5355339
    EXPECT_NEAR(rms(threeFour, 2), 3.5355339f, 1e-6f);
    EXPECT_EQ(norm(threeFour, 2), 5.0f);
    EXPECT_TRUE(std::isnan(rms(threeFour, 0)));  // 0 / 0
    EXPECT_EQ(norm(threeFour, 0), 0.0f);
    EXPECT_EQ(norm(threeFour, -3), 0.0f);
    EXPECT_EQ(rms(threeFour, -3), 0.0f);  // 0 / -3 is -0, whose square root is -0

    const float constant[] = {-2.0f, 2.0f, -2.0f, 2.0f, -2.0f};
    EXPECT_EQ(rms(constant, 5), 2.0f);
    EXPECT_TRUE(SameBits(norm(constant, 5), std::sqrt(20.0f)));

    const float withNaN[] = {1.0f, kNaN, 2.0f};
    EXPECT_TRUE(std::isnan(rms(withNaN, 3)));
    EXPECT_TRUE(std::isnan(norm(withNaN, 3)));
    const float withInf[] = {1.0f, -kInf, 2.0f};
    EXPECT_EQ(rms(withInf, 3), kInf);
    EXPECT_EQ(norm(withInf, 3), kInf);
}

// The sum is single precision: squares of 2^64 overflow to infinity although the norm, about
// 2^64.5, is finite.
TEST_P(SumOfSquares, SumOverflowsInSinglePrecision) {
    const float huge[] = {0x1p64f, 0x1p64f};
    EXPECT_EQ(entries()._EuclideanNorm(huge, 2), kInf);
    EXPECT_EQ(entries()._RootMeanSquare(huge, 2), kInf);
}

// One accumulator in index order. With x = 2^-12, x^2 = 2^-24 is half an ulp of 1: added after
// a leading 1 it is lost each time (a tie, rounded to the even 1), so the sum stays exactly 1.
// Any split into partial sums would gather the small squares apart first and keep them. Added
// before the 1, the 64 small squares sum exactly to 2^-18, and 1 + 2^-18 is representable.
TEST_P(SumOfSquares, SummationOrderIsSequential) {
    const float x = 0x1p-12f;
    std::vector<float> bigFirst(65, x);
    bigFirst[0] = 1.0f;
    std::vector<float> bigLast(65, x);
    bigLast[64] = 1.0f;

    EXPECT_EQ(entries()._EuclideanNorm(bigFirst.data(), 65), 1.0f);
    EXPECT_TRUE(SameBits(entries()._RootMeanSquare(bigFirst.data(), 65), std::sqrt(1.0f / 65.0f)));
    EXPECT_TRUE(SameBits(entries()._EuclideanNorm(bigLast.data(), 65), std::sqrt(1.0f + 0x1p-18f)));
    EXPECT_TRUE(SameBits(entries()._RootMeanSquare(bigLast.data(), 65),
                         std::sqrt((1.0f + 0x1p-18f) / 65.0f)));
    EXPECT_NE(std::sqrt(1.0f + 0x1p-18f), 1.0f);  // the two orders really differ
}

TEST_P(SumOfSquares, LargeRandomBlocksAgreeWithDoublePrecision) {
    for (const size_t length : {1u, 15u, 1024u, 4096u, 48000u}) {
        const std::vector<float> block = RandomBlock(length, 7 + static_cast<uint32_t>(length));
        double sum = 0.0;
        for (const float v : block)
            sum += static_cast<double>(v) * v;
        // Sequential single-precision summation of n positive terms: relative error below
        // (n + 1) u; the square root halves it.
        const double u = 0x1p-24;
        const double tolerance = ((static_cast<double>(length) + 1) * u / 2 + 2 * u);
        const auto n = static_cast<int32_t>(length);
        const double norm = std::sqrt(sum), rms = std::sqrt(sum / static_cast<double>(length));
        EXPECT_NEAR(entries()._EuclideanNorm(block.data(), n), norm, norm * tolerance) << length;
        EXPECT_NEAR(entries()._RootMeanSquare(block.data(), n), rms, rms * tolerance) << length;
    }
}

VOCETTA_TEST_EACH_BUILD(SumOfSquares);

// Without elementary functions on the way, the two builds agree to the bit.
TEST(Measures, BuildsAgreeBitForBit) {
    if (!Host::Supports(Host::Variant::Avx2)) GTEST_SKIP() << "this processor cannot run AVX2";
    const Host::Entries& sse2 = Library().variant(Host::Variant::Sse2);
    const Host::Entries& avx2 = Library().variant(Host::Variant::Avx2);
    std::vector<float> block = RandomBlock(5000, 99, 100.0f);
    block[4001] = kNaN;
    for (int32_t length = 0; length <= 5000; length += length < 40 ? 1 : 997) {
        EXPECT_TRUE(SameBits(sse2._PeakMagnitude(block.data(), length),
                             avx2._PeakMagnitude(block.data(), length)));
        EXPECT_TRUE(SameBits(sse2._RootMeanSquare(block.data(), length),
                             avx2._RootMeanSquare(block.data(), length)));
        EXPECT_TRUE(SameBits(sse2._EuclideanNorm(block.data(), length),
                             avx2._EuclideanNorm(block.data(), length)));
    }
}

// ---- Ring-buffer copy ------------------------------------------------------------------------

class UnrollRingBuffer : public BuildTest {
  protected:
    static constexpr int32_t kGuard = 8;
    static constexpr float kCanary = -12345.0f;

    // Source element k holds 100 + k inside a guard of canaries; so does the destination.
    std::vector<float> unroll(int32_t length, int32_t startIndex) {
        const int32_t count = std::max(length, 0);
        std::vector<float> source(count + 2 * kGuard, kCanary);
        for (int32_t k = 0; k < count; ++k)
            source[kGuard + k] = 100.0f + static_cast<float>(k);
        std::vector<float> destination(count + 2 * kGuard, kCanary);
        entries()._UnrollRingBuffer(source.data() + kGuard, destination.data() + kGuard, length,
                                    startIndex);
        for (int32_t g = 0; g < kGuard; ++g) {
            EXPECT_EQ(destination[g], kCanary) << "wrote before the destination";
            EXPECT_EQ(destination[kGuard + count + g], kCanary) << "wrote past the destination";
        }
        return std::vector<float>(destination.begin() + kGuard, destination.end() - kGuard);
    }

    // destination[i] = source[(startIndex + i) mod length], the remainder taken in [0, length).
    static std::vector<float> expected(int32_t length, int32_t startIndex) {
        std::vector<float> result(length);
        for (int32_t i = 0; i < length; ++i) {
            int64_t index = (int64_t{startIndex} + i) % length;
            if (index < 0) index += length;
            result[i] = 100.0f + static_cast<float>(index);
        }
        return result;
    }
};

TEST_P(UnrollRingBuffer, HandWorkedCases) {
    const float abcd[] = {1.0f, 2.0f, 3.0f, 4.0f};
    float out[4];
    entries()._UnrollRingBuffer(abcd, out, 4, 1);
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{2.0f, 3.0f, 4.0f, 1.0f}));
    entries()._UnrollRingBuffer(abcd, out, 4, 0);
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f}));
    entries()._UnrollRingBuffer(abcd, out, 4, 5);
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{2.0f, 3.0f, 4.0f, 1.0f}));
    entries()._UnrollRingBuffer(abcd, out, 4, 4);
    EXPECT_EQ(std::vector<float>(out, out + 4), (std::vector<float>{1.0f, 2.0f, 3.0f, 4.0f}));

    const float special[] = {kNaN, -0.0f, kInf};  // copied as they are
    float copied[3];
    entries()._UnrollRingBuffer(special, copied, 3, 2);
    EXPECT_TRUE(SameBits(copied[0], kInf));
    EXPECT_TRUE(SameBits(copied[1], kNaN));
    EXPECT_TRUE(SameBits(copied[2], -0.0f));
}

TEST_P(UnrollRingBuffer, EmptyOrNegativeLengthWritesNothing) {
    EXPECT_TRUE(unroll(0, 0).empty());
    EXPECT_TRUE(unroll(0, 3).empty());
    EXPECT_TRUE(unroll(-4, 1).empty());
}

TEST_P(UnrollRingBuffer, EveryStartWithinThreeTurns) {
    for (int32_t length = 1; length <= 19; ++length) {
        for (int32_t start = 0; start < 3 * length; ++start) {
            EXPECT_EQ(unroll(length, start), expected(length, start))
                << "length " << length << ", start " << start;
        }
    }
}

// Starts a caller should not pass still read inside the ring: a negative start counts back from
// the end, and a start near the int32 limit wraps as if the sum had not overflowed.
TEST_P(UnrollRingBuffer, OutOfContractStartsStayInsideTheRing) {
    for (const int32_t length : {1, 3, 7, 16, 1000}) {
        for (const int32_t start :
             {-1, -2, -length, -length - 1, -3 * length + 1, INT32_MIN, INT32_MIN + 1,
              INT32_MIN + length, INT32_MAX, INT32_MAX - 1, INT32_MAX - length + 1}) {
            EXPECT_EQ(unroll(length, start), expected(length, start))
                << "length " << length << ", start " << start;
        }
    }
    EXPECT_EQ(unroll(INT32_MAX / 4096, INT32_MAX).size(), static_cast<size_t>(INT32_MAX / 4096));
}

VOCETTA_TEST_EACH_BUILD(UnrollRingBuffer);

// ---- Return one and the control word ---------------------------------------------------------

uint32_t ControlWordMask() {
    alignas(16) uint8_t area[512] = {};
    __asm__ volatile("fxsave %0" : "=m"(area));
    uint32_t mask;
    std::memcpy(&mask, area + 28, sizeof mask);
    return mask != 0 ? mask : 0xFFBF;  // the processor's documented default
}

class ControlWord : public BuildTest {
  protected:
    void SetUp() override {
        BuildTest::SetUp();
        saved_ = _mm_getcsr();
    }
    void TearDown() override { _mm_setcsr(saved_); }
    uint32_t saved_ = 0;
};

TEST_P(ControlWord, ReturnOneAnswersOne) {
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(entries()._ReturnOne(), 1);
}

TEST_P(ControlWord, ReadsBackWhatItLoads) {
    const uint32_t daz = ControlWordMask() & 0x40;
    for (const uint32_t value :
         {0x1F80u, 0x3F80u, 0x5F80u, 0x7F80u, 0x9F80u | daz, 0x1FBFu, 0x0F80u, 0x1F80u | daz}) {
        entries()._SetControlWord(static_cast<int32_t>(value));
        const auto read = static_cast<uint32_t>(entries()._GetControlWord());
        const uint32_t direct = _mm_getcsr();
        _mm_setcsr(saved_);
        EXPECT_EQ(read, value) << std::hex << value;
        EXPECT_EQ(direct, value) << std::hex << value;
    }
}

TEST_P(ControlWord, RoundingAndFlushingFollowTheWord) {
    volatile float one = 1.0f, tiny = 1e-10f, smallest = 0x1p-126f;
    const int32_t saved = entries()._GetControlWord();
    EXPECT_EQ(static_cast<uint32_t>(saved), saved_);

    entries()._SetControlWord(0x1F80 | 0x4000);  // toward +infinity
    const float up = one + tiny;
    entries()._SetControlWord(0x1F80 | 0x2000);  // toward -infinity
    const float down = one - tiny;
    const float downNegative = -one - tiny;
    entries()._SetControlWord(0x1F80 | 0x6000);  // toward zero
    const float towardZero = -one - tiny;
    entries()._SetControlWord(0x1F80 | 0x8000);  // flush to zero
    const float flushed = smallest * 0.5f;
    entries()._SetControlWord(saved);
    const float nearest = one + tiny;
    const float subnormal = smallest * 0.5f;

    EXPECT_EQ(up, std::nextafter(1.0f, 2.0f));
    EXPECT_EQ(down, std::nextafter(1.0f, 0.0f));
    EXPECT_EQ(downNegative, std::nextafter(-1.0f, -2.0f));
    EXPECT_EQ(towardZero, -1.0f);
    EXPECT_EQ(flushed, 0.0f);
    EXPECT_EQ(nearest, 1.0f);
    EXPECT_EQ(subnormal, 0x1p-127f);
    EXPECT_EQ(_mm_getcsr() & ~0x3Fu, saved_ & ~0x3Fu);  // the sums above raise sticky flags
}

// A word with reserved bits would fault in the processor; only the supported bits are loaded
// (MXCSR_MASK, which some processors extend beyond the low 16 bits).
TEST_P(ControlWord, ReservedBitsAreDroppedNotFaulted) {
    const uint32_t mask = ControlWordMask();
    for (const uint32_t value : {0x1F80u | 0x10000u, 0xFFFF1F80u, 0x80001F80u, 0xFFFFFFFFu}) {
        entries()._SetControlWord(static_cast<int32_t>(value));
        const auto read = static_cast<uint32_t>(entries()._GetControlWord());
        _mm_setcsr(saved_);
        EXPECT_EQ(read, value & mask) << std::hex << value;
        EXPECT_EQ(read & 0xFFBF, value & 0xFFBF) << std::hex << value;
    }
}

TEST_P(ControlWord, BelongsToTheCallingThread) {
    const int32_t before = entries()._GetControlWord();
    int32_t inThread = 0;
    std::thread([&] {
        entries()._SetControlWord(0x1F80 | 0x6000);
        inThread = entries()._GetControlWord();
    }).join();
    EXPECT_EQ(inThread, 0x1F80 | 0x6000);
    EXPECT_EQ(entries()._GetControlWord(), before);
}

VOCETTA_TEST_EACH_BUILD(ControlWord);

}  // namespace
}  // namespace Vocetta::Testing
