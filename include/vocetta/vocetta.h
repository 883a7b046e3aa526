/*
 * vocetta.h: the whole contract between a host and libvocetta.so.
 *
 * Read top to bottom:
 *   1. Loading. Open the library, look up "duzuv.initialize" and call it once, before anything
 *      else, with a resolver that answers the three host-service names below. The library picks
 *      its SSE2 or AVX2 code for the whole process there and then.
 *   2. Services. The library never allocates on its own: every scratch array comes from the
 *      host's MallocTracked (alignment 4, label VOCETTA_ALLOCATOR_TEMP, last argument 0) and goes
 *      back through FreeTracked within the call that made it. Abort is called only for a broken
 *      allocator label and must not return.
 *   3. Entries. VOCETTA_ENTRIES lists the 23 entry points in table order: the exported symbol
 *      (a forwarder through the dispatch table), its name and its signature. Every symbol also
 *      exists with the suffixes "_x64_sse2" and "_avx2"; a host may call a variant directly, the
 *      AVX2 one only on a processor with AVX2, FMA and F16C.
 *   4. Records. Jobs are plain records that the host fills and passes by pointer; their layouts
 *      are fixed below and checked at compile time.
 *
 * Threads: after initialisation every entry may be called from any thread at once, as long as
 * concurrent calls write to distinct arrays. The floating-point control word is per thread.
 */
#ifndef VOCETTA_VOCETTA_H
#define VOCETTA_VOCETTA_H

#include <stdint.h>

