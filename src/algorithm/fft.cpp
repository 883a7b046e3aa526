// The complex FFT and the magnitude spectrum.
//
// The transform is a recursive radix-2 split whose every level borrows four scratch arrays from
// the host and evaluates its twiddles directly; the host sees exactly that allocation sequence,
// and stored phoneme profiles depend on the exact bits, odd lengths included. What stays free is
// where the arithmetic happens and how often a twiddle is evaluated. The top level's four arrays
// hold the whole transform below it: each half is built in place in its own pair, reading its
// samples straight from the input at their stride, so no level copies its halves out; the arrays
// the lower levels borrow are asked for and given back in their order, unused. Every block of
// one recursion level has the same length, so a level's cosines and sines are computed once per
// call and shared by all its blocks.
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

// A block's two transformed halves: `even` and `odd` at h elements each.
struct Halves {
    const float* evenRe;
    const float* evenIm;
    const float* oddRe;
    const float* oddIm;
};

// Butterfly k, reading its four inputs before it writes.
__attribute__((always_inline)) inline void Butterfly(float* re, float* im, int32_t h,
                                                     const Halves& from, int32_t k, float cosine,
                                                     float sine) {
    const float oddRe = from.oddRe[k], oddIm = from.oddIm[k];
    const float evenRe = from.evenRe[k], evenIm = from.evenIm[k];
    const float tRe = oddRe * cosine - oddIm * sine;
    const float tIm = oddRe * sine + oddIm * cosine;
    re[k] = evenRe + tRe;
    im[k] = evenIm + tIm;
    re[k + h] = evenRe - tRe;
    im[k + h] = evenIm - tIm;
}

// Butterflies kBegin ... kEnd - 1 into (re, im) and (re + h, im + h), with c[0] and s[0] the
// twiddle of kBegin. The halves may be those very places: every butterfly reads its four inputs
// before it writes.
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
    for (; k < kEnd; ++k)
        Butterfly(re, im, h, from, k, c[k - kBegin], s[k - kBegin]);
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

// Blocks narrower than a vector, most of them, run their few butterflies inline.
__attribute__((always_inline)) inline void Combine(float* re, float* im, int32_t n, int32_t depth,
                                                   const Twiddles& twiddles, const Halves& from) {
    const int32_t h = n / 2;
    if (h < kLanes) {
        const float* c = twiddles.cosine[depth];
        const float* s = twiddles.sine[depth];
        for (int32_t k = 0; k < h; ++k)
            Butterfly(re, im, h, from, k, c[k], s[k]);
    } else if (twiddles.cosine[depth] != nullptr) {
        Butterflies(re, im, n / 2, from, twiddles.cosine[depth], twiddles.sine[depth], 0, n / 2);
    } else {
        CombineUntabled(re, im, n, from);
    }
}

// The samples of one block, every `stride`-th element of the input from (re, im).
struct Strided {
    const float* re;
    const float* im;
    int64_t stride;
    Strided Skip(int64_t count) const { return {re + count * stride, im + count * stride, stride}; }
    Strided EveryOther() const { return {re, im, 2 * stride}; }
};

// A block of one to three samples (half of all blocks), with its values in registers: a pair
// transform with the level's one twiddle, and the third sample set down where it stays.
__attribute__((always_inline)) inline void TransformSmall(const Strided& x, float* re, float* im,
                                                          int32_t n, float c, float s) {
    if (n == 1) {
        re[0] = x.re[0];
        im[0] = x.im[0];
        return;
    }
    const float evenRe = x.re[0], evenIm = x.im[0];
    const float oddRe = x.re[x.stride], oddIm = x.im[x.stride];
    const float tRe = oddRe * c - oddIm * s;
    const float tIm = oddRe * s + oddIm * c;
    re[0] = evenRe + tRe;
    im[0] = evenIm + tIm;
    re[1] = evenRe - tRe;
    im[1] = evenIm - tIm;
    if (n == 3) {
        re[2] = x.re[2 * x.stride];
        im[2] = x.im[2 * x.stride];
    }
}

// The transform of a block of length n >= 1 from its samples into (re, im), built in place:
// the even half's transform goes to re[0 ... h - 1], the odd half's to re[h ... 2h - 1], and the
// butterflies combine them where they lie. The last sample of an odd block takes no part and is
// set down at re[n - 1], where the block keeps it.
void TransformFrom(const Strided& x, float* re, float* im, int32_t n, int32_t depth,
                   const Twiddles& twiddles) {
    if (n <= 3) {
        // A single sample has no level of its own, nor a twiddle.
        const bool pair = n >= 2;
        TransformSmall(x, re, im, n, pair ? twiddles.cosine[depth][0] : 0.0f,
                       pair ? twiddles.sine[depth][0] : 0.0f);
        return;
    }
    const int32_t h = n / 2;
    const Strided even = x.EveryOther(), odd = x.Skip(1).EveryOther();
    if (h <= 3) {
        const bool pairs = h >= 2;
        const float c = pairs ? twiddles.cosine[depth + 1][0] : 0.0f;
        const float s = pairs ? twiddles.sine[depth + 1][0] : 0.0f;
        TransformSmall(even, re, im, h, c, s);
        TransformSmall(odd, re + h, im + h, h, c, s);
    } else {
        TransformFrom(even, re, im, h, depth + 1, twiddles);
        TransformFrom(odd, re + h, im + h, h, depth + 1, twiddles);
    }
    if ((n & 1) != 0) {
        re[n - 1] = x.re[static_cast<int64_t>(n - 1) * x.stride];
        im[n - 1] = x.im[static_cast<int64_t>(n - 1) * x.stride];
    }
    Combine(re, im, n, depth, twiddles, Halves{re, im, re + h, im + h});
}

// The scratch a block of length n would borrow for its levels, asked for and returned in the
// recursion's order: four arrays of n / 2 floats, then those of its two halves, then the four
// back in creation order.
void LendLevels(int32_t n) {
    if (n < 2) return;
    const int32_t h = n / 2;
    float* evenRe = AllocateUnfilled(h);
    float* evenIm = AllocateUnfilled(h);
    float* oddRe = AllocateUnfilled(h);
    float* oddIm = AllocateUnfilled(h);
    if (h >= 2) {
        LendLevels(h);
        LendLevels(h);
    }
    Release(evenRe);
    Release(evenIm);
    Release(oddRe);
    Release(oddIm);
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
    const int32_t h = N / 2;
    float* evenRe = AllocateUnfilled(h);
    float* evenIm = AllocateUnfilled(h);
    float* oddRe = AllocateUnfilled(h);
    float* oddIm = AllocateUnfilled(h);
    LendLevels(h);
    LendLevels(h);
    const Strided x{spectrumRe, spectrumIm, 1};
    TransformFrom(x.EveryOther(), evenRe, evenIm, h, 1, twiddles);
    TransformFrom(x.Skip(1).EveryOther(), oddRe, oddIm, h, 1, twiddles);
    // The last sample of an odd length stays where it is.
    Combine(spectrumRe, spectrumIm, N, 0, twiddles, Halves{evenRe, evenIm, oddRe, oddIm});
    Release(evenRe);
    Release(evenIm);
    Release(oddRe);
    Release(oddIm);
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
