// The load-time frame as a host sees it: the exported and imported symbols, what initialisation
// asks the resolver and keeps, the processor probe played on made-up processors, and the
// forwarders against the builds they dispatch to.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "frame/cpu.h"
#include "support.hpp"

namespace Vocetta::Testing {
namespace {

using Frame::CpuModel;
using Frame::ProcessorQueries;

// ---- Symbols ---------------------------------------------------------------------------------

std::string RunTool(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        ADD_FAILURE() << "cannot run " << command;
        return output;
    }
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        output.append(buffer, count);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return output;
}

struct DynamicSymbol {
    char type;      // nm's letter
    uint64_t size;  // bytes, as the symbol table records it
};

// `nm -D -S` of the shipped library: name -> type and size.
std::map<std::string, DynamicSymbol> SymbolTable(const std::string& which) {
    std::map<std::string, DynamicSymbol> symbols;
    std::istringstream lines(
        RunTool("nm -D -S " + which + " '" + std::string(VOCETTA_LIBRARY_PATH) + "'"));
    for (std::string line; std::getline(lines, line);) {
        // "address size type name" for defined symbols, "type name" for undefined ones.
        std::istringstream fields(line);
        std::vector<std::string> parts;
        for (std::string field; fields >> field;)
            parts.push_back(field);
        if (parts.size() == 4) {
            symbols[parts[3]] = {parts[2][0], std::stoull(parts[1], nullptr, 16)};
        } else if (parts.size() == 3) {
            symbols[parts[2]] = {parts[1][0], 0};
        } else if (parts.size() == 2) {
            symbols[parts[1]] = {parts[0][0], 0};
        } else if (!parts.empty()) {
            ADD_FAILURE() << "unexpected nm line: " << line;
        }
    }
    return symbols;
}

const char* const kSuffixes[] = {VOCETTA_VARIANT_SUFFIX_SSE2, VOCETTA_VARIANT_SUFFIX_AVX2};

const std::map<std::string, std::string> kStrings = {
    {"duzuv.string.1ea13c7f7ea144ea32205d7ec317f39f", "System.InvalidOperationException"},
    {"duzuv.string.22ec91e5bc43e7e512fc53c9ce97a8e0",
     "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::FreeTracked"},
    {"duzuv.string.731fe5c7d94aca16830f3fab033a10b0",
     "The NativeArray can not be Disposed because it was not allocated with a valid allocator."},
    {"duzuv.string.808e8e7f94567b9f878889686ba14eb1", "duzuv_abort"},
    {"duzuv.string.ffbfa8f9468181ee01437772260f8c26",
     "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::MallocTracked"},
};

const char* const kSlots[] = {
    "duzuv_abort_Ptr",
    "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::FreeTracked_Ptr",
    "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::MallocTracked_Ptr",
};

// Every name the library must export, with the nm type it must have.
std::map<std::string, char> ExpectedExports() {
    std::map<std::string, char> expected;
    for (const Host::EntryInfo& entry : Host::EntryTable()) {
        const std::string symbol = entry.symbol;
        expected[symbol] = 'T';
        for (const char* suffix : kSuffixes) {
            expected[symbol + suffix] = 'T';
            expected["duzuv.initialize.externals." + symbol + suffix] = 'T';
            expected["duzuv.initialize.statics." + symbol + suffix] = 'T';
        }
    }
    expected["duzuv.initialize"] = 'T';
    for (const char* slot : kSlots)
        expected[slot] = 'B';
    for (const auto& [name, text] : kStrings)
        expected[name] = 'R';
    for (const char* function : {"floorf", "ceilf", "rintf", "trunc"})
        expected[function] = 'T';
    // With SLEEF linked in, its sine and cosine reduction table is exported too.
    if (VOCETTA_SLEEF_STATIC) expected["rempitabsp"] = 'R';
    return expected;
}

TEST(Symbols, ExportsExactlyTheContract) {
    const std::map<std::string, char> expected = ExpectedExports();
    const auto exported = SymbolTable("--defined-only");
    EXPECT_EQ(expected.size(), 7 * Host::EntryTable().size() + 13 + VOCETTA_SLEEF_STATIC);

    for (const auto& [name, type] : expected) {
        const auto found = exported.find(name);
        if (found == exported.end()) {
            ADD_FAILURE() << "missing export: " << name;
            continue;
        }
        // Slots may land in .data or .bss, strings in any read-only section.
        const char actual = found->second.type;
        if (type == 'B') {
            EXPECT_TRUE(actual == 'B' || actual == 'D') << name << " has type " << actual;
            EXPECT_EQ(found->second.size, sizeof(void*)) << name;
        } else {
            EXPECT_EQ(actual, type) << name;
        }
    }
    for (const auto& [name, symbol] : exported) {
        EXPECT_TRUE(expected.count(name)) << "stray export: " << name << " (" << symbol.type << ")";
    }
    for (const auto& [name, text] : kStrings) {
        const auto found = exported.find(name);
        if (found != exported.end()) {
            EXPECT_EQ(found->second.size, text.size() + 1) << name;
        }
    }
}

TEST(Symbols, ImportsOnlySleef) {
    for (const auto& [name, symbol] : SymbolTable("--undefined-only")) {
        EXPECT_EQ(name.rfind("Sleef_", 0), 0u) << "unexpected import: " << name;
    }
    std::istringstream lines(RunTool("readelf -d '" + std::string(VOCETTA_LIBRARY_PATH) + "'"));
    for (std::string line; std::getline(lines, line);) {
        if (line.find("(NEEDED)") == std::string::npos) continue;
        EXPECT_NE(line.find("Shared library: [libsleef.so.3]"), std::string::npos)
            << "unexpected dependency: " << line;
    }
}

TEST(Symbols, ConstantStringsHoldTheirTexts) {
    for (const auto& [name, text] : kStrings) {
        const auto* string = static_cast<const char*>(Library().symbol(name.c_str()));
        ASSERT_NE(string, nullptr) << name;
        EXPECT_EQ(std::string(string), text) << name;
    }
}

// ---- Initialisation --------------------------------------------------------------------------

struct ResolverCall {
    const char* name;
    std::string text;
};
std::vector<ResolverCall> gResolverCalls;

// Answers every lookup with a distinct made-up address, so that the slots show which call won.
void* FakeAnswer(size_t call) {
    return reinterpret_cast<void*>(uintptr_t{0x10000} + 16 * call);
}

void* RecordingResolver(const char* name) {
    gResolverCalls.push_back({name, name});
    return FakeAnswer(gResolverCalls.size() - 1);
}

void* Slot(const char* name) {
    auto* slot = static_cast<void**>(Library().symbol(name));
    EXPECT_NE(slot, nullptr) << name;
    return slot != nullptr ? *slot : nullptr;
}

// Puts the real services back whatever the test did to the slots.
struct RestoreServices {
    ~RestoreServices() { Library().initialize(&Host::Library::DefaultResolver); }
};

TEST(Initialisation, AsksThreeServicesPerEntryInOrderAndKeepsTheLastAnswers) {
    const Host::Library& library = Library();  // loaded and initialised before the test
    const RestoreServices restore;
    gResolverCalls.clear();
    // Opening the same path again reaches the already loaded image and initialises it anew.
    const Host::Library again(VOCETTA_LIBRARY_PATH, &RecordingResolver);
    ASSERT_EQ(again.symbol("duzuv_abort_Ptr"), library.symbol("duzuv_abort_Ptr"));

    const size_t entries = Host::EntryTable().size();
    ASSERT_EQ(entries, 23u);
    ASSERT_EQ(gResolverCalls.size(), 69u);
    const char* const ownNames[] = {
        static_cast<const char*>(library.symbol("duzuv.string.808e8e7f94567b9f878889686ba14eb1")),
        static_cast<const char*>(library.symbol("duzuv.string.22ec91e5bc43e7e512fc53c9ce97a8e0")),
        static_cast<const char*>(library.symbol("duzuv.string.ffbfa8f9468181ee01437772260f8c26")),
    };
    const char* const texts[] = {"duzuv_abort",
                                 "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::FreeTracked",
                                 "Unity.Collections.LowLevel.Unsafe.UnsafeUtility::MallocTracked"};
    for (size_t call = 0; call < gResolverCalls.size(); ++call) {
        EXPECT_EQ(gResolverCalls[call].text, texts[call % 3]) << "call " << call;
        EXPECT_EQ(gResolverCalls[call].name, ownNames[call % 3]) << "call " << call;
    }
    const size_t last = 3 * entries - 3;
    EXPECT_EQ(Slot("duzuv_abort_Ptr"), FakeAnswer(last));
    EXPECT_EQ(Slot("Unity.Collections.LowLevel.Unsafe.UnsafeUtility::FreeTracked_Ptr"),
              FakeAnswer(last + 1));
    EXPECT_EQ(Slot("Unity.Collections.LowLevel.Unsafe.UnsafeUtility::MallocTracked_Ptr"),
              FakeAnswer(last + 2));
}

TEST(Initialisation, DefaultResolverFillsTheSlotsWithTheSdkServices) {
    Library().initialize(&Host::Library::DefaultResolver);
    EXPECT_EQ(Slot("duzuv_abort_Ptr"), reinterpret_cast<void*>(&Host::Abort));
    EXPECT_EQ(Slot("Unity.Collections.LowLevel.Unsafe.UnsafeUtility::FreeTracked_Ptr"),
              reinterpret_cast<void*>(&Host::FreeTracked));
    EXPECT_EQ(Slot("Unity.Collections.LowLevel.Unsafe.UnsafeUtility::MallocTracked_Ptr"),
              reinterpret_cast<void*>(&Host::MallocTracked));
}

TEST(Initialisation, SecondInitialisationKeepsTheForwardersAnswering) {
    const Host::Entries& forwarders = Library().entries();
    const float block[] = {3.0f, -4.0f, 0.5f, -7.25f, 1.0f};
    const float peak = forwarders._PeakMagnitude(block, 5);
    const float norm = forwarders._EuclideanNorm(block, 5);
    const int32_t word = forwarders._GetControlWord();

    Library().initialize(&Host::Library::DefaultResolver);
    Library().initialize(&Host::Library::DefaultResolver);

    EXPECT_EQ(forwarders._ReturnOne(), 1);
    EXPECT_TRUE(SameBits(forwarders._PeakMagnitude(block, 5), peak));
    EXPECT_TRUE(SameBits(forwarders._EuclideanNorm(block, 5), norm));
    EXPECT_EQ(forwarders._GetControlWord(), word);
    float unrolled[5];
    forwarders._UnrollRingBuffer(block, unrolled, 5, 3);
    EXPECT_EQ(unrolled[0], -7.25f);
    EXPECT_EQ(unrolled[4], 0.5f);
}

// ---- Forwarders ------------------------------------------------------------------------------

TEST(Forwarders, ReturnWhatTheSelectedBuildReturns) {
    const Host::Entries& forwarders = Library().entries();
    const Host::Entries& selected = Library().variant(Host::SelectedVariant());

    std::vector<float> block(1037);
    uint32_t state = 12345;
    for (float& x : block) {
        state = state * 1664525u + 1013904223u;
        x = static_cast<float>(static_cast<int32_t>(state)) * 0x1p-27f;
    }
    block[17] = std::numeric_limits<float>::quiet_NaN();
    for (const int32_t length : {0, 1, 7, 8, 16, 1037}) {
        const float* data = length > 17 ? block.data() : block.data() + 100;
        EXPECT_TRUE(SameBits(forwarders._PeakMagnitude(data, length),
                             selected._PeakMagnitude(data, length)));
        EXPECT_TRUE(SameBits(forwarders._RootMeanSquare(data, length),
                             selected._RootMeanSquare(data, length)));
        EXPECT_TRUE(SameBits(forwarders._EuclideanNorm(data, length),
                             selected._EuclideanNorm(data, length)));
        std::vector<float> viaForwarder(block.size(), 1.0f), viaBuild(block.size(), 1.0f);
        forwarders._UnrollRingBuffer(data, viaForwarder.data(), length, 5);
        selected._UnrollRingBuffer(data, viaBuild.data(), length, 5);
        EXPECT_EQ(0, std::memcmp(viaForwarder.data(), viaBuild.data(), block.size() * 4));
    }
    EXPECT_EQ(forwarders._ReturnOne(), selected._ReturnOne());

    const int32_t saved = selected._GetControlWord();
    forwarders._SetControlWord(saved ^ 0x6000);  // round toward zero instead of to nearest
    EXPECT_EQ(selected._GetControlWord(), saved ^ 0x6000);
    EXPECT_EQ(forwarders._GetControlWord(), selected._GetControlWord());
    selected._SetControlWord(saved);
    EXPECT_EQ(forwarders._GetControlWord(), saved);
}

TEST(Forwarders, CpuRecordIsFilledAndAgreesWithTheSdk) {
    using CpuModelFn = const CpuModel* (*)();
    using LevelFn = int32_t (*)(uint32_t);
    const CpuModel* model = TestingSymbol<CpuModelFn>("vocetta_testing_cpu_model")();
    const auto level = TestingSymbol<LevelFn>("vocetta_testing_feature_level");
    ASSERT_NE(model, nullptr);
    EXPECT_GE(model->vendor, 1u);
    EXPECT_LE(model->vendor, 3u);
    EXPECT_EQ(level(model->features), Host::ProcessorFeatureLevel());

    // The compiler runtime's own reading of this processor, an independent witness.
    __builtin_cpu_init();
    const struct {
        uint32_t bit;
        bool present;
    } features[] = {
        {Frame::kPopcnt, __builtin_cpu_supports("popcnt") != 0},
        {Frame::kSse2, __builtin_cpu_supports("sse2") != 0},
        {Frame::kSse3, __builtin_cpu_supports("sse3") != 0},
        {Frame::kSse41, __builtin_cpu_supports("sse4.1") != 0},
        {Frame::kSse42, __builtin_cpu_supports("sse4.2") != 0},
        {Frame::kAvx, __builtin_cpu_supports("avx") != 0},
        {Frame::kAvx2, __builtin_cpu_supports("avx2") != 0},
        {Frame::kFma, __builtin_cpu_supports("fma") != 0},
    };
    for (const auto& feature : features) {
        EXPECT_EQ((model->features & feature.bit) != 0, feature.present) << "bit " << feature.bit;
    }
    const uint32_t vendor = __builtin_cpu_is("intel") ? 1 : __builtin_cpu_is("amd") ? 2 : 3;
    EXPECT_EQ(model->vendor, vendor);
    EXPECT_EQ(Host::SelectedVariant() == Host::Variant::Avx2, level(model->features) == 6);
}

// ---- Processor probe on made-up processors ---------------------------------------------------

constexpr uint32_t kGenu = 0x756E6547, kAuth = 0x68747541, kCent = 0x746E6543;

// Leaf 1 ECX and EDX bits.
constexpr uint32_t kEcxSse3 = 1u << 0, kEcxFma = 1u << 12, kEcxSse41 = 1u << 19,
                   kEcxSse42 = 1u << 20, kEcxPopcnt = 1u << 23, kEcxOsxsave = 1u << 27,
                   kEcxAvx = 1u << 28, kEcxF16c = 1u << 29, kEdxSse2 = 1u << 26;
constexpr uint32_t kEbx7Avx2 = 1u << 5;

// A processor as a table of answers, counting every question.
struct FakeProcessor {
    uint32_t maxLeaf = 7;
    uint32_t vendor = kGenu;
    uint32_t ecx1 = 0, edx1 = 0, ebx7 = 0;
    uint64_t xcr0 = 0x7;

