#include "vocetta/noise_cleaner.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace Vocetta::Host {
namespace {

constexpr double kFrameSeconds = 0.0213;
constexpr double kLeastPower = 1e-30;  // a silent bin keeps its (zero) amplitude

size_t FrameLengthAt(int sampleRate) {
    const double exponent = std::round(std::log2(sampleRate * kFrameSeconds));
    return size_t{1} << static_cast<int>(exponent);
}

// An in-place radix-2 transform: forward, or inverse without the 1 / n.
void Transform(std::vector<std::complex<double>>& x, const std::vector<size_t>& reversed,
               const std::vector<std::complex<double>>& twiddles, bool inverse) {
    const size_t n = x.size();
    for (size_t i = 0; i < n; ++i) {
        if (i < reversed[i]) std::swap(x[i], x[reversed[i]]);
    }
    for (size_t half = 1; half < n; half *= 2) {
        const size_t stride = n / (2 * half);
        for (size_t start = 0; start < n; start += 2 * half) {
            for (size_t k = 0; k < half; ++k) {
                const std::complex<double> w =
                    inverse ? std::conj(twiddles[k * stride]) : twiddles[k * stride];
                const std::complex<double> odd = x[start + half + k] * w;
                x[start + half + k] = x[start + k] - odd;
                x[start + k] += odd;
            }
        }
    }
}

}  // namespace

NoiseCleaner::NoiseCleaner(int sampleRate, const NoiseCleanerSettings& settings)
    : settings_(settings) {
    if (sampleRate < 1000) {
        throw std::invalid_argument("NoiseCleaner: a sample rate of at least 1000 Hz");
    }
    if (!(settings.oversubtraction >= 0) || !(settings.floor >= 0 && settings.floor <= 1) ||
        !(settings.quietShare > 0 && settings.quietShare <= 1) ||
        !(settings.memorySeconds > 0 && settings.memorySeconds <= 3600)) {
        throw std::invalid_argument(
            "NoiseCleaner: oversubtraction at least 0, floor 0 to 1, quiet share above 0 up to 1, "
            "memory above 0 up to 3600 s");
    }
    length_ = FrameLengthAt(sampleRate);
    hop_ = length_ / 2;
    bins_ = length_ / 2 + 1;
    memory_ = std::max<size_t>(
        3, static_cast<size_t>(std::lround(settings.memorySeconds * sampleRate / hop_)));
    window_.resize(length_);
    for (size_t i = 0; i < length_; ++i) {
        window_[i] = std::sqrt(0.5 - 0.5 * std::cos(2 * std::numbers::pi * i / length_));
    }
    twiddles_.resize(length_ / 2);
    for (size_t k = 0; k < twiddles_.size(); ++k)
        twiddles_[k] = std::polar(1.0, -2 * std::numbers::pi * k / length_);
    reversed_.resize(length_);
    const int bits = std::countr_zero(length_);
    for (size_t i = 0; i < length_; ++i) {
        size_t r = 0;
        for (int b = 0; b < bits; ++b)
            r |= ((i >> b) & 1) << (bits - 1 - b);
        reversed_[i] = r;
    }
    work_.resize(length_);
    powers_.resize(memory_ * bins_);
    energies_.resize(memory_);
    spectra_.resize(2 * bins_);
    noise_.resize(bins_);
    heard_.resize(bins_);
    output_.resize(length_);
    order_.reserve(memory_);
    input_.reserve(length_ + 1);  // a frame is taken as soon as one is there
    Reset();
}

void NoiseCleaner::Reset() {
    input_.assign(length_, 0.0);  // the stream starts half a frame into its first frame's reach
    std::fill(powers_.begin(), powers_.end(), 0.0);
    std::fill(output_.begin(), output_.end(), 0.0);
    frames_ = pushed_ = emitted_ = 0;
    discard_ = length_;
}

void NoiseCleaner::Push(const float* samples, size_t count, std::vector<float>& out) {
    for (size_t i = 0; i < count; ++i) {
        // A sample that is not a number would spread to every bin of its frames and to the
        // noise of the next seconds, and would leave the quietest frames without an order.
        input_.push_back(std::isfinite(samples[i]) ? samples[i] : 0.0);
        ++pushed_;
        if (input_.size() >= length_) TakeFrame(out);
    }
}

void NoiseCleaner::Finish(std::vector<float>& out) {
    // Two frames of zeros after the stream: every sample of it then lies in frames that are
    // taken, and the last of them has a (silent) frame after it.
    for (size_t i = 0; i < 2 * length_; ++i) {
        input_.push_back(0.0);
        if (input_.size() >= length_) TakeFrame(out);
    }
    if (settings_.lookAhead && frames_ > 0) {
        HeardAround(frames_ - 1, nullptr);  // the stream's last frame has none after it
        Synthesise(&spectra_[bins_], heard_.data(), out);
    }
    Emit(out, length_ - hop_);  // the last frame's second half
    Reset();
}

