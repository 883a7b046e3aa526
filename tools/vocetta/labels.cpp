#include "labels.hpp"

#include <algorithm>
#include <cmath>

#include "vocetta/smoother.hpp"

namespace Vocetta::Tool {

float GateVolume(const Analysis& analysis, const LabelSettings& settings) {
    if (settings.absoluteDb) return static_cast<float>(std::pow(10.0, *settings.absoluteDb / 20.0));
    std::vector<float> volumes;
    for (const FrameResult& frame : analysis.frames) {
        if (std::isfinite(frame.volume) && frame.volume > 0) volumes.push_back(frame.volume);
    }
    if (volumes.empty()) return 0.0f;  // nothing but digital silence, which is never a phoneme
    const auto rank = static_cast<size_t>(kLevelPercentile * double(volumes.size() - 1) + 0.5);
    std::nth_element(volumes.begin(), volumes.begin() + static_cast<long>(rank), volumes.end());
    return static_cast<float>(volumes[rank] * std::pow(10.0, settings.gateDb / 20.0));
}

FrameLabels LabelFrames(const Profile& profile, const Analysis& analysis,
                        const LabelSettings& settings) {
    FrameLabels labels;
    for (const Phoneme& phoneme : profile.phonemes)
        labels.names.push_back(phoneme.name);
    int silence = profile.IndexOf(kSilenceLabel);
    if (silence < 0) {
        silence = static_cast<int>(labels.names.size());
        labels.names.push_back(kSilenceLabel);
    }
    labels.gateVolume = GateVolume(analysis, settings);
    const size_t frames = analysis.FrameCount();
    const size_t phonemes = static_cast<size_t>(analysis.phonemes);
    auto silent = [&](size_t frame) {
        const FrameResult& result = analysis.frames[frame];
        return !(result.volume >= labels.gateVolume) || result.best < 0 ||
               static_cast<size_t>(result.best) >= phonemes ||
               !(analysis.Scores(frame)[result.best] > 0);
    };
    if (!settings.smoothing) {
        for (size_t frame = 0; frame < frames; ++frame)
            labels.frames.push_back(silent(frame) ? silence : analysis.frames[frame].best);
        return labels;
    }
    // A silent frame can only be silence; any other frame is each phoneme by its score.
    const size_t states = labels.names.size();
    std::vector<float> logScores(frames * states, Host::kImpossibleLogScore);
    for (size_t frame = 0; frame < frames; ++frame) {
        float* row = logScores.data() + frame * states;
        if (silent(frame)) {
            row[silence] = 0.0f;
            continue;
        }
        const float* scores = analysis.Scores(frame);
        for (size_t p = 0; p < phonemes; ++p)
            row[p] = Host::LogScore(scores[p]);
    }
    labels.frames = Host::SmoothPath(logScores, states, settings.switchCost);
    return labels;
}

}  // namespace Vocetta::Tool
