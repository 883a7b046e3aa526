// The tool given what a recording says: its labels follow the words' phones in order, in every
// command that labels frames, and a transcript it cannot use stops the run before any output.
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <sstream>

#include "test_tool_support.hpp"

namespace Vocetta::Testing {
namespace {

// The sample says "Hello! Watch my mouth: ah, ee, oo, eh, oh."; espeak-ng en-us gives these
// phones for it.
constexpr const char* kSampleWords = "Hello! Watch my mouth: ah, ee, oo, eh, oh.";
constexpr const char* kSamplePhones = "həlˈoʊ wˈɑːtʃ maɪ mˈaʊθ ˈɑː ˈiː ˈuː ˈeɪ ˈoʊ";

bool HaveEspeak() {
    return std::system("espeak-ng --version >/dev/null 2>&1") == 0;
}

class ToolTranscript : public ToolTest {
  protected:
    const std::string sample_ = VOCETTA_SOURCE_DIR "/samples/sample.flac";

    // The label of the frame nearest each time, from the tool's frame rows.
    static std::vector<std::string> LabelsAt(const std::string& rows,
                                             const std::vector<double>& times) {
        std::vector<std::string> labels(times.size());
        std::vector<double> nearest(times.size(), 1e9);
        std::istringstream lines(rows);
        std::string line;
        std::getline(lines, line);  // the header
        while (std::getline(lines, line)) {
            const size_t comma = line.find(',');
            const double time = std::stod(line.substr(0, comma));
            const std::string label = line.substr(comma + 1, line.find(',', comma + 1) - comma - 1);
            for (size_t i = 0; i < times.size(); ++i) {
                if (std::fabs(time - times[i]) < nearest[i]) {
                    nearest[i] = std::fabs(time - times[i]);
                    labels[i] = label;
                }
            }
        }
        return labels;
    }
};

TEST_F(ToolTranscript, TheSamplesWordsGiveItsVowels) {
    // The middles of "ah, ee, oo, eh, oh": the profile alone reads the sample's "oo" as I and
    // M; told what is said, each is its own vowel.
    const std::vector<double> vowels = {2.81, 3.46, 4.08, 4.73, 5.35};
    const ToolRun run = Run({"analyze", sample_, "-q", "--ipa", kSamplePhones});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(LabelsAt(run.out, vowels), (std::vector<std::string>{"A", "I", "U", "E", "O"}));
    // The cues show the vowels the words say: the "oo" puckered (F) rather than the spread and
    // closed shapes the profile alone hears in it.
    const ToolRun cues = Run({"analyze", sample_, "-q", "--cues", "--ipa", kSamplePhones});
    ASSERT_EQ(cues.status, 0) << cues.err;
    EXPECT_NE(cues.out.find("3.90\tF\n4.27\tX\n"), std::string::npos) << cues.out;
    // "my" and "mouth" begin with closed lips, and the pauses after the words stay silence.
    EXPECT_EQ(LabelsAt(run.out, {1.59, 1.79, 2.4, 3.15}),
              (std::vector<std::string>{"M", "M", "sil", "sil"}));
    // The visemes show the consonants the words say, which the profile's classes cannot tell
    // apart: "hello, watch my mouth" as h(ə) l oʊ, w ɑ tʃ, m aɪ, m aʊ θ. Alone, the profile
    // hears the l as I, the tʃ as S and the θ as O.
    const auto shapes = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> command = {"analyze", sample_,    "-q",
                                            "--cues",  "--shapes", "visemes"};
        command.insert(command.end(), extra.begin(), extra.end());
        const ToolRun visemes = Run(command);
        EXPECT_EQ(visemes.status, 0) << visemes.err;
        std::vector<std::string> names;
        std::istringstream lines(visemes.out);
        for (std::string line; std::getline(lines, line) && names.size() < 17;)
            names.push_back(line.substr(line.find('\t') + 1));
        return names;
    };
    EXPECT_EQ(shapes({"--ipa", kSamplePhones}),
              (std::vector<std::string>{"sil", "E", "nn", "oh", "ou", "sil", "ou", "aa", "CH", "PP",
                                        "aa", "ih", "PP", "aa", "ou", "TH", "sil"}));
    const std::vector<std::string> heard = shapes({});
    for (const char* consonant : {"nn", "CH", "TH", "DD", "kk", "RR"})
        EXPECT_EQ(std::count(heard.begin(), heard.end(), consonant), 0) << consonant;
    if (!HaveEspeak()) GTEST_SKIP() << "no espeak-ng: --text is not tested";
    // The words, phonemised by espeak-ng, are those phones: the same rows, cues and curves.
    for (const std::vector<std::string>& output :
         {std::vector<std::string>{},
          {"--cues"},
          {"--curves", "-f", "json", "--shapes", "visemes"}}) {
        std::vector<std::string> words = {"analyze", sample_, "-q", "--text", kSampleWords};
        std::vector<std::string> phones = {"analyze", sample_, "-q", "--ipa", kSamplePhones};
        words.insert(words.end(), output.begin(), output.end());
        phones.insert(phones.end(), output.begin(), output.end());
        const ToolRun fromWords = Run(words);
        ASSERT_EQ(fromWords.status, 0) << fromWords.err;
        EXPECT_EQ(fromWords.out, Run(phones).out);
    }
    // From a file as well; the other commands label with it too.
    Write(Path("line.txt"), kSampleWords);
    const ToolRun fromFile = Run({"analyze", sample_, "-q", "--text-file", Path("line.txt")});
    EXPECT_EQ(fromFile.out, Run({"analyze", sample_, "-q", "--text", kSampleWords}).out);
    EXPECT_EQ(Run({"preview", sample_, "-q", "--text", kSampleWords, "-o", Path("p.html")}).status,
              0);
    EXPECT_EQ(Run({"render", sample_, "-q", "--cues", "--text", kSampleWords, "-o", Path("r.png")})
                  .status,
              0);
    EXPECT_TRUE(std::filesystem::is_regular_file(Path("p.html")));
    EXPECT_TRUE(std::filesystem::is_regular_file(Path("r.png")));
}

// The phones where they are said, each with its word: a timeline that covers the recording, in
// the transcript's order, with the sample's words where the labels put their vowels.
TEST_F(ToolTranscript, PhonesAreWrittenWhereTheyAreSaid) {
    const ToolRun run = Run({"analyze", sample_, "-q", "--phones", "--ipa", kSamplePhones});
    ASSERT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "start,end,phone,word,written");
    std::vector<std::string> phones;
    std::vector<int> words;
    double end = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string start, stop, phone, word, written;
        std::getline(fields, start, ',');
        std::getline(fields, stop, ',');
        std::getline(fields, phone, ',');
        std::getline(fields, word, ',');
        std::getline(fields, written);
        EXPECT_DOUBLE_EQ(std::stod(start), end) << line;  // no gap, no overlap
        end = std::stod(stop);
        EXPECT_GT(end, std::stod(start)) << line;
        if (phone == "sil") {
            EXPECT_EQ(word + written, "0");
            continue;
        }
        if (word == "4") {
            EXPECT_EQ(written, "maʊθ");  // given as IPA, a word is named by it
        }
        phones.push_back(phone);
        words.push_back(std::stoi(word));
        // "ee" (word 6) is said around 3.46 s, "oh" (word 9) around 5.35 s.
        for (const auto& [time, expected] : {std::pair{3.46, "i6"}, std::pair{5.35, "o9"}}) {
            if (std::stod(start) < time && time < end) {
                EXPECT_EQ(phone + word, expected) << time;
            }
        }
    }
    EXPECT_NEAR(end, 6.149, 0.001);
    EXPECT_EQ(phones,
              (std::vector<std::string>{"h", "ə", "l", "o", "ʊ", "w", "ɑ", "t", "ʃ", "m", "a", "ɪ",
                                        "m", "a", "ʊ", "θ", "ɑ", "i", "u", "e", "ɪ", "o", "ʊ"}));
    EXPECT_EQ(words, (std::vector<int>{1, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3,
                                       4, 4, 4, 4, 5, 6, 7, 8, 8, 9, 9}));
    // JSON gives the words as well, each its phones.
    const ToolRun json =
        Run({"analyze", sample_, "-q", "--phones", "-f", "json", "--ipa", "həlˈoʊ wˈɑːtʃ"});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(
        json.out.find("\"words\": [\"həloʊ\", \"wɑtʃ\"],\n  \"written\": [\"həloʊ\", \"wɑtʃ\"]"),
        std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find("{\"start\": 0.081, \"end\": 0.121, \"phone\": \"h\", \"word\": 1}"),
              std::string::npos)
        << json.out;
    // Without a transcript there are no phones to place; with other outputs, no room for them.
    const ToolRun alone = Run({"analyze", sample_, "-q", "--phones"});
    EXPECT_EQ(alone.status, 2);
    EXPECT_NE(alone.err.find("--phones needs what the recording says"), std::string::npos);
    const ToolRun both = Run({"analyze", sample_, "-q", "--phones", "--cues", "--ipa", "a"});
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("--phones and --cues exclude each other"), std::string::npos);
    // A recording too short for its phones has no timeline: a message naming it, no output.
    const ToolRun shortLine = Run({"analyze", sample_, "-q", "--phones", "-o", Path("p.csv"),
                                   "--ipa", std::string(700, 'a')});
    EXPECT_EQ(shortLine.status, 1);
    EXPECT_NE(shortLine.err.find(sample_ + ": too short to say its transcript's 700 phones"),
              std::string::npos)
        << shortLine.err;
    EXPECT_FALSE(std::filesystem::exists(Path("p.csv")));
}

