// The SDK's cues against values and files written by hand: cue tracks from frames of known
// scores and volumes, tsv, json, xml, the switch-layer dat file at two frame rates, keyframes,
// the viseme names, and shape curves on animation frames; and the JSON writer every JSON output
// uses.
#include <cmath>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "support.hpp"
#include "vocetta/cues.hpp"
#include "vocetta/rig.hpp"
#include "vocetta/text.hpp"

namespace Vocetta::Testing {
namespace {

using Host::CueFormat;
using Host::CueLayout;
using Host::CueTrack;
using Host::FormatCues;

std::string Expected(const std::string& name) {
    std::ifstream stream(VOCETTA_SOURCE_DIR "/tests/data/cues/" + name, std::ios::binary);
    EXPECT_TRUE(stream.good()) << name;
    std::ostringstream text;
    text << stream.rdbuf();
    return text.str();
}

CueTrack Track(Host::ShapeSet set, const std::string& file,
               const std::vector<std::pair<double, const char*>>& starts, double duration) {
    CueTrack track;
    track.soundFile = file;
    track.duration = duration;
    track.set = set;
    for (size_t i = 0; i < starts.size(); ++i) {
        const double end = i + 1 < starts.size() ? starts[i + 1].first : duration;
        track.cues.push_back({starts[i].first, end, Host::ShapeIndex(set, starts[i].second)});
    }
    return track;
}

// Closed, wide open, lips shut, puckered, rest: every kind of line the formats have.
CueTrack Sentence() {
    return Track(Host::ShapeSet::Cartoon, "lines/hello & \"bye\".wav",
                 {{0.0, "X"}, {0.10, "D"}, {0.23, "A"}, {0.30, "F"}, {0.45, "X"}}, 0.5);
}

// A 10 ms cue that a 10 fps animation cannot show, and no rest at the end.
CueTrack Crowded() {
    return Track(Host::ShapeSet::Cartoon, "crowded.wav",
                 {{0.0, "X"}, {0.10, "D"}, {0.23, "A"}, {0.24, "F"}}, 0.5);
}

// Frames 10 ms apart, centred at 5, 15, 25 ... ms, each runs of one phoneme's score alone at
// volume 0.1 (an empty name: a quiet frame, volume 0.001, below the 0.01 rest level).
struct Frames {
    std::vector<double> times;
    std::vector<float> volumes, scores;

