// The C interface of the live mouth (vocetta/voice.h), called as a C host calls it: its errors
// and messages, its names, and its frames, against what the C++ SDK says and against themselves.
// A program of its own, so that counting operator new counts the interface alone.
#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "vocetta/cues.hpp"
#include "vocetta/live_labels.hpp"
#include "vocetta/mouth_shapes.hpp"
#include "vocetta/profile.hpp"
#include "vocetta/voice.h"

#ifdef VOCETTA_TOOL_PATH
#include <sndfile.h>

#include <iterator>
#endif

namespace {

std::atomic<long> allocations{0};

}  // namespace

// Every allocation of the program, the interface's library included (it takes operator new from
// here, as a shared library takes any symbol the program defines).
void* operator new(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, size_t) noexcept {
    std::free(block);
}

namespace Vocetta::Testing {
namespace {

struct Frames {
    std::vector<VocettaVoiceFrame> frames;
    std::vector<std::vector<float>> weights;
};

void Keep(void* user, const VocettaVoiceFrame* frame) {
    auto* kept = static_cast<Frames*>(user);
    kept->frames.push_back(*frame);
    kept->weights.emplace_back(frame->weights,
                               frame->weights + (frame->weights ? frame->shape_count : 0));
    kept->frames.back().weights = nullptr;
}

// Half a second of quiet, a second of a vowel-like buzz with its harmonics, half a second of
// quiet.
std::vector<float> Line(int rate) {
    std::vector<float> samples(size_t(2 * rate));
    const double pi = std::acos(-1.0);
    for (size_t i = size_t(rate / 2); i < size_t(3 * rate / 2); ++i) {
        const double t = double(i) / rate;
        double value = 0;
        for (int harmonic = 1; harmonic <= 20; ++harmonic)
            value +=
                std::sin(2 * pi * 120.0 * harmonic * t) / harmonic * (harmonic < 7 ? 1.0 : 0.3);
        samples[i] = float(0.1 * value);
    }
    return samples;
}

class Voice : public ::testing::Test {
  protected:
    void SetUp() override {
        char why[256];
        ASSERT_EQ(vocetta_host_open(VOCETTA_LIBRARY_PATH, nullptr, &host_, why, sizeof why),
                  VOCETTA_OK)
            << why;
    }
    void TearDown() override { vocetta_host_close(host_); }

    VocettaVoice* Make(int rate, int set, int clean) {
        const VocettaVoiceSettings settings = {rate, 0, set, clean};
        VocettaVoice* voice = nullptr;
        char why[256];
        EXPECT_EQ(vocetta_voice_create(host_, &settings, &voice, why, sizeof why), VOCETTA_OK)
            << why;
        return voice;
    }