// Each word from its first phone's start to its last phone's end, in order, the pauses left out:
// the --phones rows gathered by word.
TEST_F(ToolTranscript, WordsSpanTheirPhones) {
    const ToolRun phones = Run({"analyze", sample_, "-q", "--phones", "--ipa", kSamplePhones});
    const ToolRun words = Run({"analyze", sample_, "-q", "--words", "--ipa", kSamplePhones});
    ASSERT_EQ(words.status, 0) << words.err;
    // start and end of each word, from the phones' rows.
    std::vector<std::string> expected = {"start,end,word,written,ipa"};
    std::istringstream phoneRows(phones.out);
    std::string row, start, end, last;
    std::getline(phoneRows, row);
    const std::vector<std::string> ipa = {"həloʊ", "wɑtʃ", "maɪ", "maʊθ", "ɑ",
                                          "i",     "u",    "eɪ",  "oʊ"};
    const auto close = [&] {
        if (!last.empty() && last != "0") {
            const std::string& said = ipa[size_t(std::stoi(last)) - 1];
            expected.push_back(start + "," + end + "," + last + "," + said + "," + said);
        }
    };
    while (std::getline(phoneRows, row)) {
        std::istringstream fields(row);
        std::string from, to, phone, word;
        std::getline(fields, from, ',');
        std::getline(fields, to, ',');
        std::getline(fields, phone, ',');
        std::getline(fields, word, ',');
        if (word != last) {
            close();
            start = from;
            last = word;
        }
        end = to;
    }
    close();
    std::vector<std::string> rows;
    std::istringstream wordRows(words.out);
    while (std::getline(wordRows, row))
        rows.push_back(row);
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(rows.size(), 10u);
    const ToolRun json =
        Run({"analyze", sample_, "-q", "--words", "-f", "json", "--ipa", "həlˈoʊ wˈɑːtʃ"});
    EXPECT_NE(json.out.find("{\"start\": 0.081, \"end\": 0.631, \"word\": 1, \"written\": "
                            "\"həloʊ\", \"ipa\": \"həloʊ\"}"),
              std::string::npos)
        << json.out;
    const ToolRun both = Run({"analyze", sample_, "-q", "--words", "--phones", "--ipa", "a"});
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("--phones and --words exclude each other"), std::string::npos);
    const ToolRun alone = Run({"analyze", sample_, "-q", "--words"});
    EXPECT_EQ(alone.status, 2);
    EXPECT_NE(alone.err.find("--words needs what the recording says"), std::string::npos);
}