    Frames(const Host::Profile& profile, const std::vector<std::pair<const char*, int>>& runs) {
        for (const auto& [name, count] : runs) {
            for (int i = 0; i < count; ++i) {
                times.push_back(0.005 + 0.01 * double(times.size()));
                volumes.push_back(*name != '\0' ? 0.1f : 0.001f);
                std::vector<float> frame(profile.phonemes.size(), 0.0f);
                if (*name != '\0') frame[static_cast<size_t>(profile.IndexOf(name))] = 1.0f;
                scores.insert(scores.end(), frame.begin(), frame.end());
            }
        }
    }
    Host::CueFrames View() const { return {times, volumes, scores, 0.01}; }
};

TEST(CueTracks, SettingsComeFromMillisecondsAndEachSetClosesItsOwnLips) {
    const Host::CueArguments arguments{"visemes", 80, 120, 20, 50, 2, 1.5, 6, 1.25, 3, 9, 40};
    const Host::CueTrackSettings settings = Host::CueTrackSettingsFrom(arguments, 0.02f);
    EXPECT_EQ(settings.set, Host::ShapeSet::Visemes);
    EXPECT_DOUBLE_EQ(settings.cues.minHoldSeconds, 0.08);
    EXPECT_DOUBLE_EQ(settings.cues.closureSeconds, 0.12);
    EXPECT_EQ(settings.cues.closedShape, Host::ShapeIndex(Host::ShapeSet::Visemes, "PP"));
    EXPECT_DOUBLE_EQ(settings.mouth.attackSeconds, 0.02);
    EXPECT_DOUBLE_EQ(settings.mouth.releaseSeconds, 0.05);
    EXPECT_EQ(settings.mouth.sharpness, 2.0);
    EXPECT_EQ(settings.mouth.closedMargin, 1.5);
    EXPECT_EQ(settings.mouth.lipMargin, 6.0);
    EXPECT_EQ(settings.cues.openPriority, 1.25);
    EXPECT_EQ(settings.mouth.closedDipDb, 3.0);
    EXPECT_EQ(settings.mouth.lipDipDb, 9.0);
    EXPECT_DOUBLE_EQ(settings.mouth.dipWindowSeconds, 0.04);
    EXPECT_EQ(settings.mouth.silenceVolume, 0.02f);
    EXPECT_EQ(settings.mouth.loudVolume, 0.5f);  // 28 dB above the rest level
    const Host::CueTrackSettings cartoon = Host::CueTrackSettingsFrom({}, 0.0f);
    EXPECT_EQ(cartoon.cues.closedShape, Host::ShapeIndex(Host::ShapeSet::Cartoon, "A"));
    EXPECT_EQ(cartoon.mouth.loudVolume, 0.25f);  // no rest level: the SDK's default
    EXPECT_THROW(Host::CueTrackSettingsFrom({"faces"}, 0.01f), Host::ShapeError);
    EXPECT_EQ(Host::ParseShapeSet("visemes"), Host::ShapeSet::Visemes);
    EXPECT_THROW(Host::ParseShapeSet("Cartoon"), Host::ShapeError);
    EXPECT_THROW(Host::ParseCueFormat("wav"), Host::CueError);
    EXPECT_EQ(Host::ParseCueFormat("dat"), CueFormat::Dat);
}

// "ah" opens the mouth wide, m closes the lips, quiet frames rest it; boundaries fall halfway
// between the frames on either side: 0.20 between the frames at 0.195 and 0.205, and so on.
TEST(CueTracks, FramesBecomeTheCuesOfTheirWinningShapes) {
    const Host::Profile profile = Host::DefaultProfile();
    const Frames frames(profile, {{"A", 20}, {"M", 10}, {"", 20}});
    for (const auto& [set, text] :
         {std::pair{Host::ShapeSet::Cartoon, "0.00\tD\n0.20\tA\n0.30\tX\n0.50\tX\n"},
          std::pair{Host::ShapeSet::Visemes, "0.00\taa\n0.20\tPP\n0.30\tsil\n0.50\tsil\n"}}) {
        Host::CueArguments arguments;
        arguments.shapes = Host::ShapeSetName(set);
        const Host::CueTrackSettings settings = Host::CueTrackSettingsFrom(arguments, 0.01f);
        const Host::ShapeMap map = Host::ProfileShapeMap(profile, set, "default");
        const CueTrack track = Host::BuildCueTrack(map, settings, frames.View(), "line.wav", 0.5);
        EXPECT_EQ(track.soundFile, "line.wav");
        EXPECT_EQ(FormatCues(track, CueFormat::Tsv, {}), text) << Host::ShapeSetName(set);
        EXPECT_EQ(Host::DominantShapes(map, settings.mouth, frames.View()).size(), 50u);
    }
}

// An 80 ms rest inside speech is held long enough to show (60 ms) but is shorter than the 100 ms
// closure: the lips close; without the closure rule it stays a rest.
TEST(CueTracks, ShortRestsInsideSpeechCloseTheLips) {
    const Host::Profile profile = Host::DefaultProfile();
    const Frames frames(profile, {{"A", 20}, {"", 8}, {"A", 20}});
    const Host::ShapeMap map = Host::ProfileShapeMap(profile, Host::ShapeSet::Cartoon, "default");
    Host::CueArguments arguments;
    const auto cues = [&] {
        const Host::CueTrackSettings settings = Host::CueTrackSettingsFrom(arguments, 0.01f);
        return FormatCues(Host::BuildCueTrack(map, settings, frames.View(), "", 0.48),
                          CueFormat::Tsv, {});
    };
    EXPECT_EQ(cues(), "0.00\tD\n0.20\tA\n0.28\tD\n0.48\tX\n");
    arguments.closureMs = 0;
    EXPECT_EQ(cues(), "0.00\tD\n0.20\tX\n0.28\tD\n0.48\tX\n");
}

// A loud frame opens the mouth whatever its scores say, unless the labels call it silence: the
// noise of a pause above the gate, scored as silence and M, then rests instead of talking. The
// same frames, only marked, give the rest; marks that do not match the frames are refused.
TEST(CueTracks, FramesTheLabelsCallSilenceRestTheMouth) {
    const Host::Profile profile = Host::DefaultProfile();
    Frames frames(profile, {{"A", 20}, {"sil", 10}, {"A", 20}});
    for (size_t frame = 20; frame < 30; ++frame) {  // the pause: loud noise, a little like m
        frames.scores[frame * 9 + 5] = 0.3f;
        frames.scores[frame * 9 + 8] = 0.7f;
    }
    const Host::ShapeMap map = Host::ProfileShapeMap(profile, Host::ShapeSet::Cartoon, "default");
    Host::CueArguments arguments;
    arguments.closureMs = 0;
    const Host::CueTrackSettings settings = Host::CueTrackSettingsFrom(arguments, 0.01f);
    const auto cues = [&](const Host::CueFrames& view) {
        return FormatCues(Host::BuildCueTrack(map, settings, view, "", 0.5), CueFormat::Tsv, {});
    };
    EXPECT_EQ(cues(frames.View()), "0.00\tD\n0.20\tA\n0.30\tD\n0.50\tX\n");
    std::vector<unsigned char> silence(50, 0);
    std::fill(silence.begin() + 20, silence.begin() + 30, 1);
    Host::CueFrames marked = frames.View();
    marked.silence = silence;
    EXPECT_EQ(cues(marked), "0.00\tD\n0.20\tX\n0.30\tD\n0.50\tX\n");
    const Host::ShapeCurves curves =
        Host::BuildShapeCurves(map, settings.mouth, marked, "", 0.5, 100);
    EXPECT_EQ(curves.jaw[25], 0.0f);  // 0.25 s, inside the pause: shut
    EXPECT_GT(curves.jaw[10], 0.5f);  // 0.10 s, "ah"
    marked.silence = std::span(silence).first(49);
    EXPECT_THROW(cues(marked), Host::CueError);
    // The mouth alone: a loud "ah" marked silence rests it at once.
    Host::MouthSettings at;
    at.attackSeconds = at.releaseSeconds = 0;
    Host::MouthShapes mouth(map, at);
    const std::span<const float> ah(frames.scores.data(), 9);
    mouth.Update(ah, 0.1f, 0.01);
    EXPECT_EQ(mouth.Dominant(), 3);  // D
    mouth.Update(ah, 0.1f, 0.01, true);
    EXPECT_EQ(mouth.Dominant(), Host::RestShape(map.set));
    EXPECT_EQ(mouth.Jaw(), 0.0f);
    EXPECT_EQ(mouth.Weights()[static_cast<size_t>(Host::RestShape(map.set))], 1.0f);
}

// A shape a transcript says the frame shows takes the place of its scores' shapes, however quiet
// the frame or whatever the labels call it: a stop's closure is silent, but the tongue is there.
TEST(CueTracks, ShapesATranscriptSaysShowWhateverTheScores) {
    const Host::Profile profile = Host::DefaultProfile();
    Frames frames(profile, {{"A", 20}, {"sil", 10}, {"A", 20}});
    for (size_t frame = 20; frame < 30; ++frame)  // the closure of a t: near silent
        frames.volumes[frame] = 0.001f;
    const Host::ShapeMap map = Host::ProfileShapeMap(profile, Host::ShapeSet::Visemes, "default");
    Host::CueArguments arguments;
    arguments.shapes = "visemes";
    const Host::CueTrackSettings settings = Host::CueTrackSettingsFrom(arguments, 0.01f);
    const auto cues = [&](const Host::CueFrames& view) {
        return FormatCues(Host::BuildCueTrack(map, settings, view, "", 0.5), CueFormat::Tsv, {});
    };
    // The closure alone is a rest between two vowels, which shows closed lips.
    EXPECT_EQ(cues(frames.View()), "0.00\taa\n0.20\tPP\n0.30\taa\n0.50\tsil\n");
    const int dd = Host::ShapeIndex(Host::ShapeSet::Visemes, "DD");
    std::vector<int> said(50, -1);
    std::fill(said.begin() + 20, said.begin() + 30, dd);
    std::vector<unsigned char> silence(50, 0);
    std::fill(silence.begin() + 20, silence.begin() + 30, 1);
    Host::CueFrames view = frames.View();
    view.shapes = said;
    view.silence = silence;
    EXPECT_EQ(cues(view), "0.00\taa\n0.20\tDD\n0.30\taa\n0.50\tsil\n");
    // Its weight is the whole mouth's, and the jaw stays as shut as the volume leaves it.
    const Host::ShapeCurves curves =
        Host::BuildShapeCurves(map, settings.mouth, view, "", 0.5, 100);
    EXPECT_GT(curves.Weight(27, dd), 0.9f);
    EXPECT_EQ(curves.jaw[27], 0.0f);
    view.shapes = std::span(said).first(49);
    EXPECT_THROW(cues(view), Host::CueError);
    // The mouth alone: the said shape wins over loud scores, a shape outside the set is none.
    Host::MouthShapes mouth(map, Host::MouthSettings{});
    const std::span<const float> ah(frames.scores.data(), 9);
    mouth.Update(ah, 0.1f, 1.0, false, dd);
    EXPECT_EQ(mouth.Dominant(), dd);
    EXPECT_EQ(mouth.Target()[static_cast<size_t>(dd)], 1.0f);
    mouth.Update(ah, 0.1f, 1.0, false, 15);
    EXPECT_EQ(mouth.Dominant(), Host::ShapeIndex(Host::ShapeSet::Visemes, "aa"));
}

TEST(CueTracks, FramesThatDoNotMatchTheProfileAreRefused) {
    const Host::Profile profile = Host::DefaultProfile();
    const Frames frames(profile, {{"A", 3}});
    const Host::ShapeMap map = Host::ProfileShapeMap(profile, Host::ShapeSet::Cartoon, "default");
    const Host::CueTrackSettings settings = Host::CueTrackSettingsFrom({}, 0.01f);
    Host::CueFrames view = frames.View();
    view.volumes = view.volumes.first(2);
    EXPECT_THROW(Host::BuildCueTrack(map, settings, view, "", 0.03), Host::CueError);
    view = frames.View();
    view.scores = view.scores.first(view.scores.size() - 1);
    EXPECT_THROW(Host::DominantShapes(map, settings.mouth, view), Host::CueError);
    Host::Profile unknown = profile;
    unknown.phonemes[0].name = "ZZ";
    EXPECT_THROW(Host::ProfileShapeMap(unknown, Host::ShapeSet::Cartoon, "mine"), Host::ShapeError);
}

TEST(CueExport, EachFormatMatchesItsHandWrittenFile) {
    EXPECT_EQ(FormatCues(Sentence(), CueFormat::Tsv, {}), Expected("track.tsv"));
    EXPECT_EQ(FormatCues(Sentence(), CueFormat::Json, {}), Expected("track.json"));
    EXPECT_EQ(FormatCues(Sentence(), CueFormat::Xml, {}), Expected("track.xml"));
    EXPECT_EQ(FormatCues(Sentence(), CueFormat::Dat, {24, false}), Expected("track-24fps.dat"));
    EXPECT_EQ(
        FormatCues(
            Track(Host::ShapeSet::Visemes, "v.wav",
                  {{0.0, "sil"}, {0.10, "aa"}, {0.23, "PP"}, {0.30, "ou"}, {0.45, "sil"}}, 0.5),
            CueFormat::Tsv, {}),
        Expected("visemes.tsv"));
}

TEST(CueExport, FrameRatesDropUnseenCuesAndGiveKeyframes) {
    EXPECT_EQ(FormatCues(Crowded(), CueFormat::Dat, {10, false}), Expected("crowded-10fps.dat"));
    EXPECT_EQ(FormatCues(Crowded(), CueFormat::Tsv, {10, true}),
              Expected("crowded-10fps-keyframes.tsv"));
    EXPECT_EQ(FormatCues(Crowded(), CueFormat::Json, {10, true}),
              Expected("crowded-10fps-keyframes.json"));
    EXPECT_THROW(FormatCues(Crowded(), CueFormat::Xml, {10, true}), Host::CueError);
    EXPECT_THROW(FormatCues(Crowded(), CueFormat::Dat, {0, false}), Host::CueError);
}

// Three shapes, each a phoneme's alone, at the loud level or quiet, without smoothing: the curves
// are the frames' weights, straight lines between their centres, rest before the first.
struct CurveFrames {
    Host::ShapeMap map = Host::BuildShapeMap(
        Host::ShapeSet::Cartoon, {"A", "U", "sil"},
        {{{"cartoon", {{"D", 1.0f}}}}, {{"cartoon", {{"F", 1.0f}}}}, {{"cartoon", {{"X", 1.0f}}}}},
        "test");
    std::vector<double> times{0.05, 0.15, 0.25};
    std::vector<float> volumes{0.25f, 0.25f, 0.001f};
    std::vector<float> scores{1, 0, 0, 0, 1, 0, 0, 0, 0};
    Host::MouthSettings settings;

