// The tool on standard input and on long recordings: a stream whose WAV header gives no length,
// fed in uneven pieces, gives the frames of the same samples read from a file, each frame as soon
// as its samples are in; raw samples need only their format; and a long recording is analysed in
// bounded memory.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <random>
#include <set>
#include <thread>

#include "test_tool_support.hpp"
#include "vocetta/smoother.hpp"

namespace Vocetta::Testing {
namespace {

class ToolStream : public CalibratedToolTest {
  protected:
    // A WAV header as a recorder writes it into a pipe: no length known, the largest one given.
    static std::string StreamingWav(int rate, const std::vector<float>& samples) {
        std::string bytes = WavBytes(rate, 1, samples);
        for (size_t offset : {size_t(4), size_t(40)})
            std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), 4, '\xff');
        return bytes;
    }

    // The tool with standard input from `input` (a file or FIFO), standard output into `output`.
    std::string Command(const std::vector<std::string>& arguments, const std::string& input,
                        const std::string& output) const {
        std::string command = Quote(VOCETTA_BINARY_DIR "/vocetta");
        for (const std::string& argument : arguments) {
            command += ' ';
            command += Quote(argument);
        }
        for (const auto& [redirect, path] : {std::pair<const char*, std::string>{" <", input},
                                             {" >", output},
                                             {" 2>", Path(".err")}}) {
            command += redirect;
            command += Quote(path);
        }
        return command;
    }

