// Turning frame-by-frame phoneme scores into a steady phoneme track, offline and in real time.
//
// Offline (a whole recording at hand): SmoothPath finds the phoneme sequence that best explains
// every frame's scores while paying a cost for each change of phoneme (a Viterbi pass).
//
// Real time (one call per captured block), two ways. ViterbiSmoother runs SmoothPath's pass as
// the blocks come and answers, a fixed number of blocks late, with the state the best path so
// far passes through there: the offline track's own kind of decision, and the better labels
// (docs/integration.md). CausalSmoother keeps a belief over the phonemes that
// each block's scores update (the forward pass of a hidden Markov model whose phoneme stays
// from one block to the next unless it switches, with a fixed probability of switching), and
// reports the most likely phoneme now. It allocates only when constructed:
//
//     Vocetta::Host::CausalSmoother smoother(phonemeCount, 0.05f);
//     // every block, after the lip-sync job has written `scores` (one per phoneme, sum 1):
//     const int phoneme = smoother.Update(scores);
//
// With no lag it adds no latency, but a phoneme's first blocks are still read as the phoneme
// before it, since nothing after them is known yet: the beginnings of short vowels go to their
// neighbours. A lag of L blocks answers instead for the block L updates back, from the blocks
// before and after it (fixed-lag smoothing: the forward belief of that block times what the L
// blocks since then say about it), at L blocks of latency.
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

// SmoothPath one block at a time: after each block, the best path over every block so far (the
// same log scores, switch cost and ties), read `lag` blocks back. Later blocks can still move the
// best path's earlier states, so an answer may differ from SmoothPath's for the same block;
// with a lag as long as the stream, the answers at its end (Settled) are SmoothPath's path. It
// allocates only when constructed and costs a few comparisons per state and one step per block
// of lag:
//
//     Vocetta::Host::ViterbiSmoother smoother(states, 2.0f, 2);  // the tool's cost, 20 ms late
//     // every block: the log scores SmoothPath would read for it (LogScore of the job's scores,
//     // or silence alone for a block below the gate)
//     const int phoneme = smoother.Update(logScores);  // the block two updates back
class ViterbiSmoother {
  public:
    explicit ViterbiSmoother(size_t states, float switchCost = 2.0f, size_t lag = 2);

    // One block's log scores (`states` values, as SmoothPath reads a frame's row); returns the
    // state of the block `lag` updates back (of the first block while fewer have come) on the
    // best path given every block so far. -1 when there are no states.
    int Update(const float* logScores);
    // The state of the block `back` updates before the last (0 ... lag, and below the number of
    // updates) on the best path so far: at the end of a stream, the answers for its last `lag`
    // blocks. -1 out of range.
    int Settled(size_t back) const;
    // Back to no block at all.
    void Reset();
    size_t Lag() const { return lag_; }

  private:
    // total_[s]: the best path's score ending in s now, less the best of them (so that a stream
    // of any length keeps its scores within a switch cost and one impossible row of 0); from_,
    // a ring of the last `lag` blocks' back-pointers: the state at the block before each.
    std::vector<double> total_, next_;
    std::vector<int> from_;
    double switchCost_;
    size_t lag_, newest_ = 0, seen_ = 0;
};

class CausalSmoother {
  public:
    // `states` phonemes; `switchProbability` (0 ... 1) is the chance per block that the phoneme
    // changes, so small values hold a phoneme longer against stray blocks; `floor` keeps a
    // block that scores a phoneme 0 from ruling it out for good; `lag` blocks of latency buy
    // the evidence of that many later blocks.
    explicit CausalSmoother(size_t states, float switchProbability = 0.05f, float floor = 1.0e-4f,
                            size_t lag = 0);

    // One block's scores (`states` values, the job's normalised scores or any non-negative
    // likelihoods); returns the most likely phoneme of the block `lag` updates back (of the
    // first block while fewer have come), given every block so far (lowest index on ties). A
    // block whose scores are all 0 or not finite (a silent block) leaves the belief unchanged
    // and tells nothing about its neighbours, but takes its place in the lag, so that the
    // answer is always for the block `lag` updates back: give silent blocks too when there is a
    // lag, and delay whatever goes with the answer (the block's volume, a gate) as much.
    int Update(const float* scores);
    // The most likely phoneme of the block `back` updates before the last (0 ... lag, and
    // below the number of updates), given every block so far: at the end of a stream, the
    // answers for the last `lag` blocks, which no later block will settle. -1 out of range.
    int Settled(size_t back) const;
    // Back to no knowledge: every phoneme equally likely, no block in the lag.
    void Reset();

    // The forward pass now: the belief after the last block, and its most likely phoneme (what
    // Update answers without a lag).
    const std::vector<float>& Belief() const { return belief_; }
    int Current() const { return current_; }
    size_t Lag() const { return lag_; }

  private:
    // The last lag + 1 blocks, newest at `newest_`: each one's forward belief, its floored
    // scores, and whether it was silent.
    std::vector<float> belief_, next_, pastBeliefs_, pastScores_;
    mutable std::vector<float> backward_, carried_;  // scratch of Settled, sized once
    std::vector<unsigned char> pastSilent_;
    float switchProbability_, floor_;
    size_t lag_, newest_ = 0, seen_ = 0;
    int current_ = 0;
};

}  // namespace Vocetta::Host
