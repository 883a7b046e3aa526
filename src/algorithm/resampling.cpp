// Low-pass filter and down-sampling: a truncated-sinc FIR in direct form, then whole-number
// decimation or linear interpolation to the analysis rate.
#include "algorithm/algorithm.h"
#include "algorithm/analysis_loops.h"

namespace Vocetta::VOCETTA_VARIANT {

namespace {

constexpr float kTwoPi = 6.2831855f;

// taps[k] = sin(x) x gain / x with x = (float(k) - centre) x omega: product first, quotient last.
void GenerateTaps(float* taps, int32_t tapCount, float normalizedCutoff) {
    const float centre = static_cast<float>(tapCount - 1) * 0.5f;
    const float omega = kTwoPi * normalizedCutoff;
    const float gain = normalizedCutoff + normalizedCutoff;
    int32_t k = 0;
    const Floats vCentre = Floats::Broadcast(centre);
    const Floats vOmega = Floats::Broadcast(omega);
    const Floats vGain = Floats::Broadcast(gain);
    for (; k <= tapCount - kLanes; k += kLanes) {
        const Floats x = (Floats::Ramp(k) - vCentre) * vOmega;
        (Sin(x) * vGain / x).Store(taps + k);
    }
    for (; k < tapCount; ++k) {
        const float x = (static_cast<float>(k) - centre) * omega;
        taps[k] = Sin(x) * gain / x;
    }
}

// Work that runs beside the filter's loops, a step per tap of each group of outputs, where the
// loops leave room for it (EnergyBeside); the exported kernel runs nothing beside them.
struct NothingBeside {
    int64_t Remaining() const { return 0; }
    void Step() {}
};

// How many steps of `beside` a loop of `count` iterations takes, one each from the first.
template <typename Beside>
int32_t StepsWithin(const Beside& beside, int32_t count) {
    const int64_t remaining = beside.Remaining();
    return remaining < count ? static_cast<int32_t>(remaining) : count;
}

// addTap(k) for k = 0 ... count - 1, the first min(count, beside.Remaining()) of them each with a
// step of `beside`.
template <typename Beside, typename AddTap>
__attribute__((always_inline)) inline void TapsBeside(Beside& beside, int32_t count,
                                                      AddTap&& addTap) {
    Beside chain = beside;  // in registers: the loop's loads may not alias it
    const int32_t stepped = StepsWithin(chain, count);
    int32_t k = 0;
#pragma GCC unroll 2
    for (; k < stepped; ++k) {
        addTap(k);
        chain.Step();
    }
    beside = chain;
#pragma GCC unroll 2
    for (; k < count; ++k)
        addTap(k);
}

// The convolution data[j] = taps[k] x source[j - k] + data[j], k ascending, is a chain of
// dependent sums per output, so its speed comes from running many outputs side by side: each
// vector lane is one output j and carries exactly that output's chain, one rounded product and
// one rounded sum per tap, in the same order as the one-output loop. kBlocks vectors in flight
// hide the latency of the adds: a processor that starts two adds a cycle, each ready three or four
// cycles later, needs six to eight chains to keep its adders busy (kWide). Where a vector is
// narrow, more of them in flight also share each tap's broadcast and loop steps among more
// outputs (frame/builds). The tap loops take two taps a turn, which halves their own steps.
//
// Adds taps[0 ... tapsForAll - 1] into kBlocks x kLanes outputs from j0, for which every one of
// those taps reaches back inside the block (tapsForAll <= j0 + 1).
template <int32_t kBlocks, typename Beside>
void ConvolveLanes(float* data, const float* source, const float* taps, int32_t j0,
                   int32_t tapsForAll, Beside& beside) {
    Floats sums[kBlocks];
    for (int32_t b = 0; b < kBlocks; ++b)
        sums[b] = Floats::Load(data + j0 + b * kLanes);
    const float* window = source + j0;
    auto addTap = [&](int32_t k) __attribute__((always_inline)) {
        const Floats tap = Floats::Broadcast(taps[k]);
        const float* from = window - k;
        for (int32_t b = 0; b < kBlocks; ++b) {
            sums[b] = tap * Floats::Load(from + b * kLanes) + sums[b];
        }
    };
    TapsBeside(beside, tapsForAll, addTap);
    for (int32_t b = 0; b < kBlocks; ++b)
        sums[b].Store(data + j0 + b * kLanes);
}

// Continues the chains of outputs j0 ... j0 + width - 1 from tap `fromTap` to their own last
// tap min(j, tapCount - 1): near the start of the block, later outputs reach further back.
void ConvolveRemainder(float* data, const float* source, const float* taps, int32_t tapCount,
                       int32_t j0, int32_t width, int32_t fromTap) {
    for (int32_t j = j0; j < j0 + width; ++j) {
        const int32_t lastTap = j < tapCount - 1 ? j : tapCount - 1;
        float sum = data[j];
        for (int32_t k = fromTap; k <= lastTap; ++k)
            sum = taps[k] * source[j - k] + sum;
        data[j] = sum;
    }
}

// The block's first kHeadWidth samples after as many of padding: the outputs below kHeadWidth that
// the analysis continues in lanes (ConvolveBlock) read only these, and their finished lanes read
// the padding. Samples the block lacks read as zeros too.
constexpr int32_t kHeadWidth = kFilterVectors * kLanes;
struct LaneHead {
    alignas(32) float values[2 * kHeadWidth];

