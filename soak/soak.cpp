// vocetta_soak: a long run of random job records and kernel calls through the host SDK, once on
// one thread and once spread over N threads, all under the SDK's accounting allocator. Every
// call's outputs are hashed; a call whose threaded hash differs from its sequential one is a
// difference. Prints the calls made, host-service traffic, leaks, double releases, label
// mismatches, other allocator faults, aborts and differences; exits 1 if any of these is not 0.
//
//     build/vocetta_soak [--calls N] [--threads N] [--seed N] [--batch N] [--build NAME]
//
// --build x64_sse2 or avx2 calls that build's own symbols instead of the forwarders (which run the
// build the processor selects), so each build can be soaked in turn.
//
// Not a ctest case: a million calls take minutes. Every call's arguments follow from the seed and
// the call's number alone, so both runs make exactly the same calls.
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "job_arrays.hpp"
#include "vocetta/host_services.hpp"
#include "vocetta/library.hpp"

namespace {

using Vocetta::ColorMapJob;
using Vocetta::PhonemeColor;
using Vocetta::PhonemeTextureJob;
using Vocetta::Host::Entries;

// FNV-1a over everything a call wrote and returned.
class Hash {
  public:
    void Add(const void* data, size_t bytes) {
        const auto* p = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < bytes; ++i) {
            value_ ^= p[i];
            value_ *= 0x100000001B3ull;
        }
    }
    template <typename T>
    void Add(const std::vector<T>& values) {
        Add(values.data(), values.size() * sizeof(T));
    }
    template <typename T>
    void AddValue(T value) {
        Add(&value, sizeof value);
    }
    uint64_t value() const { return value_; }

  private:
    uint64_t value_ = 0xCBF29CE484222325ull;
};

uint64_t SplitMix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

class Draw {
  public:
    explicit Draw(uint64_t seed) : random_(seed) {}
    int32_t Int(int32_t low, int32_t high) {
        return std::uniform_int_distribution<int32_t>(low, high)(random_);
    }
    float Real(float low, float high) {
        return std::uniform_real_distribution<float>(low, high)(random_);
    }
    std::vector<float> Block(size_t count, float scale) {
        std::vector<float> values(count);
        for (float& v : values)
            v = Real(-scale, scale);
        return values;
    }

  private:
    std::mt19937_64 random_;
};

using Vocetta::Testing::View;

// A lip-sync record at a common capture rate, with speech-like statistics.
void RunJob(const Entries& e, Draw& draw, Hash& hash) {
    constexpr int32_t kRates[] = {16000, 22050, 32000, 44100, 48000};
    constexpr int32_t kBlocks[] = {128, 256, 512, 1024};
    const int32_t sampleRate = kRates[draw.Int(0, 4)];
    const int32_t length = kBlocks[draw.Int(0, 3)];
    const int32_t melDiv = draw.Int(4, 40);
    const int32_t coefficients = draw.Int(0, melDiv - 1);
    const int32_t phonemes = draw.Int(0, 8);
    Vocetta::Testing::JobArrays job;
    job.input = draw.Block(static_cast<size_t>(length), 0.5f);
    job.means = draw.Block(static_cast<size_t>(coefficients), 30.0f);
    job.deviations.resize(static_cast<size_t>(coefficients));
    for (float& d : job.deviations)
        d = draw.Real(1.0f, 30.0f);
    job.profiles = draw.Block(static_cast<size_t>(coefficients * phonemes), 60.0f);
    job.mfcc.resize(static_cast<size_t>(coefficients));
    job.scores.resize(static_cast<size_t>(phonemes));
    job.Bind();
    job.record.startIndex = draw.Int(0, length - 1);
    job.record.sampleRate = sampleRate;
    job.record.targetSampleRate = 16000;
    job.record.melDiv = melDiv;
    job.record.scoreMethod = draw.Int(0, 2);
    e.LipSyncJob_Execute(&job.record);
    hash.Add(job.mfcc);
    hash.Add(job.scores);
    hash.AddValue(job.result[0]);
}

