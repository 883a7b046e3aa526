// The three job entries the tool drives, looked up through the host SDK.
#pragma once

#include <vector>

#include "error.hpp"
#include "vocetta/library.hpp"

namespace Vocetta::Tool {

using LipSyncExecute = void (*)(LipSyncJob* job);
using ColorMapExecute = void (*)(ColorMapJob* job);
using PhonemeTextureExecute = void (*)(PhonemeTextureJob* job);

template <typename Entry>
Entry JobEntry(const Host::Library& library, const char* symbol, const char* what) {
    void* address = library.symbol(symbol);
    if (address == nullptr) {
        throw ToolError(library.path() + ": the library has no " + what + " job");
    }
    return reinterpret_cast<Entry>(address);
}

inline LipSyncExecute LipSyncEntry(const Host::Library& library) {
    return JobEntry<LipSyncExecute>(library, "c5a316b7c86bb17f6511d5c3a58d2180", "lip-sync");
}
inline ColorMapExecute ColorMapEntry(const Host::Library& library) {
    return library.entries().ColorMapJob_Execute;
}
inline PhonemeTextureExecute PhonemeTextureEntry(const Host::Library& library) {
    return library.entries().PhonemeTextureJob_Execute;
}

// A view of memory the tool owns: label "none", so the library never releases it.
template <typename T>
NativeArray View(const std::vector<T>& values) {
    return {const_cast<T*>(values.data()), static_cast<int32_t>(values.size()),
            VOCETTA_ALLOCATOR_NONE};
}

}  // namespace Vocetta::Tool
