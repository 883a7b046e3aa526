// The display textures, driven through each build's entries as a host fills and passes the job
// records. Expected pixels come from worked values and from a double-precision ramp.
#include <xmmintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <random>

#include "support.hpp"

namespace Vocetta::Testing {
namespace {

constexpr uint32_t kSentinel = 0xDEADBEEFu;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
// Wider than either build's vector and not a multiple of it: every row has lanes and a rest.
constexpr int32_t kWideRow = 15;

using Pixel = std::array<int, 4>;  // red, green, blue, alpha

Pixel Channels(uint32_t pixel) {
    return {int(pixel & 0xFF), int(pixel >> 8 & 0xFF), int(pixel >> 16 & 0xFF), int(pixel >> 24)};
}

bool WithinOneStep(const Pixel& a, const Pixel& b) {
    for (int i = 0; i < 4; ++i) {
        if (std::abs(a[i] - b[i]) > 1) return false;
    }
    return true;
}

NativeArray View(void* pointer, size_t count) {
    return NativeArray{pointer, static_cast<int32_t>(count), VOCETTA_ALLOCATOR_NONE};
}

// Sets the thread's SSE rounding mode for one scope.
class RoundingMode {
  public:
    explicit RoundingMode(uint32_t mode) : saved_(_mm_getcsr()) {
        _mm_setcsr((saved_ & ~_MM_ROUND_MASK) | mode);
    }
    ~RoundingMode() { _mm_setcsr(saved_); }

