// Several references per phoneme (profile version 2), folding their scores back to phonemes,
// the two smoothers, the gate that follows a stream's level and the live labels built on them,
// against values worked by hand, an exhaustive search, sorting and the offline pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "vocetta/level_gate.hpp"
#include "vocetta/live_labels.hpp"
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

TEST(CausalSmoother, LagSettlesAnOnsetOneBlockSoonerWorkedByHand) {
    // The blocks of the test above, lag 1. Forward belief of phoneme 0: 0.6, 0.6834, 0.7486,
    // 0.6358 (first b), 0.5233 (second b). The block after a b says [0.4, 0.6] of it, which a
    // step back spreads to [0.95 * 0.4 + 0.05 * 0.6, 0.95 * 0.6 + 0.05 * 0.4] = [0.41, 0.59]:
    // the first b stays 0 (0.6358 * 0.41 = 0.2607 against 0.3642 * 0.59 = 0.2149), the second
    // goes to 1 (0.5233 * 0.41 = 0.2146 against 0.4767 * 0.59 = 0.2813), where the smoother
    // without lag still answers 0 for it.
    const float a[] = {0.6f, 0.4f}, b[] = {0.4f, 0.6f}, silent[] = {0.0f, 0.0f};
    Host::CausalSmoother lagged(2, 0.05f, 1.0e-4f, 1);
    Host::CausalSmoother plain(2, 0.05f);
    EXPECT_EQ(lagged.Lag(), 1u);
    EXPECT_EQ(lagged.Settled(0), -1);  // nothing yet
    const std::vector<const float*> blocks = {a, a, a, b, b, b};
    const std::vector<int> answers = {0, 0, 0, 0, 0, 1};       // for blocks 0, 0, 1, 2, 3, 4
    const std::vector<int> plainAnswers = {0, 0, 0, 0, 0, 1};  // for blocks 0 ... 5
    for (size_t i = 0; i < blocks.size(); ++i) {
        EXPECT_EQ(lagged.Update(blocks[i]), answers[i]) << i;
        EXPECT_EQ(plain.Update(blocks[i]), plainAnswers[i]) << i;
    }
    EXPECT_EQ(lagged.Settled(0), 1);   // block 5, nothing after it: its forward belief 0.4205
    EXPECT_EQ(lagged.Settled(1), 1);   // block 4 again
    EXPECT_EQ(lagged.Settled(2), -1);  // beyond the lag
    EXPECT_NEAR(lagged.Belief()[0], plain.Belief()[0], 1e-6);  // the forward pass is the same

    // A silent block holds its place in the lag and says nothing: the b after it settles the b
    // before it as above, and the silent block itself reads as the block before it.
    lagged.Reset();
    EXPECT_EQ(lagged.Settled(0), -1);
    for (const float* block : {a, a, a, b})
        lagged.Update(block);
    EXPECT_EQ(lagged.Update(silent), 0);  // block 3 (first b) given the silent block: forward
    EXPECT_EQ(lagged.Update(b), 0);       // the silent block given the b: 0.2607 against 0.2149
    EXPECT_EQ(lagged.Update(b), 1);       // the second b given the third
}

