#include "support.hpp"

#include <cstdlib>
#include <random>

namespace Vocetta::Testing {

const Host::Library& Library() {
    static const Host::Library library(VOCETTA_LIBRARY_PATH);
    return library;
}

const Host::Library& TestingLibrary() {
    static const Host::Library library(VOCETTA_TESTING_LIBRARY_PATH);
    return library;
}

std::string BuildName(const ::testing::TestParamInfo<Host::Variant>& info) {
    return Host::VariantName(info.param);
}

std::vector<float> RandomBlock(int64_t length, uint32_t seed, float scale) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> uniform(-scale, scale);
    std::vector<float> block(static_cast<size_t>(length));
    for (float& x : block)
        x = uniform(random);
    return block;
}

int64_t UlpDistance(float a, float b) {
    int32_t ia, ib;
    std::memcpy(&ia, &a, sizeof a);
    std::memcpy(&ib, &b, sizeof b);
    // Map the sign-magnitude bit patterns onto one ordered integer line.
    const int64_t la = ia < 0 ? int64_t{INT32_MIN} - ia : ia;
    const int64_t lb = ib < 0 ? int64_t{INT32_MIN} - ib : ib;
    return std::llabs(la - lb);
}

void ExpectCleanTraffic(const Host::Accounting& accounting) {
    for (const Host::AllocatorFault& fault : accounting.faults()) {
        ADD_FAILURE() << "allocator fault: " << fault.describe();
    }
    for (const Host::Leak& leak : accounting.leaks()) {
        ADD_FAILURE() << "leak: " << leak.size << " bytes, label " << leak.label << ", allocation #"
                      << leak.callIndex;
    }
}

}  // namespace Vocetta::Testing
