#include "refine.hpp"

#include <algorithm>
#include <cmath>

namespace Vocetta::Tool {
namespace {

constexpr double kLn10 = 2.302585092994046;
constexpr double kBeta1 = 0.9, kBeta2 = 0.999, kEpsilon = 1e-8;

// Adam over one flat parameter vector.
struct Adam {
    std::vector<double> first, second;
    long step = 0;

    explicit Adam(size_t size) : first(size, 0.0), second(size, 0.0) {}

    void Apply(std::vector<double>& parameters, const std::vector<double>& gradient, double rate) {
        ++step;
        const double c1 = 1.0 - std::pow(kBeta1, double(step));
        const double c2 = 1.0 - std::pow(kBeta2, double(step));
        for (size_t i = 0; i < parameters.size(); ++i) {
            first[i] = kBeta1 * first[i] + (1.0 - kBeta1) * gradient[i];
            second[i] = kBeta2 * second[i] + (1.0 - kBeta2) * gradient[i] * gradient[i];
            parameters[i] -= rate * (first[i] / c1) / (std::sqrt(second[i] / c2) + kEpsilon);
        }
    }
};

// A small deterministic generator (splitmix64), so the frame order does not depend on the
// standard library's distributions.
uint64_t Next(uint64_t& state) {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

void RefineProfile(Profile& profile, const std::vector<float>& frames,
                   const std::vector<int>& phonemes, const RefineSettings& settings) {
    const int method = profile.scoreMethod;
    const auto m = static_cast<size_t>(profile.coefficients);
    const size_t n = m == 0 ? 0 : frames.size() / m;
    if (settings.epochs <= 0 || n == 0 || (method != 0 && method != 1)) return;

    // Parameters: the log of each coefficient's weight (1 / standard deviation), then every
    // reference in weighted units, (reference - mean) * weight.
    std::vector<int> owner;
    std::vector<double> parameters(m);
    for (size_t i = 0; i < m; ++i)
        parameters[i] = -std::log(double(profile.standardDeviations[i]));
    for (size_t p = 0; p < profile.phonemes.size(); ++p) {
        for (const std::vector<float>& reference : profile.phonemes[p].references) {
            owner.push_back(static_cast<int>(p));
            for (size_t i = 0; i < m; ++i) {
                parameters.push_back((double(reference[i]) - profile.means[i]) /
                                     profile.standardDeviations[i]);
            }
        }
    }
    const size_t rows = owner.size();
    std::vector<double> counts(profile.phonemes.size(), 0.0);
    for (int phoneme : phonemes)
        counts[static_cast<size_t>(phoneme)] += 1.0;
    std::vector<double> classWeight(counts.size(), 0.0);
    size_t present = 0;
    for (double count : counts)
        present += count > 0 ? 1 : 0;
    for (size_t p = 0; p < counts.size(); ++p)
        classWeight[p] = counts[p] > 0 ? double(n) / (double(present) * counts[p]) : 0.0;

    std::vector<size_t> order(n);
    for (size_t f = 0; f < n; ++f)
        order[f] = f;
    uint64_t state = settings.seed;
    Adam adam(parameters.size());
    std::vector<double> gradient(parameters.size()), z(m), diff(rows * m), distance(rows),
        logScore(rows), gradientZ(m), weights(m);
    for (int epoch = 0; epoch < settings.epochs; ++epoch) {
        for (size_t f = n; f > 1; --f)
            std::swap(order[f - 1], order[Next(state) % f]);
        for (size_t start = 0; start < n; start += settings.batch) {
            const size_t end = std::min(n, start + settings.batch);
            std::fill(gradient.begin(), gradient.end(), 0.0);
            // The weights change only between steps.
            for (size_t i = 0; i < m; ++i)
                weights[i] = std::exp(parameters[i]);
            const double* references = parameters.data() + m;
            for (size_t b = start; b < end; ++b) {
                const size_t frame = order[b];
                const float* x = frames.data() + frame * m;
                const int target = phonemes[frame];
                for (size_t i = 0; i < m; ++i)
                    z[i] = (double(x[i]) - profile.means[i]) * weights[i];
                double best = -INFINITY;
                for (size_t r = 0; r < rows; ++r) {
                    double sum = 0;
                    for (size_t i = 0; i < m; ++i) {
                        const double d = z[i] - references[r * m + i];
                        diff[r * m + i] = d;
                        sum += method == 1 ? d * d : std::fabs(d);
                    }
                    distance[r] =
                        method == 1 ? std::sqrt(sum / double(m) + 1e-12) : sum / double(m);
                    logScore[r] = -kLn10 * distance[r];
                    best = std::max(best, logScore[r]);
                }
                double total = 0, own = 0;
                for (size_t r = 0; r < rows; ++r) {
                    logScore[r] = std::exp(logScore[r] - best);  // now the score, scaled
                    total += logScore[r];
                    if (owner[r] == target) own += logScore[r];
                }
                const double weight =
                    classWeight[static_cast<size_t>(target)] / double(end - start);
                std::fill(gradientZ.begin(), gradientZ.end(), 0.0);
                for (size_t r = 0; r < rows; ++r) {
                    // d loss / d log score, then through the distance to the vectors.
                    const double share =
                        logScore[r] / total - (owner[r] == target ? logScore[r] / own : 0.0);
                    const double byDistance = -kLn10 * share * weight;
                    for (size_t i = 0; i < m; ++i) {
                        const double d = diff[r * m + i];
                        const double g = method == 1 ? byDistance * d / (double(m) * distance[r])
                                                     : byDistance *
                                                           (d > 0   ? 1.0
                                                            : d < 0 ? -1.0
                                                                    : 0.0) /
                                                           double(m);
                        gradient[m + r * m + i] -= g;
                        gradientZ[i] += g;
                    }
                }
                for (size_t i = 0; i < m; ++i)
                    gradient[i] += gradientZ[i] * z[i];  // z = (x - mean) * exp(log weight)
            }
            adam.Apply(parameters, gradient, settings.rate);
        }
    }

    size_t row = 0;
    for (size_t i = 0; i < m; ++i)
        profile.standardDeviations[i] = static_cast<float>(std::exp(-parameters[i]));
    for (Phoneme& phoneme : profile.phonemes) {
        for (std::vector<float>& reference : phoneme.references) {
            for (size_t i = 0; i < m; ++i) {
                reference[i] = static_cast<float>(parameters[m + row * m + i] *
                                                      double(profile.standardDeviations[i]) +
                                                  profile.means[i]);
            }
            ++row;
        }
    }
}

}  // namespace Vocetta::Tool
