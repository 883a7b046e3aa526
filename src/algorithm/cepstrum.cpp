// The DCT, decibels and the mel scale.
#include "algorithm/algorithm.h"
#include "algorithm/analysis_loops.h"

namespace Vocetta::VOCETTA_VARIANT {

namespace {

constexpr float kPi = 3.1415927f;

// Only bit 0 of the host's boolean byte counts.
float MelFactor(uint8_t use2595) {
    return (use2595 & 1u) != 0 ? 2595.0f : 1127.0f;
}

// One row, every cosine the scalar function of its own angle.
float CosineRow(const float* input, int32_t length, float s, int32_t i) {
    const float row = static_cast<float>(i);
    float acc = 0.0f;
    for (int32_t j = 0; j < length; ++j) {
        float t = (static_cast<float>(j) + 0.5f) * row;
        t = t * s;
        acc = acc + Cos(t) * input[j];
    }
    return acc;
}

}  // namespace

// Every cosine is the scalar function of its own angle, in both builds: the vector forms pick
// their argument reduction per group rather than per angle, which would change the bits of
// larger tables.
void CosineTransform(const float* input, float* output, int32_t length) {
    if (length <= 0) return;
    const float s = kPi / static_cast<float>(length);
    for (int32_t i = 0; i < length; ++i)
        output[i] = CosineRow(input, length, s, i);
}

// Rows run in the lanes, kLanes rows per group, each lane with its own accumulator over j in
// order, so every row sums as CosineTransform's does. The lanes' cosines are the scalar ones only
// when the group's angles share one reduction range: the angle grows with the row, so its first
// and last lanes tell, and a group that straddles a boundary takes the scalar cosine for that j.
// A thread that rounds otherwise than to nearest makes the vector and scalar reductions round
// differently, so it gets the scalar loop throughout.
void CosineTransformRows(const float* input, int32_t length, int32_t first, int32_t count,
                         float* rows) {
    if (length <= 0 || count <= 0) return;
    const float s = kPi / static_cast<float>(length);
    constexpr uint32_t kRoundingControl = 0x6000;
    int32_t r = 0;
    if ((_mm_getcsr() & kRoundingControl) == 0) {
        const Floats vS = Floats::Broadcast(s);
        for (; r < count; r += kLanes) {
            // A last, partial group computes rows past the range too and keeps those asked for.
            const Floats row = Floats::Ramp(first + r);
            Floats acc = Floats::Broadcast(0.0f);
            for (int32_t j = 0; j < length; ++j) {
                const Floats t = (Floats::Broadcast(static_cast<float>(j) + 0.5f) * row) * vS;
                alignas(32) float angles[kLanes];
                t.Store(angles);
                Floats c;
                if (ReductionRange(angles[0]) == ReductionRange(angles[kLanes - 1])) {
                    c = UnfusedCos(t);
                } else {
                    for (float& angle : angles)
                        angle = Cos(angle);
                    c = Floats::Load(angles);
                }
                acc = acc + c * Floats::Broadcast(input[j]);
            }
            alignas(32) float sums[kLanes];
            acc.Store(sums);
            const int32_t kept = count - r < kLanes ? count - r : kLanes;
            for (int32_t lane = 0; lane < kept; ++lane)
                rows[r + lane] = sums[lane];
        }
        return;
    }
    for (; r < count; ++r)
        rows[r] = CosineRow(input, length, s, first + r);
}

void DecibelsInPlace(float* data, int32_t length) {
    const Floats ten = Floats::Broadcast(10.0f);
    int32_t i = 0;
    for (; i + kLanes <= length; i += kLanes)
        (Log10(Floats::Load(data + i)) * ten).Store(data + i);
    for (; i < length; ++i)
        data[i] = Log10(data[i]) * 10.0f;
}

void Algorithm::_DCT(const float* input, float* output, int32_t length) {
    CosineTransform(input, output, length);
}

void Algorithm::_PowerToDecibel(float* data, int32_t length) {
    DecibelsInPlace(data, length);
}

float Algorithm::_FrequencyToMel(float frequency, uint8_t use2595) {
    float x = frequency / 700.0f;
    x = x + 1.0f;
    return Log(x) * MelFactor(use2595);
}

float Algorithm::_MelToFrequency(float mel, uint8_t use2595) {
    const float e = Exp(mel / MelFactor(use2595));
    return (e - 1.0f) * 700.0f;
}

}  // namespace Vocetta::VOCETTA_VARIANT