// Words the phonemiser joins into one ("on the": ɔnðə) or says as several ("42") keep their
// written names in the timeline, its JSON and the preview.
TEST_F(ToolTranscript, PhonemisedWordsAreNamedByTheirWrittenWords) {
    if (!HaveEspeak()) GTEST_SKIP() << "no espeak-ng: --text is not tested";
    const std::string text = "Hello, watch the mouth on the man, 42 times!";
    const ToolRun json = Run({"analyze", sample_, "-q", "--phones", "-f", "json", "--text", text});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_NE(json.out.find("\"written\": [\"Hello\", \"watch\", \"the\", \"mouth\", "
                            "\"on the\", \"man\", \"42\", \"42\", \"times\"]"),
              std::string::npos)
        << json.out;
    const ToolRun csv = Run({"analyze", sample_, "-q", "--phones", "--text", text});
    ASSERT_EQ(csv.status, 0) << csv.err;
    EXPECT_NE(csv.out.find(",ɔ,5,on the\n"), std::string::npos) << csv.out;
    ASSERT_EQ(Run({"preview", sample_, "-q", "--text", text, "-o", Path("p.html")}).status, 0);
    EXPECT_NE(Read(Path("p.html"))
                  .find("\"words\": [\"Hello\", \"watch\", \"the\", "
                        "\"mouth\", \"on the\""),
              std::string::npos);
}

