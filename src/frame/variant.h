// The one place where the SSE2 and AVX2 builds of the library differ.
//
// Every kernel source is compiled twice, once with VOCETTA_AVX2=0 and once with VOCETTA_AVX2=1,
// and everything it defines lives in the namespace Vocetta::VOCETTA_VARIANT. Keeping each
// build's code in its own namespace is what stops the linker from merging an inline function
// of the AVX2 build into the SSE2 path (the build checks that no weak symbol escapes it).
//
// Kernels see only this vocabulary: kLanes, the Floats vector with its operators, the vector and
// scalar SLEEF functions, and the rounding helpers.
#pragma once

#include <immintrin.h>
#include <stdint.h>

#include "frame/sleef.h"

#ifndef VOCETTA_AVX2
#error "compile kernels through the vocetta_variant_* targets, which set VOCETTA_AVX2"
#endif

#if VOCETTA_AVX2
#define VOCETTA_VARIANT avx2
#define VOCETTA_VARIANT_SUFFIX "_avx2"
#else
#define VOCETTA_VARIANT x64_sse2
#define VOCETTA_VARIANT_SUFFIX "_x64_sse2"
#endif

namespace Vocetta::VOCETTA_VARIANT {

#if VOCETTA_AVX2
using NativeFloats = __m256;
inline constexpr int32_t kLanes = 8;
#else
using NativeFloats = __m128;
inline constexpr int32_t kLanes = 4;
#endif

// kLanes single-precision values. Each operator is one rounded IEEE operation: the builds use
// -ffp-contract=off, so a product followed by a sum never becomes a fused multiply-add.
struct Floats {
    NativeFloats v;

#if VOCETTA_AVX2
    static Floats Load(const float* p) {
        return {_mm256_loadu_ps(p)};
    }
    static Floats Broadcast(float x) {
        return {_mm256_set1_ps(x)};
    }
    // i, i + 1, ..., i + kLanes - 1 as floats, each exactly float(i + lane) for |i| < 2^24.
    static Floats Ramp(int32_t i) {
        return {_mm256_cvtepi32_ps(
            _mm256_add_epi32(_mm256_set1_epi32(i), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)))};
    }
    void Store(float* p) const {
        _mm256_storeu_ps(p, v);
    }
    friend Floats operator+(Floats a, Floats b) {
        return {_mm256_add_ps(a.v, b.v)};
    }
    friend Floats operator-(Floats a, Floats b) {
        return {_mm256_sub_ps(a.v, b.v)};
    }
    friend Floats operator*(Floats a, Floats b) {
        return {_mm256_mul_ps(a.v, b.v)};
    }
    friend Floats operator/(Floats a, Floats b) {
        return {_mm256_div_ps(a.v, b.v)};
    }
#else
    static Floats Load(const float* p) {
        return {_mm_loadu_ps(p)};
    }
    static Floats Broadcast(float x) {
        return {_mm_set1_ps(x)};
    }
    static Floats Ramp(int32_t i) {
        return {_mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(i), _mm_setr_epi32(0, 1, 2, 3)))};
    }
    void Store(float* p) const {
        _mm_storeu_ps(p, v);
    }
    friend Floats operator+(Floats a, Floats b) {
        return {_mm_add_ps(a.v, b.v)};
    }
    friend Floats operator-(Floats a, Floats b) {
        return {_mm_sub_ps(a.v, b.v)};
    }
    friend Floats operator*(Floats a, Floats b) {
        return {_mm_mul_ps(a.v, b.v)};
    }
    friend Floats operator/(Floats a, Floats b) {
        return {_mm_div_ps(a.v, b.v)};
    }
#endif
};

#if VOCETTA_AVX2
inline Floats Max(Floats a, Floats b) {
    return {_mm256_max_ps(a.v, b.v)};
}
inline Floats Min(Floats a, Floats b) {
    return {_mm256_min_ps(a.v, b.v)};
}
inline Floats AndNot(Floats mask, Floats x) {
    return {_mm256_andnot_ps(mask.v, x.v)};
}
#else
inline Floats Max(Floats a, Floats b) {
    return {_mm_max_ps(a.v, b.v)};
}
inline Floats Min(Floats a, Floats b) {
    return {_mm_min_ps(a.v, b.v)};
}
inline Floats AndNot(Floats mask, Floats x) {
    return {_mm_andnot_ps(mask.v, x.v)};
}
#endif

