// Test-only doors into one build's internal functions (compiled once per build, like the
// kernels), exported from libvocetta_testing.so with the build's suffix.
#include "algorithm/algorithm.h"
#include "frame/symbol.h"

#define VOCETTA_TESTING_SYMBOL(name) VOCETTA_SYMBOL("vocetta_testing_" name VOCETTA_VARIANT_SUFFIX)

using namespace Vocetta::VOCETTA_VARIANT;

extern "C" {

VOCETTA_EXPORT void TestingDispose(NativeArray* view) VOCETTA_TESTING_SYMBOL("dispose");
void TestingDispose(NativeArray* view) { Dispose(*view); }

}