// A line copied from a dialogue script keeps its directions and markup: they are not said, so
// the timeline, its names and the cues are those of the words alone, whatever the transcript's
// source; --literal-text says them as words. A line that is all directions or tags says nothing.
TEST_F(ToolTranscript, DirectionsAndMarkupAreNotSaid) {
    if (!HaveEspeak()) GTEST_SKIP() << "no espeak-ng: --text is not tested";
    const std::string scripted =
        "(cheerful) Hello! *Watch* my <i>mouth</i>: [slowly] ah, ee, oo, eh, oh. #line:0a1b2c";
    for (const char* output : {"--words", "--phones", "--cues"}) {
        const ToolRun plain = Run({"analyze", sample_, "-q", output, "--text", kSampleWords});
        const ToolRun marked = Run({"analyze", sample_, "-q", output, "--text", scripted});
        ASSERT_EQ(marked.status, 0) << marked.err;
        EXPECT_EQ(marked.out, plain.out) << output;
    }
    Write(Path("line.txt"), scripted);
    EXPECT_EQ(Run({"analyze", sample_, "-q", "--words", "--text-file", Path("line.txt")}).out,
              Run({"analyze", sample_, "-q", "--words", "--text", kSampleWords}).out);
    const ToolRun literal =
        Run({"analyze", sample_, "-q", "--words", "--literal-text", "--text", scripted});
    ASSERT_EQ(literal.status, 0) << literal.err;
    EXPECT_NE(literal.out.find(",cheerful,"), std::string::npos) << literal.out;
    EXPECT_NE(literal.out.find(",#line:0a1b2c,"), std::string::npos) << literal.out;
    Write(Path("sigh.txt"), "(sighs) #line:0a1b2c\n");
    const ToolRun sigh = Run({"analyze", sample_, "-q", "--text-file", Path("sigh.txt")});
    EXPECT_EQ(sigh.status, 1);
    EXPECT_NE(sigh.err.find(Path("sigh.txt") + ": no words to say, only directions and markup"),
              std::string::npos)
        << sigh.err;
    EXPECT_TRUE(sigh.out.empty());
}

