// Several references per phoneme (profile version 2), folding their scores back to phonemes,
// and the two smoothers, against values worked by hand and an exhaustive search.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>

#include "vocetta/profile.hpp"
#include "vocetta/smoother.hpp"

namespace Vocetta::Testing {
namespace {

using Host::Folding;
using Host::Profile;

bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// A: two references, B: one, C: three; two coefficients.
Profile ThreePhonemeProfile(Folding folding) {
    Profile profile;
    profile.melChannels = 8;
    profile.coefficients = 2;
    profile.blockLength = 256;
    profile.folding = folding;
    profile.means = {0.5f, -0.25f};
    profile.standardDeviations = {2.0f, 0.1f};
    profile.phonemes = {
        {"A", {1, 0, 0}, {{1.0f, 2.0f}, {0.1f, -1e-7f}}, {{"cartoon", {{"D", 1.0f}}}}},
        {"B", {0, 1, 0}, {{3.0f, 4.0f}}, {}},
        {"C",
         {0, 0, 1},
         {{5.0f, 6.0f}, {7.0f, 8.0f}, {1.0f / 3.0f, 9.0f}},
         {{"cartoon", {{"B", 0.25f}, {"C", 0.75f}}}, {"visemes", {{"aa", 1.0f}}}}},
    };
    return profile;
}

TEST(ProfileVersion2, SeveralReferencesShapesAndFoldingRoundTrip) {
    const Profile original = ThreePhonemeProfile(Folding::Maximum);
    const std::string text = Host::SerializeProfile(original);
    EXPECT_NE(text.find("\"version\": 2"), std::string::npos);
    const Profile copy = Host::ParseProfile(text, "memory");
    EXPECT_EQ(copy.folding, Folding::Maximum);
    ASSERT_EQ(copy.phonemes.size(), 3u);
    for (size_t p = 0; p < 3; ++p) {
        const auto& mine = copy.phonemes[p];
        const auto& theirs = original.phonemes[p];
        EXPECT_EQ(mine.shapes, theirs.shapes) << p;
        ASSERT_EQ(mine.references.size(), theirs.references.size()) << p;
        for (size_t r = 0; r < mine.references.size(); ++r) {
            for (size_t c = 0; c < 2; ++c)
                EXPECT_TRUE(SameBits(mine.references[r][c], theirs.references[r][c]));
        }
    }
    // The job's profile rows: every reference in phoneme order, each with its phoneme.
    EXPECT_EQ(copy.ReferenceCount(), 6u);
    EXPECT_EQ(copy.ReferenceOwners(), (std::vector<int>{0, 0, 1, 2, 2, 2}));
    const std::vector<float> rows = copy.ReferenceRows();
    ASSERT_EQ(rows.size(), 12u);
    EXPECT_EQ(rows[4], 3.0f);
    EXPECT_EQ(rows[11], 9.0f);
}

TEST(ProfileVersion2, VersionOneFilesLoadAndPlainProfilesStayVersionOne) {
    const std::string v1 = R"({"format": "vocetta-profile", "version": 1,
        "analysis": {"targetSampleRate": 16000, "melChannels": 8, "coefficients": 2,
                     "blockLength": 256, "scoreMethod": "MeanAbsoluteDistance"},
        "means": [0, 0], "standardDeviations": [1, 1], "description": "ignored",
        "phonemes": [{"name": "A", "color": [1, 0, 0], "reference": [0.5, 1.5]}]})";
    const Profile profile = Host::ParseProfile(v1, "old.json");
    ASSERT_EQ(profile.phonemes.size(), 1u);
    ASSERT_EQ(profile.phonemes[0].references.size(), 1u);
    EXPECT_EQ(profile.phonemes[0].references[0], (std::vector<float>{0.5f, 1.5f}));
    EXPECT_EQ(profile.folding, Folding::Sum);
    // Nothing of version 2 in use: written as version 1, which older readers understand.
    const std::string text = Host::SerializeProfile(profile);
    EXPECT_NE(text.find("\"version\": 1"), std::string::npos);
    EXPECT_NE(text.find("\"reference\":"), std::string::npos);
    EXPECT_EQ(text.find("\"references\""), std::string::npos);
}

