#include "bake.hpp"

#include <vector>

#include "vocetta/analyzer.hpp"
#include "vocetta/noise_cleaner.hpp"

namespace Vocetta::Tool {

BakedLine BakeLine(const Host::Library& library, const Profile& profile, const std::string& origin,
                   std::span<const float> samples, int sampleRate, const std::string& soundFile,
                   bool cleanNoise, const MouthArguments& arguments,
                   const std::string* transcript) {
    BakedLine line;
    line.recording.path = soundFile;
    line.recording.sampleRate = sampleRate;
    line.recording.channels = 1;
    line.recording.length = samples.size();
    // The tool's frames: its default hop, every phoneme scored.
    line.analysis = PrepareAnalysis(profile, sampleRate, origin, 0.01, true);
    line.analysis.seconds = line.recording.Seconds();
    std::vector<float> cleaned;
    if (cleanNoise) {
        Host::NoiseCleaner cleaner(sampleRate);
        cleaned.reserve(samples.size());
        cleaner.Push(samples.data(), samples.size(), cleaned);
        cleaner.Finish(cleaned);
        samples = cleaned;
    }
    Host::Analyzer analyzer(library.entries(), profile, sampleRate, line.analysis.hop, true);
    const auto append = [&](const Host::AnalyzerFrame& frame) { line.analysis.Append(frame); };
    analyzer.Push(samples, append);
    analyzer.Finish(append);
    const LabelSettings labelling;
    line.labels = LabelFrames(profile, line.analysis, labelling, transcript);
    line.mouth = RecordingMouth(arguments, line.labels, line.analysis, labelling);
    return line;
}

}  // namespace Vocetta::Tool
