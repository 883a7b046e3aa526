// The job beside a conventional MFCC library, in one program so that the ratio is measured on
// the same machine in the same run: aubio's MFCC of a 1,024-sample block (window, FFT, 30-band
// mel bank, log, DCT) and Execute on the same block, each with three hosts: plain malloc, the
// SDK's real-time allocator, and a bump arena whose calls cost next to nothing. A replay of the
// job's host calls alone shows what the calls themselves cost on each host.
//
//     bench/peer_ratios.py build/vocetta_bench
//
// runs it with interleaved repetitions and prints the medians and their ratios of that one run.
#include <cstdlib>
#include <cstring>

#include "bench_support.hpp"
#include "vocetta/host_services.hpp"

#if VOCETTA_HAVE_AUBIO
#include <aubio/aubio.h>
#endif

namespace Vocetta::Bench {
namespace {

constexpr int32_t kBlock = JobRecord::kBlock, kMelDiv = JobRecord::kMelDiv,
                  kCoefficients = JobRecord::kCoefficients;

// ---- Hosts ----------------------------------------------------------------------------------

void* MallocHostAllocate(int64_t size, int32_t, int32_t, int32_t) {
    return std::malloc(static_cast<size_t>(size > 0 ? size : 1));
}
void MallocHostRelease(void* pointer, int32_t) {
    std::free(pointer);
}

// Hands out consecutive pieces of one arena and takes nothing back; reset between blocks.
struct BumpArena {
    alignas(64) static inline unsigned char memory[8 << 20];
    static inline size_t used = 0;
};
void* BumpHostAllocate(int64_t size, int32_t, int32_t, int32_t) {
    void* block = BumpArena::memory + BumpArena::used;
    BumpArena::used += (static_cast<size_t>(size) + 15) & ~size_t{15};
    if (BumpArena::used > sizeof BumpArena::memory) std::abort();
    return block;
}
void BumpHostRelease(void*, int32_t) {}

struct HostKind {
    const char* name;
    VocettaMallocTracked allocate;
    VocettaFreeTracked release;
};
const HostKind kHosts[] = {
    {"malloc", &MallocHostAllocate, &MallocHostRelease},
    {"sdk", &Vocetta::Host::MallocTracked, &Vocetta::Host::FreeTracked},
    {"bump", &BumpHostAllocate, &BumpHostRelease},
};

const HostKind* gHost = nullptr;
void* ResolveHost(const char* name) {
    if (std::strcmp(name, VOCETTA_SERVICE_MALLOC_TRACKED) == 0) {
        return reinterpret_cast<void*>(gHost->allocate);
    }
    if (std::strcmp(name, VOCETTA_SERVICE_FREE_TRACKED) == 0) {
        return reinterpret_cast<void*>(gHost->release);
    }
    return Vocetta::Host::Library::DefaultResolver(name);
}

// Lends the library `host`'s services for as long as it lives.
class HostServices {
  public:
    explicit HostServices(const HostKind& host) {
        gHost = &host;
        Library().initialize(&ResolveHost);
    }
    ~HostServices() { Library().initialize(&Vocetta::Host::Library::DefaultResolver); }
    HostServices(const HostServices&) = delete;
    HostServices& operator=(const HostServices&) = delete;
};

// ---- The job --------------------------------------------------------------------------------

void Execute(benchmark::State& state, const Vocetta::Host::Entries& entries, int32_t rate,
             const HostKind& host) {
    JobRecord job(rate, MeanAbsoluteDistance);
    const HostServices services(host);
    for (auto _ : state) {
        BumpArena::used = 0;
        entries.LipSyncJob_Execute(&job.record);
        benchmark::DoNotOptimize(job.result[0]);
    }
}

// The job's host calls for one block, recorded once: allocation sizes and which allocation
// each release returns.
struct Replay {
    struct Call {
        int64_t size;  // -1: a release
        size_t block;  // release: index of the allocation
    };
    std::vector<Call> calls;
    size_t allocations = 0;
};

Replay RecordReplay(const Vocetta::Host::Entries& entries, int32_t rate) {
    JobRecord job(rate, MeanAbsoluteDistance);
    Replay replay;
    Vocetta::Host::Accounting accounting;
    entries.LipSyncJob_Execute(&job.record);
    std::vector<const void*> pointers;
    for (const Vocetta::Host::ServiceCall& call : accounting.calls()) {
        if (call.kind == Vocetta::Host::ServiceCall::Kind::Allocate) {
            replay.calls.push_back({call.size, pointers.size()});
            pointers.push_back(call.pointer);
        } else if (call.kind == Vocetta::Host::ServiceCall::Kind::Release) {
            size_t block = 0;
            while (pointers[block] != call.pointer)
                ++block;
            pointers[block] = nullptr;  // the same address may come back later
            replay.calls.push_back({-1, block});
        }
    }
    replay.allocations = pointers.size();
    return replay;
}

void ReplayCalls(benchmark::State& state, int32_t rate, const HostKind& host) {
    const Replay replay = RecordReplay(Library().entries(), rate);
    std::vector<void*> blocks(replay.allocations);
    for (auto _ : state) {
        BumpArena::used = 0;
        size_t next = 0;
        for (const Replay::Call& call : replay.calls) {
            if (call.size >= 0) {
                blocks[next++] = host.allocate(call.size, 4, VOCETTA_ALLOCATOR_TEMP, 0);
            } else {
                host.release(blocks[call.block], VOCETTA_ALLOCATOR_TEMP);
            }
        }
        benchmark::DoNotOptimize(blocks.data());
    }
    state.counters["service_calls"] = static_cast<double>(replay.calls.size());
}

// ---- The peer -------------------------------------------------------------------------------

#if VOCETTA_HAVE_AUBIO
void AubioMfcc(benchmark::State& state, int32_t rate) {
    const std::vector<float> samples = SpeechLikeSignal(kBlock, static_cast<float>(rate));
    fvec_t* block = new_fvec(kBlock);
    fvec_t* windowed = new_fvec(kBlock);
    char windowType[] = "hanningz";
    fvec_t* window = new_aubio_window(windowType, kBlock);
    aubio_fft_t* fft = new_aubio_fft(kBlock);
    cvec_t* spectrum = new_cvec(kBlock);
    aubio_mfcc_t* mfcc = new_aubio_mfcc(kBlock, kMelDiv, kCoefficients + 1, rate);
    fvec_t* coefficients = new_fvec(kCoefficients + 1);
    for (int32_t i = 0; i < kBlock; ++i)
        block->data[i] = samples[static_cast<size_t>(i)];
    for (auto _ : state) {
        fvec_weighted_copy(block, window, windowed);
        aubio_fft_do(fft, windowed, spectrum);
        aubio_mfcc_do(mfcc, spectrum, coefficients);
        benchmark::DoNotOptimize(coefficients->data[1]);
    }
    del_fvec(coefficients);
    del_aubio_mfcc(mfcc);
    del_cvec(spectrum);
    del_aubio_fft(fft);
    del_fvec(window);
    del_fvec(windowed);
    del_fvec(block);
}
#endif

const bool kRegistered = [] {
    for (int32_t rate : {48000, 44100, 16000}) {
        const std::string rateName = std::to_string(rate);
#if VOCETTA_HAVE_AUBIO
        benchmark::RegisterBenchmark(("PeerAubioMfcc/" + rateName).c_str(),
                                     [rate](benchmark::State& state) { AubioMfcc(state, rate); });
#endif
        for (const HostKind& host : kHosts) {
            RegisterEachBuild(
                "PeerExecute/" + rateName + "/" + host.name,
                [rate, &host](benchmark::State& state, const Vocetta::Host::Entries& entries,
                              Vocetta::Host::Variant) { Execute(state, entries, rate, host); });
            benchmark::RegisterBenchmark(
                ("PeerHostCalls/" + rateName + "/" + host.name).c_str(),
                [rate, &host](benchmark::State& state) { ReplayCalls(state, rate, host); });
        }
    }
    return true;
}();

}  // namespace
}  // namespace Vocetta::Bench
