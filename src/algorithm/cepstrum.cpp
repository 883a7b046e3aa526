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

}  // namespace

// Every cosine is the scalar function of its own angle, in both builds: the vector forms pick
// their argument reduction per group rather than per angle, which would change the bits of
// larger tables.
void CosineTransform(const float* input, float* output, int32_t length) {
    if (length <= 0) return;
    const float s = kPi / static_cast<float>(length);
    for (int32_t i = 0; i < length; ++i) {
        const float row = static_cast<float>(i);
        float acc = 0.0f;
        for (int32_t j = 0; j < length; ++j) {
            float t = (static_cast<float>(j) + 0.5f) * row;
            t = t * s;
            acc = acc + Cos(t) * input[j];
        }
        output[i] = acc;
    }
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