TEST(ViterbiSmoother, LateAnswersWorkedByHand) {
    // SmoothPath's step above (cost 2.5, offline path 0 0 1 1 1). Totals after each block,
    // less the best: (0, -3), (0, -5.5), (0, -1.5) with state 1 come from 0 at block 2, then
    // (0, -0.5) and (-0.5, 0), state 1 staying. One block late, block 2 is still 0 when block 3
    // comes (state 0 leads by 0.5 then), and block 3 is 1 once block 4 has come.
    const float rows[5][2] = {{0, -3}, {0, -3}, {-1, 0}, {-1, 0}, {-1, 0}};
    Host::ViterbiSmoother late(2, 2.5f, 1), now(2, 2.5f, 0), whole(2, 2.5f, 4);
    EXPECT_EQ(late.Lag(), 1u);
    EXPECT_EQ(late.Settled(0), -1);                        // nothing yet
    const std::vector<int> lateAnswers = {0, 0, 0, 0, 1};  // for blocks 0, 0, 1, 2, 3
    const std::vector<int> nowAnswers = {0, 0, 0, 0, 1};   // for blocks 0 ... 4
    for (size_t t = 0; t < 5; ++t) {
        EXPECT_EQ(late.Update(rows[t]), lateAnswers[t]) << t;
        EXPECT_EQ(now.Update(rows[t]), nowAnswers[t]) << t;
        EXPECT_EQ(whole.Update(rows[t]), 0) << t;  // block 0, whatever follows
    }
    EXPECT_EQ(late.Settled(0), 1);   // block 4
    EXPECT_EQ(late.Settled(1), 1);   // block 3 again
    EXPECT_EQ(late.Settled(2), -1);  // beyond the lag
    // A lag as long as the stream settles it as the offline pass does.
    std::vector<int> settled;
    for (size_t back = 5; back-- > 0;)
        settled.push_back(whole.Settled(back));
    EXPECT_EQ(settled, (std::vector<int>{0, 0, 1, 1, 1}));

    // Reset forgets every block; a block that only silence (state 1) can be, as the tool gives
    // one below the gate, is followed at once, and the next speech pays for the change back.
    late.Reset();
    EXPECT_EQ(late.Settled(0), -1);
    const float silent[2] = {Host::kImpossibleLogScore, 0};
    EXPECT_EQ(late.Update(rows[0]), 0);
    EXPECT_EQ(late.Update(silent), 0);   // block 0
    EXPECT_EQ(late.Update(rows[0]), 1);  // block 1, the silent one
    EXPECT_EQ(late.Settled(0), 0);
    EXPECT_EQ(Host::ViterbiSmoother(0, 2.0f, 1).Update(rows[0]), -1);
}

TEST(ViterbiSmoother, AnswersAreTheBestPathsStatesByExhaustiveSearch) {
    std::mt19937 random(23);
    std::uniform_real_distribution<float> value(-4.0f, 0.0f);
    const size_t states = 3, blocks = 7;
    size_t checked = 0;
    for (int trial = 0; trial < 30; ++trial) {
        const size_t lag = static_cast<size_t>(trial % 4);
        const float cost = 0.5f + 0.5f * static_cast<float>(trial % 5);
        std::vector<float> logScores(states * blocks);
        for (float& v : logScores)
            v = value(random);
        // The state at block k of the best path over blocks 0 ... last, trying every path;
        // near-ties (another state at k within 1e-6 of the best) are left out.
        auto check = [&](int answer, size_t k, size_t last) {
            const size_t length = last + 1;
            size_t paths = 1;
            for (size_t t = 0; t < length; ++t)
                paths *= states;
            std::vector<double> best(states, -1e30);
            std::vector<int> path(length);
            for (size_t code = 0; code < paths; ++code) {
                for (size_t t = 0, c = code; t < length; ++t, c /= states)
                    path[t] = static_cast<int>(c % states);
                const double score = PathScore(logScores, states, path, cost);
                best[static_cast<size_t>(path[k])] =
                    std::max(best[static_cast<size_t>(path[k])], score);
            }
            std::vector<double> sorted = best;
            std::sort(sorted.begin(), sorted.end());
            if (sorted[states - 1] - sorted[states - 2] < 1e-6) return;
            const auto winner =
                static_cast<int>(std::max_element(best.begin(), best.end()) - best.begin());
            EXPECT_EQ(answer, winner) << "trial " << trial << " block " << k << " of " << last;
            ++checked;
        };
        Host::ViterbiSmoother smoother(states, cost, lag);
        for (size_t t = 0; t < blocks; ++t) {
            const int answer = smoother.Update(logScores.data() + t * states);
            check(answer, t >= lag ? t - lag : 0, t);
        }
        for (size_t back = 0; back <= lag; ++back)
            check(smoother.Settled(back), blocks - 1 - back, blocks - 1);
    }
    EXPECT_GT(checked, 250u);
}

