// One libFuzzer program: the target its build names (fuzz/CMakeLists.txt).
#include "harness.hpp"
#include "targets.hpp"

// Loading the library before the first input lets libFuzzer count its coverage from the start.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Vocetta::Fuzz::Library();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return Vocetta::Fuzz::VOCETTA_FUZZ_TARGET(data, size);
}
