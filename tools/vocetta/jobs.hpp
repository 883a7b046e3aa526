// The three job entries the tool drives, looked up through the host SDK.
#pragma once

#include <vector>

#include "vocetta/library.hpp"

namespace Vocetta::Tool {

using LipSyncExecute = void (*)(LipSyncJob* job);
using ColorMapExecute = void (*)(ColorMapJob* job);
using PhonemeTextureExecute = void (*)(PhonemeTextureJob* job);

inline LipSyncExecute LipSyncEntry(const Host::Library& library) {
    return library.entries().LipSyncJob_Execute;
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
