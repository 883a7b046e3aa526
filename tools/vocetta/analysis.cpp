#include "analysis.hpp"

#include <algorithm>
#include <cmath>

#include "jobs.hpp"

namespace Vocetta::Tool {

size_t PlannedFrames(size_t samples, int ringLength, int hop) {
    const auto length = static_cast<size_t>(ringLength);
    if (samples <= length) return 1;
    return (samples - length) / static_cast<size_t>(hop) + 1;
}

Analysis PrepareAnalysis(const Profile& profile, const Recording& recording, double hopSeconds,
                         bool scorePhonemes) {
    Analysis analysis;
    analysis.sampleRate = recording.sampleRate;
    analysis.ringLength = RingLength(profile, recording.sampleRate, recording.path);
    analysis.hop = std::max(1, static_cast<int>(std::lround(hopSeconds * recording.sampleRate)));
    analysis.phonemes = scorePhonemes ? static_cast<int>(profile.phonemes.size()) : 0;
    analysis.coefficients = profile.coefficients;
    analysis.seconds = recording.Seconds();
    const size_t frames =
        PlannedFrames(recording.samples.size(), analysis.ringLength, analysis.hop);
    analysis.frames.resize(frames);
    analysis.scores.resize(frames * static_cast<size_t>(analysis.phonemes));
    analysis.mfcc.resize(frames * static_cast<size_t>(analysis.coefficients));
    return analysis;
}

void AnalyzeRange(const Host::Library& library, const Profile& profile, const Recording& recording,
                  Analysis& analysis, size_t first, size_t last) {
    if (first >= last) return;
    const LipSyncExecute execute = LipSyncEntry(library);
    const int length = analysis.ringLength;
    const auto ringSize = static_cast<size_t>(length);
    const auto hop = static_cast<size_t>(analysis.hop);
    const std::vector<float>& samples = recording.samples;
    auto sampleAt = [&](size_t index) { return index < samples.size() ? samples[index] : 0.0f; };

    // The capture ring: `write` is where the next sample goes, which is also the oldest sample.
    std::vector<float> ring(ringSize);
    size_t write = 0;
    size_t end = first * hop;  // one past the newest sample in the ring
    for (size_t i = 0; i < ringSize; ++i)
        ring[i] = sampleAt(end + i);
    end += ringSize;

    // Every reference is a row of the job's profiles; the rows' scores fold back to phonemes.
    const std::vector<float> profiles =
        analysis.phonemes > 0 ? profile.ReferenceRows() : std::vector<float>{};
    std::vector<float> rowScores(analysis.phonemes > 0 ? profile.ReferenceCount() : 0);
    LipSyncResult result{};
    LipSyncJob job{};
    job.input = {ring.data(), length, VOCETTA_ALLOCATOR_NONE};
    job.sampleRate = analysis.sampleRate;
    job.targetSampleRate = profile.targetSampleRate;
    job.melDiv = profile.melChannels;
    job.scoreMethod = profile.scoreMethod;
    job.means = View(profile.means);
    job.standardDeviations = View(profile.standardDeviations);
    job.phonemeProfiles = View(profiles);
    job.result = {&result, 1, VOCETTA_ALLOCATOR_NONE};

    for (size_t frame = first; frame < last; ++frame) {
        if (frame != first) {
            if (hop >= ringSize) {
                write = 0;
                end += hop - ringSize;
                for (size_t i = 0; i < ringSize; ++i)
                    ring[i] = sampleAt(end + i);
                end += ringSize;
            } else {
                for (size_t i = 0; i < hop; ++i) {
                    ring[write] = sampleAt(end++);
                    if (++write == ringSize) write = 0;
                }
            }
        }
        job.startIndex = static_cast<int32_t>(write);
        job.mfcc = {analysis.mfcc.data() + frame * analysis.coefficients, analysis.coefficients,
                    VOCETTA_ALLOCATOR_NONE};
        job.scores = View(rowScores);
        execute(&job);
        FrameResult& out = analysis.frames[frame];
        out.time = (static_cast<double>(end) - 0.5 * length) / analysis.sampleRate;
        out.volume = result.volume;
        out.best = analysis.phonemes > 0
                       ? Host::FoldScores(profile, rowScores.data(),
                                          analysis.scores.data() + frame * analysis.phonemes)
                       : result.phonemeIndex;
    }
}

}  // namespace Vocetta::Tool
