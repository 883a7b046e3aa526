// The three services the host lends the library, kept in the exported slots that every
// initialisation step overwrites. Kernels reach them only through algorithm/native_array.h.
#pragma once

#include <vocetta/vocetta.h>

#include "frame/symbol.h"

extern "C" {
extern VOCETTA_EXPORT Vocetta::VocettaAbort duzuv_abort_Ptr;
extern VOCETTA_EXPORT Vocetta::VocettaMallocTracked MallocTrackedPtr
    VOCETTA_SYMBOL("Unity.Collections.LowLevel.Unsafe.UnsafeUtility::MallocTracked_Ptr");
extern VOCETTA_EXPORT Vocetta::VocettaFreeTracked FreeTrackedPtr
    VOCETTA_SYMBOL("Unity.Collections.LowLevel.Unsafe.UnsafeUtility::FreeTracked_Ptr");

extern VOCETTA_EXPORT const char kExceptionTypeString[] VOCETTA_SYMBOL(
    "duzuv.string.1ea13c7f7ea144ea32205d7ec317f39f");
extern VOCETTA_EXPORT const char kFreeTrackedString[] VOCETTA_SYMBOL(
    "duzuv.string.22ec91e5bc43e7e512fc53c9ce97a8e0");
extern VOCETTA_EXPORT const char kInvalidAllocatorString[] VOCETTA_SYMBOL(
    "duzuv.string.731fe5c7d94aca16830f3fab033a10b0");
extern VOCETTA_EXPORT const char kAbortString[] VOCETTA_SYMBOL(
    "duzuv.string.808e8e7f94567b9f878889686ba14eb1");
extern VOCETTA_EXPORT const char kMallocTrackedString[] VOCETTA_SYMBOL(
    "duzuv.string.ffbfa8f9468181ee01437772260f8c26");
}

namespace Vocetta::Frame {

// What every externals step does: three lookups, stored unchecked, in the host's fixed order.
void ResolveHostServices(VocettaResolver resolver);

}  // namespace Vocetta::Frame