    LaneHead(const float* block, int32_t n) {
        const int32_t copied = n < kHeadWidth ? n : kHeadWidth;
        ZeroFill(values, kHeadWidth + kHeadWidth);
        CopyFloats(values + kHeadWidth, block, copied);
    }
    const float* Sample(int32_t i) const { return values + kHeadWidth + i; }
};

// The lane tails of a group's kBlocks blocks side by side, for the analysis: block b, its sums at
// sums + b x kLanes, takes in lane l taps fromTap + t for t < min(b x kLanes + l, remaining),
// reading sample b x kLanes - 1 - t + l of the head. Each block's tail is one chain of dependent
// sums; one block after another, every add waits for the one before it, while side by side the
// chains overlap. Over t in [c x kLanes, (c + 1) x kLanes), the blocks below c are done, every
// lane of the blocks above c takes the tap, and only block c has lanes past their own last tap:
// those keep their sums (Select, so that not even the sign of a zero changes) and read the head's
// padding, which is never used.
template <int32_t kBlocks>
void LaneTails(float* sums, const float* taps, int32_t fromTap, int32_t remaining,
               const LaneHead& head) {
    Floats acc[kBlocks];
    for (int32_t b = 0; b < kBlocks; ++b)
        acc[b] = Floats::Load(sums + b * kLanes);
    const Floats limit = Floats::Broadcast(static_cast<float>(remaining));  // exact below 2^24
    int32_t t = 0;
    auto stretch = [&]<int32_t kC>(auto& self) __attribute__((always_inline)) {
        if constexpr (kC < kBlocks) {
            const int32_t stop = (kC + 1) * kLanes < remaining ? (kC + 1) * kLanes : remaining;
            const Floats reach = Min(Floats::Ramp(kC * kLanes), limit);
            Floats position = Floats::Broadcast(static_cast<float>(t));  // exact below 2^24
            for (; t < stop; ++t) {
                const Floats tap = Floats::Broadcast(taps[fromTap + t]);
                const Floats taking = LessThan(position, reach);
                acc[kC] =
                    Select(taking, tap * Floats::Load(head.Sample(kC * kLanes - 1 - t)) + acc[kC],
                           acc[kC]);
                for (int32_t b = kC + 1; b < kBlocks; ++b)
                    acc[b] = tap * Floats::Load(head.Sample(b * kLanes - 1 - t)) + acc[b];
                position = position + Floats::Broadcast(1.0f);
            }
            if (t < remaining) self.template operator()<kC + 1>(self);
        }
    };
    stretch.template operator()<0>(stretch);
    for (int32_t b = 0; b < kBlocks; ++b)
        acc[b].Store(sums + b * kLanes);
}

// A group of outputs from j0, the lanes that reach back beyond the block's start continued from
// the first tap they do not all take: by one lane at a time (the exported kernel), or, given the
// block's head, in lanes: lane g of the group (output j0 + g) takes taps j0 + 1 ... j0 + g, and
// tap j0 + 1 + t reads sample g - 1 - t.
template <int32_t kBlocks, typename Beside>
void ConvolveBlock(float* data, const float* source, const float* taps, int32_t tapCount,
                   int32_t j0, Beside& beside, const LaneHead* head) {
    constexpr int32_t kWidth = kBlocks * kLanes;
    const int32_t tapsForAll = j0 + 1 < tapCount ? j0 + 1 : tapCount;
    ConvolveLanes<kBlocks>(data, source, taps, j0, tapsForAll, beside);
    if (tapsForAll >= tapCount) return;
    if (head == nullptr) {
        ConvolveRemainder(data, source, taps, tapCount, j0, kWidth, tapsForAll);
        return;
    }
    LaneTails<kBlocks>(data + j0, taps, tapsForAll, tapCount - tapsForAll, *head);
}

constexpr int32_t kWide =
    kFilterVectors;  // vectors of outputs in flight, in the filter loops below

template <typename Beside = NothingBeside>
void Convolve(float* data, int32_t dataLength, const float* source, const float* taps,
              int32_t tapCount, Beside&& beside = Beside{}, const LaneHead* head = nullptr) {
    int32_t j = 0;
    for (; j <= dataLength - kWide * kLanes; j += kWide * kLanes) {
        ConvolveBlock<kWide>(data, source, taps, tapCount, j, beside, head);
    }
    for (; j <= dataLength - kLanes; j += kLanes)
        ConvolveBlock<1>(data, source, taps, tapCount, j, beside, head);
    ConvolveRemainder(data, source, taps, tapCount, j, dataLength - j, 0);
}

// The interpolation loop. Both indices stay inside [0, inputLength - 1]: before the first
// sample the output holds input[0], from the last one on it holds input[inputLength - 1] (the
// difference term is then 0 x (t - i0)). Inside, floor(t) is the truncation of a non-negative t.
void InterpolateLoop(const float* input, int32_t inputLength, float* output, int32_t outputLength,
                     float ratio, int32_t first = 0) {
    const int32_t lastIndex = inputLength - 1;
    const double lastPosition = static_cast<double>(lastIndex);
    for (int32_t i = first; i < outputLength; ++i) {
        const float t = static_cast<float>(i) * ratio;
        int32_t i0 = 0;
        int32_t i1 = 0;
        if (t >= 0.0f) {
            if (static_cast<double>(t) >= lastPosition) {
                i0 = lastIndex;
                i1 = lastIndex;
            } else {
                i0 = TruncateToInt32(t);
                i1 = i0 + 1;
            }
        }
        output[i] = (input[i1] - input[i0]) * (t - static_cast<float>(i0)) + input[i0];
    }
}

// InterpolateLoop's outputs in lanes, for the analysis, where the ratio is positive and finite
// and both lengths stay below 2^24: every t = float(i) x ratio is then non-negative, the
// comparison with the last index is exact in single precision, and clamping t there before
// truncating gives both indices the loop's values. The neighbours of kLanes outputs lie at no
// fixed distance apart: they are gathered.
void InterpolateLanes(const float* input, int32_t inputLength, float* output, int32_t outputLength,
                      float ratio) {
    const Floats vRatio = Floats::Broadcast(ratio);
    const Floats last = Floats::Broadcast(static_cast<float>(inputLength - 1));
    const Floats one = Floats::Broadcast(1.0f);
    int32_t i = 0;
    // While the last lane's t lies below the last sample, so do all: each output's neighbours are
    // two samples in a row, a pair to a load where the build gathers by hand (GatherNeighbours).
    const float lastIndex = static_cast<float>(inputLength - 1);
    for (; i + kLanes <= outputLength && static_cast<float>(i + kLanes - 1) * ratio < lastIndex;
         i += kLanes) {
        const Floats t = Floats::Ramp(i) * vRatio;
        const Ints i0 = TruncateToInt32(t);  // floor: t is not negative
        Floats a, b;
        GatherNeighbours(input, i0, a, b);
        ((b - a) * (t - ToFloats(i0)) + a).Store(output + i);
    }
    for (; i + kLanes <= outputLength; i += kLanes) {
        const Floats t = Floats::Ramp(i) * vRatio;
        const Floats from = ToFloats(TruncateToInt32(Min(t, last)));  // i0, exact
        const Floats a = Gather(input, TruncateToInt32(from));
        const Floats b = Gather(input, TruncateToInt32(Min(from + one, last)));
        ((b - a) * (t - from) + a).Store(output + i);
    }
    if (i < outputLength) InterpolateLoop(input, inputLength, output, outputLength, ratio, i);
}

// Whether InterpolateLanes gives the plan's interpolation InterpolateLoop's bits: integers below
// 2^24 are floats exactly.
bool InterpolatesInLanes(const DownSamplePlan& plan, int32_t n) {
    constexpr int32_t kExact = 1 << 24;
    return plan.kind == DownSamplePlan::kInterpolate && plan.ratio > 0.0f &&
           plan.ratio < __builtin_inff() && n <= kExact && plan.length <= kExact;
}

void DecimateLoop(const float* input, float* output, int32_t outputLength, int32_t step) {
    uint32_t index = 0;
    for (int32_t i = 0; i < outputLength; ++i) {
        output[i] = input[static_cast<int32_t>(index)];
        index += static_cast<uint32_t>(step);
    }
}

// Whole-number decimation by `step` reads only every step-th filtered sample, so the analysis
// filters only those, in lanes of consecutive outputs. Output i (sample step x i) adds
// taps[k] x x[step x i - k]; with the block dealt into polyphase rows, row p holding x[p],
// x[p + step], x[p + 2 step], ..., that sample is element i - ceil(k / step) of row
// (step - k mod step) mod step, so the lanes of each tap read consecutive elements of one row.
// Every lane keeps its own output's chain in the kernel's order: the sum starts at x[step x i]
// and adds one rounded product per tap, k ascending.
struct PolyphaseRows {
    float* rows;  // row p starts at p x quotient + min(p, remainder); row 0 at 0
    int32_t step;
    int32_t quotient, remainder;  // n = step x quotient + remainder