// Lines that name their speaker, from a Yarn string table: with --speaker-names the name is not
// said, so the line times as its words alone; a row of a name alone says nothing.
TEST_F(ToolTranscript, SpeakerNamesAreNotSaid) {
    if (!HaveEspeak()) GTEST_SKIP() << "no espeak-ng: --text is not tested";
    const std::string named = std::string("Mae: ") + kSampleWords + " #line:0a1b2c";
    const ToolRun plain = Run({"analyze", sample_, "-q", "--words", "--text", kSampleWords});
    const ToolRun spoken =
        Run({"analyze", sample_, "-q", "--words", "--speaker-names", "--text", named});
    ASSERT_EQ(spoken.status, 0) << spoken.err;
    EXPECT_EQ(spoken.out, plain.out);
    const ToolRun asWritten = Run({"analyze", sample_, "-q", "--words", "--text", named});
    ASSERT_EQ(asWritten.status, 0) << asWritten.err;
    EXPECT_NE(asWritten.out.find(",Mae,"), std::string::npos) << asWritten.out;
    const std::string wav = Path("line_1.flac");
    std::filesystem::copy_file(sample_, wav);
    Write(Path("strings.csv"), "id,text\nline_1,Mae:\n");
    const ToolRun empty = Run({"analyze", wav, "-q", "--speaker-names", "--script",
                               Path("strings.csv"), "--script-columns", "id,text"});
    EXPECT_EQ(empty.status, 1);
    EXPECT_NE(empty.err.find("no words to say, only a speaker's name"), std::string::npos)
        << empty.err;
    EXPECT_TRUE(empty.out.empty());
}

// The preview shows the phones where they are said, under the cues, and names the word being
// said as it plays.
TEST_F(ToolTranscript, ThePreviewShowsThePhonesAndTheWord) {
    ASSERT_EQ(Run({"preview", sample_, "-q", "--ipa", kSamplePhones, "-o", Path("p.html")}).status,
              0);
    const std::string page = Read(Path("p.html"));
    for (const char* phone : {"h", "ʃ", "θ", "ɑ", "sil"})
        EXPECT_NE(page.find(std::string("data-phone=\"") + phone + "\""), std::string::npos)
            << phone;
    EXPECT_NE(page.find("data-phone=\"θ\" data-word=\"4\""), std::string::npos);
    EXPECT_NE(page.find("\"words\": [\"həloʊ\", \"wɑtʃ\""), std::string::npos);
    ASSERT_EQ(Run({"preview", sample_, "-q", "-o", Path("plain.html")}).status, 0);
    EXPECT_EQ(Read(Path("plain.html")).find("id=\"phones\""), std::string::npos);
    if (std::system("command -v chromium >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "chromium is not installed";
    }
    const std::string command =
        "timeout 120 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
        "--disable-background-networking --disable-component-update --disable-sync "
        "--user-data-dir=" +
        Quote(Path("browser")) + " --dump-dom " + Quote("file://" + Path("p.html") + "#t=1.5") +
        " >" + Quote(Path("dom")) + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_NE(Read(Path("dom")).find("1.50 s  wɑtʃ"), std::string::npos);
}

TEST_F(ToolTranscript, EachRecordingReadsTheTextBesideIt) {
    if (!HaveEspeak()) GTEST_SKIP() << "no espeak-ng: --transcripts is not tested";
    std::filesystem::copy_file(sample_, Path("a.flac"));
    std::filesystem::copy_file(sample_, Path("b.flac"));
    Write(Path("a.txt"), kSampleWords);
    // b.txt is missing: nothing is analysed, nothing written.
    const ToolRun missing = Run({"analyze", Path("a.flac"), Path("b.flac"), "-q", "--transcripts",
                                 "--cues", "-o", Path("cues")});
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find(Path("b.txt") + ": no such transcript"), std::string::npos)
        << missing.err;
    EXPECT_FALSE(std::filesystem::exists(Path("cues")));
    Write(Path("b.txt"), "Hello!");
    const ToolRun both = Run({"analyze", Path("a.flac"), Path("b.flac"), "-q", "--transcripts",
                              "--cues", "-o", Path("cues")});
    ASSERT_EQ(both.status, 0) << both.err;
    EXPECT_EQ(Read(Path("cues/a.tsv")),
              Run({"analyze", sample_, "-q", "--text", kSampleWords, "--cues"}).out);
    // Told the line says only "Hello!", the rest of b is pauses and that word.
    EXPECT_NE(Read(Path("cues/a.tsv")), Read(Path("cues/b.tsv")));
    // What wraps the tool hears the lines phonemised, all of them last, before any file's seconds.
    const ToolRun told = Run({"analyze", Path("a.flac"), Path("b.flac"), "--progress", "json", "-j",
                              "2", "--transcripts", "--cues", "--force", "-o", Path("cues")});
    ASSERT_EQ(told.status, 0) << told.err;
    std::istringstream lines(told.err);
    std::vector<nlohmann::json> stages;
    bool fileSeen = false;
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json parsed = nlohmann::json::parse(line);
        if (parsed.contains("file")) fileSeen = true;
        if (!parsed.contains("stage")) continue;
        EXPECT_FALSE(fileSeen) << line;
        EXPECT_EQ(parsed.at("stage"), "phonemising");
        EXPECT_EQ(parsed.at("lines"), 2);
        if (!stages.empty()) {
            EXPECT_GT(parsed.at("lines_done"), stages.back().at("lines_done"));
        }
        stages.push_back(parsed);
    }
    ASSERT_FALSE(stages.empty()) << told.err;
    EXPECT_EQ(stages.back().at("lines_done"), 2);
    EXPECT_TRUE(fileSeen) << told.err;
}

