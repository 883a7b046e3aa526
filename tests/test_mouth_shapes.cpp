// The SDK's mouth-shape layer: the phoneme-to-shape map, sharpening, the silence gate and the jaw
// on worked score vectors; attack and release against the closed form of a one-pole filter; cue
// building with a minimum hold on made-up frame sequences worked out by hand.
#include <cmath>
#include <string>
#include <vector>

#include "support.hpp"
#include "vocetta/mouth_shapes.hpp"

namespace Vocetta::Testing {
namespace {

using Host::BuildShapeMap;
using Host::MouthSettings;
using Host::MouthShapes;
using Host::ShapeError;
using Host::ShapeSet;

const std::vector<std::string> kVowels = {"A", "I", "U", "E", "O", "sil"};

int Cartoon(const char* name) {
    return Host::ShapeIndex(ShapeSet::Cartoon, name);
}

// Settings that show the target at once: no smoothing, no sharpening.
MouthSettings Immediate(double sharpness = 1.0) {
    MouthSettings settings;
    settings.attackSeconds = 0;
    settings.releaseSeconds = 0;
    settings.sharpness = sharpness;
    return settings;
}

TEST(ShapeMap, BuiltInPhonemesTakeTheirShapesInEitherSet) {
    const std::vector<std::string> names = {"A", "E", "I", "O", "U", "M", "FV", "S", "L", "sil"};
    const char* cartoon[] = {"D", "C", "B", "E", "F", "A", "G", "B", "H", "X"};
    const char* visemes[] = {"aa", "E", "ih", "oh", "ou", "PP", "FF", "SS", "nn", "sil"};
    const auto toons = BuildShapeMap(ShapeSet::Cartoon, names, {}, "built-in");
    const auto vis = BuildShapeMap(ShapeSet::Visemes, names, {}, "built-in");
    ASSERT_EQ(toons.shapes, 9);
    ASSERT_EQ(vis.shapes, 15);
    for (int p = 0; p < 10; ++p) {
        for (int s = 0; s < 9; ++s) {
            EXPECT_EQ(toons.At(p, s), s == Cartoon(cartoon[p]) ? 1.0f : 0.0f) << names[p];
        }
        for (int s = 0; s < 15; ++s) {
            EXPECT_EQ(vis.At(p, s), s == Host::ShapeIndex(ShapeSet::Visemes, visemes[p]) ? 1 : 0)
                << names[p];
        }
    }
    EXPECT_EQ(Host::ShapeNames(ShapeSet::Cartoon)[Host::RestShape(ShapeSet::Cartoon)], "X");
    EXPECT_EQ(Host::ShapeNames(ShapeSet::Visemes)[Host::RestShape(ShapeSet::Visemes)], "sil");
}

TEST(ShapeMap, ProfileWeightsAreNormalisedAndOverrideTheDefaults) {
    std::vector<Host::ShapeWeights> own(3);
    own[0] = {{"cartoon", {{"C", 3.0}, {"D", 1.0}}}};  // "ah" a little less open than usual
    own[1] = {{"visemes", {{"kk", 2.0}}}};             // says nothing about cartoons
    own[2] = {{"cartoon", {{"H", 0.5}}}, {"visemes", {{"nn", 4.0}}}};  // a name without defaults
    const auto map = BuildShapeMap(ShapeSet::Cartoon, {"A", "I", "ll"}, own, "mine.json");
    EXPECT_EQ(map.At(0, Cartoon("C")), 0.75f);
    EXPECT_EQ(map.At(0, Cartoon("D")), 0.25f);
    EXPECT_EQ(map.At(1, Cartoon("B")), 1.0f);  // the default for I
    EXPECT_EQ(map.At(2, Cartoon("H")), 1.0f);
    const auto visemes = BuildShapeMap(ShapeSet::Visemes, {"A", "I", "ll"}, own, "mine.json");
    EXPECT_EQ(visemes.At(1, Host::ShapeIndex(ShapeSet::Visemes, "kk")), 1.0f);
    EXPECT_EQ(visemes.At(2, Host::ShapeIndex(ShapeSet::Visemes, "nn")), 1.0f);
}

TEST(ShapeMap, BadWeightsAndUnknownPhonemesNameTheirPlace) {
    auto message = [](const std::vector<std::string>& names,
                      const std::vector<Host::ShapeWeights>& own) {
        try {
            BuildShapeMap(ShapeSet::Cartoon, names, own, "mine.json");
        } catch (const ShapeError& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message({"ah"}, {}),
              "mine.json: phonemes[0] (\"ah\").shapes: no \"cartoon\" weights, and no built-in "
              "shape for a phoneme of this name (give it \"shapes\": {\"cartoon\": {SHAPE: 1}})");
    EXPECT_EQ(message({"A"}, {{{"cartoons", {{"D", 1.0}}}}}),
              "mine.json: phonemes[0] (\"A\").shapes: unknown shape set \"cartoons\" (cartoon or "
              "visemes)");
    EXPECT_EQ(message({"A", "I"}, {{}, {{"visemes", {{"D", 1.0}}}}}),
              "mine.json: phonemes[1] (\"I\").shapes.visemes.D: the visemes set has no such shape "
              "(sil PP FF TH DD kk CH SS nn RR aa E ih oh ou)");
    EXPECT_EQ(
        message({"A"}, {{{"cartoon", {{"D", -1.0}, {"C", 2.0}}}}}),
        "mine.json: phonemes[0] (\"A\").shapes.cartoon.D: must be a finite number, 0 or more");
    EXPECT_EQ(
        message({"A"}, {{{"cartoon", {{"D", NAN}}}}}),
        "mine.json: phonemes[0] (\"A\").shapes.cartoon.D: must be a finite number, 0 or more");
    EXPECT_EQ(message({"A"}, {{{"cartoon", {{"D", 0.0}}}}}),
              "mine.json: phonemes[0] (\"A\").shapes.cartoon: the weights must not all be 0");
    EXPECT_EQ(message({"A", "I"}, {{}}),
              "mine.json: shape weights for 1 phonemes, but the profile has 2");
}

TEST(MouthShapes, ScoresMixIntoShapesAndSharpeningFavoursTheWinner) {
    const auto map = BuildShapeMap(ShapeSet::Cartoon, kVowels, {}, "built-in");
    // A 0.5, I 0.3, U 0.2: shapes D 0.5, B 0.3, F 0.2, the rest 0.
    const std::vector<float> scores = {0.5f, 0.3f, 0.2f, 0, 0, 0};
    MouthShapes plain(map, Immediate(1.0));
    plain.Update(scores, 0.1f, 0.01);
    EXPECT_FLOAT_EQ(plain.Weights()[Cartoon("D")], 0.5f);
    EXPECT_FLOAT_EQ(plain.Weights()[Cartoon("B")], 0.3f);
    EXPECT_FLOAT_EQ(plain.Weights()[Cartoon("F")], 0.2f);
    EXPECT_EQ(plain.Weights()[Cartoon("X")], 0.0f);
    EXPECT_EQ(plain.Dominant(), Cartoon("D"));

    // Squared: 0.25, 0.09, 0.04 over their sum 0.38; cubed: 0.125, 0.027, 0.008 over 0.16.
    MouthShapes squared(map, Immediate(2.0));
    squared.Update(scores, 0.1f, 0.01);
    EXPECT_FLOAT_EQ(squared.Weights()[Cartoon("D")], 0.25f / 0.38f);
    EXPECT_FLOAT_EQ(squared.Weights()[Cartoon("B")], 0.09f / 0.38f);
    EXPECT_FLOAT_EQ(squared.Weights()[Cartoon("F")], 0.04f / 0.38f);
    MouthShapes cubed(map, Immediate(3.0));
    cubed.Update(scores, 0.1f, 0.01);
    EXPECT_FLOAT_EQ(cubed.Weights()[Cartoon("D")], 0.78125f);
    EXPECT_FLOAT_EQ(cubed.Weights()[Cartoon("B")], 0.16875f);
    EXPECT_FLOAT_EQ(cubed.Weights()[Cartoon("F")], 0.05f);

    // Two phonemes on one shape add up before sharpening: I and a made-up "S" on B.
    const auto shared = BuildShapeMap(ShapeSet::Cartoon, {"A", "I", "S"}, {}, "built-in");
    MouthShapes together(shared, Immediate(2.0));
    together.Update(std::vector<float>{0.4f, 0.3f, 0.3f}, 0.1f, 0.01);
    EXPECT_FLOAT_EQ(together.Weights()[Cartoon("B")], 0.36f / 0.52f);
    EXPECT_EQ(together.Dominant(), Cartoon("B"));

    // A huge exponent cannot underflow the winner away.
    MouthShapes steep(map, Immediate(100.0));
    steep.Update(std::vector<float>{0.2f, 0.19f, 0.18f, 0.17f, 0.16f, 0.1f}, 0.1f, 0.01);
    const double others = std::pow(0.95, 100) + std::pow(0.9, 100) + std::pow(0.85, 100) +
                          std::pow(0.8, 100) + std::pow(0.5, 100);
    EXPECT_NEAR(steep.Weights()[Cartoon("D")], 1 / (1 + others), 1e-5);
}

TEST(MouthShapes, QuietOrUnscoredBlocksRestTheMouthAndTheJawFollowsTheVolume) {
    const auto map = BuildShapeMap(ShapeSet::Cartoon, kVowels, {}, "built-in");
    MouthShapes mouth(map, Immediate());
    const std::vector<float> ah = {1, 0, 0, 0, 0, 0};
    auto rests = [&](const std::vector<float>& scores, float volume) {
        mouth.Update(scores, volume, 0.01);
        return mouth.Weights()[Cartoon("X")] == 1.0f && mouth.Dominant() == Cartoon("X") &&
               mouth.Jaw() == 0.0f;
    };
    EXPECT_TRUE(rests(ah, 0.009f));                // under -40 dBFS
    EXPECT_TRUE(rests(ah, NAN));                   // no volume at all
    EXPECT_TRUE(rests({0, 0, 0, 0, 0, 0}, 0.1f));  // the job found nothing
    EXPECT_TRUE(rests({NAN, NAN, NAN, NAN, NAN, NAN}, 0.1f));
    EXPECT_TRUE(rests({0, 0, 0, 0, 0, 1}, 0.1f));  // the profile heard silence: the jaw shuts too
    EXPECT_FALSE(rests(ah, 0.01f));

    // Closed at the silence level, fully open at the loud level, half way at their geometric mean.
    for (const auto& [volume, jaw] : std::vector<std::pair<float, float>>{
             {0.01f, 0.0f}, {0.05f, 0.5f}, {0.25f, 1.0f}, {0.9f, 1.0f}}) {
        mouth.Update(ah, volume, 0.01);
        EXPECT_NEAR(mouth.Jaw(), jaw, 1e-6) << volume;
    }

    // A gate that follows a quiet talker 30 dB down moves both levels: the same blocks 30 dB
    // quieter open the jaw as far. Levels out of order change nothing.
    mouth.SetVolumes(0.01f * 0.0316228f, 0.25f * 0.0316228f);
    EXPECT_FALSE(rests(ah, 0.009f));
    for (const auto& [volume, jaw] :
         std::vector<std::pair<float, float>>{{0.05f, 0.5f}, {0.25f, 1.0f}, {0.0003f, 0.0f}}) {
        mouth.Update(ah, volume * 0.0316228f, 0.01);
        EXPECT_NEAR(mouth.Jaw(), jaw, 1e-5) << volume;
    }
    EXPECT_THROW(mouth.SetVolumes(0.1f, 0.1f), ShapeError);
    EXPECT_THROW(mouth.SetVolumes(-1.0f, 0.1f), ShapeError);
    EXPECT_EQ(mouth.Settings().silenceVolume, 0.01f * 0.0316228f);
    EXPECT_TRUE(rests(ah, 0.0003f));
    // Following a gate: its 28 dB span, then with no gate (no speech heard) the levels the mouth
    // was made with.
    mouth.FollowGate(0.002f);
    EXPECT_EQ(mouth.Settings().silenceVolume, 0.002f);
    EXPECT_EQ(mouth.Settings().loudVolume, 0.002f * Host::kLoudOverSilence);
    mouth.FollowGate(0.0f);
    EXPECT_EQ(mouth.Settings().silenceVolume, 0.01f);
    EXPECT_EQ(mouth.Settings().loudVolume, 0.25f);
    EXPECT_TRUE(rests(ah, 0.009f));
}

TEST(MouthShapes, LoudBlocksHoldTheRestShapeBackAndOpenShapesCountTogether) {
    const auto map = BuildShapeMap(ShapeSet::Cartoon, kVowels, {}, "built-in");
    MouthShapes mouth(map, Immediate());
    // sil 0.6, A 0.4 at 0.05 RMS, half way up the jaw's scale: X keeps half of its 0.6, so
    // X = 0.3 / 0.7, D = 0.4 / 0.7, and the jaw opens 0.5 x (1 - X).
    const std::vector<float> breathy = {0.4f, 0, 0, 0, 0, 0.6f};
    mouth.Update(breathy, 0.05f, 0.01);
    EXPECT_FLOAT_EQ(mouth.Weights()[Cartoon("X")], 0.3f / 0.7f);
    EXPECT_FLOAT_EQ(mouth.Weights()[Cartoon("D")], 0.4f / 0.7f);
    EXPECT_NEAR(mouth.Jaw(), 0.5 * 0.4 / 0.7, 1e-6);
    EXPECT_EQ(mouth.Dominant(), Cartoon("D"));
    // At the silence level the same scores rest the mouth: X 0.6 outweighs D 0.4.
    mouth.Update(breathy, 0.01f, 0.01);
    EXPECT_FLOAT_EQ(mouth.Weights()[Cartoon("X")], 0.6f);
    EXPECT_EQ(mouth.Dominant(), Cartoon("X"));
    // X 0.4 against D 0.3 and B 0.3: the open shapes together win, and of the two equal ones
    // the lower index, B.
    mouth.Update(std::vector<float>{0.3f, 0.3f, 0, 0, 0, 0.4f}, 0.01f, 0.01);
    EXPECT_EQ(mouth.Dominant(), Cartoon("B"));
}

TEST(MouthShapes, StepsRiseWithTheAttackAndFallWithTheReleaseTime) {
    MouthSettings settings;
    settings.attackSeconds = 0.03;
    settings.releaseSeconds = 0.08;
    settings.sharpness = 1;
    const auto map = BuildShapeMap(ShapeSet::Cartoon, kVowels, {}, "built-in");
    MouthShapes mouth(map, settings);
    const std::vector<float> ah = {1, 0, 0, 0, 0, 0};
    const double h = 0.01;
    // From rest, "ah" at full volume from frame 1 on: D = 1 - e^(-t/attack), X = e^(-t/release),
    // the jaw like D.
    for (int n = 1; n <= 30; ++n) {
        mouth.Update(ah, 0.25f, h);
        const double t = n * h;
        EXPECT_NEAR(mouth.Weights()[Cartoon("D")], 1 - std::exp(-t / 0.03), 1e-5) << n;
        EXPECT_NEAR(mouth.Weights()[Cartoon("X")], std::exp(-t / 0.08), 1e-5) << n;
        EXPECT_NEAR(mouth.Jaw(), 1 - std::exp(-t / 0.03), 1e-5) << n;
        // D overtakes X between 30 and 40 ms: 1 - e^(-4/3) = 0.736 > e^(-1/2) = 0.607, while
        // 1 - e^(-1) = 0.632 < e^(-3/8) = 0.687.
        EXPECT_EQ(mouth.Dominant(), n <= 3 ? Cartoon("X") : Cartoon("D")) << n;
    }
    // Then silence: D falls from where it stood with the release time.
    const double top = mouth.Weights()[Cartoon("D")];
    for (int n = 1; n <= 20; ++n) {
        mouth.Update(ah, 0.0f, h);
        EXPECT_NEAR(mouth.Weights()[Cartoon("D")], top * std::exp(-n * h / 0.08), 1e-5) << n;
    }
    // Uneven frames give the same curve: one 50 ms frame equals five of 10 ms.
    MouthShapes once(map, settings), often(map, settings);
    once.Update(ah, 0.25f, 0.05);
    for (int n = 0; n < 5; ++n)
        often.Update(ah, 0.25f, 0.01);
    EXPECT_NEAR(once.Weights()[Cartoon("D")], often.Weights()[Cartoon("D")], 1e-6);
    // Reset returns to rest.
    once.Reset();
    EXPECT_EQ(once.Weights()[Cartoon("X")], 1.0f);
    EXPECT_EQ(once.Jaw(), 0.0f);
}

TEST(MouthShapes, RejectsSettingsOutOfRange) {
    const auto map = BuildShapeMap(ShapeSet::Cartoon, kVowels, {}, "built-in");
    auto rejected = [&](void (*change)(MouthSettings&)) {
        MouthSettings settings;
        change(settings);
        try {
            MouthShapes mouth(map, settings);
        } catch (const ShapeError&) {
            return true;
        }
        return false;
    };
    EXPECT_TRUE(rejected([](MouthSettings& s) { s.attackSeconds = -0.01; }));
    EXPECT_TRUE(rejected([](MouthSettings& s) { s.releaseSeconds = INFINITY; }));
    EXPECT_TRUE(rejected([](MouthSettings& s) { s.sharpness = 0.5; }));
    EXPECT_TRUE(rejected([](MouthSettings& s) { s.loudVolume = s.silenceVolume; }));
    EXPECT_FALSE(rejected([](MouthSettings& s) { s.attackSeconds = s.releaseSeconds = 0; }));
}

TEST(MouthShapes, ClosedLipsAndTeethOnTheLipShowOnlyWithAClearLead) {
    // Loud frames, unsharpened: the weights are the scores' shares, whatever the margins.
    const std::vector<std::string> names = {"M", "U", "FV", "sil"};
    const auto map = BuildShapeMap(ShapeSet::Cartoon, names, {}, "test");
    auto shown = [&](std::vector<float> scores, double closedMargin, double lipMargin) {
        MouthSettings settings = Immediate();
        settings.closedMargin = closedMargin;
        settings.lipMargin = lipMargin;
        MouthShapes mouth(map, settings);
        mouth.Update(scores, 0.25f, 0.01);
        EXPECT_FLOAT_EQ(mouth.Weights()[static_cast<size_t>(Cartoon("A"))], scores[0]);
        return Host::ShapeNames(ShapeSet::Cartoon)[static_cast<size_t>(mouth.Dominant())];
    };
    // M 0.5 against U 0.3: A wins plainly and at a margin of 1.5 (0.33 > 0.3), not at 2 (0.25).
    EXPECT_EQ(shown({0.5f, 0.3f, 0.2f, 0.0f}, 1.0, 1.0), "A");
    EXPECT_EQ(shown({0.5f, 0.3f, 0.2f, 0.0f}, 1.5, 1.0), "A");
    EXPECT_EQ(shown({0.5f, 0.3f, 0.2f, 0.0f}, 2.0, 1.0), "F");
    // FV 0.45 against U 0.35 likewise at 1.25 (0.36), not at 1.5 (0.3); M is left alone.
    EXPECT_EQ(shown({0.2f, 0.35f, 0.45f, 0.0f}, 1.0, 1.25), "G");
    EXPECT_EQ(shown({0.2f, 0.35f, 0.45f, 0.0f}, 1.0, 1.5), "F");
    // Both margins at once: A 0.5 / 2 = 0.25 still beats G 0.4 / 2 = 0.2 and F 0.1.
    EXPECT_EQ(shown({0.5f, 0.1f, 0.4f, 0.0f}, 2.0, 2.0), "A");
    // The visemes' own closed and lip shapes.
    EXPECT_EQ(Host::ShapeNames(ShapeSet::Visemes)[Host::ClosedShape(ShapeSet::Visemes)], "PP");
    EXPECT_EQ(Host::ShapeNames(ShapeSet::Visemes)[Host::LipShape(ShapeSet::Visemes)], "FF");
    EXPECT_EQ(Host::ShapeNames(ShapeSet::Cartoon)[Host::LipShape(ShapeSet::Cartoon)], "G");
    MouthSettings bad = Immediate();
    bad.closedMargin = 0.5;
    EXPECT_THROW(MouthShapes(map, bad), ShapeError);
    bad = Immediate();
    bad.lipMargin = NAN;
    EXPECT_THROW(MouthShapes(map, bad), ShapeError);
}

TEST(MouthShapes, TeethOnTheLipAndClosedLipsShowOnlyWhereTheVolumeDips) {
    // Frames every 10 ms; the teeth on the lip need 12 dB under the loudest frame of the last
    // 50 ms (a share of 10^(-12/20) = 0.2512), the closed lips 6 dB (0.5012).
    const std::vector<std::string> names = {"M", "U", "FV", "sil"};
    const auto map = BuildShapeMap(ShapeSet::Cartoon, names, {}, "test");
    MouthSettings settings = Immediate();
    settings.lipDipDb = 12;
    settings.closedDipDb = 6;
    settings.dipWindowSeconds = 0.05;
    MouthShapes mouth(map, settings);
    const std::vector<float> fv = {0, 0.3f, 0.7f, 0}, m = {0.7f, 0.3f, 0, 0};
    auto shown = [&](const std::vector<float>& scores, float volume) {
        mouth.Update(scores, volume, 0.01);
        return Host::ShapeNames(ShapeSet::Cartoon)[static_cast<size_t>(mouth.Dominant())];
    };
    // A vowel at 0.2, then the fricative: 0.06 is only 10.5 dB under it (0.06 > 0.0502) and
    // shows the next speaking shape, "oo"; 0.04 is 14 dB under and shows G.
    EXPECT_EQ(shown(fv, 0.2f), "F");
    EXPECT_EQ(shown(fv, 0.06f), "F");
    EXPECT_EQ(shown(fv, 0.04f), "G");
    // The vowel stays the loudest while it is 50 ms old or less (frames 1 to 6, at 10 ... 60 ms).
    EXPECT_EQ(shown(fv, 0.04f), "G");
    EXPECT_EQ(shown(fv, 0.04f), "G");
    EXPECT_EQ(shown(fv, 0.04f), "G");
    // At 70 ms it has left the window; the loudest is now the 0.06 frame, which 0.04 does not dip
    // 12 dB under (0.0151).
    EXPECT_EQ(shown(fv, 0.04f), "F");
    EXPECT_EQ(shown(fv, 0.01f), "G");  // 0.01 <= 0.0151
    // The weights themselves are the scores' shares whatever is shown.
    EXPECT_FLOAT_EQ(mouth.Weights()[static_cast<size_t>(Cartoon("G"))], 0.7f);
    // A loud frame of nothing but FV keeps G: no other shape has a weight to take its place (the
    // lowest index, A, would close the lips on a fricative).
    EXPECT_EQ(shown({0, 0, 1, 0}, 0.5f), "G");

    // Closed lips after a reset: 0.1 lies 6.02 dB under 0.2 (0.1 <= 0.1002), 0.11 does not.
    mouth.Reset();
    EXPECT_EQ(shown(m, 0.2f), "F");
    EXPECT_EQ(shown(m, 0.11f), "F");
    EXPECT_EQ(shown(m, 0.1f), "A");
    // A louder frame becomes the loudest at once, and the quieter ones before it do not count.
    EXPECT_EQ(shown(m, 0.4f), "F");
    EXPECT_EQ(shown(m, 0.15f), "A");
    EXPECT_EQ(shown(m, 0.25f), "F");

    // Without dips the scores alone decide, at any volume.
    MouthShapes plain(map, Immediate());
    plain.Update(fv, 0.2f, 0.01);
    EXPECT_EQ(plain.Dominant(), Cartoon("G"));
    plain.Update(m, 0.2f, 0.01);
    EXPECT_EQ(plain.Dominant(), Cartoon("A"));

    // The visemes dip their own lip shape: FF gives way to ou.
    MouthShapes visemes(BuildShapeMap(ShapeSet::Visemes, names, {}, "test"), settings);
    visemes.Update(fv, 0.2f, 0.01);
    EXPECT_EQ(Host::ShapeNames(ShapeSet::Visemes)[static_cast<size_t>(visemes.Dominant())], "ou");
    visemes.Update(fv, 0.02f, 0.01);
    EXPECT_EQ(Host::ShapeNames(ShapeSet::Visemes)[static_cast<size_t>(visemes.Dominant())], "FF");

    for (auto change : {+[](MouthSettings& s) { s.lipDipDb = -1; },
                        +[](MouthSettings& s) { s.closedDipDb = INFINITY; },
                        +[](MouthSettings& s) { s.dipWindowSeconds = NAN; }}) {
        MouthSettings bad = Immediate();
        change(bad);
        EXPECT_THROW(MouthShapes(map, bad), ShapeError);
    }
}

// ---- Cues -------------------------------------------------------------------------------------

struct Expected {
    double start, end;
    const char* shape;
};

// Frames every 10 ms with centres at 5, 15, 25 ... ms, so frame boundaries fall on whole
// hundredths; `runs` gives each shape and its number of frames.
std::vector<Host::MouthCue> Cues(const std::vector<std::pair<const char*, int>>& runs,
                                 double duration, double hold) {
    std::vector<double> times;
    std::vector<int> shapes;
    for (const auto& [shape, frames] : runs) {
        for (int i = 0; i < frames; ++i) {
            times.push_back(0.005 + 0.01 * static_cast<double>(times.size()));
            shapes.push_back(Cartoon(shape));
        }
    }
    return Host::BuildCues(times, shapes, duration, Cartoon("X"), {hold, 0.01});
}

void ExpectCues(const std::vector<Host::MouthCue>& cues, const std::vector<Expected>& expected) {
    ASSERT_EQ(cues.size(), expected.size());
    for (size_t i = 0; i < cues.size(); ++i) {
        EXPECT_NEAR(cues[i].start, expected[i].start, 1e-9) << i;
        EXPECT_NEAR(cues[i].end, expected[i].end, 1e-9) << i;
        EXPECT_EQ(Host::ShapeNames(ShapeSet::Cartoon)[cues[i].shape], expected[i].shape) << i;
    }
}

TEST(Cues, ShortCuesBorrowTimeOrJoinANeighbour) {
    // X 100 ms, D 30, B 10, D 120, A 40, F 100 with a 70 ms hold:
    // - B (10 ms, under half the hold) joins the longer D after it, and the two Ds become one;
    // - A (40 ms, at least half) takes 30 ms from D before it, which has 90 to spare (F only 30).
    ExpectCues(Cues({{"X", 10}, {"D", 3}, {"B", 1}, {"D", 12}, {"A", 4}, {"F", 10}}, 0.40, 0.07),
               {{0.00, 0.10, "X"}, {0.10, 0.23, "D"}, {0.23, 0.30, "A"}, {0.30, 0.40, "F"}});
    // The same without a hold: every run, as it came.
    ExpectCues(Cues({{"X", 10}, {"D", 3}, {"B", 1}, {"D", 12}, {"A", 4}, {"F", 10}}, 0.40, 0.0),
               {{0.00, 0.10, "X"},
                {0.10, 0.13, "D"},
                {0.13, 0.14, "B"},
                {0.14, 0.26, "D"},
                {0.26, 0.30, "A"},
                {0.30, 0.40, "F"}});
    // Flicker folds away, shortest first, each into its longer neighbour: X100 C20 E30 C20 X100
    // -> the first C joins X (100 > 30) -> the second C joins the last X -> E30 sits between two
    // Xs of 120 ms, joins the earlier, and all is one X.
    ExpectCues(Cues({{"X", 10}, {"C", 2}, {"E", 3}, {"C", 2}, {"X", 10}}, 0.27, 0.07),
               {{0.00, 0.27, "X"}});
}

TEST(Cues, ShortRestsInsideSpeechCloseTheLips) {
    std::vector<double> times;
    std::vector<int> shapes;
    const std::pair<const char*, int> runs[] = {
        {"D", 10}, {"X", 5}, {"D", 10}, {"X", 15}, {"F", 10}};
    for (const auto& [shape, frames] : runs) {
        for (int i = 0; i < frames; ++i) {
            times.push_back(0.005 + 0.01 * static_cast<double>(times.size()));
            shapes.push_back(Cartoon(shape));
        }
    }
    // The 50 ms rest becomes A, which then takes 20 ms from the D after it (both Ds have 30 to
    // spare; the later wins the tie); the 150 ms rest is a pause and stays.
    Host::CueSettings settings{0.07, 0.01, 0.1, Cartoon("A")};
    ExpectCues(Host::BuildCues(times, shapes, 0.5, Cartoon("X"), settings), {{0.00, 0.10, "D"},
                                                                             {0.10, 0.17, "A"},
                                                                             {0.17, 0.25, "D"},
                                                                             {0.25, 0.40, "X"},
                                                                             {0.40, 0.50, "F"}});
    settings.closedShape = -1;
    ExpectCues(Host::BuildCues(times, shapes, 0.5, Cartoon("X"), settings), {{0.00, 0.10, "D"},
                                                                             {0.10, 0.17, "X"},
                                                                             {0.17, 0.25, "D"},
                                                                             {0.25, 0.40, "X"},
                                                                             {0.40, 0.50, "F"}});
}

TEST(Cues, TheLastCueMayBeShortAndTheEndIsTheDuration) {
    ExpectCues(Cues({{"X", 10}, {"D", 10}, {"B", 2}}, 0.215, 0.07),
               {{0.00, 0.10, "X"}, {0.10, 0.20, "D"}, {0.20, 0.215, "B"}});
    // A recording shorter than the hold is one cue: the first, too short and with nothing to
    // borrow from, joins the last.
    ExpectCues(Cues({{"D", 3}, {"X", 2}}, 0.05, 0.07), {{0.00, 0.05, "X"}});
    // No frames: the mouth rests all along.
    ExpectCues(Cues({}, 1.5, 0.07), {{0.00, 1.5, "X"}});
}

TEST(Cues, BoundariesFallOnTheResolutionAndCuesCoverTheDuration) {
    // Frames every 16 ms from 8 ms: raw boundaries at 16, 32, 48 ... ms round to hundredths.
    std::vector<double> times;
    std::vector<int> shapes;
    const char* pattern[] = {"X", "X", "D", "D", "D", "D", "D", "A", "A", "A", "A", "X", "X"};
    for (int i = 0; i < 13; ++i) {
        times.push_back(0.008 + 0.016 * i);
        shapes.push_back(Cartoon(pattern[i]));
    }
    const auto cues = Host::BuildCues(times, shapes, 0.2083, Cartoon("X"), {0.03, 0.01});
    // X to 32 ms -> 0.03; D to 112 ms -> 0.11; A to 176 ms -> 0.18; X to the end.
    ExpectCues(cues,
               {{0.00, 0.03, "X"}, {0.03, 0.11, "D"}, {0.11, 0.18, "A"}, {0.18, 0.2083, "X"}});
    EXPECT_EQ(Host::ShapeAt(cues, 0.0, Cartoon("X")), Cartoon("X"));
    EXPECT_EQ(Host::ShapeAt(cues, 0.03, Cartoon("X")), Cartoon("D"));
    EXPECT_EQ(Host::ShapeAt(cues, 0.1799, Cartoon("X")), Cartoon("A"));
    EXPECT_EQ(Host::ShapeAt(cues, 0.2083, Cartoon("X")), Cartoon("X"));  // past the last cue
    EXPECT_EQ(Host::ShapeAt(cues, -1.0, Cartoon("X")), Cartoon("X"));
}

TEST(Cues, AShortCueTakesFromBothNeighboursWhenNeitherAloneCanSpareIt) {
    // D 90, A 40, F 90 with a 70 ms hold: A misses 30 and each neighbour spares only 20, so A
    // takes 20 from the later and 10 from the earlier (the later gives the larger half).
    ExpectCues(Cues({{"D", 9}, {"A", 4}, {"F", 9}}, 0.22, 0.07),
               {{0.00, 0.08, "D"}, {0.08, 0.15, "A"}, {0.15, 0.22, "F"}});
    // D 80, A 40, F 90: D spares 10, F 20; F gives its 20 and D the other 10.
    ExpectCues(Cues({{"D", 8}, {"A", 4}, {"F", 9}}, 0.21, 0.07),
               {{0.00, 0.07, "D"}, {0.07, 0.14, "A"}, {0.14, 0.21, "F"}});
    // D 80, A 40, F 110: F alone can spare the 30.
    ExpectCues(Cues({{"D", 8}, {"A", 4}, {"F", 11}}, 0.23, 0.07),
               {{0.00, 0.08, "D"}, {0.08, 0.15, "A"}, {0.15, 0.23, "F"}});
    // D 80, A 40, F 80: 20 to spare in all, not enough; A joins the earlier of its equal
    // neighbours.
    ExpectCues(Cues({{"D", 8}, {"A", 4}, {"F", 8}}, 0.20, 0.07),
               {{0.00, 0.12, "D"}, {0.12, 0.20, "F"}});
}

TEST(Cues, OpenPriorityKeepsAShortVowelBetweenClosures) {
    std::vector<double> times;
    std::vector<int> shapes;
    for (const auto& [shape, frames] :
         std::vector<std::pair<const char*, int>>{{"A", 5}, {"D", 4}, {"A", 11}}) {
        for (int i = 0; i < frames; ++i) {
            times.push_back(0.005 + 0.01 * static_cast<double>(times.size()));
            shapes.push_back(Cartoon(shape));
        }
    }
    // A 50, D 40, A 110 with a 100 ms hold. Counted alike, D goes first, is under half the hold
    // and joins the longer A: nothing but A.
    Host::CueSettings settings{0.1, 0.01, 0, Cartoon("A"), 1.0};
    ExpectCues(Host::BuildCues(times, shapes, 0.2, Cartoon("X"), settings), {{0.00, 0.20, "A"}});
    // At 1.5, D counts 60: the first A goes first, cannot borrow from D and joins it; D (90)
    // then takes the 10 ms the last A can spare.
    settings.openPriority = 1.5;
    ExpectCues(Host::BuildCues(times, shapes, 0.2, Cartoon("X"), settings),
               {{0.00, 0.10, "D"}, {0.10, 0.20, "A"}});
    // The rest shape is not open: X in D's place is swallowed as before.
    for (int& shape : shapes) {
        if (shape == Cartoon("D")) shape = Cartoon("X");
    }
    ExpectCues(Host::BuildCues(times, shapes, 0.2, Cartoon("X"), settings), {{0.00, 0.20, "A"}});
}

}  // namespace
}  // namespace Vocetta::Testing
