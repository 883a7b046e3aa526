// The frames of a recording as the SDK's streaming analyzer gives them (an engine's capture ring
// of the latest L samples at the recording's own rate, refilled by `hop` samples before every
// call), kept for what needs the whole recording: smoothing, segments, cues, statistics.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio.hpp"
#include "profile.hpp"
#include "vocetta/analyzer.hpp"
#include "vocetta/ring.hpp"

namespace Vocetta::Tool {

using Host::RingLength;

struct FrameResult {
    double time = 0;  // seconds, the centre of the analysed block
    float volume = 0;
    int32_t best = -1;  // the best phoneme (the job's pick of the folded scores)
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
    void Append(const Host::AnalyzerFrame& frame);
    void Append(const Analysis& more);  // the frames of `more`, which follow these
};

// Frames start once the ring has filled (the first block ends at sample L); after that one frame
// per `hop` samples while a whole block remains. A recording shorter than one block is analysed
// once, padded with silence at the end.
size_t PlannedFrames(size_t samples, int ringLength, int hop);

// An empty analysis of a `sampleRate` recording; hopSeconds is rounded to whole samples (at least
// 1). Throws ProfileError naming `origin` when the job cannot analyse that rate.
Analysis PrepareAnalysis(const Profile& profile, int sampleRate, const std::string& origin,
                         double hopSeconds, bool scorePhonemes);

inline constexpr const char* kSilenceLabel = "sil";

}  // namespace Vocetta::Tool
