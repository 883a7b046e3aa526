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

// sum + w(j) x spectrum[j] for j = first ... last in ascending order, with the edge's weight
// w(j) = ((f(j) - fBegin) / rise or (fEnd - f(j)) / fall) / halfWidth. The weights and products
// are element-wise, so they run in lanes; the sum stays one accumulator in bin order.
template <bool kRising>
float AddEdge(float sum, const float* spectrum, int32_t first, int32_t last, float df, float anchor,
              float span, float halfWidth) {
    int32_t j = first;
    if (last - first + 1 >= kLanes) {
        const Floats vDf = Floats::Broadcast(df);
        const Floats vAnchor = Floats::Broadcast(anchor);
        const Floats vSpan = Floats::Broadcast(span);
        const Floats vHalfWidth = Floats::Broadcast(halfWidth);
        for (; j <= last - (kLanes - 1); j += kLanes) {
            const Floats f = Floats::Ramp(j) * vDf;
            Floats w = kRising ? (f - vAnchor) / vSpan : (vAnchor - f) / vSpan;
            w = w / vHalfWidth;
            float products[kLanes];
            (w * Floats::Load(spectrum + j)).Store(products);
            for (int32_t lane = 0; lane < kLanes; ++lane)
                sum = sum + products[lane];
        }
    }
    for (; j <= last; ++j) {
        const float f = static_cast<float>(j) * df;
        float w = kRising ? (f - anchor) / span : (anchor - f) / span;
        w = w / halfWidth;
        sum = sum + w * spectrum[j];
    }
    return sum;
}

void MelBands(const float* spectrum, float* melSpectrum, int32_t spectrumLength, float sampleRate,
              int32_t melDiv) {
    const float fMax = sampleRate * 0.5f;
    const float melMax = MelOfHz(fMax);
    const int32_t half = spectrumLength / 2;
    const float df = fMax / static_cast<float>(half);
    const int32_t lastBin = half > 0 ? half : 0;
    // melDiv + 1 as the processor adds (no overflow trap at INT32_MAX).
    const int32_t edgeCount = static_cast<int32_t>(static_cast<uint32_t>(melDiv) + 1u);
    const float melStep = melMax / static_cast<float>(edgeCount);

    // Band i+1 begins at band i's centre and band i ends at band i+1's centre, computed from the
    // same float(k) x melStep each time, so one conversion per edge serves every band using it.
    float fBegin = HzOfMel(static_cast<float>(0) * melStep);
    float fCenter = HzOfMel(static_cast<float>(1) * melStep);
    for (int32_t i = 0; i < melDiv; ++i) {
        const int32_t endEdge = static_cast<int32_t>(static_cast<uint32_t>(i) + 2u);
        const float fEnd = HzOfMel(static_cast<float>(endEdge) * melStep);

        const int32_t first = FirstSummedBin(Ceil(fBegin / df), lastBin);
        const int32_t centre = CentreBin(Rint(fCenter / df), lastBin);
        const int32_t last = LastSummedBin(Floor(fEnd / df), lastBin);

        float sum = 0.0f;
        if (first <= last) {
            const float halfWidth = (fEnd - fBegin) * 0.5f;
            // The edge is chosen by bin number against the rounded centre, not by frequency.
            const int32_t lastRising = centre - 1 < last ? centre - 1 : last;
            const int32_t firstFalling = centre > first ? centre : first;
            sum = AddEdge<true>(sum, spectrum, first, lastRising, df, fBegin, fCenter - fBegin,
                                halfWidth);
            sum = AddEdge<false>(sum, spectrum, firstFalling, last, df, fEnd, fEnd - fCenter,
                                 halfWidth);
        }
        melSpectrum[i] = sum;

        fBegin = fCenter;
        fCenter = fEnd;
    }
}

}  // namespace

void Algorithm::MelFilterBank(NativeArray& spectrum, NativeArray& melSpectrum, float sampleRate,
                              int32_t melDiv) {
    // A negative band count describes no bands; it must not become a negative allocation.
    float* bands = CreateInto(melSpectrum, melDiv > 0 ? melDiv : 0);
    if (melDiv <= 0) return;
    MelBands(FloatsOf(spectrum), bands, spectrum.length, sampleRate, melDiv);
}

void Algorithm::_MelFilterBank(const float* spectrum, float* melSpectrum, int32_t spectrumLength,
                               float sampleRate, int32_t melDiv) {
    if (melDiv <= 0) return;
    MelBands(spectrum, melSpectrum, spectrumLength, sampleRate, melDiv);
}

}  // namespace Vocetta::VOCETTA_VARIANT
