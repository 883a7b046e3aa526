#include "frame/cpu.h"

#include <cpuid.h>

namespace Vocetta::Frame {
namespace {

constexpr uint32_t kVendorIntel = 0x756E6547;  // "Genu"
constexpr uint32_t kVendorAmd = 0x68747541;    // "Auth"

enum Register { kEax, kEbx, kEcx, kEdx };

constexpr uint32_t Bit(uint32_t word, int bit) {
    return (word >> bit) & 1u;
}

void HardwareCpuid(void*, uint32_t leaf, uint32_t subleaf, uint32_t r[4]) {
    __cpuid_count(leaf, subleaf, r[kEax], r[kEbx], r[kEcx], r[kEdx]);
}

uint64_t HardwareXgetbv(void*, uint32_t index) {
    uint32_t low, high;
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(index));
    return (static_cast<uint64_t>(high) << 32) | low;
}

}  // namespace

ProcessorQueries HardwareQueries() {
    return {HardwareCpuid, HardwareXgetbv, nullptr};
}

int32_t ProbeProcessor(CpuModel& model, const ProcessorQueries& queries) {
    if (model.vendor != 0) return 0;

    uint32_t leaf0[4];
    queries.cpuid(queries.context, 0, 0, leaf0);
    const uint32_t maxLeaf = leaf0[kEax];
    if (maxLeaf == 0) {
        model.vendor = 3;
        return -1;
    }

    uint32_t leaf1[4];
    queries.cpuid(queries.context, 1, 0, leaf1);
    const uint32_t ecx = leaf1[kEcx], edx = leaf1[kEdx];
    uint32_t features = 0;
    if (Bit(ecx, 23)) features |= kPopcnt;
    if (Bit(edx, 26)) features |= kSse2;
    if (Bit(ecx, 0)) features |= kSse3;
    if (Bit(ecx, 19)) features |= kSse41;
    if (Bit(ecx, 20)) features |= kSse42;
    if (Bit(ecx, 12)) features |= kFma;
    if (Bit(ecx, 29)) features |= kF16c;

    // AVX needs the processor (AVX), the OS's XSAVE support (OSXSAVE) and the OS's consent to
    // keep SSE and AVX register state (XCR0 bits 1 and 2).
    bool avxStateUsable = false;
    if (Bit(ecx, 27) && Bit(ecx, 28)) {
        const uint64_t xcr0 = queries.xgetbv(queries.context, 0);
        if ((xcr0 & 6) == 6) {
            features |= kAvx;
            avxStateUsable = true;
        }
    }
    if (maxLeaf >= 7) {
        uint32_t leaf7[4];
        queries.cpuid(queries.context, 7, 0, leaf7);
        if (Bit(leaf7[kEbx], 5) && avxStateUsable) features |= kAvx2;
    }

    model.features = features;
    const uint32_t vendorWord = leaf0[kEbx];
    model.vendor = vendorWord == kVendorIntel ? 1 : vendorWord == kVendorAmd ? 2 : 3;
    return 0;
}

int32_t FeatureLevel(uint32_t features) {
    constexpr struct {
        int32_t level;
        uint32_t mask;
    } kLevels[] = {{6, 0xC7B4}, {5, 0x3B4}, {4, 0x1B4}, {3, 0xB0}, {2, 0x30}};
    for (const auto& entry : kLevels) {
        if ((features & entry.mask) == entry.mask) return entry.level;
    }
    return (features & kSse2) ? 1 : 0;
}

}  // namespace Vocetta::Frame