    float* Row(int32_t p) const {
        return rows + static_cast<int64_t>(p) * quotient + (p < remainder ? p : remainder);
    }
};

PolyphaseRows DealIntoRows(const float* block, int32_t n, int32_t step, float* rows) {
    const PolyphaseRows dealt{rows, step, n / step, n % step};
    // The commonest steps (48 and 32 to 16 kHz) deal kLanes elements to every row from a few
    // loads; every row then has at least the elements dealt so far.
    int32_t dealtToAll = 0;
    if (step == 2 || step == 3) {
        float* const to0 = rows;
        float* const to1 = dealt.Row(1);
        float* const to2 = step == 3 ? dealt.Row(2) : nullptr;
        // Against the quotient: step x (dealtToAll + kLanes) would pass 2^31 for blocks within
        // 3 x kLanes of it.
        for (; dealtToAll + kLanes <= dealt.quotient; dealtToAll += kLanes) {
            const float* from = block + step * dealtToAll;
            Floats first, second, third;
            if (step == 2) {
                Deinterleave(from, first, second);
            } else {
                DealThree(from, first, second, third);
                third.Store(to2 + dealtToAll);
            }
            first.Store(to0 + dealtToAll);
            second.Store(to1 + dealtToAll);
        }
    }
    const int64_t stride = step;
    for (int32_t p = 0; p < step && p < n; ++p) {
        const int32_t count = p < dealt.remainder ? dealt.quotient + 1 : dealt.quotient;
        float* to = dealt.Row(p);
        const float* from = block + p;
        int32_t i = dealtToAll;
        // Four to a turn: the copies are independent, so the loop's own steps are what costs.
        for (; i + 4 <= count; i += 4) {
            const int64_t j = i * stride;
            to[i] = from[j];
            to[i + 1] = from[j + stride];
            to[i + 2] = from[j + 2 * stride];
            to[i + 3] = from[j + 3 * stride];
        }
        for (; i < count; ++i)
            to[i] = from[i * stride];
    }
    return dealt;
}

// Where tap k finds its sample for output 0: offsets[k] from `rows`, so that output i reads
// rows[offsets[k] + i]. Its row holds x[step x i - k] at element i - ceil(k / step), so tap
// k + a x step reads a elements before tap k's. Each offset comes from its row's first one, not
// from the offset step taps back: that would chain every store to a load of it.
void TapOffsets(const PolyphaseRows& r, int32_t tapCount, int32_t* offsets) {
    const int32_t first = tapCount < r.step ? tapCount : r.step;
    for (int32_t k = 0; k < first; ++k)
        offsets[k] = k == 0 ? 0 : static_cast<int32_t>(r.Row(r.step - k) - r.rows) - 1;
    // kLanes x step taps on, a tap reads kLanes elements before: past the first kLanes x step,
    // a vector of offsets is one stored step vectors earlier, less kLanes.
    const int32_t period = kLanes * r.step;
    const int32_t scalar = tapCount < period ? tapCount : period;
    int32_t phase = 0, back = 1;
    for (int32_t k = first; k < scalar; ++k) {
        offsets[k] = offsets[phase] - back;
        if (++phase == r.step) {
            phase = 0;
            ++back;
        }
    }
    const Ints lanes = Ints::Broadcast(kLanes);
    int32_t k = scalar;
    for (; k + kLanes <= tapCount; k += kLanes)
        (Ints::Load(offsets + (k - period)) - lanes).Store(offsets + k);
    for (; k < tapCount; ++k)
        offsets[k] = offsets[k - r.step] - 1;
}

// Outputs i0 ... i0 + kBlocks x kLanes - 1, each block of kLanes taking the taps that all its
// lanes reach (up to its first lane's step x i, at most tapCount); the sums replace the outputs'
// own samples in row 0, which no output below i0 reads. Returns the taps of the first block.
template <int32_t kBlocks>
void PolyphaseLanes(const PolyphaseRows& r, const float* taps, const int32_t* offsets,
                    int32_t tapCount, int32_t i0, int32_t (&limits)[kBlocks],
                    EnergyBeside& energy) {
    Floats sums[kBlocks];
    for (int32_t b = 0; b < kBlocks; ++b) {
        const int64_t reach = int64_t{r.step} * (i0 + b * kLanes) + 1;
        limits[b] = reach < tapCount ? static_cast<int32_t>(reach) : tapCount;
        sums[b] = Floats::Load(r.rows + i0 + b * kLanes);
    }
    const float* outputs = r.rows + i0;
    // The taps that every block takes, then those of the later blocks only.
    auto addTap = [&](int32_t k) __attribute__((always_inline)) {
        const Floats tap = Floats::Broadcast(taps[k]);
        const float* from = outputs + offsets[k];
        for (int32_t b = 0; b < kBlocks; ++b)
            sums[b] = tap * Floats::Load(from + b * kLanes) + sums[b];
    };
    TapsBeside(energy, limits[0], addTap);
    int32_t k = limits[0];
    // The limits rise with b, so from limits[b - 1] to limits[b] exactly the blocks b ... kBlocks
    // - 1 take each tap: a loop of its own for each such stretch asks no block whether it is done.
    auto stretchesFrom = [&]<int32_t kFrom>(auto& self) __attribute__((always_inline)) {
        if constexpr (kFrom < kBlocks) {
            for (; k < limits[kFrom]; ++k) {
                const Floats tap = Floats::Broadcast(taps[k]);
                const float* from = outputs + offsets[k];
                for (int32_t b = kFrom; b < kBlocks; ++b)
                    sums[b] = tap * Floats::Load(from + b * kLanes) + sums[b];
            }
            self.template operator()<kFrom + 1>(self);
        }
    };
    stretchesFrom.template operator()<1>(stretchesFrom);
    for (int32_t b = 0; b < kBlocks; ++b)
        sums[b].Store(r.rows + i0 + b * kLanes);
}

// Continues outputs i0 ... i0 + width - 1 from tap `fromTap` (their sum so far in row 0) to their
// last tap min(step x i, tapCount - 1), reading the block itself.
void PolyphaseRemainder(const PolyphaseRows& r, const float* block, const float* taps,
                        int32_t tapCount, int32_t i0, int32_t width, int32_t fromTap) {
    for (int32_t i = i0; i < i0 + width; ++i) {
        const int32_t j = r.step * i;
        const int32_t lastTap = j < tapCount - 1 ? j : tapCount - 1;
        float sum = fromTap == 0 ? block[j] : r.rows[i];
        for (int32_t k = fromTap; k <= lastTap; ++k)
            sum = taps[k] * block[j - k] + sum;
        r.rows[i] = sum;
    }
}

// The polyphase form of LaneHead: the block's first samples dealt into `step` rows of kLanes, row
// p element e holding x[step x e + p], each row after kLanes of padding. Lane l of a block of
// outputs from i0, continued from tap step x i0 + 1, takes taps while t < step x l, and tap
// step x i0 + 1 + t reads x[step x l - 1 - t]: with t = step x a + c, element l - a - 1 of row
// step - 1 - c, at Sample(t) + l. Steps beyond kHeadSteps continue one lane at a time.
constexpr int32_t kHeadSteps = 16;
struct PolyphaseHead {
    alignas(32) float values[kHeadSteps][2 * kLanes];
    int32_t offsets[kHeadSteps * (kLanes - 1)];  // of Sample(t) from values[0]
    int32_t step;