// A game's lines live in a table, not in a file per line: each recording reads its own row, by
// its name or its path, in the row's language; rows no recording is given for are left alone.
TEST_F(ToolTranscript, EachRecordingReadsItsRowOfADialogueTable) {
    if (!HaveEspeak()) GTEST_SKIP() << "no espeak-ng: --script is not tested";
    std::filesystem::create_directories(Path("vo/en"));
    std::filesystem::create_directories(Path("vo/de"));
    for (const char* name : {"vo/en/intro.flac", "vo/de/intro.flac", "vo/en/bye.flac"})
        std::filesystem::copy_file(sample_, Path(name));
    const std::string words = std::string("\"") + kSampleWords + "\"";
    Write(Path("vo/lines.csv"),
          "\xef\xbb\xbfID,Speaker,File,Text,Language\r\n"
          "1,Ann,en/intro," +
              words +
              ",\r\n"
              "2,Ann,de\\intro.flac,\"(leise) Hallo!\",de\r\n"
              "3,Ann,bye.flac,Hello!,\r\n"
              "4,,,\"Start, game\",\r\n"
              "5,Bob,unrecorded,,\r\n");
    const std::vector<std::string> inputs = {Path("vo/en/intro.flac"), Path("vo/de/intro.flac"),
                                             Path("vo/en/bye.flac")};
    const ToolRun run = Run({"analyze", "-q", "--words", "-o", Path("words"), inputs[0], inputs[2],
                             "--script", Path("vo/lines.csv")});
    ASSERT_EQ(run.status, 0) << run.err;
    const auto alone = [&](const std::vector<std::string>& transcript) {
        std::vector<std::string> one = {"analyze", sample_, "-q", "--words"};
        one.insert(one.end(), transcript.begin(), transcript.end());
        return Run(one).out;
    };
    EXPECT_EQ(Read(Path("words/intro.csv")), alone({"--text", kSampleWords}));
    EXPECT_EQ(Read(Path("words/bye.csv")), alone({"--text", "Hello!"}));
    EXPECT_EQ(Run({"analyze", inputs[1], "-q", "--words", "--script", Path("vo/lines.csv")}).out,
              alone({"--text", "Hallo!", "--language", "de"}));
    // Tab-separated as well: by the name's .tsv or .tab (Ren'Py's extracted dialogue), or a
    // header of tabs and no comma, whatever the name.
    Write(Path("vo/lines.tsv"), "file\ttext\nbye\tHello!\n");
    Write(Path("vo/dialogue.tab"),
          "Identifier\tCharacter\tDialogue\tFilename\nbye\te\t{i}Hello!{/i}\tgame/script.rpy\n");
    Write(Path("vo/lines.txt"), "file\ttext\nbye\tHello, you!\n");
    EXPECT_EQ(Run({"analyze", inputs[2], "-q", "--words", "--script", Path("vo/lines.tsv")}).out,
              alone({"--text", "Hello!"}));
    EXPECT_EQ(Run({"analyze", inputs[2], "-q", "--words", "--script", Path("vo/dialogue.tab"),
                   "--script-columns", "Identifier,Dialogue"})
                  .out,
              alone({"--text", "Hello!"}));
    EXPECT_EQ(Run({"analyze", inputs[2], "-q", "--words", "--script", Path("vo/lines.txt")}).out,
              alone({"--text", "Hello, you!"}));
    // A localisation table: a key per line, a column per language.
    Write(Path("vo/loc.csv"), "Key,English,German\nintro,\"" + std::string(kSampleWords) +
                                  "\",Hallo!\nbye,Hello!,Tsch\xc3\xbcss!\n");
    EXPECT_EQ(Run({"analyze", inputs[1], "-q", "--words", "--script", Path("vo/loc.csv"),
                   "--script-columns", "key,German", "--language", "de"})
                  .out,
              alone({"--text", "Hallo!", "--language", "de"}));
    EXPECT_EQ(Run({"analyze", inputs[0], "-q", "--words", "--script", Path("vo/loc.csv"),
                   "--script-columns", "Key,English"})
                  .out,
              Read(Path("words/intro.csv")));
    const ToolRun columns = Run({"analyze", inputs[0], "-q", "--script", Path("vo/loc.csv")});
    EXPECT_NE(columns.err.find(":1: the header must name the columns \"file\" (the recording) "
                               "and \"text\" (its words); --script-columns names others"),
              std::string::npos)
        << columns.err;
    EXPECT_EQ(Run({"analyze", inputs[0], "--script", Path("vo/loc.csv"), "--script-columns", "Key"})
                  .status,
              2);
    // What it cannot match is refused before anything is written.
    const auto refused = [&](const std::string& table, const std::vector<std::string>& given,
                             const std::string& message) {
        Write(Path("t.csv"), table);
        std::vector<std::string> arguments = {"analyze", "-q", "--cues", "-o", Path("cues")};
        arguments.insert(arguments.end(), given.begin(), given.end());
        arguments.insert(arguments.end(), {"--script", Path("t.csv")});
        const ToolRun failed = Run(arguments);
        EXPECT_EQ(failed.status, 1) << table;
        EXPECT_NE(failed.err.find(message), std::string::npos) << failed.err;
        EXPECT_FALSE(std::filesystem::exists(Path("cues")));
    };
    refused("file,text\nbye,Hello!\n", inputs, Path("t.csv") + ": no row names " + inputs[0]);
    refused("file,text\nintro,Hello!\n", {inputs[0], inputs[1]},
            Path("t.csv") + ":2 names both " + inputs[0] + " and " + inputs[1]);
    refused("file,text\nbye,Hello!\nbye.flac,Bye!\n", {inputs[2]},
            Path("t.csv") + ":2 and " + Path("t.csv") + ":3 both give the words of " + inputs[2]);
    refused("recording,words\nbye,Hello!\n", {inputs[2]},
            Path("t.csv") + ":1: the header must name the columns \"file\"");
    refused("file,text\nbye,\"Hello!\n", {inputs[2]}, Path("t.csv") + ":2: a quote");
    refused("file,text\nbye,(sighs)\n", {inputs[2]}, Path("t.csv") + ":2: no words to say");
    refused("file,text,language\nbye,Hello!,zz\n", {inputs[2]},
            Path("t.csv") +
                ":2: espeak-ng could not turn the words into phones with the voice "
                "'zz'");
    // Phonemised on several threads, the lines give what they give on one, and of two bad
    // lines the first is the one named.
    Write(Path("two.csv"), "file,text\nvo/en/intro,(sighs)\nbye,[laughs]\n");
    for (const char* threads : {"1", "2", "8"}) {
        const ToolRun many = Run({"analyze", "-q", "--words", "-j", threads, "-o",
                                  Path(std::string("words-") + threads), inputs[0], inputs[2],
                                  "--script", Path("vo/lines.csv")});
        ASSERT_EQ(many.status, 0) << many.err;
        EXPECT_EQ(Read(Path(std::string("words-") + threads + "/intro.csv")),
                  Read(Path("words/intro.csv")));
        EXPECT_EQ(Read(Path(std::string("words-") + threads + "/bye.csv")),
                  Read(Path("words/bye.csv")));
        const ToolRun bad = Run({"analyze", "-q", "-j", threads, inputs[0], inputs[2], "--script",
                                 Path("two.csv"), "-o", Path("none")});
        EXPECT_EQ(bad.status, 1);
        EXPECT_NE(bad.err.find(Path("two.csv") + ":2: no words to say"), std::string::npos)
            << bad.err;
    }
    const ToolRun both =
        Run({"analyze", inputs[2], "--script", Path("vo/lines.csv"), "--text", "a"});
    EXPECT_EQ(both.status, 2);
    EXPECT_NE(both.err.find("exclude each other"), std::string::npos) << both.err;
}

