// --progress json: one JSON object per line on stderr, for programs that wrap the tool; each
// file's seconds grow and end at its length, which a stream only tells at its end.
#include <nlohmann/json.hpp>

#include "test_tool_support.hpp"

namespace Vocetta::Testing {
namespace {

using Json = nlohmann::json;

class ToolProgress : public CalibratedToolTest {
  protected:
    // Every line of `err` as JSON (a line that is not fails the test).
    static std::vector<Json> Lines(const std::string& err) {
        std::vector<Json> lines;
        std::istringstream stream(err);
        for (std::string line; std::getline(stream, line);) {
            const Json parsed = Json::parse(line, nullptr, false);
            EXPECT_FALSE(parsed.is_discarded()) << "not JSON: " << line;
            if (!parsed.is_discarded()) lines.push_back(parsed);
        }
        return lines;
    }

    // The lines of one file: seconds_done never falls, the total is the same on every line
    // (null until a stream ends), and the last line says the whole length is done.
    static void ExpectFile(const std::vector<Json>& lines, const std::string& file, double seconds,
                           bool totalKnown) {
        std::vector<Json> mine;
        for (const Json& line : lines) {
            if (line.at("file") == file) mine.push_back(line);
        }
        ASSERT_GE(mine.size(), 2u) << "a first and a last line for " << file;
        double previous = 0;
        for (size_t i = 0; i < mine.size(); ++i) {
            const double done = mine[i].at("seconds_done").get<double>();
            EXPECT_GE(done, previous) << mine[i];
            previous = done;
            if (i + 1 < mine.size()) {
                if (totalKnown) {
                    EXPECT_DOUBLE_EQ(mine[i].at("seconds_total").get<double>(), seconds);
                } else {
                    EXPECT_TRUE(mine[i].at("seconds_total").is_null()) << mine[i];
                }
            }
        }
        EXPECT_DOUBLE_EQ(mine.back().at("seconds_done").get<double>(), seconds);
        EXPECT_DOUBLE_EQ(mine.back().at("seconds_total").get<double>(), seconds);
    }
};

TEST_F(ToolProgress, FilesAndStreamsReportSecondsUpToTheirLength) {
    const std::string voice = WriteWav("voice.wav", 16000, Vowel(16000, 2.5, 700, 1200));
    for (const char* jobs : {"1", "2"}) {
        const ToolRun run = Run({"analyze", voice, "--progress", "json", "-j", jobs, "--force",
                                 "-o", Path("voice.csv")});
        ASSERT_EQ(run.status, 0) << run.err;
        const auto lines = Lines(run.err);
        ExpectFile(lines, voice, 2.5, true);
        for (const Json& line : lines) {
            EXPECT_EQ(line.at("file_index"), 1);
            EXPECT_EQ(line.at("files"), 1);
        }
    }

    // Standard input: its length is known once it ends.
    const std::string command = Quote(VOCETTA_BINARY_DIR "/vocetta") +
                                " analyze - --progress json >/dev/null <" + Quote(voice) + " 2>" +
                                Quote(Path("stream.err"));
    ASSERT_EQ(std::system(command.c_str()), 0) << Read(Path("stream.err"));
    ExpectFile(Lines(Read(Path("stream.err"))), "-", 2.5, false);
}

TEST_F(ToolProgress, EvaluationReportsEveryFileInTurnAndTheKindIsChecked) {
    const std::string profile = CalibratedProfile();
    WriteWav("a.wav", 16000, Vowel(16000, 0.75, 750, 1250));
    WriteWav("i.wav", 16000, Vowel(16000, 1.5, 300, 2300));
    Write(Path("takes.csv"), "file,phoneme\na.wav,A\ni.wav,I\n");
    const ToolRun run =
        Run({"evaluate", Path("takes.csv"), "-p", profile, "--json", "--progress", "json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto lines = Lines(run.err);
    ExpectFile(lines, Path("a.wav"), 0.75, true);
    ExpectFile(lines, Path("i.wav"), 1.5, true);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().at("file_index"), 1);
    EXPECT_EQ(lines.back().at("file_index"), 2);
    EXPECT_EQ(lines.back().at("files"), 2);
    EXPECT_FALSE(Json::parse(run.out).is_discarded()) << "the report stays on standard output";

    const ToolRun wrong = Run({"evaluate", Path("takes.csv"), "--progress", "xml"});
    EXPECT_EQ(wrong.status, 2);
    EXPECT_NE(wrong.err.find("--progress"), std::string::npos) << wrong.err;
}

}  // namespace
}  // namespace Vocetta::Testing
