#include "vocetta/host_services.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

namespace Vocetta::Host {
namespace {

// Every block starts 16 bytes after a header that says where it came from. A block of a size
// class is its own malloc base, so the header's first word names instead the thread whose lists
// take it back on the fast path; a block outside the classes keeps its base there.
struct alignas(16) Header {
    union {
        void* base;      // kUncached: what malloc returned
        uint64_t owner;  // a size class: the owning thread's id, or kNobody
    };
    uint32_t sizeClass;  // index into the thread caches, or kUncached
    uint32_t magic;
};
static_assert(sizeof(Header) == 16);

constexpr uint32_t kMagicLive = 0x766F6361;  // "voca"
constexpr uint32_t kUncached = ~0u;
constexpr int kClasses = 17;  // 16 bytes ... 1 MiB
constexpr uint32_t kMaxCachedPerClass = 64;
// No block carries id 0 (a thread's until its reaper is armed) or kRetired (a thread's once its
// reaper has run); kNobody marks a block that no thread's lists take back.
constexpr uint64_t kNobody = ~uint64_t{0};
constexpr uint64_t kRetired = kNobody - 1;

constexpr int64_t ClassBytes(uint32_t sizeClass) {
    return int64_t{16} << sizeClass;
}

uint32_t SizeClassOf(int64_t size) {
    if (size <= 16) return 0;
    const auto sizeClass =
        static_cast<uint32_t>(std::bit_width(static_cast<uint64_t>(size - 1))) - 4;
    return sizeClass < kClasses ? sizeClass : kUncached;
}

// Free lists of one thread. Trivial, so that reaching it is one thread-pointer offset with no
// initialisation check on every call.
//
// A list takes only blocks that carry the thread's id, and a thread stamps its id on at most 64
// blocks of each class (`owned`, which only grows): that bounds every list without a count that
// each release and allocation would have to update. A block released on another thread goes
// through the slow path, which stamps it with that thread's id while it has ids left; a block
// nobody owns goes back to the system. Ids are never reused, so a block outliving its thread
// is foreign to every later one.
struct ThreadCache {
    Header* head[kClasses];
    uint64_t id;  // 0 until the thread's reaper is armed
    uint32_t owned[kClasses];
};

thread_local ThreadCache tCache;
std::atomic<uint64_t> gNextThreadId{1};

// Gives a thread's cached blocks back when the thread ends. Reaching it runs an initialisation
// check, so the slow paths arm it only once, when the thread first takes an id.
struct CacheReaper {
    bool armed = false;
    ~CacheReaper() {
        for (Header*& block : tCache.head) {
            while (block != nullptr) {
                Header* next = *reinterpret_cast<Header**>(block + 1);
                std::free(block);
                block = next;
            }
        }
        // Destructors that run after this one may still allocate and release: their blocks
        // belong to nobody and go straight back to the system.
        tCache.id = kRetired;
        for (uint32_t& owned : tCache.owned)
            owned = kMaxCachedPerClass;
    }
};

thread_local CacheReaper tReaper;

// Every thread that caches a block must have its reaper armed: also one that only frees.
inline void ArmReaper() {
    if (tCache.id == 0) {
        tReaper.armed = true;
        tCache.id = gNextThreadId.fetch_add(1, std::memory_order_relaxed);
    }
}

// Stamps a block of `sizeClass` with the thread's id if it has ids left for that class.
inline uint64_t TakeOwnership(uint32_t sizeClass) {
    ArmReaper();
    if (tCache.owned[sizeClass] == kMaxCachedPerClass) return kNobody;
    ++tCache.owned[sizeClass];
    return tCache.id;
}

inline void PushBlock(Header* header, uint32_t sizeClass) {
    *reinterpret_cast<Header**>(header + 1) = tCache.head[sizeClass];
    tCache.head[sizeClass] = header;
}

// A block the thread's lists cannot give: a new one from the system.
__attribute__((noinline)) void* AllocateFresh(int64_t size, int32_t alignment, uint32_t sizeClass) {
    if (sizeClass != kUncached) {
        auto* block = static_cast<Header*>(std::malloc(sizeof(Header) + ClassBytes(sizeClass)));
        if (block == nullptr) throw std::bad_alloc();
        block->owner = TakeOwnership(sizeClass);
        block->sizeClass = sizeClass;
        block->magic = kMagicLive;
        return block + 1;
    }
    const size_t padding = alignment > 16 ? static_cast<size_t>(alignment) : 0;
    void* base = std::malloc(sizeof(Header) + static_cast<size_t>(size) + padding);
    if (base == nullptr) throw std::bad_alloc();
    auto address = reinterpret_cast<uintptr_t>(base) + sizeof(Header);
    if (padding != 0) address = (address + padding - 1) & ~(uintptr_t{padding} - 1);
    auto* header = reinterpret_cast<Header*>(address) - 1;
    header->base = base;
    header->sizeClass = kUncached;
    header->magic = kMagicLive;
    return header + 1;
}

inline void* AllocateBlock(int64_t size, int32_t alignment) {
    const uint32_t sizeClass = alignment <= 16 ? SizeClassOf(size) : kUncached;
    if (sizeClass != kUncached) {
        if (Header* block = tCache.head[sizeClass]) [[likely]] {
            tCache.head[sizeClass] = *reinterpret_cast<Header**>(block + 1);
            block->magic = kMagicLive;
            return block + 1;
        }
    }
    return AllocateFresh(size, alignment, sizeClass);
}

[[noreturn]] __attribute__((noinline, cold)) void RejectRelease() {
    // Not ours or released before: freeing it would corrupt the heap.
    throw AllocatorError(
        "FreeTracked: the block was not allocated by MallocTracked or was "
        "already released");
}

inline void ReleaseBlock(void* pointer) {
    Header* header = static_cast<Header*>(pointer) - 1;
    if (header->magic != kMagicLive) [[unlikely]]
        RejectRelease();
    header->magic = 0;
    const uint32_t sizeClass = header->sizeClass;
    if (sizeClass == kUncached) {
        std::free(header->base);
        return;
    }
    if (header->owner != tCache.id) {
        header->owner = TakeOwnership(sizeClass);
        if (header->owner == kNobody) {
            std::free(header);
            return;
        }
    }
    PushBlock(header, sizeClass);
}

struct Block {
    int64_t size;
    int32_t label;
    size_t callIndex;
    bool live;
};

struct Recording {
    mutable std::mutex mutex;
    std::vector<ServiceCall> calls;
    std::vector<AllocatorFault> faults;
    std::unordered_map<const void*, Block> blocks;
    size_t allocations = 0, releases = 0;
};

std::atomic<Recording*> gRecording{nullptr};
// The size classes the fast paths answer: all of them, and none while an accounting records, so
// that one comparison of the class both finds the class cached and sees that nobody records.
std::atomic<uint32_t> gFastClasses{kClasses};

}  // namespace

AbortError::AbortError(std::string exceptionType, const std::string& message)
    : std::runtime_error(exceptionType + ": " + message),
      exceptionType_(std::move(exceptionType)) {}

namespace {

// The accounting's side of each call, kept out of the fast paths so that they need no frame.
__attribute__((noinline)) void RecordAllocation(Recording& recording, void* pointer, int64_t size,
                                                int32_t alignment, int32_t allocatorLabel,
                                                int32_t last) {
    std::lock_guard lock(recording.mutex);
    const size_t callIndex = recording.calls.size();
    recording.calls.push_back(
        {ServiceCall::Kind::Allocate, pointer, size, alignment, allocatorLabel, last, {}, {}});
    recording.blocks[pointer] = Block{size, allocatorLabel, callIndex, true};
    ++recording.allocations;
}

__attribute__((noinline)) void RecordRelease(Recording& recording, void* pointer,
                                             int32_t allocatorLabel) {
    std::lock_guard lock(recording.mutex);
    recording.calls.push_back(
        {ServiceCall::Kind::Release, pointer, 0, 0, allocatorLabel, 0, {}, {}});
    ++recording.releases;
    using Kind = AllocatorFault::Kind;
    if (pointer == nullptr) {
        recording.faults.push_back({Kind::NullRelease, pointer, allocatorLabel, 0});
        return;
    }
    auto found = recording.blocks.find(pointer);
    if (found == recording.blocks.end()) {
        recording.faults.push_back({Kind::UnknownRelease, pointer, allocatorLabel, 0});
        return;
    }
    Block& block = found->second;
    if (!block.live) {
        recording.faults.push_back({Kind::DoubleRelease, pointer, allocatorLabel, block.label});
        return;
    }
    if (block.label != allocatorLabel) {
        recording.faults.push_back({Kind::LabelMismatch, pointer, allocatorLabel, block.label});
    }
    block.live = false;
    ReleaseBlock(pointer);
}

[[noreturn]] __attribute__((noinline, cold)) void RejectRequest(int64_t size, int32_t alignment) {
    if (size < 0) {
        throw AllocatorError("MallocTracked: negative size " + std::to_string(size));
    }
    throw AllocatorError("MallocTracked: alignment " + std::to_string(alignment) +
                         " is not a power of two");
}

// Every request the fast paths below do not answer: requests to reject, blocks from the system,
// and every call while an accounting records.
__attribute__((noinline)) void* MallocTrackedSlow(int64_t size, int32_t alignment,
                                                  int32_t allocatorLabel, int32_t last) {
    if (size < 0 || alignment <= 0 || (alignment & (alignment - 1)) != 0) {
        RejectRequest(size, alignment);
    }
    void* pointer = AllocateBlock(size, alignment);
    if (Recording* recording = gRecording.load(std::memory_order_acquire)) {
        RecordAllocation(*recording, pointer, size, alignment, allocatorLabel, last);
    }
    return pointer;
}

__attribute__((noinline)) void FreeTrackedSlow(void* pointer, int32_t allocatorLabel) {
    if (Recording* recording = gRecording.load(std::memory_order_acquire)) {
        RecordRelease(*recording, pointer, allocatorLabel);
        return;
    }
    if (pointer == nullptr) return;
    ReleaseBlock(pointer);
}

// The alignments the fast path answers, 1, 2, 4, 8 and 16, as the bits of one mask.
constexpr uint32_t kFastAlignments = (1u << 1) | (1u << 2) | (1u << 4) | (1u << 8) | (1u << 16);

}  // namespace

// The fast paths, a block from the thread's own lists and back, touch nothing else and need no
// stack frame; everything else takes the slow path, which does the same checks in full. The
// fast path's class is that of size - 1 with its low four bits set: sizes 1 to 16 share class 0,
// and a size of zero or below wraps beyond the classes, to the slow path.
void* MallocTracked(int64_t size, int32_t alignment, int32_t allocatorLabel, int32_t last) {
    const uint64_t below = (static_cast<uint64_t>(size) - 1) | 15;
    const auto sizeClass = static_cast<uint32_t>(std::bit_width(below)) - 4;
    if (static_cast<uint32_t>(alignment) <= 16 && ((kFastAlignments >> alignment) & 1) != 0 &&
        sizeClass < gFastClasses.load(std::memory_order_acquire)) {
        if (Header* block = tCache.head[sizeClass]) {
            tCache.head[sizeClass] = *reinterpret_cast<Header**>(block + 1);
            block->magic = kMagicLive;
            return block + 1;
        }
    }
    return MallocTrackedSlow(size, alignment, allocatorLabel, last);
}

// A block carrying the thread's id goes straight back on its list: the id bounds the list, so
// the release updates no count.
void FreeTracked(void* pointer, int32_t allocatorLabel) {
    // While an accounting records, nothing is read before the block is known to be one of ours.
    const uint32_t fastClasses = gFastClasses.load(std::memory_order_acquire);
    if (pointer != nullptr && fastClasses != 0) {
        Header* header = static_cast<Header*>(pointer) - 1;
        const uint32_t sizeClass = header->sizeClass;
        if (header->owner == tCache.id && header->magic == kMagicLive && sizeClass < fastClasses) {
            header->magic = 0;
            PushBlock(header, sizeClass);
            return;
        }
    }
    FreeTrackedSlow(pointer, allocatorLabel);
}

void Abort(const char* exceptionType, const char* message) {
    const std::string type = exceptionType != nullptr ? exceptionType : "";
    const std::string text = message != nullptr ? message : "";
    if (Recording* recording = gRecording.load(std::memory_order_acquire)) {
        std::lock_guard lock(recording->mutex);
        recording->calls.push_back({ServiceCall::Kind::Abort, nullptr, 0, 0, 0, 0, type, text});
    }
    throw AbortError(type, text);
}

std::string AllocatorFault::describe() const {
    char address[32];
    std::snprintf(address, sizeof address, "%p", pointer);
    switch (kind) {
        case Kind::UnknownRelease:
            return std::string("release of unknown block ") + address;
        case Kind::DoubleRelease:
            return std::string("second release of block ") + address;
        case Kind::LabelMismatch:
            return std::string("block ") + address + " allocated with label " +
                   std::to_string(expectedLabel) + " released with label " + std::to_string(label);
        case Kind::NullRelease:
            return "release of a null pointer";
    }
    return "unknown fault";
}

namespace {

// One record serves every accounting in turn and is never destroyed: a thread may have read the
// pointer just before an accounting ends and lock it afterwards.
Recording& SharedRecording() {
    static Recording* const recording = new Recording();
    return *recording;
}

}  // namespace

Accounting::Accounting() {
    Recording& recording = SharedRecording();
    Recording* expected = nullptr;
    std::lock_guard lock(recording.mutex);
    if (!gRecording.compare_exchange_strong(expected, &recording)) {
        throw std::logic_error("Vocetta::Host::Accounting: another accounting is active");
    }
    gFastClasses.store(0, std::memory_order_release);
    recording.calls.clear();
    recording.faults.clear();
    recording.blocks.clear();
    recording.allocations = recording.releases = 0;
}

Accounting::~Accounting() {
    Recording* recording = gRecording.exchange(nullptr);
    gFastClasses.store(kClasses, std::memory_order_release);
    std::lock_guard lock(recording->mutex);
    recording->calls = {};
    recording->faults = {};
    recording->blocks = {};
}

std::vector<ServiceCall> Accounting::calls() const {
    Recording* recording = gRecording.load();
    std::lock_guard lock(recording->mutex);
    return recording->calls;
}

std::vector<AllocatorFault> Accounting::faults() const {
    Recording* recording = gRecording.load();
    std::lock_guard lock(recording->mutex);
    return recording->faults;
}

std::vector<Leak> Accounting::leaks() const {
    Recording* recording = gRecording.load();
    std::lock_guard lock(recording->mutex);
    std::vector<Leak> leaks;
    for (const auto& [pointer, block] : recording->blocks) {
        if (block.live) leaks.push_back({pointer, block.size, block.label, block.callIndex});
    }
    std::sort(leaks.begin(), leaks.end(),
              [](const Leak& a, const Leak& b) { return a.callIndex < b.callIndex; });
    return leaks;
}

size_t Accounting::allocationCount() const {
    Recording* recording = gRecording.load();
    std::lock_guard lock(recording->mutex);
    return recording->allocations;
}

size_t Accounting::releaseCount() const {
    Recording* recording = gRecording.load();
    std::lock_guard lock(recording->mutex);
    return recording->releases;
}

void Accounting::clear() {
    Recording* recording = gRecording.load();
    std::lock_guard lock(recording->mutex);
    recording->calls.clear();
    recording->faults.clear();
    recording->allocations = recording->releases = 0;
    for (auto it = recording->blocks.begin(); it != recording->blocks.end();) {
        it = it->second.live ? std::next(it) : recording->blocks.erase(it);
    }
}

}  // namespace Vocetta::Host
