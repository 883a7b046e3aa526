// Every fuzz target's body; fuzz/CMakeLists.txt makes one libFuzzer program per name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Vocetta::Fuzz {

using Target = int (*)(const uint8_t* data, size_t size);

// One per exported entry, named after it.
// clang-format off
#define VOCETTA_FUZZ_ENTRY_TARGETS(X) \
    X(_ReturnOne) \
    X(_Interpolate) \
    X(ColorMapJob_Execute) \
    X(_DCT) \
    X(_MelFilterBank) \
    X(_FFT) \
    X(_SetControlWord) \
    X(_ApplyPreEmphasis) \
    X(_ApplyHammingWindow) \
    X(LipSyncJob_Execute) \
    X(PhonemeTextureJob_Execute) \
    X(_PeakMagnitude) \
    X(_RootMeanSquare) \
    X(_MelToFrequency) \
    X(_EuclideanNorm) \
    X(_Decimate) \
    X(_LowPassFilter) \
    X(_FrequencyToMel) \
    X(FFT) \
    X(_PowerToDecibel) \
    X(_ScaleToPeak) \
    X(_GetControlWord) \
    X(_UnrollRingBuffer)
// clang-format on

#define VOCETTA_FUZZ_DECLARE(name) int Entry##name(const uint8_t* data, size_t size);
VOCETTA_FUZZ_ENTRY_TARGETS(VOCETTA_FUZZ_DECLARE)
#undef VOCETTA_FUZZ_DECLARE

// The lip-sync job record as a whole: ignored fields, ring positions, realistic audio.
int JobRecord(const uint8_t* data, size_t size);

// The readers of files, the ring-length rule and the streaming analyzer (tool.cpp).
int ProfileLoader(const uint8_t* data, size_t size);
int ManifestParser(const uint8_t* data, size_t size);
int AudioReader(const uint8_t* data, size_t size);
int RingLength(const uint8_t* data, size_t size);
int StreamingAnalyzer(const uint8_t* data, size_t size);
int Transcript(const uint8_t* data, size_t size);
int BakedLine(const uint8_t* data, size_t size);

}  // namespace Vocetta::Fuzz