    PolyphaseHead(const float* block, int32_t n, int32_t step) : step(step) {
        for (int32_t p = 0; p < step; ++p) {
            ZeroFill(values[p], 2 * kLanes);
            for (int32_t e = 0; e < kLanes && step * e + p < n; ++e)
                values[p][kLanes + e] = block[step * e + p];
        }
        for (int32_t t = 0; t < step * (kLanes - 1); ++t)
            offsets[t] = (step - 1 - t % step) * 2 * kLanes + kLanes - t / step - 1;
    }
    const float* Sample(int32_t t) const { return &values[0][0] + offsets[t]; }
};

// Continues the kBlocks blocks of outputs from i0 (block b from tap fromTaps[b] = step x (i0 + b x
// kLanes) + 1, or from tapCount: done) to their last taps: with the head, side by side in lanes,
// else one output at a time. With the head, lane l of every block reads sample x[step x l - 1 - t]
// for its tap fromTaps[b] + t, Sample(t) + l whatever the block, and takes taps while
// t < min(step x l, tapCount - fromTaps[b]): one load serves every block, and their chains of
// dependent sums overlap instead of each waiting for its own in turn. The later a block, the
// fewer taps it has left: past its last lane's last one it leaves the loop.
template <int32_t kBlocks>
void FinishPolyphaseBlocks(const PolyphaseRows& r, const PolyphaseHead* head, const float* block,
                           const float* taps, int32_t tapCount, int32_t i0,
                           const int32_t (&fromTaps)[kBlocks]) {
    if (head == nullptr) {
        for (int32_t b = 0; b < kBlocks; ++b) {
            if (fromTaps[b] < tapCount) {
                PolyphaseRemainder(r, block, taps, tapCount, i0 + b * kLanes, kLanes, fromTaps[b]);
            }
        }
        return;
    }
    float* sums = r.rows + i0;
    const Floats stepReach = Floats::Ramp(0) * Floats::Broadcast(static_cast<float>(r.step));
    const int32_t lastReach = r.step * (kLanes - 1);
    Floats acc[kBlocks], reach[kBlocks];
    int32_t ends[kBlocks];  // t of each block's last tap, plus one; they fall with b
    for (int32_t b = 0; b < kBlocks; ++b) {
        const int32_t remaining = tapCount - fromTaps[b];
        acc[b] = Floats::Load(sums + b * kLanes);
        reach[b] = Min(stepReach, Floats::Broadcast(static_cast<float>(remaining)));
        ends[b] = lastReach < remaining ? lastReach : remaining;
    }
    int32_t t = 0;
    Floats position = Floats::Broadcast(0.0f);  // t, exact below 2^24
    // From ends[kTo] to ends[kTo - 1], blocks 0 ... kTo - 1 go on.
    auto stretchesTo = [&]<int32_t kTo>(auto& self) __attribute__((always_inline)) {
        if constexpr (kTo > 0) {
            for (; t < ends[kTo - 1]; ++t) {
                const Floats sample = Floats::Load(head->Sample(t));
                for (int32_t b = 0; b < kTo; ++b) {
                    const Floats taking = LessThan(position, reach[b]);
                    const Floats tap = Floats::Broadcast(taps[fromTaps[b] + t]);
                    acc[b] = Select(taking, tap * sample + acc[b], acc[b]);
                }
                position = position + Floats::Broadcast(1.0f);
            }
            self.template operator()<kTo - 1>(self);
        }
    };
    stretchesTo.template operator()<kBlocks>(stretchesTo);
    for (int32_t b = 0; b < kBlocks; ++b)
        acc[b].Store(sums + b * kLanes);
}

// Filters the m = n / step samples the decimation reads into block[0 ... m - 1], with `rows` (n
// floats) as scratch. Groups of outputs go from the top down: each writes only row 0 elements at
// or above its first output, and every group below reads row 0 only below its own. Filters too
// long for the offset table (rates above 300 kHz) filter every sample and decimate.
constexpr int32_t kTabledTaps = 2048;

void FilterDecimated(float* block, int32_t n, float* rows, const float* taps, int32_t tapCount,
                     int32_t step, EnergyBeside& energy) {
    const int32_t m = n / step;
    if (m <= 0) return;
    if (tapCount > kTabledTaps) {
        CopyFloats(rows, block, n);
        Convolve(block, n, rows, taps, tapCount, energy);
        DecimateLoop(block, block, m, step);
        return;
    }
    PolyphaseHead storage(block, step <= kHeadSteps ? n : 0, step <= kHeadSteps ? step : 0);
    const PolyphaseHead* head = step <= kHeadSteps ? &storage : nullptr;
    const PolyphaseRows r = DealIntoRows(block, n, step, rows);
    int32_t offsets[kTabledTaps];
    TapOffsets(r, tapCount, offsets);
    int32_t i = m;
    while (i >= kLanes) {
        // Near the start the outputs reach back less far: the lanes of a block share the taps of
        // its first, and then go on to their own last taps.
        if (i >= kWide * kLanes) {
            i -= kWide * kLanes;
            int32_t limits[kWide];
            PolyphaseLanes<kWide>(r, taps, offsets, tapCount, i, limits, energy);
            if (limits[0] < tapCount)
                FinishPolyphaseBlocks(r, head, block, taps, tapCount, i, limits);
        } else {
            i -= kLanes;
            int32_t limits[1];
            PolyphaseLanes<1>(r, taps, offsets, tapCount, i, limits, energy);
            if (limits[0] < tapCount)
                FinishPolyphaseBlocks(r, head, block, taps, tapCount, i, limits);
        }
    }
    PolyphaseRemainder(r, block, taps, tapCount, 0, i, 0);
    CopyFloats(block, rows, m);
}

// Interpolating between two and three input samples apart reads a pair of neighbours per output,
// and the pairs of two outputs in a row lie two or three samples apart: three quarters of the
// filtered samples, and the four of two outputs fill a vector of four lanes. Pairs two apart are
// four consecutive samples; for pairs three apart, `spread` holds the samples x, x + 1, x + 3,
// x + 4 side by side for each x, so that each tap of such a vector is one aligned load as well.
// Every lane keeps its sample's chain in the kernel's order, from the sample itself through every
// tap, k ascending. The first samples, which reach back to fewer taps, are filtered as the kernel
// does (Convolve); a pair clamped at the block's end, or at a gap the rounding of the positions
// makes other than two or three, alone. Builds whose vectors hold more than two pairs filter
// every sample.
constexpr int32_t kPairVectors = 8;       // in flight: chains enough for the adders
constexpr int32_t kSpreadSamples = 1024;  // x that `spread` holds at once, 16 KiB
constexpr int32_t kGroupWidth = kWide * kLanes;

int32_t PairPrefix(int32_t tapCount) {
    return (tapCount + kGroupWidth - 1) / kGroupWidth * kGroupWidth;
}

// The pairs' positions are those of InterpolateLanes, so its conditions hold here too.
bool PairsApply(const DownSamplePlan& plan, int32_t n, int32_t tapCount) {
    return kLanes == 4 && InterpolatesInLanes(plan, n) && plan.ratio > 2.0f && plan.ratio < 3.0f &&
           tapCount <= kSpreadSamples / 2 && PairPrefix(tapCount) < n;
}

// The first of the two samples InterpolateLoop reads for output i, where PairsApply holds; the
// second is the next, or the same at the last.
int32_t PairStart(int32_t i, float ratio, int32_t lastIndex) {
    const float t = static_cast<float>(i) * ratio;
    return t < static_cast<float>(lastIndex) ? TruncateToInt32(t) : lastIndex;
}

class PairFilter {
  public:
    PairFilter(float* block, const float* source, const float* taps, int32_t tapCount,
               EnergyBeside& energy)
        : block_(block), source_(source), taps_(taps), tapCount_(tapCount), energy_(energy) {}

