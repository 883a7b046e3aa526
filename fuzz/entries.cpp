// One fuzz target per exported entry. Each decodes the entry's arguments from the input: lengths,
// sizes and rates the contract allows and the out-of-contract values the library mends (counts
// of 0 or below, any ring start, any rate, oversized coefficient counts, reserved control-word
// bits), with float data of any bits. Every call runs through both builds and the forwarder on
// guarded arrays (harness.hpp); where a result is known exactly, it is checked too.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

#include "harness.hpp"
#include "targets.hpp"

namespace Vocetta::Fuzz {
namespace {

constexpr int32_t kMaxLength = 4096;
// Every transform level borrows four arrays, each through the accounting: shorter transforms
// keep the run rate up.
constexpr int32_t kMaxTransform = 1024;

size_t Size(int32_t count) {
    return count > 0 ? static_cast<size_t>(count) : 0;
}

float FloatAt(const std::vector<uint8_t>& bytes, size_t index) {
    float value;
    std::memcpy(&value, bytes.data() + index * sizeof value, sizeof value);
    return value;
}

uint32_t WordAt(const std::vector<uint8_t>& bytes, size_t index) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + index * sizeof value, sizeof value);
    return value;
}

constexpr int64_t kAllocate = static_cast<int64_t>(Host::ServiceCall::Kind::Allocate);
constexpr int64_t kRelease = static_cast<int64_t>(Host::ServiceCall::Kind::Release);

// The transform's traffic: every level of length n >= 2 takes four arrays of n / 2 floats, runs
// its even half and then its odd half, and gives the four back.
void AppendFftTraffic(int32_t n, std::vector<int64_t>& traffic) {
    if (n < 2) return;
    const int32_t h = n / 2;
    for (int i = 0; i < 4; ++i)
        traffic.insert(traffic.end(), {kAllocate, int64_t{h} * 4});
    AppendFftTraffic(h, traffic);
    AppendFftTraffic(h, traffic);
    for (int i = 0; i < 4; ++i)
        traffic.push_back(kRelease);
}

void RequireNoTraffic(const Outcome& outcome, const char* entry) {
    if (!outcome.traffic.empty()) Fail(std::string(entry) + " called a host service");
}

// A positive rate: a common one, or any in 1 ... 400 kHz.
float RateIn(Input& input) {
    constexpr float kRates[] = {8000.0f,  11025.0f, 16000.0f, 22050.0f,
                                32000.0f, 44100.0f, 48000.0f};
    const uint8_t choice = input.Byte();
    if (choice < 128) return kRates[choice % 7];
    return input.FloatIn(1.0f, 400000.0f);
}

// Runs a call that gives nothing back through every build (RunEveryBuild) and checks that it
// called no host service.
using Body = std::function<void(const Host::Entries& e, Arena& arena)>;
Outcome RunWithoutServices(const char* entry, uint32_t control, const Body& body) {
    const Outcome outcome = RunEveryBuild(
        [&](const Host::Entries& e, Arena& arena) -> uint64_t {
            body(e, arena);
            return 0;
        },
        control);
    RequireNoTraffic(outcome, entry);
    return outcome;
}

// What most kernels are given first: a control word, a count up to `maxLength` (now and then one
// of 0 or below) and that many floats.
struct Block {
    uint32_t control;
    int32_t length;
    std::vector<float> values;
};

Block ReadBlock(Input& input, int32_t maxLength = kMaxLength) {
    Block block;
    block.control = ControlWordFrom(input);
    block.length = input.Count(maxLength);
    block.values = input.Floats(Size(block.length));
    return block;
}

// A kernel that rewrites a block in place.
using InPlace = std::function<void(const Host::Entries& e, float* values, int32_t length)>;
Outcome RunInPlace(const char* entry, const Block& block, const InPlace& kernel) {
    return RunWithoutServices(entry, block.control, [&](const Host::Entries& e, Arena& arena) {
        kernel(e, arena.Floats(block.values, false), block.length);
    });
}

// A measure of a block, which it only reads; the outcome's result is the measure's bits.
using Measure = std::function<float(const Host::Entries& e, const float* values, int32_t length)>;
Outcome RunMeasure(const char* entry, const Block& block, const Measure& measure) {
    const Outcome outcome = RunEveryBuild(
        [&](const Host::Entries& e, Arena& arena) -> uint64_t {
            return BitsOf(measure(e, arena.Floats(block.values, true), block.length));
        },
        block.control);
    RequireNoTraffic(outcome, entry);
    return outcome;
}

}  // namespace

