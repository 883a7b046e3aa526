// The library with SLEEF linked in and the library that imports Debian's libsleef.so.3 run the
// same SLEEF code, so every entry must give the same bits in both. When the build is configured
// with VOCETTA_REFERENCE_BUILD (a build of this tree in the other SLEEF mode), every entry of
// both code builds runs on the same inputs in each library, under each rounding mode, and the
// outputs are compared bit for bit.
#include <xmmintrin.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <sstream>

#include "support.hpp"

namespace Vocetta::Testing {
namespace {

using Host::Variant;

// ---- What each library's build of an entry computes ---------------------------------------

// Everything an entry call leaves behind, as raw bits.
using Outcome = std::vector<uint32_t>;

void Append(Outcome& outcome, const void* data, size_t bytes) {
    const size_t start = outcome.size();
    outcome.resize(start + (bytes + 3) / 4);
    std::memcpy(outcome.data() + start, data, bytes);
}
template <typename T>
void Append(Outcome& outcome, const std::vector<T>& values) {
    Append(outcome, values.data(), values.size() * sizeof(T));
}
template <typename T>
void AppendValue(Outcome& outcome, T value) {
    Append(outcome, &value, sizeof value);
}

// Resolves an entry's symbol in one library; the entry is run once per library with it.
using Resolve = std::function<void*(const char* symbol)>;
template <typename Function>
Function Entry(const Resolve& resolve, const char* symbol) {
    return reinterpret_cast<Function>(resolve(symbol));
}

// Deterministic inputs: a speech-like mix of partials with noise, and values in a range.
std::vector<float> Signal(size_t count, uint32_t seed) {
    std::vector<float> samples(count);
    uint32_t state = seed;
    for (size_t i = 0; i < count; ++i) {
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
        const double t = static_cast<double>(i);
        samples[i] = static_cast<float>(0.5 * std::sin(t * 0.071) + 0.3 * std::sin(t * 0.29 + 1.0) +
                                        0.1 * noise);
    }
    return samples;
}
std::vector<float> Uniform(size_t count, float low, float high, uint32_t seed) {
    std::vector<float> values(count);
    uint32_t state = seed;
    for (float& value : values) {
        state = state * 1664525u + 1013904223u;
        value = low + (high - low) * (static_cast<float>(state >> 8) / 16777216.0f);
    }
    return values;
}
// Values that stress the edges of the maths: zeros, subnormals, huge, infinite and NaN.
std::vector<float> Specials() {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    return {0.0f, -0.0f, 1e-45f, -1e-45f, 1e-38f, 1.0f,   -1.0f, 0.5f,  3.1415927f,    -3.1415927f,
            1e4f, 1e6f,  -1e6f,  1e20f,   3e38f,  -3e38f, kInf,  -kInf, std::nanf(""), 105.0f};
}

NativeArray View(void* pointer, size_t length) {
    return NativeArray{pointer, static_cast<int32_t>(length), VOCETTA_ALLOCATOR_NONE};
}

// Every entry of the library, by symbol, with the calls that exercise it.
struct EntryRun {
    const char* symbol;
    std::function<Outcome(const Resolve&)> run;
};

const std::vector<EntryRun>& EntryRuns() {
    static const std::vector<EntryRun> runs = {
        {"8c2be93e18276203cbd918daa2748a10",  // _ReturnOne
         [](const Resolve& resolve) {
             Outcome out;
             AppendValue(out, Entry<int32_t (*)()>(resolve, "8c2be93e18276203cbd918daa2748a10")());
             return out;
         }},
        {"98ac2cfd507eec0954d57b50347eb0b5",  // _Interpolate
         [](const Resolve& resolve) {
             auto interpolate = Entry<void (*)(const float*, int32_t, float*, int32_t, float)>(
                 resolve, "98ac2cfd507eec0954d57b50347eb0b5");
             const std::vector<float> input = Signal(1000, 1);
             Outcome out;
             for (float ratio : {1.378125f, 2.75625f, 1.5f, 1.0f}) {
                 const auto length = static_cast<size_t>(std::floor(999.0f / ratio)) + 1;
                 std::vector<float> output(length);
                 interpolate(input.data(), 1000, output.data(), static_cast<int32_t>(length),
                             ratio);
                 Append(out, output);
             }
             return out;
         }},
        {"66ce1dc03be5c70a6261ca7e5731da21",  // ColorMapJob
         [](const Resolve& resolve) {
             auto execute =
                 Entry<void (*)(ColorMapJob*)>(resolve, "66ce1dc03be5c70a6261ca7e5731da21");
             std::vector<float> values = Uniform(61 * 9, -0.5f, 1.5f, 2);
             const std::vector<float> specials = Specials();
             std::copy(specials.begin(), specials.end(), values.begin());
             Outcome out;
             for (auto [low, high] : {std::pair{0.0f, 1.0f}, {-3.0f, 7.5f}, {0.5f, 0.5f}}) {
                 std::vector<uint32_t> pixels(values.size());
                 ColorMapJob job{View(pixels.data(), pixels.size()),
                                 View(values.data(), values.size()),
                                 61,
                                 9,
                                 low,
                                 high};
                 execute(&job);
                 Append(out, pixels);
             }
             return out;
         }},
        {"c0aac24009351f2fd703980e06a91fe5",  // _DCT
         [](const Resolve& resolve) {
             auto dct = Entry<void (*)(const float*, float*, int32_t)>(
                 resolve, "c0aac24009351f2fd703980e06a91fe5");
             Outcome out;
             for (size_t length : {1, 7, 26, 40, 129}) {
                 const std::vector<float> input = Uniform(length, -80.0f, 20.0f, 3);
                 std::vector<float> output(length);
                 dct(input.data(), output.data(), static_cast<int32_t>(length));
                 Append(out, output);
             }
             return out;
         }},
        {"8f0138e7140625344e44e939bbcdc7d9",  // _MelFilterBank
         [](const Resolve& resolve) {
             auto melFilterBank = Entry<void (*)(const float*, float*, int32_t, float, int32_t)>(
                 resolve, "8f0138e7140625344e44e939bbcdc7d9");
             const std::vector<float> spectrum = Uniform(512, 0.0f, 30.0f, 4);
             Outcome out;
             for (float rate : {16000.0f, 22050.0f, 48000.0f}) {
                 for (size_t channels : {1, 26, 40}) {
                     std::vector<float> mel(channels);
                     melFilterBank(spectrum.data(), mel.data(), 512, rate,
                                   static_cast<int32_t>(channels));
                     Append(out, mel);
                 }
             }
             return out;
         }},
        {"1f185357d8f7184329fa69e18e086449",  // _FFT
         [](const Resolve& resolve) {
             auto fft = Entry<void (*)(float*, float*, int32_t)>(
                 resolve, "1f185357d8f7184329fa69e18e086449");
             Outcome out;
             for (size_t n : {1, 2, 4, 8, 64, 512, 2048}) {
                 std::vector<float> re = Signal(n, 5), im = Uniform(n, -1.0f, 1.0f, 6);
                 fft(re.data(), im.data(), static_cast<int32_t>(n));
                 Append(out, re);
                 Append(out, im);
             }
             return out;
         }},
        {"da352d92cabf024fc9986011d52a4537",  // _SetControlWord, read back by the host
         [](const Resolve& resolve) {
             auto set = Entry<void (*)(int32_t)>(resolve, "da352d92cabf024fc9986011d52a4537");
             const unsigned int saved = _mm_getcsr();
             Outcome out;
             for (int32_t word : {0x1F80, 0x3F80, 0x5F80, 0x7F80, 0x9FC0}) {
                 set(word);
                 AppendValue(out, _mm_getcsr());
             }
             _mm_setcsr(saved);
             return out;
         }},
        {"aa83f1cff52adb6154731fa964bf261c",  // _ApplyPreEmphasis
         [](const Resolve& resolve) {
             auto preEmphasis = Entry<void (*)(float*, const float*, int32_t, float)>(
                 resolve, "aa83f1cff52adb6154731fa964bf261c");
             const std::vector<float> source = Signal(1001, 7);
             Outcome out;
             for (float coefficient : {0.97f, -0.5f}) {
                 std::vector<float> data(source.size());
                 preEmphasis(data.data(), source.data(), static_cast<int32_t>(source.size()),
                             coefficient);
                 Append(out, data);
             }
             return out;
         }},
        {"0570e1f81685bb7aa99359006d8f7516",  // _ApplyHammingWindow
         [](const Resolve& resolve) {
             auto hamming =
                 Entry<void (*)(float*, int32_t)>(resolve, "0570e1f81685bb7aa99359006d8f7516");
             Outcome out;
             for (size_t length : {1, 2, 3, 513, 1024}) {
                 std::vector<float> data = Signal(length, 8);
                 hamming(data.data(), static_cast<int32_t>(length));
                 Append(out, data);
             }
             return out;
         }},
        {"c5a316b7c86bb17f6511d5c3a58d2180",  // LipSyncJob Execute
         [](const Resolve& resolve) {
             auto execute =
                 Entry<void (*)(LipSyncJob*)>(resolve, "c5a316b7c86bb17f6511d5c3a58d2180");
             constexpr size_t kMfcc = 12, kPhonemes = 5;
             std::vector<float> input = Signal(1024, 9);
             std::vector<float> means = Uniform(kMfcc, -10.0f, 10.0f, 10);
             std::vector<float> deviations = Uniform(kMfcc, 1.0f, 20.0f, 11);
             std::vector<float> profiles = Uniform(kMfcc * kPhonemes, -2.0f, 2.0f, 12);
             Outcome out;
             for (int32_t rate : {48000, 44100, 32000, 22050, 16000, 8000}) {
                 for (int32_t method : {0, 1, 2}) {
                     std::vector<float> mfcc(kMfcc), scores(kPhonemes);
                     LipSyncResult result{};
                     LipSyncJob job{View(input.data(), input.size()),
                                    317,
                                    rate,
                                    16000,
                                    26,
                                    method,
                                    View(means.data(), means.size()),
                                    View(deviations.data(), deviations.size()),
                                    View(profiles.data(), profiles.size()),
                                    View(mfcc.data(), mfcc.size()),
                                    View(scores.data(), scores.size()),
                                    View(&result, 1)};
                     execute(&job);
                     Append(out, mfcc);
                     Append(out, scores);
                     AppendValue(out, result);
                 }
             }
             return out;
         }},
        {"555c521bf09951a4b69fda34ca5ca261",  // PhonemeTextureJob
         [](const Resolve& resolve) {
             auto execute =
                 Entry<void (*)(PhonemeTextureJob*)>(resolve, "555c521bf09951a4b69fda34ca5ca261");
             constexpr int32_t kWidth = 67, kHeight = 16, kPhonemes = 5;
             std::vector<PhonemeColor> colors = {
                 {1.0f, 0.0f, 0.0f, 1.0f}, {0.2f, 0.7f, 0.1f, 1.0f}, {0.3f, 0.3f, 0.9f, 1.0f}};
             std::vector<float> scores = Uniform(kWidth * kPhonemes, 0.0f, 1.0f, 13);
             std::vector<float> levels = Uniform(kWidth, -0.2f, 1.2f, 14);
             std::vector<uint32_t> pixels(kWidth * kHeight);
             PhonemeTextureJob job{View(pixels.data(), pixels.size()),
                                   View(colors.data(), colors.size()),
                                   View(scores.data(), scores.size()),
                                   View(levels.data(), levels.size()),
                                   kWidth,
                                   kHeight,
                                   kPhonemes,
                                   0.3f};
             execute(&job);
             Outcome out;
             Append(out, pixels);
             return out;
         }},
        {"8632364a433195a5066eb606a849fb4b", nullptr},  // _PeakMagnitude: see MeasureRun
        {"8ce16e31562290bef990263d92a73051", nullptr},  // _RootMeanSquare
        {"85693707a63104c1dbc30ff71b42a9ef", nullptr},  // _MelToFrequency: see MelRun
        {"bb38cdaa033c6ec2f495e91c143f15c3", nullptr},  // _EuclideanNorm
        {"d2b195d97a724ecc1124c75a0db4da7c",            // _Decimate
         [](const Resolve& resolve) {
             auto decimate = Entry<void (*)(const float*, float*, int32_t, int32_t)>(
                 resolve, "d2b195d97a724ecc1124c75a0db4da7c");
             const std::vector<float> input = Signal(1000, 15);
             Outcome out;
             for (int32_t step : {1, 2, 3, 6}) {
                 std::vector<float> output(1000 / step);
                 decimate(input.data(), output.data(), static_cast<int32_t>(output.size()), step);
                 Append(out, output);
             }
             return out;
         }},
        {"50dd115dae5a86d1aa01d8fc1b60dbb0",  // _LowPassFilter
         [](const Resolve& resolve) {
             auto lowPass = Entry<void (*)(float*, int32_t, const float*, float*, int32_t, float)>(
                 resolve, "50dd115dae5a86d1aa01d8fc1b60dbb0");
             const std::vector<float> source = Signal(1000, 16);
             Outcome out;
             for (auto [taps, cutoff] :
                  {std::pair{298, 0.15625f}, {274, 0.170068f}, {100, 0.46875f}, {6, 0.3f}}) {
                 std::vector<float> data = source, tapValues(taps);
                 lowPass(data.data(), static_cast<int32_t>(data.size()), source.data(),
                         tapValues.data(), taps, cutoff);
                 Append(out, data);
                 Append(out, tapValues);
             }
             return out;
         }},
        {"f33689f09ebffcd5ffd83dbdb40ae4e9", nullptr},  // _FrequencyToMel: see MelRun
        {"3769af9721f0b3f0001f17d7e8d8334d",            // FFT (magnitude spectrum)
         [](const Resolve& resolve) {
             auto fft = Entry<void (*)(const float*, float*, int32_t)>(
                 resolve, "3769af9721f0b3f0001f17d7e8d8334d");
             Outcome out;
             for (size_t n : {0, 1, 2, 256, 1024}) {
                 const std::vector<float> data = Signal(n, 17);
                 std::vector<float> spectrum(n);
                 fft(data.data(), spectrum.data(), static_cast<int32_t>(n));
                 Append(out, spectrum);
             }
             return out;
         }},
        {"ba2154a5d816f1f1f3f450d1d303ab73",  // _PowerToDecibel
         [](const Resolve& resolve) {
             auto decibel =
                 Entry<void (*)(float*, int32_t)>(resolve, "ba2154a5d816f1f1f3f450d1d303ab73");
             std::vector<float> data = Uniform(997, 0.0f, 100.0f, 18);
             const std::vector<float> specials = Specials();
             data.insert(data.end(), specials.begin(), specials.end());
             decibel(data.data(), static_cast<int32_t>(data.size()));
             Outcome out;
             Append(out, data);
             return out;
         }},
        {"92df5bc693208af8734a92516c934e75",  // _ScaleToPeak
         [](const Resolve& resolve) {
             auto scale = Entry<void (*)(float*, int32_t, float)>(
                 resolve, "92df5bc693208af8734a92516c934e75");
             Outcome out;
             for (float peak : {1.0f, 0.5f, 3.0f}) {
                 std::vector<float> data = Signal(999, 19);
                 scale(data.data(), static_cast<int32_t>(data.size()), peak);
                 Append(out, data);
             }
             return out;
         }},
        {"89425a97f3f500fa810ad03f0c382542",  // _GetControlWord, after the host sets it
         [](const Resolve& resolve) {
             auto get = Entry<int32_t (*)()>(resolve, "89425a97f3f500fa810ad03f0c382542");
             const unsigned int saved = _mm_getcsr();
             Outcome out;
             for (unsigned int word : {0x1F80u, 0x3F80u, 0x5F80u, 0x7F80u}) {
                 _mm_setcsr(word);
                 AppendValue(out, get());
             }
             _mm_setcsr(saved);
             return out;
         }},
        {"6123c2bc7ac3b1fa374a19863bb2e708",  // _UnrollRingBuffer
         [](const Resolve& resolve) {
             auto unroll = Entry<void (*)(const float*, float*, int32_t, int32_t)>(
                 resolve, "6123c2bc7ac3b1fa374a19863bb2e708");
             const std::vector<float> source = Signal(1000, 20);
             Outcome out;
             for (int32_t start : {0, 123, 999}) {
                 std::vector<float> destination(source.size());
                 unroll(source.data(), destination.data(), 1000, start);
                 Append(out, destination);
             }
             return out;
         }},
    };
    return runs;
}

// The three level measures share one shape: (data, length) -> float.
Outcome MeasureRun(const Resolve& resolve, const char* symbol) {
    auto measure = Entry<float (*)(const float*, int32_t)>(resolve, symbol);
    Outcome out;
    std::vector<float> data = Signal(1001, 21);
    for (int32_t length : {0, 1, 7, 1001})
        AppendValue(out, measure(data.data(), length));
    data[500] = std::nanf("");
    AppendValue(out, measure(data.data(), 1001));
    return out;
}

// The two mel conversions share one shape: (value, use2595) -> float.
Outcome MelRun(const Resolve& resolve, const char* symbol) {
    auto convert = Entry<float (*)(float, bool)>(resolve, symbol);
    std::vector<float> values = Uniform(2000, -100.0f, 24000.0f, 22);
    const std::vector<float> specials = Specials();
    values.insert(values.end(), specials.begin(), specials.end());
    Outcome out;
    for (bool use2595 : {false, true}) {
        for (float value : values)
            AppendValue(out, convert(value, use2595));
    }
    return out;
}

std::function<Outcome(const Resolve&)> RunFor(const EntryRun& entry) {
    if (entry.run) return entry.run;
    const std::string symbol = entry.symbol;
    if (symbol == "85693707a63104c1dbc30ff71b42a9ef" ||
        symbol == "f33689f09ebffcd5ffd83dbdb40ae4e9") {
        return [symbol](const Resolve& resolve) { return MelRun(resolve, symbol.c_str()); };
    }
    return [symbol](const Resolve& resolve) { return MeasureRun(resolve, symbol.c_str()); };
}

// ---- The comparison -----------------------------------------------------------------------

#ifdef VOCETTA_REFERENCE_LIBRARY_PATH
constexpr const char* kReferenceLibraryPath = VOCETTA_REFERENCE_LIBRARY_PATH;
#else
constexpr const char* kReferenceLibraryPath = nullptr;
#endif

const Host::Library& ReferenceLibrary() {
    static const Host::Library library(kReferenceLibraryPath);
    return library;
}

class SleefBuilds : public BuildTest {
  protected:
    void SetUp() override {
        BuildTest::SetUp();
        if (kReferenceLibraryPath == nullptr) {
            GTEST_SKIP() << "no build in the other SLEEF mode to compare with "
                            "(VOCETTA_REFERENCE_BUILD)";
        }
    }
};

std::string Describe(const Outcome& mine, const Outcome& reference) {
    std::ostringstream text;
    if (mine.size() != reference.size()) {
        text << mine.size() << " words against " << reference.size();
        return text.str();
    }
    size_t differing = 0, first = 0;
    for (size_t i = mine.size(); i-- > 0;) {
        if (mine[i] != reference[i]) ++differing, first = i;
    }
    text << differing << " of " << mine.size() << " words differ, first at " << first << ": 0x"
         << std::hex << mine[first] << " against 0x" << reference[first];
    return text.str();
}

TEST_P(SleefBuilds, EveryEntryGivesTheSameBitsInBothLibraries) {
    const Host::Library& mine = Library();
    const Host::Library& reference = ReferenceLibrary();
    ASSERT_NE(mine.path(), reference.path());
    const std::string suffix = Host::VariantSuffix(build());

    // Every entry the public header lists must be exercised here.
    std::map<std::string, const EntryRun*> runs;
    for (const EntryRun& entry : EntryRuns())
        runs[entry.symbol] = &entry;
    for (const Host::EntryInfo& info : Host::EntryTable()) {
        EXPECT_TRUE(runs.count(info.symbol)) << info.name << " (" << info.symbol << ") has no run";
    }

    const unsigned int saved = _mm_getcsr();
    size_t compared = 0;
    for (const EntryRun& entry : EntryRuns()) {
        const std::string symbol = entry.symbol + suffix;
        const bool inMine = mine.symbol(symbol.c_str()) != nullptr;
        const bool inReference = reference.symbol(symbol.c_str()) != nullptr;
        ASSERT_EQ(inMine, inReference) << symbol << " is in only one of the libraries";
        if (!inMine) continue;  // an entry not built yet
        const auto run = RunFor(entry);
        // Round to nearest first, then the other modes: SLEEF's reductions depend on it.
        for (unsigned int mode : {0x1F80u, 0x3F80u, 0x5F80u, 0x7F80u}) {
            _mm_setcsr(mode);
            const Outcome ours = run([&](const char* name) {
                return mine.symbol((std::string(name) + suffix).c_str());
            });
            _mm_setcsr(mode);
            const Outcome theirs = run([&](const char* name) {
                return reference.symbol((std::string(name) + suffix).c_str());
            });
            _mm_setcsr(saved);
            EXPECT_TRUE(ours == theirs) << symbol << " under MXCSR 0x" << std::hex << mode
                                        << std::dec << ": " << Describe(ours, theirs);
        }
        ++compared;
    }
    EXPECT_GE(compared, Host::EntryTable().size());
}

VOCETTA_TEST_EACH_BUILD(SleefBuilds);

// rempitabsp, SLEEF's sine and cosine reduction table, is exported when SLEEF is linked in; the
// default library leaves it to libsleef.so.3, which keeps it hidden.
TEST(SleefBuildsExports, ReductionTableExportedExactlyWhenSleefIsLinkedIn) {
    const auto* table = static_cast<const float*>(Library().symbol("rempitabsp"));
#if VOCETTA_SLEEF_STATIC
    ASSERT_NE(table, nullptr);
    // 103 rows of four floats, each row one number as a sum of terms of falling magnitude; the
    // first row is 1/(2 pi).
    double first = 0.0;
    for (int k = 3; k >= 0; --k)
        first += table[k];
    EXPECT_NEAR(first, 0.15915494309189533577, 1e-17);
    for (int row = 0; row < 103; ++row) {
        const float* terms = table + 4 * row;
        for (int k = 0; k < 3; ++k) {
            EXPECT_LT(std::fabs(terms[k + 1]), std::fabs(terms[k]) * 0x1p-20f)
                << "row " << row << ", term " << k + 1;
        }
    }
#else
    EXPECT_EQ(table, nullptr);
#endif
}

}  // namespace
}  // namespace Vocetta::Testing