// The marginal of block k given blocks 0 ... last, by summing over every path (the definition
// of fixed-lag smoothing), in double precision: the switching model of CausalSmoother, uniform
// start.
std::vector<double> PathMarginal(const std::vector<std::vector<float>>& blocks, size_t states,
                                 double switchProbability, size_t k, size_t last) {
    std::vector<double> marginal(states, 0.0);
    const size_t length = last + 1;
    size_t paths = 1;
    for (size_t t = 0; t < length; ++t)
        paths *= states;
    std::vector<size_t> path(length);
    for (size_t code = 0; code < paths; ++code) {
        for (size_t t = 0, c = code; t < length; ++t, c /= states)
            path[t] = c % states;
        double weight = 1.0 / double(states);
        for (size_t t = 0; t < length; ++t) {
            if (t > 0) {
                weight *= path[t] == path[t - 1] ? 1.0 - switchProbability
                                                 : switchProbability / double(states - 1);
            }
            weight *= double(blocks[t][path[t]]);
        }
        marginal[path[k]] += weight;
    }
    return marginal;
}

TEST(CausalSmoother, LaggedAnswersAreThePathMarginalsBest) {
    std::mt19937 random(5);
    std::uniform_real_distribution<float> value(0.02f, 1.0f);
    const size_t states = 3, blocks = 7;
    size_t checked = 0;
    for (int trial = 0; trial < 30; ++trial) {
        const size_t lag = 1 + static_cast<size_t>(trial % 3);
        const float switchProbability = trial % 2 ? 0.05f : 0.3f;
        std::vector<std::vector<float>> scores(blocks, std::vector<float>(states));
        for (auto& block : scores) {
            float total = 0;
            for (float& v : block)
                total += v = value(random);
            for (float& v : block)
                v /= total;  // as the job's, summing to 1
        }
        Host::CausalSmoother smoother(states, switchProbability, 1.0e-4f, lag);
        auto check = [&](int answer, size_t k, size_t last) {
            const std::vector<double> m = PathMarginal(scores, states, switchProbability, k, last);
            std::vector<double> sorted = m;
            std::sort(sorted.begin(), sorted.end());
            if (sorted[states - 1] - sorted[states - 2] < 1e-4 * sorted[states - 1]) return;
            const auto best = static_cast<int>(std::max_element(m.begin(), m.end()) - m.begin());
            EXPECT_EQ(answer, best) << "trial " << trial << " block " << k << " of " << last;
            ++checked;
        };
        for (size_t t = 0; t < blocks; ++t) {
            const int answer = smoother.Update(scores[t].data());
            check(answer, t >= lag ? t - lag : 0, t);
        }
        for (size_t back = 0; back <= lag; ++back)
            check(smoother.Settled(back), blocks - 1 - back, blocks - 1);
    }
    EXPECT_GT(checked, 250u);  // near-ties left out, not the bulk
}

// A window of four frames at one a second, the median as the level and the gate 20 dB (a tenth)
// under it; a talker who falls quiet takes the gate down with them once the window has passed.
TEST(LevelGate, FollowsTheWindowsPercentileWorkedByHand) {
    Host::LevelGate gate(1.0, {-20.0, 0.5, 4.0});
    EXPECT_EQ(gate.WindowFrames(), 4u);
    EXPECT_EQ(gate.Gate(), 0.0f);
    EXPECT_EQ(gate.Update(0.0f), 0.0f);  // digital silence says nothing of the level
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Volumes, and the level after each: the middle value of the window's sorted volumes (rank
    // 0.5 x (n - 1), rounded), the first of the window leaving once it holds four.
    const std::pair<float, float> steps[] = {
        {1.0f, 1.0f},  // [1]
        {0.0f, 1.0f},  // not counted
        {3.0f, 3.0f},  // [1 3]: rank 1
        {2.0f, 2.0f},  // [1 2 3]: rank 1
        {nan, 2.0f},   // not counted
        {5.0f, 3.0f},  // [1 2 3 5]: rank 2
        {4.0f, 4.0f},  // 1 leaves: [2 3 4 5]
        {0.5f, 4.0f},  // 3 leaves: [0.5 2 4 5]
        {0.5f, 4.0f},  // 2 leaves: [0.5 0.5 4 5]
        {0.5f, 0.5f},  // 5 leaves: [0.5 0.5 0.5 4]
        {0.5f, 0.5f},  // 4 leaves
    };
    for (const auto& [volume, level] : steps) {
        SCOPED_TRACE(volume);
        EXPECT_EQ(gate.Update(volume), static_cast<float>(double(level) * std::pow(10.0, -1.0)));
        EXPECT_EQ(gate.Level(), level);
        EXPECT_EQ(gate.Gate(), static_cast<float>(double(level) * std::pow(10.0, -1.0)));
    }
    gate.Reset();
    EXPECT_EQ(gate.Level(), 0.0f);
    EXPECT_EQ(gate.Update(8.0f), static_cast<float>(8.0 * std::pow(10.0, -1.0)));
}

