// Processor probe: CPUID and XCR0 reduced to feature bits, the bits to a level from 0 to 6, and
// the level to a build. The reduction takes its answers from a ProcessorQueries so that a
// test can play any processor; the library plays the real one.
#pragma once

#include <stdint.h>
#include <vocetta/vocetta.h>

namespace Vocetta::Frame {

// Filled once by the probe: the vendor code is written last, so non-zero means "probed".
struct CpuModel {
    uint32_t vendor;    // 0 not probed, 1 "Genu", 2 "Auth", 3 other or no basic leaves
    uint32_t features;  // Feature bits below
};

enum Feature : uint32_t {
    kPopcnt = 1u << 2,
    kSse2 = 1u << 4,
    kSse3 = 1u << 5,
    kSse41 = 1u << 7,
    kSse42 = 1u << 8,
    kAvx = 1u << 9,
    kAvx2 = 1u << 10,
    kFma = 1u << 14,
    kF16c = 1u << 15,
};

struct ProcessorQueries {
    // registers[0..3] = EAX, EBX, ECX, EDX of CPUID(leaf, subleaf).
    void (*cpuid)(void* context, uint32_t leaf, uint32_t subleaf, uint32_t registers[4]);
    uint64_t (*xgetbv)(void* context, uint32_t index);
    void* context;
};

// The real processor.
ProcessorQueries HardwareQueries();

// Fills `model` unless it is filled already. 0 after a probe or when there was nothing to do,
// -1 when CPUID leaf 0 reports no basic leaves.
int32_t ProbeProcessor(CpuModel& model, const ProcessorQueries& queries);

// Highest level whose feature mask is complete: 6, 5, 4, 3, 2; else 1 with SSE2, else 0.
int32_t FeatureLevel(uint32_t features);

// The builds of VOCETTA_BUILDS by their index in the list, 0 being the baseline.
inline constexpr int32_t kBuildCount = 0
#define VOCETTA_COUNT_BUILD(name, Name, firstLevel, lastLevel, extensions) +1
    VOCETTA_BUILDS(VOCETTA_COUNT_BUILD)
#undef VOCETTA_COUNT_BUILD
    ;

// The build that runs at `level`: the one whose levels hold it, else the baseline.
inline int32_t SelectedBuild(int32_t level) {
    int32_t selected = 0, build = 0;
#define VOCETTA_CLAIM_LEVEL(name, Name, firstLevel, lastLevel, extensions)            \
    if (build > 0 && level >= (firstLevel) && level <= (lastLevel)) selected = build; \
    ++build;
    VOCETTA_BUILDS(VOCETTA_CLAIM_LEVEL)
#undef VOCETTA_CLAIM_LEVEL
    return selected;
}

}  // namespace Vocetta::Frame