int Entry_ReturnOne(const uint8_t*, size_t) {
    const Outcome outcome =
        RunEveryBuild([](const Host::Entries& e, Arena&) -> uint64_t { return e._ReturnOne(); });
    Require(outcome.result == 1, "_ReturnOne did not return 1");
    RequireNoTraffic(outcome, "_ReturnOne");
    return 0;
}

int Entry_Interpolate(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    const int32_t inputLength = input.Count(kMaxLength);
    const int32_t outputLength = input.Count(kMaxLength);
    const float ratio = input.Bool() ? input.AnyFloat() : input.FloatIn(0.0f, 8.0f);
    const std::vector<float> samples = input.Floats(Size(inputLength));
    const std::vector<float> output(Size(outputLength), -7.0f);
    const Outcome outcome =
        RunWithoutServices("_Interpolate", control, [&](const Host::Entries& e, Arena& arena) {
            e._Interpolate(arena.Floats(samples, true), inputLength, arena.Floats(output, false),
                           outputLength, ratio);
        });
    return 0;
}

int EntryColorMapJob_Execute(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    const int32_t width = input.Count(64), height = input.Count(64);
    const size_t pixelCount = Size(width) * Size(height);
    const std::vector<float> values = input.Floats(pixelCount);
    const float minValue = input.AnyFloat(), maxValue = input.AnyFloat();
    constexpr uint32_t kUnpainted = 0x5A5A5A5A;
    const std::vector<uint32_t> pixels(pixelCount, kUnpainted);
    const Outcome outcome =
        RunWithoutServices("ColorMapJob", control, [&](const Host::Entries& e, Arena& arena) {
            ColorMapJob job{};
            job.pixels = {arena.Bytes(pixels.data(), pixels.size() * 4, false),
                          static_cast<int32_t>(pixelCount), VOCETTA_ALLOCATOR_NONE};
            job.values = {arena.Floats(values, true), static_cast<int32_t>(pixelCount),
                          VOCETTA_ALLOCATOR_NONE};
            job.width = width;
            job.height = height;
            job.minValue = minValue;
            job.maxValue = maxValue;
            e.ColorMapJob_Execute(static_cast<ColorMapJob*>(arena.Bytes(&job, sizeof job, true)));
        });
    // Every pixel is painted, and opaque.
    for (size_t i = 0; i < pixelCount; ++i) {
        if ((WordAt(outcome.written, i) >> 24) != 255) Fail("ColorMapJob left a pixel not opaque");
    }
    return 0;
}

int Entry_DCT(const uint8_t* data, size_t size) {
    Input input(data, size);
    const Block block = ReadBlock(input, 256);
    const std::vector<float> output(Size(block.length), -7.0f);
    const Outcome outcome =
        RunWithoutServices("_DCT", block.control, [&](const Host::Entries& e, Arena& arena) {
            e._DCT(arena.Floats(block.values, true), arena.Floats(output, false), block.length);
        });
    // One point: the cosine of 0 is exactly 1.
    const std::vector<float>& values = block.values;
    if (block.length == 1 && block.control == kDefaultControlWord && std::isfinite(values[0])) {
        Require(SameBits(FloatAt(outcome.written, 0), values[0] + 0.0f),
                "_DCT of one value is not that value");
    }
    return 0;
}

int Entry_MelFilterBank(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    const int32_t spectrumLength = input.Count(kMaxLength);
    const float sampleRate = input.Bool() ? input.AnyFloat() : RateIn(input);
    const int32_t melDiv = input.Count(512);
    const std::vector<float> spectrum = input.Floats(Size(spectrumLength));
    const std::vector<float> bands(Size(melDiv), -7.0f);
    const Outcome outcome =
        RunWithoutServices("_MelFilterBank", control, [&](const Host::Entries& e, Arena& arena) {
            e._MelFilterBank(arena.Floats(spectrum, true), arena.Floats(bands, false),
                             spectrumLength, sampleRate, melDiv);
        });
    // A spectrum of fewer than two bins has no bin inside any band.
    if (spectrumLength < 2) {
        for (size_t i = 0; i < Size(melDiv); ++i)
            Require(SameBits(FloatAt(outcome.written, i), 0.0f), "a band without bins is not 0");
    }
    return 0;
}