// Over random volumes with repeats, the gate after every frame is the percentile of the last
// window's volumes found by sorting them, and with a window longer than the stream the whole
// recording's gate: 30 dB under its 95th-percentile frame volume.
TEST(LevelGate, IsThePercentileOfTheRecentVolumesBySorting) {
    std::mt19937 random(11);
    std::uniform_int_distribution<int> pick(0, 40);
    std::vector<float> volumes;
    for (int i = 0; i < 3000; ++i) {
        const int value = pick(random);  // 0 is digital silence, left out of the level
        volumes.push_back(value == 0 ? 0.0f : std::ldexp(float(value), -6));
    }
    for (const auto& [seconds, percentile] : {std::pair{0.37, 0.95}, {5.0, 0.8}, {1000.0, 0.95}}) {
        SCOPED_TRACE(seconds);
        Host::LevelGate gate(100.0, {-30.0, percentile, seconds});
        const auto window = static_cast<size_t>(std::lround(seconds * 100.0));
        std::vector<float> heard;
        for (float volume : volumes) {
            const float got = gate.Update(volume);
            if (volume > 0) heard.push_back(volume);
            std::vector<float> recent(heard.end() - std::min(heard.size(), window), heard.end());
            std::sort(recent.begin(), recent.end());
            float level = 0;
            if (!recent.empty()) {
                level = recent[static_cast<size_t>(
                    std::floor(percentile * double(recent.size() - 1) + 0.5))];
            }
            ASSERT_EQ(got, static_cast<float>(level * std::pow(10.0, -1.5)))
                << heard.size() << " volumes heard";
        }
    }
}

TEST(LevelGate, RefusesSettingsOutOfRange) {
    EXPECT_THROW(Host::LevelGate(0.0), std::invalid_argument);
    EXPECT_THROW(Host::LevelGate(std::nan("")), std::invalid_argument);
    EXPECT_THROW(Host::LevelGate(100.0, {5.0, 0.95, 10.0}), std::invalid_argument);
    EXPECT_THROW(Host::LevelGate(100.0, {-30.0, 1.5, 10.0}), std::invalid_argument);
    EXPECT_THROW(Host::LevelGate(100.0, {-30.0, 0.95, 0.001}), std::invalid_argument);
    EXPECT_THROW(Host::LevelGate(100.0, {-30.0, 0.95, 1.0e9}), std::invalid_argument);
    EXPECT_EQ(Host::LevelGate(31.25).WindowFrames(), 313u);  // 10 s at a 32 ms hop
}

