// Test-only doors into the library's internals, linked into libvocetta_testing.so beside the same
// objects that make libvocetta.so. Nothing here ships.
#include "frame/cpu.h"
#include "frame/symbol.h"

using namespace Vocetta::Frame;

extern "C" {

VOCETTA_EXPORT int32_t vocetta_testing_probe(CpuModel* model, const ProcessorQueries* queries) {
    return ProbeProcessor(*model, *queries);
}

VOCETTA_EXPORT int32_t vocetta_testing_feature_level(uint32_t features) {
    return FeatureLevel(features);
}

// The index in VOCETTA_BUILDS of the build that runs at `level`.
VOCETTA_EXPORT int32_t vocetta_testing_selected_build(int32_t level) {
    return SelectedBuild(level);
}

extern CpuModel __cpu_model;
VOCETTA_EXPORT const CpuModel* vocetta_testing_cpu_model() {
    return &__cpu_model;
}
}
