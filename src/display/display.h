// The display jobs: textures of 32-bit pixels (red in the low byte, then green, blue, alpha)
// painted from a grid of values and from per-frame phoneme scores and levels.
#pragma once

#include <stdint.h>
#include <vocetta/vocetta.h>

#include "frame/variant.h"

namespace Vocetta::VOCETTA_VARIANT {

using Vocetta::ColorMapJob;
using Vocetta::PhonemeColor;
using Vocetta::PhonemeTextureJob;

void Execute(ColorMapJob* job);
void Execute(PhonemeTextureJob* job);

inline constexpr uint32_t kOpaque = 0xFF000000u;

// A channel value in [0, 1] to its byte. Negative values and NaN give 0 before anything reaches
// a float-to-integer conversion, and the clamp keeps the rest within 0 ... 255, so the
// conversion is always in range.
inline uint32_t ChannelByte(float value) {
    if (!(value >= 0.0f)) return 0;
    const float clamped = value < 1.0f ? value : 1.0f;
    return static_cast<uint32_t>(TruncateToInt32(Rint(clamped * 255.0f)));
}

inline uint32_t PackColor(uint32_t red, uint32_t green, uint32_t blue) {
    return red | green << 8 | blue << 16;
}

}  // namespace Vocetta::VOCETTA_VARIANT
