// The phoneme of every frame of a recording: the silence gate, then the profile's scores,
// smoothed over the whole recording unless smoothing is off.
#pragma once

#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "vocetta/live_labels.hpp"
#include "vocetta/mouth_shapes.hpp"
#include "vocetta/smoother.hpp"

namespace Vocetta::Tool {

// By default a frame is silence when it is more than 30 dB below the recording's own level
// (its 95th-percentile frame volume), so a quiet recording is treated like a loud one.
inline constexpr double kDefaultGateDb = -30.0;
inline constexpr double kLevelPercentile = 0.95;
// The log-score penalty of one change of phoneme in the smoothed track.
inline constexpr float kDefaultSwitchCost = 2.0f;
// How long a streamed label waits for the frames after it. The best path so far can still
// change at its newest frames: on the validation voices' sentences (scripts/sentence-experiment.py
// stream) 72.0 % of vowel frames came out right without a wait, 74.2, 74.6 and 74.5 % after 10,
// 20 and 30 ms, and 72.7 % unsmoothed; sustained takes the same within 0.4 points.
inline constexpr double kDefaultStreamLagMs = 20.0;
// Without a wait the label is the best path's newest state, which keeps the old phoneme until the
// new one leads by the switch cost, so the first frames of every vowel go to the phoneme before
// it. A cheaper switch answers sooner: on the same sentences (under a fixed gate) 71.8 % right
// instead of 70.0 %, sustained takes within 0.4 points (0.5 gained 2.7 points offline and lost 1
// at 10 dB SNR).
inline constexpr float kLagFreeSwitchCost = 1.0f;
// How far back a stream's level looks (Host::LevelGate). On the validation voices, each of whose
// recordings is a stream of a few seconds, 3, 10 and 30 s gave the same figures: this is a
// talker's pace of moving about, not a measured optimum.
inline constexpr double kDefaultLevelWindowSeconds = 10.0;

// An RMS level in dBFS as a linear volume.
inline float VolumeFromDb(double decibels) {
    return static_cast<float>(std::pow(10.0, decibels / 20.0));
}

struct LabelSettings {
    std::optional<double> absoluteDb;  // a fixed gate in dBFS instead of the relative one
    double gateDb = kDefaultGateDb;    // relative gate, dB below the recording's level
    double levelWindowSeconds = kDefaultLevelWindowSeconds;  // a stream's, Host::LevelGate
    bool smoothing = true;
    // None: kDefaultSwitchCost, or kLagFreeSwitchCost for a stream's labels without a lag.
    std::optional<float> switchCost;

    float WholeSwitchCost() const { return switchCost.value_or(kDefaultSwitchCost); }
    float StreamSwitchCost(size_t lagFrames) const {
        return switchCost.value_or(lagFrames == 0 ? kLagFreeSwitchCost : kDefaultSwitchCost);
    }
};

// A stream's lag in whole frames of `hop` samples at `sampleRate`, rounded to the nearest.
size_t StreamLagFrames(double lagMs, int hop, int sampleRate);

struct FrameLabels {
    std::vector<std::string> names;  // the profile's phonemes, then "sil" if it has none
    std::vector<int> frames;         // index into names, one per frame
    float gateVolume = 0;            // frames quieter than this RMS volume are silence
    int silence = 0;                 // the index of "sil" in names
    // Aligned to a transcript: per frame, 1 where the label is the transcript's (empty without
    // one; Host::AlignTranscript's `said`).
    std::vector<unsigned char> said;
    // Aligned to a transcript: the transcript (IPA), and per frame the phone of it the frame says
    // (Host::AlignTranscript's `phones`; empty without one).
    std::string transcript;
    std::vector<int> phones;

    const std::string& Name(size_t frame) const {
        return names[static_cast<size_t>(frames[frame])];
    }
};

// The volume below which frames of `analysis` are silence under `settings`.
float GateVolume(const Analysis& analysis, const LabelSettings& settings);

// The volume a recording's mouth rests under (MouthSettings::silenceVolume): the labels' gate,
// unless that gate follows the recording's level and the labels found too little speech for the
// level to be speech's (Host::LiveLabels::MouthGate's rule, over the whole recording): then the
// mouth's own fixed level, so that a recording of room noise alone leaves the mouth at rest.
float MouthSilenceVolume(const FrameLabels& labels, const Analysis& analysis,
                         const LabelSettings& settings);
// One mark per frame, 1 where the labels say silence: where a recording's mouth rests
// (Host::CueFrames::silence).
std::vector<unsigned char> SilenceMarks(const FrameLabels& labels);
// The scores a recording's mouth reads: the job's, or with a transcript the phones it says
// (Host::TranscriptScores), made in `aligned`, which the view then reads.
std::span<const float> MouthScores(const FrameLabels& labels, const Analysis& analysis,
                                   std::vector<float>& aligned);
// Per frame, the shape of `set` that the labels' transcript says the frame shows, or -1
// (Host::TranscriptShapes); empty without a transcript.
std::vector<int> MouthShapesSaid(const FrameLabels& labels, Host::ShapeSet set);

// Labels every frame: silence when the frame is below the gate or the job scored nothing
// (digital silence), otherwise the profile's phonemes by their scores, as one smoothed track or
// frame by frame. With `transcript` (IPA: what the recording says), the track says its phones in
// order instead (Host::AlignTranscript); ToolError (without the recording's name) when the
// recording and its transcript are too long to align in one piece.
FrameLabels LabelFrames(const Profile& profile, const Analysis& analysis,
                        const LabelSettings& settings, const std::string* transcript = nullptr);

// Labels frames as they come, for output that follows a stream: the SDK's LiveLabels with the
// gate and smoothing of `settings` (the fixed gate when it has one, else one under the level
// heard so far, the recording's own level being unknown until its end; the offline pass's switch
// cost), so a label waits for no more than `lagFrames` later frames (none when unsmoothed).
// `framesPerSecond` is the analysis's frame rate.
class StreamLabels {
  public:
    StreamLabels(const Profile& profile, const LabelSettings& settings, double framesPerSecond,
                 size_t lagFrames);
    // Takes `frame`, the newest frame of `analysis`, and returns the label of frame
    // `frame - Lag()`; nothing while `frame` is below the lag.
    const std::string* Next(const Analysis& analysis, size_t frame);
    // At the end of the stream: the labels of its last frames that Next has not given, in order.
    std::vector<std::string> Finish() const;
    size_t Lag() const { return live_.Lag(); }
    const Host::LiveLabels& Live() const { return live_; }

  private:
    Host::LiveLabels live_;
};

}  // namespace Vocetta::Tool
