// A recording's mono samples at a rate the lip-sync job can analyse: its own when that is at
// least the profile's analysis rate, else resampled up to that rate with libsoxr, a piece at a
// time (the job only ever down-samples).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio.hpp"

namespace Vocetta::Tool {

class AnalysisSource {
  public:
    // Reads `reader`, which must outlive the source; `analysisRate` is the profile's.
    AnalysisSource(AudioReader& reader, int analysisRate);
    ~AnalysisSource();
    AnalysisSource(const AnalysisSource&) = delete;
    AnalysisSource& operator=(const AnalysisSource&) = delete;

    bool resampled() const { return resampler_ != nullptr; }
    int sampleRate() const { return rate_; }
    // The frame count the header promises at this rate, or -1 when it gives none.
    int64_t declaredFrames() const;
    int64_t framesRead() const { return read_; }

    // Up to `count` samples; fewer only at the end of the recording, 0 once it is over. Takes
    // from the reader only about as many samples as `count` needs, so that a stream read a hop
    // at a time is analysed as it arrives.
    size_t Read(float* samples, size_t count);

  private:
    AudioReader& reader_;
    int rate_;
    void* resampler_ = nullptr;  // soxr_t, when resampling
    std::vector<float> input_;
    size_t used_ = 0;  // samples of input_ the resampler has taken
    bool inputEnded_ = false, ended_ = false;
    int64_t read_ = 0;
};

}  // namespace Vocetta::Tool
