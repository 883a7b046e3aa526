// vocetta analyze --cues end to end: a phrase of made-up vowels and pauses becomes rest, open and
// rounded mouths at the right times, in every format, with the hold and the set asked for; so do
// the shape curves of --curves; bad options and profiles are refused without output.
#include <png.h>

#include <nlohmann/json.hpp>

#include "test_tool_support.hpp"

namespace Vocetta::Testing {
namespace {

using Json = nlohmann::json;

struct Cue {
    int start, end;  // hundredths of a second, as written
    std::string shape;
};

int Centiseconds(const std::string& text) {
    return static_cast<int>(std::lround(std::stod(text) * 100));
}

// Cues from the tsv form: start and shape per line, the last line the end.
std::vector<Cue> ParseTsv(const std::string& text) {
    std::vector<Cue> cues;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) {
        const auto tab = line.find('\t');
        EXPECT_NE(tab, std::string::npos) << line;
        const int time = Centiseconds(line.substr(0, tab));
        if (!cues.empty()) cues.back().end = time;
        cues.push_back({time, -1, line.substr(tab + 1)});
    }
    if (!cues.empty()) cues.pop_back();  // the end line
    return cues;
}

std::string ShapeAt(const std::vector<Cue>& cues, double seconds) {
    const int at = static_cast<int>(std::lround(seconds * 100));
    for (const Cue& cue : cues) {
        if (cue.start <= at && at < cue.end) return cue.shape;
    }
    return "none";
}

class ToolCues : public CalibratedToolTest {
  protected:
    // Pause 0.4 s, "ah" 0.6 s, pause 0.3 s, "oo" 0.6 s, pause 0.4 s: 2.3 s in all.
    std::string Phrase(float scale = 1.0f) {
        std::vector<float> samples(6400, 0.0f);
        for (const VowelShape* vowel : {&kShapes[0], &kShapes[2]}) {
            const auto sound = Vowel(16000, 0.6, vowel->formant1, vowel->formant2);
            samples.insert(samples.end(), sound.begin(), sound.end());
            samples.resize(samples.size() + (vowel == &kShapes[0] ? 4800 : 6400), 0.0f);
        }
        for (float& sample : samples)
            sample *= scale;
        return WriteWav(scale == 1.0f ? "phrase.wav" : "quiet.wav", 16000, samples);
    }
};

TEST_F(ToolCues, PausesRestAndVowelsOpenTheMouthForTheWholeFile) {
    const std::string profile = CalibratedProfile();
    const std::string phrase = Phrase();
    const ToolRun run = Run({"analyze", phrase, "-p", profile, "--cues", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto cues = ParseTsv(run.out);
    ASSERT_GE(cues.size(), 5u) << run.out;
    EXPECT_EQ(cues.front().start, 0);
    EXPECT_EQ(cues.back().end, 230);
    for (size_t i = 0; i < cues.size(); ++i) {
        if (i > 0) {
            EXPECT_NE(cues[i].shape, cues[i - 1].shape) << run.out;
        }
        if (i + 1 < cues.size()) {
            EXPECT_GE(cues[i].end - cues[i].start, 7) << run.out;
        }
    }
    EXPECT_EQ(run.out.substr(run.out.size() - 7), "2.30\tX\n");
    EXPECT_EQ(ShapeAt(cues, 0.2), "X");
    EXPECT_EQ(ShapeAt(cues, 0.7), "D");  // "ah" wide open
    EXPECT_EQ(ShapeAt(cues, 1.15), "X");
    EXPECT_EQ(ShapeAt(cues, 1.6), "F");  // "oo" puckered
    EXPECT_EQ(ShapeAt(cues, 2.2), "X");

    // The visemes, and a hold longer than any blip.
    const auto visemes = ParseTsv(
        Run({"analyze", phrase, "-p", profile, "--cues", "--shapes", "visemes", "-q"}).out);
    EXPECT_EQ(ShapeAt(visemes, 0.2), "sil");
    EXPECT_EQ(ShapeAt(visemes, 0.7), "aa");
    EXPECT_EQ(ShapeAt(visemes, 1.6), "ou");
    const auto held =
        ParseTsv(Run({"analyze", phrase, "-p", profile, "--cues", "--min-hold", "250", "-q"}).out);
    for (size_t i = 0; i + 1 < held.size(); ++i)
        EXPECT_GE(held[i].end - held[i].start, 25);
}

// A recording of a room's noise alone sets its own level, and the gate 30 dB under it: the
// labels are silence throughout, and so must the mouth be, not a face talking through the hiss.
TEST_F(ToolCues, RoomNoiseAloneLeavesTheMouthAtRest) {
    std::vector<float> hiss(3 * 48000);
    uint32_t state = 7;
    for (float& sample : hiss) {
        state = state * 1664525u + 1013904223u;
        sample = static_cast<float>(static_cast<int32_t>(state)) * 3.0e-12f;  // about -54 dBFS
    }
    const std::string room = WriteWav("room.wav", 48000, hiss);
    const ToolRun segments = Run({"analyze", room, "--segments", "-q"});
    ASSERT_EQ(segments.status, 0) << segments.err;
    EXPECT_EQ(segments.out, "start,end,phoneme\n0,3,sil\n");
    const ToolRun cues = Run({"analyze", room, "--cues", "-q"});
    ASSERT_EQ(cues.status, 0) << cues.err;
    EXPECT_EQ(cues.out, "0.00\tX\n3.00\tX\n");
    const ToolRun curves = Run({"analyze", room, "--curves", "-q"});
    ASSERT_EQ(curves.status, 0) << curves.err;
    std::istringstream rows(curves.out);
    std::string row;
    std::getline(rows, row);
    EXPECT_EQ(row, "frame,time,jaw,A,B,C,D,E,F,G,H,X");
    size_t frames = 0;
    for (; std::getline(rows, row); ++frames) {
        std::vector<double> values;
        std::istringstream cells(row);
        for (std::string cell; std::getline(cells, cell, ',');)
            values.push_back(std::stod(cell));
        ASSERT_EQ(values.size(), 12u) << row;
        EXPECT_LT(values[2], 0.01) << row;      // the jaw stays shut
        EXPECT_GT(values.back(), 0.99) << row;  // at rest
    }
    EXPECT_GT(frames, 60u);
}

TEST_F(ToolCues, FormatsFollowTheOptionOrTheExtension) {
    const std::string profile = CalibratedProfile();
    const std::string phrase = Phrase();
    const auto tsv = ParseTsv(Run({"analyze", phrase, "-p", profile, "--cues", "-q"}).out);

    ASSERT_EQ(Run({"analyze", phrase, "-p", profile, "--cues", "-q", "-o", Path("c.json")}).status,
              0);
    const Json json = Json::parse(Read(Path("c.json")));
    EXPECT_EQ(json["metadata"]["soundFile"], phrase);
    EXPECT_DOUBLE_EQ(json["metadata"]["duration"].get<double>(), 2.3);
    ASSERT_EQ(json["mouthCues"].size(), tsv.size());
    for (size_t i = 0; i < tsv.size(); ++i) {
        EXPECT_EQ(std::lround(json["mouthCues"][i]["start"].get<double>() * 100), tsv[i].start);
        EXPECT_EQ(std::lround(json["mouthCues"][i]["end"].get<double>() * 100), tsv[i].end);
        EXPECT_EQ(json["mouthCues"][i]["value"], tsv[i].shape);
    }

    const ToolRun xml = Run({"analyze", phrase, "-p", profile, "--cues", "-f", "xml", "-q"});
    ASSERT_EQ(xml.status, 0) << xml.err;
    EXPECT_EQ(xml.out.find("<?xml"), 0u);
    size_t elements = 0;
    for (size_t at = xml.out.find("<mouthCue "); at != std::string::npos;
         at = xml.out.find("<mouthCue ", at + 1))
        ++elements;
    EXPECT_EQ(elements, tsv.size());

    // dat at 25 fps: frame numbers from 1, a frame every 40 ms; keyframes every 40 ms too.
    ASSERT_EQ(
        Run({"analyze", phrase, "-p", profile, "--cues", "--fps", "25", "-q", "-o", Path("c.dat")})
            .status,
        0);
    const std::string dat = Read(Path("c.dat"));
    EXPECT_EQ(dat.substr(0, 12), "MohoSwitch1\n");
    EXPECT_EQ(dat.substr(12, 4), "1 X\n");
    const Json frames = Json::parse(Run({"analyze", phrase, "-p", profile, "--cues", "--fps", "25",
                                         "--keyframes", "-f", "json", "-q"})
                                        .out);
    ASSERT_EQ(frames["keyframes"].size(), 58u);  // frames 0 ... 57 cover 2.3 s at 25 fps
    EXPECT_EQ(frames["keyframes"][5]["value"], ShapeAt(tsv, 0.2));
    EXPECT_EQ(frames["keyframes"][40]["value"], ShapeAt(tsv, 1.6));
}

// Curves from the csv form: the header's names, then a row of numbers per animation frame.
struct CurveTable {
    std::vector<std::string> names;
    std::vector<std::vector<double>> rows;

    explicit CurveTable(const std::string& text) {
        std::istringstream stream(text);
        std::string line;
        std::getline(stream, line);
        std::istringstream header(line);
        for (std::string name; std::getline(header, name, ',');)
            names.push_back(name);
        while (std::getline(stream, line)) {
            std::istringstream fields(line);
            rows.emplace_back();
            for (std::string field; std::getline(fields, field, ',');)
                rows.back().push_back(std::stod(field));
            EXPECT_EQ(rows.back().size(), names.size()) << line;
        }
    }
    double At(size_t frame, const std::string& name) const {
        const auto column = std::find(names.begin(), names.end(), name) - names.begin();
        return rows.at(frame).at(static_cast<size_t>(column));
    }
    // The shape of the largest weight.
    std::string Strongest(size_t frame) const {
        size_t best = 3;
        for (size_t c = 3; c < names.size(); ++c) {
            if (rows.at(frame)[c] > rows.at(frame)[best]) best = c;
        }
        return names[best];
    }
};

TEST_F(ToolCues, CurvesWeighEveryShapeOnEveryAnimationFrame) {
    const std::string profile = CalibratedProfile();
    const std::string phrase = Phrase();
    const ToolRun run = Run({"analyze", phrase, "-p", profile, "--curves", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const CurveTable table(run.out);
    const std::vector<std::string> header = {"frame", "time", "jaw", "A", "B", "C",
                                             "D",     "E",    "F",   "G", "H", "X"};
    EXPECT_EQ(table.names, header);
    ASSERT_EQ(table.rows.size(), 56u);  // frames 0 ... 55 cover 2.3 s at 24 fps
    for (size_t k = 0; k < table.rows.size(); ++k) {
        EXPECT_EQ(table.rows[k][0], double(k));
        EXPECT_NEAR(table.rows[k][1], k / 24.0, 5e-5);
    }
    // The pause rests with the jaw closed, "ah" opens wide, "oo" puckers.
    EXPECT_GT(table.At(5, "X"), 0.9);  // 0.21 s
    EXPECT_LT(table.At(5, "jaw"), 0.1);
    EXPECT_EQ(table.Strongest(17), "D");  // 0.71 s
    EXPECT_GT(table.At(17, "jaw"), 0.5);
    EXPECT_EQ(table.Strongest(27), "X");  // 1.13 s
    EXPECT_EQ(table.Strongest(38), "F");  // 1.58 s

    // Smoothed by default; with equal attack and release the weights of a frame sum to 1.
    const CurveTable sharp(
        Run({"analyze", phrase, "-p", profile, "--curves", "--attack", "0", "--release", "0", "-q"})
            .out);
    ASSERT_EQ(sharp.rows.size(), table.rows.size());
    EXPECT_NE(sharp.rows, table.rows);
    const CurveTable even(Run({"analyze", phrase, "-p", profile, "--curves", "--attack", "30",
                               "--release", "30", "-q"})
                              .out);
    for (const std::vector<double>& row : even.rows) {
        double sum = 0;
        for (size_t c = 3; c < row.size(); ++c)
            sum += row[c];
        EXPECT_NEAR(sum, 1.0, 1e-3);
    }

    // json holds the same curves, an array per curve; visemes and another frame rate.
    ASSERT_EQ(
        Run({"analyze", phrase, "-p", profile, "--curves", "-q", "-o", Path("c.json")}).status, 0);
    const Json json = Json::parse(Read(Path("c.json")));
    EXPECT_EQ(json["metadata"]["fps"], 24);
    EXPECT_EQ(json["metadata"]["frames"], 56);
    EXPECT_EQ(json["metadata"]["shapeSet"], "cartoon");
    for (const char* name : {"jaw", "D", "X"}) {
        ASSERT_EQ(json["curves"][name].size(), 56u);
        for (size_t k = 0; k < 56; ++k)
            EXPECT_EQ(json["curves"][name][k].get<double>(), table.At(k, name));
    }
    const CurveTable visemes(Run({"analyze", phrase, "-p", profile, "--curves", "--shapes",
                                  "visemes", "--fps", "10", "-q"})
                                 .out);
    ASSERT_EQ(visemes.rows.size(), 24u);
    EXPECT_EQ(visemes.names[3], "sil");
    EXPECT_EQ(visemes.Strongest(7), "aa");
    EXPECT_EQ(visemes.Strongest(16), "ou");

    // A rig's curves are its file's mix of those visemes' curves, clipped to 0 ... 1.
    const CurveTable face(
        Run({"analyze", phrase, "-p", profile, "--curves", "--rig", "arkit", "--fps", "10", "-q"})
            .out);
    const auto rig = nlohmann::ordered_json::parse(Read(VOCETTA_SOURCE_DIR "/rigs/arkit.json"));
    ASSERT_EQ(face.rows.size(), visemes.rows.size());
    ASSERT_EQ(face.names.size(), 2 + rig["curves"].size());
    size_t column = 2;
    for (const auto& [curve, mix] : rig["curves"].items()) {
        EXPECT_EQ(face.names[column++], curve);
        for (size_t k = 0; k < face.rows.size(); ++k) {
            double value = 0;
            for (const auto& [shape, factor] : mix.items())
                value += factor.get<double>() * visemes.At(k, shape);
            EXPECT_NEAR(face.At(k, curve), std::clamp(value, 0.0, 1.0), 3e-4) << curve << k;
        }
    }
    EXPECT_GT(face.At(7, "jawOpen"), face.At(16, "jawOpen"));  // "ah" against "oo"
    EXPECT_LT(face.At(7, "mouthPucker"), face.At(16, "mouthPucker"));
    const Json vrm = Json::parse(Run({"analyze", phrase, "-p", profile, "--curves", "--rig", "vrm",
                                      "-f", "json", "--fps", "10", "-q"})
                                     .out);
    EXPECT_EQ(vrm["metadata"]["rig"], "vrm");
    EXPECT_EQ(vrm["metadata"]["shapeSet"], "visemes");
    for (size_t k = 0; k < visemes.rows.size(); ++k)
        EXPECT_NEAR(vrm["curves"]["ee"][k].get<double>(), visemes.At(k, "E"), 1e-9) << k;

    // Refused before any work, and nothing written.
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--cues"}, {"--segments"}, {"--keyframes"}, {"-f", "tsv"}}) {
        std::vector<std::string> arguments = {"analyze", phrase, "--curves",
                                              "-q",      "-o",   Path("out.csv")};
        arguments.insert(arguments.end(), options.begin(), options.end());
        EXPECT_EQ(Run(arguments).status, 2) << options[0];
        EXPECT_FALSE(std::filesystem::exists(Path("out.csv"))) << options[0];
    }
    Write(Path("bad-rig.json"),
          R"({"rig": "r", "shapeSet": "cartoon", "curves": {"a": {"aa": 1}}})");
    for (const std::vector<std::string>& options : {std::vector<std::string>{"--rig", "faces"},
                                                    {"--rig", "arkit", "--shapes", "cartoon"},
                                                    {"--rig", Path("bad-rig.json")},
                                                    {"--rig", Path("missing.json")}}) {
        std::vector<std::string> arguments = {"analyze", phrase, "--curves",
                                              "-q",      "-o",   Path("out.csv")};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const ToolRun refused = Run(arguments);
        EXPECT_NE(refused.status, 0) << options[1];
        EXPECT_NE(refused.err.find(options[1] == "arkit" ? "--shapes cartoon" : options[1]),
                  std::string::npos)
            << refused.err;
        EXPECT_FALSE(std::filesystem::exists(Path("out.csv"))) << options[1];
    }
    EXPECT_EQ(Run({"analyze", phrase, "--cues", "--rig", "arkit", "-q"}).status, 2);
    const ToolRun xml = Run({"analyze", phrase, "--curves", "-q", "-o", Path("out.xml")});
    EXPECT_EQ(xml.status, 2);
    EXPECT_NE(xml.err.find("is not a format curves are written in"), std::string::npos) << xml.err;
}

TEST_F(ToolCues, BadOptionsAndProfilesLeaveNoOutput) {
    const std::string phrase = Phrase();
    for (const std::vector<std::string>& options : {std::vector<std::string>{"--shapes", "faces"},
                                                    {"--keyframes"},
                                                    {"--keyframes", "-f", "xml"},
                                                    {"--segments"},
                                                    {"-f", "csv"},
                                                    {"--min-hold", "-5"},
                                                    {"--sharpness", "0.5"},
                                                    {"--fps", "0"}}) {
        std::vector<std::string> arguments = {"analyze", phrase, "-q", "-o", Path("out.tsv")};
        if (options[0] != "--keyframes" || options.size() > 1) arguments.push_back("--cues");
        arguments.insert(arguments.end(), options.begin(), options.end());
        const ToolRun run = Run(arguments);
        EXPECT_EQ(run.status, 2) << options[0] << ": " << run.err;
        EXPECT_FALSE(std::filesystem::exists(Path("out.tsv"))) << options[0];
    }
    // A phoneme the built-in shapes do not know.
    std::string text = Read(VOCETTA_SOURCE_DIR "/profiles/default.json");
    const auto at = text.find("\"name\": \"A\"");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 11, "\"name\": \"ah\"");
    Write(Path("ah.json"), text);
    const ToolRun run =
        Run({"analyze", phrase, "-p", Path("ah.json"), "--cues", "-q", "-o", Path("out.tsv")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(Path("ah.json") + ": phonemes[0] (\"ah\").shapes"), std::string::npos)
        << run.err;
    EXPECT_FALSE(std::filesystem::exists(Path("out.tsv")));

    // With its own shapes (a version 2 profile) it is fine; a shape the set lacks is named.
    Json profile = Json::parse(text);
    profile["version"] = 2;
    for (Json& phoneme : profile["phonemes"]) {
        if (!phoneme.contains("reference")) continue;
        phoneme["references"] = Json::array({phoneme["reference"]});
        phoneme.erase("reference");
    }
    profile["phonemes"][0]["shapes"] = {{"cartoon", {{"D", 2}, {"C", 1}}}};
    Write(Path("ah.json"), profile.dump());
    const ToolRun own = Run({"analyze", phrase, "-p", Path("ah.json"), "--cues", "-q"});
    EXPECT_EQ(own.status, 0) << own.err;
    profile["phonemes"][0]["shapes"]["cartoon"] = {{"Q", 2}};
    Write(Path("ah.json"), profile.dump());
    const ToolRun wrong =
        Run({"analyze", phrase, "-p", Path("ah.json"), "--cues", "-q", "-o", Path("out.tsv")});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_NE(wrong.err.find("phonemes[0] (\"ah\").shapes.cartoon.Q: the cartoon set has no such"),
              std::string::npos)
        << wrong.err;
    EXPECT_FALSE(std::filesystem::exists(Path("out.tsv")));
}

// render --cues: a black row, then a band in which each frame's column has its cue's colour.
TEST_F(ToolCues, RenderDrawsTheCueBandUnderTheTexture) {
    const std::string profile = CalibratedProfile();
    const std::string phrase = Phrase();
    // The band is the cues of 'analyze --cues': the same 30 dB down, under -40 dBFS.
    for (const std::string& recording : {phrase, Phrase(0.03f)}) {
        SCOPED_TRACE(recording);
        const ToolRun run = Run({"render", recording, "-p", profile, "--cues", "--height", "48",
                                 "-q", "--force", "-o", Path("cues.png")});
        ASSERT_EQ(run.status, 0) << run.err;
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_NE(png_image_begin_read_from_file(&image, Path("cues.png").c_str()), 0);
        image.format = PNG_FORMAT_RGBA;
        std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
        ASSERT_NE(png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr), 0);
        const size_t frames = (36800 - 512) / 160 + 1;
        ASSERT_EQ(image.width, frames);
        ASSERT_EQ(image.height, 48u + 1 + 12);  // texture, separator, a band a quarter as high
        auto rgb = [&](size_t x, size_t y) {
            const uint8_t* p = &pixels[(y * image.width + x) * 4];
            return std::array<int, 3>{p[0], p[1], p[2]};
        };
        EXPECT_EQ(rgb(100, 48), (std::array<int, 3>{0, 0, 0}));
        // Frame k is centred at 8 + 10 k ms: 0.2 s rests (grey), 0.7 s is D (the fourth colour),
        // 1.6 s is F (the sixth).
        EXPECT_EQ(rgb(19, 60), (std::array<int, 3>{0x9a, 0xa0, 0xa6}));
        EXPECT_EQ(rgb(69, 55), (std::array<int, 3>{0x43, 0x63, 0xd8}));
        EXPECT_EQ(rgb(159, 49), (std::array<int, 3>{0x91, 0x1e, 0xb4}));
    }
    EXPECT_EQ(Run({"render", phrase, "--cues", "--mfcc", "-o", Path("x.png"), "-q"}).status, 2);
}

using ShownCue = std::tuple<double, double, std::string>;

// The cues a preview page embeds for its script.
std::vector<ShownCue> EmbeddedCues(const std::string& page) {
    const std::string open = "<script type=\"application/json\" id=\"cue-data\">";
    const size_t from = page.find(open);
    if (from == std::string::npos) return {};
    const size_t start = from + open.size();
    std::string data = page.substr(start, page.find("</script>", start) - start);
    for (size_t at = data.find("<\\/"); at != std::string::npos; at = data.find("<\\/", at))
        data.erase(at + 1, 1);
    std::vector<ShownCue> shown;
    const Json embedded = Json::parse(data);
    for (const Json& cue : embedded["cues"])
        shown.emplace_back(cue[0].get<double>(), cue[1].get<double>(), cue[2].get<std::string>());
    return shown;
}

std::vector<ShownCue> WrittenCues(const std::string& json) {
    std::vector<ShownCue> cues;
    const Json written = Json::parse(json);
    for (const Json& cue : written["mouthCues"])
        cues.emplace_back(cue["start"].get<double>(), cue["end"].get<double>(),
                          cue["value"].get<std::string>());
    return cues;
}

// The preview page shows the cues 'analyze --cues' writes, the mouth resting under the
// recording's own gate: a phrase 30 dB down, under -40 dBFS, still opens it.
TEST_F(ToolCues, PreviewShowsTheCuesOfAnalyze) {
    const std::string profile = CalibratedProfile();
    const std::string quiet = Phrase(0.03f);
    const ToolRun analyzed = Run({"analyze", quiet, "-p", profile, "--cues", "-f", "json", "-q"});
    ASSERT_EQ(analyzed.status, 0) << analyzed.err;
    const std::vector<ShownCue> expected = WrittenCues(analyzed.out);
    EXPECT_NE(std::find_if(expected.begin(), expected.end(),
                           [](const auto& cue) { return std::get<2>(cue) == "D"; }),
              expected.end());
    ASSERT_EQ(Run({"preview", quiet, "-p", profile, "-q", "-o", Path("page.html")}).status, 0);
    EXPECT_EQ(EmbeddedCues(Read(Path("page.html"))), expected);

    // An animator's edit of those cues, previewed against the recording: the page shows them,
    // and cues of another recording or set are refused before any page is written.
    std::string edited = analyzed.out;
    const size_t d = edited.find("\"value\": \"D\"");
    edited.replace(d, 12, "\"value\": \"H\"");
    Write(Path("edited.json"), edited);
    const ToolRun previewed = Run(
        {"preview", quiet, "-q", "--cues-file", Path("edited.json"), "-o", Path("edited.html")});
    ASSERT_EQ(previewed.status, 0) << previewed.err;
    EXPECT_EQ(EmbeddedCues(Read(Path("edited.html"))), WrittenCues(edited));
    EXPECT_NE(EmbeddedCues(Read(Path("edited.html"))), expected);
    const std::string other = WriteWav("short.wav", 16000, std::vector<float>(8000, 0.0f));
    for (const auto& [arguments, message] :
         std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"preview", other, "--cues-file", Path("edited.json")}, "lasts"},
             {{"preview", quiet, "--cues-file", Path("edited.json"), "--shapes", "visemes"},
              "mouthCues[0].value: 'X' is not a shape of the visemes set"},
             {{"preview", quiet, "--cues-file", Path("none.json")}, "no such cue file"}}) {
        std::vector<std::string> command = arguments;
        command.insert(command.end(), {"-q", "-o", Path("refused.html")});
        const ToolRun refused = Run(command);
        EXPECT_EQ(refused.status, 1) << message;
        EXPECT_NE(refused.err.find(message), std::string::npos) << refused.err;
        EXPECT_FALSE(std::filesystem::exists(Path("refused.html")));
    }
}