int Entry_FFT(const uint8_t* data, size_t size) {
    Input input(data, size);
    const Block block = ReadBlock(input, kMaxTransform);
    const int32_t n = block.length;
    const std::vector<float>& re = block.values;
    const std::vector<float> im = input.Floats(Size(n));
    const Outcome outcome = RunEveryBuild(
        [&](const Host::Entries& e, Arena& arena) -> uint64_t {
            float* spectrumRe = arena.Floats(re, false);
            float* spectrumIm = arena.Floats(im, false);
            e._FFT(spectrumRe, spectrumIm, n);
            return 0;
        },
        block.control);
    std::vector<int64_t> expected;
    AppendFftTraffic(n, expected);
    Require(outcome.traffic == expected, "_FFT made other host traffic than its recursion");
    if (n < 2) {
        for (size_t i = 0; i < Size(n); ++i)
            Require(SameBits(FloatAt(outcome.written, i), re[i]), "_FFT of < 2 points wrote");
    }
    return 0;
}

int Entry_SetControlWord(const uint8_t* data, size_t size) {
    Input input(data, size);
    const auto value = static_cast<int32_t>(input.Bits());
    // The bits this processor implements, as it reports them.
    alignas(16) uint8_t area[512];
    _fxsave(area);
    uint32_t mask;
    std::memcpy(&mask, area + 28, sizeof mask);
    if (mask == 0) mask = 0xFFBF;
    const Outcome outcome = RunEveryBuild([&](const Host::Entries& e, Arena&) -> uint64_t {
        e._SetControlWord(value);
        return static_cast<uint32_t>(e._GetControlWord());
    });
    Require(outcome.result == (static_cast<uint32_t>(value) & mask),
            "_SetControlWord did not load the implemented bits of its value");
    RequireNoTraffic(outcome, "_SetControlWord");
    return 0;
}

int Entry_ApplyPreEmphasis(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    const int32_t length = input.Count(kMaxLength);
    const float coefficient = input.Bool() ? input.AnyFloat() : 0.97f;
    // The two arrays apart, the same, or overlapping by up to 8 elements either way.
    const uint8_t layout = input.Byte() % 3;
    const int32_t shift = layout == 2 ? input.IntIn(-8, 8) : 0;
    const size_t span = Size(length) + static_cast<size_t>(std::abs(shift));
    const std::vector<float> initial = input.Floats(layout == 0 ? 2 * Size(length) : span);
    const size_t dataOffset = layout == 0 ? 0 : static_cast<size_t>(std::max(shift, 0));
    const size_t sourceOffset =
        layout == 0 ? Size(length) : static_cast<size_t>(-std::min(shift, 0));

    const Outcome outcome =
        RunWithoutServices("_ApplyPreEmphasis", control, [&](const Host::Entries& e, Arena& arena) {
            if (layout == 0) {
                const std::vector<float> front(initial.begin(), initial.begin() + Size(length));
                const std::vector<float> back(initial.begin() + Size(length), initial.end());
                float* target = arena.Floats(front, false);
                e._ApplyPreEmphasis(target, arena.Floats(back, true), length, coefficient);
            } else {
                float* buffer = arena.Floats(initial, false);
                e._ApplyPreEmphasis(buffer + dataOffset, buffer + sourceOffset, length,
                                    coefficient);
            }
        });

    // The defining loop, one element after the other, under the same control word.
    std::vector<float> expected = initial;
    float* target = expected.data() + dataOffset;
    const float* source = expected.data() + sourceOffset;
    const uint32_t saved = _mm_getcsr();
    _mm_setcsr(control);
    for (int32_t i = 1; i < length; ++i) {
        const float product = coefficient * source[i - 1];
        target[i] = source[i] - product;
    }
    _mm_setcsr(saved);
    const size_t written = layout == 0 ? Size(length) : span;
    for (size_t i = 0; i < written; ++i) {
        if (!SameBits(FloatAt(outcome.written, i), expected[i]))
            Fail("_ApplyPreEmphasis differs from the element-by-element loop at " +
                 std::to_string(i));
    }
    return 0;
}