void RunKernel(const Entries& e, Draw& draw, Hash& hash, int kind) {
    const int32_t n = draw.Int(0, 512);
    const auto size = static_cast<size_t>(n);
    switch (kind) {
        case 0: {
            std::vector<float> re = draw.Block(size, 1.0f), im = draw.Block(size, 1.0f);
            e._FFT(re.data(), im.data(), n);
            hash.Add(re);
            hash.Add(im);
            break;
        }
        case 1: {
            std::vector<float> data = draw.Block(size, 1.0f), spectrum(size);
            e.FFT(data.data(), spectrum.data(), n);
            hash.Add(spectrum);
            break;
        }
        case 2: {
            std::vector<float> spectrum = draw.Block(size, 4.0f);
            std::vector<float> bands(static_cast<size_t>(draw.Int(1, 64)));
            e._MelFilterBank(spectrum.data(), bands.data(), n, draw.Real(4000.0f, 48000.0f),
                             static_cast<int32_t>(bands.size()));
            hash.Add(bands);
            break;
        }
        case 3: {
            const int32_t length = draw.Int(0, 64);
            std::vector<float> in = draw.Block(static_cast<size_t>(length), 50.0f);
            std::vector<float> out(in.size());
            e._DCT(in.data(), out.data(), length);
            hash.Add(out);
            break;
        }
        case 4: {
            const int32_t taps = 2 * draw.Int(0, 64);
            std::vector<float> data = draw.Block(size, 1.0f), source = draw.Block(size, 1.0f);
            std::vector<float> coefficients(static_cast<size_t>(taps));
            e._LowPassFilter(data.data(), n, source.data(), coefficients.data(), taps,
                             draw.Real(0.01f, 0.49f));
            hash.Add(data);
            hash.Add(coefficients);
            break;
        }
        case 5: {
            const float ratio = draw.Real(1.0f, 4.0f);
            const auto outputLength = static_cast<int32_t>(static_cast<float>(n) / ratio);
            std::vector<float> in = draw.Block(size, 1.0f);
            std::vector<float> out(static_cast<size_t>(outputLength));
            e._Interpolate(in.data(), n, out.data(), outputLength, ratio);
            hash.Add(out);
            break;
        }
        case 6: {
            const int32_t step = draw.Int(1, 6);
            std::vector<float> in = draw.Block(size, 1.0f), out(size / static_cast<size_t>(step));
            e._Decimate(in.data(), out.data(), static_cast<int32_t>(out.size()), step);
            hash.Add(out);
            break;
        }
        case 7: {
            std::vector<float> data(size), source = draw.Block(size, 1.0f);
            e._ApplyPreEmphasis(data.data(), source.data(), n, 0.97f);
            e._ApplyHammingWindow(data.data(), n);
            e._ScaleToPeak(data.data(), n, draw.Real(0.1f, 2.0f));
            hash.Add(data);
            break;
        }
        case 8: {
            std::vector<float> data = draw.Block(size, 100.0f);
            hash.AddValue(e._PeakMagnitude(data.data(), n));
            hash.AddValue(e._RootMeanSquare(data.data(), n));
            hash.AddValue(e._EuclideanNorm(data.data(), n));
            e._PowerToDecibel(data.data(), n);
            hash.Add(data);
            break;
        }
        case 9: {
            std::vector<float> ring = draw.Block(size, 1.0f), out(size);
            e._UnrollRingBuffer(ring.data(), out.data(), n, draw.Int(0, 1 << 30));
            hash.Add(out);
            break;
        }
        case 10: {
            const float hz = draw.Real(0.0f, 24000.0f);
            const auto flag = static_cast<uint8_t>(draw.Int(0, 255));
            hash.AddValue(e._FrequencyToMel(hz, flag));
            hash.AddValue(e._MelToFrequency(e._FrequencyToMel(hz, flag), flag));
            hash.AddValue(e._ReturnOne());
            // The control word is the thread's own: set a rounding mode, read it, restore.
            const int32_t saved = e._GetControlWord();
            e._SetControlWord(0x1F80 | (draw.Int(0, 3) << 13));
            hash.AddValue(e._GetControlWord());
            e._SetControlWord(saved);
            break;
        }
        case 11: {
            const int32_t width = draw.Int(0, 24), height = draw.Int(0, 24);
            std::vector<float> values = draw.Block(static_cast<size_t>(width * height), 2.0f);
            std::vector<uint32_t> pixels(values.size());
            ColorMapJob job{View(pixels), View(values), width, height, -1.0f, 1.0f};
            e.ColorMapJob_Execute(&job);
            hash.Add(pixels);
            break;
        }
        default: {
            const int32_t width = draw.Int(0, 24), height = draw.Int(0, 24);
            const int32_t phonemes = draw.Int(1, 6);
            std::vector<PhonemeColor> colors(static_cast<size_t>(draw.Int(1, 6)));
            for (PhonemeColor& c : colors)
                c = {draw.Real(0, 1), draw.Real(0, 1), draw.Real(0, 1), 1.0f};
            std::vector<float> scores(static_cast<size_t>(width * phonemes));
            for (float& s : scores)
                s = draw.Real(0.0f, 1.0f);
            std::vector<float> levels(static_cast<size_t>(width));
            for (float& l : levels)
                l = draw.Real(-0.2f, 1.2f);
            std::vector<uint32_t> pixels(static_cast<size_t>(width * height));
            PhonemeTextureJob job{View(pixels), View(colors), View(scores), View(levels),
                                  width,        height,       phonemes,     draw.Real(0, 1)};
            e.PhonemeTextureJob_Execute(&job);
            hash.Add(pixels);
            break;
        }
    }
}

