// Unsupervised speaker adaptation. A profile calibrated on many voices fits an unheard voice
// badly mostly by an offset: the voice's whole cloud of MFCC vectors sits away from where the
// calibration voices' clouds sat. Moving every speech reference by the voice's own mean minus the
// calibration voices' mean (the profile's `speakerMeans`) puts them back over it; no label of the
// voice is needed, only its speech frames. The job's arithmetic is untouched: only the references
// it is given change. Silence is noise, not the speaker, so the `sil` references stay.
//
//     Vocetta::Host::SpeakerEstimate estimate(profile);  // one per character
//     analyzer.Push(block, count, [&](const Vocetta::Host::AnalyzerFrame& frame) {
//         estimate.Offer(frame.mfcc, frame.volume);
//         ...
//     });
//     // now and then, between blocks:
//     analyzer.SetReferenceRows(Vocetta::Host::AdaptProfile(profile,
//     estimate.Mean()).ReferenceRows());
#pragma once

#include <span>
#include <vector>

#include "vocetta/profile.hpp"

namespace Vocetta::Host {

// A frame is speech when its volume is within this many dB of the speaker's level: 20 dB keeps
// the pauses and the noise between words out of the mean (chosen on the validation voices, where
// it measured as well as 30 dB on clean recordings and better with noise).
inline constexpr double kSpeechGateDb = -20.0;
// How many frames' worth of weight the calibration voices' mean keeps against the speaker's own
// frames: one second at a 10 ms hop, so that a few words cannot throw the references far.
inline constexpr double kDefaultPriorFrames = 100.0;

// The running mean MFCC vector of one speaker's speech frames, blended with the profile's
// `speakerMeans` as a prior: mean = (prior x speakerMeans + sum of frames) / (prior + frames).
class SpeakerEstimate {
  public:
    // Throws ProfileError when the profile has no speakerMeans (one calibrated before adaptation
    // existed: `vocetta adapt --anchor` gives it some) or `priorFrames` is negative or not finite.
    explicit SpeakerEstimate(const Profile& profile, double priorFrames = kDefaultPriorFrames);

    // Counts one speech frame; a frame with a coefficient that is not finite (digital silence)
    // or of the wrong length is left out. Returns whether it counted.
    bool Add(std::span<const float> mfcc);
    // For a live stream, whose level is not known in advance: counts the frame when it is within
    // kSpeechGateDb of the loudest volume offered so far (that one included) and Add takes it.
    bool Offer(std::span<const float> mfcc, float volume);
    void Reset();  // back to the prior alone (a new character)

    double frames() const { return frames_; }
    std::vector<float> Mean() const;

  private:
    std::vector<double> prior_, sum_;
    double priorFrames_;
    double frames_ = 0;
    float loudest_ = 0;
};

// `profile` for a speaker whose speech frames average `speakerMean`: every reference of every
// phoneme but `sil` moves by speakerMean - profile.speakerMeans, computed in single precision
// (reference + (speakerMean - speakerMeans)), and speakerMeans becomes speakerMean, so adapting
// the result to another speaker is adapting the original to that one. Throws ProfileError when
// the profile has no speakerMeans or `speakerMean` is not one finite value per coefficient.
Profile AdaptProfile(const Profile& profile, std::span<const float> speakerMean);

}  // namespace Vocetta::Host
