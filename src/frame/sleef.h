// The SLEEF functions the library calls, declared here rather than through <sleef.h> so that no
// C library header reaches the freestanding build. The names are stable across SLEEF 3.5 and
// later; the "purec" scalar forms compute what 3.5's unsuffixed scalar functions compute,
// without the run-time dispatch (and its libc imports) of later releases.
#pragma once

#include <immintrin.h>

extern "C" {

float Sleef_sinf1_u35purec(float);
float Sleef_cosf1_u35purec(float);
float Sleef_log10f1_u10purec(float);
float Sleef_logf1_u35purec(float);
float Sleef_expf1_u10purec(float);
float Sleef_powf1_u10purec(float, float);

__m128 Sleef_sinf4_u35sse2(__m128);
__m128 Sleef_cosf4_u35sse2(__m128);
__m128 Sleef_log10f4_u10sse2(__m128);

#ifdef __AVX2__
__m256 Sleef_cosf8_u35avx(__m256);  // AVX without FMA: the scalar form's operations per lane
__m256 Sleef_sinf8_u35avx2(__m256);
__m256 Sleef_cosf8_u35avx2(__m256);
__m256 Sleef_log10f8_u10avx2(__m256);
#endif
}