// Call `index` of the run: one job record in eight, otherwise one of the kernel groups.
uint64_t RunCall(const Entries& entries, uint64_t seed, uint64_t index) {
    Draw draw(SplitMix(seed ^ SplitMix(index)));
    Hash hash;
    const int kind = draw.Int(0, 15);
    hash.AddValue(kind);
    if (kind < 2) {
        RunJob(entries, draw, hash);
    } else {
        RunKernel(entries, draw, hash, kind - 2);
    }
    return hash.value();
}

struct Tally {
    uint64_t allocations = 0, releases = 0, leaks = 0, doubleReleases = 0, labelMismatches = 0;
    uint64_t otherFaults = 0, aborts = 0;
};

// Runs calls [0, count) on `threads` threads in batches of `batch` calls, with the accounting's
// record checked and emptied after every batch (its call log would otherwise grow without end).
void Run(const Entries& entries, uint64_t seed, uint64_t count, unsigned threads, uint64_t batch,
         std::vector<uint64_t>& hashes, Tally& tally) {
    Vocetta::Host::Accounting accounting;
    std::atomic<uint64_t> aborts{0};
    for (uint64_t begin = 0; begin < count; begin += batch) {
        const uint64_t end = std::min(count, begin + batch);
        std::atomic<uint64_t> next{begin};
        auto work = [&] {
            for (uint64_t i; (i = next.fetch_add(1)) < end;) {
                try {
                    hashes[i] = RunCall(entries, seed, i);
                } catch (const Vocetta::Host::AbortError&) {
                    aborts.fetch_add(1);
                    hashes[i] = 0;
                }
            }
        };
        if (threads <= 1) {
            work();
        } else {
            std::vector<std::thread> pool;
            for (unsigned t = 0; t < threads; ++t)
                pool.emplace_back(work);
            for (std::thread& thread : pool)
                thread.join();
        }
        tally.allocations += accounting.allocationCount();
        tally.releases += accounting.releaseCount();
        tally.leaks += accounting.leaks().size();
        for (const Vocetta::Host::AllocatorFault& fault : accounting.faults()) {
            using Kind = Vocetta::Host::AllocatorFault::Kind;
            if (fault.kind == Kind::DoubleRelease) {
                ++tally.doubleReleases;
            } else if (fault.kind == Kind::LabelMismatch) {
                ++tally.labelMismatches;
            } else {
                ++tally.otherFaults;
            }
        }
        accounting.clear();
    }
    tally.aborts = aborts.load();
}