    std::map<uint32_t, int> cpuidCalls;
    std::vector<uint32_t> leaf7Subleaves, xgetbvIndices;

    static void Cpuid(void* context, uint32_t leaf, uint32_t subleaf, uint32_t r[4]) {
        auto& self = *static_cast<FakeProcessor*>(context);
        ++self.cpuidCalls[leaf];
        r[0] = r[1] = r[2] = r[3] = 0;
        if (leaf == 0) {
            r[0] = self.maxLeaf;
            r[1] = self.vendor;
            r[2] = 0x6C65746E;  // the rest of the string: never compared
            r[3] = 0x49656E69;
        } else if (leaf == 1) {
            r[0] = 0x000906EA;
            r[2] = self.ecx1;
            r[3] = self.edx1;
        } else if (leaf == 7) {
            self.leaf7Subleaves.push_back(subleaf);
            r[1] = self.ebx7;
        }
    }
    static uint64_t Xgetbv(void* context, uint32_t index) {
        auto& self = *static_cast<FakeProcessor*>(context);
        self.xgetbvIndices.push_back(index);
        return self.xcr0;
    }

    int queries() const {
        int total = static_cast<int>(xgetbvIndices.size());
        for (const auto& [leaf, count] : cpuidCalls)
            total += count;
        return total;
    }