    CurveFrames() {
        settings.attackSeconds = settings.releaseSeconds = 0;
        settings.sharpness = 1;
    }
    Host::ShapeCurves Curves(double duration, int fps) const {
        return Host::BuildShapeCurves(map, settings, {times, volumes, scores, 0.1}, "l.wav",
                                      duration, fps);
    }
};

TEST(ShapeCurves, AnimationFramesReadTheMouthBetweenFrameCentres) {
    CurveFrames frames;
    const Host::ShapeCurves curves = frames.Curves(0.32, 20);
    ASSERT_EQ(curves.FrameCount(), 7u);  // 0, 0.05 ... 0.30 s
    ASSERT_EQ(curves.weights.size(), 7u * 9u);
    const int d = Host::ShapeIndex(Host::ShapeSet::Cartoon, "D");
    const int f = Host::ShapeIndex(Host::ShapeSet::Cartoon, "F");
    const int x = Host::ShapeIndex(Host::ShapeSet::Cartoon, "X");
    // Per frame: D, F, X and the jaw; every other shape 0.
    const float expected[7][4] = {{0, 0, 1, 0}, {1, 0, 0, 1},          {0.5f, 0.5f, 0, 1},
                                  {0, 1, 0, 1}, {0, 0.5f, 0.5f, 0.5f}, {0, 0, 1, 0},
                                  {0, 0, 1, 0}};  // the last held
    for (size_t k = 0; k < 7; ++k) {
        float others = 0;
        for (int shape = 0; shape < 9; ++shape) {
            if (shape != d && shape != f && shape != x) others += curves.Weight(k, shape);
        }
        EXPECT_EQ(others, 0.0f) << k;
        EXPECT_NEAR(curves.Weight(k, d), expected[k][0], 1e-6) << k;
        EXPECT_NEAR(curves.Weight(k, f), expected[k][1], 1e-6) << k;
        EXPECT_NEAR(curves.Weight(k, x), expected[k][2], 1e-6) << k;
        EXPECT_NEAR(curves.jaw[k], expected[k][3], 1e-6) << k;
    }
    // Halfway from rest at 0 s to the first centre.
    const Host::ShapeCurves fine = frames.Curves(0.05, 40);
    ASSERT_EQ(fine.FrameCount(), 3u);
    EXPECT_NEAR(fine.Weight(1, d), 0.5, 1e-6);
    EXPECT_NEAR(fine.Weight(1, x), 0.5, 1e-6);
    EXPECT_NEAR(fine.jaw[1], 0.5, 1e-6);
    // Smoothed, a frame a time constant long moves 1 - 1/e of the way.
    frames.settings.attackSeconds = frames.settings.releaseSeconds = 0.1;
    const Host::ShapeCurves smooth = frames.Curves(0.05, 20);
    EXPECT_NEAR(smooth.Weight(1, d), 1 - std::exp(-1.0), 1e-6);
    EXPECT_NEAR(smooth.Weight(1, x), std::exp(-1.0), 1e-6);

    EXPECT_THROW(frames.Curves(0.3, 0), Host::CueError);
    EXPECT_THROW(frames.Curves(std::nan(""), 24), Host::CueError);
    EXPECT_THROW(frames.Curves(-1, 24), Host::CueError);
    Host::ShapeCurves uneven = curves;
    uneven.weights.pop_back();
    EXPECT_THROW(Host::FormatCurves(uneven, Host::CurveFormat::Csv), Host::CueError);
    frames.volumes.pop_back();
    EXPECT_THROW(frames.Curves(0.3, 24), Host::CueError);
    EXPECT_THROW(Host::ParseCurveFormat("tsv"), Host::CueError);
    EXPECT_EQ(Host::ParseCurveFormat("json"), Host::CurveFormat::Json);
}

TEST(ShapeCurves, BothFormatsMatchTheirHandWrittenText) {
    Host::ShapeCurves curves;
    curves.soundFile = "l.wav";
    curves.duration = 0.05;
    curves.fps = 20;
    curves.weights = {0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0.25f, 0.75f, 0, 0, 0, 0, 0};
    curves.jaw = {0, 0.5f};
    EXPECT_EQ(Host::FormatCurves(curves, Host::CurveFormat::Csv),
              "frame,time,jaw,A,B,C,D,E,F,G,H,X\n"
              "0,0.0000,0.0000,0.0000,0.0000,0.0000,0.0000,0.0000,0.0000,0.0000,0.0000,1.0000\n"
              "1,0.0500,0.5000,0.0000,0.0000,0.2500,0.7500,0.0000,0.0000,0.0000,0.0000,0.0000\n");
    EXPECT_EQ(Host::FormatCurves(curves, Host::CurveFormat::Json),
              "{\n"
              "  \"metadata\": {\n"
              "    \"soundFile\": \"l.wav\",\n"
              "    \"duration\": 0.0500,\n"
              "    \"fps\": 20,\n"
              "    \"shapeSet\": \"cartoon\",\n"
              "    \"frames\": 2\n"
              "  },\n"
              "  \"curves\": {\n"
              "    \"jaw\": [0.0000, 0.5000],\n"
              "    \"A\": [0.0000, 0.0000],\n"
              "    \"B\": [0.0000, 0.0000],\n"
              "    \"C\": [0.0000, 0.2500],\n"
              "    \"D\": [0.0000, 0.7500],\n"
              "    \"E\": [0.0000, 0.0000],\n"
              "    \"F\": [0.0000, 0.0000],\n"
              "    \"G\": [0.0000, 0.0000],\n"
              "    \"H\": [0.0000, 0.0000],\n"
              "    \"X\": [1.0000, 0.0000]\n"
              "  }\n"
              "}\n");
}

// A rig's curve is its factors times the jaw and the shapes' weights, clipped to 0 ... 1, in the
// file's order; its files name the rig beside the curves' own metadata.
TEST(Rigs, EachCurveMixesTheJawAndTheShapes) {
    const Host::Rig rig = Host::ParseRig(
        R"({"rig": "mine", "shapeSet": "cartoon",
            "curves": {"open": {"jaw": 0.5, "D": 1}, "round": {"F": 2, "C": -1},
                       "shut": {"A": 1, "jaw": -4}}})",
        "mine.json");
    EXPECT_EQ(rig.name, "mine");
    EXPECT_EQ(rig.curves, (std::vector<std::string>{"open", "round", "shut"}));
    Host::ShapeCurves curves;
    curves.soundFile = "l.wav";
    curves.duration = 0.05;
    curves.fps = 20;
    // Frame 0 at rest; frame 1 half C, half D, the jaw at 0.5; frame 2 F and A, the jaw shut.
    curves.weights = {0,    0, 0,    0,    0, 0,    0, 0, 1,  //
                      0,    0, 0.5f, 0.5f, 0, 0,    0, 0, 0,  //
                      0.4f, 0, 0,    0,    0, 0.6f, 0, 0, 0};
    curves.jaw = {0, 0.5f, 0};
    const std::vector<float> values = Host::RigValues(rig, curves);
    const std::vector<float> expected = {0, 0, 0, 0.75f, 0, 0, 0, 1, 0.4f};
    ASSERT_EQ(values.size(), expected.size());
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_NEAR(values[i], expected[i], 1e-6) << i;
    EXPECT_EQ(Host::FormatRigCurves(curves, rig, Host::CurveFormat::Csv),
              "frame,time,open,round,shut\n"
              "0,0.0000,0.0000,0.0000,0.0000\n"
              "1,0.0500,0.7500,0.0000,0.0000\n"
              "2,0.1000,0.0000,1.0000,0.4000\n");
    const std::string json = Host::FormatRigCurves(curves, rig, Host::CurveFormat::Json);
    EXPECT_NE(json.find("\"shapeSet\": \"cartoon\",\n    \"rig\": \"mine\",\n    \"frames\": 3"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"round\": [0.0000, 0.0000, 1.0000]"), std::string::npos) << json;
    // Live, one frame's weights give that frame's row.
    float row[3];
    Host::MixRig(rig, std::span<const float>(curves.weights).subspan(9, 9), 0.5f, row);
    EXPECT_NEAR(row[0], 0.75f, 1e-6);
    EXPECT_EQ(row[1], 0.0f);
    EXPECT_EQ(row[2], 0.0f);
    // Weights that are no numbers rest the curve; nothing below 0 is written as -0.
    const float broken[9] = {std::nanf(""), 0, 0, 0, 0, 0, 0, 0, 0};
    Host::MixRig(rig, broken, 0.0f, row);
    EXPECT_EQ(row[2], 0.0f);
    EXPECT_FALSE(std::signbit(row[1]));
    // A rig's curves are keyed as they are, not read back as the shapes'.
    EXPECT_THROW(
        {
            try {
                Host::ParseShapeCurves(json, "face.json");
            } catch (const Host::CueError& error) {
                EXPECT_STREQ(error.what(),
                             "face.json: metadata.rig: the curves of the rig mine, which key its "
                             "blendshapes as they are; this reads the shapes' own curves "
                             "(--curves without --rig)");
                throw;
            }
        },
        Host::CueError);
    // Curves of another set have nothing for the rig to mix.
    curves.set = Host::ShapeSet::Visemes;
    EXPECT_THROW(Host::RigValues(rig, curves), Host::CueError);
}