uint64_t Number(const char* text, const char* option) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (end == text || *end != '\0') {
        std::fprintf(stderr, "vocetta_soak: %s needs a whole number, not \"%s\"\n", option, text);
        std::exit(2);
    }
    return value;
}

void Print(const char* name, const Tally& tally, double seconds) {
    std::printf("%s: %" PRIu64 " allocations, %" PRIu64 " releases, %" PRIu64 " leaks, %" PRIu64
                " double releases, %" PRIu64 " label mismatches, %" PRIu64 " other faults, %" PRIu64
                " aborts, %.1f s\n",
                name, tally.allocations, tally.releases, tally.leaks, tally.doubleReleases,
                tally.labelMismatches, tally.otherFaults, tally.aborts, seconds);
}

}  // namespace

int main(int argc, char** argv) {
    uint64_t calls = 1000000, seed = 14, batch = 2000;
    std::string build;  // empty: the forwarders
    unsigned threads = std::max(2u, std::thread::hardware_concurrency());
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr,
                         "usage: vocetta_soak [--calls N] [--threads N] [--seed N] [--batch N] "
                         "[--build NAME]\n");
            return 2;
        }
        if (option == "--build") {
            build = argv[++i];
            continue;
        }
        const uint64_t value = Number(argv[++i], option.c_str());
        if (option == "--calls") {
            calls = value;
        } else if (option == "--threads") {
            threads = static_cast<unsigned>(std::max<uint64_t>(1, value));
        } else if (option == "--seed") {
            seed = value;
        } else if (option == "--batch") {
            batch = std::max<uint64_t>(1, value);
        } else {
            std::fprintf(stderr, "vocetta_soak: unknown option %s\n", option.c_str());
            return 2;
        }
    }

    try {
        const Vocetta::Host::Library library(Vocetta::Host::Library::DefaultPath());
        const Entries* chosen = &library.entries();
        for (Vocetta::Host::Variant variant : Vocetta::Host::kVariants) {
            if (build != Vocetta::Host::VariantName(variant)) continue;
            if (!Vocetta::Host::Supports(variant)) {
                std::fprintf(stderr, "vocetta_soak: this processor cannot run the %s build\n",
                             build.c_str());
                return 2;
            }
            chosen = &library.variant(variant);
        }
        if (!build.empty() && chosen == &library.entries()) {
            std::fprintf(stderr, "vocetta_soak: no build named %s\n", build.c_str());
            return 2;
        }
        const Entries& entries = *chosen;
        const std::string through =
            build.empty() ? std::string("forwarders to ") +
                                Vocetta::Host::VariantName(Vocetta::Host::SelectedVariant())
                          : build;
        std::printf("vocetta_soak: %" PRIu64 " calls, seed %" PRIu64 ", %u threads, %s\n", calls,
                    seed, threads, through.c_str());
        std::vector<uint64_t> sequential(calls), threaded(calls);
        Tally one, many;
        auto start = std::chrono::steady_clock::now();
        Run(entries, seed, calls, 1, batch, sequential, one);
        auto middle = std::chrono::steady_clock::now();
        Run(entries, seed, calls, threads, batch, threaded, many);
        auto stop = std::chrono::steady_clock::now();
        uint64_t differences = 0;
        for (uint64_t i = 0; i < calls; ++i)
            differences += sequential[i] != threaded[i];
        Print("sequential", one, std::chrono::duration<double>(middle - start).count());
        Print("threaded", many, std::chrono::duration<double>(stop - middle).count());
        std::printf("calls: %" PRIu64 ", differences between threaded and sequential: %" PRIu64
                    "\n",
                    calls, differences);
        const bool clean = differences == 0;
        auto quiet = [](const Tally& t) {
            return t.leaks == 0 && t.doubleReleases == 0 && t.labelMismatches == 0 &&
                   t.otherFaults == 0 && t.aborts == 0 && t.allocations == t.releases;
        };
        return clean && quiet(one) && quiet(many) ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vocetta_soak: %s\n", error.what());
        return 1;
    }
}
