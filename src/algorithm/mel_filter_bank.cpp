// Mel filter bank: triangular bands, evenly spaced in mel from 0 Hz to Nyquist, each of unit
// area over frequency, derived afresh on every call.
#include "algorithm/algorithm.h"

namespace Vocetta::VOCETTA_VARIANT {

namespace {

// The mel scale with the factor 1127, in this order of operations.
float MelOfHz(float hz) {
    return Log(hz / 700.0f + 1.0f) * 1127.0f;
}
float HzOfMel(float mel) {
    return (Exp(mel / 1127.0f) - 1.0f) * 700.0f;
}

// HzOfMel(float(k) x melStep) for edges k = 0, 1, 2, ... asked for in turn, kLanes at a time
// where the vector exponential gives the scalar one's bits. Edge numbers wrap as the processor
// adds, lanes and scalar alike.
class EdgeFrequencies {
  public:
    explicit EdgeFrequencies(float melStep) : melStep_(melStep), lanes_(ScalarBitsInLanes()) {}

    float operator()(int32_t k) {
        if (!lanes_) return HzOfMel(static_cast<float>(k) * melStep_);
        const uint32_t lane = static_cast<uint32_t>(k) - static_cast<uint32_t>(first_);
        if (lane < static_cast<uint32_t>(kLanes)) return hz_[lane];
        first_ = k;
        const Floats mel = Floats::Ramp(k) * Floats::Broadcast(melStep_);
        const Floats e = UnfusedExp(mel / Floats::Broadcast(1127.0f));
        ((e - Floats::Broadcast(1.0f)) * Floats::Broadcast(700.0f)).Store(hz_);
        return hz_[0];
    }

