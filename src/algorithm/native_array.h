// The host's array view and the one way the library makes and returns memory: every array comes
// from MallocTracked (count x 4 bytes, alignment 4, label 2, 0), is filled before it is read, and
// goes back through FreeTracked with label 2; a null pointer is never released.
#pragma once

#include <stdint.h>
#include <vocetta/vocetta.h>

#include "frame/services.h"
#include "frame/variant.h"

namespace Vocetta::VOCETTA_VARIANT {

using Vocetta::NativeArray;

inline constexpr int32_t kTempAllocator = VOCETTA_ALLOCATOR_TEMP;

inline float* FloatsOf(const NativeArray& view) {
    return static_cast<float*>(view.pointer);
}

inline void ZeroFill(float* data, int32_t count) {
    if (count > 0) __builtin_memset(data, 0, static_cast<uint64_t>(count) * sizeof(float));
}

inline void CopyFloats(float* destination, const float* source, int32_t count) {
    if (count > 0)
        __builtin_memcpy(destination, source, static_cast<uint64_t>(count) * sizeof(float));
}

// Scratch of `count` floats, uninitialised: the caller fills it before anything reads it.
inline float* AllocateUnfilled(int32_t count) {
    return static_cast<float*>(
        MallocTrackedPtr(static_cast<int64_t>(count) * 4, 4, kTempAllocator, 0));
}

inline float* AllocateZeroed(int32_t count) {
    float* data = AllocateUnfilled(count);
    ZeroFill(data, count);
    return data;
}

inline float* AllocateCopy(const float* source, int32_t count) {
    float* data = AllocateUnfilled(count);
    CopyFloats(data, source, count);
    return data;
}

inline void Release(void* data) {
    if (data != nullptr) FreeTrackedPtr(data, kTempAllocator);
}

// Hands a new array to the caller's view, overwriting all three fields without releasing what
// the view held. Uninitialised: every caller writes all of it.
inline float* CreateInto(NativeArray& view, int32_t count) {
    float* data = AllocateUnfilled(count);
    view = NativeArray{data, count, kTempAllocator};
    return data;
}

// The disposal rule for views that passed through a callee: label 0 on a live pointer means the
// array did not come from an allocator, which the host hears about as an exception.
inline void Dispose(NativeArray& view) {
    if (view.pointer == nullptr) return;
    if (view.allocatorLabel == VOCETTA_ALLOCATOR_INVALID) {
        duzuv_abort_Ptr(kExceptionTypeString, kInvalidAllocatorString);
        __builtin_trap();  // the host's abort must not return; stop rather than run on
    }
    if (view.allocatorLabel >= kTempAllocator) {
        FreeTrackedPtr(view.pointer, view.allocatorLabel);
        view.allocatorLabel = VOCETTA_ALLOCATOR_INVALID;
    }
    view.pointer = nullptr;
}

}  // namespace Vocetta::VOCETTA_VARIANT
