// The AVX2 build's vocabulary: 8 lanes, AVX2 with FMA and F16C (feature level 6). Compiled with
// the extensions VOCETTA_BUILDS lists for it; only SLEEF's own code may fuse a multiply and add.
#pragma once

#include <immintrin.h>
#include <stdint.h>

#ifndef __AVX2__
#error "the AVX2 build must be compiled with its extensions (VOCETTA_BUILDS)"
#endif

#define VOCETTA_VARIANT avx2
#define VOCETTA_VARIANT_SUFFIX "_avx2"

extern "C" {
__m256 Sleef_sinf8_u35avx2(__m256);
__m256 Sleef_cosf8_u35avx2(__m256);
__m256 Sleef_sinf8_u35avx(__m256);  // AVX without FMA: the scalar form's operations per lane
__m256 Sleef_cosf8_u35avx(__m256);
__m256 Sleef_expf8_u10avx(__m256);
__m256 Sleef_powf8_u10avx(__m256, __m256);
__m256 Sleef_log10f8_u10avx2(__m256);
}

namespace Vocetta::VOCETTA_VARIANT {

using NativeFloats = __m256;
inline constexpr int32_t kLanes = 8;
// Vectors of outputs the filter loops keep in flight: enough chains for the adders, and 64
// outputs to a tap.
inline constexpr int32_t kFilterVectors = 8;

// kLanes single-precision values. Each operator is one rounded IEEE operation: the builds use
// -ffp-contract=off, so a product followed by a sum never becomes a fused multiply-add.
struct Floats {
    NativeFloats v;

    static Floats Load(const float* p) { return {_mm256_loadu_ps(p)}; }
    static Floats Broadcast(float x) { return {_mm256_set1_ps(x)}; }
    // i, i + 1, ..., i + kLanes - 1 as floats, each exactly float(i + lane) for |i| < 2^24.
    static Floats Ramp(int32_t i) {
        return {_mm256_cvtepi32_ps(
            _mm256_add_epi32(_mm256_set1_epi32(i), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)))};
    }
    void Store(float* p) const { _mm256_storeu_ps(p, v); }
    friend Floats operator+(Floats a, Floats b) { return {_mm256_add_ps(a.v, b.v)}; }
    friend Floats operator-(Floats a, Floats b) { return {_mm256_sub_ps(a.v, b.v)}; }
    friend Floats operator*(Floats a, Floats b) { return {_mm256_mul_ps(a.v, b.v)}; }
    friend Floats operator/(Floats a, Floats b) { return {_mm256_div_ps(a.v, b.v)}; }
};

inline Floats Max(Floats a, Floats b) {
    return {_mm256_max_ps(a.v, b.v)};
}
inline Floats Min(Floats a, Floats b) {
    return {_mm256_min_ps(a.v, b.v)};
}
inline Floats AndNot(Floats mask, Floats x) {
    return {_mm256_andnot_ps(mask.v, x.v)};
}

// Lane masks: all ones where the comparison holds, zero where it fails (a NaN operand fails).
inline Floats LessThan(Floats a, Floats b) {
    return {_mm256_cmp_ps(a.v, b.v, _CMP_LT_OQ)};
}
inline Floats GreaterOrEqual(Floats a, Floats b) {
    return {_mm256_cmp_ps(a.v, b.v, _CMP_GE_OQ)};
}
// mask ? a : b, lane by lane, for masks from the comparisons above.
inline Floats Select(Floats mask, Floats a, Floats b) {
    return {_mm256_blendv_ps(b.v, a.v, mask.v)};
}