    VocettaHost* host_ = nullptr;
};

TEST_F(Voice, RefusesWhatItCannotOpenWithAMessageNamingIt) {
    VocettaHost* host = reinterpret_cast<VocettaHost*>(&allocations);  // overwritten with null
    char why[256];
    EXPECT_EQ(vocetta_host_open("/nowhere/libvocetta.so", nullptr, &host, why, sizeof why),
              VOCETTA_ERROR_LIBRARY);
    EXPECT_EQ(host, nullptr);
    EXPECT_NE(std::string(why).find("/nowhere/libvocetta.so"), std::string::npos) << why;
    EXPECT_EQ(
        vocetta_host_open(VOCETTA_LIBRARY_PATH, "/nowhere/actor.json", &host, why, sizeof why),
        VOCETTA_ERROR_PROFILE);
    EXPECT_NE(std::string(why).find("/nowhere/actor.json"), std::string::npos) << why;
    EXPECT_EQ(vocetta_host_open(nullptr, nullptr, nullptr, why, sizeof why),
              VOCETTA_ERROR_ARGUMENT);
    // A short buffer gets the message's start, terminated; none at all is no fault.
    char shortBuffer[6];
    std::memset(shortBuffer, 'x', sizeof shortBuffer);
    EXPECT_EQ(vocetta_host_open("/nowhere/libvocetta.so", nullptr, &host, shortBuffer,
                                sizeof shortBuffer),
              VOCETTA_ERROR_LIBRARY);
    EXPECT_EQ(std::strlen(shortBuffer), 5u);
    EXPECT_EQ(vocetta_host_open("/nowhere/libvocetta.so", nullptr, &host, nullptr, 0),
              VOCETTA_ERROR_LIBRARY);
    vocetta_host_close(nullptr);
    vocetta_voice_free(nullptr);
}

TEST_F(Voice, RefusesSettingsOutOfRange) {
    VocettaVoice* voice = nullptr;
    char why[256];
    const auto create = [&](int rate, int hop, int set) {
        const VocettaVoiceSettings settings = {rate, hop, set, 0};
        return vocetta_voice_create(host_, &settings, &voice, why, sizeof why);
    };
    EXPECT_EQ(create(48000, 0, 2), VOCETTA_ERROR_ARGUMENT);
    EXPECT_NE(std::string(why).find("shape_set: 2"), std::string::npos) << why;
    EXPECT_EQ(create(0, 0, 0), VOCETTA_ERROR_ARGUMENT);
    EXPECT_EQ(create(48000, -1, 0), VOCETTA_ERROR_ARGUMENT);
    EXPECT_NE(std::string(why).find("hop_samples: -1"), std::string::npos) << why;
    // Below the profile's analysis rate the job cannot analyse it.
    EXPECT_EQ(create(8000, 0, 0), VOCETTA_ERROR_PROFILE);
    EXPECT_NE(std::string(why).find("8000"), std::string::npos) << why;
    EXPECT_EQ(voice, nullptr);
    const VocettaVoiceSettings settings = {48000, 0, VOCETTA_SHAPES_CARTOON, 0};
    EXPECT_EQ(vocetta_voice_create(nullptr, &settings, &voice, why, sizeof why),
              VOCETTA_ERROR_ARGUMENT);
    EXPECT_EQ(vocetta_voice_create(host_, nullptr, &voice, why, sizeof why),
              VOCETTA_ERROR_ARGUMENT);
    EXPECT_EQ(vocetta_voice_push(nullptr, nullptr, 0, nullptr, nullptr), VOCETTA_ERROR_ARGUMENT);
}

// The names a C host shows: the profile's labels and the sets' shapes, as the SDK has them.
TEST_F(Voice, NamesTheLabelsAndShapesAsTheSdkDoes) {
    int silence = 0;
    const std::vector<std::string> labels = Host::LabelNames(Host::DefaultProfile(), silence);
    ASSERT_EQ(vocetta_host_label_count(host_), int(labels.size()));
    for (int i = 0; i < int(labels.size()); ++i)
        EXPECT_EQ(vocetta_host_label_name(host_, i), labels[size_t(i)]);
    EXPECT_EQ(vocetta_host_label_name(host_, int(labels.size())), nullptr);
    EXPECT_EQ(vocetta_host_label_name(host_, -1), nullptr);
    for (const auto& [set, ours] : {std::pair{VOCETTA_SHAPES_CARTOON, Host::ShapeSet::Cartoon},
                                    std::pair{VOCETTA_SHAPES_VISEMES, Host::ShapeSet::Visemes}}) {
        const std::vector<std::string>& names = Host::ShapeNames(ours);
        ASSERT_EQ(vocetta_shape_count(set), int(names.size()));
        for (int i = 0; i < int(names.size()); ++i)
            EXPECT_EQ(vocetta_shape_name(set, i), names[size_t(i)]);
        EXPECT_EQ(vocetta_rest_shape(set), Host::RestShape(ours));
        EXPECT_EQ(vocetta_shape_name(set, int(names.size())), nullptr);
    }
    EXPECT_STREQ(
        vocetta_shape_name(VOCETTA_SHAPES_CARTOON, vocetta_rest_shape(VOCETTA_SHAPES_CARTOON)),
        "X");
    EXPECT_EQ(vocetta_shape_count(7), 0);
    EXPECT_EQ(vocetta_rest_shape(7), -1);
}

// A frame every hop, each label once and in order, the mouth open in the buzz and at rest in
// the quiet; the end settles the last labels; the next stream gives the same frames again.
TEST_F(Voice, FramesOfALineAndOfTheNextOne) {
    constexpr int kRate = 48000;
    VocettaVoice* voice = Make(kRate, VOCETTA_SHAPES_VISEMES, 1);
    ASSERT_NE(voice, nullptr);
    EXPECT_EQ(vocetta_voice_hop(voice), 480);
    const int lag = vocetta_voice_lag(voice);
    const std::vector<float> line = Line(kRate);
    Frames first;
    ASSERT_EQ(vocetta_voice_push(voice, line.data(), line.size(), Keep, &first), VOCETTA_OK);
    ASSERT_EQ(vocetta_voice_finish(voice, Keep, &first), VOCETTA_OK);
    std::vector<double> times, labelTimes;
    int open = 0, rest = 0;
    for (size_t i = 0; i < first.frames.size(); ++i) {
        const VocettaVoiceFrame& frame = first.frames[i];
        if (frame.label >= 0) {
            labelTimes.push_back(frame.label_time);
            EXPECT_LT(frame.label, vocetta_host_label_count(host_));
        }
        if (first.weights[i].empty()) {
            EXPECT_EQ(frame.shape, -1);  // a label the end settled
            continue;
        }
        times.push_back(frame.time);
        ASSERT_EQ(frame.shape_count, vocetta_shape_count(VOCETTA_SHAPES_VISEMES));
        ASSERT_GE(frame.shape, 0);
        EXPECT_GE(frame.jaw, 0.0f);
        EXPECT_LE(frame.jaw, 1.0f);
        if (frame.time > 0.8 && frame.time < 1.3)
            open += frame.shape != vocetta_rest_shape(VOCETTA_SHAPES_VISEMES);
        if (frame.time > 1.8) rest += frame.shape == vocetta_rest_shape(VOCETTA_SHAPES_VISEMES);
    }
    // The cleaner's frames come 32 ms late, then every 10 ms, whatever the block.
    ASSERT_GT(times.size(), 190u);
    for (size_t i = 1; i < times.size(); ++i)
        EXPECT_NEAR(times[i] - times[i - 1], 0.01, 1e-9);
    EXPECT_EQ(labelTimes, times);  // every frame labelled once, in order
    EXPECT_EQ(first.frames.size(), times.size() + size_t(lag));
    EXPECT_GT(open, 40);
    EXPECT_GT(rest, 10);
    // The voice then starts again: the same line, the same frames, to the bit.
    Frames again;
    for (size_t at = 0; at < line.size(); at += 333) {
        ASSERT_EQ(vocetta_voice_push(voice, line.data() + at,
                                     std::min<size_t>(333, line.size() - at), Keep, &again),
                  VOCETTA_OK);
    }
    ASSERT_EQ(vocetta_voice_finish(voice, Keep, &again), VOCETTA_OK);
    ASSERT_EQ(again.frames.size(), first.frames.size());
    for (size_t i = 0; i < first.frames.size(); ++i) {
        const VocettaVoiceFrame &a = again.frames[i], &b = first.frames[i];
        EXPECT_TRUE(a.time == b.time && a.volume == b.volume && a.shape == b.shape &&
                    a.jaw == b.jaw && a.label == b.label && a.label_time == b.label_time)
            << i;
        EXPECT_EQ(again.weights[i], first.weights[i]) << i;
    }
    vocetta_voice_free(voice);
}

// On the audio thread: once a voice runs, pushing blocks of up to a hop allocates nothing, with
// the cleaner and without, with a callback and without.
TEST_F(Voice, PushingAllocatesNothingOnceItRuns) {
    constexpr int kRate = 44100;
    const std::vector<float> line = Line(kRate);
    for (const int clean : {0, 1}) {
        const long made = allocations.load();
        VocettaVoice* voice = Make(kRate, VOCETTA_SHAPES_CARTOON, clean);
        ASSERT_NE(voice, nullptr);
        EXPECT_GT(allocations.load() - made, 2);  // the count sees the library's allocations
        const size_t hop = size_t(vocetta_voice_hop(voice));
        const size_t warm = size_t(kRate / 4);
        ASSERT_EQ(vocetta_voice_push(voice, line.data(), warm, nullptr, nullptr), VOCETTA_OK);
        long frames = 0;
        const VocettaVoiceCallback count = [](void* user, const VocettaVoiceFrame*) {
            ++*static_cast<long*>(user);
        };
        const long before = allocations.load();
        size_t piece = 0;
        for (size_t at = warm, block = 0; at < line.size(); at += piece, ++block) {
            piece = std::min(hop - block % 7, line.size() - at);
            ASSERT_EQ(vocetta_voice_push(voice, line.data() + at, piece,
                                         block % 2 ? count : nullptr, &frames),
                      VOCETTA_OK);
        }
        EXPECT_EQ(allocations.load() - before, 0) << "clean " << clean;
        EXPECT_GT(frames, 50);
        vocetta_voice_free(voice);
    }
}

// Baked lines read back: files written as the tool writes them, and edited ones.
class BakedLine : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_ =
            std::filesystem::temp_directory_path() / ("vocetta-baked-" + std::to_string(getpid()));
        std::filesystem::create_directories(folder_);
    }
    void TearDown() override { std::filesystem::remove_all(folder_); }

