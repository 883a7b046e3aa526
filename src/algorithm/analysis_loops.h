// The loops of the kernels that the analysis job shares, so that a frame's samples, magnitudes,
// decibels and cepstrum are the same bits whichever path computed them; and the parts of them
// that the job runs for only the values an output depends on.
#pragma once

#include <stdint.h>

#include "frame/variant.h"

namespace Vocetta::VOCETTA_VARIANT {

// Whether `aFloats` floats from a and `bFloats` floats from b share no byte: a vector form that
// reads ahead of what it writes gives the one-element loop's results only then.
inline bool Apart(const void* a, int64_t aFloats, const void* b, int64_t bFloats) {
    const uintptr_t aBegin = reinterpret_cast<uintptr_t>(a);
    const uintptr_t bBegin = reinterpret_cast<uintptr_t>(b);
    return aBegin + static_cast<uintptr_t>(aFloats) * sizeof(float) <= bBegin ||
           bBegin + static_cast<uintptr_t>(bFloats) * sizeof(float) <= aBegin;
}

// magnitude[k] = sqrt(re[k] * re[k] + im[k] * im[k]) for k < count, with no guard against
// overflow. `magnitude` may be `re` or `im`.
void Magnitudes(const float* re, const float* im, float* magnitude, int32_t count);

// FFT(data, spectrum, N), with the same calls to the host, writing only spectrum[0 ... N / 2]:
// the bins a mel filter bank reads of a real block's spectrum (the rest mirror them).
void MagnitudesToNyquist(const float* data, float* spectrum, int32_t N);

// data[i] = log10(data[i]) * 10 in place, kLanes at a time from index 0, the tail one by one.
void DecibelsInPlace(float* data, int32_t length);

// Unnormalised DCT-II: output[i] = sum over j in order of cos((j + 0.5) * i * pi / length) *
// input[j], one accumulator per row. Row i reads `input` after rows 0 ... i - 1 were written.
void CosineTransform(const float* input, float* output, int32_t length);

// Rows first ... first + count - 1 of CosineTransform's output into rows[0 ... count - 1], the
// same bits, for 0 <= first and first + count <= length.
void CosineTransformRows(const float* input, int32_t length, int32_t first, int32_t count,
                         float* rows);

// The low-pass filter's length and cutoff for a sample rate, a cutoff and a transition range,
// as LowPassFilter derives them. tapCount 0: no filter.
struct LowPassDesign {
    int32_t tapCount;
    float normalizedCutoff;
};
LowPassDesign DesignLowPass(float sampleRate, float cutoff, float range);

// How DownSample takes a block of n samples from sampleRate to targetSampleRate: m samples,
// copied, every step-th one, or interpolated at `ratio`.
struct DownSamplePlan {
    enum Kind { kCopy, kDecimate, kInterpolate } kind;
    int32_t length;  // m
    int32_t step;    // kDecimate
    float ratio;     // kInterpolate
};
DownSamplePlan PlanDownSample(int32_t n, int32_t sampleRate, int32_t targetSampleRate);

// The sum of the squares of a block in index order, in one accumulator (_RootMeanSquare's sum),
// taken a square per step beside the filter's loops: its chain of dependent adds then runs in the
// shadow of their work instead of on its own. A loop takes min(its length, Remaining()) steps
// from its first iteration, so no iteration asks whether any are left; Finish adds the squares
// the steps did not reach.
struct EnergyBeside {
    const float* next;
    const float* end;
    float sum;

    int64_t Remaining() const { return end - next; }
    void Step() {
        sum = sum + *next * *next;
        ++next;
    }
    float Finish() {
        while (next < end)
            Step();
        return sum;
    }
};

// The low-pass filter and the down-sampler of the analysis, in two steps around the host calls
// between them, computing only the filtered samples that the down-sampler reads. First, with the
// filter's scratch `source` (n floats) and `taps` (design.tapCount floats): `block` then holds
// those samples (for kDecimate the m of them in order, otherwise all n). Then DownSampleFiltered
// writes the m samples of the frame: together, what DownSample makes of what LowPassFilter makes
// of the block.
// `energy` takes its steps beside the filter's loops.
void LowPassForDownSample(float* block, int32_t n, float* source, float* taps,
                          const LowPassDesign& design, const DownSamplePlan& plan,
                          EnergyBeside& energy);
void DownSampleFiltered(const float* block, int32_t n, const DownSamplePlan& plan, float* frame);

}  // namespace Vocetta::VOCETTA_VARIANT
