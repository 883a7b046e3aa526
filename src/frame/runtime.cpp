// The little the compiler and the SSE2 build need from a C runtime, without one: memory fills
// and copies (hidden), and the four rounding functions the library exports by their C names.
// Compiled with -ffreestanding so that GCC does not turn these loops back into calls to
// themselves.
#include <emmintrin.h>
#include <stddef.h>
#include <stdint.h>

#include "frame/symbol.h"

namespace {

constexpr float kTwoPow23 = 8388608.0f;  // floats at or above it are integral
constexpr double kTwoPow52 = 4503599627370496.0;

float CopySign(float magnitude, float sign) {
    return __builtin_copysignf(magnitude, sign);
}

// Truncation through the integer unit; only for |x| < 2^31.
float TruncateSmall(float x) {
    return static_cast<float>(_mm_cvttss_si32(_mm_set_ss(x)));
}

}  // namespace

extern "C" {

// Sixteen bytes at a time: the library's scratch arrays are zero-filled or copied on every
// allocation, thousands of times per analysed block.
void* memcpy(void* destination, const void* source, size_t count) {
    auto* d = static_cast<unsigned char*>(destination);
    const auto* s = static_cast<const unsigned char*>(source);
    for (; count >= 16; count -= 16, d += 16, s += 16) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(s)));
    }
    for (; count > 0; --count)
        *d++ = *s++;
    return destination;
}

void* memmove(void* destination, const void* source, size_t count) {
    auto* d = static_cast<unsigned char*>(destination);
    const auto* s = static_cast<const unsigned char*>(source);
    if (d <= s || d >= s + count) return memcpy(destination, source, count);
    for (size_t i = count; i > 0; --i)
        d[i - 1] = s[i - 1];
    return destination;
}

void* memset(void* destination, int value, size_t count) {
    auto* d = static_cast<unsigned char*>(destination);
    const __m128i fill = _mm_set1_epi8(static_cast<char>(value));
    for (; count >= 16; count -= 16, d += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i*>(d), fill);
    for (; count > 0; --count)
        *d++ = static_cast<unsigned char>(value);
    return destination;
}

VOCETTA_EXPORT float floorf(float x) {
    if (!(__builtin_fabsf(x) < kTwoPow23)) return x;  // integral, infinite or NaN
    float r = TruncateSmall(x);
    if (r > x) r -= 1.0f;
    return CopySign(r, x);
}

VOCETTA_EXPORT float ceilf(float x) {
    if (!(__builtin_fabsf(x) < kTwoPow23)) return x;
    float r = TruncateSmall(x);
    if (r < x) r += 1.0f;
    return CopySign(r, x);
}

// cvtss2si rounds in the thread's current MXCSR mode, which is what rintf must follow.
VOCETTA_EXPORT float rintf(float x) {
    if (!(__builtin_fabsf(x) < kTwoPow23)) return x;
    return CopySign(static_cast<float>(_mm_cvtss_si32(_mm_set_ss(x))), x);
}

VOCETTA_EXPORT double trunc(double x) {
    if (!(__builtin_fabs(x) < kTwoPow52)) return x;
    return __builtin_copysign(static_cast<double>(_mm_cvttsd_si64(_mm_set_sd(x))), x);
}
}
