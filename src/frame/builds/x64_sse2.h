// The SSE2 baseline's vocabulary: 4 lanes, nothing beyond x86-64's own SSE2, so it runs on
// every processor the library loads on.
#pragma once

#include <immintrin.h>
#include <stdint.h>

#define VOCETTA_VARIANT x64_sse2
#define VOCETTA_VARIANT_SUFFIX "_x64_sse2"

extern "C" {
__m128 Sleef_sinf4_u35sse2(__m128);
__m128 Sleef_cosf4_u35sse2(__m128);
__m128 Sleef_log10f4_u10sse2(__m128);
__m128 Sleef_expf4_u10sse2(__m128);
__m128 Sleef_powf4_u10sse2(__m128, __m128);
// The baseline has no rounding instruction: these are the library's own exported functions.
float floorf(float);
float ceilf(float);
float rintf(float);
double trunc(double);
}

namespace Vocetta::VOCETTA_VARIANT {

using NativeFloats = __m128;
inline constexpr int32_t kLanes = 4;
// Vectors of outputs the filter loops keep in flight: twelve of the sixteen registers, so that a
// tap's two-instruction broadcast and the loop's steps serve 48 outputs.
inline constexpr int32_t kFilterVectors = 12;

// kLanes single-precision values. Each operator is one rounded IEEE operation: the builds use
// -ffp-contract=off, so a product followed by a sum never becomes a fused multiply-add.
struct Floats {
    NativeFloats v;

    static Floats Load(const float* p) { return {_mm_loadu_ps(p)}; }
    static Floats Broadcast(float x) { return {_mm_set1_ps(x)}; }
    // i, i + 1, ..., i + kLanes - 1 as floats, each exactly float(i + lane) for |i| < 2^24.
    static Floats Ramp(int32_t i) {
        return {_mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(i), _mm_setr_epi32(0, 1, 2, 3)))};
    }
    void Store(float* p) const { _mm_storeu_ps(p, v); }
    friend Floats operator+(Floats a, Floats b) { return {_mm_add_ps(a.v, b.v)}; }
    friend Floats operator-(Floats a, Floats b) { return {_mm_sub_ps(a.v, b.v)}; }
    friend Floats operator*(Floats a, Floats b) { return {_mm_mul_ps(a.v, b.v)}; }
    friend Floats operator/(Floats a, Floats b) { return {_mm_div_ps(a.v, b.v)}; }
};

inline Floats Max(Floats a, Floats b) {
    return {_mm_max_ps(a.v, b.v)};
}
inline Floats Min(Floats a, Floats b) {
    return {_mm_min_ps(a.v, b.v)};
}
inline Floats AndNot(Floats mask, Floats x) {
    return {_mm_andnot_ps(mask.v, x.v)};
}

// Lane masks: all ones where the comparison holds, zero where it fails (a NaN operand fails).
inline Floats LessThan(Floats a, Floats b) {
    return {_mm_cmplt_ps(a.v, b.v)};
}
inline Floats GreaterOrEqual(Floats a, Floats b) {
    return {_mm_cmpge_ps(a.v, b.v)};
}
// mask ? a : b, lane by lane, for masks from the comparisons above; SSE2 has no blend.
inline Floats Select(Floats mask, Floats a, Floats b) {
    return {_mm_or_ps(_mm_and_ps(mask.v, a.v), _mm_andnot_ps(mask.v, b.v))};
}

// kLanes 32-bit integers, for packing results into pixels and the like.
using NativeInts = __m128i;
struct Ints {
    NativeInts v;
    static Ints Load(const void* p) { return {_mm_loadu_si128(static_cast<const __m128i*>(p))}; }
    static Ints Broadcast(int32_t x) { return {_mm_set1_epi32(x)}; }
    void Store(void* p) const { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
    friend Ints operator|(Ints a, Ints b) { return {_mm_or_si128(a.v, b.v)}; }
    friend Ints operator-(Ints a, Ints b) { return {_mm_sub_epi32(a.v, b.v)}; }
};
// Rounds to an integral value in the thread's rounding mode, as Rint does, and converts; lanes
// beyond int32 range (and NaN) become INT32_MIN, never undefined behaviour.
inline Ints RoundToInt32(Floats x) {
    return {_mm_cvtps_epi32(x.v)};
}
// Truncates toward zero and converts, as TruncateToInt32 does lane by lane.
inline Ints TruncateToInt32(Floats x) {
    return {_mm_cvttps_epi32(x.v)};
}
// Exact for |x| below 2^24.
inline Floats ToFloats(Ints x) {
    return {_mm_cvtepi32_ps(x.v)};
}
// base[indices[l]] in lane l.
inline Floats Gather(const float* base, Ints indices) {
    alignas(16) int32_t at[4];
    indices.Store(at);
    return {_mm_setr_ps(base[at[0]], base[at[1]], base[at[2]], base[at[3]])};
}
// base[indices[l]] in lane l of `first` and base[indices[l] + 1] in lane l of `second`, each
// pair of neighbours from one load; both must lie inside the array.
inline void GatherNeighbours(const float* base, Ints indices, Floats& first, Floats& second) {
    alignas(16) int32_t at[4];
    indices.Store(at);
    auto pair = [base](int32_t i) {
        return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(base + i));
    };
    const __m128 low = _mm_movelh_ps(pair(at[0]), pair(at[1]));   // a0 b0 a1 b1
    const __m128 high = _mm_movelh_ps(pair(at[2]), pair(at[3]));  // a2 b2 a3 b3
    first.v = _mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
    second.v = _mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
}
template <int kBits>
inline Ints ShiftLeft(Ints x) {
    return {_mm_slli_epi32(x.v, kBits)};
}
// The bits of x in lanes where mask is clear, zero where it is set.
inline Ints AndNot(Floats mask, Ints x) {
    return {_mm_andnot_si128(_mm_castps_si128(mask.v), x.v)};
}

