#include "labels.hpp"

#include <algorithm>
#include <cmath>

#include "error.hpp"
#include "vocetta/mouth_shapes.hpp"
#include "vocetta/transcript.hpp"

namespace Vocetta::Tool {

namespace {

constexpr double kLargestAlignment = 512.0 * 1024 * 1024;

std::span<const float> Scores(const Analysis& analysis, size_t frame) {
    return {analysis.Scores(frame), static_cast<size_t>(analysis.phonemes)};
}

// Below the gate, or nothing scored (digital silence).
bool Silent(const Analysis& analysis, size_t frame, float gateVolume) {
    const FrameResult& result = analysis.frames[frame];
    return Host::SilentFrame(result.volume, gateVolume, result.best, Scores(analysis, frame));
}

}  // namespace

float GateVolume(const Analysis& analysis, const LabelSettings& settings) {
    if (settings.absoluteDb) return VolumeFromDb(*settings.absoluteDb);
    std::vector<float> volumes;
    for (const FrameResult& frame : analysis.frames) {
        if (std::isfinite(frame.volume) && frame.volume > 0) volumes.push_back(frame.volume);
    }
    if (volumes.empty()) return 0.0f;  // nothing but digital silence, which is never a phoneme
    const auto rank = static_cast<size_t>(kLevelPercentile * double(volumes.size() - 1) + 0.5);
    std::nth_element(volumes.begin(), volumes.begin() + static_cast<long>(rank), volumes.end());
    return static_cast<float>(volumes[rank] * std::pow(10.0, settings.gateDb / 20.0));
}

float MouthSilenceVolume(const FrameLabels& labels, const Analysis& analysis,
                         const LabelSettings& settings) {
    if (settings.absoluteDb) return labels.gateVolume;
    size_t sounding = 0, speech = 0;
    for (size_t frame = 0; frame < labels.frames.size(); ++frame) {
        const float volume = analysis.frames[frame].volume;
        if (!(std::isfinite(volume) && volume > 0)) continue;
        ++sounding;
        speech += labels.Name(frame) != kSilenceLabel;
    }
    const size_t enough = Host::MouthSpeechFrames(double(analysis.sampleRate) / analysis.hop);
    return Host::HeardSpeech(speech, sounding, enough, kLevelPercentile)
               ? labels.gateVolume
               : Host::MouthSettings{}.silenceVolume;
}

std::vector<unsigned char> SilenceMarks(const FrameLabels& labels) {
    std::vector<unsigned char> marks;
    marks.reserve(labels.frames.size());
    for (size_t frame = 0; frame < labels.frames.size(); ++frame)
        marks.push_back(labels.Name(frame) == kSilenceLabel);
    return marks;
}

std::span<const float> MouthScores(const FrameLabels& labels, const Analysis& analysis,
                                   std::vector<float>& aligned) {
    if (labels.said.empty()) return analysis.scores;
    aligned = Host::TranscriptScores(analysis.scores, static_cast<size_t>(analysis.phonemes),
                                     labels.frames, labels.said, labels.silence);
    return aligned;
}

std::vector<int> MouthShapesSaid(const FrameLabels& labels, Host::ShapeSet set) {
    if (labels.phones.empty()) return {};
    return Host::TranscriptShapes(labels.transcript, set, labels.phones);
}

size_t StreamLagFrames(double lagMs, int hop, int sampleRate) {
    const double hopMs = 1000.0 * hop / sampleRate;
    return static_cast<size_t>(std::lround(lagMs / hopMs));
}

namespace {

Host::LiveLabelSettings LiveSettings(const LabelSettings& settings, size_t lagFrames) {
    Host::LiveLabelSettings live;
    if (settings.absoluteDb) live.fixedGate = VolumeFromDb(*settings.absoluteDb);
    live.level.gateDb = settings.gateDb;
    live.level.percentile = kLevelPercentile;
    live.level.windowSeconds = settings.levelWindowSeconds;
    live.smoothing = settings.smoothing;
    live.lag = settings.smoothing ? lagFrames : 0;
    live.switchCost = settings.StreamSwitchCost(live.lag);
    return live;
}

}  // namespace

StreamLabels::StreamLabels(const Profile& profile, const LabelSettings& settings,
                           double framesPerSecond, size_t lagFrames)
    : live_(profile, framesPerSecond, LiveSettings(settings, lagFrames)) {}

const std::string* StreamLabels::Next(const Analysis& analysis, size_t frame) {
    const FrameResult& result = analysis.frames[frame];
    const int label = live_.Update(result.volume, result.best, Scores(analysis, frame));
    return label < 0 ? nullptr : &live_.Names()[static_cast<size_t>(label)];
}

std::vector<std::string> StreamLabels::Finish() const {
    std::vector<std::string> labels;
    for (const int label : live_.Finish())
        labels.push_back(live_.Names()[static_cast<size_t>(label)]);
    return labels;
}

FrameLabels LabelFrames(const Profile& profile, const Analysis& analysis,
                        const LabelSettings& settings, const std::string* transcript) {
    FrameLabels labels;
    int silence = 0;
    labels.names = Host::LabelNames(profile, silence);
    labels.silence = silence;
    labels.gateVolume = GateVolume(analysis, settings);
    const size_t frames = analysis.FrameCount();
    auto silent = [&](size_t frame) { return Silent(analysis, frame, labels.gateVolume); };
    if (!settings.smoothing) {
        for (size_t frame = 0; frame < frames; ++frame)
            labels.frames.push_back(silent(frame) ? silence : analysis.frames[frame].best);
        return labels;
    }
    // A silent frame can only be silence; any other frame is each phoneme by its score.
    const size_t states = labels.names.size();
    std::vector<float> logScores(frames * states, Host::kImpossibleLogScore);
    for (size_t frame = 0; frame < frames; ++frame)
        Host::LabelRow(silent(frame), Scores(analysis, frame), silence,
                       {logScores.data() + frame * states, states});
    if (transcript == nullptr) {
        labels.frames = Host::SmoothPath(logScores, states, settings.WholeSwitchCost());
        return labels;
    }
    const std::vector<int> phones = Host::TranscriptLabels(*transcript, labels.names);
    Host::TranscriptAlignment alignment =
        Host::TranscriptAlignment::ForHop(double(analysis.hop) / analysis.sampleRate);
    alignment.switchCost = settings.WholeSwitchCost();
    // A byte per frame and state of the alignment: a few megabytes for a line, half a gigabyte for
    // four minutes read from one transcript.
    if (double(frames) * double(Host::TranscriptAlignmentStates(phones, alignment)) >
        kLargestAlignment) {
        throw ToolError("too long to align with its transcript in one piece (" +
                        std::to_string(frames) + " frames, " + std::to_string(phones.size()) +
                        " phones): split it into lines");
    }
    labels.frames = Host::AlignTranscript(logScores, states, silence, phones, alignment,
                                          &labels.said, &labels.phones);
    labels.transcript = *transcript;
    return labels;
}

}  // namespace Vocetta::Tool
