// A streaming analyzer: what an engine runs over live capture. Push samples in blocks of any size;
// every time the newest samples complete a frame, the lip-sync job runs over the latest L samples
// (the capture ring, ring.hpp) and the frame is handed to the callback at once.
//
//     Vocetta::Host::Analyzer analyzer(library.entries(), profile, 48000, 480);
//     analyzer.Push(block, count, [&](const Vocetta::Host::AnalyzerFrame& frame) { ... });
//     analyzer.Finish(onFrame);  // at the end of a stream
//
// The first frame ends at sample L, the next ones every `hop` samples after that. The ring is a
// capture ring: sample i of the stream lives at index i mod L. Memory does not grow with the
// stream: the ring, the profile's reference table and one frame's outputs.
//
// A stream can be cut into pieces analysed side by side: an analyzer started at `firstSample` (a
// multiple of the hop) and fed the stream from there gives exactly the frames, bit for bit, that
// one analyzer fed from sample 0 gives from that point on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "vocetta/library.hpp"
#include "vocetta/profile.hpp"

namespace Vocetta::Host {

struct AnalyzerFrame {
    int64_t end = 0;    // one past the newest sample analysed, counted from the first pushed
    double time = 0;    // seconds from the first pushed sample to the centre of the block
    float volume = 0;   // the job's RMS of the block
    int32_t best = -1;  // the best phoneme, as the job picks its best row (FoldScores)
    // One per phoneme, its references' scores folded (empty when phonemes are not scored).
    std::span<const float> scores;
    std::span<const float> mfcc;  // the profile's coefficient count
};

class Analyzer {
  public:
    using Callback = std::function<void(const AnalyzerFrame& frame)>;

    // `entries` is a library's forwarders or one of its builds; the profile must stay valid
    // while the analyzer lives. Throws ProfileError when the job cannot analyse `sampleRate`,
    // std::invalid_argument when `firstSample` is negative (or so large that a frame's end
    // would not fit in 64 bits).
    Analyzer(const Entries& entries, const Profile& profile, int sampleRate, int hopSamples,
             bool scorePhonemes = true, int64_t firstSample = 0);

    void Push(const float* samples, size_t count, const Callback& onFrame);
    void Push(std::span<const float> samples, const Callback& onFrame) {
        Push(samples.data(), samples.size(), onFrame);
    }
    // Ends the stream. One that never filled the ring is analysed once, padded with silence, so
    // that every recording gets at least one frame; otherwise nothing remains to be done.
    void Finish(const Callback& onFrame);

    // Replaces the reference rows the job scores from the next frame on: those of the same
    // profile adapted to a speaker (AdaptProfile(profile, ...).ReferenceRows(), adaptation.hpp),
    // the same count of rows in the same order. Throws std::invalid_argument when the count of
    // values differs or the analyzer does not score phonemes.
    void SetReferenceRows(std::span<const float> rows);

    int sampleRate() const { return sampleRate_; }
    int ringLength() const { return static_cast<int>(ring_.size()); }
    int hop() const { return hop_; }
    int64_t pushed() const { return pushed_ - first_; }
    int64_t frames() const { return frames_; }

  private:
    void Run(const Callback& onFrame);

    VocettaEntryLipSyncJob_Execute execute_;
    int sampleRate_;
    int hop_;
    std::vector<float> ring_;
    size_t write_;     // where the next sample goes, which is also the oldest one
    int64_t pushed_;   // the stream position of the next sample
    int64_t first_;    // ... and of the first one
    int64_t nextEnd_;  // `pushed_` at which the next frame is due
    int64_t frames_ = 0;
    const Profile* profile_;
    std::vector<float> profiles_, rowScores_, scores_, mfcc_;
    LipSyncResult result_{};
    LipSyncJob job_{};
};

}  // namespace Vocetta::Host