#ifdef __cplusplus
namespace Vocetta {
extern "C" {
#endif

/* ---- Host services --------------------------------------------------------------------- */

#define VOCETTA_INITIALIZE_SYMBOL "duzuv.initialize"
#define VOCETTA_SERVICE_ABORT "duzuv_abort"
#define VOCETTA_SERVICE_MALLOC_TRACKED \
    "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::MallocTracked"
#define VOCETTA_SERVICE_FREE_TRACKED "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::FreeTracked"

/* The exception type and message of the one abort the library can raise. */
#define VOCETTA_ABORT_EXCEPTION_TYPE "System.InvalidOperationException"
#define VOCETTA_ABORT_INVALID_ALLOCATOR_MESSAGE \
    "The NativeArray can not be Disposed because it was not allocated with a valid allocator."

/* Allocator labels. Every array the library creates carries VOCETTA_ALLOCATOR_TEMP. */
enum { VOCETTA_ALLOCATOR_INVALID = 0, VOCETTA_ALLOCATOR_NONE = 1, VOCETTA_ALLOCATOR_TEMP = 2 };

/* Returns a writable block of at least `size` bytes; the library fills it before reading. */
typedef void* (*VocettaMallocTracked)(int64_t size, int32_t alignment, int32_t allocatorLabel,
                                      int32_t callstacksToSkip);
typedef void (*VocettaFreeTracked)(void* pointer, int32_t allocatorLabel);
/* Must not return to the library. */
typedef void (*VocettaAbort)(const char* exceptionType, const char* message);
/* Called 69 times by one initialisation: three names per entry, the last answer wins. */
typedef void* (*VocettaResolver)(const char* name);
typedef void (*VocettaInitialize)(VocettaResolver resolver);

/* ---- Records ---------------------------------------------------------------------------- */

/* A view of host memory: first element, element count, allocator label. */
typedef struct NativeArray {
    void* pointer;
    int32_t length;
    int32_t allocatorLabel;
} NativeArray;

/* Values of LipSyncJob.scoreMethod; any other value scores every phoneme 0. */
enum ScoreMethod { MeanAbsoluteDistance = 0, RootMeanSquareDistance = 1, CosineSimilarity = 2 };

typedef struct LipSyncResult {
    float volume;         /* root mean square of the raw block */
    int32_t phonemeIndex; /* best phoneme, lowest index on a tie; -1 when scores is empty */
} LipSyncResult;

/* One block of captured audio and everything needed to score it. The job writes only the
 * elements of mfcc and scores and element 0 of result. It reads the lengths of input (L), mfcc
 * (M) and scores (P); means and standardDeviations need M elements, phonemeProfiles P x M
 * (row-major), result 1. */
typedef struct LipSyncJob {
    NativeArray input;        /* float ring buffer, L samples at sampleRate */
    int32_t startIndex;       /* oldest sample of the ring */
    int32_t sampleRate;       /* Hz */
    int32_t targetSampleRate; /* Hz, the analysis rate */
    int32_t melDiv;           /* mel channels; M must not exceed melDiv - 1 */
    int32_t scoreMethod;      /* enum ScoreMethod */
    NativeArray means;
    NativeArray standardDeviations;
    NativeArray phonemeProfiles;
    NativeArray mfcc;   /* output, M coefficients (1 ... M of the cepstrum) */
    NativeArray scores; /* output, P normalised scores */
    NativeArray result; /* output, LipSyncResult element 0 */
} LipSyncJob;

/* Pixels are 32 bits: red in bits 0-7, green 8-15, blue 16-23, alpha 24-31. */
typedef struct ColorMapJob {
    NativeArray pixels; /* output, width x height */
    NativeArray values; /* float, width x height, row after row */
    int32_t width;
    int32_t height;
    float minValue; /* cold end of the ramp */
    float maxValue; /* hot end of the ramp */
} ColorMapJob;

typedef struct PhonemeColor {
    float red;
    float green;
    float blue;
    float alpha; /* not used */
} PhonemeColor;

typedef struct PhonemeTextureJob {
    NativeArray pixels;        /* output, width x height, row after row */
    NativeArray phonemeColors; /* PhonemeColor; its length is the number of colours */
    NativeArray scores;        /* float, width x phonemeCount, frame after frame */
    NativeArray levels;        /* float, one per column */
    int32_t width;
    int32_t height;
    int32_t phonemeCount;
    float blendFactor; /* share of the new colour taken at each column */
} PhonemeTextureJob;

/* ---- Entries ----------------------------------------------------------------------------- */

/*
 * The 23 exported symbols, one macro each, named after the entry's kernel (upper case, the job
 * suffix _Execute dropped) and listed in table order. Each says what the entry computes, what it
 * takes from the host's MallocTracked (every block alignment 4, label VOCETTA_ALLOCATOR_TEMP,
 * released through FreeTracked before the call returns) and what it writes. Counts are element
 * counts; every entry returns at once, touching nothing, for a count of 0 or below unless it
 * says otherwise, and none checks bounds.
 */
/* _ReturnOne(): returns 1. A cheap call for checking that the table is filled. */
#define VOCETTA_SYMBOL_RETURN_ONE "8c2be93e18276203cbd918daa2748a10"
/* _Interpolate: linear resampling, output[i] = input at t = i * ratio, between input[floor(t)]
 * and the next sample (the last one repeated at the end). Writes output[0 ... outputLength - 1];
 * keep floor((outputLength - 1) * ratio) below inputLength. No host call. */
#define VOCETTA_SYMBOL_INTERPOLATE "98ac2cfd507eec0954d57b50347eb0b5"
/* ColorMapJob_Execute: paints values[] with a hue ramp from purple at minValue through blue,
 * cyan, green and yellow to red at maxValue (alpha 255; values outside are mirrored, not
 * clamped). Writes only the width x height pixels. No host call. */
#define VOCETTA_SYMBOL_COLOR_MAP_JOB "66ce1dc03be5c70a6261ca7e5731da21"
/* _DCT: unnormalised DCT-II, output[i] = sum over j of cos(pi / length * (j + 0.5) * i) * input[j]:
 * no 1/N or square-root scaling, output[0] is the plain sum. Writes output[0 ... length - 1] and
 * reads all of input for every row, so the two must not overlap. No host call. */
#define VOCETTA_SYMBOL_DCT "c0aac24009351f2fd703980e06a91fe5"
/* _MelFilterBank: melDiv triangular bands evenly spaced on the mel scale 1127 ln(1 + f / 700)
 * from 0 Hz to sampleRate / 2, each of unit area over frequency, applied to a magnitude spectrum
 * of spectrumLength bins (bins 1 ... spectrumLength / 2 are read). Writes melSpectrum[0 ... melDiv
 * - 1]. No host call. */
#define VOCETTA_SYMBOL_MEL_FILTER_BANK "8f0138e7140625344e44e939bbcdc7d9"
/* _FFT: in-place forward complex DFT of N points, X[k] = sum of x[j] e^(-2 pi i jk / N), not
 * scaled, bins in natural order. A DFT only when N is a power of two: each recursion level halves
 * its length by integer division, so an odd level leaves its last element as it was. Overwrites
 * both arrays. Allocates 4 (N - 1) temporary arrays for a power of two N (four of n / 2 floats per
 * level of length n >= 2), each released in the level that took it; N < 2 makes no call. */
#define VOCETTA_SYMBOL_FFT "1f185357d8f7184329fa69e18e086449"
/* _SetControlWord: loads value into the calling thread's MXCSR (rounding mode, flush to zero,
 * exception masks and flags). Reserved bits must be clear: the processor faults otherwise. */
#define VOCETTA_SYMBOL_SET_CONTROL_WORD "da352d92cabf024fc9986011d52a4537"
/* _ApplyPreEmphasis: data[i] = source[i] - coefficient * source[i - 1] for i = 1 ... length - 1,
 * in ascending order (so data may be source itself); data[0] is not written. No host call. */
#define VOCETTA_SYMBOL_APPLY_PRE_EMPHASIS "aa83f1cff52adb6154731fa964bf261c"
/* _ApplyHammingWindow: multiplies data[i] in place by 0.54 - 0.46 cos(2 pi i / (length - 1)),
 * both ends weighted 0.08; a one-element block becomes NaN (0 / 0). No host call. */
#define VOCETTA_SYMBOL_APPLY_HAMMING_WINDOW "0570e1f81685bb7aa99359006d8f7516"
/* LipSyncJob_Execute: one block of the ring in time order, low-passed and down-sampled to
 * targetSampleRate (N samples), pre-emphasised, windowed, scaled to peak 1, magnitude spectrum,
 * mel bank, decibels, DCT; coefficients 1 ... M go to mfcc, P scores summing to 1 (or all 0) to
 * scores, the RMS of the raw ring and the best phoneme to result[0]. Writes only those; input is
 * read. Allocates 10 + 4 (N - 1) temporary arrays per call for a power of two N (ring copy,
 * filter source and taps, down-sampled block, pre-emphasis copy, spectrum and its real and
 * imaginary parts, mel bands, cepstrum; the rest in the FFT), all released before it returns.
 * Aborts only if a scratch view comes back with the invalid label, which cannot happen. */
#define VOCETTA_SYMBOL_LIP_SYNC_JOB "c5a316b7c86bb17f6511d5c3a58d2180"
/* PhonemeTextureJob_Execute: one column per frame, coloured by the frame's score-weighted mix
 * of phonemeColors blended into the previous column by blendFactor, opaque where |y| <= sqrt(level)
 * with y from -1 (top row) to 1. Writes only the width x height pixels. No host call. */
#define VOCETTA_SYMBOL_PHONEME_TEXTURE_JOB "555c521bf09951a4b69fda34ca5ca261"
/* _PeakMagnitude: the largest |data[i]|, NaN elements skipped; 0 for an empty block. Reads only. */
#define VOCETTA_SYMBOL_PEAK_MAGNITUDE "8632364a433195a5066eb606a849fb4b"
/* _RootMeanSquare: sqrt(sum of data[i]^2 / length), summed in index order in one accumulator;
 * NaN for length 0. Reads only. */
#define VOCETTA_SYMBOL_ROOT_MEAN_SQUARE "8ce16e31562290bef990263d92a73051"
/* _MelToFrequency: 700 (e^(mel / factor) - 1), factor 2595 when bit 0 of use2595 is set, else
 * 1127; the natural exponential in both cases. */
#define VOCETTA_SYMBOL_MEL_TO_FREQUENCY "85693707a63104c1dbc30ff71b42a9ef"
/* _EuclideanNorm: sqrt(sum of data[i]^2), summed in index order; 0 for an empty block. Reads
 * only. */
#define VOCETTA_SYMBOL_EUCLIDEAN_NORM "bb38cdaa033c6ec2f495e91c143f15c3"
/* _Decimate: output[i] = input[i * step] for i = 0 ... outputLength - 1. No host call. */
#define VOCETTA_SYMBOL_DECIMATE "d2b195d97a724ecc1124c75a0db4da7c"
/* _LowPassFilter: writes tapCount truncated-sinc taps, 2 fc sinc(2 fc (k - centre)) with fc =
 * normalizedCutoff and no window, into taps, then ADDS the filtered source into data:
 * data[j] += sum of taps[k] source[j - k] (earlier samples count as absent), so data normally
 * holds a copy of source. tapCount must be even; source must not overlap data. No host call. */
#define VOCETTA_SYMBOL_LOW_PASS_FILTER "50dd115dae5a86d1aa01d8fc1b60dbb0"
/* _FrequencyToMel: factor ln(1 + frequency / 700), factor 2595 when bit 0 of use2595 is set,
 * else 1127; the natural logarithm in both cases. */
#define VOCETTA_SYMBOL_FREQUENCY_TO_MEL "f33689f09ebffcd5ffd83dbdb40ae4e9"
/* FFT (named VOCETTA_SYMBOL_MAGNITUDE_SPECTRUM for what it computes): |X[k]| of N real samples
 * for all N bins (the upper half mirrors the lower), unscaled; a DFT only for a power of two N, as
 * _FFT. data is only read and is copied before spectrum is written, so spectrum may be data
 * itself. Allocates 2 arrays of N floats (even for N = 0) plus _FFT's 4 (N - 1), all released
 * before it returns. */
#define VOCETTA_SYMBOL_MAGNITUDE_SPECTRUM "3769af9721f0b3f0001f17d7e8d8334d"
/* _PowerToDecibel: data[i] = 10 log10(data[i]) in place, with no floor: 0 gives -infinity, a
 * negative value NaN. No host call. */
#define VOCETTA_SYMBOL_POWER_TO_DECIBEL "ba2154a5d816f1f1f3f450d1d303ab73"
/* _ScaleToPeak: multiplies data in place by targetPeak / (its largest magnitude, NaN skipped);
 * a block whose peak is below 2^-23 is left as it is. No host call. */
#define VOCETTA_SYMBOL_SCALE_TO_PEAK "92df5bc693208af8734a92516c934e75"
/* _GetControlWord: the calling thread's MXCSR. */
#define VOCETTA_SYMBOL_GET_CONTROL_WORD "89425a97f3f500fa810ad03f0c382542"
/* _UnrollRingBuffer: destination[i] = source[(startIndex + i) mod length], the ring in time order
 * when startIndex is its oldest sample; the two arrays must not overlap. No host call. */
#define VOCETTA_SYMBOL_UNROLL_RING_BUFFER "6123c2bc7ac3b1fa374a19863bb2e708"

/*
 * X(order, symbol, name, result, (parameters), (arguments)), in the order of the dispatch table
 * and of the initialisation walks. `name` is the kernel's name in the library's Algorithm class,
 * or <Record>_Execute for a job.
 */
#define VOCETTA_ENTRIES(X)                                                                         \
    X(1, VOCETTA_SYMBOL_RETURN_ONE, _ReturnOne, int32_t, (void), ())                               \
    X(2, VOCETTA_SYMBOL_INTERPOLATE, _Interpolate, void,                                           \
      (const float* input, int32_t inputLength, float* output, int32_t outputLength, float ratio), \
      (input, inputLength, output, outputLength, ratio))                                           \
    X(3, VOCETTA_SYMBOL_COLOR_MAP_JOB, ColorMapJob_Execute, void, (ColorMapJob * job), (job))      \
    X(4, VOCETTA_SYMBOL_DCT, _DCT, void, (const float* input, float* output, int32_t length),      \
      (input, output, length))                                                                     \
    X(5, VOCETTA_SYMBOL_MEL_FILTER_BANK, _MelFilterBank, void,                                     \
      (const float* spectrum, float* melSpectrum, int32_t spectrumLength, float sampleRate,        \
       int32_t melDiv),                                                                            \
      (spectrum, melSpectrum, spectrumLength, sampleRate, melDiv))                                 \
    X(6, VOCETTA_SYMBOL_FFT, _FFT, void, (float* spectrumRe, float* spectrumIm, int32_t N),        \
      (spectrumRe, spectrumIm, N))                                                                 \
    X(7, VOCETTA_SYMBOL_SET_CONTROL_WORD, _SetControlWord, void, (int32_t value), (value))         \
    X(8, VOCETTA_SYMBOL_APPLY_PRE_EMPHASIS, _ApplyPreEmphasis, void,                               \
      (float* data, const float* source, int32_t length, float coefficient),                       \
      (data, source, length, coefficient))                                                         \
    X(9, VOCETTA_SYMBOL_APPLY_HAMMING_WINDOW, _ApplyHammingWindow, void,                           \
      (float* data, int32_t length), (data, length))                                               \
    X(10, VOCETTA_SYMBOL_LIP_SYNC_JOB, LipSyncJob_Execute, void, (LipSyncJob * job), (job))        \
    X(11, VOCETTA_SYMBOL_PHONEME_TEXTURE_JOB, PhonemeTextureJob_Execute, void,                     \
      (PhonemeTextureJob * job), (job))                                                            \
    X(12, VOCETTA_SYMBOL_PEAK_MAGNITUDE, _PeakMagnitude, float,                                    \
      (const float* data, int32_t length), (data, length))                                         \
    X(13, VOCETTA_SYMBOL_ROOT_MEAN_SQUARE, _RootMeanSquare, float,                                 \
      (const float* data, int32_t length), (data, length))                                         \
    X(14, VOCETTA_SYMBOL_MEL_TO_FREQUENCY, _MelToFrequency, float, (float mel, uint8_t use2595),   \
      (mel, use2595))                                                                              \
    X(15, VOCETTA_SYMBOL_EUCLIDEAN_NORM, _EuclideanNorm, float,                                    \
      (const float* data, int32_t length), (data, length))                                         \
    X(16, VOCETTA_SYMBOL_DECIMATE, _Decimate, void,                                                \
      (const float* input, float* output, int32_t outputLength, int32_t step),                     \
      (input, output, outputLength, step))                                                         \
    X(17, VOCETTA_SYMBOL_LOW_PASS_FILTER, _LowPassFilter, void,                                    \
      (float* data, int32_t dataLength, const float* source, float* taps, int32_t tapCount,        \
       float normalizedCutoff),                                                                    \
      (data, dataLength, source, taps, tapCount, normalizedCutoff))                                \
    X(18, VOCETTA_SYMBOL_FREQUENCY_TO_MEL, _FrequencyToMel, float,                                 \
      (float frequency, uint8_t use2595), (frequency, use2595))                                    \
    X(19, VOCETTA_SYMBOL_MAGNITUDE_SPECTRUM, FFT, void,                                            \
      (const float* data, float* spectrum, int32_t N), (data, spectrum, N))                        \
    X(20, VOCETTA_SYMBOL_POWER_TO_DECIBEL, _PowerToDecibel, void, (float* data, int32_t length),   \
      (data, length))                                                                              \
    X(21, VOCETTA_SYMBOL_SCALE_TO_PEAK, _ScaleToPeak, void,                                        \
      (float* data, int32_t length, float targetPeak), (data, length, targetPeak))                 \
    X(22, VOCETTA_SYMBOL_GET_CONTROL_WORD, _GetControlWord, int32_t, (void), ())                   \
    X(23, VOCETTA_SYMBOL_UNROLL_RING_BUFFER, _UnrollRingBuffer, void,                              \
      (const float* source, float* destination, int32_t length, int32_t startIndex),               \
      (source, destination, length, startIndex))

/* VocettaEntry<name>: the function type of each entry, for example VocettaEntry_FFT. */
#define VOCETTA_DECLARE_ENTRY_TYPE(order, symbol, name, Result, Parameters, Arguments) \
    typedef Result(*VocettaEntry##name) Parameters;
VOCETTA_ENTRIES(VOCETTA_DECLARE_ENTRY_TYPE)
#undef VOCETTA_DECLARE_ENTRY_TYPE

/*
 * X(name, Name, firstLevel, lastLevel, extensions): the builds every entry exists in, the
 * baseline first. An entry's symbol in a build is the forwarder's symbol followed by "_" #name.
 * Initialisation runs the build whose levels firstLevel ... lastLevel hold the processor's
 * feature level, and the baseline for any level no other build claims; a build needs the
 * instruction-set extensions listed (beyond x86-64's SSE2) and runs on any processor that can
 * run a later build of the list.
 */
#define VOCETTA_BUILDS(X)       \
    X(x64_sse2, Sse2, 0, 5, "") \
    X(avx2, Avx2, 6, 7, "avx2 fma f16c popcnt sse4.2")

#define VOCETTA_VARIANT_SUFFIX_SSE2 "_x64_sse2"
#define VOCETTA_VARIANT_SUFFIX_AVX2 "_avx2"

#ifdef __cplusplus
} /* extern "C" */
} /* namespace Vocetta */
#endif

#ifdef __cplusplus
#define VOCETTA_STATIC_ASSERT static_assert
#else
#define VOCETTA_STATIC_ASSERT _Static_assert
#endif

#ifdef __cplusplus
#define VOCETTA_RECORD(type) Vocetta::type
#else
#define VOCETTA_RECORD(type) type
#endif

/* The layouts hosts fill, byte for byte. */
VOCETTA_STATIC_ASSERT(sizeof(VOCETTA_RECORD(NativeArray)) == 16, "NativeArray layout");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(NativeArray), length) == 8, "NativeArray");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(NativeArray), allocatorLabel) == 12,
                      "NativeArray");
