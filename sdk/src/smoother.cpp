#include "vocetta/smoother.hpp"

#include <algorithm>
#include <cmath>

namespace Vocetta::Host {

namespace {

// The first of the highest, the best state of the Viterbi passes.
size_t Best(const std::vector<double>& total) {
    size_t best = 0;
    for (size_t s = 1; s < total.size(); ++s) {
        if (total[s] > total[best]) best = s;
    }
    return best;
}

// One frame of the pass: `total` from the frame before to this one (`next` is scratch), and each
// state's back-pointer into `from` when given. Ties go to staying, then to the lowest index.
void Step(std::vector<double>& total, std::vector<double>& next, const float* row,
          double switchCost, int* from) {
    const size_t best = Best(total);
    const double switched = total[best] - switchCost;
    for (size_t s = 0; s < total.size(); ++s) {
        const bool stay = total[s] >= switched;
        next[s] = (stay ? total[s] : switched) + double(row[s]);
        if (from != nullptr) from[s] = static_cast<int>(stay ? s : best);
    }
    total.swap(next);
}

}  // namespace

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
    for (size_t t = 1; t < frames; ++t)
        Step(total, next, logScores.data() + t * states, double(switchCost),
             from.data() + t * states);
    std::vector<int> path(frames);
    size_t state = Best(total);
    for (size_t t = frames; t-- > 0;) {
        path[t] = static_cast<int>(state);
        state = static_cast<size_t>(from[t * states + state]);
    }
    return path;
}

ViterbiSmoother::ViterbiSmoother(size_t states, float switchCost, size_t lag)
    : total_(states), next_(states), from_(lag * states), switchCost_(switchCost), lag_(lag) {}

void ViterbiSmoother::Reset() {
    newest_ = 0;
    seen_ = 0;
}

int ViterbiSmoother::Update(const float* logScores) {
    const size_t n = total_.size();
    if (n == 0) return -1;
    if (seen_ == 0) {
        for (size_t s = 0; s < n; ++s)
            total_[s] = logScores[s];
    } else {
        int* from = nullptr;
        if (lag_ != 0) {
            newest_ = seen_ == 1 ? 0 : (newest_ + 1) % lag_;
            from = from_.data() + newest_ * n;
        }
        Step(total_, next_, logScores, switchCost_, from);
    }
    // Rows outside the contract (infinities) must not turn the totals into NaN: then they stay
    // as SmoothPath would have them.
    const double top = total_[Best(total_)];
    if (std::isfinite(top)) {
        for (double& total : total_)
            total -= top;
    }
    ++seen_;
    return Settled(std::min(lag_, seen_ - 1));
}

int ViterbiSmoother::Settled(size_t back) const {
    const size_t n = total_.size();
    if (n == 0 || back >= seen_ || back > lag_) return -1;
    // Back along the best path from its end: each step reads the pointers of the newer block.
    size_t state = Best(total_);
    for (size_t u = 0; u < back; ++u) {
        const size_t slot = (newest_ + lag_ - u) % lag_;
        state = static_cast<size_t>(from_[slot * n + state]);
    }
    return static_cast<int>(state);
}

CausalSmoother::CausalSmoother(size_t states, float switchProbability, float floor, size_t lag)
    : belief_(states),
      next_(states),
      pastBeliefs_(lag == 0 ? 0 : (lag + 1) * states),
      pastScores_(lag == 0 ? 0 : (lag + 1) * states),
      backward_(lag == 0 ? 0 : states),
      carried_(lag == 0 ? 0 : states),
      pastSilent_(lag == 0 ? 0 : lag + 1),
      switchProbability_(switchProbability),
      floor_(floor),
      lag_(lag) {
    Reset();
}

void CausalSmoother::Reset() {
    std::fill(belief_.begin(), belief_.end(),
              belief_.empty() ? 0.0f : 1.0f / static_cast<float>(belief_.size()));
    current_ = 0;
    newest_ = 0;
    seen_ = 0;
}