// kLanes 32-bit integers, for packing results into pixels and the like.
using NativeInts = __m256i;
struct Ints {
    NativeInts v;
    static Ints Load(const void* p) { return {_mm256_loadu_si256(static_cast<const __m256i*>(p))}; }
    static Ints Broadcast(int32_t x) { return {_mm256_set1_epi32(x)}; }
    void Store(void* p) const { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
    friend Ints operator|(Ints a, Ints b) { return {_mm256_or_si256(a.v, b.v)}; }
    friend Ints operator-(Ints a, Ints b) { return {_mm256_sub_epi32(a.v, b.v)}; }
};
// Rounds to an integral value in the thread's rounding mode, as Rint does, and converts; lanes
// beyond int32 range (and NaN) become INT32_MIN, never undefined behaviour.
inline Ints RoundToInt32(Floats x) {
    return {_mm256_cvtps_epi32(x.v)};
}
// Truncates toward zero and converts, as TruncateToInt32 does lane by lane.
inline Ints TruncateToInt32(Floats x) {
    return {_mm256_cvttps_epi32(x.v)};
}
// Exact for |x| below 2^24.
inline Floats ToFloats(Ints x) {
    return {_mm256_cvtepi32_ps(x.v)};
}
// base[indices[l]] in lane l.
inline Floats Gather(const float* base, Ints indices) {
    return {_mm256_i32gather_ps(base, indices.v, 4)};
}
// base[indices[l]] in lane l of `first` and base[indices[l] + 1] in lane l of `second`; both
// must lie inside the array.
inline void GatherNeighbours(const float* base, Ints indices, Floats& first, Floats& second) {
    first = Gather(base, indices);
    second = Gather(base + 1, indices);
}
template <int kBits>
inline Ints ShiftLeft(Ints x) {
    return {_mm256_slli_epi32(x.v, kBits)};
}
// The bits of x in lanes where mask is clear, zero where it is set.
inline Ints AndNot(Floats mask, Ints x) {
    return {_mm256_andnot_si256(_mm256_castps_si256(mask.v), x.v)};
}

// Correctly rounded per lane, so the same bits as the scalar square root.
inline Floats Sqrt(Floats x) {
    return {_mm256_sqrt_ps(x.v)};
}

// Splits the 2 x kLanes floats from p into the even-indexed and the odd-indexed ones, in order.
inline void Deinterleave(const float* p, Floats& even, Floats& odd) {
    const __m256 low = _mm256_loadu_ps(p), high = _mm256_loadu_ps(p + 8);
    // Per 128-bit half: p0 p2 p8 p10 | p4 p6 p12 p14; then the two middle quarters swap.
    const __m256 e = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 o = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
    even.v = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), _MM_SHUFFLE(3, 1, 2, 0)));
    odd.v = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), _MM_SHUFFLE(3, 1, 2, 0)));
}

// Deals the 3 x kLanes floats from p into three: `first` gets p[0], p[3], p[6], ..., `second`
// p[1], p[4], ..., `third` p[2], p[5], ... Each comes from its lanes of the three loads (which
// fall in separate lanes: 3 and 8 share no factor) and one permutation into order.
inline void DealThree(const float* p, Floats& first, Floats& second, Floats& third) {
    const __m256 a = _mm256_loadu_ps(p), b = _mm256_loadu_ps(p + 8), c = _mm256_loadu_ps(p + 16);
    // first: a in lanes 0 3 6, b in 1 4 7, c in 2 5; second and third the same turned by one.
    const __m256 u = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x92), c, 0x24);
    const __m256 v = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x24), c, 0x49);
    const __m256 w = _mm256_blend_ps(_mm256_blend_ps(a, b, 0x49), c, 0x92);
    first.v = _mm256_permutevar8x32_ps(u, _mm256_setr_epi32(0, 3, 6, 1, 4, 7, 2, 5));
    second.v = _mm256_permutevar8x32_ps(v, _mm256_setr_epi32(1, 4, 7, 2, 5, 0, 3, 6));
    third.v = _mm256_permutevar8x32_ps(w, _mm256_setr_epi32(2, 5, 0, 3, 6, 1, 4, 7));
}

