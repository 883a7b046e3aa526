// A lip-sync job record together with the arrays it points at: what the tests, the benchmarks, the
// soak and the fuzz targets hand to LipSyncJob_Execute when they call it directly. Every array is
// a view labelled "none", so the library never releases it.
#pragma once

#include <cstdint>
#include <vector>

#include "vocetta/vocetta.h"

namespace Vocetta::Testing {

// A view of memory the caller owns.
template <typename T>
NativeArray View(std::vector<T>& values) {
    return {values.data(), static_cast<int32_t>(values.size()), VOCETTA_ALLOCATOR_NONE};
}

struct JobArrays {
    std::vector<float> input, means, deviations, profiles, mfcc, scores;
    LipSyncResult result[1] = {};
    LipSyncJob record{};

    JobArrays() = default;
    // A copy's record points at the copy's own arrays wherever the original's pointed at the
    // original's, and keeps every other field (lengths, labels, other memory) as it was.
    JobArrays(const JobArrays& other) { *this = other; }
    JobArrays& operator=(const JobArrays& other) {
        input = other.input;
        means = other.means;
        deviations = other.deviations;
        profiles = other.profiles;
        mfcc = other.mfcc;
        scores = other.scores;
        result[0] = other.result[0];
        record = other.record;
        Follow(record.input, other.record.input, other.input, input);
        Follow(record.means, other.record.means, other.means, means);
        Follow(record.standardDeviations, other.record.standardDeviations, other.deviations,
               deviations);
        Follow(record.phonemeProfiles, other.record.phonemeProfiles, other.profiles, profiles);
        Follow(record.mfcc, other.record.mfcc, other.mfcc, mfcc);
        Follow(record.scores, other.record.scores, other.scores, scores);
        if (other.record.result.pointer == other.result) record.result.pointer = result;
        return *this;
    }

    // Points each of the record's arrays at the whole of its vector, and the result at `result`.
    void Bind() {
        record.input = View(input);
        record.means = View(means);
        record.standardDeviations = View(deviations);
        record.phonemeProfiles = View(profiles);
        record.mfcc = View(mfcc);
        record.scores = View(scores);
        record.result = {result, 1, VOCETTA_ALLOCATOR_NONE};
    }

  private:
    static void Follow(NativeArray& mine, const NativeArray& theirs, const std::vector<float>& from,
                       std::vector<float>& to) {
        if (theirs.pointer == from.data()) mine.pointer = to.data();
    }
};

}  // namespace Vocetta::Testing
