// What every fuzz target shares: the library loaded through the SDK as a host loads it, the fuzz
// input read as typed arguments, arrays fenced by guard pages and canaries, and one check of the
// host traffic and of the builds against each other.
//
// A broken invariant prints what broke and aborts, which libFuzzer records as a finding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "vocetta/host_services.hpp"
#include "vocetta/library.hpp"

namespace Vocetta::Fuzz {

// Prints "fuzz invariant broken: <what>" and aborts.
[[noreturn]] void Fail(const std::string& what);
inline void Require(bool condition, const char* what) {
    if (!condition) Fail(what);
}

// libvocetta.so of the fuzz build, initialised with the SDK's services.
const Host::Library& Library();

// The fuzz input as a stream of arguments. Past its end every read yields zeros, so any input
// decodes to some call.
class Input {
  public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    uint8_t Byte();
    uint32_t Bits();
    bool Bool() { return (Byte() & 1u) != 0; }
    // Any float bits. One selector byte in eight picks a value from a table of edge cases (zeros,
    // infinities, NaNs, denormals, the largest and smallest normals, powers of two, common rates).
    float AnyFloat();
    // A float in [low, high].
    float FloatIn(float low, float high);
    // An integer in [low, high].
    int32_t IntIn(int32_t low, int32_t high);
    // A count in [0, high] most of the time, now and then a negative one (the library takes every
    // count of 0 or below as "nothing").
    int32_t Count(int32_t high);
    // Floats drawn in one of several styles: any bits, audio-range values, edge cases, constants.
    std::vector<float> Floats(size_t count);
    // The bytes not consumed yet.
    std::string Rest();
    size_t remaining() const { return size_ - offset_; }

  private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

// An array of `bytes` bytes whose end touches a page the process cannot access and whose front
// is preceded by canary bytes and, before them, another such page. Reading or writing past either
// end faults at once or shows in the canaries. A sealed array is read-only: writing into it faults.
class Guarded {
  public:
    explicit Guarded(size_t bytes);
    ~Guarded();
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    void* data() const { return data_; }
    size_t bytes() const { return bytes_; }
    void Seal();
    bool CanariesIntact() const;

  private:
    uint8_t* base_ = nullptr;  // the whole mapping, guard pages included
    size_t mapped_ = 0;
    uint8_t* data_ = nullptr;
    size_t bytes_ = 0;
};

// The arrays of one call: made from host values, checked after the call.
class Arena {
  public:
    // A copy of `values` in a guarded array, sealed when `readOnly`.
    float* Floats(const std::vector<float>& values, bool readOnly);
    // Any record or other bytes, sealed when `readOnly`.
    void* Bytes(const void* values, size_t bytes, bool readOnly);
    // Fails when any array's canaries were overwritten.
    void CheckCanaries() const;
    // The contents of every writable array, in creation order. Make writable arrays in statements
    // of their own: the arguments of one call are evaluated in an order that varies by compiler.
    std::vector<uint8_t> WrittenBytes() const;

  private:
    struct Entry {
        std::unique_ptr<Guarded> array;
        bool readOnly;
    };
    std::vector<Entry> arrays_;
};

// One run of a call through one set of entry symbols: what the host can observe of it.
struct Outcome {
    std::vector<uint8_t> written;  // every writable array after the call, in order
    uint64_t result = 0;           // bits of the entry's result, if any
    // The traffic without pointers: kind, size, alignment, label and last argument of each call.
    std::vector<int64_t> traffic;
    bool operator==(const Outcome& other) const = default;
};

// Runs `call` on fresh arrays under the SDK's accounting, with the thread's control word set to
// `controlWord` (exceptions stay masked) and restored afterwards, and checks:
//   - every allocation is count x 4 bytes, alignment 4, label 2, last argument 0; every release
//     has label 2; no fault (unknown, double or null release, label mismatch), no leak, no abort;
//   - no canary overwritten (guard pages and sealed inputs fault by themselves).
using Call = std::function<uint64_t(const Host::Entries& entries, Arena& arena)>;
Outcome Run(const Host::Entries& entries, const Call& call, uint32_t controlWord);

// Runs `call` through the SSE2 variants, the AVX2 variants where the processor has them, and the
// forwarders, and checks that the forwarders give exactly what the selected build gives, and that
// both builds make the same host traffic. Returns the forwarders' outcome.
inline constexpr uint32_t kDefaultControlWord = 0x1F80;  // to nearest, all exceptions masked
Outcome RunEveryBuild(const Call& call, uint32_t controlWord = kDefaultControlWord);

// A control word from the input: rounding mode, flush-to-zero and denormals-are-zero as it says,
// every exception masked.
uint32_t ControlWordFrom(Input& input);

inline uint64_t BitsOf(float value) {
    uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}
inline bool SameBits(float a, float b) {
    return BitsOf(a) == BitsOf(b);
}

}  // namespace Vocetta::Fuzz