void NoiseCleaner::TakeFrame(std::vector<float>& out) {
    for (size_t i = 0; i < length_; ++i)
        work_[i] = input_[i] * window_[i];
    input_.erase(input_.begin(), input_.begin() + static_cast<long>(hop_));
    Transform(work_, reversed_, twiddles_, false);
    const size_t t = frames_++;
    double* power = &powers_[(t % memory_) * bins_];
    double energy = 0;
    for (size_t k = 0; k < bins_; ++k) {
        power[k] = std::norm(work_[k]);
        energy += power[k];
    }
    energies_[t % memory_] = energy;
    // The frame before this one can be made now that this one's power is known.
    std::copy(spectra_.begin() + static_cast<long>(bins_), spectra_.end(), spectra_.begin());
    std::copy(work_.begin(), work_.begin() + static_cast<long>(bins_),
              spectra_.begin() + static_cast<long>(bins_));
    if (settings_.lookAhead && t >= 1) {
        HeardAround(t - 1, power);
        Synthesise(spectra_.data(), heard_.data(), out);
    }
    // This frame's noise: the quietest share of the frames up to it (ties to the older).
    const size_t first = t + 1 > memory_ ? t + 1 - memory_ : 0;
    order_.clear();
    for (size_t f = first; f <= t; ++f)
        order_.push_back(f);
    const size_t quiet = std::max<size_t>(
        1, static_cast<size_t>(settings_.quietShare * static_cast<double>(order_.size())));
    const auto quieter = [&](size_t a, size_t b) {
        const double ea = energies_[a % memory_], eb = energies_[b % memory_];
        return ea < eb || (ea == eb && a < b);
    };
    std::nth_element(order_.begin(), order_.begin() + static_cast<long>(quiet - 1), order_.end(),
                     quieter);
    // Summed oldest first, an order any other host (the C# one) can repeat bit for bit.
    std::sort(order_.begin(), order_.begin() + static_cast<long>(quiet));
    std::fill(noise_.begin(), noise_.end(), 0.0);
    for (size_t q = 0; q < quiet; ++q) {
        const double* p = &powers_[(order_[q] % memory_) * bins_];
        for (size_t k = 0; k < bins_; ++k)
            noise_[k] += p[k];
    }
    for (double& n : noise_)
        n /= static_cast<double>(quiet);
    if (!settings_.lookAhead) Synthesise(&spectra_[bins_], power, out);
}

// The power the gain of `frame` weighs against the noise: the mean of that frame's and its two
// neighbours', a missing one (before the stream's first frame, `after` null) counting 0.
void NoiseCleaner::HeardAround(size_t frame, const double* after) {
    const double* before = frame >= 1 ? &powers_[((frame - 1) % memory_) * bins_] : nullptr;
    const double* at = &powers_[(frame % memory_) * bins_];
    for (size_t k = 0; k < bins_; ++k)
        heard_[k] = ((before ? before[k] : 0.0) + at[k] + (after ? after[k] : 0.0)) / 3.0;
}

// Adds the cleaned frame into the overlap, whose first hop is then final.
void NoiseCleaner::Synthesise(const std::complex<double>* spectrum, const double* heard,
                              std::vector<float>& out) {
    const double least = settings_.floor * settings_.floor;
    for (size_t k = 0; k < bins_; ++k) {
        const double kept =
            1.0 - settings_.oversubtraction * noise_[k] / std::max(heard[k], kLeastPower);
        work_[k] = spectrum[k] * std::sqrt(std::max(kept, least));
    }
    for (size_t k = 1; k + 1 < bins_; ++k)
        work_[length_ - k] = std::conj(work_[k]);
    Transform(work_, reversed_, twiddles_, true);
    const double scale = 1.0 / static_cast<double>(length_);
    for (size_t i = 0; i < length_; ++i)
        output_[i] += work_[i].real() * scale * window_[i];
    Emit(out, hop_);
}

void NoiseCleaner::Emit(std::vector<float>& out, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (discard_ > 0) {
            --discard_;
        } else if (emitted_ < pushed_) {
            out.push_back(static_cast<float>(output_[i]));
            ++emitted_;
        }
    }
    std::copy(output_.begin() + static_cast<long>(count), output_.end(), output_.begin());
    std::fill(output_.end() - static_cast<long>(count), output_.end(), 0.0);
}

}  // namespace Vocetta::Host
