// The complex FFT and the magnitude spectrum.
//
// The transform is a recursive radix-2 split whose every level borrows four scratch arrays from
// the host and evaluates its twiddles directly; the host sees exactly that allocation sequence,
// and stored phoneme profiles depend on the exact bits, odd lengths included. What stays free is
// how often a twiddle is evaluated: every block of one recursion level has the same length, so
// a level's cosines and sines are computed once per call and shared by all its blocks.
#include "algorithm/algorithm.h"
#include "algorithm/analysis_loops.h"

namespace Vocetta::VOCETTA_VARIANT {

namespace {

constexpr float kMinusTwoPi = -6.2831855f;
constexpr int32_t kMaxDepth = 32;  // lengths below 2^31 halve at most 30 times
// Levels of up to this many butterflies keep their twiddles on the stack for the whole call. Each
// level has at most half the butterflies of the one above, so all such levels fit in twice that
// (16 KiB in all); a larger level runs once or a few times per call and evaluates its twiddles
// in chunks.
constexpr int32_t kTabledHalf = 1024;
constexpr int32_t kTableCapacity = 2 * kTabledHalf;
constexpr int32_t kChunk = 256;  // a multiple of kLanes: chunks keep the lane groups from k = 0

struct Twiddles {
    const float* cosine[kMaxDepth];  // null: the level evaluates its own
    const float* sine[kMaxDepth];
};

// The twiddles of butterflies kBegin ... kEnd - 1 of a block of length n, into c[0], s[0], ...
// Lanes run in groups of kLanes from k = 0 and the last h mod kLanes use the scalar functions,
// so kBegin must be a multiple of kLanes and kEnd either one too or the level's h.
void FillTwiddles(float* c, float* s, int32_t kBegin, int32_t kEnd, int32_t n) {
    const Floats scale = Floats::Broadcast(kMinusTwoPi);
    const Floats length = Floats::Broadcast(static_cast<float>(n));
    int32_t k = kBegin;
    for (; k + kLanes <= kEnd; k += kLanes) {
        const Floats theta = (Floats::Ramp(k) * scale) / length;
        Cos(theta).Store(c + (k - kBegin));
        Sin(theta).Store(s + (k - kBegin));
    }
    for (; k < kEnd; ++k) {
        const float theta = (static_cast<float>(k) * kMinusTwoPi) / static_cast<float>(n);
        c[k - kBegin] = Cos(theta);
        s[k - kBegin] = Sin(theta);
    }
}

struct Halves {
    float* evenRe;
    float* evenIm;
    float* oddRe;
    float* oddIm;
};

void Split(const float* re, const float* im, int32_t h, const Halves& to) {
    int32_t i = 0;
    for (; i + kLanes <= h; i += kLanes) {
        Floats even, odd;
        Deinterleave(re + 2 * i, even, odd);
        even.Store(to.evenRe + i);
        odd.Store(to.oddRe + i);
        Deinterleave(im + 2 * i, even, odd);
        even.Store(to.evenIm + i);
        odd.Store(to.oddIm + i);
    }
    for (; i < h; ++i) {
        to.evenRe[i] = re[2 * i];
        to.evenIm[i] = im[2 * i];
        to.oddRe[i] = re[2 * i + 1];
        to.oddIm[i] = im[2 * i + 1];
    }
}

// Butterflies kBegin ... kEnd - 1, with c[0] and s[0] the twiddle of kBegin.
void Butterflies(float* re, float* im, int32_t h, const Halves& from, const float* c,
                 const float* s, int32_t kBegin, int32_t kEnd) {
    int32_t k = kBegin;
    for (; k + kLanes <= kEnd; k += kLanes) {
        const Floats cosine = Floats::Load(c + (k - kBegin));
        const Floats sine = Floats::Load(s + (k - kBegin));
        const Floats oddRe = Floats::Load(from.oddRe + k);
        const Floats oddIm = Floats::Load(from.oddIm + k);
        const Floats evenRe = Floats::Load(from.evenRe + k);
        const Floats evenIm = Floats::Load(from.evenIm + k);
        const Floats tRe = oddRe * cosine - oddIm * sine;
        const Floats tIm = oddRe * sine + oddIm * cosine;
        (evenRe + tRe).Store(re + k);
        (evenIm + tIm).Store(im + k);
        (evenRe - tRe).Store(re + k + h);
        (evenIm - tIm).Store(im + k + h);
    }
    for (; k < kEnd; ++k) {
        const float cosine = c[k - kBegin], sine = s[k - kBegin];
        const float tRe = from.oddRe[k] * cosine - from.oddIm[k] * sine;
        const float tIm = from.oddRe[k] * sine + from.oddIm[k] * cosine;
        re[k] = from.evenRe[k] + tRe;
        im[k] = from.evenIm[k] + tIm;
        re[k + h] = from.evenRe[k] - tRe;
        im[k + h] = from.evenIm[k] - tIm;
    }
}

// A level too large for the table: its twiddles a chunk at a time, off the recursion's frames.
__attribute__((noinline)) void CombineUntabled(float* re, float* im, int32_t n,
                                               const Halves& from) {
    const int32_t h = n / 2;
    alignas(32) float c[kChunk];
    alignas(32) float s[kChunk];
    for (int32_t kBegin = 0; kBegin < h; kBegin += kChunk) {
        const int32_t kEnd = h - kBegin > kChunk ? kBegin + kChunk : h;
        FillTwiddles(c, s, kBegin, kEnd, n);
        Butterflies(re, im, h, from, c, s, kBegin, kEnd);
    }
}

// Half of all blocks have length 2 or 3 and a quarter length 4 or 5: these run with constant
// sizes and their values in registers. Their levels are
// always in the table. A block of 2 or 3 has halves of one element, which need no transform.
void TransformPair(float* re, float* im, float c, float s) {
    const float evenRe = re[0], evenIm = im[0], oddRe = re[1], oddIm = im[1];
    const Halves halves{AllocateUnfilled(1), AllocateUnfilled(1), AllocateUnfilled(1),
                        AllocateUnfilled(1)};
    halves.evenRe[0] = evenRe;
    halves.evenIm[0] = evenIm;
    halves.oddRe[0] = oddRe;
    halves.oddIm[0] = oddIm;
    const float tRe = oddRe * c - oddIm * s;
    const float tIm = oddRe * s + oddIm * c;
    re[0] = evenRe + tRe;
    im[0] = evenIm + tIm;
    re[1] = evenRe - tRe;
    im[1] = evenIm - tIm;
    Release(halves.evenRe);
    Release(halves.evenIm);
    Release(halves.oddRe);
    Release(halves.oddIm);
}

void TransformQuad(float* re, float* im, int32_t depth, const Twiddles& twiddles) {
    const Halves halves{AllocateUnfilled(2), AllocateUnfilled(2), AllocateUnfilled(2),
                        AllocateUnfilled(2)};
    Split(re, im, 2, halves);
    const float c = twiddles.cosine[depth + 1][0], s = twiddles.sine[depth + 1][0];
    TransformPair(halves.evenRe, halves.evenIm, c, s);
    TransformPair(halves.oddRe, halves.oddIm, c, s);
    Butterflies(re, im, 2, halves, twiddles.cosine[depth], twiddles.sine[depth], 0, 2);
    Release(halves.evenRe);
    Release(halves.evenIm);
    Release(halves.oddRe);
    Release(halves.oddIm);
}

void Transform(float* re, float* im, int32_t n, int32_t depth, const Twiddles& twiddles);

// One block of length n >= 2 at recursion depth `depth`.
void TransformBlock(float* re, float* im, int32_t n, int32_t depth, const Twiddles& twiddles) {
    const int32_t h = n / 2;
    if (h == 1) {
        TransformPair(re, im, twiddles.cosine[depth][0], twiddles.sine[depth][0]);
    } else if (h == 2) {
        TransformQuad(re, im, depth, twiddles);
    } else {
        Transform(re, im, n, depth, twiddles);
    }
}

void Transform(float* re, float* im, int32_t n, int32_t depth, const Twiddles& twiddles) {
    const int32_t h = n / 2;
    const Halves halves{AllocateUnfilled(h), AllocateUnfilled(h), AllocateUnfilled(h),
                        AllocateUnfilled(h)};
    Split(re, im, h, halves);
    TransformBlock(halves.evenRe, halves.evenIm, h, depth + 1, twiddles);
    TransformBlock(halves.oddRe, halves.oddIm, h, depth + 1, twiddles);
    if (twiddles.cosine[depth] != nullptr) {
        Butterflies(re, im, h, halves, twiddles.cosine[depth], twiddles.sine[depth], 0, h);
    } else {
        CombineUntabled(re, im, n, halves);
    }
    Release(halves.evenRe);
    Release(halves.evenIm);
    Release(halves.oddRe);
    Release(halves.oddIm);
}

}  // namespace

void Magnitudes(const float* re, const float* im, float* magnitude, int32_t count) {
    int32_t k = 0;
    for (; k + kLanes <= count; k += kLanes) {
        const Floats r = Floats::Load(re + k), i = Floats::Load(im + k);
        Sqrt(r * r + i * i).Store(magnitude + k);
    }
    for (; k < count; ++k)
        magnitude[k] = Sqrt(re[k] * re[k] + im[k] * im[k]);
}

void Algorithm::_FFT(float* spectrumRe, float* spectrumIm, int32_t N) {
    if (N < 2) return;
    alignas(32) float cosines[kTableCapacity];
    alignas(32) float sines[kTableCapacity];
    Twiddles twiddles;
    int32_t used = 0, depth = 0;
    for (int32_t n = N; n >= 2; n /= 2, ++depth) {
        const int32_t h = n / 2;
        if (h <= kTabledHalf) {
            FillTwiddles(cosines + used, sines + used, 0, h, n);
            twiddles.cosine[depth] = cosines + used;
            twiddles.sine[depth] = sines + used;
            used += h;
        } else {
            twiddles.cosine[depth] = nullptr;
            twiddles.sine[depth] = nullptr;
        }
    }
    TransformBlock(spectrumRe, spectrumIm, N, 0, twiddles);
}

// A negative N is taken as 0: it would otherwise ask the host for a negative-sized block.
void Algorithm::FFT(const float* data, float* spectrum, int32_t N) {
    const int32_t count = N > 0 ? N : 0;
    float* re = AllocateUnfilled(count);  // filled by the copy below
    float* im = AllocateZeroed(count);
    if (count > 0) {
        CopyFloats(re, data, count);  // all of data before any of spectrum, which may alias it
        _FFT(re, im, count);
        Magnitudes(re, im, spectrum, count);
    }
    Release(re);
    Release(im);
}

}  // namespace Vocetta::VOCETTA_VARIANT
