// Running the vocetta tool as a user would, and making the files it reads.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace Vocetta::Testing {

struct ToolRun {
    int status = -1;
    std::string out, err;
};

// A scratch folder per test, removed afterwards.
class ToolTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        folder_ = std::filesystem::temp_directory_path() /
                  (std::string("vocetta-") + info->test_suite_name() + "-" + info->name() + "-" +
                   std::to_string(::getpid()));
        std::filesystem::remove_all(folder_);
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string Path(const std::string& name) const { return (folder_ / name).string(); }

    static std::string Quote(const std::string& text) {
        std::string quoted = "'";
        for (char c : text)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
    }

    // `standardOutput`, when given, is where the tool's standard output goes instead of `out`.
    ToolRun Run(const std::vector<std::string>& arguments,
                const std::string& standardOutput = "") const {
        std::string command = Quote(VOCETTA_BINARY_DIR "/vocetta");
        for (const std::string& argument : arguments) {
            command += ' ';
            command += Quote(argument);
        }
        command += " >";
        command += Quote(standardOutput.empty() ? Path(".out") : standardOutput);
        command += " 2>";
        command += Quote(Path(".err"));
        command += " </dev/null";
        const int raw = std::system(command.c_str());
        ToolRun run;
        run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        run.out = Read(Path(".out"));
        run.err = Read(Path(".err"));
        std::filesystem::remove(Path(".out"));
        std::filesystem::remove(Path(".err"));
        return run;
    }

    static std::string Read(const std::string& path) {
        std::ifstream stream(path, std::ios::binary);
        std::ostringstream text;
        text << stream.rdbuf();
        return text.str();
    }

    static void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }

    // Files in the scratch folder other than the tool's captured output.
    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
            const std::string name = entry.path().filename().string();
            if (name != ".out" && name != ".err") names.push_back(name);
        }
        return names;
    }

    std::filesystem::path folder_;
};

// A 16-bit PCM WAV file; `channels` interleaved.
inline std::string WavBytes(int rate, int channels, const std::vector<float>& samples) {
    auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    std::string data;
    for (float sample : samples) {
        const auto value =
            static_cast<int16_t>(std::lrint(std::fmax(-1.0f, std::fmin(1.0f, sample)) * 32767.0f));
        data += u16(static_cast<uint16_t>(value));
    }
    const auto c = static_cast<uint16_t>(channels);
    return "RIFF" + u32(static_cast<uint32_t>(36 + data.size())) + "WAVEfmt " + u32(16) + u16(1) +
           u16(c) + u32(static_cast<uint32_t>(rate)) +
           u32(static_cast<uint32_t>(rate * 2 * channels)) + u16(static_cast<uint16_t>(2 * c)) +
           u16(16) + "data" + u32(static_cast<uint32_t>(data.size())) + data;
}

// A steady vowel-like sound: a 120 Hz pulse train shaped by two formant resonances.
inline std::vector<float> Vowel(int rate, double seconds, double formant1, double formant2,
                                double amplitude = 0.3) {
    const auto count = static_cast<size_t>(seconds * rate);
    std::vector<float> samples(count);
    const double f0 = 120.0;
    for (size_t i = 0; i < count; ++i) {
        const double t = double(i) / rate;
        double value = 0;
        for (int h = 1; h * f0 < rate / 2.0; ++h) {
            const double f = h * f0;
            const double gain = 1.0 / (1.0 + std::pow((f - formant1) / 90.0, 2)) +
                                0.6 / (1.0 + std::pow((f - formant2) / 120.0, 2));
            value += gain * std::sin(2 * M_PI * f * t) / h;
        }
        samples[i] = static_cast<float>(amplitude * value);
    }
    float peak = 0;
    for (float s : samples)
        peak = std::fmax(peak, std::fabs(s));
    for (float& s : samples)
        s *= static_cast<float>(amplitude) / peak;
    return samples;
}

// Formant pairs of three made-up vowels, far apart, and pitches to vary the "speaker".
struct VowelShape {
    const char* name;
    double formant1, formant2;
};
constexpr VowelShape kShapes[] = {{"A", 750, 1250}, {"I", 300, 2300}, {"U", 330, 800}};

// A test that runs the tool on synthetic vowels, with a profile calibrated from them; skipped
// when the library has no lip-sync job.
class CalibratedToolTest : public ToolTest {
  protected:
    void SetUp() override {
        ToolTest::SetUp();
        // The library the tool loads: $VOCETTA_LIBRARY, else the one beside it.
        const char* chosen = std::getenv("VOCETTA_LIBRARY");
        void* handle = dlopen(chosen != nullptr ? chosen : VOCETTA_LIBRARY_PATH, RTLD_LAZY);
        const bool hasJob =
            handle != nullptr && dlsym(handle, "c5a316b7c86bb17f6511d5c3a58d2180") != nullptr;
        if (handle != nullptr) dlclose(handle);
        if (!hasJob) GTEST_SKIP() << "this libvocetta has no lip-sync job yet";
    }

    std::string WriteWav(const std::string& name, int rate, const std::vector<float>& samples,
                         int channels = 1) {
        const std::string path = Path(name);
        Write(path, WavBytes(rate, channels, samples));
        return path;
    }

    // Calibrates a three-vowel profile (plus quiet noise as silence) from synthetic vowels.
    std::string CalibratedProfile() {
        std::string manifest = "file,phoneme\n";
        for (const VowelShape& shape : kShapes) {
            for (double scale : {0.95, 1.05}) {
                const std::string name = std::string(shape.name) + std::to_string(scale) + ".wav";
                WriteWav(name, 16000,
                         Vowel(16000, 0.6, shape.formant1 * scale, shape.formant2 * scale));
                manifest += name + "," + shape.name + "\n";
            }
        }
        std::vector<float> hiss(16000);
        uint32_t state = 1;
        for (float& sample : hiss) {
            state = state * 1664525u + 1013904223u;
            sample = static_cast<float>(static_cast<int32_t>(state)) * 1e-12f;
        }
        WriteWav("hiss.wav", 16000, hiss);
        manifest += "hiss.wav,sil\n";
        Write(Path("calibration.csv"), manifest);
        const ToolRun run = Run({"calibrate", Path("calibration.csv"), "-o", Path("vowels.json"),
                                 "--phonemes", "A,I,U,sil", "-q"});
        EXPECT_EQ(run.status, 0) << run.err;
        return Path("vowels.json");
    }
};

}  // namespace Vocetta::Testing