TEST(Rigs, BuiltInRigsMixTheVisemesIntoTheirFacesNames) {
    EXPECT_EQ(Host::BuiltInRigNames(), (std::vector<std::string>{"arkit", "vrm"}));
    EXPECT_FALSE(Host::BuiltInRig("mine"));
    // Every curve of the ARKit rig is one of ARKit's own blendshapes.
    const std::set<std::string> arkit = {"jawOpen",
                                         "jawForward",
                                         "jawLeft",
                                         "jawRight",
                                         "mouthClose",
                                         "mouthFunnel",
                                         "mouthPucker",
                                         "mouthLeft",
                                         "mouthRight",
                                         "mouthSmileLeft",
                                         "mouthSmileRight",
                                         "mouthFrownLeft",
                                         "mouthFrownRight",
                                         "mouthDimpleLeft",
                                         "mouthDimpleRight",
                                         "mouthStretchLeft",
                                         "mouthStretchRight",
                                         "mouthRollLower",
                                         "mouthRollUpper",
                                         "mouthShrugLower",
                                         "mouthShrugUpper",
                                         "mouthPressLeft",
                                         "mouthPressRight",
                                         "mouthLowerDownLeft",
                                         "mouthLowerDownRight",
                                         "mouthUpperUpLeft",
                                         "mouthUpperUpRight",
                                         "cheekPuff",
                                         "tongueOut"};
    const Host::Rig face = Host::BuiltInRig("arkit").value();
    EXPECT_EQ(face.set, Host::ShapeSet::Visemes);
    for (const std::string& curve : face.curves)
        EXPECT_TRUE(arkit.count(curve)) << curve;
    // At rest every curve is 0; "aa" opens the jaw most, "ou" puckers most.
    const auto pose = [&](const Host::Rig& rig, const char* shape) {
        Host::ShapeCurves curves;
        curves.set = Host::ShapeSet::Visemes;
        curves.weights.assign(Host::ShapeNames(curves.set).size(), 0.0f);
        curves.weights[static_cast<size_t>(Host::ShapeIndex(curves.set, shape))] = 1;
        curves.jaw = {0};
        const std::vector<float> values = Host::RigValues(rig, curves);
        std::map<std::string, float> named;
        for (size_t i = 0; i < values.size(); ++i)
            named[rig.curves[i]] = values[i];
        return named;
    };
    for (const auto& [curve, value] : pose(face, "sil"))
        EXPECT_EQ(value, 0.0f) << curve;
    for (const char* shape : {"PP", "FF", "E", "ih", "oh", "ou"})
        EXPECT_LT(pose(face, shape)["jawOpen"], pose(face, "aa")["jawOpen"]) << shape;
    for (const char* shape : {"aa", "E", "ih", "oh"})
        EXPECT_LT(pose(face, shape)["mouthPucker"], pose(face, "ou")["mouthPucker"]) << shape;
    // VRM's five expressions are the five vowel visemes.
    const Host::Rig vrm = Host::BuiltInRig("vrm").value();
    EXPECT_EQ(vrm.curves, (std::vector<std::string>{"aa", "ih", "ou", "ee", "oh"}));
    EXPECT_EQ(pose(vrm, "E")["ee"], 1.0f);
    EXPECT_EQ(pose(vrm, "E")["ih"], 0.0f);
}

