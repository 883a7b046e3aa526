#include "vocetta/adaptation.hpp"

#include <cmath>
#include <string>

namespace Vocetta::Host {

namespace {

constexpr const char* kSilence = "sil";

void NeedSpeakerMeans(const Profile& profile, const char* what) {
    if (profile.speakerMeans.size() != static_cast<size_t>(profile.coefficients)) {
        throw ProfileError(std::string(what) +
                           ": the profile has no speakerMeans (calibrate it again, or give it "
                           "the mean of its calibration voices with `vocetta adapt --anchor`)");
    }
}

}  // namespace

SpeakerEstimate::SpeakerEstimate(const Profile& profile, double priorFrames)
    : prior_(profile.speakerMeans.begin(), profile.speakerMeans.end()),
      sum_(profile.speakerMeans.size(), 0.0),
      priorFrames_(priorFrames) {
    NeedSpeakerMeans(profile, "speaker estimate");
    if (!(std::isfinite(priorFrames) && priorFrames >= 0)) {
        throw ProfileError(
            "speaker estimate: the prior weight must be a finite number of frames, "
            "0 or more");
    }
}

bool SpeakerEstimate::Add(std::span<const float> mfcc) {
    if (mfcc.size() != sum_.size()) return false;
    for (const float value : mfcc) {
        if (!std::isfinite(value)) return false;
    }
    for (size_t i = 0; i < sum_.size(); ++i)
        sum_[i] += mfcc[i];
    frames_ += 1;
    return true;
}

bool SpeakerEstimate::Offer(std::span<const float> mfcc, float volume) {
    if (!(std::isfinite(volume) && volume > 0)) return false;
    if (volume > loudest_) loudest_ = volume;
    if (!(volume >= loudest_ * std::pow(10.0, kSpeechGateDb / 20.0))) return false;
    return Add(mfcc);
}

void SpeakerEstimate::Reset() {
    sum_.assign(sum_.size(), 0.0);
    frames_ = 0;
    loudest_ = 0;
}

std::vector<float> SpeakerEstimate::Mean() const {
    std::vector<float> mean(sum_.size());
    const double weight = priorFrames_ + frames_;
    for (size_t i = 0; i < mean.size(); ++i) {
        mean[i] = weight > 0 ? static_cast<float>((priorFrames_ * prior_[i] + sum_[i]) / weight)
                             : static_cast<float>(prior_[i]);
    }
    return mean;
}

Profile AdaptProfile(const Profile& profile, std::span<const float> speakerMean) {
    NeedSpeakerMeans(profile, "adaptation");
    if (speakerMean.size() != profile.speakerMeans.size()) {
        throw ProfileError("adaptation: the speaker's mean has " +
                           std::to_string(speakerMean.size()) + " values, the profile " +
                           std::to_string(profile.speakerMeans.size()) + " coefficients");
    }
    std::vector<float> shift(speakerMean.size());
    for (size_t i = 0; i < shift.size(); ++i) {
        if (!std::isfinite(speakerMean[i])) {
            throw ProfileError("adaptation: the speaker's mean [" + std::to_string(i) +
                               "] is not finite");
        }
        shift[i] = speakerMean[i] - profile.speakerMeans[i];
    }
    Profile adapted = profile;
    for (Phoneme& phoneme : adapted.phonemes) {
        if (phoneme.name == kSilence) continue;
        for (std::vector<float>& reference : phoneme.references) {
            for (size_t i = 0; i < reference.size(); ++i)
                reference[i] += shift[i];
        }
    }
    adapted.speakerMeans.assign(speakerMean.begin(), speakerMean.end());
    return adapted;
}

}  // namespace Vocetta::Host