    std::string Write(const std::string& name, const std::string& text) {
        const std::string path = (folder_ / name).string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }

    std::filesystem::path folder_;
};

TEST_F(BakedLine, CuesAreShownWhereTheySay) {
    // As the SDK writes them: times to two decimals, shapes by name.
    Host::CueTrack track;
    track.set = Host::ShapeSet::Visemes;
    track.duration = 1.5;
    const int aa = Host::ShapeIndex(track.set, "aa"), pp = Host::ShapeIndex(track.set, "PP");
    const int rest = vocetta_rest_shape(VOCETTA_SHAPES_VISEMES);
    track.cues = {{0.0, 0.25, rest}, {0.25, 0.5, aa}, {0.6, 1.25, pp}};
    const std::string path = Write("line.json", Host::FormatCues(track, Host::CueFormat::Json, {}));
    VocettaCues* cues = nullptr;
    char why[256];
    ASSERT_EQ(vocetta_cues_open(path.c_str(), VOCETTA_SHAPES_VISEMES, &cues, why, sizeof why),
              VOCETTA_OK)
        << why;
    EXPECT_EQ(vocetta_cues_duration(cues), 1.5);
    ASSERT_EQ(vocetta_cues_count(cues), 3);
    double start = -1, end = -1;
    EXPECT_EQ(vocetta_cues_get(cues, 2, &start, &end), pp);
    EXPECT_EQ(start, 0.6);
    EXPECT_EQ(end, 1.25);
    EXPECT_EQ(vocetta_cues_get(cues, 3, &start, &end), -1);
    EXPECT_EQ(vocetta_cues_get(cues, 0, nullptr, nullptr), rest);
    // Each cue from its start to just before its end; the rest shape in a gap and outside.
    for (const auto& [seconds, shape] : std::vector<std::pair<double, int>>{{-1, rest},
                                                                            {0, rest},
                                                                            {0.25, aa},
                                                                            {0.499, aa},
                                                                            {0.55, rest},
                                                                            {0.6, pp},
                                                                            {1.249, pp},
                                                                            {1.25, rest},
                                                                            {9, rest}})
        EXPECT_EQ(vocetta_cues_shape_at(cues, seconds), shape) << seconds;
    const long before = allocations.load();
    for (double seconds = -0.1; seconds < 1.6; seconds += 0.001)
        vocetta_cues_shape_at(cues, seconds);
    EXPECT_EQ(allocations.load() - before, 0);
    vocetta_cues_close(cues);
    vocetta_cues_close(nullptr);
    EXPECT_EQ(vocetta_cues_shape_at(nullptr, 0), -1);
}

