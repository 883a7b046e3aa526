// What every build writes the same way on top of its own vocabulary (Floats, kLanes, AndNot):
// included at the end of each build's header, so it lands in that build's namespace.
#pragma once

#include <immintrin.h>
#include <stdint.h>

#include "frame/sleef.h"

#ifndef VOCETTA_VARIANT
#error "include a build's header (frame/variant.h), not this one"
#endif

namespace Vocetta::VOCETTA_VARIANT {

inline Floats Abs(Floats x) {
    return AndNot(Floats::Broadcast(-0.0f), x);
}

// Four lanes in every build, or two in the low half: SSE's own operations, for runs too short for
// the build's vector (the narrow blocks of the FFT's odd lengths). Each operator is one rounded
// IEEE operation, as Floats' are; the lanes a pair leaves empty hold zeros and are never stored.
struct Quad {
    __m128 v;

    static Quad Load(const float* p) { return {_mm_loadu_ps(p)}; }
    static Quad LoadPair(const float* p) {
        return {_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p))};
    }
    void Store(float* p) const { _mm_storeu_ps(p, v); }
    void StorePair(float* p) const { _mm_storel_pi(reinterpret_cast<__m64*>(p), v); }
    friend Quad operator+(Quad a, Quad b) { return {_mm_add_ps(a.v, b.v)}; }
    friend Quad operator-(Quad a, Quad b) { return {_mm_sub_ps(a.v, b.v)}; }
    friend Quad operator*(Quad a, Quad b) { return {_mm_mul_ps(a.v, b.v)}; }
};

// Largest lane; for lanes that hold no NaN.
inline float HorizontalMax(Floats x) {
    float lanes[kLanes];
    x.Store(lanes);
    float best = lanes[0];
    for (int32_t i = 1; i < kLanes; ++i)
        best = lanes[i] > best ? lanes[i] : best;
    return best;
}

// SLEEF's single-precision sine and cosine reduce |x| below 125, below 39000 and beyond in three
// different ways, and a vector takes the way its largest lane needs.
inline int32_t ReductionRange(float x) {
    const float magnitude = __builtin_fabsf(x);
    return magnitude < 125.0f ? 0 : magnitude < 39000.0f ? 1 : 2;
}

// Whether the unfused vector forms give the scalar functions' bits lane for lane: compared over
// every float with the thread rounding to nearest, flushing neither inputs nor results. Under
// another rounding mode, or flushing, the vector and scalar reductions may round differently.
inline bool ScalarBitsInLanes() {
    constexpr uint32_t kRoundingAndFlushing = 0x6000 | 0x8000 | 0x0040;
    return (_mm_getcsr() & kRoundingAndFlushing) == 0;
}

// Scalar SLEEF uses the portable non-FMA forms in every build, so a scalar tail computes the
// same bits on either.
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