// Correctly rounded per lane, so the same bits as the scalar square root.
inline Floats Sqrt(Floats x) {
    return {_mm_sqrt_ps(x.v)};
}

// Splits the 2 x kLanes floats from p into the even-indexed and the odd-indexed ones, in order.
inline void Deinterleave(const float* p, Floats& even, Floats& odd) {
    const __m128 low = _mm_loadu_ps(p), high = _mm_loadu_ps(p + 4);
    even.v = _mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
    odd.v = _mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
}

// Deals the 3 x kLanes floats from p into three: `first` gets p[0], p[3], p[6], p[9], `second`
// p[1], p[4], ..., `third` p[2], p[5], ...
inline void DealThree(const float* p, Floats& first, Floats& second, Floats& third) {
    const __m128 a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4), c = _mm_loadu_ps(p + 8);
    const __m128 b2c1 = _mm_shuffle_ps(b, c, _MM_SHUFFLE(1, 1, 2, 2));  // p6 p6 p9 p9
    const __m128 a1b0 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(0, 0, 1, 1));  // p1 p1 p4 p4
    const __m128 b3c2 = _mm_shuffle_ps(b, c, _MM_SHUFFLE(2, 2, 3, 3));  // p7 p7 p10 p10
    const __m128 a2b1 = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 1, 2, 2));  // p2 p2 p5 p5
    first.v = _mm_shuffle_ps(a, b2c1, _MM_SHUFFLE(2, 0, 3, 0));         // p0 p3 p6 p9
    second.v = _mm_shuffle_ps(a1b0, b3c2, _MM_SHUFFLE(2, 0, 2, 0));     // p1 p4 p7 p10
    third.v = _mm_shuffle_ps(a2b1, c, _MM_SHUFFLE(3, 0, 2, 0));         // p2 p5 p8 p11
}

// Blocks of 2 x kHalf floats side by side (kHalf 2: half a vector), 2 x kLanes floats from p:
// the first halves of the blocks into `first`, the second halves into `second`, lane l holding
// element l mod kHalf of its half. JoinHalves stores them back the same way.
template <int32_t kHalf>
inline void SplitHalves(const float* p, Floats& first, Floats& second) {
    static_assert(kHalf == 2);
    const __m128 a = _mm_loadu_ps(p), b = _mm_loadu_ps(p + 4);
    first.v = _mm_shuffle_ps(a, b, _MM_SHUFFLE(1, 0, 1, 0));
    second.v = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 2, 3, 2));
}
template <int32_t kHalf>
inline void JoinHalves(float* p, Floats first, Floats second) {
    static_assert(kHalf == 2);
    _mm_storeu_ps(p, _mm_shuffle_ps(first.v, second.v, _MM_SHUFFLE(1, 0, 1, 0)));
    _mm_storeu_ps(p + 4, _mm_shuffle_ps(first.v, second.v, _MM_SHUFFLE(3, 2, 3, 2)));
}

// SLEEF's vector forms for this build.
inline Floats Sin(Floats x) {
    return {Sleef_sinf4_u35sse2(x.v)};
}
inline Floats Cos(Floats x) {
    return {Sleef_cosf4_u35sse2(x.v)};
}
inline Floats Log10(Floats x) {
    return {Sleef_log10f4_u10sse2(x.v)};
}
// SSE2 has no fused multiply-add: the vector cosine and sine are already the unfused ones.
inline Floats UnfusedCos(Floats x) {
    return Cos(x);
}
inline Floats UnfusedSin(Floats x) {
    return Sin(x);
}
// The exponential: lane for lane the scalar Exp's bits for every float while the thread rounds
// to nearest without flushing (ScalarBitsInLanes).
inline Floats UnfusedExp(Floats x) {
    return {Sleef_expf4_u10sse2(x.v)};
}

// The power: lane for lane the scalar Pow's bits while the thread rounds to nearest without
// flushing (ScalarBitsInLanes), its lanes independent of each other.
inline Floats UnfusedPow(Floats x, Floats y) {
    return {Sleef_powf4_u10sse2(x.v, y.v)};
}

// Rounding to an integral float; rintf follows the calling thread's MXCSR rounding mode.
inline float Floor(float x) {
    return floorf(x);
}
inline float Ceil(float x) {
    return ceilf(x);
}
inline float Rint(float x) {
    return rintf(x);
}
inline double Trunc(double x) {
    return trunc(x);
}

}  // namespace Vocetta::VOCETTA_VARIANT

#include "frame/builds/common.h"