// Lane masks: all ones where the comparison holds, zero where it fails (a NaN operand fails).
#if VOCETTA_AVX2
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
#else
inline Floats LessThan(Floats a, Floats b) {
    return {_mm_cmplt_ps(a.v, b.v)};
}
inline Floats GreaterOrEqual(Floats a, Floats b) {
    return {_mm_cmpge_ps(a.v, b.v)};
}
inline Floats Select(Floats mask, Floats a, Floats b) {
    return {_mm_or_ps(_mm_and_ps(mask.v, a.v), _mm_andnot_ps(mask.v, b.v))};
}
#endif
inline Floats Abs(Floats x) {
    return AndNot(Floats::Broadcast(-0.0f), x);
}

// kLanes 32-bit integers, for packing results into pixels and the like.
#if VOCETTA_AVX2
using NativeInts = __m256i;
struct Ints {
    NativeInts v;
    static Ints Load(const void* p) { return {_mm256_loadu_si256(static_cast<const __m256i*>(p))}; }
    static Ints Broadcast(int32_t x) { return {_mm256_set1_epi32(x)}; }
    void Store(void* p) const { _mm256_storeu_si256(static_cast<__m256i*>(p), v); }
    friend Ints operator|(Ints a, Ints b) { return {_mm256_or_si256(a.v, b.v)}; }
};
// Rounds to an integral value in the thread's rounding mode, as Rint does, and converts; lanes
// beyond int32 range (and NaN) become INT32_MIN, never undefined behaviour.
inline Ints RoundToInt32(Floats x) {
    return {_mm256_cvtps_epi32(x.v)};
}
template <int kBits>
inline Ints ShiftLeft(Ints x) {
    return {_mm256_slli_epi32(x.v, kBits)};
}
// The bits of x in lanes where mask is clear, zero where it is set.
inline Ints AndNot(Floats mask, Ints x) {
    return {_mm256_andnot_si256(_mm256_castps_si256(mask.v), x.v)};
}
#else
using NativeInts = __m128i;
struct Ints {
    NativeInts v;
    static Ints Load(const void* p) { return {_mm_loadu_si128(static_cast<const __m128i*>(p))}; }
    static Ints Broadcast(int32_t x) { return {_mm_set1_epi32(x)}; }
    void Store(void* p) const { _mm_storeu_si128(static_cast<__m128i*>(p), v); }
    friend Ints operator|(Ints a, Ints b) { return {_mm_or_si128(a.v, b.v)}; }
};
inline Ints RoundToInt32(Floats x) {
    return {_mm_cvtps_epi32(x.v)};
}
template <int kBits>
inline Ints ShiftLeft(Ints x) {
    return {_mm_slli_epi32(x.v, kBits)};
}
inline Ints AndNot(Floats mask, Ints x) {
    return {_mm_andnot_si128(_mm_castps_si128(mask.v), x.v)};
}
#endif

// Correctly rounded per lane, so the same bits as the scalar square root.
#if VOCETTA_AVX2
inline Floats Sqrt(Floats x) {
    return {_mm256_sqrt_ps(x.v)};
}
#else
inline Floats Sqrt(Floats x) {
    return {_mm_sqrt_ps(x.v)};
}
#endif

