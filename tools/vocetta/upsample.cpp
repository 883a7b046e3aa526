#include "upsample.hpp"

#include <soxr.h>

#include <algorithm>
#include <cmath>

#include "error.hpp"

namespace Vocetta::Tool {
namespace {

constexpr size_t kMaxInput = 16384;

soxr_t Resampler(void* handle) {
    return static_cast<soxr_t>(handle);
}

}  // namespace

AnalysisSource::AnalysisSource(AudioReader& reader, int analysisRate)
    : reader_(reader), rate_(std::max(reader.sampleRate(), analysisRate)) {
    if (rate_ == reader.sampleRate()) return;
    soxr_error_t error = nullptr;
    // The smallest transform blocks: the filter's output then comes every few hops instead of
    // every hundred milliseconds, so that frames of a stream follow its samples closely (the
    // transform size changes how the work is cut, not what the filter is).
    soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    runtime.log2_min_dft_size = 8;
    runtime.log2_large_dft_size = 8;
    resampler_ = soxr_create(reader.sampleRate(), rate_, 1, &error, nullptr, nullptr, &runtime);
    if (error != nullptr || resampler_ == nullptr) {
        throw ToolError(reader.path() + ": cannot resample " + std::to_string(reader.sampleRate()) +
                        " Hz to " + std::to_string(rate_) + " Hz: " + soxr_strerror(error));
    }
}

AnalysisSource::~AnalysisSource() {
    if (resampler_ != nullptr) soxr_delete(Resampler(resampler_));
}

int64_t AnalysisSource::declaredFrames() const {
    const int64_t declared = reader_.declaredFrames();
    if (!resampled() || declared <= 0) return declared;
    return static_cast<int64_t>(
        std::llround(double(declared) * double(rate_) / double(reader_.sampleRate())));
}

size_t AnalysisSource::Read(float* samples, size_t count) {
    if (!resampled()) {
        const size_t got = reader_.Read(samples, count);
        read_ += static_cast<int64_t>(got);
        return got;
    }
    size_t done = 0;
    while (done < count && !ended_) {
        if (used_ == input_.size() && !inputEnded_) {
            // About the input that the missing output needs, and at least one sample.
            const double ratio = double(reader_.sampleRate()) / double(rate_);
            const size_t want = std::clamp<size_t>(
                static_cast<size_t>(std::ceil(double(count - done) * ratio)), 1, kMaxInput);
            input_.resize(want);
            const size_t got = reader_.Read(input_.data(), want);
            input_.resize(got);
            used_ = 0;
            inputEnded_ = got < want;
        }
        // A null input tells the resampler that the stream is over: it then gives what its
        // filter still holds.
        const bool flushing = inputEnded_ && used_ == input_.size();
        size_t taken = 0, given = 0;
        const soxr_error_t error =
            soxr_process(Resampler(resampler_), flushing ? nullptr : input_.data() + used_,
                         input_.size() - used_, &taken, samples + done, count - done, &given);
        if (error != nullptr) {
            throw ToolError(reader_.path() + ": resampling failed: " + soxr_strerror(error));
        }
        used_ += taken;
        done += given;
        if (flushing && given == 0) ended_ = true;
    }
    read_ += static_cast<int64_t>(done);
    return done;
}

}  // namespace Vocetta::Tool