// Live labels are the offline pass over the frames up to the lag's end, read at the frame the
// lag back: silence alone below the gate or where nothing was scored, else each phoneme's log
// score. A profile without "sil" gets it as one more state, which only silent frames reach.
TEST(LiveLabels, AreTheBestPathOverTheFramesUpToTheLag) {
    std::mt19937 random(17);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    for (const bool namedSilence : {true, false}) {
        Profile profile = ThreePhonemeProfile(Folding::Sum);
        if (namedSilence) profile.phonemes[1].name = "sil";
        const size_t phonemes = 3, states = namedSilence ? 3 : 4;
        const size_t silence = namedSilence ? 1 : 3;
        struct Frame {
            float volume;
            int best;
            std::vector<float> scores;
        };
        std::vector<Frame> frames;
        for (int t = 0; t < 60; ++t) {
            Frame frame{uniform(random) < 0.2f ? 0.001f : 0.5f, 0, {}};
            for (size_t p = 0; p < phonemes; ++p)
                frame.scores.push_back(uniform(random) < 0.1f ? 0.0f : uniform(random));
            if (t % 17 == 5) frame.scores.assign(phonemes, 0.0f);  // nothing scored
            frame.best = static_cast<int>(
                std::max_element(frame.scores.begin(), frame.scores.end()) - frame.scores.begin());
            if (t % 17 == 5) frame.best = -1;
            frames.push_back(frame);
        }
        std::vector<float> rows;
        for (const Frame& frame : frames) {
            const bool silent = frame.volume < 0.01f || frame.best < 0;
            for (size_t s = 0; s < states; ++s) {
                const bool phoneme = s < phonemes && !silent;
                rows.push_back(silent ? (s == silence ? 0.0f : Host::kImpossibleLogScore)
                               : phoneme && frame.scores[s] > 0 ? std::log(frame.scores[s])
                                                                : Host::kImpossibleLogScore);
            }
        }
        for (const size_t lag : {size_t(0), size_t(1), size_t(3)}) {
            SCOPED_TRACE(testing::Message() << "lag " << lag << ", sil named " << namedSilence);
            Host::LiveLabelSettings settings;
            settings.fixedGate = 0.01f;
            settings.switchCost = 1.5f;
            settings.lag = lag;
            Host::LiveLabels labels(profile, 100.0, settings);
            ASSERT_EQ(labels.Names().size(), states);
            EXPECT_EQ(labels.Names()[silence], "sil");
            std::set<int> answers;  // the frames are in doubt: several labels come
            for (size_t t = 0; t < frames.size(); ++t) {
                const int label = labels.Update(frames[t].volume, frames[t].best, frames[t].scores);
                if (t < lag) {
                    EXPECT_EQ(label, -1);
                    continue;
                }
                answers.insert(label);
                const std::vector<float> known(rows.begin(),
                                               rows.begin() + static_cast<long>((t + 1) * states));
                EXPECT_EQ(label, Host::SmoothPath(known, states, 1.5f)[t - lag]) << t;
            }
            EXPECT_EQ(answers.size(), states);
            const std::vector<int> last = labels.Finish();
            ASSERT_EQ(last.size(), lag);
            // At the end the last answers are the whole track's.
            const std::vector<int> whole = Host::SmoothPath(rows, states, 1.5f);
            EXPECT_EQ(last, std::vector<int>(whole.end() - static_cast<long>(lag), whole.end()));
            EXPECT_EQ(labels.Gate(), 0.01f);
            EXPECT_FALSE(labels.FollowsLevel());
        }
        // Unsmoothed: each frame's own best at once, whatever lag was asked for.
        Host::LiveLabelSettings plain;
        plain.smoothing = false;
        plain.fixedGate = 0.01f;
        Host::LiveLabels own(profile, 100.0, plain);
        EXPECT_EQ(own.Lag(), 0u);
        for (const Frame& frame : frames) {
            const bool silent = frame.volume < 0.01f || frame.best < 0;
            EXPECT_EQ(own.Update(frame.volume, frame.best, frame.scores),
                      silent ? static_cast<int>(silence) : frame.best);
        }
        EXPECT_TRUE(own.Finish().empty());
    }
}