TEST_F(BakedLine, FilesThatAreNotCuesAreRefusedNamingTheMember) {
    const auto refused = [&](const std::string& text, int set, const std::string& message) {
        const std::string path = Write("bad.json", text);
        VocettaCues* cues = reinterpret_cast<VocettaCues*>(&allocations);  // set to null
        char why[256];
        EXPECT_EQ(vocetta_cues_open(path.c_str(), set, &cues, why, sizeof why), VOCETTA_ERROR_FILE)
            << text;
        EXPECT_EQ(cues, nullptr);
        EXPECT_EQ(std::string(why), path + ": " + message) << text;
    };
    const std::string cue = R"({"start": 0, "end": 0.5, "value": "D"})";
    refused("{\"mouthCues\": [", VOCETTA_SHAPES_CARTOON, "not JSON");
    refused(R"({"mouthCues": []})", VOCETTA_SHAPES_CARTOON, "missing \"metadata\"");
    refused(R"({"metadata": {"duration": -1}, "mouthCues": []})", VOCETTA_SHAPES_CARTOON,
            "metadata.duration: must be a number of seconds, 0 or more");
    refused(R"({"metadata": {"duration": 1}, "mouthCues": [)" + cue + "]}", VOCETTA_SHAPES_VISEMES,
            "mouthCues[0].value: 'D' is not a shape of the visemes set");
    refused(R"({"metadata": {"duration": 1}, "mouthCues": [)" + cue + ", " + cue + "]}",
            VOCETTA_SHAPES_CARTOON,
            "mouthCues[1]: must end after it starts, and not before the cue before it ends");
    refused(R"({"metadata": {"duration": 1}, "mouthCues": [{"start": 0, "value": "D"}]})",
            VOCETTA_SHAPES_CARTOON, "mouthCues[0]: missing \"end\"");
    VocettaCues* cues = nullptr;
    char why[256];
    const std::string missing = (folder_ / "none.json").string();
    EXPECT_EQ(vocetta_cues_open(missing.c_str(), VOCETTA_SHAPES_CARTOON, &cues, why, sizeof why),
              VOCETTA_ERROR_FILE);
    EXPECT_EQ(std::string(why), missing + ": no such cue file");
    EXPECT_EQ(vocetta_cues_open(missing.c_str(), 7, &cues, why, sizeof why),
              VOCETTA_ERROR_ARGUMENT);
    EXPECT_EQ(vocetta_cues_open(nullptr, VOCETTA_SHAPES_CARTOON, &cues, why, sizeof why),
              VOCETTA_ERROR_ARGUMENT);
}