    // The pair of two outputs at a and b = a + 2 or a + 3, every sample at least tapCount - 1 and
    // b + 1 inside the block.
    void Add(int32_t a, int32_t b, int32_t n) {
        if (b - a == 2) {
            Push(adjacent_, source_ + a, a, b);
            return;
        }
        if (a >= spreadEnd_) {
            Flush<4>(spaced_);
            SpreadFrom(a - (tapCount_ - 1), n);
        }
        Push(spaced_, spread_ + 4 * (a - spreadFrom_), a, b);
    }

    // Sample j, at least tapCount - 1, alone.
    void Single(int32_t j) const {
        float sum = source_[j];
        for (int32_t k = 0; k < tapCount_; ++k)
            sum = taps_[k] * source_[j - k] + sum;
        block_[j] = sum;
    }

    void Finish() {
        Flush<1>(adjacent_);
        Flush<4>(spaced_);
    }

  private:
    struct Pending {
        const float* bases[kPairVectors];
        int32_t pairs[kPairVectors][2];
        int32_t count = 0;
    };

    void Push(Pending& pending, const float* base, int32_t a, int32_t b) {
        pending.bases[pending.count] = base;
        pending.pairs[pending.count][0] = a;
        pending.pairs[pending.count][1] = b;
        if (++pending.count == kPairVectors) {
            if (&pending == &adjacent_) {
                Flush<1>(pending);
            } else {
                Flush<4>(pending);
            }
        }
    }

