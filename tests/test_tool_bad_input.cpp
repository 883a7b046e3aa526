// Every kind of bad input gets one clear line naming the file and the problem, a non-zero exit
// status, and no output file that could pass for a result.
#include <sys/stat.h>
#include <unistd.h>

#include "test_tool_support.hpp"

namespace Vocetta::Testing {
namespace {

class ToolBadInput : public ToolTest {
  protected:
    // The failure is reported on one line of stderr that contains every fragment; nothing is
    // written to the output file or standard output.
    void ExpectFailure(const std::vector<std::string>& arguments, int status,
                       const std::vector<std::string>& fragments) {
        const ToolRun run = Run(arguments);
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_EQ(run.out, "");
        ASSERT_FALSE(run.err.empty());
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        for (const std::string& fragment : fragments) {
            EXPECT_NE(run.err.find(fragment), std::string::npos)
                << "'" << fragment << "' missing from: " << run.err;
        }
        for (const std::string& name : Files()) {
            EXPECT_EQ(name.find("result"), std::string::npos) << "left behind: " << name;
            EXPECT_EQ(name.find("partial"), std::string::npos) << "left behind: " << name;
        }
    }

    std::string GoodWav() {
        const std::string path = Path("good.wav");
        Write(path, WavBytes(16000, 1, Vowel(16000, 0.3, 700, 1200)));
        return path;
    }

    std::string Profile(const std::string& name, const std::string& text) {
        const std::string path = Path(name);
        Write(path, text);
        return path;
    }

    // A valid profile with two coefficients, edited by the caller.
    static std::string ProfileText(const std::string& analysis = "",
                                   const std::string& means = "[0.5, -1]",
                                   const std::string& deviations = "[2, 3]",
                                   const std::string& version = "1") {
        return R"({"format": "vocetta-profile", "version": )" + version +
               R"(, "analysis": {"targetSampleRate": 16000, "melChannels": )" +
               (analysis.empty() ? std::string("8, \"coefficients\": 2") : analysis) +
               R"(, "blockLength": 512, "scoreMethod": "RootMeanSquareDistance"}, "means": )" +
               means + R"(, "standardDeviations": )" + deviations +
               R"(, "phonemes": [{"name": "A", "color": [1, 0, 0], "reference": [1, 2]},
                    {"name": "sil", "color": [0, 0, 0], "reference": [0, 0]}]})";
    }
};

TEST_F(ToolBadInput, MissingRecording) {
    const std::string missing = Path("nowhere.wav");
    ExpectFailure({"analyze", missing, "-o", Path("result.csv")}, 1, {missing, "No such file"});
}

TEST_F(ToolBadInput, UnreadableRecording) {
    ExpectFailure({"analyze", folder_.string(), "-o", Path("result.csv")}, 1,
                  {folder_.string(), "directory"});
    if (::geteuid() != 0) {  // root reads everything
        const std::string locked = GoodWav();
        ::chmod(locked.c_str(), 0);
        ExpectFailure({"analyze", locked, "-o", Path("result.csv")}, 1,
                      {locked, "Permission denied"});
    }
}

TEST_F(ToolBadInput, NotAudio) {
    const std::string text = Path("notes.wav");
    Write(text, "these are notes, not sound\n");
    ExpectFailure({"analyze", text, "-o", Path("result.csv")}, 1,
                  {text, "not a supported audio file"});
}

TEST_F(ToolBadInput, TruncatedWav) {
    std::string bytes = WavBytes(16000, 1, Vowel(16000, 0.5, 700, 1200));
    bytes.resize(bytes.size() / 3);
    const std::string path = Path("cut.wav");
    Write(path, bytes);
    ExpectFailure({"analyze", path, "-o", Path("result.csv")}, 1, {path, "truncated"});
}