  private:
    float melStep_;
    bool lanes_;
    int32_t first_ = -kLanes;  // no edge is held yet
    alignas(32) float hz_[kLanes];
};

// The rounded quotients become bin numbers here, and only here. Every summed bin stays inside
// 1 ... lastBin whatever the quotient: NaN (a band whose edges are undefined) sums nothing, and
// infinities or values beyond the spectrum are cut at its ends. Inside that range the numbers
// are those of a plain conversion. Comparisons go through double so that no bin count near
// 2^31 is rounded before it is compared.

// One above ceil(fBegin / df): the first bin the band sums.
int32_t FirstSummedBin(float begin, int32_t lastBin) {
    if (!(static_cast<double>(begin) < static_cast<double>(lastBin))) return lastBin + 1;
    if (begin < 0.0f) return 1;
    return TruncateToInt32(begin) + 1;
}

// floor(fEnd / df): the last bin the band sums.
int32_t LastSummedBin(float end, int32_t lastBin) {
    if (!(end >= 1.0f)) return 0;
    if (static_cast<double>(end) > static_cast<double>(lastBin)) return lastBin;
    return TruncateToInt32(end);
}

// rint(fCenter / df), only ever compared with summed bins: below 1 (or NaN) every bin falls,
// above lastBin every bin rises.
int32_t CentreBin(float centre, int32_t lastBin) {
    if (!(centre >= 1.0f)) return 1;
    if (static_cast<double>(centre) > static_cast<double>(lastBin)) return lastBin + 1;
    return TruncateToInt32(centre);
}

// One edge of a band: bins first ... last, with the weight w(j) = ((f(j) - fBegin) / rise or
// (fEnd - f(j)) / fall) / halfWidth, f(j) = j x df; `anchor` is fBegin on a rising edge and fEnd
// on a falling one, `span` the rise or the fall.
struct Edge {
    int32_t first, last;
    float df, anchor, span, halfWidth;
};

// The products w(j) x spectrum[j] of kLanes bins from j. Each is the same rounded operations
// whether it runs in a lane or alone, so only the order of the sums below is fixed.
template <bool kRising>
Floats EdgeProducts(const Edge& e, const float* spectrum, int32_t j) {
    const Floats f = Floats::Ramp(j) * Floats::Broadcast(e.df);
    const Floats anchor = Floats::Broadcast(e.anchor), span = Floats::Broadcast(e.span);
    Floats w = kRising ? (f - anchor) / span : (anchor - f) / span;
    w = w / Floats::Broadcast(e.halfWidth);
    return w * Floats::Load(spectrum + j);
}

// sum + the edge's products for j = from ... e.last, in ascending order in one accumulator.
template <bool kRising>
float AddEdge(float sum, const float* spectrum, const Edge& e, int32_t from) {
    int32_t j = from;
    for (; j <= e.last - (kLanes - 1); j += kLanes) {
        float products[kLanes];
        EdgeProducts<kRising>(e, spectrum, j).Store(products);
        for (int32_t lane = 0; lane < kLanes; ++lane)
            sum = sum + products[lane];
    }
    for (; j <= e.last; ++j) {
        const float f = static_cast<float>(j) * e.df;
        float w = kRising ? (f - e.anchor) / e.span : (e.anchor - f) / e.span;
        w = w / e.halfWidth;
        sum = sum + w * spectrum[j];
    }
    return sum;
}

// A band's falling edge onto `falling` and the next band's rising edge, over about the same bins,
// onto `rising`: two chains of sums side by side, each in its own bin order, so that each add
// waits for its own chain only.
void AddFallingAndRising(float& falling, const Edge& fall, float& rising, const Edge& rise,
                         const float* spectrum) {
    int32_t jf = fall.first, jr = rise.first;
    for (; jf <= fall.last - (kLanes - 1) && jr <= rise.last - (kLanes - 1);
         jf += kLanes, jr += kLanes) {
        float down[kLanes], up[kLanes];
        EdgeProducts<false>(fall, spectrum, jf).Store(down);
        EdgeProducts<true>(rise, spectrum, jr).Store(up);
        for (int32_t lane = 0; lane < kLanes; ++lane) {
            falling = falling + down[lane];
            rising = rising + up[lane];
        }
    }
    falling = AddEdge<false>(falling, spectrum, fall, jf);
    rising = AddEdge<true>(rising, spectrum, rise, jr);
}

// The two edges of band i, from its three edge frequencies. The edge is chosen by bin number
// against the rounded centre, not by frequency. A band with no bin sums nothing: both its edges
// are then empty.
struct BandEdges {
    Edge rise, fall;
};
BandEdges EdgesOf(float fBegin, float fCenter, float fEnd, float df, int32_t lastBin) {
    const int32_t first = FirstSummedBin(Ceil(fBegin / df), lastBin);
    const int32_t centre = CentreBin(Rint(fCenter / df), lastBin);
    const int32_t last = LastSummedBin(Floor(fEnd / df), lastBin);
    const float halfWidth = (fEnd - fBegin) * 0.5f;
    const int32_t lastRising = centre - 1 < last ? centre - 1 : last;
    const int32_t firstFalling = centre > first ? centre : first;
    return {{first, lastRising, df, fBegin, fCenter - fBegin, halfWidth},
            {firstFalling, last, df, fEnd, fEnd - fCenter, halfWidth}};
}

// sideBySide: the chains of neighbouring bands run side by side, for an output array of its own.
// The exported kernel's caller may hand it overlapping arrays, so it finishes each band before it
// reads the next band's bins.
void MelBands(const float* spectrum, float* melSpectrum, int32_t spectrumLength, float sampleRate,
              int32_t melDiv, bool sideBySide) {
    const float fMax = sampleRate * 0.5f;
    const float melMax = MelOfHz(fMax);
    const int32_t half = spectrumLength / 2;
    const float df = fMax / static_cast<float>(half);
    const int32_t lastBin = half > 0 ? half : 0;
    // melDiv + 1 as the processor adds (no overflow trap at INT32_MAX).
    const int32_t edgeCount = static_cast<int32_t>(static_cast<uint32_t>(melDiv) + 1u);
    const float melStep = melMax / static_cast<float>(edgeCount);
    EdgeFrequencies edgeHz(melStep);

    // Band i+1 begins at band i's centre and band i ends at band i+1's centre, computed from the
    // same float(k) x melStep each time, so one conversion per edge serves every band using it.
    // Each band's sum is its rising edge, then its falling edge. Band i ends at edge i + 2, as the
    // processor adds.
    const float fBegin = edgeHz(0);
    float fCenter = edgeHz(1);
    float fEnd = edgeHz(2);
    BandEdges band = EdgesOf(fBegin, fCenter, fEnd, df, lastBin);
    float sum = AddEdge<true>(0.0f, spectrum, band.rise, band.rise.first);
    for (int32_t i = 0; i < melDiv; ++i) {
        if (i + 1 == melDiv) {
            melSpectrum[i] = AddEdge<false>(sum, spectrum, band.fall, band.fall.first);
            break;
        }
        const float fNext = edgeHz(static_cast<int32_t>(static_cast<uint32_t>(i) + 3u));
        const BandEdges next = EdgesOf(fCenter, fEnd, fNext, df, lastBin);
        float nextSum = 0.0f;
        if (sideBySide) {
            AddFallingAndRising(sum, band.fall, nextSum, next.rise, spectrum);
            melSpectrum[i] = sum;
        } else {
            melSpectrum[i] = AddEdge<false>(sum, spectrum, band.fall, band.fall.first);
            nextSum = AddEdge<true>(nextSum, spectrum, next.rise, next.rise.first);
        }
        sum = nextSum;
        band = next;
        fCenter = fEnd;
        fEnd = fNext;
    }
}

}  // namespace

void Algorithm::MelFilterBank(NativeArray& spectrum, NativeArray& melSpectrum, float sampleRate,
                              int32_t melDiv) {
    // A negative band count describes no bands; it must not become a negative allocation.
    float* bands = CreateInto(melSpectrum, melDiv > 0 ? melDiv : 0);
    if (melDiv <= 0) return;
    MelBands(FloatsOf(spectrum), bands, spectrum.length, sampleRate, melDiv, true);
}

void Algorithm::_MelFilterBank(const float* spectrum, float* melSpectrum, int32_t spectrumLength,
                               float sampleRate, int32_t melDiv) {
    if (melDiv <= 0) return;
    MelBands(spectrum, melSpectrum, spectrumLength, sampleRate, melDiv, false);
}

}  // namespace Vocetta::VOCETTA_VARIANT