VOCETTA_STATIC_ASSERT(sizeof(VOCETTA_RECORD(LipSyncResult)) == 8, "LipSyncResult layout");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncResult), phonemeIndex) == 4,
                      "LipSyncResult");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), startIndex) == 16, "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), sampleRate) == 20, "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), targetSampleRate) == 24,
                      "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), melDiv) == 28, "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), scoreMethod) == 32, "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), means) == 40, "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), standardDeviations) == 56,
                      "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), phonemeProfiles) == 72, "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), mfcc) == 88, "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), scores) == 104, "job");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(LipSyncJob), result) == 120, "job");
VOCETTA_STATIC_ASSERT(sizeof(VOCETTA_RECORD(LipSyncJob)) == 136, "LipSyncJob layout");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(ColorMapJob), values) == 16, "colour");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(ColorMapJob), width) == 32, "colour");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(ColorMapJob), height) == 36, "colour");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(ColorMapJob), minValue) == 40, "colour");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(ColorMapJob), maxValue) == 44, "colour");
VOCETTA_STATIC_ASSERT(sizeof(VOCETTA_RECORD(ColorMapJob)) == 48, "ColorMapJob layout");
VOCETTA_STATIC_ASSERT(sizeof(VOCETTA_RECORD(PhonemeColor)) == 16, "PhonemeColor layout");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(PhonemeTextureJob), phonemeColors) == 16,
                      "texture");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(PhonemeTextureJob), scores) == 32,
                      "texture");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(PhonemeTextureJob), levels) == 48,
                      "texture");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(PhonemeTextureJob), width) == 64,
                      "texture");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(PhonemeTextureJob), height) == 68,
                      "texture");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(PhonemeTextureJob), phonemeCount) == 72,
                      "texture");
VOCETTA_STATIC_ASSERT(__builtin_offsetof(VOCETTA_RECORD(PhonemeTextureJob), blendFactor) == 76,
                      "texture");
VOCETTA_STATIC_ASSERT(sizeof(VOCETTA_RECORD(PhonemeTextureJob)) == 80, "PhonemeTextureJob layout");

#undef VOCETTA_RECORD

#endif /* VOCETTA_VOCETTA_H */
