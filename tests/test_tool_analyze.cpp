// The tool end to end: timelines, threads, sample rates, channels, calibration, evaluation and
// rendering, checked against what the recordings were made of.
#include <map>
#include <nlohmann/json.hpp>
#include <random>

#include "test_tool_support.hpp"

namespace Vocetta::Testing {
namespace {

using Json = nlohmann::json;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> Fields(const std::string& line, char separator = ',') {
    std::vector<std::string> fields;
    std::istringstream stream(line);
    for (std::string field; std::getline(stream, field, separator);)
        fields.push_back(field);
    return fields;
}

class ToolAnalyze : public CalibratedToolTest {};

TEST_F(ToolAnalyze, SampleTimelineHasOneRowPerHop) {
    const std::string sample = VOCETTA_SOURCE_DIR "/samples/sample.flac";
    const ToolRun run = Run({"analyze", sample, "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_GT(lines.size(), 2u);
    EXPECT_EQ(lines[0], "time,phoneme,volume,A,I,U,E,O,M,FV,S,sil");
    // 16000 Hz: a ring of 512 samples, a hop of 160; frames start once the ring is full.
    const ToolRun length = Run({"analyze", sample, "-f", "json", "-q"});
    const Json json = Json::parse(length.out);
    EXPECT_EQ(json["blockSamples"], 512);
    EXPECT_EQ(json["hopSamples"], 160);
    const size_t frames = json["frames"].size();
    EXPECT_EQ(lines.size() - 1, frames);
    for (size_t i = 1; i < lines.size(); ++i) {
        const auto fields = Fields(lines[i]);
        ASSERT_EQ(fields.size(), 12u) << lines[i];
        EXPECT_NEAR(std::stod(fields[0]), 0.016 + 0.01 * double(i - 1), 1e-6);
        double sum = 0;
        for (size_t p = 3; p < 12; ++p)
            sum += std::stod(fields[p]);
        EXPECT_TRUE(std::fabs(sum - 1) < 1e-4 || sum == 0) << lines[i];
    }
}

TEST_F(ToolAnalyze, ThreadsAndProfileFileChangeNothing) {
    const std::string sample = VOCETTA_SOURCE_DIR "/samples/sample.flac";
    const ToolRun one = Run({"analyze", sample, "-j", "1", "-q"});
    const ToolRun two = Run({"analyze", sample, "-j2", "-q"});
    const ToolRun file =
        Run({"analyze", sample, "-q", "-p", VOCETTA_SOURCE_DIR "/profiles/default.json"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, two.out);
    EXPECT_EQ(one.out, file.out);
}

// By default the noise is cleaned out: the rows of the same times as with --keep-noise, on any
// number of threads, the pauses' steady noise quieter, the vowel as loud.
TEST_F(ToolAnalyze, CleaningNoiseKeepsTheRowsAndQuietensThePauses) {
    const int rate = 48000;
    std::vector<float> samples(size_t(rate) * 3);
    const std::vector<float> vowel = Vowel(rate, 1.0, 700, 1200);
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 0.01f);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = noise(random);
        if (i >= size_t(rate) && i < size_t(rate) * 2) samples[i] += vowel[i - size_t(rate)];
    }
    Write(Path("noisy.wav"), WavBytes(rate, 1, samples));
    const ToolRun plain = Run({"analyze", Path("noisy.wav"), "-q", "--keep-noise"});
    const ToolRun one = Run({"analyze", Path("noisy.wav"), "-q", "-j", "1"});
    const ToolRun two = Run({"analyze", Path("noisy.wav"), "-q", "-j", "2"});
    ASSERT_EQ(plain.status, 0) << plain.err;
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out, two.out);
    const std::vector<std::string> before = Lines(plain.out), after = Lines(one.out);
    ASSERT_EQ(before.size(), after.size());
    // Mean volume (column 3) of the rows in the last pause, and in the vowel's middle.
    auto mean = [](const std::vector<std::string>& rows, double from, double to) {
        double sum = 0;
        int count = 0;
        for (size_t r = 1; r < rows.size(); ++r) {
            const std::vector<std::string> fields = Fields(rows[r]);
            const double time = std::stod(fields[0]);
            if (time >= from && time < to) {
                sum += std::stod(fields[2]);
                ++count;
            }
        }
        return sum / count;
    };
    for (size_t r = 1; r < before.size(); ++r)
        EXPECT_EQ(Fields(before[r])[0], Fields(after[r])[0]) << r;
    EXPECT_LT(mean(after, 2.3, 2.9), mean(before, 2.3, 2.9) / 3);  // 10 dB quieter at least
    EXPECT_NEAR(mean(after, 1.3, 1.7) / mean(before, 1.3, 1.7), 1.0, 0.06);
    // The option is the labelling commands' only: profiles learn from recordings as they are.
    EXPECT_EQ(Run({"calibrate", "--help"}).out.find("--keep-noise"), std::string::npos);
}

TEST_F(ToolAnalyze, RingLengthMakesOneBlockAtTheAnalysisRate) {
    for (const int rate : {16000, 22050, 32000, 44100, 48000, 96000}) {
        SCOPED_TRACE(rate);
        const std::string path =
            WriteWav("rate" + std::to_string(rate) + ".wav", rate, Vowel(rate, 0.4, 700, 1200));
        const ToolRun run = Run({"analyze", path, "-f", "json", "-q"});
        ASSERT_EQ(run.status, 0) << run.err;
        const int ring = Json::parse(run.out)["blockSamples"];
        // The down-sampler's output length, worked independently.
        int produced;
        if (rate % 16000 == 0) {
            produced = ring / (rate / 16000);
        } else {
            const float ratio = static_cast<float>(rate) / 16000.0f;
            produced = static_cast<int>(std::rint(static_cast<float>(ring) / ratio));
        }
        EXPECT_EQ(produced, 512) << "ring " << ring;
        EXPECT_NEAR(ring, 512.0 * rate / 16000, 2.0);
    }
}

TEST_F(ToolAnalyze, ChannelsAreMixedToMono) {
    const auto mono = Vowel(16000, 0.3, 700, 1200);
    std::vector<float> twin, half;
    for (float sample : mono) {
        twin.insert(twin.end(), {sample, sample});
        half.insert(half.end(), {sample, 0.0f});
    }
    const ToolRun single = Run({"analyze", WriteWav("mono.wav", 16000, mono), "-q"});
    const ToolRun both = Run({"analyze", WriteWav("twin.wav", 16000, twin, 2), "-q"});
    const ToolRun left = Run({"analyze", WriteWav("half.wav", 16000, half, 2), "-q"});
    ASSERT_EQ(single.status, 0) << single.err;
    EXPECT_EQ(single.out, both.out);
    // One silent channel halves every sample, so the volume and nothing else.
    const auto a = Lines(single.out), b = Lines(left.out);
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 1; i < a.size(); ++i) {
        EXPECT_NEAR(std::stod(Fields(b[i])[2]), 0.5 * std::stod(Fields(a[i])[2]), 1e-4);
    }
}

TEST_F(ToolAnalyze, CalibratedProfileRecognisesOtherSpeakers) {
    const std::string profile = CalibratedProfile();
    const Json json = Json::parse(Read(profile));
    EXPECT_EQ(json["version"], 1);
    ASSERT_EQ(json["phonemes"].size(), 4u);
    EXPECT_EQ(json["phonemes"][3]["name"], "sil");
    // The means are the means of the references, weighted by frames: all equal here but
    // silence's, so check the statistics are sensible rather than exact.
    for (double deviation : json["standardDeviations"])
        EXPECT_GT(deviation, 0);

    std::string manifest = "phoneme,take,file\n";
    for (const VowelShape& shape : kShapes) {
        const std::string name = std::string("test-") + shape.name + ".wav";
        WriteWav(name, 22050, Vowel(22050, 0.5, shape.formant1, shape.formant2, 0.5));
        manifest += std::string(shape.name) + ",1," + name + "\n";
    }
    Write(Path("test.csv"), manifest);
    const ToolRun run = Run({"evaluate", Path("test.csv"), "-p", profile, "--json", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json result = Json::parse(run.out);
    EXPECT_GE(result["accuracy"].get<double>(), 0.95) << run.out;
    EXPECT_EQ(result["per_phoneme"].size(), 3u);
    size_t frames = 0;
    for (const auto& entry : result["per_phoneme"]) {
        frames += entry["frames"].get<size_t>();
    }
    EXPECT_EQ(result["frames"], frames);
}

TEST_F(ToolAnalyze, SegmentsFollowTheRecording) {
    const std::string profile = CalibratedProfile();
    std::vector<float> samples = Vowel(16000, 0.6, 750, 1250);
    samples.resize(samples.size() + 6400, 0.0f);  // 0.4 s of silence
    const auto second = Vowel(16000, 0.6, 300, 2300);
    samples.insert(samples.end(), second.begin(), second.end());
    const std::string path = WriteWav("phrase.wav", 16000, samples);
    const ToolRun run =
        Run({"analyze", path, "-p", profile, "--segments", "--min-segment", "30", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 4u) << run.out;
    EXPECT_EQ(lines[0], "start,end,phoneme");
    const auto a = Fields(lines[1]), gap = Fields(lines[2]), i = Fields(lines[3]);
    EXPECT_EQ(a[2], "A");
    EXPECT_EQ(gap[2], "sil");
    EXPECT_EQ(i[2], "I");
    EXPECT_EQ(std::stod(a[0]), 0.0);
    EXPECT_NEAR(std::stod(a[1]), 0.6, 0.07);
    EXPECT_EQ(a[1], gap[0]);
    EXPECT_NEAR(std::stod(gap[1]), 1.0, 0.07);
    EXPECT_NEAR(std::stod(i[1]), 1.6, 1e-3);
    // The same in JSON and TSV.
    const Json json = Json::parse(
        Run({"analyze", path, "-p", profile, "-s", "--min-segment", "30", "-f", "json", "-q"}).out);
    ASSERT_EQ(json["segments"].size(), 3u);
    EXPECT_EQ(json["segments"][1]["phoneme"], "sil");
    const auto tsv = Lines(
        Run({"analyze", path, "-p", profile, "-s", "--min-segment", "30", "-f", "tsv", "-q"}).out);
    ASSERT_EQ(tsv.size(), 4u);
    EXPECT_EQ(tsv[0], "start\tend\tphoneme");
}

TEST_F(ToolAnalyze, ManyFilesEachToItsOwnOutput) {
    const std::string good = WriteWav("good.wav", 16000, Vowel(16000, 0.3, 700, 1200));
    const std::string bad = Path("bad.wav");
    Write(bad, "not audio");
    const ToolRun run = Run({"analyze", good, bad, "-o", Path("out"), "-f", "tsv", "-j", "2"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(bad), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(Path("out/good.tsv")));
    EXPECT_FALSE(std::filesystem::exists(Path("out/bad.tsv")));
    EXPECT_EQ(Lines(Read(Path("out/good.tsv")))[0].substr(0, 13), "time\tphoneme\t");
}

TEST_F(ToolAnalyze, RenderWritesPng) {
    const std::string path = WriteWav("voice.wav", 16000, Vowel(16000, 0.5, 700, 1200));
    const size_t frames = (8000 - 512) / 160 + 1;
    for (const bool mfcc : {false, true}) {
        SCOPED_TRACE(mfcc);
        std::vector<std::string> arguments = {"render", path,       "-o", Path("picture.png"),
                                              "-q",     "--height", "48", "--force"};
        if (mfcc) arguments.push_back("--mfcc");
        const ToolRun run = Run(arguments);
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string png = Read(Path("picture.png"));
        ASSERT_GT(png.size(), 24u);
        EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
        auto be32 = [&](size_t at) {
            return (uint32_t(uint8_t(png[at])) << 24) | (uint32_t(uint8_t(png[at + 1])) << 16) |
                   (uint32_t(uint8_t(png[at + 2])) << 8) | uint32_t(uint8_t(png[at + 3]));
        };
        EXPECT_EQ(png.substr(12, 4), "IHDR");
        EXPECT_EQ(be32(16), frames);
        // With --mfcc: 20 coefficients, 2 rows each in 48 (without: 48 rows).
        EXPECT_EQ(be32(20), mfcc ? 40u : 48u);
        EXPECT_EQ(png[25], 6);  // RGBA
    }
}

TEST_F(ToolAnalyze, CalibrationNeedsFramesOfEveryPhoneme) {
    WriteWav("loud.wav", 16000, Vowel(16000, 0.5, 700, 1200));
    WriteWav("quiet.wav", 16000, Vowel(16000, 0.5, 300, 2300, 0.001));
    Write(Path("m.csv"), "file,phoneme\nloud.wav,A\nquiet.wav,I\n");
    const ToolRun run = Run({"calibrate", Path("m.csv"), "-o", Path("result.json"), "-q"});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("phoneme 'I': no usable frames"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("quiet.wav"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(Path("result.json")));
}

}  // namespace
}  // namespace Vocetta::Testing

namespace Vocetta::Testing {
namespace {

// A, a pause of digital silence, I, a pause, U: a short phrase at amplitude `level`.
std::vector<float> Phrase(float level) {
    std::vector<float> samples;
    for (const VowelShape& shape : kShapes) {
        const auto vowel = Vowel(16000, 0.5, shape.formant1, shape.formant2, level);
        samples.insert(samples.end(), vowel.begin(), vowel.end());
        samples.resize(samples.size() + 4800, 0.0f);
    }
    return samples;
}

std::vector<std::string> LabelColumn(const std::string& csv) {
    std::vector<std::string> labels;
    const auto lines = Lines(csv);
    for (size_t i = 1; i < lines.size(); ++i)
        labels.push_back(Fields(lines[i])[1]);
    return labels;
}

TEST_F(ToolAnalyze, RelativeGateLabelsAQuietRecordingAsTheLoudOne) {
    const std::string profile = CalibratedProfile();
    const std::string loud = WriteWav("loud.wav", 16000, Phrase(0.5f));
    const std::string quiet = WriteWav("quiet.wav", 16000, Phrase(0.5f * 0.0316228f));  // -30 dB
    for (const char* smoothing : {"--switch-cost=4", "--no-smoothing"}) {
        SCOPED_TRACE(smoothing);
        const ToolRun a = Run({"analyze", loud, "-p", profile, smoothing, "-q"});
        const ToolRun b = Run({"analyze", quiet, "-p", profile, smoothing, "-q"});
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(b.status, 0) << b.err;
        const auto labels = LabelColumn(a.out);
        EXPECT_EQ(LabelColumn(b.out), labels);
        // Every vowel and the pauses are there.
        for (const char* name : {"A", "I", "U", "sil"})
            EXPECT_NE(std::find(labels.begin(), labels.end(), name), labels.end()) << name;
    }
    // The default switch cost is the one the help names first (the second is a stream's).
    const ToolRun help = Run({"analyze", "--help"});
    const auto at = help.out.find("when smoothing (default ");
    ASSERT_NE(at, std::string::npos) << help.out;
    const std::string named = help.out.substr(at + 24, help.out.find(';', at) - at - 24);
    EXPECT_EQ(Run({"analyze", loud, "-p", profile, "-q"}).out,
              Run({"analyze", loud, "-p", profile, "--switch-cost", named, "-q"}).out)
        << named;
    // The fixed gate of -40 dBFS turns the quiet phrase, peaking near -36 dBFS, to silence.
    const auto fixed =
        LabelColumn(Run({"analyze", quiet, "-p", profile, "--silence", "-40", "-q"}).out);
    EXPECT_EQ(std::count(fixed.begin(), fixed.end(), "sil"), static_cast<long>(fixed.size()));
}

TEST_F(ToolAnalyze, SeveralReferencesPerPhonemeFoldToOneScoreEach) {
    CalibratedProfile();  // writes calibration.csv: two speakers' scales per vowel
    const ToolRun run = Run({"calibrate", Path("calibration.csv"), "-o", Path("two.json"),
                             "--phonemes", "A,I,U,sil", "--references", "2", "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json profile = Json::parse(Read(Path("two.json")));
    EXPECT_EQ(profile["version"], 2);
    EXPECT_EQ(profile["analysis"]["folding"], "Sum");
    for (const auto& phoneme : profile["phonemes"]) {
        EXPECT_EQ(phoneme["references"].size(), 2u) << phoneme["name"];
    }
    // One score column per phoneme, summing to 1, and the phrase read as before.
    const std::string phrase = WriteWav("phrase.wav", 16000, Phrase(0.5f));
    const ToolRun frames = Run({"analyze", phrase, "-p", Path("two.json"), "-q"});
    ASSERT_EQ(frames.status, 0) << frames.err;
    const auto lines = Lines(frames.out);
    EXPECT_EQ(lines[0], "time,phoneme,volume,A,I,U,sil");
    for (size_t i = 1; i < lines.size(); ++i) {
        const auto fields = Fields(lines[i]);
        double sum = 0;
        for (size_t p = 3; p < fields.size(); ++p)
            sum += std::stod(fields[p]);
        EXPECT_TRUE(std::fabs(sum - 1) < 1e-4 || sum == 0) << lines[i];
    }
    const ToolRun segments =
        Run({"analyze", phrase, "-p", Path("two.json"), "-s", "--min-segment", "30", "-q"});
    std::vector<std::string> order;
    for (const auto& line : Lines(segments.out))
        order.push_back(Fields(line)[2]);
    EXPECT_EQ(order, (std::vector<std::string>{"phoneme", "A", "sil", "I", "sil", "U", "sil"}));
}

}  // namespace
}  // namespace Vocetta::Testing

namespace Vocetta::Testing {
namespace {

TEST_F(ToolAnalyze, ContrastScalesTheDeviationsAndRefinementIsRepeatable) {
    CalibratedProfile();  // writes calibration.csv
    auto calibrate = [&](const std::string& name, std::vector<std::string> options) {
        std::vector<std::string> arguments = {
            "calibrate", Path("calibration.csv"), "-o", Path(name), "--phonemes", "A,I,U,sil",
            "-q"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        const ToolRun run = Run(arguments);
        EXPECT_EQ(run.status, 0) << run.err;
        return Json::parse(Read(Path(name)));
    };
    // Without refinement the contrast divides the population deviations and nothing else.
    const Json plain = calibrate("plain.json", {"--contrast", "1", "--refine", "0"});
    const Json sharp = calibrate("sharp.json", {"--contrast", "4", "--refine", "0"});
    ASSERT_EQ(plain["standardDeviations"].size(), sharp["standardDeviations"].size());
    for (size_t i = 0; i < plain["standardDeviations"].size(); ++i) {
        EXPECT_FLOAT_EQ(sharp["standardDeviations"][i].get<float>(),
                        plain["standardDeviations"][i].get<float>() / 4.0f);
    }
    EXPECT_EQ(sharp["phonemes"], plain["phonemes"]);
    EXPECT_EQ(sharp["means"], plain["means"]);

    // Refinement moves the references and scales, the same way on every run, and the refined
    // profile still recognises speakers it was not calibrated on.
    const Json refined = calibrate("refined.json", {"--refine", "20"});
    EXPECT_EQ(Read(Path("refined.json")),
              (calibrate("again.json", {"--refine", "20"}), Read(Path("again.json"))));
    EXPECT_NE(refined["phonemes"], sharp["phonemes"]);
    EXPECT_EQ(refined["means"], plain["means"]);
    std::string manifest = "phoneme,file\n";
    for (const VowelShape& shape : kShapes) {
        const std::string name = std::string("other-") + shape.name + ".wav";
        WriteWav(name, 22050, Vowel(22050, 0.5, shape.formant1, shape.formant2, 0.5));
        manifest += std::string(shape.name) + "," + name + "\n";
    }
    Write(Path("other.csv"), manifest);
    for (const char* profile : {"plain.json", "refined.json"}) {
        const ToolRun run =
            Run({"evaluate", Path("other.csv"), "-p", Path(profile), "--json", "-q"});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_GE(Json::parse(run.out)["accuracy"].get<double>(), 0.95) << profile << run.out;
    }
}

}  // namespace
}  // namespace Vocetta::Testing

namespace Vocetta::Testing {
namespace {

// Stretches of one phrase labelled by time (as sentences are labelled from phone timing) teach
// the same phonemes as separate files, and only from frames wholly inside each stretch.
TEST_F(ToolAnalyze, ManifestStretchesLabelPartsOfARecording) {
    // The phrase with faint noise in its pauses (digital silence has no finite MFCCs).
    std::vector<float> samples = Phrase(0.5f);
    uint32_t state = 1;
    for (float& sample : samples) {
        state = state * 1664525u + 1013904223u;
        if (sample == 0.0f) sample = 1e-4f * (float(state >> 8) / float(1 << 24) - 0.5f);
    }
    WriteWav("phrase.wav", 16000, samples);
    // Each vowel 0.5 s, then a 0.3 s pause.
    Write(Path("stretches.csv"),
          "file,phoneme,start,end\n"
          "phrase.wav,A,0.0,0.5\nphrase.wav,sil,0.5,0.8\n"
          "phrase.wav,I,0.8,1.3\nphrase.wav,sil,1.3,1.6\n"
          "phrase.wav,U,1.6,2.1\n");
    const ToolRun run =
        Run({"calibrate", Path("stretches.csv"), "-o", Path("stretches.json"), "--phonemes",
             "A,I,U,sil", "--references", "1", "--frames", Path("frames.csv"), "-q"});
    ASSERT_EQ(run.status, 0) << run.err;
    // The job's ring at 16 kHz holds 512 samples: 16 ms on each side of a frame's time.
    const double half = 0.016;
    const std::map<std::string, std::vector<std::pair<double, double>>> stretches = {
        {"A", {{0.0, 0.5}}},
        {"I", {{0.8, 1.3}}},
        {"U", {{1.6, 2.1}}},
        {"sil", {{0.5, 0.8}, {1.3, 1.6}}}};
    std::map<std::string, size_t> counts;
    for (const std::string& line : Lines(Read(Path("frames.csv")))) {
        const auto fields = Fields(line);
        if (fields[0] == "file") continue;
        const double time = std::stod(fields[1]);
        bool inside = false;
        for (const auto& [start, end] : stretches.at(fields[2]))
            inside = inside || (time - half >= start - 1e-9 && time + half <= end + 1e-9);
        EXPECT_TRUE(inside) << line;
        ++counts[fields[2]];
    }
    // 10 ms hops: a 0.5 s vowel holds about 47 whole blocks, a 0.3 s pause about 27.
    for (const char* vowel : {"A", "I", "U"}) {
        EXPECT_GE(counts[vowel], 45u) << vowel;
        EXPECT_LE(counts[vowel], 48u) << vowel;
    }
    EXPECT_GE(counts["sil"], 2 * 25u);
    // Each stretch taught its own phoneme: the profile reads the phrase back in order.
    const ToolRun other = Run({"analyze", Path("phrase.wav"), "-p", Path("stretches.json"), "-s",
                               "--min-segment", "30", "-q"});
    ASSERT_EQ(other.status, 0) << other.err;
    std::vector<std::string> order;
    for (const auto& line : Lines(other.out))
        order.push_back(Fields(line)[2]);
    EXPECT_EQ(order, (std::vector<std::string>{"phoneme", "A", "sil", "I", "sil", "U", "sil"}));
    // Evaluation counts the frames centred inside each stretch: frames at 16, 26, 36 ... ms give
    // 49 in the first vowel (16 ... 496 ms), 50 in the others and 30 in each pause.
    const ToolRun evaluation =
        Run({"evaluate", Path("stretches.csv"), "-p", Path("stretches.json"), "--json", "-q"});
    ASSERT_EQ(evaluation.status, 0) << evaluation.err;
    const Json result = Json::parse(evaluation.out);
    EXPECT_EQ(result["frames"], 209u) << evaluation.out;
    EXPECT_GE(result["accuracy"].get<double>(), 0.9) << evaluation.out;
}

// Rows naming one recording share its analysis: each recording is read once, and each row counts
// the frames centred inside its own stretch, overlapping or not.
TEST_F(ToolAnalyze, RowsOfOneRecordingShareItsAnalysis) {
    WriteWav("long.wav", 16000, Vowel(16000, 1.0, 800, 1200));
    WriteWav("short.wav", 16000, Vowel(16000, 0.5, 300, 2300));
    Write(Path("rows.csv"),
          "file,phoneme,start,end\n"
          "long.wav,A,0.0,0.5\nshort.wav,I,,\nlong.wav,A,0.25,0.3\nlong.wav,sil,0.5,1.0\n");
    // At 16 kHz the ring holds 512 samples and a hop is 160: frame k is centred at 16 + 10 k ms.
    // long.wav has (16000 - 512) / 160 + 1 = 97 frames (16 ... 976 ms), short.wav 47 (16 ...
    // 476 ms). Centred in [0, 0.5): k = 0 ... 48, 49 frames; [0.25, 0.3): k = 24 ... 28, 5
    // frames; [0.5, 1.0): k = 49 ... 96, 48 frames; the whole of short.wav: 47.
    const ToolRun run = Run({"evaluate", Path("rows.csv"), "--json", "--progress", "json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json result = Json::parse(run.out);
    EXPECT_EQ(result["frames"], 49u + 47u + 5u + 48u) << run.out;
    EXPECT_EQ(result["per_phoneme"]["A"]["frames"], 54u) << run.out;
    EXPECT_EQ(result["per_phoneme"]["I"]["frames"], 47u) << run.out;
    EXPECT_EQ(result["per_phoneme"]["sil"]["frames"], 48u) << run.out;
    EXPECT_EQ(result["per_phoneme"].size(), 3u) << run.out;

    // The progress lines name two recordings, each finished once, in order of first appearance.
    const auto finished = [](const std::string& err) {
        std::vector<std::string> files;
        for (const std::string& line : Lines(err)) {
            if (!line.starts_with("{")) continue;
            const Json progress = Json::parse(line);
            EXPECT_EQ(progress["files"], 2u) << line;
            if (progress["seconds_done"] == progress["seconds_total"]) {
                files.push_back(
                    std::filesystem::path(progress["file"].get<std::string>()).filename().string());
            }
        }
        return files;
    };
    EXPECT_EQ(finished(run.err), (std::vector<std::string>{"long.wav", "short.wav"})) << run.err;

    const ToolRun calibration = Run({"calibrate", Path("rows.csv"), "-o", Path("rows.json"),
                                     "--references", "1", "--refine", "0", "--progress", "json"});
    ASSERT_EQ(calibration.status, 0) << calibration.err;
    EXPECT_EQ(finished(calibration.err), (std::vector<std::string>{"long.wav", "short.wav"}))
        << calibration.err;
    EXPECT_NE(calibration.err.find("3 phonemes from"), std::string::npos) << calibration.err;
    EXPECT_NE(calibration.err.find(" of 2 files"), std::string::npos) << calibration.err;
}

TEST_F(ToolAnalyze, ManifestStretchesMustBeWholeAndOrdered) {
    WriteWav("phrase.wav", 16000, Phrase(0.5f));
    const struct {
        const char* manifest;
        const char* message;
    } cases[] = {
        {"file,phoneme,start\nphrase.wav,A,0\n", "names \"start\" or \"end\" without the other"},
        {"file,phoneme,start,end\nphrase.wav,A,0.4,0.2\n", ":2: the end (0.2) must come after"},
        {"file,phoneme,start,end\nphrase.wav,A,0.1,\n", ":2: give both start and end"},
        {"file,phoneme,start,end\nphrase.wav,A,abc,0.5\n", "start 'abc' is not a time"},
        {"file,phoneme,start,end\nphrase.wav,A,-1,0.5\n", "start '-1' is not a time"},
    };
    for (const auto& entry : cases) {
        SCOPED_TRACE(entry.manifest);
        Write(Path("bad.csv"), entry.manifest);
        const ToolRun run = Run({"calibrate", Path("bad.csv"), "-o", Path("bad.json"), "-q"});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(entry.message), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("bad.csv"), std::string::npos) << run.err;
        EXPECT_FALSE(std::filesystem::exists(Path("bad.json")));
    }
}

}  // namespace
}  // namespace Vocetta::Testing
