// Test-only doors into one build's internal functions (compiled once per build, like the
// kernels), exported from libvocetta_testing.so with the build's suffix.
#include "algorithm/algorithm.h"
#include "frame/symbol.h"

#define VOCETTA_TESTING_SYMBOL(name) VOCETTA_SYMBOL("vocetta_testing_" name VOCETTA_VARIANT_SUFFIX)

using namespace Vocetta::VOCETTA_VARIANT;

extern "C" {

VOCETTA_EXPORT void TestingDispose(NativeArray* view) VOCETTA_TESTING_SYMBOL("dispose");
void TestingDispose(NativeArray* view) {
    Dispose(*view);
}

VOCETTA_EXPORT void TestingMelFilterBank(NativeArray* spectrum, NativeArray* melSpectrum,
                                         float sampleRate, int32_t melDiv)
    VOCETTA_TESTING_SYMBOL("mel_filter_bank");
void TestingMelFilterBank(NativeArray* spectrum, NativeArray* melSpectrum, float sampleRate,
                          int32_t melDiv) {
    Algorithm::MelFilterBank(*spectrum, *melSpectrum, sampleRate, melDiv);
}

VOCETTA_EXPORT void TestingLowPassFilter(NativeArray* data, float sampleRate, float cutoff,
                                         float range) VOCETTA_TESTING_SYMBOL("low_pass_filter");
void TestingLowPassFilter(NativeArray* data, float sampleRate, float cutoff, float range) {
    Algorithm::LowPassFilter(*data, sampleRate, cutoff, range);
}

VOCETTA_EXPORT void TestingDownSample(NativeArray* input, NativeArray* output, int32_t sampleRate,
                                      int32_t targetSampleRate)
    VOCETTA_TESTING_SYMBOL("down_sample");
void TestingDownSample(NativeArray* input, NativeArray* output, int32_t sampleRate,
                       int32_t targetSampleRate) {
    Algorithm::DownSample(*input, *output, sampleRate, targetSampleRate);
}
}

namespace {

// A lane form against its scalar one over `count` angles (a multiple of the build's lanes, which
// it returns): each group of lanes through one vector call.
template <typename Lanes, typename Scalar>
int32_t LanesAndScalars(const float* angles, int32_t count, float* lanes, float* scalars,
                        Lanes inLanes, Scalar alone) {
    for (int32_t i = 0; i + kLanes <= count; i += kLanes)
        inLanes(Floats::Load(angles + i)).Store(lanes + i);
    for (int32_t i = 0; i < count; ++i)
        scalars[i] = alone(angles[i]);
    return kLanes;
}

}  // namespace

extern "C" {

// The lane cosine (of the DCT rows and the FFT's last twiddles) or, given `sine`, the lane sine
// (of those twiddles), and the scalar one.
VOCETTA_EXPORT int32_t TestingTrigonometry(const float* angles, int32_t count, float* lanes,
                                           float* scalars, int32_t sine)
    VOCETTA_TESTING_SYMBOL("trigonometry");
int32_t TestingTrigonometry(const float* angles, int32_t count, float* lanes, float* scalars,
                            int32_t sine) {
    if (sine != 0) {
        return LanesAndScalars(
            angles, count, lanes, scalars, [](Floats x) { return UnfusedSin(x); },
            [](float x) { return Sin(x); });
    }
    return LanesAndScalars(
        angles, count, lanes, scalars, [](Floats x) { return UnfusedCos(x); },
        [](float x) { return Cos(x); });
}

// The lane power of the scores and the scalar one, of `count` bases and exponents (a multiple of
// the build's lanes, which it returns).
VOCETTA_EXPORT int32_t TestingPowers(const float* bases, const float* exponents, int32_t count,
                                     float* lanes, float* scalars) VOCETTA_TESTING_SYMBOL("powers");
int32_t TestingPowers(const float* bases, const float* exponents, int32_t count, float* lanes,
                      float* scalars) {
    for (int32_t i = 0; i + kLanes <= count; i += kLanes)
        UnfusedPow(Floats::Load(bases + i), Floats::Load(exponents + i)).Store(lanes + i);
    for (int32_t i = 0; i < count; ++i)
        scalars[i] = Pow(bases[i], exponents[i]);
    return kLanes;
}
}