    int Shell(const std::string& command) const {
        const int raw = std::system(command.c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

    // Reads from `descriptor` until `lines` newlines have arrived or it ends; false if nothing
    // arrives for a minute (a tool that waits for the end of the stream never sends a line).
    static bool ReadLines(int descriptor, std::string& into, size_t lines) {
        while (static_cast<size_t>(std::count(into.begin(), into.end(), '\n')) < lines) {
            pollfd wait{descriptor, POLLIN, 0};
            if (::poll(&wait, 1, 60000) <= 0) return false;
            char buffer[4096];
            const ssize_t got = ::read(descriptor, buffer, sizeof buffer);
            if (got <= 0) return true;
            into.append(buffer, static_cast<size_t>(got));
        }
        return true;
    }
};

TEST_F(ToolStream, LengthlessWavInPiecesGivesTheFramesOfTheFileAsTheyCome) {
    std::signal(SIGPIPE, SIG_IGN);  // a tool that fails early must fail the test, not end it
    const int rate = 16000;
    std::vector<float> samples = Vowel(rate, 0.6, 700, 1200);
    const std::vector<float> other = Vowel(rate, 0.6, 300, 2300, 0.1);
    samples.insert(samples.end(), other.begin(), other.end());
    const std::string file = WriteWav("voice.wav", rate, samples);
    const std::vector<std::string> options = {"analyze",        "-",         "-q",
                                              "--no-smoothing", "--silence", "-50"};
    const ToolRun reference = Run({"analyze", file, "-q", "--no-smoothing", "--silence", "-50"});
    ASSERT_EQ(reference.status, 0) << reference.err;

    const std::string in = Path("in"), out = Path("out");
    ASSERT_EQ(::mkfifo(in.c_str(), 0600), 0);
    ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
    int status = -1;
    std::thread tool([&] { status = Shell(Command(options, in, out)); });
    const int writer = ::open(in.c_str(), O_WRONLY);  // the shell opens standard input first
    const int reader = ::open(out.c_str(), O_RDONLY);
    ASSERT_GE(writer, 0);
    ASSERT_GE(reader, 0);
    const std::string stream = StreamingWav(rate, samples);
    // Uneven pieces, the first of them splitting the header.
    auto send = [&](size_t from, size_t to) {
        static constexpr size_t kPieces[] = {1, 7, 30, 333, 4096, 999};
        for (size_t i = 0; from < to; ++i) {
            const size_t piece = std::min(kPieces[i % std::size(kPieces)], to - from);
            if (::write(writer, stream.data() + from, piece) != static_cast<ssize_t>(piece)) break;
            from += piece;
        }
    };
    const size_t half = stream.size() / 2;
    send(0, half);
    // Half the stream is in and the stream is still open: its frames are out already.
    std::string received;
    const bool early = ReadLines(reader, received, 10);
    send(half, stream.size());
    ::close(writer);
    ReadLines(reader, received, SIZE_MAX);
    ::close(reader);
    tool.join();
    EXPECT_TRUE(early) << "no frame before the stream ended";
    ASSERT_EQ(status, 0) << Read(Path(".err"));
    EXPECT_EQ(received, reference.out);
}

// A recorder that never finished its header leaves sizes of 0 or the largest one: the file, and
// the same bytes on standard input, are read to their end and give the frames of a finished file.
TEST_F(ToolStream, UnfinishedWavHeadersAreReadToTheEnd) {
    const std::vector<float> samples = Vowel(16000, 0.5, 700, 1200);
    const std::vector<std::string> options = {"-q", "--no-smoothing", "--silence", "-50"};
    auto analyze = [&](const std::string& path) {
        std::vector<std::string> arguments = {"analyze", path};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return Run(arguments);
    };
    const ToolRun finished = analyze(WriteWav("finished.wav", 16000, samples));
    ASSERT_EQ(finished.status, 0) << finished.err;
    // 8000 samples: (8000 - 512) / 160 + 1 = 47 frames under the header.
    ASSERT_EQ(std::count(finished.out.begin(), finished.out.end(), '\n'), 1 + 47);
    std::string zero = WavBytes(16000, 1, samples);
    for (size_t offset : {size_t(4), size_t(40)})
        std::fill_n(zero.begin() + static_cast<std::ptrdiff_t>(offset), 4, '\0');
    Write(Path("zero.wav"), zero);
    Write(Path("largest.wav"), StreamingWav(16000, samples));
    for (const char* name : {"zero.wav", "largest.wav"}) {
        const ToolRun file = analyze(Path(name));
        EXPECT_EQ(file.status, 0) << name << ": " << file.err;
        EXPECT_EQ(file.out, finished.out) << name;
        std::vector<std::string> arguments = {"analyze", "-"};
        arguments.insert(arguments.end(), options.begin(), options.end());
        ASSERT_EQ(Shell(Command(arguments, Path(name), Path("stream.csv"))), 0)
            << name << ": " << Read(Path(".err"));
        EXPECT_EQ(Read(Path("stream.csv")), finished.out) << name;
    }
}

TEST_F(ToolStream, RawSamplesAndDefaultLabelsFromStandardInput) {
    const int rate = 16000;
    const std::vector<float> samples = Vowel(rate, 0.8, 700, 1200);
    const std::string file = WriteWav("voice.wav", rate, samples);
    // The same samples as 32-bit floats, two identical channels.
    std::string raw;
    for (float sample : samples) {
        const float quantised = std::lrint(sample * 32767.0f) / 32768.0f;
        for (int channel = 0; channel < 2; ++channel)
            raw.append(reinterpret_cast<const char*>(&quantised), sizeof quantised);
    }
    Write(Path("voice.f32"), raw);
    const ToolRun reference = Run({"analyze", file, "-q", "--no-smoothing", "--silence", "-40"});
    ASSERT_EQ(reference.status, 0) << reference.err;
    ASSERT_EQ(Shell(Command({"analyze", "-", "-q", "--raw", "16000:2:f32", "--no-smoothing",
                             "--silence", "-40"},
                            Path("voice.f32"), Path("raw.csv"))),
              0)
        << Read(Path(".err"));
    EXPECT_EQ(Read(Path("raw.csv")), reference.out);

    // By default the labels of a stream are smoothed as they come: a steady vowel keeps its
    // phoneme in every frame but the ones the gate calls silence.
    ASSERT_EQ(Shell(Command({"analyze", "-", "-q"}, file, Path("default.csv"))), 0)
        << Read(Path(".err"));
    std::istringstream lines(Read(Path("default.csv")));
    std::string line;
    std::getline(lines, line);
    std::set<std::string> labels;
    for (size_t count = 0; std::getline(lines, line); ++count) {
        const size_t first = line.find(',') + 1;
        labels.insert(line.substr(first, line.find(',', first) - first));
    }
    labels.erase("sil");
    EXPECT_EQ(labels.size(), 1u);

    // A malformed format is an error before anything is read; a headerless stream without --raw
    // says how to name its format.
    EXPECT_EQ(Shell(Command({"analyze", "-", "--raw", "16000:2:f16"}, file, Path("x"))), 2);
    EXPECT_NE(Read(Path(".err")).find("f16"), std::string::npos);
    EXPECT_EQ(Shell(Command({"analyze", "-", "-q"}, Path("voice.f32"), Path("x"))), 1);
    EXPECT_NE(Read(Path(".err")).find("--raw"), std::string::npos);
}

// A stream is gated under the level heard so far, as a file is under its own: a phrase 30 dB
// quieter is labelled as the loud one, where a fixed gate of -40 dBFS hears nothing of it; and a
// talker who moves off the microphone mid-stream is still heard once the level has followed.
TEST_F(ToolStream, GateFollowsTheLevelHeardSoFar) {
    const std::string profile = CalibratedProfile();
    auto phrase = [](float level) {
        std::vector<float> samples;
        uint32_t state = 7;  // a faint hiss in the pauses, 50 dB under the vowels' peaks
        for (int repeat = 0; repeat < 2; ++repeat) {
            for (const VowelShape& shape : kShapes) {
                const auto vowel = Vowel(16000, 0.4, shape.formant1, shape.formant2, level);
                samples.insert(samples.end(), vowel.begin(), vowel.end());
                for (int i = 0; i < 4000; ++i) {
                    state = state * 1664525u + 1013904223u;
                    samples.push_back(level * 0.00316f * (float(state >> 8) / 8388608.0f - 1));
                }
            }
        }
        return samples;
    };
    auto labels = [&](const std::vector<float>& samples, std::vector<std::string> options) {
        const std::string file = WriteWav("phrase.wav", 16000, samples);
        options.insert(options.begin(), {"analyze", "-", "-q", "-p", profile});
        EXPECT_EQ(Shell(Command(options, file, Path("s.csv"))), 0) << Read(Path(".err"));
        std::vector<std::string> column;
        std::istringstream lines(Read(Path("s.csv")));
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            const size_t first = line.find(',') + 1;
            column.push_back(line.substr(first, line.find(',', first) - first));
        }
        return column;
    };
    const std::vector<float> loud = phrase(0.5f), quiet = phrase(0.5f * 0.0316228f);
    const auto heard = labels(loud, {});
    EXPECT_EQ(labels(quiet, {}), heard);
    for (const char* name : {"A", "I", "U", "sil"})
        EXPECT_NE(std::find(heard.begin(), heard.end(), name), heard.end()) << name;
    const auto fixed = labels(quiet, {"--silence", "-40"});
    EXPECT_EQ(std::count(fixed.begin(), fixed.end(), "sil"), static_cast<long>(fixed.size()));

    // Loud, then 40 dB quieter: with a window of a second the level has followed within it, and
    // the quiet half's vowels come back as they were alone; a window as long as the stream keeps
    // the loud level and gates them.
    const std::vector<float> faint = phrase(0.005f);
    const auto alone = labels(faint, {});
    EXPECT_EQ(alone, heard);
    std::vector<float> moved = loud;
    moved.insert(moved.end(), faint.begin(), faint.end());
    const auto near = labels(moved, {"--level-window", "1"});
    const auto far = labels(moved, {"--level-window", "60"});
    ASSERT_EQ(near.size(), far.size());
    const size_t hop = 160, start = loud.size() / hop + 100;  // 10 ms hops: a second in
    ASSERT_EQ(near.size(), loud.size() / hop + alone.size());
    size_t agree = 0, vowels = 0;
    for (size_t t = start; t < near.size(); ++t) {
        agree += near[t] == alone[t - loud.size() / hop];
        vowels += far[t] != "sil";
    }
    EXPECT_GE(agree, (near.size() - start) * 9 / 10);
    EXPECT_EQ(vowels, 0u);
}

// With a lag, a streamed row waits for the frames after it: every frame's row still comes, once
// and in order, with the numbers it has without a lag, and its label is the offline pass's
// (SmoothPath over the rows' own scores, silence alone below a fixed gate, the tool's
// switch cost: 2, or 1 without a lag unless one is given) over the frames up to the lag's end,
// not beyond.
TEST_F(ToolStream, LaggedLabelsAreTheBestPathOverTheFramesUpToTheLag) {
    // Short vowels in noise, so that frames are in doubt and the switch cost decides some.
    const int rate = 16000;
    std::vector<float> samples;
    const std::pair<double, double> formants[] = {
        {700, 1200}, {300, 2300}, {500, 1800}, {350, 800}, {600, 1000}};
    for (int part = 0; part < 12; ++part) {
        const auto [f1, f2] = formants[(part * 3) % 5];
        const std::vector<float> vowel = Vowel(rate, 0.04 + 0.02 * (part % 4), f1, f2);
        samples.insert(samples.end(), vowel.begin(), vowel.end());
    }
    std::mt19937 random(3);
    std::normal_distribution<float> noise(0.0f, 0.05f);
    for (float& sample : samples)
        sample += noise(random);
    samples.insert(samples.end(), 1600, 0.0f);  // and a pause, below the gate
    const std::string file = WriteWav("voice.wav", rate, samples);
    auto rows = [&](std::vector<std::string> options) {
        options.insert(options.begin(), {"analyze", "-", "-q", "--silence", "-40"});
        EXPECT_EQ(Shell(Command(options, file, Path("s.csv"))), 0) << Read(Path(".err"));
        std::vector<std::vector<std::string>> table;
        std::istringstream lines(Read(Path("s.csv")));
        std::string line;
        std::getline(lines, line);
        while (std::getline(lines, line)) {
            std::vector<std::string> fields;
            std::istringstream cells(line);
            for (std::string cell; std::getline(cells, cell, ',');)
                fields.push_back(cell);
            table.push_back(fields);
        }
        return table;
    };
    const auto plain = rows({"--lag", "0"}), dearer = rows({"--lag", "0", "--switch-cost", "2"});
    const auto lagged = rows({"--lag", "30"});  // 30 ms: 3 frames at the 10 ms hop
    ASSERT_EQ(lagged.size(), plain.size());
    ASSERT_EQ(dearer.size(), plain.size());
    ASSERT_GT(plain.size(), 70u);
    const std::string text = Read(Path("s.csv"));
    std::vector<std::string> names;
    std::istringstream header(text.substr(0, text.find('\n')));
    for (std::string cell; std::getline(header, cell, ',');)
        names.push_back(cell);
    names.erase(names.begin(), names.begin() + 3);  // time, phoneme, volume
    const size_t phonemes = names.size();
    const size_t silence =
        static_cast<size_t>(std::find(names.begin(), names.end(), "sil") - names.begin());
    ASSERT_LT(silence, phonemes);
    std::vector<float> logScores;
    for (size_t t = 0; t < plain.size(); ++t) {
        ASSERT_EQ(lagged[t].size(), plain[t].size());
        for (size_t c = 0; c < plain[t].size(); ++c) {
            if (c != 1) {
                EXPECT_EQ(lagged[t][c], plain[t][c]) << "frame " << t << " column " << c;
            }
        }
        const bool silent = std::stod(plain[t][2]) < 0.01;  // the fixed gate, -40 dBFS
        for (size_t p = 0; p < phonemes; ++p) {
            const double score = std::stod(plain[t][3 + p]);
            logScores.push_back(silent      ? (p == silence ? 0.0f : Host::kImpossibleLogScore)
                                : score > 0 ? static_cast<float>(std::log(score))
                                            : Host::kImpossibleLogScore);
        }
    }
    auto expectBestPaths = [&](const std::vector<std::vector<std::string>>& table, size_t lag,
                               float cost) {
        SCOPED_TRACE(testing::Message() << "lag " << lag << ", switch cost " << cost);
        std::set<std::string> seen;
        for (size_t t = 0; t < table.size(); ++t) {
            const size_t last = std::min(table.size() - 1, t + lag);
            const std::vector<float> known(
                logScores.begin(), logScores.begin() + static_cast<long>((last + 1) * phonemes));
            const std::vector<int> path = Host::SmoothPath(known, phonemes, cost);
            EXPECT_EQ(table[t][1], names[static_cast<size_t>(path[t])]) << "frame " << t;
            seen.insert(table[t][1]);
        }
        EXPECT_GE(seen.size(), 3u);  // the vowels and the pause, not one label throughout
    };
    expectBestPaths(lagged, 3, 2.0f);
    expectBestPaths(plain, 0, 1.0f);
    expectBestPaths(dearer, 0, 2.0f);
    size_t differ = 0;
    for (size_t t = 0; t < plain.size(); ++t)
        differ += plain[t][1] != dearer[t][1];
    EXPECT_GT(differ, 0u);  // the two costs decide some frames differently here
}

TEST_F(ToolStream, TwentyMinutesAt48kHzFitInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer reserves terabytes of address space";
#else
    // 20 minutes of a 48 kHz tone: 57.6 million samples, 230 MB as decoded floats.
    const int rate = 48000;
    std::vector<int16_t> second(rate);
    for (int i = 0; i < rate; ++i)
        second[static_cast<size_t>(i)] =
            static_cast<int16_t>(std::lrint(8000.0 * std::sin(2 * M_PI * 220.0 * i / rate)));
    const std::string head = WavBytes(rate, 1, {});
    {
        std::ofstream wav(Path("long.wav"), std::ios::binary);
        std::string header = head;
        const uint32_t bytes = 20u * 60u * rate * 2u;
        const uint32_t riff = bytes + 36u;
        std::memcpy(header.data() + 4, &riff, 4);
        std::memcpy(header.data() + 40, &bytes, 4);
        wav << header;
        for (int s = 0; s < 20 * 60; ++s)
            wav.write(reinterpret_cast<const char*>(second.data()),
                      static_cast<std::streamsize>(second.size() * sizeof(int16_t)));
    }
    // 96 MB of address space for everything: the tool, its libraries and the analysis.
    const std::string command =
        "ulimit -v 98304 && " + Command({"analyze", Path("long.wav"), "-q", "-j", "1", "--hop",
                                         "1000", "-o", Path("long.csv")},
                                        "/dev/null", "/dev/null");
    ASSERT_EQ(Shell(command), 0) << Read(Path(".err"));
    std::istringstream lines(Read(Path("long.csv")));
    size_t rows = 0;
    for (std::string line; std::getline(lines, line);)
        ++rows;
    // A header, then one frame per second once the first block is in: 1200 of them.
    EXPECT_EQ(rows, 1u + 1200u);
#endif
}

}  // namespace
}  // namespace Vocetta::Testing
