// Several references for one phoneme: its calibration frames grouped into clusters whose means
// become the references, so that a phoneme spoken by different voices is matched by the
// nearest of them rather than by one average that none of the voices produces.
#pragma once

#include <cstddef>
#include <vector>

namespace Vocetta::Tool {

// Up to `count` cluster means of `frames` (frames.size() / dimensions vectors, one after the
// other), found by k-means with squared distances measured in units of `scales` (the profile's
// standard deviations, as the job measures). Deterministic: the first centre is the frame
// nearest the mean, each further one the frame farthest from the centres so far; empty
// clusters are dropped. Means are ordered by cluster size, largest first.
std::vector<std::vector<float>> ClusterMeans(const std::vector<float>& frames, size_t dimensions,
                                             const std::vector<float>& scales, size_t count);

// The reference count that `--references auto` gives a phoneme with `frames` kept frames.
size_t AutomaticReferenceCount(size_t frames);

}  // namespace Vocetta::Tool
