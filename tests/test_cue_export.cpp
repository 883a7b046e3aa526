// The cue exporters against files written by hand: tsv, json, xml, the switch-layer dat file at
// two frame rates, keyframes, and the viseme names; and the JSON writer every JSON output uses.
#include <fstream>
#include <sstream>

#include "cue_export.hpp"
#include "error.hpp"
#include "output.hpp"
#include "support.hpp"

namespace Vocetta::Testing {
namespace {

using Tool::CueFormat;
using Tool::CueLayout;
using Tool::CueTrack;
using Tool::FormatCues;

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
    EXPECT_THROW(FormatCues(Crowded(), CueFormat::Xml, {10, true}), Tool::UsageError);
    EXPECT_THROW(FormatCues(Crowded(), CueFormat::Dat, {0, false}), Tool::UsageError);
}

// The layouts, written out by hand: a line per member down to `spread`, one line below it.
TEST(JsonText, SpreadsTheOuterLevelsAndKeepsTheInnerOnOneLine) {
    using Tool::Json;
    const Json document = {{"name", "a"},
                           {"numbers", {1, 2.5, -3}},
                           {"rows", {{{"t", 0.126}, {"v", "x"}}, {{"t", 1.0 / 3}, {"v", "y"}}}},
                           {"empty", Json::array()},
                           {"nested", {{"deep", {{"deeper", true}}}}}};
    EXPECT_EQ(Tool::JsonText(document),
              "{\"name\": \"a\", \"numbers\": [1, 2.5, -3], \"rows\": "
              "[{\"t\": 0.126, \"v\": \"x\"}, {\"t\": 0.333333, \"v\": "
              "\"y\"}], \"empty\": [], \"nested\": {\"deep\": "
              "{\"deeper\": true}}}");
    EXPECT_EQ(Tool::JsonText(document, {.spread = 2, .decimals = 2}),
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
    using Tool::Json;
    const Json strings = {"say \"hi\"\\", "tab\tline\n\x01", "caf\xc3\xa9", "bad \xff byte"};
    EXPECT_EQ(Tool::JsonText(strings),
              "[\"say \\\"hi\\\"\\\\\", \"tab\\tline\\n\\u0001\", \"caf\xc3\xa9\", "
              "\"bad \xef\xbf\xbd byte\"]");
    const Json numbers = {std::nan(""), INFINITY, -INFINITY, 1e-7, 123456789.0, 7};
    EXPECT_EQ(Tool::JsonText(numbers), "[null, null, null, 1e-07, 1.23457e+08, 7]");
    EXPECT_EQ(Tool::JsonText(Json(0.1 + 0.2), {.significant = 15}), "0.3");
    EXPECT_TRUE(Json::parse(Tool::JsonText(strings)).is_array());
}

}  // namespace
}  // namespace Vocetta::Testing
