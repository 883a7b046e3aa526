// Discriminative refinement of a calibrated profile. Cluster means describe each phoneme on its
// own; they do not know where one phoneme's frames crowd another's. Refinement moves every
// reference, and the per-coefficient scales the job divides by, so that each calibration frame's
// own phoneme wins as much of the job's normalised score as it can: gradient descent on the
// cross-entropy of the folded (summed) scores, each phoneme's frames weighted alike so that a
// phoneme with many frames does not crowd out one with few. Only the distance-based score
// methods are refined (the cosine's power of 100 gives no usable gradient).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "profile.hpp"

namespace Vocetta::Tool {

struct RefineSettings {
    int epochs = 0;       // passes over the frames; 0 leaves the profile as it is
    double rate = 0.01;   // step size (Adam)
    size_t batch = 2048;  // frames per step
    uint64_t seed = 1;    // the frame order of each pass, so a calibration is repeatable
};

// `frames` holds frames.size() / profile.coefficients MFCC vectors, `phonemes` the index of each
// frame's phoneme in profile.phonemes. Changes the references and standardDeviations of
// `profile` in place (means stay); the result is the same on every run for the same input.
void RefineProfile(Profile& profile, const std::vector<float>& frames,
                   const std::vector<int>& phonemes, const RefineSettings& settings);

}  // namespace Vocetta::Tool