// A rig from C: the built-in ones and files, each curve its factors times the weights and the
// jaw (worked by hand), shapes not given weighing nothing, and what is no rig refused.
TEST_F(BakedLine, RigsMixAFramesWeightsIntoTheirCurves) {
    VocettaRig* rig = nullptr;
    char why[256];
    const std::string path = Write("mine.json", R"({"rig": "mine", "shapeSet": "cartoon",
        "curves": {"open": {"jaw": 0.5, "D": 1}, "round": {"F": 2, "C": -1}}})");
    ASSERT_EQ(vocetta_rig_open(path.c_str(), &rig, why, sizeof why), VOCETTA_OK) << why;
    EXPECT_EQ(vocetta_rig_shape_set(rig), VOCETTA_SHAPES_CARTOON);
    ASSERT_EQ(vocetta_rig_curve_count(rig), 2);
    EXPECT_STREQ(vocetta_rig_curve_name(rig, 0), "open");
    EXPECT_STREQ(vocetta_rig_curve_name(rig, 1), "round");
    EXPECT_EQ(vocetta_rig_curve_name(rig, 2), nullptr);
    const float weights[9] = {0, 0, 0.5f, 0.25f, 0, 0.25f, 0, 0, 0};  // C, D, F
    float values[3] = {-1, -1, -1};
    vocetta_rig_mix(rig, weights, 9, 0.5f, values, 3);
    EXPECT_FLOAT_EQ(values[0], 0.5f);  // 0.5 x 0.5 + 0.25
    EXPECT_FLOAT_EQ(values[1], 0.0f);  // 0.5 - 0.5
    EXPECT_EQ(values[2], -1.0f);
    vocetta_rig_mix(rig, weights, 4, 0.5f, values, 2);  // F not given
    EXPECT_FLOAT_EQ(values[1], 0.0f);
    vocetta_rig_mix(rig, nullptr, 0, 4.0f, values, 1);
    EXPECT_FLOAT_EQ(values[0], 1.0f);  // clipped
    vocetta_rig_close(rig);
    ASSERT_EQ(vocetta_rig_open("arkit", &rig, why, sizeof why), VOCETTA_OK) << why;
    EXPECT_EQ(vocetta_rig_shape_set(rig), VOCETTA_SHAPES_VISEMES);
    EXPECT_STREQ(vocetta_rig_curve_name(rig, 0), "jawOpen");
    vocetta_rig_close(rig);
    vocetta_rig_close(nullptr);
    EXPECT_EQ(vocetta_rig_open("face", &rig, why, sizeof why), VOCETTA_ERROR_FILE);
    EXPECT_EQ(rig, nullptr);
    EXPECT_NE(std::string(why).find("'face' is no built-in rig (arkit, vrm)"), std::string::npos)
        << why;
    const std::string bad = Write("bad-rig.json", R"({"rig": "r", "shapeSet": "visemes"})");
    EXPECT_EQ(vocetta_rig_open(bad.c_str(), &rig, why, sizeof why), VOCETTA_ERROR_FILE);
    EXPECT_EQ(std::string(why), bad + ": missing \"curves\"");
    EXPECT_EQ(vocetta_rig_open(nullptr, &rig, why, sizeof why), VOCETTA_ERROR_ARGUMENT);
}