// By default the gate follows the level: a line 30 dB down is labelled as the loud one, and a
// reset forgets the level heard.
TEST(LiveLabels, GateFollowsTheLevelUnlessFixed) {
    const Profile profile = ThreePhonemeProfile(Folding::Sum);
    const std::vector<float> scores = {0.7f, 0.2f, 0.1f};
    for (const float scale : {1.0f, 0.0316228f}) {
        Host::LiveLabels labels(profile, 100.0);
        EXPECT_TRUE(labels.FollowsLevel());
        std::vector<int> got;
        for (const float volume : {0.3f, 0.3f, 0.3f, 0.005f, 0.3f, 0.3f, 0.3f})
            got.push_back(labels.Update(volume * scale, 0, scores));
        for (const int label : labels.Finish())
            got.push_back(label);
        // Two frames of lag, so the first two answers come late; 0.005 is 35 dB under 0.3.
        EXPECT_EQ(got, (std::vector<int>{-1, -1, 0, 0, 0, 3, 0, 0, 0})) << scale;
        EXPECT_NEAR(labels.Gate(), 0.3f * scale * 0.0316228f, 1e-6f * scale);
        labels.Reset();
        EXPECT_EQ(labels.Update(0.0001f, 0, scores), -1);
        EXPECT_TRUE(labels.Finish() == std::vector<int>{0});  // heard: the only level it knows
    }
    Host::LiveLabelSettings bad;
    bad.switchCost = -1.0f;
    EXPECT_THROW(Host::LiveLabels(profile, 100.0, bad), std::invalid_argument);
    EXPECT_THROW(Host::LiveLabels(profile, 0.0), std::invalid_argument);
}

// A mouth rests under the gate only where the labels have heard speech: a tenth of a second of
// it, and more than the 5 % of the window above the level's percentile. A room's noise alone
// sets the level, and the gate under it, but never the mouth's.
TEST(LiveLabels, AMouthFollowsTheGateOnlyOnceSpeechIsHeard) {
    Profile profile = ThreePhonemeProfile(Folding::Sum);
    profile.phonemes[1].name = "sil";
    const std::vector<float> speech = {0.98f, 0.01f, 0.01f}, noise = {0.01f, 0.98f, 0.01f};
    EXPECT_EQ(Host::MouthSpeechFrames(100.0), 10u);
    EXPECT_EQ(Host::MouthSpeechFrames(5.0), 1u);
    Host::LiveLabels labels(profile, 100.0);
    // Speech from the first frame: the labels come two frames late, so the tenth labelled
    // speech frame comes with the twelfth.
    for (int k = 1; k <= 12; ++k) {
        labels.Update(0.3f, 0, speech);
        EXPECT_EQ(labels.MouthGate(), k < 12 ? 0.0f : labels.Gate()) << k;
    }
    EXPECT_GT(labels.MouthGate(), 0.0f);
    // 3 s of noise first: the level is the noise's, the mouth keeps its own levels until 16 of
    // the 316 frames labelled are speech (with the eighteenth speech frame).
    labels.Reset();
    EXPECT_EQ(labels.MouthGate(), 0.0f);
    for (int t = 0; t < 300; ++t)
        labels.Update(0.003f, 1, noise);
    EXPECT_NEAR(labels.Gate(), 0.003f * 0.0316228f, 1e-7f);
    EXPECT_EQ(labels.MouthGate(), 0.0f);
    for (int k = 1; k <= 40; ++k) {
        labels.Update(0.3f, 0, speech);
        EXPECT_EQ(labels.MouthGate(), k < 18 ? 0.0f : labels.Gate()) << k;
    }
    // The 40 speech frames weigh less than 5 % of the 800 frames labelled once 462 noise frames
    // follow.
    for (int t = 1; t <= 1000; ++t) {
        labels.Update(0.003f, 1, noise);
        if (t == 461) {
            EXPECT_GT(labels.MouthGate(), 0.0f);
        }
        if (t == 462) {
            EXPECT_EQ(labels.MouthGate(), 0.0f);
        }
    }
    EXPECT_EQ(labels.MouthGate(), 0.0f);
    // Digital silence is no frame of the window.
    for (int t = 0; t < 2000; ++t)
        labels.Update(0.0f, -1, std::vector<float>(3, 0.0f));
    EXPECT_EQ(labels.MouthGate(), 0.0f);
    // A fixed gate is the host's choice, for the mouth too.
    Host::LiveLabelSettings fixed;
    fixed.fixedGate = 0.02f;
    Host::LiveLabels steady(profile, 100.0, fixed);
    EXPECT_EQ(steady.MouthGate(), 0.02f);
}

}  // namespace
}  // namespace Vocetta::Testing