// A rig file's faults are named with the file and the member.
TEST(Rigs, FilesThatAreNoRigAreRefusedByName) {
    const auto fault = [](const std::string& json) {
        try {
            Host::ParseRig(json, "r.json");
        } catch (const Host::CueError& error) {
            return std::string(error.what());
        }
        return std::string("accepted");
    };
    EXPECT_EQ(fault("[1]"), "r.json: not a JSON object");
    EXPECT_EQ(fault(R"({"shapeSet": "visemes", "curves": {"a": {"aa": 1}}})"),
              "r.json: missing \"rig\"");
    EXPECT_EQ(fault(R"({"rig": "r", "shapeSet": "faces", "curves": {"a": {}}})"),
              "r.json: shapeSet: 'faces' is no shape set (cartoon or visemes)");
    EXPECT_EQ(fault(R"({"rig": "r", "shapeSet": "visemes", "curves": {}})"),
              "r.json: curves: must name at least one curve");
    EXPECT_EQ(fault(R"({"rig": "r", "shapeSet": "visemes", "curves": {"a": 1}})"),
              "r.json: curves.a: must be an object of factors");
    EXPECT_EQ(fault(R"({"rig": "r", "shapeSet": "visemes", "curves": {"a,b": {"aa": 1}}})"),
              "r.json: curves.a,b: a curve's name must be a column's: not empty, no comma or "
              "quote");
    EXPECT_EQ(fault(R"({"rig": "r", "shapeSet": "cartoon", "curves": {"a": {"aa": 1}}})"),
              "r.json: curves.a: 'aa' is neither the jaw nor a shape of the cartoon set (jaw A B "
              "C D E F G H X)");
    EXPECT_EQ(fault(R"({"rig": "r", "shapeSet": "visemes", "curves": {"a": {"aa": "1"}}})"),
              "r.json: curves.a.aa: must be a number of single precision");
    EXPECT_EQ(fault(R"({"rig": "r", "shapeSet": "visemes", "curves": {"a": {"aa": 1e39}}})"),
              "r.json: curves.a.aa: must be a number of single precision");
    EXPECT_EQ(fault(R"({"rig": "r", "shapeSet": "visemes", "curves": {"a": {"aa": 1e999}}})"),
              "r.json: not JSON");
    EXPECT_THROW(Host::LoadRig("/nonexistent/rig.json"), Host::CueError);
}

