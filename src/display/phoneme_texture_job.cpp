// The phoneme texture: one column per analysed frame, coloured by the score-weighted mix of the
// phonemes' colours smoothed from column to column, opaque in a vertical band that grows with
// the frame's level.
#include "display/display.h"

namespace Vocetta::VOCETTA_VARIANT {

// The job needs no memory of its own: the first pass leaves each column's colour (alpha clear)
// in row 0, and the second paints the rows from the bottom up, row 0 last, adding the band's
// alpha. Painting row by row instead of down each column keeps the stores consecutive and lets
// kLanes columns share one comparison with the row's y^2.
void Execute(PhonemeTextureJob* job) {
    const int32_t width = job->width;
    const int32_t height = job->height;
    if (width <= 0 || height <= 0) return;
    uint32_t* pixels = static_cast<uint32_t*>(job->pixels.pointer);
    const PhonemeColor* colors = static_cast<const PhonemeColor*>(job->phonemeColors.pointer);
    const float* scores = static_cast<const float*>(job->scores.pointer);
    const float* levels = static_cast<const float*>(job->levels.pointer);
    const int32_t phonemeCount = job->phonemeCount;
    const uint32_t colorCount = static_cast<uint32_t>(job->phonemeColors.length);
    const float blendFactor = job->blendFactor;

    uint32_t* colorRow = pixels;
    float smoothRed = 0.0f, smoothGreen = 0.0f, smoothBlue = 0.0f;
    for (int32_t c = 0; c < width; ++c) {
        const float* frame = scores + static_cast<int64_t>(c) * phonemeCount;
        float red = 0.0f, green = 0.0f, blue = 0.0f;
        // The colour index is p mod colorCount, counted up instead of divided. Without colours
        // there is nothing to mix: the column stays black rather than divide by zero.
        uint32_t colorIndex = 0;
        const int32_t mixed = colorCount != 0 ? phonemeCount : 0;
        for (int32_t p = 0; p < mixed; ++p) {
            const float s = frame[p];
            const PhonemeColor& color = colors[colorIndex];
            red = red + color.red * s;
            green = green + s * color.green;
            blue = blue + s * color.blue;
            if (++colorIndex == colorCount) colorIndex = 0;
        }
        smoothRed = smoothRed + (red - smoothRed) * blendFactor;
        smoothGreen = smoothGreen + (green - smoothGreen) * blendFactor;
        smoothBlue = smoothBlue + (blue - smoothBlue) * blendFactor;
        colorRow[c] =
            PackColor(ChannelByte(smoothRed), ChannelByte(smoothGreen), ChannelByte(smoothBlue));
    }

    // Row k is opaque where level >= y^2, y running from -1 at the top towards 1; a NaN level
    // fails the "less than" and stays opaque.
    const float half = static_cast<float>(height) * 0.5f;
    const Ints opaque = Ints::Broadcast(static_cast<int32_t>(kOpaque));
    for (int32_t k = height - 1; k >= 0; --k) {
        const float y = (static_cast<float>(k) - half) / half;
        const float ySquared = y * y;
        const Floats ySquareds = Floats::Broadcast(ySquared);
        uint32_t* row = pixels + static_cast<int64_t>(k) * width;
        int32_t c = 0;
        for (; c <= width - kLanes; c += kLanes) {
            const Floats transparent = LessThan(Floats::Load(levels + c), ySquareds);
            (Ints::Load(colorRow + c) | AndNot(transparent, opaque)).Store(row + c);
        }
        for (; c < width; ++c)
            row[c] = colorRow[c] | (levels[c] < ySquared ? 0u : kOpaque);
    }
}

}  // namespace Vocetta::VOCETTA_VARIANT
