// One build's entries with their two initialisation steps each, in table order. Every build's
// entries.cpp defines its table as gBuildTable_<build>; duzuv.initialize walks the one the
// processor selects.
#pragma once

#include <vocetta/vocetta.h>

namespace Vocetta::Frame {

struct BuildTable {
#define VOCETTA_BUILD_TABLE_MEMBERS(order, symbol, name, Result, Parameters, Arguments) \
    VocettaEntry##name name;                                                            \
    void (*Externals##name)(VocettaResolver);                                           \
    void (*Statics##name)();
    VOCETTA_ENTRIES(VOCETTA_BUILD_TABLE_MEMBERS)
#undef VOCETTA_BUILD_TABLE_MEMBERS
};

}  // namespace Vocetta::Frame