  private:
    uint32_t saved_;
};

// ---- ColorMapJob --------------------------------------------------------------------------

class ColorMap : public BuildTest {
  protected:
    // Paints `values` as a grid of `width` columns and returns the pixels.
    std::vector<uint32_t> Paint(std::vector<float> values, int32_t width, float minValue,
                                float maxValue) const {
        std::vector<uint32_t> pixels(values.size(), kSentinel);
        ColorMapJob job{View(pixels.data(), pixels.size()),
                        View(values.data(), values.size()),
                        width,
                        static_cast<int32_t>(values.size()) / width,
                        minValue,
                        maxValue};
        entries().ColorMapJob_Execute(&job);
        return pixels;
    }
    // One value across a whole row, so that it passes through the lanes and the rest.
    std::vector<Pixel> PaintRow(float value, float minValue = 0.0f, float maxValue = 1.0f) const {
        std::vector<Pixel> row;
        for (uint32_t pixel :
             Paint(std::vector<float>(kWideRow, value), kWideRow, minValue, maxValue)) {
            row.push_back(Channels(pixel));
        }
        return row;
    }
};

// The ramp in double precision, straight from its definition, and h for the caller to see how
// close the value lies to the one discontinuity (h = 4).
Pixel ReferenceRamp(double t, double* hOut = nullptr) {
    const double h = 5.0 * (1.0 + std::cos(M_PI * t)) / 2.0;
    const double x = 1.0 - std::abs(std::fmod(h, 2.0) - 1.0);
    double r, g, b;
    if (h < 1) {
        r = 1, g = x, b = 0;
    } else if (h < 2) {
        r = x, g = 1, b = 0;
    } else if (h < 3) {
        r = 0, g = 1, b = x;
    } else if (h < 4) {
        r = 0, g = x, b = 1;
    } else {
        r = x / 2, g = 0, b = 0.5;
    }
    if (hOut != nullptr) *hOut = h;
    const auto byte = [](double v) { return int(std::nearbyint(std::min(1.0, v) * 255)); };
    return {byte(r), byte(g), byte(b), 255};
}

// The value between 0 and 1 at which the ramp reaches h.
float ValueAtHue(double h) {
    return float(std::acos(2.0 * h / 5.0 - 1.0) / M_PI);
}

TEST_P(ColorMap, WorkedValuesBetweenZeroAndOne) {
    const std::vector<std::pair<float, Pixel>> cases = {{0.0f, {128, 0, 128, 255}},
                                                        {0.25f, {34, 0, 128, 255}},
                                                        {0.75f, {255, 187, 0, 255}},
                                                        {0.9f, {255, 31, 0, 255}},
                                                        {1.0f, {255, 0, 0, 255}}};
    for (const auto& [value, expected] : cases) {
        for (const Pixel& pixel : PaintRow(value))
            EXPECT_EQ(pixel, expected) << "value " << value;
    }
}

// One value inside each band, a quarter step from its edges, so each channel is far from a
// rounding tie: the bands come in the right order with the right channel on X.
TEST_P(ColorMap, EachBandPaintsItsChannels) {
    const std::vector<std::pair<double, Pixel>> cases = {{0.25, {255, 64, 0, 255}},
                                                         {1.25, {191, 255, 0, 255}},
                                                         {2.25, {0, 255, 64, 255}},
                                                         {3.25, {0, 191, 255, 255}},
                                                         {4.25, {32, 0, 128, 255}}};
    for (const auto& [h, expected] : cases) {
        for (const Pixel& pixel : PaintRow(ValueAtHue(h)))
            EXPECT_EQ(pixel, expected) << "h " << h;
    }
}

// Bright blue on the hot side of h = 4, dark blue on the cold side.
TEST_P(ColorMap, StepToDarkBlueAtHueFour) {
    const float edge = ValueAtHue(4.0);
    for (const Pixel& pixel : PaintRow(edge + 1e-4f))
        EXPECT_EQ(pixel, (Pixel{0, 0, 255, 255}));
    for (const Pixel& pixel : PaintRow(edge - 1e-4f))
        EXPECT_EQ(pixel, (Pixel{0, 0, 128, 255}));
}

TEST_P(ColorMap, OutOfRangeValuesMirrorInside) {
    EXPECT_EQ(PaintRow(-0.2f), PaintRow(0.2f));
    EXPECT_EQ(PaintRow(1.2f), PaintRow(0.8f));
    // The bounds need not be 0 and 1, nor in ascending order.
    EXPECT_EQ(PaintRow(-10.0f, -10.0f, 30.0f)[0], (Pixel{128, 0, 128, 255}));
    EXPECT_EQ(PaintRow(-10.0f, 30.0f, -10.0f)[0], (Pixel{255, 0, 0, 255}));
}

TEST_P(ColorMap, EqualBoundsAndNaNPaintDarkBlue) {
    for (float value : {0.5f, 0.0f, -3.0f, std::numeric_limits<float>::infinity()}) {
        for (const Pixel& pixel : PaintRow(value, 0.5f, 0.5f)) {
            EXPECT_EQ(pixel, (Pixel{0, 0, 128, 255})) << "value " << value;
        }
    }
    for (const Pixel& pixel : PaintRow(kNaN))
        EXPECT_EQ(pixel, (Pixel{0, 0, 128, 255}));
}

// Blue 0.5 is the tie 127.5: the thread's rounding mode decides it, in the lanes and the rest.
TEST_P(ColorMap, ChannelsRoundInTheThreadsMode) {
    {
        const RoundingMode down(_MM_ROUND_DOWN);
        for (const Pixel& pixel : PaintRow(kNaN))
            EXPECT_EQ(pixel, (Pixel{0, 0, 127, 255}));
    }
    {
        const RoundingMode up(_MM_ROUND_UP);
        for (const Pixel& pixel : PaintRow(kNaN))
            EXPECT_EQ(pixel, (Pixel{0, 0, 128, 255}));
    }
}

// Many values across rows of several widths: every pixel within one step of the exact ramp
// (the cosine's error can tip a channel across a rounding tie), except right at the jump.
TEST_P(ColorMap, FollowsTheExactRampInLanesAndRest) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> spread(-1.5f, 2.5f);
    for (int32_t width : {1, 3, 4, 7, 8, 9, kWideRow, 64}) {
        std::vector<float> values(static_cast<size_t>(width) * 29);
        for (float& value : values)
            value = spread(random);
        const float minValue = -0.25f, maxValue = 1.75f;
        const std::vector<uint32_t> pixels = Paint(values, width, minValue, maxValue);
        for (size_t i = 0; i < values.size(); ++i) {
            double h;
            const Pixel expected =
                ReferenceRamp((double(values[i]) - minValue) / (double(maxValue) - minValue), &h);
            if (std::abs(h - 4.0) < 1e-4) continue;
            EXPECT_TRUE(WithinOneStep(Channels(pixels[i]), expected))
                << "width " << width << ", pixel " << i << ", value " << values[i];
        }
    }
}

TEST_P(ColorMap, EmptyGridWritesNothingAndNeitherJobAllocates) {
    const Host::Accounting accounting;
    std::vector<float> values(16, 0.5f);
    std::vector<uint32_t> pixels(16, kSentinel);
    for (const auto& [width, height] :
         std::vector<std::pair<int32_t, int32_t>>{{0, 4}, {4, 0}, {-4, 4}, {4, -4}, {-4, -4}}) {
        ColorMapJob job{View(pixels.data(), 16), View(values.data(), 16), width, height, 0, 1};
        entries().ColorMapJob_Execute(&job);
    }
    EXPECT_EQ(pixels, std::vector<uint32_t>(16, kSentinel));
    Paint(values, 4, 0.0f, 1.0f);
    EXPECT_TRUE(accounting.calls().empty());
    ExpectCleanTraffic(accounting);
}

VOCETTA_TEST_EACH_BUILD(ColorMap);

// ---- PhonemeTextureJob ----------------------------------------------------------------------

struct Texture {
    std::vector<PhonemeColor> colors;
    std::vector<float> scores;  // width x phonemeCount
    std::vector<float> levels;  // width
    int32_t height = 1;
    int32_t phonemeCount = 1;
    float blendFactor = 1.0f;
};

class PhonemeTexture : public BuildTest {
  protected:
    // Returns the pixels, row after row.
    std::vector<uint32_t> Paint(Texture texture, int32_t width = -1) const {
        if (width < 0) width = static_cast<int32_t>(texture.levels.size());
        std::vector<uint32_t> pixels(
            static_cast<size_t>(std::max(width, 0)) * std::max(texture.height, 0) + 1, kSentinel);
        PhonemeTextureJob job{View(pixels.data(), pixels.size()),
                              View(texture.colors.data(), texture.colors.size()),
                              View(texture.scores.data(), texture.scores.size()),
                              View(texture.levels.data(), texture.levels.size()),
                              width,
                              texture.height,
                              texture.phonemeCount,
                              texture.blendFactor};
        entries().PhonemeTextureJob_Execute(&job);
        EXPECT_EQ(pixels.back(), kSentinel) << "wrote past width x height";
        pixels.pop_back();
        return pixels;
    }
};

// Level `level` in every one of `width` columns of a texture `height` rows high; returns which
// rows are opaque, checking that every column agrees and alpha is 0 or 255.
std::vector<bool> OpaqueRows(const std::vector<uint32_t>& pixels, int32_t width) {
    std::vector<bool> rows;
    for (size_t start = 0; start < pixels.size(); start += width) {
        const int alpha = Channels(pixels[start])[3];
        EXPECT_TRUE(alpha == 0 || alpha == 255);
        for (int32_t c = 1; c < width; ++c)
            EXPECT_EQ(Channels(pixels[start + c])[3], alpha);
        rows.push_back(alpha == 255);
    }
    return rows;
}

Texture Uniform(float level, int32_t height, int32_t width = kWideRow) {
    Texture texture;
    texture.colors = {{0.25f, 0.5f, 1.0f, 0.0f}};
    texture.scores.assign(width, 1.0f);
    texture.levels.assign(width, level);
    texture.height = height;
    return texture;
}

TEST_P(PhonemeTexture, SmoothingApproachesTheMix) {
    Texture texture;
    texture.colors = {{1.0f, 0.0f, 0.0f, 0.0f}};
    texture.scores = {1, 1, 1, 1};
    texture.levels = {1, 1, 1, 1};
    texture.blendFactor = 0.5f;
    const std::vector<uint32_t> pixels = Paint(texture);
    EXPECT_EQ(Channels(pixels[0]), (Pixel{128, 0, 0, 255}));
    EXPECT_EQ(Channels(pixels[1]), (Pixel{191, 0, 0, 255}));
    EXPECT_EQ(Channels(pixels[2]), (Pixel{223, 0, 0, 255}));
    EXPECT_EQ(Channels(pixels[3]), (Pixel{239, 0, 0, 255}));
    {
        // 0.5 x 255 is a tie, decided by the thread's rounding mode.
        const RoundingMode down(_MM_ROUND_DOWN);
        EXPECT_EQ(Channels(Paint(texture)[0]), (Pixel{127, 0, 0, 255}));
    }
}

TEST_P(PhonemeTexture, LevelSetsTheOpaqueBand) {
    const auto rows = [&](float level, int32_t height) {
        return OpaqueRows(Paint(Uniform(level, height)), kWideRow);
    };
    EXPECT_EQ(rows(1.0f, 6), std::vector<bool>(6, true));
    EXPECT_EQ(rows(7.0f, 5), std::vector<bool>(5, true));
    EXPECT_EQ(rows(0.0f, 6), (std::vector<bool>{false, false, false, true, false, false}));
    EXPECT_EQ(rows(0.0f, 5), std::vector<bool>(5, false));
    EXPECT_EQ(rows(-0.5f, 6), std::vector<bool>(6, false));
    EXPECT_EQ(rows(kNaN, 6), std::vector<bool>(6, true));
    // |y| <= sqrt(0.25) with y = (k - 4) / 4: rows 2 to 6 of 8.
    EXPECT_EQ(rows(0.25f, 8),
              (std::vector<bool>{false, false, true, true, true, true, true, false}));
    // The colour is written whether the pixel is opaque or not.
    for (uint32_t pixel : Paint(Uniform(-1.0f, 3))) {
        EXPECT_EQ(Channels(pixel), (Pixel{64, 128, 255, 0}));
    }
}

// Each column follows its own level, across the lanes and the rest of the rows.
TEST_P(PhonemeTexture, LevelsPerColumn) {
    Texture texture = Uniform(0.0f, 8, 13);
    for (int32_t c = 0; c < 13; ++c)
        texture.levels[c] = c % 3 == 0 ? 1.0f : c % 3 == 1 ? -1 : kNaN;
    const std::vector<uint32_t> pixels = Paint(texture);
    for (int32_t k = 0; k < 8; ++k) {
        for (int32_t c = 0; c < 13; ++c) {
            EXPECT_EQ(Channels(pixels[k * 13 + c])[3], c % 3 == 1 ? 0 : 255)
                << "row " << k << ", column " << c;
        }
    }
}

TEST_P(PhonemeTexture, MorePhonemesThanColoursWrapAround) {
    Texture texture;
    texture.colors = {{1, 0, 0, 0}, {0, 1, 0, 0}};
    texture.phonemeCount = 5;
    // Columns 0 to 4 each score one phoneme; column 5 scores all five equally.
    for (int32_t c = 0; c < 5; ++c) {
        for (int32_t p = 0; p < 5; ++p)
            texture.scores.push_back(p == c ? 1.0f : 0.0f);
    }
    for (int32_t p = 0; p < 5; ++p)
        texture.scores.push_back(0.2f);
    texture.levels.assign(6, 1.0f);
    const std::vector<uint32_t> pixels = Paint(texture);
    for (int32_t c = 0; c < 5; ++c) {
        EXPECT_EQ(Channels(pixels[c]),
                  (c % 2 == 0 ? Pixel{255, 0, 0, 255} : Pixel{0, 255, 0, 255}));
    }
    EXPECT_EQ(Channels(pixels[5]), (Pixel{153, 102, 0, 255}));
}

TEST_P(PhonemeTexture, MixWeighsEveryPhoneme) {
    Texture texture;
    texture.colors = {{1.0f, 0.5f, 0.0f, 9.0f}, {0.0f, 0.5f, 1.0f, 9.0f}};
    texture.phonemeCount = 2;
    texture.scores = {0.75f, 0.25f, 0.5f, 0.5f};
    texture.levels = {1, 1};
    const std::vector<uint32_t> pixels = Paint(texture);
    EXPECT_EQ(Channels(pixels[0]), (Pixel{191, 128, 64, 255}));
    EXPECT_EQ(Channels(pixels[1]), (Pixel{128, 128, 128, 255}));
}

TEST_P(PhonemeTexture, OutOfRangeMixesClampAndNaNStaysBlack) {
    Texture texture;
    texture.colors = {{1, 1, 1, 0}};
    texture.scores = {2.0f, -1.0f, kNaN, 1.0f};
    texture.levels = {1, 1, 1, 1};
    const std::vector<uint32_t> pixels = Paint(texture);
    EXPECT_EQ(Channels(pixels[0]), (Pixel{255, 255, 255, 255}));
    EXPECT_EQ(Channels(pixels[1]), (Pixel{0, 0, 0, 255}));
    // With blendFactor 1 the smoothing still carries NaN forward: NaN + (1 - NaN) x 1.
    EXPECT_EQ(Channels(pixels[2]), (Pixel{0, 0, 0, 255}));
    EXPECT_EQ(Channels(pixels[3]), (Pixel{0, 0, 0, 255}));
}

TEST_P(PhonemeTexture, NoPhonemesPaintBlack) {
    Texture texture = Uniform(1.0f, 2, 3);
    texture.phonemeCount = 0;
    for (uint32_t pixel : Paint(texture))
        EXPECT_EQ(pixel, 0xFF000000u);
}

// No colours to index would be a division by zero; the column stays black instead.
TEST_P(PhonemeTexture, NoColoursPaintBlack) {
    Texture texture = Uniform(1.0f, 2, 3);
    texture.colors.clear();
    for (uint32_t pixel : Paint(texture))
        EXPECT_EQ(pixel, 0xFF000000u);
}

TEST_P(PhonemeTexture, EmptyTextureWritesNothing) {
    const Host::Accounting accounting;
    for (const auto& [width, height] :
         std::vector<std::pair<int32_t, int32_t>>{{0, 4}, {4, 0}, {-4, 4}, {4, -4}}) {
        Texture texture = Uniform(1.0f, height, 4);
        std::vector<uint32_t> pixels(16, kSentinel);
        PhonemeTextureJob job{View(pixels.data(), 16),
                              View(texture.colors.data(), 1),
                              View(texture.scores.data(), 4),
                              View(texture.levels.data(), 4),
                              width,
                              height,
                              1,
                              1.0f};
        entries().PhonemeTextureJob_Execute(&job);
        EXPECT_EQ(pixels, std::vector<uint32_t>(16, kSentinel));
    }
    Paint(Uniform(0.5f, 9));
    EXPECT_TRUE(accounting.calls().empty());
    ExpectCleanTraffic(accounting);
}

VOCETTA_TEST_EACH_BUILD(PhonemeTexture);

// The exported forwarders reach the same code as the build the library selected.
TEST(DisplayForwarders, MatchTheSelectedBuild) {
    const Host::Entries& selected = Library().variant(Host::SelectedVariant());
    std::vector<float> values(2 * kWideRow);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = float(i) / values.size();
    std::vector<uint32_t> viaForwarder(5 * kWideRow), viaVariant(5 * kWideRow);
    ColorMapJob job{View(viaForwarder.data(), values.size()),
                    View(values.data(), values.size()),
                    kWideRow,
                    2,
                    0.0f,
                    1.0f};
    Library().entries().ColorMapJob_Execute(&job);
    job.pixels = View(viaVariant.data(), values.size());
    selected.ColorMapJob_Execute(&job);
    EXPECT_EQ(viaForwarder, viaVariant);

    Texture texture = Uniform(0.3f, 5);
    PhonemeTextureJob textureJob{View(viaForwarder.data(), 5 * kWideRow),
                                 View(texture.colors.data(), 1),
                                 View(texture.scores.data(), kWideRow),
                                 View(texture.levels.data(), kWideRow),
                                 kWideRow,
                                 5,
                                 1,
                                 0.5f};
    Library().entries().PhonemeTextureJob_Execute(&textureJob);
    textureJob.pixels = View(viaVariant.data(), 5 * kWideRow);
    selected.PhonemeTextureJob_Execute(&textureJob);
    EXPECT_EQ(viaForwarder, viaVariant);
}

}  // namespace
}  // namespace Vocetta::Testing
