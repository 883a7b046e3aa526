// The SDK's noise cleaner as a stream: aligned, as long as its input, the same whatever the push
// sizes; noise taken out of the pauses, a tone kept at its level, silence left alone.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

#include "vocetta/noise_cleaner.hpp"

namespace Vocetta::Testing {
namespace {

using Host::NoiseCleaner;

// A pause of white noise, a 440 Hz tone over the same noise, a pause again.
std::vector<float> NoisyTone(int rate, double noiseRms, double seed = 7) {
    std::mt19937 random(static_cast<unsigned>(seed));
    std::normal_distribution<double> gauss(0.0, noiseRms);
    std::vector<float> samples(static_cast<size_t>(rate * 3));
    for (size_t i = 0; i < samples.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double tone =
            t >= 1.0 && t < 2.0 ? 0.3 * std::sin(2 * std::numbers::pi * 440 * t) : 0;
        samples[i] = static_cast<float>(tone + gauss(random));
    }
    return samples;
}

std::vector<float> Clean(const std::vector<float>& input, int rate, size_t piece) {
    NoiseCleaner cleaner(rate);
    std::vector<float> out;
    for (size_t at = 0; at < input.size(); at += piece)
        cleaner.Push(input.data() + at, std::min(piece, input.size() - at), out);
    cleaner.Finish(out);
    return out;
}

double Rms(const std::vector<float>& x, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += double(x[i]) * x[i];
    return std::sqrt(sum / double(to - from));
}

TEST(SdkNoiseCleaner, StreamIsAlignedAndTheSameWhateverThePieces) {
    const int rate = 48000;
    const std::vector<float> input = NoisyTone(rate, 0.01);
    const std::vector<float> whole = Clean(input, rate, input.size());
    ASSERT_EQ(whole.size(), input.size());
    for (size_t piece : {1u, 37u, 4096u})
        EXPECT_EQ(Clean(input, rate, piece), whole) << piece;
    // The tone comes out where it went in: of the shifts within a frame, none matches better.
    auto match = [&](long shift) {
        double sum = 0;
        for (size_t i = rate * 5 / 4; i < size_t(rate) * 7 / 4; ++i)
            sum += double(whole[i]) * input[size_t(long(i) + shift)];
        return sum;
    };
    for (long shift = -1024; shift <= 1024; shift += 1) {
        if (shift != 0) {
            EXPECT_LT(match(shift), match(0)) << shift;
        }
    }
    // A second stream through the same cleaner starts afresh.
    NoiseCleaner cleaner(rate);
    std::vector<float> first, second;
    cleaner.Push(input.data(), input.size(), first);
    cleaner.Finish(first);
    cleaner.Push(input.data(), input.size(), second);
    cleaner.Finish(second);
    EXPECT_EQ(first, second);
}

TEST(SdkNoiseCleaner, TakesSteadyNoiseOutOfThePausesAndKeepsTheTone) {
    for (int rate : {16000, 44100, 48000}) {
        const std::vector<float> input = NoisyTone(rate, 0.01);
        const std::vector<float> out = Clean(input, rate, 480);
        const auto r = size_t(rate);
        // The pause after the tone (past the noise estimate's first frames): at least 10 dB less.
        const double before = Rms(input, r * 9 / 4, r * 3), after = Rms(out, r * 9 / 4, r * 3);
        EXPECT_LT(20 * std::log10(after / before), -10.0) << rate;
        // The tone, 30 dB over the noise, within 0.5 dB of the input's level.
        const double tone = Rms(input, r * 5 / 4, r * 7 / 4), kept = Rms(out, r * 5 / 4, r * 7 / 4);
        EXPECT_NEAR(20 * std::log10(kept / tone), 0.0, 0.5) << rate;
    }
}

TEST(SdkNoiseCleaner, LeavesSilenceAndNoiselessAudioAlone) {
    const int rate = 44100;
    // Digital silence around a tone: no noise to take, so every bin keeps its amplitude and the
    // windows' overlap gives the samples back within rounding.
    std::vector<float> input = NoisyTone(rate, 0.0);
    const std::vector<float> out = Clean(input, rate, 1000);
    ASSERT_EQ(out.size(), input.size());
    for (size_t i = 0; i < input.size(); ++i)
        ASSERT_NEAR(out[i], input[i], 1e-6) << i;
    // Samples that are not numbers are silence to it, not a reason to lose the stream.
    std::vector<float> broken = NoisyTone(rate, 0.01);
    broken[rate / 2] = std::numeric_limits<float>::quiet_NaN();
    broken[rate / 2 + 1] = std::numeric_limits<float>::infinity();
    const std::vector<float> mended = Clean(broken, rate, 1000);
    ASSERT_EQ(mended.size(), broken.size());
    for (float sample : mended)
        ASSERT_TRUE(std::isfinite(sample));
    // Streams shorter than a frame, and none at all.
    for (size_t length : {0u, 1u, 100u, 1500u}) {
        const std::vector<float> piece(input.begin() + rate, input.begin() + rate + long(length));
        EXPECT_EQ(Clean(piece, rate, 64).size(), length);
    }
}

TEST(SdkNoiseCleaner, FramesNearTwentyOneMillisecondsAndItsLatency) {
    EXPECT_EQ(NoiseCleaner(8000).FrameLength(), 128u);
    EXPECT_EQ(NoiseCleaner(16000).FrameLength(), 256u);
    EXPECT_EQ(NoiseCleaner(44100).FrameLength(), 1024u);
    EXPECT_EQ(NoiseCleaner(96000).FrameLength(), 2048u);
    EXPECT_EQ(NoiseCleaner(48000).Latency(), 1536u);
    Host::NoiseCleanerSettings now;
    now.lookAhead = false;
    EXPECT_EQ(NoiseCleaner(48000, now).Latency(), 1024u);
    // Samples come out a hop at a time, once the frames over them are made: after 1536 pushed,
    // four frames are taken and three made with the look-ahead, four without (less the frame of
    // padding before the stream).
    for (bool lookAhead : {true, false}) {
        Host::NoiseCleanerSettings settings;
        settings.lookAhead = lookAhead;
        NoiseCleaner cleaner(48000, settings);
        std::vector<float> in(1536, 0.1f), out;
        cleaner.Push(in.data(), in.size(), out);
        EXPECT_EQ(out.size(), lookAhead ? 512u : 1024u);
        EXPECT_LT(in.size() - out.size(), cleaner.Latency());
    }
    EXPECT_THROW(NoiseCleaner(999), std::invalid_argument);
    Host::NoiseCleanerSettings bad;
    bad.quietShare = 0;
    EXPECT_THROW(NoiseCleaner(48000, bad), std::invalid_argument);
}

}  // namespace
}  // namespace Vocetta::Testing
