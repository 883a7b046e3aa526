// Speaker adaptation: the speaker estimate against means worked by hand and its closed form, the
// adapted profile's references and round trip, and the analyzer scoring adapted rows as a fresh
// analyzer over the adapted profile does, on both builds.
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#include "support.hpp"
#include "vocetta/adaptation.hpp"
#include "vocetta/analyzer.hpp"

namespace Vocetta::Testing {
namespace {

using Host::Profile;

// A and sil, two coefficients; every value a small binary fraction so that sums are exact.
Profile TwoPhonemeProfile() {
    Profile profile;
    profile.melChannels = 8;
    profile.coefficients = 2;
    profile.blockLength = 256;
    profile.means = {0.5f, -0.25f};
    profile.standardDeviations = {2.0f, 0.5f};
    profile.speakerMeans = {1.0f, -2.0f};
    profile.phonemes = {{"A", {1, 0, 0}, {{1.5f, 2.0f}, {-3.0f, 0.25f}}, {}},
                        {"sil", {0, 0, 0}, {{7.0f, 8.0f}}, {}}};
    return profile;
}

TEST(SpeakerEstimate, MeanOfFramesAndPriorWorkedByHand) {
    const Profile profile = TwoPhonemeProfile();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    Host::SpeakerEstimate blended(profile, 2.0), plain(profile, 0.0);
    for (Host::SpeakerEstimate* estimate : {&blended, &plain}) {
        EXPECT_TRUE(estimate->Add(std::vector<float>{3.0f, 0.0f}));
        EXPECT_TRUE(estimate->Add(std::vector<float>{5.0f, 4.0f}));
        EXPECT_FALSE(estimate->Add(std::vector<float>{nan, 1.0f}));         // digital silence
        EXPECT_FALSE(estimate->Add(std::vector<float>{1.0f, 1.0f, 1.0f}));  // wrong length
        EXPECT_EQ(estimate->frames(), 2.0);
    }
    // (2 x 1 + 3 + 5) / 4 and (2 x -2 + 0 + 4) / 4; without a prior (3 + 5) / 2 and (0 + 4) / 2.
    EXPECT_EQ(blended.Mean(), (std::vector<float>{2.5f, 0.0f}));
    EXPECT_EQ(plain.Mean(), (std::vector<float>{4.0f, 2.0f}));
    blended.Reset();
    EXPECT_EQ(blended.frames(), 0.0);
    EXPECT_EQ(blended.Mean(), profile.speakerMeans);
    // Before any frame a prior-free estimate has nothing but the profile's own mean.
    EXPECT_EQ(Host::SpeakerEstimate(profile, 0.0).Mean(), profile.speakerMeans);
}

TEST(SpeakerEstimate, ConstantInputConvergesAsItsClosedForm) {
    const Profile profile = TwoPhonemeProfile();
    Host::SpeakerEstimate estimate(profile, 100.0);
    const std::vector<float> frame{0.75f, 3.0f};
    for (int n = 1; n <= 20000; ++n) {
        ASSERT_TRUE(estimate.Add(frame));
        if (n % 250 != 0 && n > 3) continue;
        const std::vector<float> mean = estimate.Mean();
        for (size_t i = 0; i < 2; ++i) {
            const double closed =
                (100.0 * profile.speakerMeans[i] + n * double(frame[i])) / (100.0 + n);
            EXPECT_NEAR(mean[i], closed, 1e-6 * (1 + std::fabs(closed))) << n << " frames, " << i;
        }
    }
    // 100 / 20100 of the way from the input back to the prior.
    EXPECT_NEAR(estimate.Mean()[1], 3.0 - 5.0 * 100.0 / 20100.0, 1e-5);
}

TEST(SpeakerEstimate, OfferCountsFramesWithinTwentyDecibelsOfTheLoudest) {
    const Profile profile = TwoPhonemeProfile();
    Host::SpeakerEstimate estimate(profile, 0.0);
    const std::vector<float> a{2.0f, 2.0f}, b{4.0f, 6.0f};
    EXPECT_TRUE(estimate.Offer(a, 0.1f));     // the loudest so far
    EXPECT_FALSE(estimate.Offer(b, 0.005f));  // 26 dB below it
    EXPECT_TRUE(estimate.Offer(b, 1.0f));     // a new loudest
    EXPECT_FALSE(estimate.Offer(a, 0.05f));   // 26 dB below that one
    EXPECT_TRUE(estimate.Offer(b, 0.2f));     // 14 dB below
    EXPECT_FALSE(estimate.Offer(b, 0.0f));
    EXPECT_FALSE(estimate.Offer(b, std::numeric_limits<float>::quiet_NaN()));
    EXPECT_EQ(estimate.frames(), 3.0);
    EXPECT_EQ(estimate.Mean(), (std::vector<float>{10.0f / 3.0f, 14.0f / 3.0f}));
}

TEST(SpeakerEstimate, NeedsSpeakerMeansAndASensiblePrior) {
    Profile profile = TwoPhonemeProfile();
    EXPECT_THROW(Host::SpeakerEstimate(profile, -1.0), Host::ProfileError);
    EXPECT_THROW(Host::SpeakerEstimate(profile, std::nan("")), Host::ProfileError);
    profile.speakerMeans.clear();
    EXPECT_THROW(Host::SpeakerEstimate{profile}, Host::ProfileError);
    EXPECT_THROW(Host::AdaptProfile(profile, std::vector<float>{1, 2}), Host::ProfileError);
}

TEST(AdaptProfile, MovesSpeechReferencesByTheSpeakersOffset) {
    const Profile profile = TwoPhonemeProfile();
    const std::vector<float> speaker{3.0f, -1.5f};  // offset +2, +0.5
    const Profile adapted = Host::AdaptProfile(profile, speaker);
    EXPECT_EQ(adapted.phonemes[0].references,
              (std::vector<std::vector<float>>{{3.5f, 2.5f}, {-1.0f, 0.75f}}));
    EXPECT_EQ(adapted.phonemes[1].references, profile.phonemes[1].references);  // silence stays
    EXPECT_EQ(adapted.speakerMeans, speaker);
    EXPECT_EQ(adapted.means, profile.means);
    EXPECT_EQ(adapted.standardDeviations, profile.standardDeviations);
    // Adapting again goes from the adapted speaker to the next, as from the original.
    const std::vector<float> next{-1.0f, 0.0f};
    EXPECT_EQ(Host::AdaptProfile(adapted, next).phonemes[0].references,
              Host::AdaptProfile(profile, next).phonemes[0].references);
    // Adapting to the profile's own mean changes nothing.
    EXPECT_EQ(Host::AdaptProfile(profile, profile.speakerMeans).phonemes[0].references,
              profile.phonemes[0].references);
    EXPECT_THROW(Host::AdaptProfile(profile, std::vector<float>{1.0f}), Host::ProfileError);
    EXPECT_THROW(Host::AdaptProfile(profile, std::vector<float>{1.0f, INFINITY}),
                 Host::ProfileError);
}

TEST(AdaptProfile, SpeakerMeansRoundTripAndAreChecked) {
    const Profile base = Host::LoadProfile(VOCETTA_SOURCE_DIR "/profiles/default.json");
    ASSERT_EQ(base.speakerMeans.size(), static_cast<size_t>(base.coefficients));
    std::vector<float> speaker = base.speakerMeans;
    for (size_t i = 0; i < speaker.size(); ++i)
        speaker[i] += 0.1f * static_cast<float>(i) - 0.7f;
    const Profile adapted = Host::AdaptProfile(base, speaker);
    const std::string text = Host::SerializeProfile(adapted);
    const Profile back = Host::ParseProfile(text, "adapted.json");
    ASSERT_EQ(back.speakerMeans.size(), speaker.size());
    for (size_t i = 0; i < speaker.size(); ++i)
        EXPECT_TRUE(SameBits(back.speakerMeans[i], speaker[i])) << i;
    EXPECT_EQ(back.ReferenceRows(), adapted.ReferenceRows());
    EXPECT_EQ(Host::SerializeProfile(back), text);
    // A plain one-reference profile with speaker means needs version 2 to hold them.
    Profile plain = TwoPhonemeProfile();
    plain.phonemes[0].references.resize(1);
    EXPECT_NE(Host::SerializeProfile(plain).find("\"version\": 2"), std::string::npos);
    plain.speakerMeans.clear();
    EXPECT_NE(Host::SerializeProfile(plain).find("\"version\": 1"), std::string::npos);
    // A wrong count or a value that is not finite is named.
    std::string bad = text;
    const auto at = bad.find("\"speakerMeans\": [");
    ASSERT_NE(at, std::string::npos);
    bad.insert(at + 17, "1.5, ");
    try {
        Host::ParseProfile(bad, "bad.json");
        ADD_FAILURE() << "17 speaker means loaded";
    } catch (const Host::ProfileError& error) {
        EXPECT_NE(std::string(error.what()).find("bad.json: speakerMeans"), std::string::npos)
            << error.what();
    }
}

class AnalyzerAdaptation : public BuildTest {};

TEST_P(AnalyzerAdaptation, AdaptedRowsScoreAsAnAnalyzerOfTheAdaptedProfile) {
    const Profile base = Host::LoadProfile(VOCETTA_SOURCE_DIR "/profiles/default.json");
    std::vector<float> speaker = base.speakerMeans;
    for (size_t i = 0; i < speaker.size(); ++i)
        speaker[i] += (i % 2 == 0 ? 1.0f : -0.5f);
    const Profile adapted = Host::AdaptProfile(base, speaker);
    const std::vector<float> samples = RandomBlock(16000, 11, 0.3f);
    auto frames = [&](const Profile& profile, bool swap) {
        Host::Analyzer analyzer(entries(), profile, 16000, 160);
        if (swap) analyzer.SetReferenceRows(adapted.ReferenceRows());
        std::vector<std::vector<float>> scores;
        analyzer.Push(samples, [&](const Host::AnalyzerFrame& frame) {
            scores.emplace_back(frame.scores.begin(), frame.scores.end());
            scores.back().push_back(static_cast<float>(frame.best));
        });
        return scores;
    };
    const auto swapped = frames(base, true), fresh = frames(adapted, false),
               plain = frames(base, false);
    ASSERT_EQ(swapped.size(), fresh.size());
    ASSERT_FALSE(swapped.empty());
    for (size_t f = 0; f < swapped.size(); ++f) {
        for (size_t p = 0; p < swapped[f].size(); ++p)
            ASSERT_TRUE(SameBits(swapped[f][p], fresh[f][p])) << "frame " << f << ", " << p;
    }
    EXPECT_NE(swapped, plain);  // the rows were indeed swapped
    Host::Analyzer analyzer(entries(), base, 16000, 160);
    EXPECT_THROW(analyzer.SetReferenceRows(std::vector<float>(3)), std::invalid_argument);
    Host::Analyzer unscored(entries(), base, 16000, 160, false);
    EXPECT_THROW(unscored.SetReferenceRows(adapted.ReferenceRows()), std::invalid_argument);
}

VOCETTA_TEST_EACH_BUILD(AnalyzerAdaptation);

}  // namespace
}  // namespace Vocetta::Testing