int Entry_ApplyHammingWindow(const uint8_t* data, size_t size) {
    Input input(data, size);
    RunInPlace("_ApplyHammingWindow", ReadBlock(input),
               [](const Host::Entries& e, float* values, int32_t length) {
                   e._ApplyHammingWindow(values, length);
               });
    return 0;
}

int EntryPhonemeTextureJob_Execute(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    const int32_t width = input.Count(64), height = input.Count(64);
    const int32_t phonemeCount = input.Count(16);
    const int32_t colorCount = input.IntIn(0, 8);
    const std::vector<float> colors = input.Floats(Size(colorCount) * 4);
    const std::vector<float> scores = input.Floats(Size(width) * Size(phonemeCount));
    const std::vector<float> levels = input.Floats(Size(width));
    const float blendFactor = input.Bool() ? input.AnyFloat() : input.FloatIn(0.0f, 1.0f);
    const size_t pixelCount = Size(width) * Size(height);
    const std::vector<uint32_t> pixels(pixelCount, 0x5A5A5A5A);
    const Outcome outcome =
        RunWithoutServices("PhonemeTextureJob", control, [&](const Host::Entries& e, Arena& arena) {
            PhonemeTextureJob job{};
            job.pixels = {arena.Bytes(pixels.data(), pixels.size() * 4, false),
                          static_cast<int32_t>(pixelCount), VOCETTA_ALLOCATOR_NONE};
            job.phonemeColors = {arena.Floats(colors, true), colorCount, VOCETTA_ALLOCATOR_NONE};
            job.scores = {arena.Floats(scores, true), static_cast<int32_t>(scores.size()),
                          VOCETTA_ALLOCATOR_NONE};
            job.levels = {arena.Floats(levels, true), static_cast<int32_t>(levels.size()),
                          VOCETTA_ALLOCATOR_NONE};
            job.width = width;
            job.height = height;
            job.phonemeCount = phonemeCount;
            job.blendFactor = blendFactor;
            e.PhonemeTextureJob_Execute(
                static_cast<PhonemeTextureJob*>(arena.Bytes(&job, sizeof job, true)));
        });
    // A column has one colour in every row; alpha is all or nothing.
    for (size_t c = 0; c < Size(width) && height > 0; ++c) {
        const uint32_t top = WordAt(outcome.written, c) & 0xFFFFFFu;
        for (size_t r = 0; r < Size(height); ++r) {
            const uint32_t pixel = WordAt(outcome.written, c + r * Size(width));
            if ((pixel & 0xFFFFFFu) != top) Fail("PhonemeTextureJob: two colours in a column");
            if ((pixel >> 24) != 0 && (pixel >> 24) != 255)
                Fail("PhonemeTextureJob: partial alpha");
        }
    }
    return 0;
}

int Entry_PeakMagnitude(const uint8_t* data, size_t size) {
    Input input(data, size);
    const Block block = ReadBlock(input);
    const Outcome outcome = RunMeasure(
        "_PeakMagnitude", block,
        [](const Host::Entries& e, const float* p, int32_t n) { return e._PeakMagnitude(p, n); });
    // max is exact: the largest magnitude that is not NaN, or 0. Denormals-are-zero may take a
    // denormal peak for 0, so the comparison needs that bit clear.
    if ((block.control & (1u << 6)) == 0) {
        float peak = 0.0f;
        for (float value : block.values) {
            if (!std::isnan(value)) peak = std::max(peak, std::fabs(value));
        }
        float got;
        const uint32_t bits = static_cast<uint32_t>(outcome.result);
        std::memcpy(&got, &bits, sizeof got);
        Require(got == peak, "_PeakMagnitude is not the largest magnitude");
    }
    return 0;
}

int Entry_RootMeanSquare(const uint8_t* data, size_t size) {
    Input input(data, size);
    RunMeasure(
        "_RootMeanSquare", ReadBlock(input),
        [](const Host::Entries& e, const float* p, int32_t n) { return e._RootMeanSquare(p, n); });
    return 0;
}

int Entry_EuclideanNorm(const uint8_t* data, size_t size) {
    Input input(data, size);
    const Block block = ReadBlock(input);
    const Outcome outcome = RunMeasure(
        "_EuclideanNorm", block,
        [](const Host::Entries& e, const float* p, int32_t n) { return e._EuclideanNorm(p, n); });
    if (block.length <= 0) Require(outcome.result == 0, "_EuclideanNorm of nothing is not +0");
    return 0;
}

