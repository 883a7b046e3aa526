// Initialisation, the dispatch table and the forwarders the host calls, generated from
// VOCETTA_ENTRIES. Built once, for the baseline, since it runs before any choice is made.
#include <stddef.h>
#include <vocetta/vocetta.h>

#include "frame/build_table.h"
#include "frame/cpu.h"
#include "frame/symbol.h"

namespace Vocetta::Frame {

// Every build's table, in the order of VOCETTA_BUILDS, defined by that build's entries.cpp.
#define VOCETTA_DECLARE_BUILD_TABLE(name, Name, firstLevel, lastLevel, extensions) \
    extern "C" __attribute__((visibility("hidden"))) const BuildTable gBuildTable_##name;
VOCETTA_BUILDS(VOCETTA_DECLARE_BUILD_TABLE)
#undef VOCETTA_DECLARE_BUILD_TABLE

constexpr const BuildTable* kBuildTables[] = {
#define VOCETTA_BUILD_TABLE_ADDRESS(name, Name, firstLevel, lastLevel, extensions) \
    &gBuildTable_##name,
    VOCETTA_BUILDS(VOCETTA_BUILD_TABLE_ADDRESS)
#undef VOCETTA_BUILD_TABLE_ADDRESS
};
static_assert(sizeof(kBuildTables) / sizeof(kBuildTables[0]) == kBuildCount);

// The list must follow the table order that the initialisation walks.
constexpr int32_t kEntryOrder[] = {
#define VOCETTA_ORDER(order, symbol, name, Result, Parameters, Arguments) order,
    VOCETTA_ENTRIES(VOCETTA_ORDER)
#undef VOCETTA_ORDER
};
constexpr bool Ascending() {
    for (size_t i = 1; i < sizeof(kEntryOrder) / sizeof(kEntryOrder[0]); ++i) {
        if (kEntryOrder[i] <= kEntryOrder[i - 1]) return false;
    }
    return kEntryOrder[0] >= 1 &&
           kEntryOrder[sizeof(kEntryOrder) / sizeof(kEntryOrder[0]) - 1] <= 23;
}
static_assert(Ascending(), "VOCETTA_ENTRIES must list the entries in table order");

// The dispatch table: the selected build's address of every entry, written only by
// duzuv.initialize and read by the forwarders.
struct DispatchTable {
#define VOCETTA_TABLE_SLOT(order, symbol, name, Result, Parameters, Arguments) \
    VocettaEntry##name name;
    VOCETTA_ENTRIES(VOCETTA_TABLE_SLOT)
#undef VOCETTA_TABLE_SLOT
};

}  // namespace Vocetta::Frame

extern "C" {
// The processor record of the library's own probe, zero at load.
Vocetta::Frame::CpuModel __cpu_model = {0, 0};

int32_t __cpu_indicator_init() {
    return Vocetta::Frame::ProbeProcessor(__cpu_model, Vocetta::Frame::HardwareQueries());
}

int32_t CpuGetFeatureX86_64() VOCETTA_SYMBOL("duzuv.cpu_get_feature_x86_64");
int32_t CpuGetFeatureX86_64() {
    __cpu_indicator_init();
    return Vocetta::Frame::FeatureLevel(__cpu_model.features);
}

Vocetta::Frame::DispatchTable gDispatchTable = {};

VOCETTA_EXPORT void Initialize(Vocetta::VocettaResolver resolver)
    VOCETTA_SYMBOL(VOCETTA_INITIALIZE_SYMBOL);

void Initialize(Vocetta::VocettaResolver resolver) {
    using namespace Vocetta::Frame;
    const BuildTable& build = *kBuildTables[SelectedBuild(CpuGetFeatureX86_64())];
#define VOCETTA_RUN_EXTERNALS(order, symbol, name, Result, Parameters, Arguments) \
    build.Externals##name(resolver);
#define VOCETTA_RUN_STATICS(order, symbol, name, Result, Parameters, Arguments) \
    build.Statics##name();
#define VOCETTA_FILL_SLOT(order, symbol, name, Result, Parameters, Arguments) \
    gDispatchTable.name = build.name;
    VOCETTA_ENTRIES(VOCETTA_RUN_EXTERNALS)
    VOCETTA_ENTRIES(VOCETTA_RUN_STATICS)
    VOCETTA_ENTRIES(VOCETTA_FILL_SLOT)
}
}

// The forwarders: one indirect jump each, arguments and results untouched.
#define VOCETTA_DEFINE_FORWARDER(order, symbol, name, Result, Parameters, Arguments)  \
    extern "C" VOCETTA_EXPORT Result Forward##name Parameters VOCETTA_SYMBOL(symbol); \
    extern "C" Result Forward##name Parameters {                                      \
        return gDispatchTable.name Arguments;                                         \
    }

namespace Vocetta {
VOCETTA_ENTRIES(VOCETTA_DEFINE_FORWARDER)
}
