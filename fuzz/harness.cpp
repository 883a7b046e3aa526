#include "harness.hpp"

#include <sys/mman.h>
#include <unistd.h>
#include <xmmintrin.h>

#include <cstdio>
#include <cstdlib>
#include <limits>

namespace Vocetta::Fuzz {

void Fail(const std::string& what) {
    std::fprintf(stderr, "fuzz invariant broken: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

const Host::Library& Library() {
    static const Host::Library library(VOCETTA_FUZZ_LIBRARY_PATH);
    return library;
}

// ---- Input --------------------------------------------------------------------------------

uint8_t Input::Byte() {
    return offset_ < size_ ? data_[offset_++] : 0;
}

uint32_t Input::Bits() {
    uint32_t bits = 0;
    for (int i = 0; i < 4; ++i)
        bits |= static_cast<uint32_t>(Byte()) << (8 * i);
    return bits;
}

namespace {

float FromBits(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

float EdgeValue(uint8_t index) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    const float table[] = {0.0f,
                           -0.0f,
                           1.0f,
                           -1.0f,
                           kInf,
                           -kInf,
                           std::numeric_limits<float>::quiet_NaN(),
                           FromBits(0x7FA00000u),  // signalling NaN
                           FromBits(0xFFC00001u),  // negative NaN with payload
                           std::numeric_limits<float>::denorm_min(),
                           -std::numeric_limits<float>::denorm_min(),
                           FromBits(0x007FFFFFu),  // largest denormal
                           std::numeric_limits<float>::min(),
                           std::numeric_limits<float>::max(),
                           -std::numeric_limits<float>::max(),
                           1.1920929e-7f,  // 2^-23
                           0.5f,
                           2.0f,
                           700.0f,
                           -700.0f,
                           16000.0f,
                           44100.0f,
                           48000.0f,
                           1e-30f,
                           1e30f,
                           0.97f,
                           3.1415927f,
                           -6.2831855f};
    return table[index % (sizeof table / sizeof table[0])];
}

}  // namespace

float Input::AnyFloat() {
    const uint8_t selector = Byte();
    if ((selector & 7u) == 0) return EdgeValue(selector >> 3);
    return FromBits(Bits());
}

float Input::FloatIn(float low, float high) {
    const float unit = static_cast<float>(Bits() >> 8) / 16777216.0f;  // [0, 1)
    return low + (high - low) * unit;
}

int32_t Input::IntIn(int32_t low, int32_t high) {
    const uint64_t span = static_cast<uint64_t>(int64_t{high} - int64_t{low}) + 1;
    return static_cast<int32_t>(int64_t{low} + static_cast<int64_t>(Bits() % span));
}

int32_t Input::Count(int32_t high) {
    const uint8_t selector = Byte();
    switch (selector & 15u) {
        case 0:
            return std::numeric_limits<int32_t>::min();
        case 1:
            return -1;
        case 2:
            return -IntIn(1, std::numeric_limits<int32_t>::max());
        default:
            return IntIn(0, high);
    }
}

std::vector<float> Input::Floats(size_t count) {
    std::vector<float> values(count);
    const uint8_t style = Byte() % 5;
    const float constant = AnyFloat();
    for (float& value : values) {
        switch (style) {
            case 0:  // any bits
                value = FromBits(Bits());
                break;
            case 1: {  // 16-bit audio
                const auto sample = static_cast<int16_t>(Byte() | (Byte() << 8));
                value = static_cast<float>(sample) / 32768.0f;
                break;
            }
            case 2:  // mostly ordinary, now and then an edge case
                value = AnyFloat();
                break;
            case 3:  // one value everywhere
                value = constant;
                break;
            default:  // small non-negative values, as magnitudes and levels are
                value = static_cast<float>(Byte()) / 64.0f;
                break;
        }
    }
    return values;
}

std::string Input::Rest() {
    std::string rest(reinterpret_cast<const char*>(data_ + offset_), size_ - offset_);
    offset_ = size_;
    return rest;
}

// ---- Guarded arrays -------------------------------------------------------------------------

namespace {

constexpr uint8_t kCanary = 0xA5;
constexpr size_t kCanaryBytes = 64;

size_t PageSize() {
    static const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

}  // namespace

Guarded::Guarded(size_t bytes) : bytes_(bytes) {
    const size_t page = PageSize();
    const size_t body = (bytes + kCanaryBytes + page - 1) / page * page;
    mapped_ = body + 2 * page;
    void* mapping =
        mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) Fail("cannot map a guarded array");
    base_ = static_cast<uint8_t*>(mapping);
    mprotect(base_, page, PROT_NONE);
    mprotect(base_ + page + body, page, PROT_NONE);
    std::memset(base_ + page, kCanary, body);
    data_ = base_ + page + body - bytes;  // the last byte touches the guard page
}

Guarded::~Guarded() {
    munmap(base_, mapped_);
}

void Guarded::Seal() {
    const size_t page = PageSize();
    mprotect(base_ + page, mapped_ - 2 * page, PROT_READ);
}

bool Guarded::CanariesIntact() const {
    for (const uint8_t* p = base_ + PageSize(); p < data_; ++p) {
        if (*p != kCanary) return false;
    }
    return true;
}

void* Arena::Bytes(const void* values, size_t bytes, bool readOnly) {
    auto array = std::make_unique<Guarded>(bytes);
    if (bytes != 0) std::memcpy(array->data(), values, bytes);
    if (readOnly) array->Seal();
    void* data = array->data();
    arrays_.push_back({std::move(array), readOnly});
    return data;
}

float* Arena::Floats(const std::vector<float>& values, bool readOnly) {
    return static_cast<float*>(Bytes(values.data(), values.size() * sizeof(float), readOnly));
}

void Arena::CheckCanaries() const {
    for (size_t i = 0; i < arrays_.size(); ++i) {
        if (!arrays_[i].array->CanariesIntact()) {
            Fail("a write before the start of array #" + std::to_string(i));
        }
    }
}

std::vector<uint8_t> Arena::WrittenBytes() const {
    std::vector<uint8_t> bytes;
    for (const Entry& entry : arrays_) {
        if (entry.readOnly) continue;
        const auto* data = static_cast<const uint8_t*>(entry.array->data());
        bytes.insert(bytes.end(), data, data + entry.array->bytes());
    }
    return bytes;
}

// ---- Runs -----------------------------------------------------------------------------------

namespace {

void CheckTraffic(const Host::Accounting& accounting, std::vector<int64_t>& traffic) {
    for (const Host::AllocatorFault& fault : accounting.faults())
        Fail("allocator fault: " + fault.describe());
    for (const Host::Leak& leak : accounting.leaks()) {
        Fail("leak of " + std::to_string(leak.size) + " bytes from allocation #" +
             std::to_string(leak.callIndex));
    }
    for (const Host::ServiceCall& call : accounting.calls()) {
        using Kind = Host::ServiceCall::Kind;
        traffic.push_back(static_cast<int64_t>(call.kind));
        switch (call.kind) {
            case Kind::Allocate:
                if (call.size < 0 || call.size % 4 != 0 || call.alignment != 4 ||
                    call.label != VOCETTA_ALLOCATOR_TEMP || call.last != 0) {
                    Fail("allocation of " + std::to_string(call.size) + " bytes, alignment " +
                         std::to_string(call.alignment) + ", label " + std::to_string(call.label) +
                         ", last argument " + std::to_string(call.last));
                }
                traffic.push_back(call.size);
                break;
            case Kind::Release:
                if (call.label != VOCETTA_ALLOCATOR_TEMP) {
                    Fail("release with label " + std::to_string(call.label));
                }
                break;
            case Kind::Abort:
                Fail("abort: " + call.exceptionType + ": " + call.message);
        }
    }
}

}  // namespace

Outcome Run(const Host::Entries& entries, const Call& call, uint32_t controlWord) {
    Outcome outcome;
    Arena arena;
    {
        Host::Accounting accounting;
        const uint32_t saved = _mm_getcsr();
        _mm_setcsr(controlWord);
        try {
            outcome.result = call(entries, arena);
        } catch (const Host::AbortError& error) {
            _mm_setcsr(saved);
            Fail(std::string("the library aborted: ") + error.what());
        }
        _mm_setcsr(saved);
        CheckTraffic(accounting, outcome.traffic);
    }
    arena.CheckCanaries();
    outcome.written = arena.WrittenBytes();
    return outcome;
}

Outcome RunEveryBuild(const Call& call, uint32_t controlWord) {
    const Host::Library& library = Library();
    const Outcome sse2 = Run(library.variant(Host::Variant::Sse2), call, controlWord);
    const bool avx2Usable = Host::Supports(Host::Variant::Avx2);
    Outcome avx2;
    if (avx2Usable) {
        avx2 = Run(library.variant(Host::Variant::Avx2), call, controlWord);
        if (avx2.traffic != sse2.traffic) Fail("the two builds make different host traffic");
    }
    const Outcome forwarded = Run(library.entries(), call, controlWord);
    const Outcome& selected = Host::SelectedVariant() == Host::Variant::Avx2 ? avx2 : sse2;
    if (!(forwarded == selected)) Fail("the forwarder differs from the selected build");
    return forwarded;
}

uint32_t ControlWordFrom(Input& input) {
    const uint8_t choice = input.Byte();
    uint32_t word = kDefaultControlWord;
    word |= static_cast<uint32_t>(choice & 3u) << 13;  // rounding mode
    if ((choice & 4u) != 0) word |= 1u << 15;          // flush to zero
    if ((choice & 8u) != 0) word |= 1u << 6;           // denormals are zero
    return word;
}

}  // namespace Vocetta::Fuzz
