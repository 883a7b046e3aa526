#include "vocetta/level_gate.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace Vocetta::Host {

LevelGate::LevelGate(double framesPerSecond, const LevelGateSettings& settings)
    : percentile_(settings.percentile), factor_(std::pow(10.0, settings.gateDb / 20.0)) {
    if (!(framesPerSecond > 0 && framesPerSecond <= 1.0e6)) {
        throw std::invalid_argument(
            "the frame rate must be above 0 and at most 1000000 per second");
    }
    if (!(settings.gateDb <= 0 && settings.gateDb >= -200)) {
        throw std::invalid_argument("the gate must be between -200 and 0 dB under the level");
    }
    if (!(settings.percentile >= 0 && settings.percentile <= 1)) {
        throw std::invalid_argument("the percentile must be between 0 and 1");
    }
    const double frames = settings.windowSeconds * framesPerSecond;
    if (!(frames >= 1 && frames <= 1.0e7)) {
        throw std::invalid_argument("the window must hold at least one frame and at most 10000000");
    }
    recent_.assign(static_cast<size_t>(std::lround(frames)), 0.0f);
    sorted_.reserve(recent_.size());
}

float LevelGate::Update(float volume) {
    if (std::isfinite(volume) && volume > 0) {
        if (count_ == recent_.size()) {
            const float leaving = recent_[oldest_];
            sorted_.erase(std::lower_bound(sorted_.begin(), sorted_.end(), leaving));
            recent_[oldest_] = volume;
            oldest_ = (oldest_ + 1) % recent_.size();
        } else {
            recent_[(oldest_ + count_++) % recent_.size()] = volume;
        }
        sorted_.insert(std::upper_bound(sorted_.begin(), sorted_.end(), volume), volume);
        gate_ = static_cast<float>(Level() * factor_);
    }
    return gate_;
}

float LevelGate::Level() const {
    if (sorted_.empty()) return 0.0f;
    // The rank a whole recording's gate takes, so that both agree over the same frames.
    const auto rank = static_cast<size_t>(percentile_ * double(sorted_.size() - 1) + 0.5);
    return sorted_[rank];
}

void LevelGate::Reset() {
    sorted_.clear();
    oldest_ = count_ = 0;
    gate_ = 0.0f;
}

}  // namespace Vocetta::Host
