// Recordings below the profile's analysis rate (voice chat at 8 kHz, 11.025 kHz) are resampled up
// before the job sees them: they get frames over their whole length at the analysis rate's ring
// and hop, the labels of the same sound recorded at the analysis rate, and one note per file.
#include <nlohmann/json.hpp>

#include "test_tool_support.hpp"

namespace Vocetta::Testing {
namespace {

std::vector<std::string> Rows(const std::string& csv) {
    std::vector<std::string> rows;
    std::istringstream stream(csv);
    std::string line;
    std::getline(stream, line);  // the header
    while (std::getline(stream, line))
        rows.push_back(line);
    return rows;
}

double Time(const std::string& row) {
    return std::stod(row.substr(0, row.find(',')));
}

std::string Label(const std::string& row) {
    const size_t first = row.find(',');
    return row.substr(first + 1, row.find(',', first + 1) - first - 1);
}

size_t Count(const std::string& text, const std::string& piece) {
    size_t count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

// Vowels whose harmonics all lie below 3.5 kHz, so that an 8 kHz recording holds the whole sound.
std::vector<float> NarrowVowels(int rate) {
    std::vector<float> samples;
    for (const VowelShape& shape : {kShapes[0], kShapes[1]}) {
        const auto count = static_cast<size_t>(0.5 * rate);
        for (size_t i = 0; i < count; ++i) {
            const double t = double(i) / rate;
            double value = 0;
            for (int h = 1; h * 120.0 < 3500.0; ++h) {
                const double f = h * 120.0;
                const double gain = 1.0 / (1.0 + std::pow((f - shape.formant1) / 90.0, 2)) +
                                    0.6 / (1.0 + std::pow((f - shape.formant2) / 120.0, 2));
                value += gain * std::sin(2 * M_PI * f * t) / h;
            }
            samples.push_back(static_cast<float>(value));
        }
    }
    float peak = 0;
    for (float sample : samples)
        peak = std::fmax(peak, std::fabs(sample));
    for (float& sample : samples)
        sample *= 0.3f / peak;
    return samples;
}

class ToolLowRates : public CalibratedToolTest {};

TEST_F(ToolLowRates, EightKilohertzIsResampledUpAndLabelledAsAtSixteen) {
    const std::string profile = CalibratedProfile();
    const std::string low = WriteWav("call.wav", 8000, NarrowVowels(8000));
    const std::string high = WriteWav("wide.wav", 16000, NarrowVowels(16000));
    const std::vector<std::string> options = {"-p", profile, "-q", "--no-smoothing"};
    auto analyze = [&](const std::string& path, const char* jobs) {
        std::vector<std::string> arguments = {"analyze", path, "-j", jobs};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return Run(arguments);
    };
    const ToolRun one = analyze(low, "1"), two = analyze(low, "2"), wide = analyze(high, "1");
    ASSERT_EQ(one.status, 0) << one.err;
    ASSERT_EQ(wide.status, 0) << wide.err;
    EXPECT_EQ(two.out, one.out) << "threads change nothing";

    // 8000 samples become 16000: a ring of 512 and a hop of 160 at 16 kHz give
    // (16000 - 512) / 160 + 1 = 97 frames, centred at 16 ms + 10 ms k, as at 16 kHz.
    const auto rows = Rows(one.out), wideRows = Rows(wide.out);
    ASSERT_EQ(rows.size(), 97u);
    ASSERT_EQ(wideRows.size(), 97u);
    size_t agree = 0;
    for (size_t k = 0; k < rows.size(); ++k) {
        EXPECT_NEAR(Time(rows[k]), 0.016 + 0.01 * double(k), 1e-9) << rows[k];
        agree += Label(rows[k]) == Label(wideRows[k]) ? 1 : 0;
    }
    EXPECT_GE(agree, 90u) << one.out << wide.out;
    EXPECT_EQ(Label(rows[20]), "A");
    EXPECT_EQ(Label(rows[75]), "I");

    // One note for the file, naming it and both rates; none for a file at the analysis rate.
    EXPECT_EQ(Count(one.err, "resampling up"), 1u) << one.err;
    EXPECT_NE(one.err.find(low + ": 8000 Hz is below the profile's 16000 Hz"), std::string::npos)
        << one.err;
    EXPECT_EQ(wide.err, "");
}

TEST_F(ToolLowRates, StreamsFileRatesAndEveryCommandResample) {
    const std::string profile = CalibratedProfile();
    const std::string low = WriteWav("call.wav", 8000, NarrowVowels(8000));
    // Standard input goes through the same resampler, fed a hop at a time.
    const std::vector<std::string> fixed = {"-p",        profile, "-q", "--no-smoothing",
                                            "--silence", "-50"};
    std::vector<std::string> arguments = {"analyze", low};
    arguments.insert(arguments.end(), fixed.begin(), fixed.end());
    const ToolRun file = Run(arguments);
    ASSERT_EQ(file.status, 0) << file.err;
    std::string command = Quote(VOCETTA_BINARY_DIR "/vocetta") + " analyze -";
    for (const std::string& option : fixed) {
        command += ' ';
        command += Quote(option);
    }
    for (const auto& [redirect, path] : {std::pair<const char*, std::string>{" <", low},
                                         {" >", Path("stream.csv")},
                                         {" 2>", Path("e")}}) {
        command += redirect;
        command += Quote(path);
    }
    ASSERT_EQ(std::system(command.c_str()), 0) << Read(Path("e"));
    EXPECT_EQ(Read(Path("stream.csv")), file.out);
    EXPECT_EQ(Count(Read(Path("e")), "standard input: 8000 Hz"), 1u) << Read(Path("e"));

    // 11025 Hz: 11025 samples become 16000, 97 frames again.
    const std::string odd = WriteWav("odd.wav", 11025, NarrowVowels(11025));
    const ToolRun oddRun = Run({"analyze", odd, "-q", "-p", profile});
    ASSERT_EQ(oddRun.status, 0) << oddRun.err;
    const auto rows = Rows(oddRun.out);
    EXPECT_NEAR(double(rows.size()), 97.0, 1.0);
    EXPECT_NE(oddRun.err.find("11025 Hz is below"), std::string::npos) << oddRun.err;

    // Evaluation and calibration read through the same path: an 8 kHz "A" and "I" evaluate
    // almost wholly right, and calibrate from them.
    const std::vector<float> vowels = NarrowVowels(8000);
    WriteWav("a8.wav", 8000, std::vector<float>(vowels.begin(), vowels.begin() + 4000));
    WriteWav("i8.wav", 8000, std::vector<float>(vowels.begin() + 4000, vowels.end()));
    Write(Path("low.csv"), "file,phoneme\na8.wav,A\ni8.wav,I\n");
    const ToolRun evaluation = Run({"evaluate", Path("low.csv"), "-p", profile, "--json", "-q"});
    ASSERT_EQ(evaluation.status, 0) << evaluation.err;
    EXPECT_EQ(Count(evaluation.err, "resampling up"), 2u) << evaluation.err;
    const auto report = nlohmann::json::parse(evaluation.out);
    for (const char* vowel : {"A", "I"})
        EXPECT_GE(report["per_phoneme"][vowel]["accuracy"].get<double>(), 0.8) << evaluation.out;
    const ToolRun calibration = Run({"calibrate", Path("low.csv"), "-o", Path("low.json"), "-q"});
    EXPECT_EQ(calibration.status, 0) << calibration.err;
    EXPECT_EQ(Count(calibration.err, "resampling up"), 2u) << calibration.err;
}

}  // namespace
}  // namespace Vocetta::Testing
