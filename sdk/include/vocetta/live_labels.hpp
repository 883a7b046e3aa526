// Phoneme labels for frames as they come, as `vocetta analyze -` labels a stream: what an engine
// shows on a character while the line plays.
//
// A frame is silence below the gate (a fixed volume, or by default 30 dB under the level heard
// so far: LevelGate) or where the job scored nothing; every other frame is labelled by the
// ViterbiSmoother's best path over the frames so far, read `lag` frames late, or without
// smoothing by its own best phoneme at once:
//
//     Vocetta::Host::LiveLabels labels(profile, analyzer.sampleRate() / double(analyzer.hop()));
//     analyzer.Push(block, count, [&](const Vocetta::Host::AnalyzerFrame& frame) {
//         const int label = labels.Update(frame.volume, frame.best, frame.scores);
//         if (label >= 0) show(labels.Names()[label]);  // the frame Lag() updates back
//     });
//     for (int label : labels.Finish()) show(labels.Names()[label]);  // at the end of a line
//
// It allocates only when constructed (Finish aside) and costs a few operations per phoneme and
// per frame of lag.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "vocetta/level_gate.hpp"
#include "vocetta/profile.hpp"
#include "vocetta/smoother.hpp"

namespace Vocetta::Host {

// The states of a profile's labels: its phonemes, then "sil" when it has none; `silence` is that
// state's index.
std::vector<std::string> LabelNames(const Profile& profile, int& silence);
// Whether a frame is silence: below `gate` (a volume), or nothing scored (`best` -1, or a best
// phoneme scored 0 or not at all).
bool SilentFrame(float volume, float gate, int best, std::span<const float> scores);
// The row SmoothPath and ViterbiSmoother read for a frame (`row`: one value per state): a silent
// frame can only be `silence`, any other is each phoneme by its LogScore, and never the silence
// state a profile without one gets added.
void LabelRow(bool silent, std::span<const float> scores, int silence, std::span<float> row);

// How much speech the labels must have found, within the window the level looks back over,
// before a mouth rests under the gate (LiveLabels::MouthGate). A level heard from a room's noise
// alone puts the gate 30 dB under that noise, and a mouth that takes everything above the gate
// for speech then talks through every pause. The labels of pure noise stray into speech for a
// frame or two in 10 s; a word lasts longer than this. The level is speech's only while more of
// the window is speech than lies above its percentile, so that is asked as well.
inline constexpr double kMouthSpeechSeconds = 0.1;
// kMouthSpeechSeconds in frames at `framesPerSecond`, at least 1.
size_t MouthSpeechFrames(double framesPerSecond);
// Whether `speech` frames labelled speech among `sounding` frames with sound are speech enough
// for the `percentile` of their volumes to be speech's level: at least `enough` of them, and
// more than the share of the frames above the percentile.
bool HeardSpeech(size_t speech, size_t sounding, size_t enough, double percentile);

struct LiveLabelSettings {
    std::optional<float> fixedGate;  // a volume: quieter frames are silence; none: `level`
    LevelGateSettings level;         // the gate under the level heard so far
    bool smoothing = true;
    float switchCost = 2.0f;  // the tool's; 1 is its choice without a lag
    size_t lag = 2;           // frames a smoothed label waits for (none without smoothing)
};

class LiveLabels {
  public:
    // `framesPerSecond`: the rate of Update calls. Throws std::invalid_argument for a rate or
    // level settings out of range, or a negative or non-finite switch cost.
    LiveLabels(const Profile& profile, double framesPerSecond,
               const LiveLabelSettings& settings = {});

    // One frame: the job's volume, its best phoneme (-1 when nothing was scored) and the
    // phonemes' folded scores. Returns the label of the frame Lag() updates back, an index into
    // Names(); -1 while fewer frames have come.
    int Update(float volume, int best, std::span<const float> scores);
    // At the end of a stream: the labels of its last frames that Update has not given, oldest
    // first. Update may go on afterwards, as if the stream had not ended.
    std::vector<int> Finish() const;
    // Back to no frame at all (the level forgotten too).
    void Reset();

    // The profile's phonemes, then "sil" when it has none: the states of the labels.
    const std::vector<std::string>& Names() const { return names_; }
    int Silence() const { return silence_; }
    size_t Lag() const { return lag_; }
    // The gate the newest frame met (a volume).
    float Gate() const { return level_ ? level_->Gate() : fixedGate_; }
    // The gate for a mouth (MouthShapes::SetVolumes(gate, gate * kLoudOverSilence)): Gate()
    // while the labels of the level's window (its frames with sound) hold kMouthSpeechSeconds of
    // speech, and more of it than the window's share above the level's percentile; otherwise 0,
    // for the mouth's own fixed levels. A fixed gate always.
    float MouthGate() const;
    bool FollowsLevel() const { return level_.has_value(); }

  private:
    int Label(size_t slot, int smoothed) const;
    void Heard(bool speech);  // one more labelled frame with sound into the window

    std::vector<std::string> names_;
    size_t phonemes_;
    int silence_;
    float fixedGate_;
    std::optional<LevelGate> level_;
    bool smoothing_;
    size_t lag_;
    // The last lag + 1 frames, a ring: whether each was silent, and its own best phoneme.
    std::vector<unsigned char> silent_;
    std::vector<int> best_;
    std::vector<unsigned char> sound_;  // and whether it had sound (the level's frames)
    // Whether each labelled frame with sound of the level's window was labelled speech, a ring
    // from `spokenOldest_`, and how many were.
    std::vector<unsigned char> spoken_;
    size_t spokenOldest_ = 0, spokenCount_ = 0, speechFrames_ = 0, mouthSpeech_ = 1;
    double percentile_ = 0;  // the level's
    size_t seen_ = 0;
    std::vector<float> row_;  // the frame's log scores for the smoother
    ViterbiSmoother smoother_;
};

}  // namespace Vocetta::Host