TEST(ProfileVersion2, FaultsNameTheMember) {
    const std::string head = R"({"format": "vocetta-profile", "version": 2,
        "analysis": {"targetSampleRate": 16000, "melChannels": 8, "coefficients": 2,
                     "blockLength": 256, "scoreMethod": "MeanAbsoluteDistance"FOLD},
        "means": [0, 0], "standardDeviations": [1, 1], "phonemes": [)";
    auto fault = [&](const std::string& phoneme, const std::string& folding = "") {
        std::string text = head;
        text.replace(text.find("FOLD"), 4, folding);
        try {
            Host::ParseProfile(text + phoneme + "]}", "v2.json");
        } catch (const Host::ProfileError& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(fault(R"({"name": "A", "color": [1, 0, 0], "references": []})"),
              "v2.json: phonemes[0].references: must be a non-empty array of references");
    EXPECT_EQ(fault(R"({"name": "A", "color": [1, 0, 0], "references": [[1, 2], [3]]})"),
              "v2.json: phonemes[0].references[1]: has 1 values, expected 2 (the coefficient "
              "count)");
    EXPECT_EQ(fault(R"({"name": "A", "color": [1, 0, 0], "reference": [1, 2]})"),
              "v2.json: phonemes[0]: missing \"references\"");
    EXPECT_EQ(fault(R"({"name": "A", "color": [1, 0, 0], "references": [[1, 2]],
                        "shapes": {"cartoon": {"D": -1}}})"),
              "v2.json: phonemes[0].shapes.cartoon.D: must be a finite weight of 0 or more");
    EXPECT_EQ(fault(R"({"name": "A", "color": [1, 0, 0], "references": [[1, 2]]})",
                    R"(, "folding": "Mean")"),
              "v2.json: analysis.folding: must be \"Sum\" or \"Maximum\"");
    EXPECT_EQ(fault(R"({"name": "A", "color": [1, 0, 0], "references": [[1, 2]]})",
                    R"(, "folding": "Maximum")"),
              "accepted");
}

TEST(ReferenceFolding, SumAndMaximumWorkedByHand) {
    // Row scores as the job leaves them (sum 1): A = 0.1, 0.3; B = 0.2; C = 0.05, 0.25, 0.1.
    const float rows[] = {0.1f, 0.3f, 0.2f, 0.05f, 0.25f, 0.1f};
    float phonemes[3];
    // Sum: A 0.4, B 0.2, C 0.4; A and C tie, the lower index wins as in the job.
    EXPECT_EQ(Host::FoldScores(ThreePhonemeProfile(Folding::Sum), rows, phonemes), 0);
    EXPECT_FLOAT_EQ(phonemes[0], 0.4f);
    EXPECT_FLOAT_EQ(phonemes[1], 0.2f);
    EXPECT_FLOAT_EQ(phonemes[2], 0.4f);
    // Maximum: 0.3, 0.2, 0.25 out of 0.75 -> 0.4, 0.2667, 0.3333.
    EXPECT_EQ(Host::FoldScores(ThreePhonemeProfile(Folding::Maximum), rows, phonemes), 0);
    EXPECT_FLOAT_EQ(phonemes[0], 0.4f);
    EXPECT_FLOAT_EQ(phonemes[1], 0.2f / 0.75f);
    EXPECT_FLOAT_EQ(phonemes[2], 0.25f / 0.75f);
    // One reference each with Sum (every version 1 profile): the job's scores, bit for bit.
    Profile single = ThreePhonemeProfile(Folding::Sum);
    for (auto& phoneme : single.phonemes)
        phoneme.references.resize(1);
    const float job[] = {0.1f, 0.7f, 0.2f};
    EXPECT_EQ(Host::FoldScores(single, job, phonemes), 1);
    for (size_t p = 0; p < 3; ++p)
        EXPECT_TRUE(SameBits(phonemes[p], job[p])) << p;
    // Digital silence scores nothing: all 0, best index 0 as the job reports it.
    const float none[] = {0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Host::FoldScores(ThreePhonemeProfile(Folding::Maximum), none, phonemes), 0);
    EXPECT_EQ(phonemes[0], 0.0f);
}

// The best path by trying every path.
double PathScore(const std::vector<float>& logScores, size_t states, const std::vector<int>& path,
                 float cost) {
    double total = 0;
    for (size_t t = 0; t < path.size(); ++t) {
        total += logScores[t * states + static_cast<size_t>(path[t])];
        if (t > 0 && path[t] != path[t - 1]) total -= cost;
    }
    return total;
}

TEST(SmoothPath, KnownPathsAndExhaustiveSearch) {
    // Two states; frame 2 alone prefers state 1 by 1.0. A change costs 1.5 each way (3.0 for
    // the blip), so the path stays in 0; at a cost of 0.4 the blip is kept.
    const std::vector<float> blip = {0, -2, 0, -2, -1, 0, 0, -2, 0, -2};
    EXPECT_EQ(Host::SmoothPath(blip, 2, 1.5f), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(Host::SmoothPath(blip, 2, 0.4f), (std::vector<int>{0, 0, 1, 0, 0}));
    // A lasting change is followed once it has paid for its cost: frames 2 ... 4 gain 1 each
    // (all 0 scores -3, all 1 scores -6, the change -cost).
    const std::vector<float> step = {0, -3, 0, -3, -1, 0, -1, 0, -1, 0};
    EXPECT_EQ(Host::SmoothPath(step, 2, 2.5f), (std::vector<int>{0, 0, 1, 1, 1}));
    EXPECT_EQ(Host::SmoothPath(step, 2, 3.5f), (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_TRUE(Host::SmoothPath({}, 3, 1.0f).empty());

    // Random sequences of 3 states and 7 frames: no path beats the one returned.
    std::mt19937 random(11);
    std::uniform_real_distribution<float> value(-4.0f, 0.0f);
    for (int trial = 0; trial < 40; ++trial) {
        const size_t states = 3, frames = 7;
        std::vector<float> logScores(states * frames);
        for (float& v : logScores)
            v = value(random);
        const float cost = 0.25f * static_cast<float>(trial % 8);
        const std::vector<int> path = Host::SmoothPath(logScores, states, cost);
        ASSERT_EQ(path.size(), frames);
        const double found = PathScore(logScores, states, path, cost);
        std::vector<int> other(frames, 0);
        for (int code = 0; code < 2187; ++code) {  // 3^7
            for (size_t t = 0, c = static_cast<size_t>(code); t < frames; ++t, c /= 3)
                other[t] = static_cast<int>(c % 3);
            ASSERT_LE(PathScore(logScores, states, other, cost), found + 1e-9) << trial;
        }
    }
}

TEST(CausalSmoother, HoldsAgainstBriefContraryBlocksWorkedByHand) {
    Host::CausalSmoother smoother(2, 0.05f);
    const float a[] = {0.6f, 0.4f}, b[] = {0.4f, 0.6f}, silent[] = {0.0f, 0.0f};
    // Belief of phoneme 0 after each block (prior 0.95 keep, 0.05 switch, times the scores):
    // 0.6, 0.6834, 0.7486; then against it 0.6359, 0.5235, 0.4205.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(smoother.Update(a), 0);
    EXPECT_NEAR(smoother.Belief()[0], 0.7487, 1e-3);
    EXPECT_EQ(smoother.Update(b), 0);
    EXPECT_NEAR(smoother.Belief()[0], 0.636, 1e-3);
    EXPECT_EQ(smoother.Update(silent), 0);  // a silent block is no evidence
    EXPECT_NEAR(smoother.Belief()[0], 0.636, 1e-3);
    EXPECT_EQ(smoother.Update(b), 0);
    EXPECT_NEAR(smoother.Belief()[0], 0.5235, 1e-3);
    EXPECT_EQ(smoother.Update(b), 1);
    EXPECT_EQ(smoother.Current(), 1);
    smoother.Reset();
    EXPECT_EQ(smoother.Belief()[0], 0.5f);
    // With every switch allowed (probability 1/2 for two phonemes) it follows each block.
    Host::CausalSmoother follower(2, 0.5f);
    EXPECT_EQ(follower.Update(a), 0);
    EXPECT_EQ(follower.Update(b), 1);
    EXPECT_EQ(follower.Update(a), 0);
}

}  // namespace
}  // namespace Vocetta::Testing