// A header is only a claim: the tool used to reserve what the header promised before reading, and
// a tiny file promising 2^36 frames made that fail with nothing but "std::bad_alloc".
TEST_F(ToolBadInput, HeaderPromisingBillionsOfFrames) {
    std::string bytes = Read(VOCETTA_SOURCE_DIR "/samples/sample.flac");
    // "fLaC", then the stream information block, which always comes first: its 36-bit total
    // sample count takes the low 4 bits of byte 21 and bytes 22 to 25 of the file.
    ASSERT_EQ(bytes.substr(0, 4), "fLaC");
    ASSERT_EQ(bytes[4] & 0x7F, 0);
    bytes[21] = static_cast<char>(bytes[21] | 0x0F);
    bytes.replace(22, 4, "\xFF\xFF\xFF\xFF");
    const std::string path = Path("promise.flac");
    Write(path, bytes);
    ExpectFailure({"analyze", path, "-o", Path("result.csv")}, 1,
                  {path, "truncated", "promises 68719476735 sample frames"});
}

TEST_F(ToolBadInput, EmptyRecording) {
    const std::string path = Path("empty.wav");
    Write(path, WavBytes(16000, 1, {}));
    ExpectFailure({"analyze", path, "-o", Path("result.csv")}, 1, {path, "empty"});
    // A file of no bytes at all (a copy that failed, a recorder that never wrote) is empty, not
    // of an unknown format.
    for (const char* name : {"nothing.wav", "nothing.flac"}) {
        Write(Path(name), "");
        ExpectFailure({"analyze", Path(name), "-o", Path("result.csv")}, 1,
                      {Path(name) + ": the file is empty (0 bytes)"});
    }
}

TEST_F(ToolBadInput, MalformedProfiles) {
    const std::string wav = GoodWav();
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::string> fragments;
    };
    const std::vector<Case> cases = {
        {"syntax.json", "{\"format\": ", {"not valid JSON"}},
        {"array.json", "[1, 2]", {"JSON object"}},
        {"version.json", ProfileText("", "[0.5, -1]", "[2, 3]", "7"), {"version", "unknown"}},
        {"length.json", ProfileText("", "[0.5]"), {"means", "1 values, expected 2"}},
        {"zero.json",
         ProfileText("", "[0.5, -1]", "[2, 0]"),
         {"standardDeviations[1]", "greater than 0"}},
        {"infinite.json", ProfileText("", "[0.5, 1e39]"), {"means[1]", "finite"}},
        {"overflow.json", ProfileText("", "[0.5, 1e999]"), {"not valid JSON", "overflow"}},
        {"coefficients.json",
         ProfileText("8, \"coefficients\": 8"),
         {"coefficients", "below the mel channel count"}},
        {"missing.json", ProfileText("8"), {"analysis", "missing \"coefficients\""}},
    };
    for (const Case& profileCase : cases) {
        SCOPED_TRACE(profileCase.name);
        const std::string path = Profile(profileCase.name, profileCase.text);
        std::vector<std::string> fragments = profileCase.fragments;
        fragments.push_back(path);
        ExpectFailure({"analyze", "-p", path, wav, "-o", Path("result.csv")}, 1, fragments);
    }
}

TEST_F(ToolBadInput, BadOptions) {
    const std::string wav = GoodWav();
    ExpectFailure({"analyze", "--frobnicate", wav}, 2, {"unknown option '--frobnicate'"});
    ExpectFailure({"analyze", "--hop", "soon", wav}, 2, {"--hop", "not a number"});
    ExpectFailure({"analyze", "-j", "0", wav}, 2, {"--jobs", "outside"});
    ExpectFailure({"analyze", "-f", "xml", wav}, 2, {"unknown format 'xml'"});
    ExpectFailure({"analyze", wav, "-o"}, 2, {"'--output' needs a value"});
    ExpectFailure({"analyze", wav, wav}, 2, {"-o DIRECTORY"});
    ExpectFailure({"analyze"}, 2, {"no recording"});
    ExpectFailure({"render", wav}, 2, {"-o FILE.png"});
    ExpectFailure({"calibrate", "--block", "1000", "m.csv", "-o", Path("result.json")}, 2,
                  {"blockLength", "power of two"});
    ExpectFailure({"frobnicate"}, 2, {"unknown command"});
}

