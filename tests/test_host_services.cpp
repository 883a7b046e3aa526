// The SDK's host services: the tracked allocator with and without accounting, and the abort
// service as the library's disposal rule reaches it.
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "job_arrays.hpp"
#include "support.hpp"

namespace Vocetta::Testing {
namespace {

using Host::Accounting;
using Host::AllocatorFault;
using Host::ServiceCall;

// ---- Accounting ------------------------------------------------------------------------------

TEST(Accounting, ReportsLeaksUntilReleased) {
    Accounting accounting;
    void* kept = Host::MallocTracked(100, 4, 2, 0);
    void* returned = Host::MallocTracked(8, 4, 2, 0);
    Host::FreeTracked(returned, 2);
    const auto leaks = accounting.leaks();
    ASSERT_EQ(leaks.size(), 1u);
    EXPECT_EQ(leaks[0].pointer, kept);
    EXPECT_EQ(leaks[0].size, 100);
    EXPECT_EQ(leaks[0].label, 2);
    EXPECT_EQ(leaks[0].callIndex, 0u);
    Host::FreeTracked(kept, 2);
    EXPECT_TRUE(accounting.leaks().empty());
    EXPECT_TRUE(accounting.faults().empty());
}

TEST(Accounting, FlagsDoubleReleaseLabelMismatchNullAndUnknownBlocks) {
    void* early = Host::MallocTracked(16, 4, 2, 0);  // allocated before anyone was counting
    {
        Accounting accounting;
        void* twice = Host::MallocTracked(32, 4, 2, 0);
        Host::FreeTracked(twice, 2);
        Host::FreeTracked(twice, 2);
        void* relabelled = Host::MallocTracked(32, 4, 2, 0);
        Host::FreeTracked(relabelled, 4);
        Host::FreeTracked(nullptr, 2);
        Host::FreeTracked(early, 2);
        int onTheStack = 0;
        Host::FreeTracked(&onTheStack, 2);

        using Kind = AllocatorFault::Kind;
        const auto faults = accounting.faults();
        ASSERT_EQ(faults.size(), 5u);
        EXPECT_EQ(faults[0].kind, Kind::DoubleRelease);
        EXPECT_EQ(faults[0].pointer, twice);
        EXPECT_EQ(faults[1].kind, Kind::LabelMismatch);
        EXPECT_EQ(faults[1].pointer, relabelled);
        EXPECT_EQ(faults[1].label, 4);
        EXPECT_EQ(faults[1].expectedLabel, 2);
        EXPECT_EQ(faults[2].kind, Kind::NullRelease);
        EXPECT_EQ(faults[3].kind, Kind::UnknownRelease);
        EXPECT_EQ(faults[3].pointer, early);
        EXPECT_EQ(faults[4].kind, Kind::UnknownRelease);
        EXPECT_EQ(faults[4].pointer, &onTheStack);
        for (const auto& fault : faults)
            EXPECT_FALSE(fault.describe().empty());
        // A mismatched label still returns the block; every call counts.
        EXPECT_TRUE(accounting.leaks().empty());
        EXPECT_EQ(accounting.allocationCount(), 2u);
        EXPECT_EQ(accounting.releaseCount(), 6u);
    }
    Host::FreeTracked(early, 2);  // the unknown release left it alone
}

TEST(Accounting, RecordsEveryCallInOrder) {
    Accounting accounting;
    void* first = Host::MallocTracked(40, 4, 2, 0);
    void* second = Host::MallocTracked(12, 64, 3, 7);
    Host::FreeTracked(second, 3);
    EXPECT_THROW(Host::Abort("Some.Type", "some message"), Host::AbortError);
    Host::FreeTracked(first, 2);

    const auto calls = accounting.calls();
    ASSERT_EQ(calls.size(), 5u);
    using Kind = ServiceCall::Kind;
    EXPECT_EQ(calls[0].kind, Kind::Allocate);
    EXPECT_EQ(calls[0].pointer, first);
    EXPECT_EQ(calls[0].size, 40);
    EXPECT_EQ(calls[0].alignment, 4);
    EXPECT_EQ(calls[0].label, 2);
    EXPECT_EQ(calls[0].last, 0);
    EXPECT_EQ(calls[1].kind, Kind::Allocate);
    EXPECT_EQ(calls[1].pointer, second);
    EXPECT_EQ(calls[1].size, 12);
    EXPECT_EQ(calls[1].alignment, 64);
    EXPECT_EQ(calls[1].label, 3);
    EXPECT_EQ(calls[1].last, 7);
    EXPECT_EQ(calls[2].kind, Kind::Release);
    EXPECT_EQ(calls[2].pointer, second);
    EXPECT_EQ(calls[2].label, 3);
    EXPECT_EQ(calls[3].kind, Kind::Abort);
    EXPECT_EQ(calls[3].exceptionType, "Some.Type");
    EXPECT_EQ(calls[3].message, "some message");
    EXPECT_EQ(calls[4].kind, Kind::Release);
    EXPECT_EQ(calls[4].pointer, first);
    ExpectCleanTraffic(accounting);

    accounting.clear();
    EXPECT_TRUE(accounting.calls().empty());
    EXPECT_EQ(accounting.allocationCount(), 0u);
}

TEST(Accounting, ClearKeepsLiveBlocksTracked) {
    Accounting accounting;
    void* live = Host::MallocTracked(24, 4, 2, 0);
    accounting.clear();
    EXPECT_EQ(accounting.leaks().size(), 1u);
    Host::FreeTracked(live, 2);
    ExpectCleanTraffic(accounting);
}

TEST(Accounting, OneAtATime) {
    Accounting accounting;
    EXPECT_THROW(Accounting second, std::logic_error);
}

// ---- Allocator -------------------------------------------------------------------------------

TEST(Allocator, ZeroSizeBlocksAreDistinctAndUsable) {
    std::set<void*> blocks;
    for (int i = 0; i < 200; ++i) {
        void* block = Host::MallocTracked(0, 4, 2, 0);
        ASSERT_NE(block, nullptr);
        *static_cast<volatile char*>(block) = 1;
        EXPECT_TRUE(blocks.insert(block).second) << "block handed out twice";
    }
    for (void* block : blocks)
        Host::FreeTracked(block, 2);
}

TEST(Allocator, HonoursAlignment) {
    std::vector<void*> blocks;
    for (const int32_t alignment : {1, 2, 4, 8, 16, 32, 64, 128, 4096}) {
        // Around the ends of the cached classes too: 16 bytes and 1 MiB and one byte beyond.
        for (const int64_t size :
             {0, 1, 4, 16, 17, 63, 64, 65, 1000, 70000, 1 << 20, (1 << 20) + 1, 3000000}) {
            void* block = Host::MallocTracked(size, alignment, 2, 0);
            ASSERT_NE(block, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(block) % alignment, 0u)
                << "size " << size << ", alignment " << alignment;
            std::memset(block, 0xA5, static_cast<size_t>(size));
            blocks.push_back(block);
        }
    }
    for (void* block : blocks)
        Host::FreeTracked(block, 2);
}

TEST(Allocator, RejectsImpossibleRequests) {
    Accounting accounting;
    EXPECT_THROW(Host::MallocTracked(-1, 4, 2, 0), Host::AllocatorError);
    EXPECT_THROW(Host::MallocTracked(INT64_MIN, 4, 2, 0), Host::AllocatorError);
    EXPECT_THROW(Host::MallocTracked(16, 0, 2, 0), Host::AllocatorError);
    EXPECT_THROW(Host::MallocTracked(16, 12, 2, 0), Host::AllocatorError);
    EXPECT_THROW(Host::MallocTracked(16, 3, 2, 0), Host::AllocatorError);
    EXPECT_THROW(Host::MallocTracked(16, -16, 2, 0), Host::AllocatorError);
    EXPECT_THROW(Host::MallocTracked(16, 24, 2, 0), Host::AllocatorError);
    EXPECT_TRUE(accounting.calls().empty());
}

// Also with no accounting, where the fast path answers the valid requests.
TEST(Allocator, RejectsImpossibleRequestsWithoutAccounting) {
    for (const int32_t alignment : {0, 3, 12, 24, -16, INT32_MIN}) {
        EXPECT_THROW(Host::MallocTracked(16, alignment, 2, 0), Host::AllocatorError) << alignment;
    }
    EXPECT_THROW(Host::MallocTracked(-1, 4, 2, 0), Host::AllocatorError);
    EXPECT_THROW(Host::MallocTracked(INT64_MIN, 16, 2, 0), Host::AllocatorError);
}

TEST(Allocator, NullReleaseWithoutAccountingDoesNothing) {
    EXPECT_NO_THROW(Host::FreeTracked(nullptr, 2));
}

// A block the thread keeps in its lists is handed out again under an accounting only through the
// recorded path, and once the accounting ends a second release is still refused.
TEST(Allocator, AnAccountingSeesBlocksTheThreadKept) {
    for (const int64_t size : {1, 48, 4096, 70000}) {
        Host::FreeTracked(Host::MallocTracked(size, 4, 2, 0), 2);  // now in the thread's list
        {
            Accounting accounting;
            void* block = Host::MallocTracked(size, 4, 2, 0);
            Host::FreeTracked(block, 2);
            Host::FreeTracked(block, 2);
            EXPECT_EQ(accounting.allocationCount(), 1u) << size;
            EXPECT_EQ(accounting.releaseCount(), 2u) << size;
            ASSERT_EQ(accounting.faults().size(), 1u) << size;
            EXPECT_EQ(accounting.faults()[0].kind, AllocatorFault::Kind::DoubleRelease);
        }
        void* block = Host::MallocTracked(size, 4, 2, 0);
        Host::FreeTracked(block, 2);
        EXPECT_THROW(Host::FreeTracked(block, 2), Host::AllocatorError) << size;
    }
}

// Threads allocate, fill, check and release blocks of many sizes, half of them on another thread
// than the one that allocated them. A block handed out twice shows as a broken fill.
void Churn(int threads, int rounds) {
    std::mutex handOverMutex;
    std::vector<std::pair<void*, int64_t>> handOver;
    std::atomic<int> broken{0};

    auto check = [&](void* block, int64_t size) {
        const auto* bytes = static_cast<const unsigned char*>(block);
        const auto expected = static_cast<unsigned char>(size * 31 + 7);
        for (int64_t i = 0; i < size; i += 61) {
            if (bytes[i] != expected) {
                ++broken;
                break;
            }
        }
        Host::FreeTracked(block, 2);
    };
    auto work = [&](uint32_t seed) {
        std::mt19937 generator(seed);
        std::vector<std::pair<void*, int64_t>> mine;
        for (int i = 0; i < rounds; ++i) {
            const int64_t size = generator() % 5 == 0 ? generator() % 300000 : generator() % 4096;
            const int32_t alignment = generator() % 7 == 0 ? 64 : 4;
            void* block = Host::MallocTracked(size, alignment, 2, 0);
            std::memset(block, static_cast<int>(size * 31 + 7), static_cast<size_t>(size));
            if (generator() % 2) {
                std::lock_guard lock(handOverMutex);
                handOver.emplace_back(block, size);
            } else {
                mine.emplace_back(block, size);
            }
            if (mine.size() > 40) {
                for (const auto& [kept, keptSize] : mine)
                    check(kept, keptSize);
                mine.clear();
            }
            std::pair<void*, int64_t> other{nullptr, 0};
            {
                std::lock_guard lock(handOverMutex);
                if (handOver.size() > 20) {
                    other = handOver.front();
                    handOver.erase(handOver.begin());
                }
            }
            if (other.first != nullptr) check(other.first, other.second);
        }
        for (const auto& [kept, keptSize] : mine)
            check(kept, keptSize);
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(work, 1000u + t);
    for (auto& thread : pool)
        thread.join();
    // The last blocks go back on a thread that ends too, so that no thread cache outlives the
    // churn.
    std::thread([&] {
        for (const auto& [block, size] : handOver)
            check(block, size);
    }).join();
    EXPECT_EQ(broken.load(), 0);
}

TEST(Allocator, ManyThreadsUnderAccountingLeaveNothingBehind) {
    Accounting accounting;
    Churn(8, 1500);
    EXPECT_EQ(accounting.allocationCount(), 8u * 1500u);
    EXPECT_EQ(accounting.releaseCount(), 8u * 1500u);
    ExpectCleanTraffic(accounting);
}

#if defined(__SANITIZE_ADDRESS__)
// The sanitizer's runtime provides it; GCC ships no header that declares it.
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

// The address sanitizer answers mallinfo2 with zeros; its own count of live bytes serves instead.
size_t HeapInUse() {
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
#endif
}

// Without accounting nothing can list the blocks, but the heap must not grow from round to
// round: every block goes back, and thread caches return theirs when their thread ends.
TEST(Allocator, ManyThreadsWithoutAccountingLeaveNothingBehind) {
    Churn(8, 1500);
    const size_t before = HeapInUse();
    for (int round = 0; round < 4; ++round)
        Churn(8, 1500);
    const size_t after = HeapInUse();
    EXPECT_LT(after, before + (size_t{1} << 20)) << "heap grew from " << before << " to " << after;
}

// A thread's list of one size keeps at most 64 blocks; the rest go back to the system when they
// are released, and the kept ones when the thread ends. Blocks of 60,000 bytes come from the
// 64 KiB class, below malloc's mapping threshold, so the heap's own count shows them.
TEST(Allocator, EachListKeepsAtMost64BlocksUntilItsThreadEnds) {
    constexpr int64_t kSize = 60000;
    constexpr size_t kClassBytes = 65536;
    constexpr size_t kBlocks = 200;
    const size_t before = HeapInUse();
    size_t cached = 0;
    std::thread([&] {
        std::vector<void*> blocks;
        for (size_t i = 0; i < kBlocks; ++i) {
            blocks.push_back(Host::MallocTracked(kSize, 4, 2, 0));
            std::memset(blocks.back(), 0x5A, kSize);
        }
        for (void* block : blocks)
            Host::FreeTracked(block, 2);
        cached = HeapInUse() - before;
        // The same thread asks again: the kept blocks come back before any new one.
        for (int round = 0; round < 3; ++round) {
            for (size_t i = 0; i < 64; ++i)
                blocks[i] = Host::MallocTracked(kSize, 4, 2, 0);
            EXPECT_EQ(HeapInUse() - before, cached);
            for (size_t i = 0; i < 64; ++i)
                Host::FreeTracked(blocks[i], 2);
        }
    }).join();
    EXPECT_GE(cached, 64 * kClassBytes);
    EXPECT_LT(cached, 65 * kClassBytes);
    EXPECT_LT(HeapInUse(), before + size_t{kSize});
}

// Released in any order, a thread's blocks come back to it: a second round of the same sizes is
// served from the first round's blocks, none handed out twice. The orders are the job's (blocks
// of one size four at a time, the oldest released first), last-in first-out and shuffled.
TEST(Allocator, ReleasesInAnyOrderServeTheNextRound) {
    const std::vector<int64_t> sizes = {4, 4, 4, 4, 20, 20, 20, 20, 1364, 4096, 4096, 100000};
    std::mt19937 generator(5);
    std::thread([&] {
        for (int order = 0; order < 3; ++order) {
            std::vector<size_t> releases(sizes.size());
            for (size_t i = 0; i < releases.size(); ++i)
                releases[i] = order == 1 ? releases.size() - 1 - i : i;
            if (order == 2) std::shuffle(releases.begin(), releases.end(), generator);
            std::set<void*> first;
            for (int round = 0; round < 3; ++round) {
                std::vector<void*> blocks;
                for (const int64_t size : sizes) {
                    blocks.push_back(Host::MallocTracked(size, 4, 2, 0));
                    std::memset(blocks.back(), static_cast<int>(blocks.size()),
                                static_cast<size_t>(size));
                }
                const std::set<void*> distinct(blocks.begin(), blocks.end());
                EXPECT_EQ(distinct.size(), blocks.size()) << "order " << order;
                // The block outside the classes goes back to the system; every other is kept.
                std::set<void*> cached(distinct);
                cached.erase(blocks.back());
                if (round == 0) {
                    first = cached;
                } else {
                    EXPECT_EQ(cached, first) << "order " << order << ", round " << round;
                }
                for (size_t i = 0; i < blocks.size(); ++i) {
                    const auto* bytes = static_cast<const unsigned char*>(blocks[i]);
                    EXPECT_EQ(bytes[sizes[i] - 1], static_cast<unsigned char>(i + 1));
                }
                for (const size_t i : releases)
                    Host::FreeTracked(blocks[i], 2);
            }
        }
    }).join();
}

// A block released on another thread joins that thread's lists: it serves that thread's next
// request of its size, and the thread that allocated it never hands it out while it is held.
TEST(Allocator, BlocksReleasedOnAnotherThreadServeThatThread) {
    constexpr int kBlocks = 10;
    std::vector<void*> made(kBlocks), adopted(kBlocks), again(kBlocks);
    std::thread maker([&] {
        for (void*& block : made)
            block = Host::MallocTracked(100, 4, 2, 0);
    });
    maker.join();
    std::thread([&] {
        for (void* block : made)
            Host::FreeTracked(block, 2);
        for (void*& block : adopted)
            block = Host::MallocTracked(100, 4, 2, 0);
        EXPECT_EQ(std::set<void*>(adopted.begin(), adopted.end()),
                  std::set<void*>(made.begin(), made.end()));
        // Meanwhile another thread allocates the same size: none of the held blocks.
        std::thread([&] {
            for (void*& block : again)
                block = Host::MallocTracked(100, 4, 2, 0);
            for (void* block : again)
                EXPECT_EQ(std::count(adopted.begin(), adopted.end(), block), 0);
            for (void* block : again)
                Host::FreeTracked(block, 2);
        }).join();
        for (void* block : adopted)
            Host::FreeTracked(block, 2);
    }).join();
}

// Blocks that outlive the thread that allocated them go back once wherever they are released:
// the releasing thread keeps at most 64 of one size and gives those back when it ends.
TEST(Allocator, BlocksOutlivingTheirThreadGoBackOnce) {
    constexpr int64_t kSize = 60000;  // the 64 KiB class, below malloc's mapping threshold
    constexpr size_t kBlocks = 200;
    const size_t before = HeapInUse();
    std::vector<void*> blocks(kBlocks);
    std::thread([&] {
        for (void*& block : blocks)
            block = Host::MallocTracked(kSize, 4, 2, 0);
    }).join();
    std::thread([&] {
        for (void* block : blocks)
            Host::FreeTracked(block, 2);
        const size_t kept = HeapInUse() - before;
        EXPECT_GE(kept, 64 * size_t{kSize});
        EXPECT_LT(kept, 65 * size_t{65536});
    }).join();
    EXPECT_LT(HeapInUse(), before + size_t{kSize});
}

// A thread's own destructors may release blocks after its lists are gone (here a thread-local
// object made before the thread's first allocation, so destroyed after the lists): those blocks
// go back to the system instead of into lists that nobody frees any more.
struct HeldUntilThreadEnd {
    void* block = nullptr;
    ~HeldUntilThreadEnd() { Host::FreeTracked(block, 2); }
};
thread_local HeldUntilThreadEnd tHeld;

TEST(Allocator, ReleasesAfterTheThreadsListsAreGoneReachTheSystem) {
    constexpr int64_t kSize = 60000;
    const size_t before = HeapInUse();
    for (int thread = 0; thread < 40; ++thread) {
        std::thread([] {
            HeldUntilThreadEnd& held = tHeld;  // constructed before the lists' reaper
            held.block = Host::MallocTracked(kSize, 4, 2, 0);
            Host::FreeTracked(Host::MallocTracked(kSize, 4, 2, 0), 2);
        }).join();
    }
    EXPECT_LT(HeapInUse(), before + size_t{kSize}) << "blocks released after the reaper leaked";
}

// The library's own traffic, block after block: after the first block every request is served
// from the thread's lists, so the heap stays where the first block left it, and a worker that
// ends gives everything back.
TEST(Allocator, BlocksOfTheJobKeepTheHeapSteady) {
    const Host::Entries& entries = Library().entries();  // loading the library takes memory too
    const size_t before = HeapInUse();
    std::thread([&entries] {
        for (const int32_t rate : {48000, 16000}) {
            JobArrays job;
            job.input = RandomBlock(1024, 3, 0.5f);
            job.means.assign(12, 0.0f);
            job.deviations.assign(12, 1.0f);
            job.profiles.assign(12 * 5, 0.5f);
            job.mfcc.resize(12);
            job.scores.resize(5);
            job.record.sampleRate = rate;
            job.record.targetSampleRate = 16000;
            job.record.melDiv = 30;
            job.record.scoreMethod = MeanAbsoluteDistance;
            job.Bind();
            entries.LipSyncJob_Execute(&job.record);
            const size_t steady = HeapInUse();
            for (int block = 0; block < 200; ++block)
                entries.LipSyncJob_Execute(&job.record);
            EXPECT_EQ(HeapInUse(), steady) << rate << " Hz";
        }
    }).join();
    EXPECT_LT(HeapInUse(), before + 4096);
}

// ---- Abort and the disposal rule -------------------------------------------------------------

class Disposal : public BuildTest {
  protected:
    using DisposeFn = void (*)(NativeArray*);
    DisposeFn dispose() const {
        return TestingSymbol<DisposeFn>("vocetta_testing_dispose", build());
    }
};

TEST_P(Disposal, InvalidLabelRaisesTheHostException) {
    float data[4] = {};
    NativeArray view{data, 4, VOCETTA_ALLOCATOR_INVALID};
    Accounting accounting;
    try {
        dispose()(&view);
        ADD_FAILURE() << "no exception";
    } catch (const Host::AbortError& error) {
        EXPECT_EQ(error.exceptionType(), "System.InvalidOperationException");
        EXPECT_EQ(std::string(error.what()),
                  "System.InvalidOperationException: The NativeArray can not be Disposed because "
                  "it was not allocated with a valid allocator.");
    }
    const auto calls = accounting.calls();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].kind, ServiceCall::Kind::Abort);
    EXPECT_EQ(calls[0].exceptionType, "System.InvalidOperationException");
    EXPECT_EQ(calls[0].message,
              "The NativeArray can not be Disposed because it was not allocated with a valid "
              "allocator.");
}

TEST_P(Disposal, UnownedViewIsOnlyForgotten) {
    float data[4] = {};
    NativeArray view{data, 4, VOCETTA_ALLOCATOR_NONE};
    Accounting accounting;
    dispose()(&view);
    EXPECT_EQ(view.pointer, nullptr);
    EXPECT_EQ(view.length, 4);
    EXPECT_EQ(view.allocatorLabel, VOCETTA_ALLOCATOR_NONE);
    EXPECT_TRUE(accounting.calls().empty());
}

TEST_P(Disposal, OwnedViewIsReleasedWithItsLabel) {
    for (const int32_t label : {2, 5}) {
        Accounting accounting;
        void* block = Host::MallocTracked(64, 4, label, 0);
        NativeArray view{block, 16, label};
        dispose()(&view);
        EXPECT_EQ(view.pointer, nullptr);
        EXPECT_EQ(view.length, 16);
        EXPECT_EQ(view.allocatorLabel, VOCETTA_ALLOCATOR_INVALID);
        const auto calls = accounting.calls();
        ASSERT_EQ(calls.size(), 2u);
        EXPECT_EQ(calls[1].kind, ServiceCall::Kind::Release);
        EXPECT_EQ(calls[1].pointer, block);
        EXPECT_EQ(calls[1].label, label);
        ExpectCleanTraffic(accounting);
    }
}

TEST_P(Disposal, NullViewIsLeftAlone) {
    for (const int32_t label : {0, 1, 2}) {
        NativeArray view{nullptr, 7, label};
        Accounting accounting;
        dispose()(&view);
        EXPECT_EQ(view.pointer, nullptr);
        EXPECT_EQ(view.length, 7);
        EXPECT_EQ(view.allocatorLabel, label);
        EXPECT_TRUE(accounting.calls().empty());
    }
}

VOCETTA_TEST_EACH_BUILD(Disposal);

}  // namespace
}  // namespace Vocetta::Testing
