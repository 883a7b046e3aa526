// Taking steady background noise (hiss, hum, a fan, a room) out of the audio before the lip-sync
// job hears it. In noise the vowels' frames go to silence and to each other; the job and the
// profile are fixed, but the audio they are given need not be.
//
// Spectral subtraction, one sample stream at a time: frames of about 21 ms (the nearest power of
// two at the stream's rate) at half-frame hops, a square-root Hann window on analysis and on
// synthesis, so that a frame whose every bin keeps its amplitude gives its samples back. The
// noise's power in each bin is the mean over the quietest share of the recent frames; each bin
// then keeps sqrt(max(1 - oversubtraction x noise / power, floor^2)) of its amplitude, its power
// the mean over the frame and its neighbours. A frame alone is not enough to tell noise from
// quiet speech, so what the stream has heard so far decides, as a live host would have it:
//
//     Vocetta::Host::NoiseCleaner cleaner(48000);
//     std::vector<float> cleaned;
//     cleaner.Push(block, count, cleaned);  // the cleaned samples known so far, in order
//     ...
//     cleaner.Finish(cleaned);  // the rest: as many samples in all as were pushed, aligned
//
// Fewer than Latency() samples are held back at any time (one frame and, with the look-ahead, a
// hop more: 32 ms at 48 kHz). Digital silence passes through within rounding. It allocates only
// when constructed.
#pragma once

#include <complex>
#include <cstddef>
#include <vector>

namespace Vocetta::Host {

struct NoiseCleanerSettings {
    double oversubtraction = 3.0;  // noise powers taken off each bin's
    double floor = 0.25;           // least share of a bin's amplitude kept
    double quietShare = 0.1;       // of the recent frames, those taken as noise
    double memorySeconds = 5.0;    // how far back the noise is looked for
    bool lookAhead = true;         // each frame's power averaged with the next frame's as well
};

class NoiseCleaner {
  public:
    // Throws std::invalid_argument for a rate below 1000 Hz or settings outside their ranges.
    explicit NoiseCleaner(int sampleRate, const NoiseCleanerSettings& settings = {});

    // Samples that are not finite are taken as 0.
    void Push(const float* samples, size_t count, std::vector<float>& out);
    // The samples still held back; afterwards the cleaner starts a new stream.
    void Finish(std::vector<float>& out);

    size_t FrameLength() const { return length_; }
    size_t Latency() const { return length_ + (settings_.lookAhead ? hop_ : 0); }

  private:
    void TakeFrame(std::vector<float>& out);
    void HeardAround(size_t frame, const double* after);
    void Synthesise(const std::complex<double>* spectrum, const double* heard,
                    std::vector<float>& out);
    void Emit(std::vector<float>& out, size_t count);
    void Reset();

    NoiseCleanerSettings settings_;
    size_t length_, hop_, bins_, memory_;
    std::vector<double> window_;
    std::vector<std::complex<double>> twiddles_, work_;
    std::vector<size_t> reversed_;
    std::vector<double> input_;  // the samples from the next frame's start on
    // The last memory_ frames' power spectra and energies, a ring; the newest two spectra.
    std::vector<double> powers_, energies_;
    std::vector<std::complex<double>>
        spectra_;  // 2 x bins: the frame before the newest, the newest
    std::vector<double> noise_, heard_, output_;  // output_: overlap-add of the last frame
    std::vector<size_t> order_;
    size_t frames_ = 0;   // frames taken
    size_t pushed_ = 0;   // samples pushed in this stream
    size_t emitted_ = 0;  // cleaned samples given out in this stream
    size_t discard_ = 0;  // leading synthesis samples that precede the stream
};

}  // namespace Vocetta::Host
