#include "vocetta/live_labels.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Vocetta::Host {

namespace {

constexpr const char* kSilenceName = "sil";

}  // namespace

std::vector<std::string> LabelNames(const Profile& profile, int& silence) {
    std::vector<std::string> names;
    for (const Phoneme& phoneme : profile.phonemes)
        names.push_back(phoneme.name);
    const auto named = std::find(names.begin(), names.end(), kSilenceName);
    silence = static_cast<int>(named - names.begin());
    if (named == names.end()) names.push_back(kSilenceName);
    return names;
}

bool SilentFrame(float volume, float gate, int best, std::span<const float> scores) {
    return !(volume >= gate) || best < 0 || static_cast<size_t>(best) >= scores.size() ||
           !(scores[static_cast<size_t>(best)] > 0);
}

void LabelRow(bool silent, std::span<const float> scores, int silence, std::span<float> row) {
    std::fill(row.begin(), row.end(), kImpossibleLogScore);
    if (silent) {
        row[static_cast<size_t>(silence)] = 0.0f;
        return;
    }
    for (size_t p = 0; p < scores.size() && p < row.size(); ++p)
        row[p] = LogScore(scores[p]);
}

size_t MouthSpeechFrames(double framesPerSecond) {
    const double frames = kMouthSpeechSeconds * framesPerSecond;
    return frames > 1 ? static_cast<size_t>(std::lround(frames)) : 1;
}

bool HeardSpeech(size_t speech, size_t sounding, size_t enough, double percentile) {
    return speech >= enough && double(speech) > (1.0 - percentile) * double(sounding);
}

LiveLabels::LiveLabels(const Profile& profile, double framesPerSecond,
                       const LiveLabelSettings& settings)
    : phonemes_(profile.phonemes.size()),
      fixedGate_(settings.fixedGate.value_or(0.0f)),
      smoothing_(settings.smoothing),
      lag_(settings.smoothing ? settings.lag : 0),
      smoother_(0) {
    if (!(settings.switchCost >= 0) || !std::isfinite(settings.switchCost)) {
        throw std::invalid_argument("the switch cost must be finite and 0 or more");
    }
    if (settings.fixedGate) {
        if (!(framesPerSecond > 0)) {
            throw std::invalid_argument("the frame rate must be above 0 per second");
        }
    } else {
        level_.emplace(framesPerSecond, settings.level);
        // The level's window, as LevelGate sizes it (it has checked the product).
        spoken_.assign(
            static_cast<size_t>(std::lround(settings.level.windowSeconds * framesPerSecond)), 0);
        mouthSpeech_ = MouthSpeechFrames(framesPerSecond);
        percentile_ = settings.level.percentile;
    }
    names_ = LabelNames(profile, silence_);
    silent_.assign(lag_ + 1, 0);
    best_.assign(lag_ + 1, -1);
    sound_.assign(lag_ + 1, 0);
    row_.resize(names_.size());
    smoother_ = ViterbiSmoother(names_.size(), settings.switchCost, lag_);
}

int LiveLabels::Label(size_t slot, int smoothed) const {
    if (silent_[slot]) return silence_;
    return smoothing_ ? smoothed : best_[slot];
}

int LiveLabels::Update(float volume, int best, std::span<const float> scores) {
    // The gate a frame meets is the one of its own time, however late its label comes.
    const float gate = level_ ? level_->Update(volume) : fixedGate_;
    const auto phonemeScores = scores.first(std::min(scores.size(), phonemes_));
    const bool silent = SilentFrame(volume, gate, best, phonemeScores);
    const size_t slot = seen_ % silent_.size();
    silent_[slot] = silent;
    best_[slot] = best;
    sound_[slot] = std::isfinite(volume) && volume > 0;
    ++seen_;
    int smoothed = -1;
    if (smoothing_) {
        LabelRow(silent, phonemeScores, silence_, row_);
        smoothed = smoother_.Update(row_.data());
    }
    if (seen_ <= lag_) return -1;
    const size_t labelled = (seen_ - 1 - lag_) % silent_.size();
    const int label = Label(labelled, smoothed);
    if (!spoken_.empty() && sound_[labelled]) Heard(label != silence_);
    return label;
}

void LiveLabels::Heard(bool speech) {
    if (spokenCount_ == spoken_.size()) {
        speechFrames_ -= spoken_[spokenOldest_];
        spoken_[spokenOldest_] = speech;
        spokenOldest_ = (spokenOldest_ + 1) % spoken_.size();
    } else {
        spoken_[(spokenOldest_ + spokenCount_++) % spoken_.size()] = speech;
    }
    speechFrames_ += speech;
}

float LiveLabels::MouthGate() const {
    if (!level_) return fixedGate_;
    return HeardSpeech(speechFrames_, spokenCount_, mouthSpeech_, percentile_) ? level_->Gate()
                                                                               : 0.0f;
}

std::vector<int> LiveLabels::Finish() const {
    std::vector<int> labels;
    for (size_t back = std::min(lag_, seen_); back-- > 0;)
        labels.push_back(
            Label((seen_ - 1 - back) % silent_.size(), smoothing_ ? smoother_.Settled(back) : -1));
    return labels;
}

void LiveLabels::Reset() {
    if (level_) level_->Reset();
    smoother_.Reset();
    seen_ = 0;
    spokenOldest_ = spokenCount_ = speechFrames_ = 0;
}

}  // namespace Vocetta::Host
