// The SDK's profile reader and writer and its ring-length rule, called as an engine calls them.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "vocetta/profile.hpp"
#include "vocetta/ring.hpp"

namespace Vocetta::Testing {
namespace {

using Host::Profile;

Profile TwoCoefficientProfile() {
    Profile profile;
    profile.melChannels = 4;
    profile.coefficients = 2;
    profile.blockLength = 256;
    profile.scoreMethod = 2;
    // Values whose shortest decimal spelling is long or extreme.
    profile.means = {0.1f, -1e-7f};
    profile.standardDeviations = {std::numeric_limits<float>::max(),
                                  std::numeric_limits<float>::denorm_min()};
    profile.phonemes = {{"A", {1, 0.5f, 0}, {{1.0f / 3.0f, -2.5f}}, {}},
                        {"sil", {0, 0, 0}, {{0.0f, 16777217.0f}}, {}}};
    return profile;
}

bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

TEST(SdkProfile, SerializedProfileReadsBackBitForBit) {
    const Profile original = TwoCoefficientProfile();
    const Profile copy = Host::ParseProfile(Host::SerializeProfile(original), "memory");
    EXPECT_EQ(copy.targetSampleRate, original.targetSampleRate);
    EXPECT_EQ(copy.melChannels, 4);
    EXPECT_EQ(copy.coefficients, 2);
    EXPECT_EQ(copy.blockLength, 256);
    EXPECT_EQ(copy.scoreMethod, 2);
    ASSERT_EQ(copy.phonemes.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_TRUE(SameBits(copy.means[i], original.means[i])) << i;
        EXPECT_TRUE(SameBits(copy.standardDeviations[i], original.standardDeviations[i])) << i;
        for (size_t c = 0; c < 2; ++c) {
            EXPECT_TRUE(
                SameBits(copy.phonemes[i].references[0][c], original.phonemes[i].references[0][c]));
        }
        EXPECT_EQ(copy.phonemes[i].name, original.phonemes[i].name);
        EXPECT_EQ(copy.phonemes[i].color, original.phonemes[i].color);
    }
    EXPECT_EQ(copy.IndexOf("sil"), 1);
    EXPECT_EQ(copy.IndexOf("O"), -1);
    EXPECT_STREQ(Host::ScoreMethodName(Host::ScoreMethodFromName("CosineSimilarity")),
                 "CosineSimilarity");
}

TEST(SdkProfile, FaultsAreProfileErrorsNamingTheOrigin) {
    Profile profile = TwoCoefficientProfile();
    profile.standardDeviations[1] = 0;
    try {
        Host::ValidateProfile(profile, "voice.json");
        FAIL() << "a zero deviation was accepted";
    } catch (const Host::ProfileError& error) {
        EXPECT_STREQ(error.what(),
                     "voice.json: standardDeviations[1]: must be greater than 0 "
                     "(coefficients are divided by it)");
    }
    EXPECT_THROW(Host::ParseProfile("{", "text"), Host::ProfileError);
    EXPECT_THROW(Host::LoadProfile("/nonexistent/voice.json"), Host::ProfileError);
}

TEST(SdkRing, LengthResamplesToOneBlock) {
    Profile profile = TwoCoefficientProfile();  // 256 samples at 16 kHz
    EXPECT_EQ(Host::RingLength(profile, 16000, "x"), 256);
    EXPECT_EQ(Host::RingLength(profile, 48000, "x"), 768);
    // 44.1 kHz: 256 * 2.75625 = 705.6; 706 / 2.75625 = 256.15 rounds to 256, as 705 (255.78) does;
    // the search starts from the nearest whole length.
    EXPECT_EQ(Host::RingLength(profile, 44100, "x"), 706);
    try {
        Host::RingLength(profile, 8000, "call.wav");
        FAIL() << "8 kHz was accepted for a 16 kHz profile";
    } catch (const Host::ProfileError& error) {
        EXPECT_NE(std::strstr(error.what(), "call.wav: sample rate 8000 Hz"), nullptr);
    }
}

}  // namespace
}  // namespace Vocetta::Testing
