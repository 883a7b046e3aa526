// Algorithm: the library's signal-processing kernels, one source per family, each compiled into
// both builds. A kernel with a leading underscore works on plain (pointer, count) pairs and is an
// exported entry; the plain-named forms take NativeArray views and serve the analysis job.
#pragma once

#include <stdint.h>

#include "algorithm/native_array.h"
#include "frame/variant.h"

namespace Vocetta::VOCETTA_VARIANT {

struct Algorithm {
    // fft.cpp: FFT core and magnitude spectrum.
    static void _FFT(float* spectrumRe, float* spectrumIm, int32_t N);
    static void FFT(const float* data, float* spectrum, int32_t N);

    // mel_filter_bank.cpp
    static void MelFilterBank(NativeArray& spectrum, NativeArray& melSpectrum, float sampleRate,
                              int32_t melDiv);
    static void _MelFilterBank(const float* spectrum, float* melSpectrum, int32_t spectrumLength,
                               float sampleRate, int32_t melDiv);

    // resampling.cpp: low-pass filter and down-sampling.
    static void LowPassFilter(NativeArray& data, float sampleRate, float cutoff, float range);
    static void DownSample(NativeArray& input, NativeArray& output, int32_t sampleRate,
                           int32_t targetSampleRate);
    static void _LowPassFilter(float* data, int32_t dataLength, const float* source, float* taps,
                               int32_t tapCount, float normalizedCutoff);
    static void _Interpolate(const float* input, int32_t inputLength, float* output,
                             int32_t outputLength, float ratio);
    static void _Decimate(const float* input, float* output, int32_t outputLength, int32_t step);

    // conditioning.cpp: pre-emphasis, window, peak scaling.
    static void _ApplyPreEmphasis(float* data, const float* source, int32_t length,
                                  float coefficient);
    static void _ApplyHammingWindow(float* data, int32_t length);
    static void _ScaleToPeak(float* data, int32_t length, float targetPeak);

    // measures.cpp: level measures, ring-buffer copy, floating-point control.
    static int32_t _ReturnOne();
    static float _PeakMagnitude(const float* data, int32_t length);
    static float _RootMeanSquare(const float* data, int32_t length);
    static float _EuclideanNorm(const float* data, int32_t length);
    static void _UnrollRingBuffer(const float* source, float* destination, int32_t length,
                                  int32_t startIndex);
    static void _SetControlWord(int32_t value);
    static int32_t _GetControlWord();

    // cepstrum.cpp: DCT, decibels, mel scale.
    static void _DCT(const float* input, float* output, int32_t length);
    static void _PowerToDecibel(float* data, int32_t length);
    static float _FrequencyToMel(float frequency, uint8_t use2595);
    static float _MelToFrequency(float mel, uint8_t use2595);
};

}  // namespace Vocetta::VOCETTA_VARIANT
