// The element loops of the spectral kernels, shared with the analysis job so that a frame's
// magnitudes, decibels and cepstrum are the same bits whichever path computed them.
#pragma once

#include <stdint.h>

#include "frame/variant.h"

namespace Vocetta::VOCETTA_VARIANT {

// magnitude[k] = sqrt(re[k] * re[k] + im[k] * im[k]) for k < count, with no guard against
// overflow. `magnitude` may be `re` or `im`.
void Magnitudes(const float* re, const float* im, float* magnitude, int32_t count);

// data[i] = log10(data[i]) * 10 in place, kLanes at a time from index 0, the tail one by one.
void DecibelsInPlace(float* data, int32_t length);

// Unnormalised DCT-II: output[i] = sum over j in order of cos((j + 0.5) * i * pi / length) *
// input[j], one accumulator per row. Row i reads `input` after rows 0 ... i - 1 were written.
void CosineTransform(const float* input, float* output, int32_t length);

// Rows first ... first + count - 1 of CosineTransform's output into rows[0 ... count - 1], the
// same bits, for 0 <= first and first + count <= length.
void CosineTransformRows(const float* input, int32_t length, int32_t first, int32_t count,
                         float* rows);

}  // namespace Vocetta::VOCETTA_VARIANT
