// Turning frame-by-frame phoneme scores into a steady phoneme track, offline and in real time.
//
// Offline (a whole recording at hand): SmoothPath finds the phoneme sequence that best explains
// every frame's scores while paying a cost for each change of phoneme (a Viterbi pass).
//
// Real time (one call per captured block): CausalSmoother keeps a belief over the phonemes that
// each block's scores update (the forward pass of a hidden Markov model whose phoneme stays
// from one block to the next unless it switches, with a fixed probability of switching), and
// reports the most likely phoneme now. It adds no latency and allocates only when constructed:
//
//     Vocetta::Host::CausalSmoother smoother(phonemeCount, 0.05f);
//     // every block, after the lip-sync job has written `scores` (one per phoneme, sum 1):
//     const int phoneme = smoother.Update(scores);
#pragma once

#include <cstddef>
#include <vector>

namespace Vocetta::Host {

// The best state sequence for `logScores` (frames x states, row by row: the log-likelihood of
// each state in each frame, any finite value or a very negative one for "impossible"): the
// path maximising the sum of its frames' log scores minus `switchCost` for every change of
// state. Ties go to staying, then to the lowest state index. Empty input gives an empty path.
std::vector<int> SmoothPath(const std::vector<float>& logScores, size_t states, float switchCost);

// The log score SmoothPath reads for a frame's normalised score (0 ... 1): the natural
// logarithm, with 0 and below (no evidence at all) floored at kImpossibleLogScore.
float LogScore(float score);
inline constexpr float kImpossibleLogScore = -1.0e6f;

class CausalSmoother {
  public:
    // `states` phonemes; `switchProbability` (0 ... 1) is the chance per block that the phoneme
    // changes, so small values hold a phoneme longer against stray blocks; `floor` keeps a
    // block that scores a phoneme 0 from ruling it out for good.
    explicit CausalSmoother(size_t states, float switchProbability = 0.05f, float floor = 1.0e-4f);

    // One block's scores (`states` values, the job's normalised scores or any non-negative
    // likelihoods); returns the most likely phoneme after it (lowest index on ties). A block
    // whose scores are all 0 or not finite (a silent block) leaves the belief unchanged.
    int Update(const float* scores);
    // Back to no knowledge: every phoneme equally likely.
    void Reset();

    const std::vector<float>& Belief() const { return belief_; }
    int Current() const { return current_; }

  private:
    std::vector<float> belief_, next_;
    float switchProbability_, floor_;
    int current_ = 0;
};

}  // namespace Vocetta::Host
