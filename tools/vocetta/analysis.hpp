// Running the lip-sync job over a whole recording the way an engine runs it over live capture:
// a ring buffer holding the latest L samples at the recording's own rate, refilled by `hop` new
// samples before every call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio.hpp"
#include "profile.hpp"
#include "vocetta/library.hpp"
#include "vocetta/ring.hpp"

namespace Vocetta::Tool {

using Host::RingLength;

struct FrameResult {
    double time = 0;  // seconds, the centre of the analysed block
    float volume = 0;
    int32_t best = -1;  // the job's phonemeIndex
};

struct Analysis {
    int sampleRate = 0;
    int ringLength = 0;  // L
    int hop = 0;         // samples between frames
    int phonemes = 0;    // P
    int coefficients = 0;
    double seconds = 0;
    std::vector<FrameResult> frames;
    std::vector<float> scores;  // frames x P
    std::vector<float> mfcc;    // frames x M

    size_t FrameCount() const { return frames.size(); }
    const float* Scores(size_t frame) const { return scores.data() + frame * phonemes; }
    const float* Mfcc(size_t frame) const { return mfcc.data() + frame * coefficients; }
};

// Frames start once the ring has filled (the first block ends at sample L); after that one frame
// per `hop` samples while a whole block remains. A recording shorter than one block is analysed
// once, padded with silence at the end.
size_t PlannedFrames(size_t samples, int ringLength, int hop);

// The frames [first, last) of `recording`, written into `analysis` (already sized). Safe to call
// for disjoint ranges from several threads.
void AnalyzeRange(const Host::Library& library, const Profile& profile, const Recording& recording,
                  Analysis& analysis, size_t first, size_t last);

// Sizes `analysis` for `recording`; hopSeconds is rounded to whole samples (at least 1).
Analysis PrepareAnalysis(const Profile& profile, const Recording& recording, double hopSeconds,
                         bool scorePhonemes);

inline constexpr const char* kSilenceLabel = "sil";

}  // namespace Vocetta::Tool
