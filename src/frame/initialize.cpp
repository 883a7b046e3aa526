// Initialisation, the dispatch table and the forwarders the host calls, generated from
// VOCETTA_ENTRIES. Built once, for the SSE2 baseline, since it runs before any choice is made.
#include <stddef.h>
#include <vocetta/vocetta.h>

#include "frame/cpu.h"
#include "frame/symbol.h"

namespace Vocetta::Frame {

// Both builds' symbols, as the entry list names them.
#define VOCETTA_DECLARE_VARIANTS(order, symbol, name, Result, Parameters, Arguments) \
    extern "C" Result name##_x64_sse2 Parameters VOCETTA_SYMBOL(symbol "_x64_sse2"); \
    extern "C" Result name##_avx2 Parameters VOCETTA_SYMBOL(symbol "_avx2");         \
    extern "C" void Externals##name##_x64_sse2(VocettaResolver)                      \
        VOCETTA_SYMBOL("duzuv.initialize.externals." symbol "_x64_sse2");            \
    extern "C" void Externals##name##_avx2(VocettaResolver)                          \
        VOCETTA_SYMBOL("duzuv.initialize.externals." symbol "_avx2");                \
    extern "C" void Statics##name##_x64_sse2()                                       \
        VOCETTA_SYMBOL("duzuv.initialize.statics." symbol "_x64_sse2");              \
    extern "C" void Statics##name##_avx2()                                           \
        VOCETTA_SYMBOL("duzuv.initialize.statics." symbol "_avx2");
VOCETTA_ENTRIES(VOCETTA_DECLARE_VARIANTS)
#undef VOCETTA_DECLARE_VARIANTS

// One build's entries, steps and all, in table order.
struct Variant {
#define VOCETTA_VARIANT_MEMBERS(order, symbol, name, Result, Parameters, Arguments) \
    VocettaEntry##name name;                                                        \
    void (*Externals##name)(VocettaResolver);                                       \
    void (*Statics##name)();
    VOCETTA_ENTRIES(VOCETTA_VARIANT_MEMBERS)
#undef VOCETTA_VARIANT_MEMBERS
};

#define VOCETTA_VARIANT_FIELDS(suffix) \
    { VOCETTA_ENTRIES(VOCETTA_VARIANT_FIELD_##suffix) }
#define VOCETTA_VARIANT_FIELD_x64_sse2(order, symbol, name, Result, Parameters, Arguments) \
    name##_x64_sse2, Externals##name##_x64_sse2, Statics##name##_x64_sse2,
#define VOCETTA_VARIANT_FIELD_avx2(order, symbol, name, Result, Parameters, Arguments) \
    name##_avx2, Externals##name##_avx2, Statics##name##_avx2,

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

constexpr Variant kSse2Build = VOCETTA_VARIANT_FIELDS(x64_sse2);
constexpr Variant kAvx2Build = VOCETTA_VARIANT_FIELDS(avx2);

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
    const Variant& variant = SelectsAvx2(CpuGetFeatureX86_64()) ? kAvx2Build : kSse2Build;
#define VOCETTA_RUN_EXTERNALS(order, symbol, name, Result, Parameters, Arguments) \
    variant.Externals##name(resolver);
#define VOCETTA_RUN_STATICS(order, symbol, name, Result, Parameters, Arguments) \
    variant.Statics##name();
#define VOCETTA_FILL_SLOT(order, symbol, name, Result, Parameters, Arguments) \
    gDispatchTable.name = variant.name;
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
