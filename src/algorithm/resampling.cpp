// Low-pass filter and down-sampling: a truncated-sinc FIR in direct form, then whole-number
// decimation or linear interpolation to the analysis rate.
#include "algorithm/algorithm.h"

namespace Vocetta::VOCETTA_VARIANT {

namespace {

constexpr float kTwoPi = 6.2831855f;

// taps[k] = sin(x) x gain / x with x = (float(k) - centre) x omega: product first, quotient last.
void GenerateTaps(float* taps, int32_t tapCount, float normalizedCutoff) {
    const float centre = static_cast<float>(tapCount - 1) * 0.5f;
    const float omega = kTwoPi * normalizedCutoff;
    const float gain = normalizedCutoff + normalizedCutoff;
    int32_t k = 0;
    const Floats vCentre = Floats::Broadcast(centre);
    const Floats vOmega = Floats::Broadcast(omega);
    const Floats vGain = Floats::Broadcast(gain);
    for (; k <= tapCount - kLanes; k += kLanes) {
        const Floats x = (Floats::Ramp(k) - vCentre) * vOmega;
        (Sin(x) * vGain / x).Store(taps + k);
    }
    for (; k < tapCount; ++k) {
        const float x = (static_cast<float>(k) - centre) * omega;
        taps[k] = Sin(x) * gain / x;
    }
}

// The convolution data[j] = taps[k] x source[j - k] + data[j], k ascending, is a chain of
// dependent sums per output, so its speed comes from running many outputs side by side: each
// vector lane is one output j and carries exactly that output's chain, one rounded product and
// one rounded sum per tap, in the same order as the one-output loop. kBlocks vectors in flight
// hide the latency of the adds.
//
// Adds taps[0 ... tapsForAll - 1] into kBlocks x kLanes outputs from j0, for which every one of
// those taps reaches back inside the block (tapsForAll <= j0 + 1).
template <int32_t kBlocks>
void ConvolveLanes(float* data, const float* source, const float* taps, int32_t j0,
                   int32_t tapsForAll) {
    Floats sums[kBlocks];
    for (int32_t b = 0; b < kBlocks; ++b)
        sums[b] = Floats::Load(data + j0 + b * kLanes);
    const float* window = source + j0;
    for (int32_t k = 0; k < tapsForAll; ++k) {
        const Floats tap = Floats::Broadcast(taps[k]);
        const float* from = window - k;
        for (int32_t b = 0; b < kBlocks; ++b) {
            sums[b] = tap * Floats::Load(from + b * kLanes) + sums[b];
        }
    }
    for (int32_t b = 0; b < kBlocks; ++b)
        sums[b].Store(data + j0 + b * kLanes);
}

// Continues the chains of outputs j0 ... j0 + width - 1 from tap `fromTap` to their own last
// tap min(j, tapCount - 1): near the start of the block, later outputs reach further back.
void ConvolveRemainder(float* data, const float* source, const float* taps, int32_t tapCount,
                       int32_t j0, int32_t width, int32_t fromTap) {
    for (int32_t j = j0; j < j0 + width; ++j) {
        const int32_t lastTap = j < tapCount - 1 ? j : tapCount - 1;
        float sum = data[j];
        for (int32_t k = fromTap; k <= lastTap; ++k)
            sum = taps[k] * source[j - k] + sum;
        data[j] = sum;
    }
}

template <int32_t kBlocks>
void ConvolveBlock(float* data, const float* source, const float* taps, int32_t tapCount,
                   int32_t j0) {
    constexpr int32_t kWidth = kBlocks * kLanes;
    const int32_t tapsForAll = j0 + 1 < tapCount ? j0 + 1 : tapCount;
    ConvolveLanes<kBlocks>(data, source, taps, j0, tapsForAll);
    if (tapsForAll < tapCount) {
        ConvolveRemainder(data, source, taps, tapCount, j0, kWidth, tapsForAll);
    }
}

void Convolve(float* data, int32_t dataLength, const float* source, const float* taps,
              int32_t tapCount) {
    constexpr int32_t kWide = 4;
    int32_t j = 0;
    for (; j <= dataLength - kWide * kLanes; j += kWide * kLanes) {
        ConvolveBlock<kWide>(data, source, taps, tapCount, j);
    }
    for (; j <= dataLength - kLanes; j += kLanes)
        ConvolveBlock<1>(data, source, taps, tapCount, j);
    ConvolveRemainder(data, source, taps, tapCount, j, dataLength - j, 0);
}

// The interpolation loop. Both indices stay inside [0, inputLength - 1]: before the first
// sample the output holds input[0], from the last one on it holds input[inputLength - 1] (the
// difference term is then 0 x (t - i0)). Inside, floor(t) is the truncation of a non-negative t.
void InterpolateLoop(const float* input, int32_t inputLength, float* output, int32_t outputLength,
                     float ratio) {
    const int32_t lastIndex = inputLength - 1;
    const double lastPosition = static_cast<double>(lastIndex);
    for (int32_t i = 0; i < outputLength; ++i) {
        const float t = static_cast<float>(i) * ratio;
        int32_t i0 = 0;
        int32_t i1 = 0;
        if (t >= 0.0f) {
            if (static_cast<double>(t) >= lastPosition) {
                i0 = lastIndex;
                i1 = lastIndex;
            } else {
                i0 = TruncateToInt32(t);
                i1 = i0 + 1;
            }
        }
        output[i] = (input[i1] - input[i0]) * (t - static_cast<float>(i0)) + input[i0];
    }
}

void DecimateLoop(const float* input, float* output, int32_t outputLength, int32_t step) {
    uint32_t index = 0;
    for (int32_t i = 0; i < outputLength; ++i) {
        output[i] = input[static_cast<int32_t>(index)];
        index += static_cast<uint32_t>(step);
    }
}

}  // namespace

void Algorithm::_LowPassFilter(float* data, int32_t dataLength, const float* source, float* taps,
                               int32_t tapCount, float normalizedCutoff) {
    if (tapCount <= 0) return;
    GenerateTaps(taps, tapCount, normalizedCutoff);
    if (dataLength <= 0) return;
    Convolve(data, dataLength, source, taps, tapCount);
}

void Algorithm::_Interpolate(const float* input, int32_t inputLength, float* output,
                             int32_t outputLength, float ratio) {
    if (outputLength <= 0 || inputLength <= 0) return;
    InterpolateLoop(input, inputLength, output, outputLength, ratio);
}

void Algorithm::_Decimate(const float* input, float* output, int32_t outputLength, int32_t step) {
    if (outputLength <= 0) return;
    DecimateLoop(input, output, outputLength, step);
}

void Algorithm::LowPassFilter(NativeArray& data, float sampleRate, float cutoff, float range) {
    float* samples = FloatsOf(data);
    const int32_t length = data.length;
    float* source = AllocateCopy(samples, length);

    const float width = range / sampleRate;
    int32_t tapCount = TruncateToInt32(Rint(3.1f / width));
    if ((tapCount & 1) != 0) tapCount += 1;
    // A negative range or rate (or a NaN) gives no meaningful filter length: no filter at all.
    if (tapCount < 0) tapCount = 0;

    float* taps = AllocateZeroed(tapCount);
    if (tapCount != 0) {
        _LowPassFilter(samples, length, source, taps, tapCount, (cutoff - range) / sampleRate);
    }
    Release(source);
    Release(taps);
}

void Algorithm::DownSample(NativeArray& input, NativeArray& output, int32_t sampleRate,
                           int32_t targetSampleRate) {
    const float* samples = FloatsOf(input);
    const int32_t n = input.length;
    if (sampleRate <= targetSampleRate) {
        float* copy = AllocateCopy(samples, n);
        output = NativeArray{copy, n, kTempAllocator};
        return;
    }
    // There is no positive rate to reach: the limit of ever lower targets, an empty block.
    if (targetSampleRate <= 0) {
        CreateInto(output, 0);
        return;
    }
    if (sampleRate % targetSampleRate == 0) {
        const int32_t step = sampleRate / targetSampleRate;
        const int32_t m = n / step;
        float* decimated = CreateInto(output, m);
        if (m != 0) DecimateLoop(samples, decimated, m, step);
        return;
    }
    const float ratio = static_cast<float>(sampleRate) / static_cast<float>(targetSampleRate);
    const int32_t m = TruncateToInt32(Rint(static_cast<float>(n) / ratio));
    float* interpolated = CreateInto(output, m);
    if (m != 0) InterpolateLoop(samples, n, interpolated, m, ratio);
}

}  // namespace Vocetta::VOCETTA_VARIANT
