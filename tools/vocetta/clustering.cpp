#include "clustering.hpp"

#include <algorithm>
#include <limits>
#include <numeric>

namespace Vocetta::Tool {
namespace {

constexpr int kIterations = 30;
// Automatic count: one reference per this many frames (about 10 s of speech at a 10 ms hop),
// at most kMaxAutomatic.
constexpr size_t kFramesPerReference = 1000;
constexpr size_t kMaxAutomatic = 4;

double Distance(const float* frame, const std::vector<double>& centre,
                const std::vector<double>& weights) {
    double sum = 0;
    for (size_t i = 0; i < centre.size(); ++i) {
        const double d = (frame[i] - centre[i]) * weights[i];
        sum += d * d;
    }
    return sum;
}

}  // namespace

size_t AutomaticReferenceCount(size_t frames) {
    return std::clamp<size_t>(frames / kFramesPerReference, 1, kMaxAutomatic);
}

std::vector<std::vector<float>> ClusterMeans(const std::vector<float>& frames, size_t dimensions,
                                             const std::vector<float>& scales, size_t count) {
    const size_t n = dimensions == 0 ? 0 : frames.size() / dimensions;
    if (n == 0 || count == 0) return {};
    std::vector<double> weights(dimensions);
    for (size_t i = 0; i < dimensions; ++i)
        weights[i] = 1.0 / scales[i];
    auto frame = [&](size_t f) { return frames.data() + f * dimensions; };

    std::vector<double> mean(dimensions, 0.0);
    for (size_t f = 0; f < n; ++f) {
        for (size_t i = 0; i < dimensions; ++i)
            mean[i] += frame(f)[i];
    }
    for (double& value : mean)
        value /= double(n);

    // Seeds: the frame nearest the mean, then farthest-first.
    std::vector<std::vector<double>> centres;
    std::vector<double> nearest(n, std::numeric_limits<double>::infinity());
    size_t seed = 0;
    double seedDistance = std::numeric_limits<double>::infinity();
    for (size_t f = 0; f < n; ++f) {
        const double d = Distance(frame(f), mean, weights);
        if (d < seedDistance) seed = f, seedDistance = d;
    }
    while (centres.size() < std::min(count, n)) {
        centres.emplace_back(frame(seed), frame(seed) + dimensions);
        double farthest = -1;
        for (size_t f = 0; f < n; ++f) {
            nearest[f] = std::min(nearest[f], Distance(frame(f), centres.back(), weights));
            if (nearest[f] > farthest) seed = f, farthest = nearest[f];
        }
        if (farthest <= 0) break;  // every frame already sits on a centre
    }

    std::vector<size_t> owner(n, 0), sizes;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        bool moved = false;
        for (size_t f = 0; f < n; ++f) {
            size_t best = 0;
            double bestDistance = std::numeric_limits<double>::infinity();
            for (size_t c = 0; c < centres.size(); ++c) {
                const double d = Distance(frame(f), centres[c], weights);
                if (d < bestDistance) best = c, bestDistance = d;
            }
            moved = moved || owner[f] != best || iteration == 0;
            owner[f] = best;
        }
        sizes.assign(centres.size(), 0);
        std::vector<std::vector<double>> sums(centres.size(), std::vector<double>(dimensions));
        for (size_t f = 0; f < n; ++f) {
            ++sizes[owner[f]];
            for (size_t i = 0; i < dimensions; ++i)
                sums[owner[f]][i] += frame(f)[i];
        }
        // A centre that lost all its frames stays where it was (and is dropped at the end).
        for (size_t c = 0; c < centres.size(); ++c) {
            for (size_t i = 0; sizes[c] != 0 && i < dimensions; ++i)
                centres[c][i] = sums[c][i] / double(sizes[c]);
        }
        if (!moved) break;
    }

    std::vector<size_t> order(centres.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return sizes[a] > sizes[b]; });
    std::vector<std::vector<float>> means;
    for (size_t c : order) {
        if (sizes[c] == 0) continue;
        means.emplace_back(centres[c].begin(), centres[c].end());
    }
    return means;
}

}  // namespace Vocetta::Tool
