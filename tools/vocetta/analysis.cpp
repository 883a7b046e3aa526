#include "analysis.hpp"

#include <algorithm>
#include <cmath>

namespace Vocetta::Tool {

size_t PlannedFrames(size_t samples, int ringLength, int hop) {
    const auto length = static_cast<size_t>(ringLength);
    if (samples <= length) return 1;
    return (samples - length) / static_cast<size_t>(hop) + 1;
}

Analysis PrepareAnalysis(const Profile& profile, int sampleRate, const std::string& origin,
                         double hopSeconds, bool scorePhonemes) {
    Analysis analysis;
    analysis.sampleRate = sampleRate;
    analysis.ringLength = RingLength(profile, sampleRate, origin);
    analysis.hop = std::max(1, static_cast<int>(std::lround(hopSeconds * sampleRate)));
    analysis.phonemes = scorePhonemes ? static_cast<int>(profile.phonemes.size()) : 0;
    analysis.coefficients = profile.coefficients;
    return analysis;
}

void Analysis::Append(const Host::AnalyzerFrame& frame) {
    frames.push_back({frame.time, frame.volume, frame.best});
    scores.insert(scores.end(), frame.scores.begin(), frame.scores.end());
    mfcc.insert(mfcc.end(), frame.mfcc.begin(), frame.mfcc.end());
}

void Analysis::Append(const Analysis& more) {
    frames.insert(frames.end(), more.frames.begin(), more.frames.end());
    scores.insert(scores.end(), more.scores.begin(), more.scores.end());
    mfcc.insert(mfcc.end(), more.mfcc.begin(), more.mfcc.end());
}

}  // namespace Vocetta::Tool