// Weights and the jaw between animation frames, worked by hand: frames at 0, 0.1 and 0.2 s.
TEST_F(BakedLine, CurvesAreSampledBetweenTheirFrames) {
    Host::ShapeCurves baked;
    baked.set = Host::ShapeSet::Cartoon;
    baked.fps = 10;
    baked.duration = 0.2;
    const size_t shapes = Host::ShapeNames(baked.set).size();
    baked.weights.assign(3 * shapes, 0.0f);
    baked.weights[0 * shapes + 3] = 1.0f;
    baked.weights[1 * shapes + 3] = 0.5f;
    baked.weights[1 * shapes + 4] = 0.5f;
    baked.weights[2 * shapes + 4] = 1.0f;
    baked.jaw = {0.0f, 1.0f, 0.5f};
    const std::string path = Write("line.json", Host::FormatCurves(baked, Host::CurveFormat::Json));
    VocettaCurves* curves = nullptr;
    char why[256];
    ASSERT_EQ(vocetta_curves_open(path.c_str(), &curves, why, sizeof why), VOCETTA_OK) << why;
    EXPECT_EQ(vocetta_curves_shape_set(curves), VOCETTA_SHAPES_CARTOON);
    EXPECT_EQ(vocetta_curves_fps(curves), 10);
    EXPECT_EQ(vocetta_curves_frame_count(curves), 3);
    EXPECT_EQ(vocetta_curves_duration(curves), 0.2);
    std::vector<float> weights(shapes, -1.0f);
    const auto sample = [&](double seconds) {
        return vocetta_curves_sample(curves, seconds, weights.data(), int(weights.size()));
    };
    EXPECT_FLOAT_EQ(sample(0.05), 0.5f);
    EXPECT_FLOAT_EQ(weights[3], 0.75f);
    EXPECT_FLOAT_EQ(weights[4], 0.25f);
    EXPECT_FLOAT_EQ(weights[0], 0.0f);
    EXPECT_FLOAT_EQ(sample(0.175), 0.625f);
    EXPECT_FLOAT_EQ(weights[4], 0.875f);
    EXPECT_FLOAT_EQ(sample(-3), 0.0f);
    EXPECT_FLOAT_EQ(weights[3], 1.0f);
    EXPECT_FLOAT_EQ(sample(5), 0.5f);
    EXPECT_FLOAT_EQ(weights[4], 1.0f);
    // Fewer weights asked for are all that is written; none at all gives the jaw alone.
    weights.assign(shapes, -1.0f);
    EXPECT_FLOAT_EQ(vocetta_curves_sample(curves, 0.1, weights.data(), 4), 1.0f);
    EXPECT_FLOAT_EQ(weights[3], 0.5f);
    EXPECT_FLOAT_EQ(weights[4], -1.0f);
    EXPECT_FLOAT_EQ(vocetta_curves_sample(curves, 0.1, nullptr, 0), 1.0f);
    // Every frame of a game reads them: once open, they allocate nothing.
    const long before = allocations.load();
    for (double seconds = -0.1; seconds < 0.3; seconds += 0.001)
        sample(seconds);
    EXPECT_EQ(allocations.load() - before, 0);
    vocetta_curves_close(curves);
    // A curve missing, one of another length, another set's shape: refused, naming it.
    std::string text = Host::FormatCurves(baked, Host::CurveFormat::Json);
    const auto refused = [&](const std::string& changed, const std::string& message) {
        const std::string bad = Write("bad.json", changed);
        VocettaCurves* none = nullptr;
        EXPECT_EQ(vocetta_curves_open(bad.c_str(), &none, why, sizeof why), VOCETTA_ERROR_FILE);
        EXPECT_EQ(none, nullptr);
        EXPECT_EQ(std::string(why), bad + ": " + message);
    };
    const size_t jaw = text.find("\"jaw\"");
    ASSERT_NE(jaw, std::string::npos);
    refused(std::string(text).replace(jaw, 5, "\"aa\""),
            "curves.aa: is not a shape of the cartoon set");
    const size_t a = text.find("\"A\"");
    ASSERT_NE(a, std::string::npos);
    refused(std::string(text).erase(a, text.find('\n', a) + 1 - a), "curves: missing \"A\"");
    refused(std::string(text).replace(text.find("\"frames\": 3"), 11, "\"frames\": 2"),
            "curves.jaw: must be a list of 2 values, one per frame");
    // A count the file does not bear out sets nothing aside; a value past single precision is
    // no weight.
    refused(std::string(text).replace(text.find("\"frames\": 3"), 11, "\"frames\": 4000000000"),
            "curves.jaw: must be a list of 4000000000 values, one per frame");
    const size_t one = text.find("1.0000");
    ASSERT_NE(one, std::string::npos);
    refused(std::string(text).replace(one, 6, "1e39"),
            "curves.jaw[1]: must be a finite "
            "single-precision number");
    refused(std::string(text).replace(text.find("cartoon"), 7, "muppets"),
            "metadata.shapeSet: 'muppets' is no shape set (cartoon or visemes)");
}

