// The three services a host lends libvocetta, as the SDK provides them.
//
// MallocTracked / FreeTracked are a real-time allocator: each thread keeps its own free lists of
// power-of-two blocks, so after the first blocks of a stream no call locks or reaches the system.
// A thread marks at most 64 blocks of each size as its own, over its life, and its ending gives
// them back. A block released on another thread than the one that allocated it joins the
// releasing thread's lists while that thread can still mark blocks, and goes back to the system
// otherwise; so a block that keeps crossing threads ends up costing a system call each time.
// While an Accounting object is alive, every call (from any thread) is also recorded and checked:
// releases of unknown, already released or null blocks, label mismatches, and leaks.
//
// Abort throws AbortError. The library is built with unwind tables and has no cleanup of its own
// after the call, so the exception travels through its frames to the caller of the entry.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Vocetta::Host {

void* MallocTracked(int64_t size, int32_t alignment, int32_t allocatorLabel, int32_t last);
void FreeTracked(void* pointer, int32_t allocatorLabel);
[[noreturn]] void Abort(const char* exceptionType, const char* message);

// What the library raised through the abort service.
class AbortError : public std::runtime_error {
  public:
    AbortError(std::string exceptionType, const std::string& message);
    const std::string& exceptionType() const { return exceptionType_; }

  private:
    std::string exceptionType_;
};

// A request the allocator cannot honour (a negative size, an alignment that is not a power of
// two): a fault in the caller, raised rather than answered with memory that is not there.
class AllocatorError : public std::logic_error {
  public:
    using std::logic_error::logic_error;
};

struct ServiceCall {
    enum class Kind { Allocate, Release, Abort };
    Kind kind;
    const void* pointer;  // Allocate: the block handed out; Release: the block handed back
    int64_t size;         // Allocate
    int32_t alignment;    // Allocate
    int32_t label;        // Allocate, Release
    int32_t last;         // Allocate: the fourth argument
    std::string exceptionType, message;  // Abort
};

struct AllocatorFault {
    enum class Kind { UnknownRelease, DoubleRelease, LabelMismatch, NullRelease };
    Kind kind;
    const void* pointer;
    int32_t label;          // as released
    int32_t expectedLabel;  // as allocated (LabelMismatch)
    std::string describe() const;
};

struct Leak {
    const void* pointer;
    int64_t size;
    int32_t label;
    size_t callIndex;  // position of its allocation in calls()
};

// Records and checks every service call while alive. One at a time per process.
class Accounting {
  public:
    Accounting();
    ~Accounting();
    Accounting(const Accounting&) = delete;
    Accounting& operator=(const Accounting&) = delete;

    std::vector<ServiceCall> calls() const;
    std::vector<AllocatorFault> faults() const;
    std::vector<Leak> leaks() const;  // blocks allocated while recording and not yet released
    size_t allocationCount() const;
    size_t releaseCount() const;
    void clear();  // forget the calls and faults so far; live blocks stay tracked
};

}  // namespace Vocetta::Host
