#include "vocetta/ring.hpp"

#include <cmath>
#include <cstdint>

namespace Vocetta::Host {
namespace {

constexpr int64_t kMaxRingLength = int64_t{1} << 24;

// The down-sampler's own output length for a block of `length` samples (fractional ratio).
int InterpolatedLength(int length, int sampleRate, int targetRate) {
    const float ratio = static_cast<float>(sampleRate) / static_cast<float>(targetRate);
    return static_cast<int>(std::rint(static_cast<float>(length) / ratio));
}

}  // namespace

int RingLength(const Profile& profile, int sampleRate, const std::string& origin) {
    const int target = profile.targetSampleRate;
    const int block = profile.blockLength;
    if (sampleRate < target) {
        throw ProfileError(origin + ": sample rate " + std::to_string(sampleRate) +
                           " Hz is below the profile's analysis rate of " + std::to_string(target) +
                           " Hz (the job does not up-sample); use a recording at " +
                           std::to_string(target) + " Hz or more");
    }
    if (sampleRate % target == 0) {
        const int64_t length = int64_t{block} * (sampleRate / target);
        if (length > kMaxRingLength) {
            throw ProfileError(origin + ": sample rate " + std::to_string(sampleRate) +
                               " Hz is too high to analyse");
        }
        return static_cast<int>(length);
    }
    const auto guess = static_cast<int64_t>(std::llround(double(block) * sampleRate / target));
    if (guess > kMaxRingLength) {
        throw ProfileError(origin + ": sample rate " + std::to_string(sampleRate) +
                           " Hz is too high to analyse");
    }
    for (int64_t offset = 0; offset <= 4; ++offset) {
        for (int64_t candidate : {guess - offset, guess + offset}) {
            if (candidate > 0 &&
                InterpolatedLength(static_cast<int>(candidate), sampleRate, target) == block) {
                return static_cast<int>(candidate);
            }
        }
    }
    throw ProfileError(origin + ": sample rate " + std::to_string(sampleRate) +
                       " Hz gives no block that resamples to " + std::to_string(block) +
                       " samples at " + std::to_string(target) + " Hz");
}

}  // namespace Vocetta::Host
