// The exported symbols of one build, generated from VOCETTA_ENTRIES: for every entry the
// variant symbol itself, its externals step and its statics step, and the build's table of them
// for duzuv.initialize. Compiled once per build, like the kernels.
#include "algorithm/algorithm.h"
#include "display/display.h"
#include "frame/build_table.h"
#include "frame/services.h"
#include "frame/variant.h"
#include "job/lip_sync_job.h"

namespace Vocetta::VOCETTA_VARIANT {

// Where each entry's name leads: kernels are Algorithm's statics, jobs run their record.
struct EntryTargets : Algorithm {
    static void ColorMapJob_Execute(ColorMapJob* job) { Execute(job); }
    static void PhonemeTextureJob_Execute(PhonemeTextureJob* job) { Execute(job); }
    static void LipSyncJob_Execute(LipSyncJob* job) { Execute(job); }
};

}  // namespace Vocetta::VOCETTA_VARIANT

#define VOCETTA_CONCAT_(a, b) a##b
#define VOCETTA_CONCAT(a, b) VOCETTA_CONCAT_(a, b)
#define VOCETTA_IN_VARIANT(name) VOCETTA_CONCAT(name, VOCETTA_CONCAT(_, VOCETTA_VARIANT))

#define VOCETTA_DEFINE_ENTRY(order, symbol, name, Result, Parameters, Arguments)             \
    extern "C" VOCETTA_EXPORT Result VOCETTA_IN_VARIANT(name)                                \
    Parameters VOCETTA_SYMBOL(symbol VOCETTA_VARIANT_SUFFIX);                                \
    extern "C" Result VOCETTA_IN_VARIANT(name) Parameters {                                  \
        return Vocetta::VOCETTA_VARIANT::EntryTargets::name Arguments;                       \
    }                                                                                        \
    extern "C" VOCETTA_EXPORT void VOCETTA_IN_VARIANT(Externals##name)(                      \
        Vocetta::VocettaResolver resolver)                                                   \
        VOCETTA_SYMBOL("duzuv.initialize.externals." symbol VOCETTA_VARIANT_SUFFIX);         \
    extern "C" void VOCETTA_IN_VARIANT(Externals##name)(Vocetta::VocettaResolver resolver) { \
        Vocetta::Frame::ResolveHostServices(resolver);                                       \
    }                                                                                        \
    extern "C" VOCETTA_EXPORT void VOCETTA_IN_VARIANT(Statics##name)()                       \
        VOCETTA_SYMBOL("duzuv.initialize.statics." symbol VOCETTA_VARIANT_SUFFIX);           \
    extern "C" void VOCETTA_IN_VARIANT(Statics##name)() {}

namespace Vocetta {
VOCETTA_ENTRIES(VOCETTA_DEFINE_ENTRY)
}

#define VOCETTA_BUILD_TABLE_FIELDS(order, symbol, name, Result, Parameters, Arguments) \
    VOCETTA_IN_VARIANT(name), VOCETTA_IN_VARIANT(Externals##name),                     \
        VOCETTA_IN_VARIANT(Statics##name),

namespace Vocetta {
extern "C" const Frame::BuildTable VOCETTA_IN_VARIANT(gBuildTable) = {
    VOCETTA_ENTRIES(VOCETTA_BUILD_TABLE_FIELDS)};
}