// The layouts, written out by hand: a line per member down to `spread`, one line below it.
TEST(JsonText, SpreadsTheOuterLevelsAndKeepsTheInnerOnOneLine) {
    using Host::Json;
    const Json document = {{"name", "a"},
                           {"numbers", {1, 2.5, -3}},
                           {"rows", {{{"t", 0.126}, {"v", "x"}}, {{"t", 1.0 / 3}, {"v", "y"}}}},
                           {"empty", Json::array()},
                           {"nested", {{"deep", {{"deeper", true}}}}}};
    EXPECT_EQ(Host::JsonText(document),
              "{\"name\": \"a\", \"numbers\": [1, 2.5, -3], \"rows\": "
              "[{\"t\": 0.126, \"v\": \"x\"}, {\"t\": 0.333333, \"v\": "
              "\"y\"}], \"empty\": [], \"nested\": {\"deep\": "
              "{\"deeper\": true}}}");
    EXPECT_EQ(Host::JsonText(document, {.spread = 2, .decimals = 2}),
              "{\n"
              "  \"name\": \"a\",\n"
              "  \"numbers\": [1, 2.50, -3],\n"
              "  \"rows\": [\n"
              "    {\"t\": 0.13, \"v\": \"x\"},\n"
              "    {\"t\": 0.33, \"v\": \"y\"}\n"
              "  ],\n"
              "  \"empty\": [],\n"
              "  \"nested\": {\n"
              "    \"deep\": {\"deeper\": true}\n"
              "  }\n"
              "}");
}

TEST(JsonText, StringsAreEscapedAndNumbersThatAreNotFiniteAreNull) {
    using Host::Json;
    const Json strings = {"say \"hi\"\\", "tab\tline\n\x01", "caf\xc3\xa9", "bad \xff byte"};
    EXPECT_EQ(Host::JsonText(strings),
              "[\"say \\\"hi\\\"\\\\\", \"tab\\tline\\n\\u0001\", \"caf\xc3\xa9\", "
              "\"bad \xef\xbf\xbd byte\"]");
    const Json numbers = {std::nan(""), INFINITY, -INFINITY, 1e-7, 123456789.0, 7};
    EXPECT_EQ(Host::JsonText(numbers), "[null, null, null, 1e-07, 1.23457e+08, 7]");
    EXPECT_EQ(Host::JsonText(Json(0.1 + 0.2), {.significant = 15}), "0.3");
    EXPECT_TRUE(Json::parse(Host::JsonText(strings)).is_array());
}

}  // namespace
}  // namespace Vocetta::Testing