// Splits the 2 x kLanes floats from p into the even-indexed and the odd-indexed ones, in order.
#if VOCETTA_AVX2
inline void Deinterleave(const float* p, Floats& even, Floats& odd) {
    const __m256 low = _mm256_loadu_ps(p), high = _mm256_loadu_ps(p + 8);
    // Per 128-bit half: p0 p2 p8 p10 | p4 p6 p12 p14; then the two middle quarters swap.
    const __m256 e = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
    const __m256 o = _mm256_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
    even.v = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(e), _MM_SHUFFLE(3, 1, 2, 0)));
    odd.v = _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(o), _MM_SHUFFLE(3, 1, 2, 0)));
}
#else
inline void Deinterleave(const float* p, Floats& even, Floats& odd) {
    const __m128 low = _mm_loadu_ps(p), high = _mm_loadu_ps(p + 4);
    even.v = _mm_shuffle_ps(low, high, _MM_SHUFFLE(2, 0, 2, 0));
    odd.v = _mm_shuffle_ps(low, high, _MM_SHUFFLE(3, 1, 3, 1));
}
#endif

// Largest lane; for lanes that hold no NaN.
inline float HorizontalMax(Floats x) {
    float lanes[kLanes];
    x.Store(lanes);
    float best = lanes[0];
    for (int32_t i = 1; i < kLanes; ++i)
        best = lanes[i] > best ? lanes[i] : best;
    return best;
}

// SLEEF, by explicit name. Vector forms follow the build; scalar work uses the portable non-FMA
// forms in both builds, so a scalar tail computes the same bits on either.
#if VOCETTA_AVX2
inline Floats Sin(Floats x) {
    return {Sleef_sinf8_u35avx2(x.v)};
}
inline Floats Cos(Floats x) {
    return {Sleef_cosf8_u35avx2(x.v)};
}
inline Floats Log10(Floats x) {
    return {Sleef_log10f8_u10avx2(x.v)};
}
// The cosine without fused multiply-adds: lane for lane the scalar Cos's bits, as long as every
// lane takes the argument reduction that lane 0 takes (see ReductionRange) and the thread rounds
// to nearest.
inline Floats UnfusedCos(Floats x) {
    return {Sleef_cosf8_u35avx(x.v)};
}
#else
inline Floats Sin(Floats x) {
    return {Sleef_sinf4_u35sse2(x.v)};
}
inline Floats Cos(Floats x) {
    return {Sleef_cosf4_u35sse2(x.v)};
}
inline Floats Log10(Floats x) {
    return {Sleef_log10f4_u10sse2(x.v)};
}
inline Floats UnfusedCos(Floats x) {
    return {Sleef_cosf4_u35sse2(x.v)};
}
#endif
// SLEEF's single-precision sine and cosine reduce |x| below 125, below 39000 and beyond in three
// different ways, and a vector takes the way its largest lane needs.
inline int32_t ReductionRange(float x) {
    const float magnitude = __builtin_fabsf(x);
    return magnitude < 125.0f ? 0 : magnitude < 39000.0f ? 1 : 2;
}
inline float Sin(float x) {
    return Sleef_sinf1_u35purec(x);
}
inline float Cos(float x) {
    return Sleef_cosf1_u35purec(x);
}
inline float Log10(float x) {
    return Sleef_log10f1_u10purec(x);
}
inline float Log(float x) {
    return Sleef_logf1_u35purec(x);
}
inline float Exp(float x) {
    return Sleef_expf1_u10purec(x);
}
inline float Pow(float x, float y) {
    return Sleef_powf1_u10purec(x, y);
}

// Rounding to an integral float. rintf follows the calling thread's MXCSR rounding mode.
#if VOCETTA_AVX2
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
#else
}  // namespace Vocetta::VOCETTA_VARIANT
extern "C" float floorf(float);
extern "C" float ceilf(float);
extern "C" float rintf(float);
extern "C" double trunc(double);
namespace Vocetta::VOCETTA_VARIANT {
// The SSE2 baseline has no rounding instruction: use the library's own exported functions.
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
#endif

// Float to int32 as the processor converts: truncation toward zero, and INT32_MIN for NaN and
// for values out of range, where a plain C++ conversion would be undefined.
inline int32_t TruncateToInt32(float x) {
    return _mm_cvttss_si32(_mm_set_ss(x));
}

inline float Abs(float x) {
    return __builtin_fabsf(x);
}
inline float Sqrt(float x) {
    return __builtin_sqrtf(x);
}
inline bool IsNaN(float x) {
    return x != x;
}

}  // namespace Vocetta::VOCETTA_VARIANT