int CausalSmoother::Update(const float* scores) {
    const size_t n = belief_.size();
    if (n == 0) return -1;
    bool evidence = false;
    for (size_t s = 0; s < n; ++s)
        evidence = evidence || (std::isfinite(scores[s]) && scores[s] > 0);
    // Predict (stay with 1 - p, or come from any other phoneme alike), then weigh by the block.
    const float spread = n > 1 ? switchProbability_ / static_cast<float>(n - 1) : 0.0f;
    const float keep = n > 1 ? 1.0f - switchProbability_ : 1.0f;
    float total = 0;
    if (evidence) {
        for (size_t s = 0; s < n; ++s) {
            const float prior = keep * belief_[s] + spread * (1.0f - belief_[s]);
            const float likelihood =
                std::isfinite(scores[s]) ? std::max(scores[s], floor_) : floor_;
            next_[s] = prior * likelihood;
            total += next_[s];
        }
    }
    const bool silent = !(total > 0);
    if (!silent) {
        int best = 0;
        for (size_t s = 0; s < n; ++s) {
            belief_[s] = next_[s] / total;
            if (belief_[s] > belief_[static_cast<size_t>(best)]) best = static_cast<int>(s);
        }
        current_ = best;
    }
    const bool first = seen_ == 0;
    ++seen_;
    if (lag_ == 0) return current_;
    // The block joins the lag: its forward belief, its scores as the likelihoods above, silence.
    newest_ = first ? 0 : (newest_ + 1) % (lag_ + 1);
    std::copy(belief_.begin(), belief_.end(),
              pastBeliefs_.begin() + static_cast<long>(newest_ * n));
    float* past = pastScores_.data() + newest_ * n;
    for (size_t s = 0; s < n; ++s)
        past[s] = std::isfinite(scores[s]) ? std::max(scores[s], floor_) : floor_;
    pastSilent_[newest_] = silent ? 1 : 0;
    return Settled(std::min(lag_, seen_ - 1));
}

int CausalSmoother::Settled(size_t back) const {
    const size_t n = belief_.size();
    if (n == 0 || back >= seen_ || back > lag_) return -1;
    if (lag_ == 0) return current_;
    const float spread = n > 1 ? switchProbability_ / static_cast<float>(n - 1) : 0.0f;
    const float keep = n > 1 ? 1.0f - switchProbability_ : 1.0f;
    const size_t slots = lag_ + 1;
    // What the blocks after the one asked for say about each of its phonemes, newest first (the
    // backward pass; the model is symmetric, so a step back moves like a step forward). A
    // silent block changes nothing either way.
    std::fill(backward_.begin(), backward_.end(), 1.0f);
    for (size_t u = 0; u < back; ++u) {
        const size_t slot = (newest_ + slots - u) % slots;
        if (pastSilent_[slot]) continue;
        const float* likelihood = pastScores_.data() + slot * n;
        float sum = 0;
        for (size_t s = 0; s < n; ++s) {
            carried_[s] = likelihood[s] * backward_[s];
            sum += carried_[s];
        }
        float norm = 0;
        for (size_t s = 0; s < n; ++s) {
            backward_[s] = keep * carried_[s] + spread * (sum - carried_[s]);
            norm += backward_[s];
        }
        if (!(norm > 0)) break;
        for (size_t s = 0; s < n; ++s)
            backward_[s] /= norm;
    }
    const float* forward = pastBeliefs_.data() + ((newest_ + slots - back) % slots) * n;
    int best = 0;
    float bestValue = forward[0] * backward_[0];
    for (size_t s = 1; s < n; ++s) {
        const float value = forward[s] * backward_[s];
        if (value > bestValue) {
            best = static_cast<int>(s);
            bestValue = value;
        }
    }
    return best;
}

}  // namespace Vocetta::Host
