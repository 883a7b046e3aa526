// The SDK's streaming analyzer against the job called directly on each block it should have
// analysed: frames at the textbook positions, the same results whatever the push sizes.
#include <algorithm>
#include <limits>
#include <random>
#include <stdexcept>

#include "job_arrays.hpp"
#include "support.hpp"
#include "vocetta/analyzer.hpp"

namespace Vocetta::Testing {
namespace {

struct Seen {
    int64_t end;
    double time;
    float volume;
    int32_t best;
    std::vector<float> scores, mfcc;
};

Seen SeenOf(const Host::AnalyzerFrame& frame) {
    return {frame.end,
            frame.time,
            frame.volume,
            frame.best,
            {frame.scores.begin(), frame.scores.end()},
            {frame.mfcc.begin(), frame.mfcc.end()}};
}

class SdkAnalyzer : public BuildTest {
  protected:
    Host::Profile profile_ = Host::LoadProfile(VOCETTA_SOURCE_DIR "/profiles/default.json");

    // The job on the capture ring holding `block` when it ends at stream sample `end`: sample i
    // at index i mod L.
    Seen Direct(const std::vector<float>& block, int rate, int64_t end) const {
        const auto length = static_cast<int64_t>(block.size());
        JobArrays job;
        job.input.resize(block.size());
        for (int64_t j = 0; j < length; ++j) {
            job.input[static_cast<size_t>((end - length + j) % length)] =
                block[static_cast<size_t>(j)];
        }
        job.means = profile_.means;
        job.deviations = profile_.standardDeviations;
        // Every reference is a row of the job's profiles; its scores fold back to phonemes.
        job.profiles = profile_.ReferenceRows();
        job.scores.resize(profile_.ReferenceCount());
        job.mfcc.resize(static_cast<size_t>(profile_.coefficients));
        job.Bind();
        job.record.startIndex = static_cast<int32_t>(end % length);
        job.record.sampleRate = rate;
        job.record.targetSampleRate = profile_.targetSampleRate;
        job.record.melDiv = profile_.melChannels;
        job.record.scoreMethod = profile_.scoreMethod;
        entries().LipSyncJob_Execute(&job.record);
        std::vector<float> scores(profile_.phonemes.size());
        const int best = Host::FoldScores(profile_, job.scores.data(), scores.data());
        return {0, 0, job.result[0].volume, best, scores, job.mfcc};
    }

    static void ExpectSame(const Seen& a, const Seen& b) {
        EXPECT_TRUE(SameBits(a.volume, b.volume));
        EXPECT_EQ(a.best, b.best);
        ASSERT_EQ(a.scores.size(), b.scores.size());
        ASSERT_EQ(a.mfcc.size(), b.mfcc.size());
        for (size_t i = 0; i < a.scores.size(); ++i)
            EXPECT_TRUE(SameBits(a.scores[i], b.scores[i])) << "score " << i;
        for (size_t i = 0; i < a.mfcc.size(); ++i)
            EXPECT_TRUE(SameBits(a.mfcc[i], b.mfcc[i])) << "coefficient " << i;
    }