namespace {

// Both mel conversions read only bit 0 of their flag: the byte as given and reduced to that bit
// must give the same bits.
template <typename Convert>
int MelConversion(const uint8_t* data, size_t size, Convert convert) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    const float value = input.AnyFloat();
    const uint8_t flag = input.Byte();
    const Outcome outcome = RunEveryBuild(
        [&](const Host::Entries& e, Arena&) -> uint64_t {
            return BitsOf(convert(e, value, flag)) << 32 |
                   BitsOf(convert(e, value, static_cast<uint8_t>(flag & 1u)));
        },
        control);
    RequireNoTraffic(outcome, "a mel conversion");
    Require((outcome.result >> 32) == (outcome.result & 0xFFFFFFFFu),
            "a mel conversion read more than bit 0 of its flag");
    return 0;
}

}  // namespace

int Entry_MelToFrequency(const uint8_t* data, size_t size) {
    return MelConversion(data, size, [](const Host::Entries& e, float mel, uint8_t flag) {
        return e._MelToFrequency(mel, flag);
    });
}

int Entry_FrequencyToMel(const uint8_t* data, size_t size) {
    return MelConversion(data, size, [](const Host::Entries& e, float hz, uint8_t flag) {
        return e._FrequencyToMel(hz, flag);
    });
}

int Entry_Decimate(const uint8_t* data, size_t size) {
    Input input(data, size);
    const int32_t outputLength = input.Count(1024);
    const int32_t step = input.IntIn(0, 64);
    // The input holds (outputLength - 1) x step + 1 samples or a few more.
    const size_t needed = outputLength > 0 ? Size(outputLength - 1) * Size(step) + 1 : 0;
    const std::vector<float> samples = input.Floats(needed + Size(input.IntIn(0, 3)));
    const std::vector<float> output(Size(outputLength), -7.0f);
    const Outcome outcome = RunWithoutServices(
        "_Decimate", kDefaultControlWord, [&](const Host::Entries& e, Arena& arena) {
            e._Decimate(arena.Floats(samples, true), arena.Floats(output, false), outputLength,
                        step);
        });
    for (size_t i = 0; i < Size(outputLength); ++i) {
        Require(SameBits(FloatAt(outcome.written, i), samples[i * Size(step)]),
                "_Decimate did not copy every step-th sample");
    }
    return 0;
}

int Entry_LowPassFilter(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    const int32_t dataLength = input.Count(2048);
    const int32_t tapCount = input.Count(512);
    const float cutoff = input.Bool() ? input.AnyFloat() : input.FloatIn(0.0f, 0.5f);
    const std::vector<float> samples = input.Floats(Size(dataLength));
    const std::vector<float> source = input.Floats(Size(dataLength));
    const std::vector<float> taps(Size(tapCount), -7.0f);
    const Outcome outcome =
        RunWithoutServices("_LowPassFilter", control, [&](const Host::Entries& e, Arena& arena) {
            float* filtered = arena.Floats(samples, false);
            float* filterTaps = arena.Floats(taps, false);
            e._LowPassFilter(filtered, dataLength, arena.Floats(source, true), filterTaps, tapCount,
                             cutoff);
        });
    if (tapCount <= 0) {
        for (size_t i = 0; i < Size(dataLength); ++i)
            Require(SameBits(FloatAt(outcome.written, i), samples[i]),
                    "_LowPassFilter without taps changed the data");
    }
    return 0;
}

int EntryFFT(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    const int32_t n = input.Count(kMaxTransform);
    const bool inPlace = input.Bool();  // the spectrum may be the data array itself
    const std::vector<float> samples = input.Floats(Size(n));
    const std::vector<float> spectrum(Size(n), -7.0f);
    const Outcome outcome = RunEveryBuild(
        [&](const Host::Entries& e, Arena& arena) -> uint64_t {
            if (inPlace) {
                float* both = arena.Floats(samples, false);
                e.FFT(both, both, n);
            } else {
                e.FFT(arena.Floats(samples, true), arena.Floats(spectrum, false), n);
            }
            return 0;
        },
        control);
    // Real and imaginary parts of N floats each (none for N <= 0), the transform, both back.
    std::vector<int64_t> expected = {kAllocate, int64_t{n > 0 ? n : 0} * 4, kAllocate,
                                     int64_t{n > 0 ? n : 0} * 4};
    AppendFftTraffic(n, expected);
    expected.insert(expected.end(), {kRelease, kRelease});
    Require(outcome.traffic == expected, "FFT made other host traffic than its transform");
    // Magnitudes are never negative.
    for (size_t i = 0; i < Size(n); ++i)
        Require(!(FloatAt(outcome.written, i) < 0.0f), "FFT wrote a negative magnitude");
    // One point is its own magnitude, where its square neither overflows nor underflows.
    if (n == 1 && control == kDefaultControlWord && std::fabs(samples[0]) >= 1e-18f &&
        std::fabs(samples[0]) <= 1e18f) {
        Require(SameBits(FloatAt(outcome.written, 0), std::fabs(samples[0])),
                "FFT of one point is not its magnitude");
    }
    return 0;
}

