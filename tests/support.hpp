// Shared ground for the suite: the libraries under test, loaded once through the host SDK as a
// host would, and a fixture that runs a test on each build of the library.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vocetta/host_services.hpp"
#include "vocetta/library.hpp"

namespace Vocetta::Testing {

// libvocetta.so, as shipped.
const Host::Library& Library();
// libvocetta_testing.so: the same objects plus doors into internal functions.
const Host::Library& TestingLibrary();

// A symbol of the testing library, typed; fails the test when absent.
template <typename Function>
Function TestingSymbol(const std::string& name) {
    void* address = TestingLibrary().symbol(name.c_str());
    EXPECT_NE(address, nullptr) << "libvocetta_testing.so lacks " << name;
    return reinterpret_cast<Function>(address);
}

// The same, for an internal function of one build: name + "_x64_sse2" or "_avx2".
template <typename Function>
Function TestingSymbol(const std::string& name, Host::Variant variant) {
    return TestingSymbol<Function>(name + Host::VariantSuffix(variant));
}

// Runs each test once per build; a build the processor cannot run is skipped.
class BuildTest : public ::testing::TestWithParam<Host::Variant> {
  protected:
    void SetUp() override {
        if (!Host::Supports(GetParam()))
            GTEST_SKIP() << "this processor cannot run " << Host::VariantName(GetParam());
    }
    Host::Variant build() const { return GetParam(); }
    const Host::Entries& entries() const { return Library().variant(GetParam()); }
};

std::string BuildName(const ::testing::TestParamInfo<Host::Variant>& info);

#define VOCETTA_TEST_EACH_BUILD(Suite)                                                       \
    INSTANTIATE_TEST_SUITE_P(Builds, Suite, ::testing::ValuesIn(::Vocetta::Host::kVariants), \
                             ::Vocetta::Testing::BuildName)

// Bit-level equality, so that NaN equals NaN and -0 differs from +0.
inline bool SameBits(float a, float b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// `length` floats drawn uniformly from [-scale, scale], the same for the same seed.
std::vector<float> RandomBlock(int64_t length, uint32_t seed, float scale = 1.0f);

// Units in the last place between two finite floats of the same sign.
int64_t UlpDistance(float a, float b);

// Fails the test on any allocator fault or leak that `accounting` has seen.
void ExpectCleanTraffic(const Host::Accounting& accounting);

}  // namespace Vocetta::Testing
