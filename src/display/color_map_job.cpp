// The colour-map texture: a hue ramp over a grid of values, from purple at minValue through
// blue, cyan, green and yellow to red at maxValue.
#include "display/display.h"

namespace Vocetta::VOCETTA_VARIANT {

namespace {

constexpr float kPi = 3.1415927f;

// The ramp position h: 5 at the cold end, 0 at the hot end, changing slowly near both.
inline float Hue(float cosine) {
    return ((1.0f - cosine) * -0.5f + 1.0f) * 5.0f;
}

uint32_t ScalarPixel(float value, float minValue, float range) {
    const float t = (value - minValue) / range;
    const float h = Hue(Cos(t * kPi));
    const double wide = h;
    const float m = static_cast<float>(wide - 2.0 * Trunc(wide / 2.0));
    const float x = 1.0f - Abs(m - 1.0f);
    float red, green, blue;
    if (h < 1.0f) {
        red = 1.0f, green = x, blue = 0.0f;
    } else if (h < 2.0f) {
        red = x, green = 1.0f, blue = 0.0f;
    } else if (h < 3.0f) {
        red = 0.0f, green = 1.0f, blue = x;
    } else if (h < 4.0f) {
        red = 0.0f, green = x, blue = 1.0f;
    } else {  // h >= 4 or NaN: the dark end
        red = x * 0.5f, green = 0.0f, blue = 0.5f;
    }
    return PackColor(ChannelByte(red), ChannelByte(green), ChannelByte(blue)) | kOpaque;
}

// maxps yields its second operand for NaN, so NaN and negative lanes both become 0 before the
// conversion, as in ChannelByte.
inline Ints ChannelBytes(Floats value) {
    const Floats clamped = Min(Max(value, Floats::Broadcast(0.0f)), Floats::Broadcast(1.0f));
    return RoundToInt32(clamped * Floats::Broadcast(255.0f));
}

Ints VectorPixels(Floats values, Floats minValue, Floats range) {
    const Floats zero = Floats::Broadcast(0.0f);
    const Floats half = Floats::Broadcast(0.5f);
    const Floats one = Floats::Broadcast(1.0f);
    const Floats two = Floats::Broadcast(2.0f);
    const Floats three = Floats::Broadcast(3.0f);
    const Floats four = Floats::Broadcast(4.0f);

    const Floats t = (values - minValue) / range;
    const Floats cosine = Cos(t * Floats::Broadcast(kPi));
    const Floats h = ((one - cosine) * Floats::Broadcast(-0.5f) + one) * Floats::Broadcast(5.0f);
    // With |cos| <= 1, h lies in [0, 5] (or is NaN), so trunc(h / 2) is 0, 1 or 2 and the
    // remainder is h, h - 2 or h - 4. Each of these is exact in single precision, so the lanes
    // give the double-precision remainder exactly for any h in (-2, 6), and NaN passes
    // through the subtraction.
    const Floats whole =
        Select(GreaterOrEqual(h, four), four, Select(GreaterOrEqual(h, two), two, zero));
    const Floats m = h - whole;
    const Floats x = one - Abs(m - one);

    // The bands by the first comparison that holds; NaN fails them all and lands in the last.
    const Floats below1 = LessThan(h, one);
    const Floats below2 = LessThan(h, two);
    const Floats below3 = LessThan(h, three);
    const Floats below4 = LessThan(h, four);
    const Floats red = Select(below1, one, Select(below2, x, Select(below4, zero, x * half)));
    const Floats green = Select(below1, x, Select(below3, one, Select(below4, x, zero)));
    const Floats blue = Select(below2, zero, Select(below3, x, Select(below4, one, half)));
    return ChannelBytes(red) | ShiftLeft<8>(ChannelBytes(green)) |
           ShiftLeft<16>(ChannelBytes(blue)) | Ints::Broadcast(static_cast<int32_t>(kOpaque));
}

}  // namespace

// Row by row, kLanes pixels at a time with the vector cosine and the rest of each row with the
// scalar one, so a pixel's bits depend only on its column position within its row.
void Execute(ColorMapJob* job) {
    const int32_t width = job->width;
    const int32_t height = job->height;
    if (height <= 0 || width <= 0) return;
    const float* values = static_cast<const float*>(job->values.pointer);
    uint32_t* pixels = static_cast<uint32_t*>(job->pixels.pointer);
    const float minValue = job->minValue;
    const float range = job->maxValue - job->minValue;
    const Floats minValues = Floats::Broadcast(minValue);
    const Floats ranges = Floats::Broadcast(range);

    for (int32_t r = 0; r < height; ++r) {
        const int64_t rowStart = static_cast<int64_t>(r) * width;
        const float* rowValues = values + rowStart;
        uint32_t* rowPixels = pixels + rowStart;
        int32_t c = 0;
        for (; c <= width - kLanes; c += kLanes) {
            VectorPixels(Floats::Load(rowValues + c), minValues, ranges).Store(rowPixels + c);
        }
        for (; c < width; ++c)
            rowPixels[c] = ScalarPixel(rowValues[c], minValue, range);
    }
}

}  // namespace Vocetta::VOCETTA_VARIANT