    // Everything the analyzer reports for `samples` pushed in blocks of the given sizes (cycled).
    std::vector<Seen> Stream(const std::vector<float>& samples, int rate, int hop,
                             const std::vector<size_t>& blocks) const {
        Host::Analyzer analyzer(entries(), profile_, rate, hop);
        std::vector<Seen> seen;
        const Host::Analyzer::Callback keep = [&](const Host::AnalyzerFrame& frame) {
            seen.push_back(SeenOf(frame));
        };
        size_t at = 0;
        for (size_t i = 0; at < samples.size(); ++i) {
            const size_t count = std::min(blocks[i % blocks.size()], samples.size() - at);
            analyzer.Push(samples.data() + at, count, keep);
            at += count;
        }
        analyzer.Finish(keep);
        return seen;
    }
};

TEST_P(SdkAnalyzer, FramesAreTheJobOnTheLatestRingOfSamples) {
    ASSERT_EQ(profile_.blockLength, 512);
    struct Case {
        int rate, hop, ring;  // ring: one 512-sample block at 16 kHz, worked out by hand
    };
    // 44.1 kHz: 512 * 2.75625 = 1411.2, and 1411 / 2.75625 = 511.93 rounds to 512; a hop longer
    // than the ring skips samples.
    for (const Case c : {Case{48000, 480, 1536}, Case{44100, 441, 1411}, Case{16000, 1500, 512}}) {
        SCOPED_TRACE(c.rate);
        const std::vector<float> samples = RandomBlock(c.ring + 7 * c.hop + c.hop / 2, 7, 0.5f);
        const std::vector<Seen> seen = Stream(samples, c.rate, c.hop, {samples.size()});
        // Frames end at L, L + h, ... while a whole block remains: (n - L) / h + 1 of them.
        ASSERT_EQ(seen.size(), 8u);
        for (size_t k = 0; k < seen.size(); ++k) {
            const int64_t end = c.ring + static_cast<int64_t>(k) * c.hop;
            EXPECT_EQ(seen[k].end, end);
            EXPECT_DOUBLE_EQ(seen[k].time, (end - c.ring / 2.0) / c.rate);
            const std::vector<float> block(samples.begin() + (end - c.ring), samples.begin() + end);
            ExpectSame(seen[k], Direct(block, c.rate, end));
        }
    }
}

TEST_P(SdkAnalyzer, PushSizesChangeNothing) {
    const int rate = 48000, hop = 480;
    const std::vector<float> samples = RandomBlock(1536 + 20 * hop, 11, 0.3f);
    const std::vector<Seen> whole = Stream(samples, rate, hop, {samples.size()});
    std::mt19937 random(3);
    std::vector<size_t> blocks(64);
    for (size_t& block : blocks)
        block = std::uniform_int_distribution<size_t>(0, 1500)(random);
    blocks[5] = 1;
    for (const std::vector<size_t>& sizes :
         {std::vector<size_t>{1}, std::vector<size_t>{479}, std::vector<size_t>{481}, blocks}) {
        const std::vector<Seen> pieces = Stream(samples, rate, hop, sizes);
        ASSERT_EQ(pieces.size(), whole.size());
        for (size_t k = 0; k < whole.size(); ++k) {
            EXPECT_EQ(pieces[k].end, whole[k].end);
            ExpectSame(pieces[k], whole[k]);
        }
    }
}

TEST_P(SdkAnalyzer, PiecesStartedMidStreamGiveTheSameFrames) {
    const int rate = 44100, hop = 441;
    const std::vector<float> samples = RandomBlock(1411 + 30 * hop, 13, 0.3f);
    const std::vector<Seen> whole = Stream(samples, rate, hop, {samples.size()});
    for (const int64_t firstFrame : {1, 5, 17}) {
        SCOPED_TRACE(firstFrame);
        Host::Analyzer piece(entries(), profile_, rate, hop, true, firstFrame * hop);
        size_t index = static_cast<size_t>(firstFrame);
        piece.Push(samples.data() + firstFrame * hop, samples.size() - size_t(firstFrame * hop),
                   [&](const Host::AnalyzerFrame& frame) {
                       ASSERT_LT(index, whole.size());
                       EXPECT_EQ(frame.end, whole[index].end);
                       EXPECT_DOUBLE_EQ(frame.time, whole[index].time);
                       ExpectSame(SeenOf(frame), whole[index]);
                       ++index;
                   });
        EXPECT_EQ(index, whole.size());
    }
}

TEST_P(SdkAnalyzer, ShortStreamIsOneFramePaddedWithSilence) {
    const std::vector<float> samples = RandomBlock(200, 5, 0.4f);
    const std::vector<Seen> seen = Stream(samples, 16000, 160, {30});
    ASSERT_EQ(seen.size(), 1u);
    std::vector<float> padded = samples;
    padded.resize(512, 0.0f);
    ExpectSame(seen[0], Direct(padded, 16000, 512));
    // A stream with no samples has no frame; Finish after frames adds none.
    EXPECT_TRUE(Stream({}, 16000, 160, {1}).empty());
    EXPECT_EQ(Stream(RandomBlock(512, 2), 16000, 160, {100}).size(), 1u);
}

TEST_P(SdkAnalyzer, EveryBlockTheJobTakesIsReleased) {
    const Host::Accounting accounting;
    const std::vector<float> samples = RandomBlock(1536 + 5 * 480, 9, 0.3f);
    EXPECT_EQ(Stream(samples, 48000, 480, {1000}).size(), 6u);
    EXPECT_GT(accounting.allocationCount(), 0u);
    ExpectCleanTraffic(accounting);
}

// A negative first sample used to index the ring from before its start.
TEST_P(SdkAnalyzer, FirstSamplesNoStreamHasAreRefused) {
    const int rate = 48000, hop = 480, ring = 1536;
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    const int64_t last = kMax - ring - hop;  // the last frame's end plus a hop still fits
    for (const int64_t first : {int64_t{-1}, int64_t{-hop}, -kMax - 1, last + 1, kMax}) {
        SCOPED_TRACE(first);
        try {
            Host::Analyzer analyzer(entries(), profile_, rate, hop, true, first);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_EQ(std::string(error.what()), "the analyzer: first sample " +
                                                     std::to_string(first) + " is outside 0 ... " +
                                                     std::to_string(last));
        }
    }
    // The last one allowed still gives the job on the latest samples.
    Host::Analyzer analyzer(entries(), profile_, rate, hop, true, last);
    ASSERT_EQ(analyzer.ringLength(), ring);
    const std::vector<float> samples = RandomBlock(ring, 17, 0.5f);
    std::vector<Seen> seen;
    analyzer.Push(samples.data(), samples.size(),
                  [&](const Host::AnalyzerFrame& frame) { seen.push_back(SeenOf(frame)); });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].end, last + ring);
    ExpectSame(seen[0], Direct(samples, rate, last + ring));
}

TEST(SdkAnalyzerRates, RatesTheJobCannotTakeAreRefused) {
    const Host::Profile profile = Host::LoadProfile(VOCETTA_SOURCE_DIR "/profiles/default.json");
    EXPECT_THROW(Host::Analyzer(Library().entries(), profile, 8000, 80), Host::ProfileError);
}

VOCETTA_TEST_EACH_BUILD(SdkAnalyzer);

}  // namespace
}  // namespace Vocetta::Testing