// The preview page in a real browser: seeking to a time draws that time's cue, and the page needs
// nothing from a network.
TEST_F(ToolCues, PreviewPageDrawsTheCueOfTheSeekedTime) {
    if (std::system("command -v chromium >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "chromium is not installed";
    }
    const std::string profile = CalibratedProfile();
    const std::string phrase = Phrase();
    const ToolRun run = Run({"preview", phrase, "-p", profile, "-q", "-o", Path("page.html")});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string page = Read(Path("page.html"));
    EXPECT_NE(page.find("src=\"data:audio/wav;base64,UklGR"), std::string::npos);  // "RIFF"
    EXPECT_EQ(page.find("http:"), std::string::npos);
    EXPECT_EQ(page.find("https:"), std::string::npos);
    const auto tsv = ParseTsv(Run({"analyze", phrase, "-p", profile, "--cues", "-q"}).out);

    for (const auto& [seconds, expected] : std::vector<std::pair<const char*, const char*>>{
             {"0.2", "X"}, {"0.7", "D"}, {"1.6", "F"}}) {
        SCOPED_TRACE(seconds);
        EXPECT_EQ(ShapeAt(tsv, std::stod(seconds)), expected);
        const std::string command =
            "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic "
            "--no-first-run --disable-background-networking --disable-component-update "
            "--disable-sync --user-data-dir=" +
            Quote(Path("browser")) + " --dump-dom " +
            Quote("file://" + Path("page.html") + "#t=" + seconds) + " >" + Quote(Path("dom")) +
            " 2>/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0);
        const std::string dom = Read(Path("dom"));
        EXPECT_NE(dom.find(std::string("id=\"mouth\" data-shape=\"") + expected + "\""),
                  std::string::npos)
            << dom.substr(0, 2000);
        // Exactly the one shape is drawn.
        EXPECT_NE(dom.find(std::string("data-shape=\"") + expected + "\" display=\"inline\""),
                  std::string::npos);
        size_t shown = 0;
        for (size_t at = dom.find("display=\"inline\""); at != std::string::npos;
             at = dom.find("display=\"inline\"", at + 1))
            ++shown;
        EXPECT_EQ(shown, 1u);
        EXPECT_NE(dom.find(std::string(expected) + "  " + seconds + "0 s"), std::string::npos);
    }
}

}  // namespace
}  // namespace Vocetta::Testing