// Blocks of 2 x kHalf floats side by side (kHalf 2 or 4, at most half a vector), 2 x kLanes floats
// from p: the first halves of the blocks into `first`, the second halves into `second`, lane l
// holding element l mod kHalf of its half. JoinHalves stores them back the same way. kHalf 2
// pairs the blocks of each 128-bit half of the two loads, kHalf 4 the 128-bit halves themselves.
template <int32_t kHalf>
inline void SplitHalves(const float* p, Floats& first, Floats& second) {
    static_assert(kHalf == 2 || kHalf == 4);
    const __m256 a = _mm256_loadu_ps(p), b = _mm256_loadu_ps(p + 8);
    if constexpr (kHalf == 2) {
        first.v = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(1, 0, 1, 0));
        second.v = _mm256_shuffle_ps(a, b, _MM_SHUFFLE(3, 2, 3, 2));
    } else {
        first.v = _mm256_permute2f128_ps(a, b, 0x20);
        second.v = _mm256_permute2f128_ps(a, b, 0x31);
    }
}
template <int32_t kHalf>
inline void JoinHalves(float* p, Floats first, Floats second) {
    static_assert(kHalf == 2 || kHalf == 4);
    __m256 a, b;
    if constexpr (kHalf == 2) {
        a = _mm256_shuffle_ps(first.v, second.v, _MM_SHUFFLE(1, 0, 1, 0));
        b = _mm256_shuffle_ps(first.v, second.v, _MM_SHUFFLE(3, 2, 3, 2));
    } else {
        a = _mm256_permute2f128_ps(first.v, second.v, 0x20);
        b = _mm256_permute2f128_ps(first.v, second.v, 0x31);
    }
    _mm256_storeu_ps(p, a);
    _mm256_storeu_ps(p + 8, b);
}

// SLEEF's vector forms for this build.
inline Floats Sin(Floats x) {
    return {Sleef_sinf8_u35avx2(x.v)};
}
inline Floats Cos(Floats x) {
    return {Sleef_cosf8_u35avx2(x.v)};
}
inline Floats Log10(Floats x) {
    return {Sleef_log10f8_u10avx2(x.v)};
}
// The cosine and sine without fused multiply-adds: lane for lane the scalar functions' bits, as
// long as every lane takes the argument reduction that lane 0 takes (ReductionRange) and the thread
// rounds to nearest.
inline Floats UnfusedCos(Floats x) {
    return {Sleef_cosf8_u35avx(x.v)};
}
inline Floats UnfusedSin(Floats x) {
    return {Sleef_sinf8_u35avx(x.v)};
}
// The exponential without fused multiply-adds: lane for lane the scalar Exp's bits for every
// float while the thread rounds to nearest without flushing (ScalarBitsInLanes).
inline Floats UnfusedExp(Floats x) {
    return {Sleef_expf8_u10avx(x.v)};
}

// The power without fused multiply-adds: lane for lane the scalar Pow's bits while the thread
// rounds to nearest without flushing (ScalarBitsInLanes), its lanes independent of each other.
inline Floats UnfusedPow(Floats x, Floats y) {
    return {Sleef_powf8_u10avx(x.v, y.v)};
}

// Rounding to an integral float with SSE4.1's rounding instruction; Rint follows the calling
// thread's MXCSR rounding mode.
inline float Floor(float x) {
    __m128 v = _mm_set_ss(x);
    return _mm_cvtss_f32(_mm_round_ss(v, v, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC));
}
inline float Ceil(float x) {
    __m128 v = _mm_set_ss(x);
    return _mm_cvtss_f32(_mm_round_ss(v, v, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC));
}
inline float Rint(float x) {
    __m128 v = _mm_set_ss(x);
    return _mm_cvtss_f32(_mm_round_ss(v, v, _MM_FROUND_CUR_DIRECTION));
}
inline double Trunc(double x) {
    __m128d v = _mm_set_sd(x);
    return _mm_cvtsd_f64(_mm_round_sd(v, v, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC));
}

}  // namespace Vocetta::VOCETTA_VARIANT

#include "frame/builds/common.h"
