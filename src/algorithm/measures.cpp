// Level measures, the ring-buffer copy and the floating-point control word.
#include "algorithm/algorithm.h"

namespace Vocetta::VOCETTA_VARIANT {

namespace {

// One accumulator in index order: the sum's rounding is part of the result, so no lanes.
float SumOfSquares(const float* data, int32_t length) {
    float sum = 0.0f;
    for (int32_t i = 0; i < length; ++i)
        sum = sum + data[i] * data[i];
    return sum;
}

}  // namespace

int32_t Algorithm::_ReturnOne() {
    return 1;
}

// The largest |x| skipping NaN. max is exact, so lanes give the bits of the sequential scan;
// maxps returns its second operand when the first is NaN, which is the skip.
float Algorithm::_PeakMagnitude(const float* data, int32_t length) {
    int32_t i = 0;
    float peak = 0.0f;
    if (length >= kLanes) {
        const Floats signMask = Floats::Broadcast(-0.0f);
        Floats lanes = Floats::Broadcast(0.0f);
        for (; i + kLanes <= length; i += kLanes) {
            const Floats magnitude = AndNot(signMask, Floats::Load(data + i));
            lanes = Max(magnitude, lanes);
        }
        peak = HorizontalMax(lanes);
    }
    for (; i < length; ++i) {
        const float magnitude = Abs(data[i]);
        if (!IsNaN(magnitude) && magnitude > peak) peak = magnitude;
    }
    return peak;
}

float Algorithm::_RootMeanSquare(const float* data, int32_t length) {
    return Sqrt(SumOfSquares(data, length) / static_cast<float>(length));
}

float Algorithm::_EuclideanNorm(const float* data, int32_t length) {
    return Sqrt(SumOfSquares(data, length));
}

// destination[i] = source[(startIndex + i) mod length]. The start is reduced once into
// [0, length), so a negative start or one near INT32_MAX reads inside the ring like any other;
// the copy is then two straight runs.
void Algorithm::_UnrollRingBuffer(const float* source, float* destination, int32_t length,
                                  int32_t startIndex) {
    if (length <= 0) return;
    int32_t start = startIndex % length;
    if (start < 0) start += length;
    CopyFloats(destination, source + start, length - start);
    CopyFloats(destination + (length - start), source, start);
}

// Only the bits this processor implements reach MXCSR: a reserved bit would make ldmxcsr fault.
void Algorithm::_SetControlWord(int32_t value) {
    alignas(16) uint8_t area[512];
    __builtin_ia32_fxsave(area);
    uint32_t mask;
    __builtin_memcpy(&mask, area + 28, sizeof(mask));
    if (mask == 0) mask = 0xFFBF;  // processors that leave MXCSR_MASK empty support this set
    _mm_setcsr(static_cast<uint32_t>(value) & mask);
}

int32_t Algorithm::_GetControlWord() {
    return static_cast<int32_t>(_mm_getcsr());
}

}  // namespace Vocetta::VOCETTA_VARIANT