    struct Outcome {
        int32_t result;
        CpuModel model;
        int32_t level;
        bool avx2;
    };
    Outcome probe() {
        using ProbeFn = int32_t (*)(CpuModel*, const ProcessorQueries*);
        using LevelFn = int32_t (*)(uint32_t);
        using SelectedFn = int32_t (*)(int32_t);
        const ProcessorQueries queries{&Cpuid, &Xgetbv, this};
        Outcome outcome{};
        outcome.result = TestingSymbol<ProbeFn>("vocetta_testing_probe")(&outcome.model, &queries);
        outcome.level =
            TestingSymbol<LevelFn>("vocetta_testing_feature_level")(outcome.model.features);
        outcome.avx2 = TestingSymbol<SelectedFn>("vocetta_testing_selected_build")(outcome.level) ==
                       static_cast<int32_t>(Host::Variant::Avx2);
        return outcome;
    }
};

// The nine bits the library reads; the probe may set others.
constexpr uint32_t kKnownBits = 0xC7B4;

FakeProcessor FullProcessor() {
    FakeProcessor cpu;
    cpu.ecx1 =
        kEcxSse3 | kEcxFma | kEcxSse41 | kEcxSse42 | kEcxPopcnt | kEcxOsxsave | kEcxAvx | kEcxF16c;
    cpu.edx1 = kEdxSse2;
    cpu.ebx7 = kEbx7Avx2;
    return cpu;
}

TEST(ProcessorProbe, FullProcessorIsLevelSixAndRunsAvx2) {
    FakeProcessor cpu = FullProcessor();
    const auto outcome = cpu.probe();
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(outcome.model.vendor, 1u);
    EXPECT_EQ(outcome.model.features & kKnownBits, kKnownBits);
    EXPECT_EQ(outcome.level, 6);
    EXPECT_TRUE(outcome.avx2);
    EXPECT_EQ(cpu.cpuidCalls[0], 1);
    EXPECT_EQ(cpu.cpuidCalls[1], 1);
    EXPECT_EQ(cpu.leaf7Subleaves, std::vector<uint32_t>{0});
    EXPECT_EQ(cpu.xgetbvIndices, std::vector<uint32_t>{0});
}

TEST(ProcessorProbe, EachCpuidBitSetsItsFeatureAlone) {
    const struct {
        uint32_t ecx1, edx1, ebx7;
        uint32_t feature;
    } rows[] = {
        {kEcxPopcnt, 0, 0, Frame::kPopcnt},
        {0, kEdxSse2, 0, Frame::kSse2},
        {kEcxSse3, 0, 0, Frame::kSse3},
        {kEcxSse41, 0, 0, Frame::kSse41},
        {kEcxSse42, 0, 0, Frame::kSse42},
        {kEcxFma, 0, 0, Frame::kFma},
        {kEcxF16c, 0, 0, Frame::kF16c},
        {kEcxOsxsave | kEcxAvx, 0, 0, Frame::kAvx},
        {kEcxOsxsave | kEcxAvx, 0, kEbx7Avx2, Frame::kAvx | Frame::kAvx2},
    };
    for (const auto& row : rows) {
        FakeProcessor cpu;
        cpu.ecx1 = row.ecx1;
        cpu.edx1 = row.edx1;
        cpu.ebx7 = row.ebx7;
        EXPECT_EQ(cpu.probe().model.features & kKnownBits, row.feature) << std::hex << row.feature;
    }
}

TEST(ProcessorProbe, Avx2AndFmaWithoutF16cIsLevelFiveOnSse2) {
    FakeProcessor cpu = FullProcessor();
    cpu.ecx1 &= ~kEcxF16c;
    const auto outcome = cpu.probe();
    EXPECT_TRUE(outcome.model.features & Frame::kAvx2);
    EXPECT_EQ(outcome.level, 5);
    EXPECT_FALSE(outcome.avx2);
}

TEST(ProcessorProbe, AvxStateDisabledByTheSystemMeansNoAvxAtAll) {
    for (const uint64_t xcr0 : {0x1ull, 0x3ull, 0x5ull, 0xE1ull}) {
        FakeProcessor cpu = FullProcessor();
        cpu.xcr0 = xcr0;
        const auto outcome = cpu.probe();
        EXPECT_EQ(outcome.model.features & (Frame::kAvx | Frame::kAvx2), 0u) << xcr0;
        EXPECT_EQ(outcome.level, 4) << xcr0;
        EXPECT_FALSE(outcome.avx2);
    }
    FakeProcessor cpu = FullProcessor();
    cpu.xcr0 = 0xE7;  // further state components do not matter
    EXPECT_EQ(cpu.probe().level, 6);
}

TEST(ProcessorProbe, XgetbvOnlyWithOsxsaveAndAvx) {
    for (const uint32_t bits : {0u, kEcxOsxsave, kEcxAvx}) {
        FakeProcessor cpu = FullProcessor();
        cpu.ecx1 = (cpu.ecx1 & ~(kEcxOsxsave | kEcxAvx)) | bits;
        const auto outcome = cpu.probe();
        EXPECT_TRUE(cpu.xgetbvIndices.empty()) << bits;
        EXPECT_EQ(outcome.model.features & (Frame::kAvx | Frame::kAvx2), 0u) << bits;
        EXPECT_EQ(outcome.level, 4);
    }
}

TEST(ProcessorProbe, LowHighestLeafMeansNoAvx2AndNoLeafSeven) {
    for (const uint32_t maxLeaf : {1u, 6u}) {
        FakeProcessor cpu = FullProcessor();
        cpu.maxLeaf = maxLeaf;
        const auto outcome = cpu.probe();
        EXPECT_EQ(cpu.cpuidCalls.count(7), 0u) << maxLeaf;
        EXPECT_FALSE(outcome.model.features & Frame::kAvx2);
        EXPECT_TRUE(outcome.model.features & Frame::kAvx);
        EXPECT_EQ(outcome.level, 5);
        EXPECT_FALSE(outcome.avx2);
    }
    FakeProcessor cpu = FullProcessor();
    cpu.maxLeaf = 0x1F;
    EXPECT_EQ(cpu.probe().level, 6);
}

TEST(ProcessorProbe, NoBasicLeavesGivesVendorThreeAndNothingElse) {
    FakeProcessor cpu = FullProcessor();
    cpu.maxLeaf = 0;
    const auto outcome = cpu.probe();
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(outcome.model.vendor, 3u);  // even with the Intel word in EBX
    EXPECT_EQ(outcome.model.features, 0u);
    EXPECT_EQ(outcome.level, 0);
    EXPECT_FALSE(outcome.avx2);
    EXPECT_EQ(cpu.queries(), 1);
}

TEST(ProcessorProbe, VendorCodeComesFromTheEbxWordOnly) {
    const struct {
        uint32_t word, code;
    } rows[] = {{kGenu, 1}, {kAuth, 2}, {kCent, 3}, {0, 3}, {0x756E6548, 3}};
    for (const auto& row : rows) {
        FakeProcessor cpu;
        cpu.edx1 = kEdxSse2;
        cpu.vendor = row.word;
        EXPECT_EQ(cpu.probe().model.vendor, row.code) << std::hex << row.word;
    }
}

TEST(ProcessorProbe, SecondProbeAsksNothing) {
    FakeProcessor cpu = FullProcessor();
    const ProcessorQueries queries{&FakeProcessor::Cpuid, &FakeProcessor::Xgetbv, &cpu};
    using ProbeFn = int32_t (*)(CpuModel*, const ProcessorQueries*);
    const auto probe = TestingSymbol<ProbeFn>("vocetta_testing_probe");
    CpuModel model{};
    EXPECT_EQ(probe(&model, &queries), 0);
    const int first = cpu.queries();
    const CpuModel filled = model;
    EXPECT_EQ(probe(&model, &queries), 0);
    EXPECT_EQ(cpu.queries(), first);
    EXPECT_EQ(model.vendor, filled.vendor);
    EXPECT_EQ(model.features, filled.features);

    // Any vendor code counts as "already probed", including the no-leaves code.
    FakeProcessor other;
    const ProcessorQueries otherQueries{&FakeProcessor::Cpuid, &FakeProcessor::Xgetbv, &other};
    CpuModel probed{3, 0};
    EXPECT_EQ(probe(&probed, &otherQueries), 0);
    EXPECT_EQ(other.queries(), 0);
}

TEST(ProcessorProbe, LevelsFollowTheLowerFeatureSets) {
    const uint32_t sse = kEdxSse2;
    const struct {
        uint32_t ecx1, edx1;
        int32_t level;
    } rows[] = {
        {kEcxSse3 | kEcxSse41, sse, 3},
        {kEcxSse3 | kEcxSse41 | kEcxPopcnt, sse, 3},
        {kEcxSse3 | kEcxSse41 | kEcxSse42, sse, 3},
        {kEcxSse3 | kEcxSse41 | kEcxSse42 | kEcxPopcnt, sse, 4},
        {kEcxSse3 | kEcxSse42 | kEcxPopcnt, sse, 2},
        {kEcxSse3, sse, 2},
        {0, sse, 1},
        {kEcxSse41 | kEcxSse42 | kEcxPopcnt | kEcxOsxsave | kEcxAvx | kEcxFma | kEcxF16c, sse, 1},
        {kEcxSse3 | kEcxSse41 | kEcxSse42 | kEcxPopcnt | kEcxOsxsave | kEcxAvx, 0, 0},
        {0, 0, 0},
    };
    for (const auto& row : rows) {
        FakeProcessor cpu;
        cpu.ecx1 = row.ecx1;
        cpu.edx1 = row.edx1;
        cpu.ebx7 = kEbx7Avx2;
        const auto outcome = cpu.probe();
        EXPECT_EQ(outcome.level, row.level) << std::hex << row.ecx1 << " " << row.edx1;
        EXPECT_FALSE(outcome.avx2);
    }
}

TEST(ProcessorProbe, FeatureMasksAndVariantChoice) {
    using LevelFn = int32_t (*)(uint32_t);
    using SelectedFn = int32_t (*)(int32_t);
    const auto level = TestingSymbol<LevelFn>("vocetta_testing_feature_level");
    const auto selected = TestingSymbol<SelectedFn>("vocetta_testing_selected_build");
    EXPECT_EQ(level(0xC7B4), 6);
    EXPECT_EQ(level(0xFFFFFFFF), 6);
    EXPECT_EQ(level(0xC7B4 & ~Frame::kF16c), 5);
    EXPECT_EQ(level(0xC7B4 & ~Frame::kFma), 5);
    EXPECT_EQ(level(0x3B4), 5);
    EXPECT_EQ(level(0xC7B4 & ~Frame::kAvx), 4);
    EXPECT_EQ(level(0x1B4), 4);
    EXPECT_EQ(level(0xB0), 3);
    EXPECT_EQ(level(0x30), 2);
    EXPECT_EQ(level(Frame::kSse2), 1);
    EXPECT_EQ(level(0xFFFFFFFF & ~Frame::kSse3), 1);
    EXPECT_EQ(level(0xFFFFFFFF & ~Frame::kSse2), 0);
    EXPECT_EQ(level(0), 0);
    EXPECT_EQ(level(0xC7B4 | 1u << 6), 6);  // SSSE3 and other bits change nothing

    // Levels 6 and 7 run AVX2; every other level, however odd, falls back to the baseline.
    const auto avx2 = static_cast<int32_t>(Host::Variant::Avx2);
    const auto sse2 = static_cast<int32_t>(Host::Variant::Sse2);
    for (int32_t l = -2; l <= 9; ++l)
        EXPECT_EQ(selected(l), l == 6 || l == 7 ? avx2 : sse2) << l;
    EXPECT_EQ(selected(INT32_MIN), sse2);
    EXPECT_EQ(selected(INT32_MAX), sse2);
}

TEST(Symbols, RuntimeFunctionsComeFromTheLibrary) {
    Dl_info library{};
    ASSERT_NE(dladdr(Library().symbol("duzuv.initialize"), &library), 0);
    for (const char* name : {"floorf", "ceilf", "rintf", "trunc"}) {
        void* address = Library().symbol(name);
        ASSERT_NE(address, nullptr) << name;
        Dl_info info{};
        ASSERT_NE(dladdr(address, &info), 0) << name;
        EXPECT_EQ(info.dli_fbase, library.dli_fbase) << name << " resolves outside the library";
    }
}

}  // namespace
}  // namespace Vocetta::Testing
