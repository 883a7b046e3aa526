// The complex FFT and the magnitude spectrum.
//
// The transform is a recursive radix-2 split whose every level borrows four scratch arrays from
// the host and evaluates its twiddles directly; the host sees exactly that allocation sequence,
// and stored phoneme profiles depend on the exact bits, odd lengths included. What stays free is
// where the arithmetic happens and how often a twiddle is evaluated. The top level's four arrays
// hold the whole transform below it: each half is built in place in its own pair, level by level
// from the bottom, its samples gathered straight from the input at their stride, so no level
// copies its halves out and the arithmetic has no recursion; the arrays the lower levels borrow
// are asked for and given back in the recursion's order, unused. Every block of one level has
// the same length, so a level's cosines and sines are computed once per call and shared by all
// its blocks, and levels narrower than a vector run across blocks instead; where odd lengths break
// that up, the runs shorter than a vector still take four or two butterflies at a time.
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

// Twiddles k ... kEnd - 1 (fewer than a vector) of a block of length n into c[0], s[0], ..., the
// scalar functions' bits. The unfused vector forms give those bits in lanes while the thread
// rounds to nearest without flushing and every lane takes the argument reduction of the others:
// the angles grow in magnitude with k, so the first and the last tell, and the lanes past kEnd
// repeat the last angle. Each angle is the same rounded product and quotient either way.
void ScalarTwiddles(float* c, float* s, int32_t k, int32_t kEnd, int32_t n) {
    const int32_t count = kEnd - k;
    alignas(32) float angles[kLanes];
    for (int32_t lane = 0; lane < kLanes; ++lane) {
        const int32_t at = lane < count ? k + lane : kEnd - 1;
        angles[lane] = (static_cast<float>(at) * kMinusTwoPi) / static_cast<float>(n);
    }
    if (ScalarBitsInLanes() && ReductionRange(angles[0]) == ReductionRange(angles[count - 1])) {
        alignas(32) float cosines[kLanes];
        alignas(32) float sines[kLanes];
        UnfusedCos(Floats::Load(angles)).Store(cosines);
        UnfusedSin(Floats::Load(angles)).Store(sines);
        for (int32_t lane = 0; lane < count; ++lane) {
            c[lane] = cosines[lane];
            s[lane] = sines[lane];
        }
        return;
    }
    for (int32_t lane = 0; lane < count; ++lane) {
        c[lane] = Cos(angles[lane]);
        s[lane] = Sin(angles[lane]);
    }
}

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
    if (k < kEnd) ScalarTwiddles(c + (k - kBegin), s + (k - kBegin), k, kEnd, n);
}

