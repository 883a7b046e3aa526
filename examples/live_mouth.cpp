// A character's live mouth from captured speech, with the host SDK: the pieces an engine puts in
// its audio callback, in the order it needs them.
//
//     live_mouth LIBRARY AUDIO [--keep-noise]
//
// AUDIO stands in for a microphone: it is read whole (libsndfile, mixed to mono) and then handed
// over 10 ms at a time, as a capture callback would hand it. Prints one CSV row per frame: the
// frame's time, its phoneme label (the one `vocetta analyze -` prints for this audio), the mouth
// shape to show and how far the jaw is open. Only the reading of AUDIO allocates per call; the
// loop allocates nothing once it runs.
#include <vocetta/analyzer.hpp>
#include <vocetta/cues.hpp>
#include <vocetta/library.hpp>
#include <vocetta/live_labels.hpp>
#include <vocetta/mouth_shapes.hpp>
#include <vocetta/noise_cleaner.hpp>
#include <vocetta/profile.hpp>

#include <sndfile.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Recording {
    int rate = 0;
    std::vector<float> samples;
};

Recording ReadMono(const char* path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == nullptr) throw std::runtime_error(std::string(path) + ": " + sf_strerror(nullptr));
    std::vector<float> frames(static_cast<size_t>(info.frames) * size_t(info.channels));
    const sf_count_t read = sf_readf_float(file, frames.data(), info.frames);
    sf_close(file);
    Recording recording{info.samplerate, std::vector<float>(static_cast<size_t>(read))};
    for (size_t i = 0; i < recording.samples.size(); ++i) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum += frames[i * size_t(info.channels) + size_t(c)];
        recording.samples[i] = sum / float(info.channels);
    }
    return recording;
}

// What the mouth showed at a frame, kept until the frame's label is settled `lag` frames later.
struct Shown {
    double time = 0;
    int shape = 0;
    float jaw = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || (argc == 4 && std::strcmp(argv[3], "--keep-noise") != 0) || argc > 4) {
        std::fprintf(stderr, "usage: live_mouth LIBRARY AUDIO [--keep-noise]\n");
        return 2;
    }
    try {
        const Recording capture = ReadMono(argv[2]);

        // Once, when the character is set up (all of this allocates).
        const Vocetta::Host::Library library(argv[1]);
        const Vocetta::Host::Profile profile = Vocetta::Host::DefaultProfile();
        const int hop = capture.rate / 100;  // a frame every 10 ms
        Vocetta::Host::Analyzer analyzer(library.entries(), profile, capture.rate, hop);
        const double framesPerSecond = double(capture.rate) / hop;
        Vocetta::Host::LiveLabels labels(profile, framesPerSecond);
        Vocetta::Host::MouthShapes mouth(
            Vocetta::Host::ProfileShapeMap(profile, Vocetta::Host::ShapeSet::Cartoon, "built-in"),
            Vocetta::Host::MouthSettings{});
        Vocetta::Host::NoiseCleaner cleaner(capture.rate);
        const bool clean = argc < 4;
        std::vector<float> cleaned;
        cleaned.reserve(size_t(4 * hop) + cleaner.Latency());
        std::vector<Shown> shown(labels.Lag() + 1);
        size_t frames = 0;
        const auto& shapeNames = Vocetta::Host::ShapeNames(mouth.Map().set);

        auto print = [&](const Shown& at, int label) {
            std::printf("%g,%s,%s,%.3f\n", at.time, labels.Names()[size_t(label)].c_str(),
                        shapeNames[size_t(at.shape)].c_str(), double(at.jaw));
        };
        // Every frame, on the audio thread: the mouth follows at once, under the same gate that
        // silences the labels; the label of the frame `Lag()` back is settled now.
        const auto onFrame = [&](const Vocetta::Host::AnalyzerFrame& frame) {
            const int label = labels.Update(frame.volume, frame.best, frame.scores);
            // Rest under the level of the speech heard; until there is some, the mouth's own
            // fixed levels (a room's noise alone would set the gate under that noise).
            mouth.FollowGate(labels.MouthGate());
            mouth.Update(frame.scores, frame.volume, 1.0 / framesPerSecond);
            shown[frames % shown.size()] = {frame.time, mouth.Dominant(), mouth.Jaw()};
            ++frames;
            if (label >= 0) print(shown[frames % shown.size()], label);
        };

        std::printf("time,phoneme,shape,jaw\n");
        // The capture callback: 10 ms of samples at a time.
        for (size_t at = 0; at < capture.samples.size(); at += size_t(hop)) {
            const size_t count = std::min(size_t(hop), capture.samples.size() - at);
            const float* block = capture.samples.data() + at;
            if (clean) {
                cleaned.clear();
                cleaner.Push(block, count, cleaned);  // up to Latency() samples late
                analyzer.Push(cleaned.data(), cleaned.size(), onFrame);
            } else {
                analyzer.Push(block, count, onFrame);
            }
        }
        // The end of the line: what the cleaner still holds, the last frame, the last labels.
        if (clean) {
            cleaned.clear();
            cleaner.Finish(cleaned);
            analyzer.Push(cleaned.data(), cleaned.size(), onFrame);
        }
        analyzer.Finish(onFrame);
        const std::vector<int> last = labels.Finish();
        for (size_t i = 0; i < last.size(); ++i)
            print(shown[(frames - last.size() + i) % shown.size()], last[i]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "live_mouth: %s\n", error.what());
        return 1;
    }
    return 0;
}
