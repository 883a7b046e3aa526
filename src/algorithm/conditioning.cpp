// Conditioning of a block before its spectrum: pre-emphasis, the Hamming window and scaling to a
// peak. All three are element-wise, so they run in lanes wherever that keeps the loop's result.
#include "algorithm/algorithm.h"
#include "algorithm/analysis_loops.h"

namespace Vocetta::VOCETTA_VARIANT {

namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr float kHammingSlope = -0.46f;
constexpr float kHammingBase = 0.54f;
constexpr float kEpsilon = 1.1920929e-7f;  // 2^-23

}  // namespace

void Algorithm::_ApplyPreEmphasis(float* data, const float* source, int32_t length,
                                  float coefficient) {
    if (length < 2) return;
    int32_t i = 1;
    // With overlapping arrays a step may read what an earlier step wrote, which only the
    // one-element loop below reproduces.
    if (Apart(data, length, source, length)) {
        const Floats vCoefficient = Floats::Broadcast(coefficient);
        for (; i <= length - kLanes; i += kLanes) {
            const Floats emphasised =
                Floats::Load(source + i) - vCoefficient * Floats::Load(source + i - 1);
            emphasised.Store(data + i);
        }
    }
    for (; i < length; ++i)
        data[i] = source[i] - coefficient * source[i - 1];
}

void Algorithm::_ApplyHammingWindow(float* data, int32_t length) {
    if (length <= 0) return;
    const float denominator = static_cast<float>(length - 1);
    int32_t i = 0;
    const Floats vDenominator = Floats::Broadcast(denominator);
    const Floats vTwoPi = Floats::Broadcast(kTwoPi);
    const Floats vSlope = Floats::Broadcast(kHammingSlope);
    const Floats vBase = Floats::Broadcast(kHammingBase);
    for (; i <= length - kLanes; i += kLanes) {
        const Floats phase = Floats::Ramp(i) / vDenominator * vTwoPi;
        const Floats weight = Cos(phase) * vSlope + vBase;
        (weight * Floats::Load(data + i)).Store(data + i);
    }
    for (; i < length; ++i) {
        const float phase = static_cast<float>(i) / denominator * kTwoPi;
        const float weight = Cos(phase) * kHammingSlope + kHammingBase;
        data[i] = weight * data[i];
    }
}

void Algorithm::_ScaleToPeak(float* data, int32_t length, float targetPeak) {
    if (length <= 0) return;
    // The largest magnitude, NaN skipped: the library's one peak search.
    const float peak = _PeakMagnitude(data, length);
    if (peak < kEpsilon) return;
    const float scale = targetPeak / peak;
    int32_t i = 0;
    const Floats vScale = Floats::Broadcast(scale);
    for (; i <= length - kLanes; i += kLanes)
        (Floats::Load(data + i) * vScale).Store(data + i);
    for (; i < length; ++i)
        data[i] = data[i] * scale;
}

}  // namespace Vocetta::VOCETTA_VARIANT