// to[i] = from[2 i] for i < count, a multiple of kLanes.
void EvenElements(float* to, const float* from, int32_t count) {
    for (int32_t i = 0; i < count; i += kLanes) {
        Floats even, odd;
        Deinterleave(from + 2 * i, even, odd);
        even.Store(to + i);
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

// The lanes of kWidth butterflies: the build's vector, or Quad (four lanes or a pair) for the
// short runs.
template <int32_t kWidth>
struct LanesOf {
    using Type = Quad;
};
template <>
struct LanesOf<kLanes> {
    using Type = Floats;
};

// kWidth butterflies from k at once, lane l doing butterfly k + l's operations; c and s hold the
// twiddle of k.
template <int32_t kWidth>
__attribute__((always_inline)) inline void ButterflyGroup(float* re, float* im, int32_t h,
                                                          const Halves& from, int32_t k,
                                                          const float* c, const float* s) {
    using Lanes = typename LanesOf<kWidth>::Type;
    auto load = [](const float* p) __attribute__((always_inline)) {
        if constexpr (kWidth == 2) {
            return Lanes::LoadPair(p);
        } else {
            return Lanes::Load(p);
        }
    };
    auto store = [](Lanes x, float* p) __attribute__((always_inline)) {
        if constexpr (kWidth == 2) {
            x.StorePair(p);
        } else {
            x.Store(p);
        }
    };
    const Lanes cosine = load(c), sine = load(s);
    const Lanes oddRe = load(from.oddRe + k), oddIm = load(from.oddIm + k);
    const Lanes evenRe = load(from.evenRe + k), evenIm = load(from.evenIm + k);
    const Lanes tRe = oddRe * cosine - oddIm * sine;
    const Lanes tIm = oddRe * sine + oddIm * cosine;
    store(evenRe + tRe, re + k);
    store(evenIm + tIm, im + k);
    store(evenRe - tRe, re + k + h);
    store(evenIm - tIm, im + k + h);
}

// Butterflies k ... kEnd - 1, fewer than a vector: four, then two at a time, the last alone; c[0]
// and s[0] the twiddle of k. The odd lengths' levels end in such runs, and their narrow blocks
// are nothing else.
__attribute__((always_inline)) inline void ShortButterflies(float* re, float* im, int32_t h,
                                                            const Halves& from, int32_t k,
                                                            int32_t kEnd, const float* c,
                                                            const float* s) {
    const int32_t kBegin = k;
    if constexpr (kLanes > 4) {
        if (k + 4 <= kEnd) {
            ButterflyGroup<4>(re, im, h, from, k, c, s);
            k += 4;
        }
    }
    if (k + 2 <= kEnd) {
        ButterflyGroup<2>(re, im, h, from, k, c + (k - kBegin), s + (k - kBegin));
        k += 2;
    }
    if (k < kEnd) Butterfly(re, im, h, from, k, c[k - kBegin], s[k - kBegin]);
}

// Butterflies kBegin ... kEnd - 1 into (re, im) and (re + h, im + h), with c[0] and s[0] the
// twiddle of kBegin. The halves may be those very places: every butterfly reads its four inputs
// before it writes.
void Butterflies(float* re, float* im, int32_t h, const Halves& from, const float* c,
                 const float* s, int32_t kBegin, int32_t kEnd) {
    int32_t k = kBegin;
    for (; k + kLanes <= kEnd; k += kLanes)
        ButterflyGroup<kLanes>(re, im, h, from, k, c + (k - kBegin), s + (k - kBegin));
    if (k < kEnd) ShortButterflies(re, im, h, from, k, kEnd, c + (k - kBegin), s + (k - kBegin));
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

// The top level's butterflies, from the two halves' arrays into the caller's.
void Combine(float* re, float* im, int32_t n, const Twiddles& twiddles, const Halves& from) {
    const int32_t h = n / 2;
    if (twiddles.cosine[0] != nullptr) {
        Butterflies(re, im, h, from, twiddles.cosine[0], twiddles.sine[0], 0, h);
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

// Where the recursion's blocks lie when a transform of length n is built in place: level i has
// 2^i blocks of n >> i samples, block b holding the samples whose index is b bit-reversed (over
// i bits) modulo 2^i; level `depth` holds single samples. The even half of a block goes first,
// then the odd half, and a block of odd length keeps its last sample at its own end, out of the
// split. So a level's blocks lie in order, each followed by the kept samples of the ancestors
// that end with it.
class Layout {
  public:
    explicit Layout(int32_t n) : n_(n) {
        oddAbove_[0] = 0;
        for (int32_t length = n; length > 1; length /= 2, ++depth_)
            oddAbove_[depth_ + 1] = oddAbove_[depth_] + (length & 1);
    }
    int32_t depth() const { return depth_; }
    int32_t Length(int32_t level) const { return n_ >> level; }
    // No level above this one has an odd length: its blocks lie side by side.
    bool SideBySide(int32_t level) const { return oddAbove_[level] == 0; }
    // From the start of block b of `level` to that of block b + 1 (b < 2^level - 1): the block,
    // then a kept sample for each odd ancestor of which b is the last block.
    int64_t Gap(int32_t level, uint32_t b) const {
        const int32_t ending = __builtin_ctz(~b);
        return Length(level) + oddAbove_[level] - oddAbove_[level - ending];
    }

  private:
    int32_t n_;
    int32_t depth_ = 0;
    int32_t oddAbove_[kMaxDepth + 1];  // odd lengths among the levels above level i
};

// The next of the `bits`-bit numbers in bit-reversed counting order.
inline uint32_t ReversedIncrement(uint32_t reversed, int32_t bits) {
    uint32_t bit = 1u << (bits - 1);
    while ((reversed & bit) != 0) {
        reversed ^= bit;
        bit >>= 1;
    }
    return reversed | bit;
}

// Every sample of the block to where the butterflies find it, and the lowest butterflies done on
// the way: the blocks one level above the single samples hold two or three samples, a pair
// transformed with that level's one twiddle and, in a block of three, a third sample set down
// where it stays. The kept last samples of the longer blocks of odd length follow; no butterfly
// moves them.
void GatherPairs(const Strided& x, float* re, float* im, const Layout& layout, float c, float s) {
    const int32_t level = layout.depth() - 1;
    const int32_t length = layout.Length(level);  // 2 or 3
    const uint32_t blocks = 1u << level;
    const int64_t stride = x.stride << level;  // between the samples of one block
    // Block `at` from the samples of the block whose bit-reversed number is `reversed`.
    auto gather = [&](uint32_t reversed, int64_t at) __attribute__((always_inline)) {
        const int64_t from = reversed * x.stride;
        const float evenRe = x.re[from], evenIm = x.im[from];
        const float oddRe = x.re[from + stride], oddIm = x.im[from + stride];
        const float tRe = oddRe * c - oddIm * s;
        const float tIm = oddRe * s + oddIm * c;
        re[at] = evenRe + tRe;
        im[at] = evenIm + tIm;
        re[at + 1] = evenRe - tRe;
        im[at + 1] = evenIm - tIm;
        if (length == 3) {
            re[at + 2] = x.re[from + 2 * stride];
            im[at + 2] = x.im[from + 2 * stride];
        }
    };
    if (level >= 1 && layout.SideBySide(level)) {
        // Blocks 2 c and 2 c + 1 are c reversed over one bit fewer, the second with the top bit
        // set; nothing lies between blocks, and no kept samples follow.
        const uint32_t top = 1u << (level - 1);
        uint32_t reversed = 0;
        for (uint32_t b = 0;; b += 2) {
            gather(reversed, b * length);
            gather(reversed + top, (b + 1) * length);
            if (b + 2 == blocks) return;
            reversed = ReversedIncrement(reversed, level - 1);
        }
    }
    int64_t at = 0;
    uint32_t reversed = 0;
    for (uint32_t b = 0;; ++b) {
        gather(reversed, at);
        if (b + 1 == blocks) break;
        at += layout.Gap(level, b);
        reversed = ReversedIncrement(reversed, level);
    }
    for (int32_t above = 0; above < level; ++above) {
        const int32_t n = layout.Length(above);
        if ((n & 1) == 0) continue;
        const uint32_t count = 1u << above;
        const int64_t last = static_cast<int64_t>(n - 1) << above;  // within the block
        at = n - 1;
        reversed = 0;
        for (uint32_t b = 0;; ++b) {
            const int64_t from = (reversed + last) * x.stride;
            re[at] = x.re[from];
            im[at] = x.im[from];
            if (b + 1 == count) break;
            at += layout.Gap(above, b);
            reversed = ReversedIncrement(reversed, above);
        }
    }
}

// The butterflies of kBlocks consecutive blocks of 2 x kHalf samples from (re, im), their halves
// dealt into lanes: vectors across blocks for the levels narrower than a vector.
template <int32_t kHalf>
void ButterfliesAcross(float* re, float* im, Floats cosine, Floats sine) {
    Floats evenRe, oddRe, evenIm, oddIm;
    SplitHalves<kHalf>(re, evenRe, oddRe);
    SplitHalves<kHalf>(im, evenIm, oddIm);
    const Floats tRe = oddRe * cosine - oddIm * sine;
    const Floats tIm = oddRe * sine + oddIm * cosine;
    JoinHalves<kHalf>(re, evenRe + tRe, evenRe - tRe);
    JoinHalves<kHalf>(im, evenIm + tIm, evenIm - tIm);
}

// Lane l of a twiddle vector for ButterfliesAcross: twiddle l mod kHalf.
template <int32_t kHalf>
Floats TwiddlesAcross(const float* t) {
    alignas(32) float lanes[kLanes];
    for (int32_t l = 0; l < kLanes; ++l)
        lanes[l] = t[l % kHalf];
    return Floats::Load(lanes);
}

// One level of blocks of even length 2 x kHalf < 2 x kLanes: kLanes / kHalf blocks at a time
// where they lie side by side (always, when no level above has an odd length), one by one where
// kept samples lie between them.
template <int32_t kHalf>
void CombineNarrowLevel(float* re, float* im, const Layout& layout, int32_t level, const float* c,
                        const float* s) {
    constexpr uint32_t kGroup = kLanes / kHalf;
    const Floats cosine = TwiddlesAcross<kHalf>(c), sine = TwiddlesAcross<kHalf>(s);
    const uint32_t blocks = 1u << level;
    int64_t at = 0;
    uint32_t b = 0;
    for (; b + kGroup <= blocks; b += kGroup) {
        int64_t starts[kGroup];
        starts[0] = at;
        for (uint32_t g = 1; g < kGroup; ++g)
            starts[g] = starts[g - 1] + layout.Gap(level, b + g - 1);
        if (starts[kGroup - 1] - at == (kGroup - 1) * 2 * kHalf) {
            ButterfliesAcross<kHalf>(re + at, im + at, cosine, sine);
        } else {
            for (uint32_t g = 0; g < kGroup; ++g) {
                float *r = re + starts[g], *i = im + starts[g];
                ShortButterflies(r, i, kHalf, Halves{r, i, r + kHalf, i + kHalf}, 0, kHalf, c, s);
            }
        }
        if (b + kGroup < blocks) at = starts[kGroup - 1] + layout.Gap(level, b + kGroup - 1);
    }
    for (; b < blocks; ++b) {
        float *r = re + at, *i = im + at;
        ShortButterflies(r, i, kHalf, Halves{r, i, r + kHalf, i + kHalf}, 0, kHalf, c, s);
        if (b + 1 < blocks) at += layout.Gap(level, b);
    }
}

// One level's butterflies in every block of the level, each block's halves where they lie.
void CombineLevel(float* re, float* im, const Layout& layout, int32_t level, const float* c,
                  const float* s) {
    const int32_t n = layout.Length(level), h = n / 2;
    if (c != nullptr && n == 2 * h) {
        // Half a vector is the widest such level: 4 in the AVX2 build, 2 (again) in SSE2's. The
        // pairs (h = 1) were transformed as they were gathered.
        if (h == 2) {
            CombineNarrowLevel<2>(re, im, layout, level, c, s);
            return;
        }
        if (h == kLanes / 2) {
            CombineNarrowLevel<kLanes / 2>(re, im, layout, level, c, s);
            return;
        }
    }
    // One loop over the blocks per kind of level, so that none carries another's setup.
    auto eachBlock = [&](auto&& combine) __attribute__((always_inline)) {
        const uint32_t blocks = 1u << level;
        int64_t at = 0;
        for (uint32_t b = 0;; ++b) {
            float *r = re + at, *i = im + at;
            combine(r, i, Halves{r, i, r + h, i + h});
            if (b + 1 == blocks) break;
            at += layout.Gap(level, b);
        }
    };
    if (c == nullptr) {
        eachBlock(
            [&](float* r, float* i, const Halves& halves) { CombineUntabled(r, i, n, halves); });
    } else if (h < kLanes) {
        eachBlock([&](float* r, float* i, const Halves& halves) __attribute__((always_inline)) {
            ShortButterflies(r, i, h, halves, 0, h, c, s);
        });
    } else {
        eachBlock([&](float* r, float* i, const Halves& halves) {
            Butterflies(r, i, h, halves, c, s, 0, h);
        });
    }
}

// The transform of a block of length n >= 1 from its samples into (re, im), built in place, level
// by level from the single samples up; `depth` is the block's own level in the whole transform,
// which picks the twiddles.
void TransformFrom(const Strided& x, float* re, float* im, int32_t n, int32_t depth,
                   const Twiddles& twiddles) {
    if (n == 1) {  // a single sample has no level of its own, nor a twiddle
        re[0] = x.re[0];
        im[0] = x.im[0];
        return;
    }
    const Layout layout(n);
    const int32_t pairs = depth + layout.depth() - 1;
    GatherPairs(x, re, im, layout, twiddles.cosine[pairs][0], twiddles.sine[pairs][0]);
    for (int32_t level = layout.depth() - 2; level >= 0; --level) {
        CombineLevel(re, im, layout, level, twiddles.cosine[depth + level],
                     twiddles.sine[depth + level]);
    }
}

// The four arrays of one float that a block of two or three samples borrows; its halves are
// single samples and borrow nothing.
__attribute__((always_inline)) inline void LendPairLevel() {
    float* evenRe = AllocateUnfilled(1);
    float* evenIm = AllocateUnfilled(1);
    float* oddRe = AllocateUnfilled(1);
    float* oddIm = AllocateUnfilled(1);
    Release(evenRe);
    Release(evenIm);
    Release(oddRe);
    Release(oddIm);
}

// The scratch a block of length n would borrow for its levels, asked for and returned in the
// recursion's order: four arrays of n / 2 floats, then those of its two halves, then the four
// back in creation order. Half the blocks are pairs (or threes): their parents lend their arrays
// in line rather than through a call of their own.
void LendLevels(int32_t n) {
    if (n < 2) return;
    const int32_t h = n / 2;
    float* evenRe = AllocateUnfilled(h);
    float* evenIm = AllocateUnfilled(h);
    float* oddRe = AllocateUnfilled(h);
    float* oddIm = AllocateUnfilled(h);
    if (h >= 4) {
        LendLevels(h);
        LendLevels(h);
    } else if (h >= 2) {
        LendPairLevel();
        LendPairLevel();
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
    for (int32_t n = N, above = 0; n >= 2; above = n, n /= 2, ++depth) {
        const int32_t h = n / 2;
        if (h <= kTabledHalf) {
            // Below a tabled level of length 2n the vector groups are that level's even twiddles:
            // the angle (2k x -2 pi) / 2n is (k x -2 pi) / n to the bit, and the vector functions
            // evaluate both. The last h mod kLanes stay the scalar functions' own.
            const bool halves = above - n == n && twiddles.cosine[depth - 1] != nullptr;
            const int32_t fromAbove = halves ? h - h % kLanes : 0;
            if (fromAbove > 0) {
                EvenElements(cosines + used, twiddles.cosine[depth - 1], fromAbove);
                EvenElements(sines + used, twiddles.sine[depth - 1], fromAbove);
            }
            FillTwiddles(cosines + used + fromAbove, sines + used + fromAbove, fromAbove, h, n);
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
    Combine(spectrumRe, spectrumIm, N, twiddles, Halves{evenRe, evenIm, oddRe, oddIm});
    Release(evenRe);
    Release(evenIm);
    Release(oddRe);
    Release(oddIm);
}

namespace {

// FFT's work, writing the magnitudes of bins 0 ... bins - 1 only. A negative N is taken as 0: it
// would otherwise ask the host for a negative-sized block.
void MagnitudeSpectrum(const float* data, float* spectrum, int32_t N, int32_t bins) {
    const int32_t count = N > 0 ? N : 0;
    float* re = AllocateUnfilled(count);  // filled by the copy below
    float* im = AllocateZeroed(count);
    if (count > 0) {
        CopyFloats(re, data, count);  // all of data before any of spectrum, which may alias it
        Algorithm::_FFT(re, im, count);
        Magnitudes(re, im, spectrum, bins);
    }
    Release(re);
    Release(im);
}

}  // namespace

void MagnitudesToNyquist(const float* data, float* spectrum, int32_t N) {
    MagnitudeSpectrum(data, spectrum, N, N > 0 ? N / 2 + 1 : 0);
}

void Algorithm::FFT(const float* data, float* spectrum, int32_t N) {
    MagnitudeSpectrum(data, spectrum, N, N);
}

}  // namespace Vocetta::VOCETTA_VARIANT
