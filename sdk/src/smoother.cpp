#include "vocetta/smoother.hpp"

#include <algorithm>
#include <cmath>

namespace Vocetta::Host {

float LogScore(float score) {
    return score > 0 ? std::max(std::log(score), kImpossibleLogScore) : kImpossibleLogScore;
}

std::vector<int> SmoothPath(const std::vector<float>& logScores, size_t states, float switchCost) {
    if (states == 0 || logScores.size() < states) return {};
    const size_t frames = logScores.size() / states;
    // total[s]: the best path's score ending in s at the current frame; from[t][s]: the state
    // it came from at frame t - 1.
    std::vector<double> total(logScores.begin(), logScores.begin() + static_cast<long>(states));
    std::vector<int> from(frames * states, 0);
    std::vector<double> next(states);
    for (size_t t = 1; t < frames; ++t) {
        size_t best = 0;
        for (size_t s = 1; s < states; ++s) {
            if (total[s] > total[best]) best = s;
        }
        const double switched = total[best] - double(switchCost);
        for (size_t s = 0; s < states; ++s) {
            const bool stay = total[s] >= switched;
            next[s] = (stay ? total[s] : switched) + logScores[t * states + s];
            from[t * states + s] = static_cast<int>(stay ? s : best);
        }
        total.swap(next);
    }
    std::vector<int> path(frames);
    size_t state = 0;
    for (size_t s = 1; s < states; ++s) {
        if (total[s] > total[state]) state = s;
    }
    for (size_t t = frames; t-- > 0;) {
        path[t] = static_cast<int>(state);
        state = static_cast<size_t>(from[t * states + state]);
    }
    return path;
}

CausalSmoother::CausalSmoother(size_t states, float switchProbability, float floor)
    : belief_(states), next_(states), switchProbability_(switchProbability), floor_(floor) {
    Reset();
}

void CausalSmoother::Reset() {
    std::fill(belief_.begin(), belief_.end(),
              belief_.empty() ? 0.0f : 1.0f / static_cast<float>(belief_.size()));
    current_ = 0;
}

int CausalSmoother::Update(const float* scores) {
    const size_t n = belief_.size();
    if (n == 0) return -1;
    bool evidence = false;
    for (size_t s = 0; s < n; ++s)
        evidence = evidence || (std::isfinite(scores[s]) && scores[s] > 0);
    if (!evidence) return current_;
    // Predict (stay with 1 - p, or come from any other phoneme alike), then weigh by the block.
    const float spread = n > 1 ? switchProbability_ / static_cast<float>(n - 1) : 0.0f;
    const float keep = n > 1 ? 1.0f - switchProbability_ : 1.0f;
    float total = 0;
    for (size_t s = 0; s < n; ++s) {
        const float prior = keep * belief_[s] + spread * (1.0f - belief_[s]);
        const float likelihood = std::isfinite(scores[s]) ? std::max(scores[s], floor_) : floor_;
        next_[s] = prior * likelihood;
        total += next_[s];
    }
    if (!(total > 0)) return current_;
    int best = 0;
    for (size_t s = 0; s < n; ++s) {
        belief_[s] = next_[s] / total;
        if (belief_[s] > belief_[static_cast<size_t>(best)]) best = static_cast<int>(s);
    }
    current_ = best;
    return best;
}

}  // namespace Vocetta::Host