#ifdef VOCETTA_TOOL_PATH
// Baking in memory: the sample's cues and curves are those the tool writes from its file, byte
// for byte, from the audio alone, as recorded, with the line's phones and with its words.
class Baking : public BakedLine {
  protected:
    void SetUp() override {
        BakedLine::SetUp();
        char why[256];
        ASSERT_EQ(vocetta_host_open(VOCETTA_LIBRARY_PATH, nullptr, &host_, why, sizeof why),
                  VOCETTA_OK)
            << why;
        SF_INFO info{};
        SNDFILE* file = sf_open(VOCETTA_SAMPLE_PATH, SFM_READ, &info);
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(info.channels, 1);
        sf_command(file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
        samples_.resize(size_t(info.frames));
        ASSERT_EQ(sf_readf_float(file, samples_.data(), info.frames), info.frames);
        sf_close(file);
        rate_ = info.samplerate;
    }
    void TearDown() override {
        vocetta_host_close(host_);
        BakedLine::TearDown();
    }

    // What `vocetta analyze SAMPLE ARGUMENTS -o FILE` wrote.
    std::string Tool(const std::string& arguments) {
        const std::string out = (folder_ / "tool.json").string();
        std::filesystem::remove(out);
        const std::string command = std::string(VOCETTA_TOOL_PATH) + " analyze -q " +
                                    VOCETTA_SAMPLE_PATH + " " + arguments + " -o " + out;
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return Read(out);
    }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    VocettaBakeSettings Settings(int set) const {
        VocettaBakeSettings settings{};
        settings.sample_rate = rate_;
        settings.shape_set = set;
        settings.sound_file = VOCETTA_SAMPLE_PATH;
        return settings;
    }
    std::string Cues(const VocettaBakeSettings& settings) {
        VocettaCues* cues = nullptr;
        char why[256];
        EXPECT_EQ(vocetta_cues_bake(host_, samples_.data(), samples_.size(), &settings, &cues, why,
                                    sizeof why),
                  VOCETTA_OK)
            << why;
        const std::string path = (folder_ / "baked.json").string();
        EXPECT_EQ(vocetta_cues_save(cues, path.c_str(), 1, why, sizeof why), VOCETTA_OK) << why;
        vocetta_cues_close(cues);
        return Read(path);
    }
    std::string Curves(const VocettaBakeSettings& settings, int fps) {
        VocettaCurves* curves = nullptr;
        char why[256];
        EXPECT_EQ(vocetta_curves_bake(host_, samples_.data(), samples_.size(), &settings, fps,
                                      &curves, why, sizeof why),
                  VOCETTA_OK)
            << why;
        const std::string path = (folder_ / "baked.json").string();
        EXPECT_EQ(vocetta_curves_save(curves, path.c_str(), 1, why, sizeof why), VOCETTA_OK) << why;
        vocetta_curves_close(curves);
        return Read(path);
    }

    VocettaHost* host_ = nullptr;
    std::vector<float> samples_;
    int rate_ = 0;
};

constexpr const char* kSampleIpa = "həloʊ wɑtʃ maɪ maʊθ ɑ i u ɛ oʊ";

TEST_F(Baking, BakesWhatTheToolWritesFromTheSameSamples) {
    VocettaBakeSettings settings = Settings(VOCETTA_SHAPES_CARTOON);
    const std::string plain = Tool("--cues -f json");
    EXPECT_NE(plain.find("\"mouthCues\""), std::string::npos) << plain;
    EXPECT_EQ(Cues(settings), plain);
    settings.keep_noise = 1;
    EXPECT_EQ(Cues(settings), Tool("--cues -f json --keep-noise"));
    settings = Settings(VOCETTA_SHAPES_VISEMES);
    settings.ipa = kSampleIpa;
    const std::string aligned =
        Tool("--shapes visemes --cues -f json --ipa '" + std::string(kSampleIpa) + "'");
    EXPECT_EQ(Cues(settings), aligned);
    EXPECT_NE(aligned, Tool("--shapes visemes --cues -f json"));
    EXPECT_EQ(Curves(settings, 30), Tool("--shapes visemes --curves -f json --fps 30 --ipa '" +
                                         std::string(kSampleIpa) + "'"));
    if (std::system("espeak-ng --version > /dev/null 2>&1") != 0) return;  // no words then
    settings = Settings(VOCETTA_SHAPES_CARTOON);
    settings.text = "(cheerful) Hello! Watch my <i>mouth</i>: ah, ee, oo, eh, oh. #line:0a1b2c";
    const std::string said =
        Tool("--cues -f json --text 'Hello! Watch my mouth: ah, ee, oo, eh, oh.'");
    EXPECT_EQ(Cues(settings), said);
    EXPECT_NE(said, plain);
}

// An importer bakes its lines on several threads with one host: each gets what one thread gets.
TEST_F(Baking, ThreadsShareAHost) {
    const VocettaBakeSettings settings = Settings(VOCETTA_SHAPES_VISEMES);
    const auto bake = [&] {
        VocettaCues* cues = nullptr;
        std::vector<double> track;
        if (vocetta_cues_bake(host_, samples_.data(), samples_.size(), &settings, &cues, nullptr,
                              0) != VOCETTA_OK)
            return track;
        for (int i = 0; i < vocetta_cues_count(cues); ++i) {
            double start = 0;
            track.push_back(vocetta_cues_get(cues, i, &start, nullptr));
            track.push_back(start);
        }
        vocetta_cues_close(cues);
        return track;
    };
    const std::vector<double> alone = bake();
    ASSERT_GT(alone.size(), 20u);
    std::vector<std::vector<double>> together(4);
    std::vector<std::thread> threads;
    for (std::vector<double>& track : together)
        threads.emplace_back([&] { track = bake(); });
    for (std::thread& thread : threads)
        thread.join();
    for (const std::vector<double>& track : together)
        EXPECT_EQ(track, alone);
}

TEST_F(Baking, RefusesWhatItCannotBakeAndKeepsWhatIsThere) {
    char why[256];
    VocettaCues* cues = reinterpret_cast<VocettaCues*>(&why);  // set to NULL on failure
    const auto bake = [&](const VocettaBakeSettings& settings, size_t count) {
        return vocetta_cues_bake(host_, samples_.data(), count, &settings, &cues, why, sizeof why);
    };
    VocettaBakeSettings settings = Settings(VOCETTA_SHAPES_CARTOON);
    settings.sample_rate = 8000;  // below the profile's analysis rate
    EXPECT_EQ(bake(settings, samples_.size()), VOCETTA_ERROR_PROFILE);
    EXPECT_NE(std::string(why).find("8000"), std::string::npos) << why;
    EXPECT_EQ(cues, nullptr);
    settings = Settings(7);
    EXPECT_EQ(bake(settings, samples_.size()), VOCETTA_ERROR_ARGUMENT);
    EXPECT_NE(std::string(why).find("shape_set: 7"), std::string::npos) << why;
    settings = Settings(VOCETTA_SHAPES_CARTOON);
    EXPECT_EQ(bake(settings, 0), VOCETTA_ERROR_ARGUMENT);
    std::vector<float> broken = samples_;
    broken[1000] = std::nanf("");
    EXPECT_EQ(
        vocetta_cues_bake(host_, broken.data(), broken.size(), &settings, &cues, why, sizeof why),
        VOCETTA_ERROR_ARGUMENT);
    EXPECT_STREQ(why, "samples[1000] is not a finite number");
    settings.ipa = "ttt";  // nothing a class stands for
    EXPECT_EQ(bake(settings, samples_.size()), VOCETTA_ERROR_TRANSCRIPT);
    EXPECT_NE(std::string(why).find("ipa: "), std::string::npos) << why;
    settings.ipa = nullptr;
    settings.text = "(sighs) #line:0a1b2c";
    EXPECT_EQ(bake(settings, samples_.size()), VOCETTA_ERROR_TRANSCRIPT);
    EXPECT_STREQ(why,
                 "text: no words to say, only directions and markup; literal_text says them "
                 "as words");
    settings.speaker_names = 1;
    settings.text = "Mae: (sighs)";
    EXPECT_EQ(bake(settings, samples_.size()), VOCETTA_ERROR_TRANSCRIPT);
    EXPECT_STREQ(why, "text: no words to say, only a speaker's name");
    settings.speaker_names = 0;
    settings.text = "Hello";
    settings.language = "--version";
    EXPECT_EQ(bake(settings, samples_.size()), VOCETTA_ERROR_ARGUMENT);
    EXPECT_STREQ(why, "language: '--version' is no espeak-ng voice name");
    settings.language = nullptr;
    settings.ipa = "ttt";
    EXPECT_EQ(bake(settings, samples_.size()), VOCETTA_ERROR_ARGUMENT);
    EXPECT_NE(std::string(why).find("text and ipa exclude each other"), std::string::npos) << why;
    VocettaCurves* curves = nullptr;
    settings = Settings(VOCETTA_SHAPES_CARTOON);
    EXPECT_EQ(vocetta_curves_bake(host_, samples_.data(), samples_.size(), &settings, 0, &curves,
                                  why, sizeof why),
              VOCETTA_ERROR_ARGUMENT);
    // A file that is there stays unless it may be replaced; a folder that is not is named.
    ASSERT_EQ(bake(settings, samples_.size()), VOCETTA_OK) << why;
    const std::string kept = Write("kept.json", "mine");
    EXPECT_EQ(vocetta_cues_save(cues, kept.c_str(), 0, why, sizeof why), VOCETTA_ERROR_FILE);
    EXPECT_NE(std::string(why).find(kept + ": already exists"), std::string::npos) << why;
    EXPECT_EQ(Read(kept), "mine");
    EXPECT_EQ(vocetta_cues_save(cues, kept.c_str(), 1, why, sizeof why), VOCETTA_OK) << why;
    EXPECT_NE(Read(kept).find("\"mouthCues\""), std::string::npos);
    const std::string lost = (folder_ / "no" / "such.json").string();
    EXPECT_EQ(vocetta_cues_save(cues, lost.c_str(), 1, why, sizeof why), VOCETTA_ERROR_FILE);
    EXPECT_NE(std::string(why).find(lost), std::string::npos) << why;
    EXPECT_EQ(vocetta_cues_save(nullptr, kept.c_str(), 1, why, sizeof why), VOCETTA_ERROR_ARGUMENT);
    vocetta_cues_close(cues);
}
#endif

}  // namespace
}  // namespace Vocetta::Testing
