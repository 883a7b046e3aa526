// The analysis chains the kernels in a fixed order, and every scratch array it needs comes from
// the host and goes back before the call returns, in the order and sizes the kernels would ask
// for them. Each stage computes with the exported kernel's own loops, or only the part of them an
// output depends on (the filtered samples the down-sampler reads, the DCT rows that reach `mfcc`),
// so a host that chains the kernels gets the job's numbers bit for bit (NaN payloads aside).
#include "job/lip_sync_job.h"

#include "algorithm/algorithm.h"
#include "algorithm/analysis_loops.h"

namespace Vocetta::VOCETTA_VARIANT {

namespace {

constexpr float kLowPassRange = 500.0f;  // Hz of transition band below the cutoff
constexpr float kPreEmphasis = 0.97f;
constexpr float kNormalisedPeak = 1.0f;

const float* ReadFloats(const NativeArray& view) {
    return static_cast<const float*>(view.pointer);
}

// Cepstral coefficients 1 ... M go to `mfcc`, and only those rows of the DCT are computed;
// coefficient 0 (the level) is dropped. A record that asks for more coefficients than the mel
// channels give gets NaN in the rest: they do not exist, and NaN makes any use of them visible
// (every score then becomes 0) instead of comparing made-up values.
void WriteCoefficients(const float* decibels, int32_t channels, float* mfcc, int32_t count) {
    const int32_t available = channels > 1 ? channels - 1 : 0;
    const int32_t computed = count < available ? count : available;
    CosineTransformRows(decibels, channels, 1, computed, mfcc);
    for (int32_t i = computed; i < count; ++i)
        mfcc[i] = __builtin_nanf("");
}

// Scores sum to 1, or are all 0 when their total is not positive (all 0, underflow, NaN).
// Returns the best index: the first strictly highest score; -1 without phonemes.
int32_t NormaliseAndPickBest(float* scores, int32_t count, float total) {
    if (count <= 0) return -1;
    if (total > 0.0f) {
        for (int32_t i = 0; i < count; ++i)
            scores[i] = scores[i] / total;
    } else {
        ZeroFill(scores, count);
    }
    float best = -1.0f;
    int32_t bestIndex = -1;
    for (int32_t i = 0; i < count; ++i) {
        if (scores[i] > best) {
            bestIndex = i;
            best = scores[i];
        }
    }
    return bestIndex;
}

}  // namespace

namespace {

// The power a phoneme's score is, as base and exponent; false for a method outside 0 to 2,
// which scores 0 without one.
bool ScorePower(const LipSyncJob* job, int32_t index, float& base, float& exponent) {
    const float* mfcc = ReadFloats(job->mfcc);
    const float* means = ReadFloats(job->means);
    const float* deviations = ReadFloats(job->standardDeviations);
    const int32_t count = job->mfcc.length;
    const float* profile = ReadFloats(job->phonemeProfiles) + static_cast<int64_t>(index) * count;

    // Both vectors are standardised with the same statistics before they are compared.
    auto block = [&](int32_t i) { return (mfcc[i] - means[i]) / deviations[i]; };
    auto reference = [&](int32_t i) { return (profile[i] - means[i]) / deviations[i]; };

    switch (job->scoreMethod) {
        case MeanAbsoluteDistance: {
            float distance = 0.0f;
            for (int32_t i = 0; i < count; ++i)
                distance = distance + Abs(block(i) - reference(i));
            base = 10.0f;
            exponent = -distance / static_cast<float>(count);
            return true;
        }
        case RootMeanSquareDistance: {
            float distance = 0.0f;
            for (int32_t i = 0; i < count; ++i) {
                const float difference = block(i) - reference(i);
                distance = distance + difference * difference;
            }
            base = 10.0f;
            exponent = -Sqrt(distance / static_cast<float>(count));
            return true;
        }
        case CosineSimilarity: {
            float dot = 0.0f, blockNorm = 0.0f, referenceNorm = 0.0f;
            for (int32_t i = 0; i < count; ++i) {
                const float a = block(i), b = reference(i);
                dot = dot + a * b;
                blockNorm = blockNorm + a * a;
                referenceNorm = referenceNorm + b * b;
            }
            float cosine = dot / (Sqrt(blockNorm) * Sqrt(referenceNorm));
            if (!(cosine > 0.0f)) cosine = 0.0f;  // opposite, orthogonal or undefined: no match
            // The high power keeps only near-parallel vectors in the running.
            base = cosine;
            exponent = 100.0f;
            return true;
        }
        default:
            return false;
    }
}

// Whether the scores may be computed ahead of writing them: no score lands in what a later
// phoneme's comparison reads.
bool ScoresApart(const LipSyncJob* job) {
    const int64_t m = job->mfcc.length > 0 ? job->mfcc.length : 0;
    const int64_t p = job->scores.length;
    const void* scores = job->scores.pointer;
    return Apart(scores, p, job->mfcc.pointer, m) && Apart(scores, p, job->means.pointer, m) &&
           Apart(scores, p, job->standardDeviations.pointer, m) &&
           Apart(scores, p, job->phonemeProfiles.pointer, p * m);
}

// scores[i] = CalcScore(job, i) and their sum, in phoneme order. The powers go kLanes phonemes
// to a call where the vector power gives the scalar one's bits: its lanes are independent (no
// lane's argument changes another's way through it), the same rounded operations as the scalar
// form, which an exhaustive comparison over every base and exponent the scores reach confirmed,
// while the thread rounds to nearest without flushing.
float ScoreAll(const LipSyncJob* job, float* scores, int32_t phonemes) {
    float total = 0.0f;
    int32_t i = 0;
    const int32_t method = job->scoreMethod;
    const bool powered = method == MeanAbsoluteDistance || method == RootMeanSquareDistance ||
                         method == CosineSimilarity;
    if (phonemes > 1 && powered && ScalarBitsInLanes() && ScoresApart(job)) {
        // Steps of `count`, not kLanes: a last group's start plus kLanes may pass 2^31 - 1.
        for (int32_t count = 0; i < phonemes; i += count) {
            count = phonemes - i < kLanes ? phonemes - i : kLanes;
            alignas(32) float bases[kLanes], exponents[kLanes], powers[kLanes];
            for (int32_t lane = 0; lane < kLanes; ++lane) {
                if (lane < count) {
                    ScorePower(job, i + lane, bases[lane], exponents[lane]);
                } else {
                    bases[lane] = 1.0f;  // 1 to the 1st: no lane raises a flag of its own
                    exponents[lane] = 1.0f;
                }
            }
            UnfusedPow(Floats::Load(bases), Floats::Load(exponents)).Store(powers);
            for (int32_t lane = 0; lane < count; ++lane) {
                scores[i + lane] = powers[lane];
                total = total + powers[lane];
            }
        }
        return total;
    }
    for (; i < phonemes; ++i) {
        const float score = CalcScore(job, i);
        scores[i] = score;
        total = total + score;
    }
    return total;
}

}  // namespace

float CalcScore(const LipSyncJob* job, int32_t index) {
    float base = 0.0f, exponent = 0.0f;
    if (!ScorePower(job, index, base, exponent)) return 0.0f;
    return Pow(base, exponent);
}

void Execute(LipSyncJob* job) {
    const float* input = ReadFloats(job->input);
    // A negative length describes no samples; it must not become a negative allocation.
    const int32_t blockLength = job->input.length > 0 ? job->input.length : 0;

    // Time order: the ring's oldest sample first.
    NativeArray buffer{AllocateUnfilled(blockLength), blockLength, kTempAllocator};
    Algorithm::_UnrollRingBuffer(input, FloatsOf(buffer), blockLength, job->startIndex);

    // Down to the analysis rate, anti-aliased at half of it. The host lends the filter's scratch
    // and the frame as LowPassFilter and DownSample would ask for them, but the filter computes
    // only the samples the down-sampler reads, and no array is cleared that is filled anyway.
    const LowPassDesign design =
        DesignLowPass(static_cast<float>(job->sampleRate),
                      static_cast<float>(job->targetSampleRate / 2), kLowPassRange);
    const DownSamplePlan plan = PlanDownSample(blockLength, job->sampleRate, job->targetSampleRate);
    float* filterSource = AllocateUnfilled(blockLength);
    float* taps = AllocateUnfilled(design.tapCount);
    // The volume is that of the raw block, before any filtering or normalisation; its sum of
    // squares runs beside the filter.
    EnergyBeside energy{input, input + blockLength, 0.0f};
    LowPassForDownSample(FloatsOf(buffer), blockLength, filterSource, taps, design, plan, energy);
    Release(filterSource);
    Release(taps);
    NativeArray data{AllocateUnfilled(plan.length), plan.length, kTempAllocator};
    float* frame = FloatsOf(data);
    const int32_t frameLength = data.length;
    DownSampleFiltered(FloatsOf(buffer), blockLength, plan, frame);

    // Pre-emphasis reads the unmodified frame, so it works from a copy.
    float* unemphasised = AllocateCopy(frame, frameLength);
    Algorithm::_ApplyPreEmphasis(frame, unemphasised, frameLength, kPreEmphasis);
    Release(unemphasised);
    Algorithm::_ApplyHammingWindow(frame, frameLength);
    Algorithm::_ScaleToPeak(frame, frameLength, kNormalisedPeak);

    // The mel filter bank reads bins 1 ... N / 2 of the spectrum; the others are not computed.
    NativeArray spectrum{AllocateUnfilled(frameLength), frameLength, kTempAllocator};
    MagnitudesToNyquist(frame, FloatsOf(spectrum), frameLength);

    // The mel scale is laid over the analysis rate, whatever rate the frame kept.
    NativeArray melSpectrum{nullptr, 0, VOCETTA_ALLOCATOR_INVALID};
    Algorithm::MelFilterBank(spectrum, melSpectrum, static_cast<float>(job->targetSampleRate),
                             job->melDiv);
    const int32_t channels = melSpectrum.length;
    Algorithm::_PowerToDecibel(FloatsOf(melSpectrum), channels);
    // The host still lends the cepstrum's array; the coefficients go straight to `mfcc`.
    float* cepstrum = AllocateUnfilled(channels);
    WriteCoefficients(FloatsOf(melSpectrum), channels, static_cast<float*>(job->mfcc.pointer),
                      job->mfcc.length);

    const float volume = Sqrt(energy.Finish() / static_cast<float>(blockLength));

    float* scores = static_cast<float*>(job->scores.pointer);
    const int32_t phonemes = job->scores.length;
    const float total = ScoreAll(job, scores, phonemes);
    const int32_t best = NormaliseAndPickBest(scores, phonemes, total);
    *static_cast<LipSyncResult*>(job->result.pointer) = LipSyncResult{volume, best};

    Dispose(buffer);
    Dispose(data);
    Dispose(spectrum);
    Dispose(melSpectrum);
    Release(cepstrum);
}

}  // namespace Vocetta::VOCETTA_VARIANT
