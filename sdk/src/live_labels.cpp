#include "vocetta/live_labels.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Vocetta::Host {

namespace {

constexpr const char* kSilenceName = "sil";

}  // namespace

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
    }
    for (const Phoneme& phoneme : profile.phonemes)
        names_.push_back(phoneme.name);
    const auto named = std::find(names_.begin(), names_.end(), kSilenceName);
    silence_ = static_cast<int>(named - names_.begin());
    if (named == names_.end()) names_.push_back(kSilenceName);
    silent_.assign(lag_ + 1, 0);
    best_.assign(lag_ + 1, -1);
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
    const bool silent = !(volume >= gate) || best < 0 || static_cast<size_t>(best) >= phonemes_ ||
                        static_cast<size_t>(best) >= scores.size() || !(scores[best] > 0);
    const size_t slot = seen_ % silent_.size();
    silent_[slot] = silent;
    best_[slot] = best;
    ++seen_;
    int smoothed = -1;
    if (smoothing_) {
        // A silent frame can only be silence; any other is each phoneme by its score (and never
        // the silence a profile without one gets added).
        std::fill(row_.begin(), row_.end(), kImpossibleLogScore);
        if (silent) {
            row_[static_cast<size_t>(silence_)] = 0.0f;
        } else {
            for (size_t p = 0; p < phonemes_ && p < scores.size(); ++p)
                row_[p] = LogScore(scores[p]);
        }
        smoothed = smoother_.Update(row_.data());
    }
    if (seen_ <= lag_) return -1;
    return Label((seen_ - 1 - lag_) % silent_.size(), smoothed);
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
}

}  // namespace Vocetta::Host