    // spread_[4 (x - from) ...] for x from `from`, as many as it holds and the block has x + 4.
    void SpreadFrom(int32_t from, int32_t n) {
        const int32_t end = n - 4 < from + kSpreadSamples ? n - 4 : from + kSpreadSamples;
        float* to = spread_;
        for (int32_t x = from; x < end; ++x, to += 4) {
            to[0] = source_[x];
            to[1] = source_[x + 1];
            to[2] = source_[x + 3];
            to[3] = source_[x + 4];
        }
        spreadFrom_ = from;
        spreadEnd_ = end;
    }

    // The vectors pending, tap k of each at its base - k x kStride; the last one repeated to a
    // full group (the same chain twice, the same bits stored twice).
    template <int32_t kStride>
    void Flush(Pending& pending) {
        if (pending.count <= 0) return;
        const float* bases[kPairVectors];
        for (int32_t v = 0; v < kPairVectors; ++v)
            bases[v] = pending.bases[v < pending.count ? v : pending.count - 1];
        Floats sums[kPairVectors];
        for (int32_t v = 0; v < kPairVectors; ++v)
            sums[v] = Floats::Load(bases[v]);  // the samples themselves
        auto addTap = [&](int32_t k) __attribute__((always_inline)) {
            const Floats tap = Floats::Broadcast(taps_[k]);
            for (int32_t v = 0; v < kPairVectors; ++v)
                sums[v] = tap * Floats::Load(bases[v] - k * kStride) + sums[v];
        };
        TapsBeside(energy_, tapCount_, addTap);
        for (int32_t v = 0; v < pending.count; ++v) {
            alignas(16) float lanes[4];
            sums[v].Store(lanes);
            const int32_t a = pending.pairs[v][0], b = pending.pairs[v][1];
            block_[a] = lanes[0];
            block_[a + 1] = lanes[1];
            block_[b] = lanes[2];
            block_[b + 1] = lanes[3];
        }
        pending.count = 0;
    }