int Entry_PowerToDecibel(const uint8_t* data, size_t size) {
    Input input(data, size);
    const Block block = ReadBlock(input);
    const Outcome outcome = RunInPlace("_PowerToDecibel", block,
                                       [](const Host::Entries& e, float* values, int32_t length) {
                                           e._PowerToDecibel(values, length);
                                       });
    const auto& [control, length, values] = block;
    // Exact points: log10(1) = 0, log10(+-0) = -inf, log10(+inf) = +inf, negatives and NaN NaN.
    // Denormals-are-zero reads a denormal as 0.
    const bool denormalsAreZero = (control & (1u << 6)) != 0;
    for (size_t i = 0; i < Size(length); ++i) {
        const float x = values[i], y = FloatAt(outcome.written, i);
        const bool zero = x == 0.0f || (denormalsAreZero && std::fpclassify(x) == FP_SUBNORMAL);
        if (x == 1.0f) Require(y == 0.0f, "_PowerToDecibel(1) is not 0");
        if (zero) Require(y == -INFINITY, "_PowerToDecibel(0) is not -inf");
        if (x == INFINITY) Require(y == INFINITY, "_PowerToDecibel(inf) is not inf");
        if ((x < 0.0f && !zero) || std::isnan(x)) {
            Require(std::isnan(y), "_PowerToDecibel of a negative is not NaN");
        }
    }
    return 0;
}

int Entry_ScaleToPeak(const uint8_t* data, size_t size) {
    Input input(data, size);
    const Block block = ReadBlock(input);
    const float target = input.Bool() ? input.AnyFloat() : 1.0f;
    RunInPlace("_ScaleToPeak", block, [&](const Host::Entries& e, float* values, int32_t length) {
        e._ScaleToPeak(values, length, target);
    });
    return 0;
}

int Entry_GetControlWord(const uint8_t* data, size_t size) {
    Input input(data, size);
    const uint32_t control = ControlWordFrom(input);
    const Outcome outcome =
        RunEveryBuild([](const Host::Entries& e,
                         Arena&) -> uint64_t { return static_cast<uint32_t>(e._GetControlWord()); },
                      control);
    // The flags (bits 0 to 5) are sticky and may have been raised since the word was loaded.
    Require((outcome.result & ~0x3Fu) == (control & ~0x3Fu),
            "_GetControlWord did not return the thread's control word");
    RequireNoTraffic(outcome, "_GetControlWord");
    return 0;
}

int Entry_UnrollRingBuffer(const uint8_t* data, size_t size) {
    Input input(data, size);
    const int32_t length = input.Count(kMaxLength);
    const auto startIndex = static_cast<int32_t>(input.Bits());
    const std::vector<float> ring = input.Floats(Size(length));
    const std::vector<float> output(Size(length), -7.0f);
    const Outcome outcome = RunWithoutServices(
        "_UnrollRingBuffer", kDefaultControlWord, [&](const Host::Entries& e, Arena& arena) {
            e._UnrollRingBuffer(arena.Floats(ring, true), arena.Floats(output, false), length,
                                startIndex);
        });
    // Element i is the ring's element (start + i) modulo the length, in whole numbers.
    for (int64_t i = 0; i < length; ++i) {
        const int64_t index = ((int64_t{startIndex} + i) % length + length) % length;
        Require(SameBits(FloatAt(outcome.written, static_cast<size_t>(i)),
                         ring[static_cast<size_t>(index)]),
                "_UnrollRingBuffer did not copy the ring from its start");
    }
    return 0;
}

}  // namespace Vocetta::Fuzz