TEST_F(ToolBadInput, BadManifests) {
    const std::string headerless = Path("headerless.csv");
    Write(headerless, "name,label\na.wav,A\n");
    ExpectFailure({"evaluate", headerless}, 1, {headerless, "\"file\" and \"phoneme\""});
    const std::string empty = Path("empty.csv");
    Write(empty, "file,phoneme\n");
    ExpectFailure({"calibrate", empty, "-o", Path("result.json")}, 1, {empty, "no recordings"});
    const std::string unknown = Path("unknown.csv");
    Write(unknown, "file,phoneme\ngood.wav,Q\n");
    ExpectFailure({"evaluate", unknown}, 1, {unknown + ":2", "'Q' is not in the profile"});
    const std::string open = Path("open-quote.csv");
    Write(open, "file,phoneme\ngood.wav,A\n\"my take.wav,A\n");
    ExpectFailure({"evaluate", open}, 1, {open + ":3", "quote", "not closed"});
}

TEST_F(ToolBadInput, RenderWidthAndBlendAreChecked) {
    const std::string wav = GoodWav();  // 0.3 s: (4800 - 512) / 160 + 1 = 27 frames
    ExpectFailure({"render", wav, "-q", "--max-width", "20", "-o", Path("result.png")}, 1,
                  {wav, "27 frames", "--max-width 20"});
    ExpectFailure({"render", wav, "-q", "--blend", "0", "-o", Path("result.png")}, 2, {"--blend"});
    const ToolRun run = Run({"render", wav, "-q", "--max-width", "27", "-o", Path("fits.png")});
    EXPECT_EQ(run.status, 0) << run.err;
}

TEST_F(ToolBadInput, OutputExtensionMustMatchTheFormat) {
    const std::string wav = GoodWav();
    ExpectFailure({"analyze", wav, "-q", "-o", Path("result.xml")}, 2, {"result.xml", "'.xml'"});
    ExpectFailure({"analyze", wav, "-q", "-f", "csv", "-o", Path("result.json")}, 2,
                  {"extension says json", "format written is csv"});
    ExpectFailure({"analyze", wav, "-q", "--cues", "-o", Path("result.csv")}, 2, {"'.csv'"});
    ExpectFailure({"render", wav, "-q", "-o", Path("result.jpg")}, 2, {"result.jpg", "PNG"});
    // Inferred from the extension, or named and matching it.
    const ToolRun tsv = Run({"analyze", wav, "-q", "-o", Path("frames.tsv")});
    EXPECT_EQ(tsv.status, 0) << tsv.err;
    EXPECT_EQ(Read(Path("frames.tsv")).substr(0, 5), "time\t");
    const ToolRun xml = Run({"analyze", wav, "-q", "--cues", "-f", "xml", "-o", Path("c.xml")});
    EXPECT_EQ(xml.status, 0) << xml.err;
}

TEST_F(ToolBadInput, MissingLibraryNamesTheSearchOrder) {
    const std::string wav = GoodWav();
    ExpectFailure({"analyze", wav, "-q", "--library", Path("nowhere.so")}, 1,
                  {"nowhere.so", "--library PATH", "$VOCETTA_LIBRARY", "beside the tool"});
}

TEST_F(ToolBadInput, ProblemOfManyFilesIsToldOnce) {
    std::string manifest = "file,phoneme\n";
    for (int i = 0; i < 5; ++i) {
        Write(Path("take" + std::to_string(i) + ".wav"), WavBytes(16000, 1, {}));
        manifest += "take" + std::to_string(i) + ".wav,A\n";
    }
    Write(Path("takes.csv"), manifest);
    const ToolRun run = Run({"calibrate", Path("takes.csv"), "-q", "-o", Path("p.json")});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("take0.wav"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("take1.wav"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("the same problem in 4 more"), std::string::npos) << run.err;
    EXPECT_FALSE(std::filesystem::exists(Path("p.json")));
}

TEST_F(ToolBadInput, ManifestWithAByteOrderMarkIsRead) {
    GoodWav();
    const std::string manifest = Path("marked.csv");
    Write(manifest,
          "\xEF\xBB\xBF"
          "file,phoneme\ngood.wav,A\n");
    const ToolRun run = Run({"evaluate", manifest, "-q", "--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("\"frames\": 27"), std::string::npos) << run.out;
}

TEST_F(ToolBadInput, FailureKeepsAnEarlierResult) {
    const std::string output = Path("result.csv");
    Write(output, "an earlier result\n");
    const ToolRun run = Run({"analyze", Path("nowhere.wav"), "--force", "-o", output});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(Read(output), "an earlier result\n");
}

}  // namespace
}  // namespace Vocetta::Testing
