#include "frame/services.h"

extern "C" {
Vocetta::VocettaAbort duzuv_abort_Ptr = nullptr;
Vocetta::VocettaMallocTracked MallocTrackedPtr = nullptr;
Vocetta::VocettaFreeTracked FreeTrackedPtr = nullptr;

const char kExceptionTypeString[] = VOCETTA_ABORT_EXCEPTION_TYPE;
const char kFreeTrackedString[] = VOCETTA_SERVICE_FREE_TRACKED;
const char kInvalidAllocatorString[] = VOCETTA_ABORT_INVALID_ALLOCATOR_MESSAGE;
const char kAbortString[] = VOCETTA_SERVICE_ABORT;
const char kMallocTrackedString[] = VOCETTA_SERVICE_MALLOC_TRACKED;
}

namespace Vocetta::Frame {

void ResolveHostServices(VocettaResolver resolver) {
    duzuv_abort_Ptr = reinterpret_cast<VocettaAbort>(resolver(kAbortString));
    FreeTrackedPtr = reinterpret_cast<VocettaFreeTracked>(resolver(kFreeTrackedString));
    MallocTrackedPtr = reinterpret_cast<VocettaMallocTracked>(resolver(kMallocTrackedString));
}

}  // namespace Vocetta::Frame