TEST_F(ToolTranscript, RefusesWhatItCannotAlign) {
    const auto refused = [&](const std::vector<std::string>& arguments, int status,
                             const std::string& message) {
        const ToolRun run = Run(arguments);
        EXPECT_EQ(run.status, status) << run.err;
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty());
    };
    std::filesystem::create_directory(Path("in"));
    std::filesystem::copy_file(sample_, Path("in/a.flac"));
    std::filesystem::copy_file(sample_, Path("in/b.flac"));
    refused({"analyze", Path("in/a.flac"), Path("in/b.flac"), "--ipa", "a", "-o", Path("out")}, 2,
            "--ipa gives the words of one recording");
    refused({"analyze", sample_, "--ipa", "a", "--text", "ah"}, 2, "exclude each other");
    refused({"analyze", sample_, "--ipa", "a", "--no-smoothing"}, 2, "--no-smoothing");
    refused({"analyze", sample_, "--ipa", "ˈ, ."}, 1, "--ipa: no phones to align");
    refused({"analyze", sample_, "--ipa", "tdk"}, 1,
            "the profile's phonemes stand for none of its phones");
    refused({"analyze", sample_, "--text", "ah", "--language", "-x"}, 2, "no espeak-ng voice");
    refused({"analyze", sample_, "--text", " \n"}, 1, "--text: no words");
    refused({"analyze", sample_, "--text-file", Path("none.txt")}, 1,
            Path("none.txt") + ": no such transcript");
    if (HaveEspeak()) {
        refused({"analyze", sample_, "--text", "ah", "--language", "zz"}, 1,
                "espeak-ng could not turn the words into phones with the voice 'zz'");
    }
    EXPECT_EQ(Files(), std::vector<std::string>{"in"});
}