    float* block_;
    const float* source_;
    const float* taps_;
    int32_t tapCount_;
    EnergyBeside& energy_;
    Pending adjacent_, spaced_;
    int32_t spreadFrom_ = 0, spreadEnd_ = 0;  // the x that spread_ holds
    alignas(16) float spread_[4 * kSpreadSamples];
};

// The filtered samples that interpolation reads into `block`, where PairsApply holds; `source`
// holds the block's copy, the others are left as they were.
void FilterPairs(float* block, int32_t n, const float* source, const float* taps, int32_t tapCount,
                 const DownSamplePlan& plan, EnergyBeside& energy, const LaneHead& head) {
    const int32_t prefix = PairPrefix(tapCount);
    Convolve(block, prefix, source, taps, tapCount, energy, &head);
    const int32_t lastIndex = n - 1;
    const int32_t m = plan.length;
    int32_t i = 0;
    while (i < m && PairStart(i, plan.ratio, lastIndex) + 1 < prefix)
        ++i;
    PairFilter filter(block, source, taps, tapCount, energy);
    auto alone = [&](int32_t a) {
        filter.Single(a);
        if (a < lastIndex) filter.Single(a + 1);
    };
    for (; i + 1 < m; i += 2) {
        const int32_t a = PairStart(i, plan.ratio, lastIndex);
        const int32_t b = PairStart(i + 1, plan.ratio, lastIndex);
        if (b + 1 <= lastIndex && (b - a == 2 || b - a == 3)) {
            filter.Add(a, b, n);
        } else {
            alone(a);
            alone(b);
        }
    }
    if (i < m) alone(PairStart(i, plan.ratio, lastIndex));
    filter.Finish();
}

}  // namespace

LowPassDesign DesignLowPass(float sampleRate, float cutoff, float range) {
    const float width = range / sampleRate;
    int32_t tapCount = TruncateToInt32(Rint(3.1f / width));
    if ((tapCount & 1) != 0) tapCount += 1;
    // A negative range or rate (or a NaN) gives no meaningful filter length: no filter at all.
    if (tapCount < 0) tapCount = 0;
    return {tapCount, (cutoff - range) / sampleRate};
}

DownSamplePlan PlanDownSample(int32_t n, int32_t sampleRate, int32_t targetSampleRate) {
    if (sampleRate <= targetSampleRate) return {DownSamplePlan::kCopy, n, 1, 1.0f};
    // There is no positive rate to reach: the limit of ever lower targets, an empty block.
    if (targetSampleRate <= 0) return {DownSamplePlan::kDecimate, 0, 1, 1.0f};
    if (sampleRate % targetSampleRate == 0) {
        const int32_t step = sampleRate / targetSampleRate;
        return {DownSamplePlan::kDecimate, n / step, step, 1.0f};
    }
    const float ratio = static_cast<float>(sampleRate) / static_cast<float>(targetSampleRate);
    const int32_t m = TruncateToInt32(Rint(static_cast<float>(n) / ratio));
    return {DownSamplePlan::kInterpolate, m, 1, ratio};
}

void LowPassForDownSample(float* block, int32_t n, float* source, float* taps,
                          const LowPassDesign& design, const DownSamplePlan& plan,
                          EnergyBeside& energy) {
    const int32_t tapCount = design.tapCount;
    if (tapCount != 0) GenerateTaps(taps, tapCount, design.normalizedCutoff);
    if (plan.kind == DownSamplePlan::kDecimate) {
        if (tapCount != 0) {
            FilterDecimated(block, n, source, taps, tapCount, plan.step, energy);
        } else if (plan.length > 0) {
            DecimateLoop(block, block, plan.length, plan.step);  // in place: i <= step x i
        }
        return;
    }
    // Copying reads every sample, interpolation three quarters of them or more.
    if (tapCount != 0 && n > 0) {
        CopyFloats(source, block, n);
        const LaneHead head(block, n);
        if (PairsApply(plan, n, tapCount)) {
            FilterPairs(block, n, source, taps, tapCount, plan, energy, head);
        } else {
            Convolve(block, n, source, taps, tapCount, energy, &head);
        }
    }
}

void DownSampleFiltered(const float* block, int32_t n, const DownSamplePlan& plan, float* frame) {
    if (plan.length <= 0) return;
    if (plan.kind == DownSamplePlan::kInterpolate) {
        if (InterpolatesInLanes(plan, n)) {
            InterpolateLanes(block, n, frame, plan.length, plan.ratio);
        } else {
            InterpolateLoop(block, n, frame, plan.length, plan.ratio);
        }
    } else {
        CopyFloats(frame, block, plan.length);
    }
}

void Algorithm::_LowPassFilter(float* data, int32_t dataLength, const float* source, float* taps,
                               int32_t tapCount, float normalizedCutoff) {
    if (tapCount <= 0) return;
    GenerateTaps(taps, tapCount, normalizedCutoff);
    if (dataLength <= 0) return;
    Convolve(data, dataLength, source, taps, tapCount);
}

void Algorithm::_Interpolate(const float* input, int32_t inputLength, float* output,
                             int32_t outputLength, float ratio) {
    if (outputLength <= 0 || inputLength <= 0) return;
    InterpolateLoop(input, inputLength, output, outputLength, ratio);
}

void Algorithm::_Decimate(const float* input, float* output, int32_t outputLength, int32_t step) {
    if (outputLength <= 0) return;
    DecimateLoop(input, output, outputLength, step);
}

void Algorithm::LowPassFilter(NativeArray& data, float sampleRate, float cutoff, float range) {
    float* samples = FloatsOf(data);
    const int32_t length = data.length;
    float* source = AllocateCopy(samples, length);
    const LowPassDesign design = DesignLowPass(sampleRate, cutoff, range);
    float* taps = AllocateUnfilled(design.tapCount);  // the core writes every tap
    if (design.tapCount != 0) {
        _LowPassFilter(samples, length, source, taps, design.tapCount, design.normalizedCutoff);
    }
    Release(source);
    Release(taps);
}

void Algorithm::DownSample(NativeArray& input, NativeArray& output, int32_t sampleRate,
                           int32_t targetSampleRate) {
    const float* samples = FloatsOf(input);
    const int32_t n = input.length;
    const DownSamplePlan plan = PlanDownSample(n, sampleRate, targetSampleRate);
    if (plan.kind == DownSamplePlan::kCopy) {
        output = NativeArray{AllocateCopy(samples, n), n, kTempAllocator};
        return;
    }
    float* resampled = CreateInto(output, plan.length);
    if (plan.length == 0) return;
    if (plan.kind == DownSamplePlan::kDecimate) {
        DecimateLoop(samples, resampled, plan.length, plan.step);
    } else {
        InterpolateLoop(samples, n, resampled, plan.length, plan.ratio);
    }
}

}  // namespace Vocetta::VOCETTA_VARIANT
