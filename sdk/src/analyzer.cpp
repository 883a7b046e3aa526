#include "vocetta/analyzer.hpp"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>

#include "vocetta/ring.hpp"

namespace Vocetta::Host {
namespace {

// A view of memory the analyzer owns: label "none", so the library never releases it.
template <typename T>
NativeArray View(std::vector<T>& values) {
    return {values.data(), static_cast<int32_t>(values.size()), VOCETTA_ALLOCATOR_NONE};
}

// A stream position for the first sample: one the ring can be indexed by (the first sample sits at
// firstSample mod L, which C++ gives negative for a negative position) and whose frames' ends still
// fit in 64 bits.
int64_t FirstSample(int64_t firstSample, size_t ringLength, int hop) {
    const int64_t last =
        std::numeric_limits<int64_t>::max() - static_cast<int64_t>(ringLength) - hop;
    if (firstSample < 0 || firstSample > last) {
        throw std::invalid_argument("the analyzer: first sample " + std::to_string(firstSample) +
                                    " is outside 0 ... " + std::to_string(last));
    }
    return firstSample;
}

}  // namespace

Analyzer::Analyzer(const Entries& entries, const Profile& profile, int sampleRate, int hopSamples,
                   bool scorePhonemes, int64_t firstSample)
    : execute_(entries.LipSyncJob_Execute),
      sampleRate_(sampleRate),
      hop_(std::max(1, hopSamples)),
      ring_(static_cast<size_t>(RingLength(profile, sampleRate, "the analyzer"))),
      write_(static_cast<size_t>(FirstSample(firstSample, ring_.size(), hop_) %
                                 static_cast<int64_t>(ring_.size()))),
      pushed_(firstSample),
      first_(firstSample),
      nextEnd_(firstSample + static_cast<int64_t>(ring_.size())),
      profile_(&profile) {
    if (execute_ == nullptr) throw ProfileError("the analyzer: the library has no lip-sync job");
    // Every reference is a row of the job's profiles; the rows' scores fold back to phonemes.
    if (scorePhonemes) profiles_ = profile.ReferenceRows();
    rowScores_.resize(scorePhonemes ? profile.ReferenceCount() : 0);
    scores_.resize(scorePhonemes ? profile.phonemes.size() : 0);
    mfcc_.resize(static_cast<size_t>(profile.coefficients));
    job_.input = View(ring_);
    job_.sampleRate = sampleRate;
    job_.targetSampleRate = profile.targetSampleRate;
    job_.melDiv = profile.melChannels;
    job_.scoreMethod = profile.scoreMethod;
    // The job only reads these; the profile outlives the analyzer.
    job_.means = {const_cast<float*>(profile.means.data()),
                  static_cast<int32_t>(profile.means.size()), VOCETTA_ALLOCATOR_NONE};
    job_.standardDeviations = {const_cast<float*>(profile.standardDeviations.data()),
                               static_cast<int32_t>(profile.standardDeviations.size()),
                               VOCETTA_ALLOCATOR_NONE};
    job_.phonemeProfiles = View(profiles_);
    job_.mfcc = View(mfcc_);
    job_.scores = View(rowScores_);
    job_.result = {&result_, 1, VOCETTA_ALLOCATOR_NONE};
}

void Analyzer::Push(const float* samples, size_t count, const Callback& onFrame) {
    const size_t length = ring_.size();
    while (count > 0) {
        // Copy up to the next frame, the end of the ring or the end of the input, whichever
        // comes first.
        const auto due = static_cast<size_t>(nextEnd_ - pushed_);
        const size_t run = std::min({count, due, length - write_});
        std::copy(samples, samples + run, ring_.begin() + static_cast<std::ptrdiff_t>(write_));
        samples += run;
        count -= run;
        pushed_ += static_cast<int64_t>(run);
        write_ += run;
        if (write_ == length) write_ = 0;
        if (pushed_ == nextEnd_) {
            Run(onFrame);
            nextEnd_ += hop_;
        }
    }
}

void Analyzer::Finish(const Callback& onFrame) {
    if (frames_ != 0 || pushed_ == first_) return;
    const std::vector<float> silence(static_cast<size_t>(nextEnd_ - pushed_), 0.0f);
    Push(silence.data(), silence.size(), onFrame);
}

void Analyzer::SetReferenceRows(std::span<const float> rows) {
    if (profiles_.empty() || rows.size() != profiles_.size()) {
        throw std::invalid_argument("the analyzer: " + std::to_string(rows.size()) +
                                    " reference values given, it scores " +
                                    std::to_string(profiles_.size()));
    }
    // In place: the job's view of the rows stays valid.
    std::copy(rows.begin(), rows.end(), profiles_.begin());
}

void Analyzer::Run(const Callback& onFrame) {
    job_.startIndex = static_cast<int32_t>(write_);
    execute_(&job_);
    ++frames_;
    AnalyzerFrame frame;
    frame.end = pushed_;
    frame.time = (static_cast<double>(pushed_) - 0.5 * static_cast<double>(ring_.size())) /
                 static_cast<double>(sampleRate_);
    frame.volume = result_.volume;
    frame.best = scores_.empty() ? result_.phonemeIndex
                                 : FoldScores(*profile_, rowScores_.data(), scores_.data());
    frame.scores = scores_;
    frame.mfcc = mfcc_;
    onFrame(frame);
}

}  // namespace Vocetta::Host