// A phonemiser that fails, answers nothing or hangs is a message, never a run that waits for
// ever or writes labels of nothing (a stand-in espeak-ng first on the PATH).
TEST_F(ToolTranscript, APhonemiserThatFailsOrHangsIsAMessage) {
    const std::string bin = Path("bin");
    std::filesystem::create_directory(bin);
    const std::string fake = bin + "/espeak-ng";
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin";
    setenv("PATH", (bin + ":" + path).c_str(), 1);
    const auto phonemiser = [&](const std::string& body) {
        Write(fake, "#!/bin/sh\n" + body + "\n");
        std::filesystem::permissions(fake, std::filesystem::perms::owner_all);
        return Run({"analyze", sample_, "-q", "--text", "ah"});
    };
    const ToolRun fails = phonemiser("cat >/dev/null; echo 'no such voice' >&2; exit 3");
    EXPECT_EQ(fails.status, 1);
    EXPECT_NE(fails.err.find("espeak-ng could not turn the words into phones with the voice "
                             "'en-us': no such voice"),
              std::string::npos)
        << fails.err;
    const ToolRun silent = phonemiser("cat >/dev/null");
    EXPECT_EQ(silent.status, 1);
    EXPECT_NE(silent.err.find("could not turn the words into phones"), std::string::npos);
    const ToolRun hangs = phonemiser("exec sleep 600");
    EXPECT_EQ(hangs.status, 1);
    EXPECT_NE(hangs.err.find("--text: espeak-ng gave no phones for 10 s and was stopped"),
              std::string::npos)
        << hangs.err;
    setenv("PATH", path.c_str(), 1);
    EXPECT_TRUE(hangs.out.empty() && silent.out.empty() && fails.out.empty());
}

}  // namespace
}  // namespace Vocetta::Testing
