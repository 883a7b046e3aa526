#include "vocetta/mouth_shapes.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>

namespace Vocetta::Host {
namespace {

// The shapes each built-in phoneme name stands for, per set (one shape at full weight).
struct DefaultShape {
    const char* phoneme;
    const char* cartoon;
    const char* viseme;
};
constexpr DefaultShape kDefaults[] = {
    {"A", "D", "aa"},   // "ah": wide open
    {"E", "C", "E"},    // "bed": open
    {"I", "B", "ih"},   // "ee": teeth nearly together, lips spread
    {"O", "E", "oh"},   // "aw": slightly rounded
    {"U", "F", "ou"},   // "oo": puckered
    {"M", "A", "PP"},   // m, b, p: lips closed
    {"FV", "G", "FF"},  // f, v: upper teeth on the lower lip
    {"S", "B", "SS"},   // s, sh: teeth together
    {"L", "H", "nn"},   // l: tongue raised
    {"sil", "X", "sil"},
};

// Recent volumes a dip is measured against: several seconds at the job's hops; when frames come
// faster than that the loudest of them is forgotten early.
constexpr size_t kRecentVolumes = 512;

// A level `db` under the loudest as a share of its RMS volume.
double DipShare(double db) {
    return std::pow(10.0, -db / 20.0);
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

void CheckVolumes(float silenceVolume, float loudVolume) {
    if (!(silenceVolume >= 0) || !(loudVolume > silenceVolume) || !std::isfinite(loudVolume)) {
        throw ShapeError("the loud volume must be finite and above the silence volume");
    }
}

}  // namespace

const char* ShapeSetName(ShapeSet set) {
    return set == ShapeSet::Visemes ? "visemes" : "cartoon";
}

std::optional<ShapeSet> ShapeSetFromName(const std::string& name) {
    if (name == "cartoon") return ShapeSet::Cartoon;
    if (name == "visemes") return ShapeSet::Visemes;
    return std::nullopt;
}

const std::vector<std::string>& ShapeNames(ShapeSet set) {
    static const std::vector<std::string> cartoon = {"A", "B", "C", "D", "E", "F", "G", "H", "X"};
    static const std::vector<std::string> visemes = {
        "sil", "PP", "FF", "TH", "DD", "kk", "CH", "SS", "nn", "RR", "aa", "E", "ih", "oh", "ou"};
    return set == ShapeSet::Visemes ? visemes : cartoon;
}

int RestShape(ShapeSet set) {
    return set == ShapeSet::Visemes ? 0 : 8;
}

int ClosedShape(ShapeSet set) {
    return set == ShapeSet::Visemes ? 1 : 0;
}

int LipShape(ShapeSet set) {
    return set == ShapeSet::Visemes ? 2 : 6;
}

int ShapeIndex(ShapeSet set, const std::string& name) {
    const std::vector<std::string>& names = ShapeNames(set);
    const auto found = std::find(names.begin(), names.end(), name);
    return found == names.end() ? -1 : static_cast<int>(found - names.begin());
}

void ValidateShapeWeights(const ShapeWeights& weights, const std::string& where) {
    for (const auto& [setName, shapes] : weights) {
        const std::optional<ShapeSet> set = ShapeSetFromName(setName);
        if (!set) {
            throw ShapeError(where + ": unknown shape set " + Quoted(setName) +
                             " (cartoon or visemes)");
        }
        double total = 0;
        for (const auto& [shape, weight] : shapes) {
            const std::string key = where + "." + setName + "." + shape;
            if (ShapeIndex(*set, shape) < 0) {
                std::string known;
                for (const std::string& name : ShapeNames(*set))
                    known += (known.empty() ? "" : " ") + name;
                throw ShapeError(key + ": the " + setName + " set has no such shape (" + known +
                                 ")");
            }
            if (!std::isfinite(weight) || weight < 0) {
                throw ShapeError(key + ": must be a finite number, 0 or more");
            }
            total += weight;
        }
        if (!(total > 0)) {
            throw ShapeError(where + "." + setName + ": the weights must not all be 0");
        }
    }
}

ShapeMap BuildShapeMap(ShapeSet set, const std::vector<std::string>& names,
                       const std::vector<ShapeWeights>& explicitWeights,
                       const std::string& origin) {
    if (!explicitWeights.empty() && explicitWeights.size() != names.size()) {
        throw ShapeError(origin + ": shape weights for " + std::to_string(explicitWeights.size()) +
                         " phonemes, but the profile has " + std::to_string(names.size()));
    }
    ShapeMap map;
    map.set = set;
    map.phonemes = static_cast<int>(names.size());
    map.shapes = static_cast<int>(ShapeNames(set).size());
    map.weights.assign(names.size() * static_cast<size_t>(map.shapes), 0.0f);
    const std::string setName = ShapeSetName(set);
    for (size_t p = 0; p < names.size(); ++p) {
        float* row = map.weights.data() + p * static_cast<size_t>(map.shapes);
        const std::string where =
            origin + ": phonemes[" + std::to_string(p) + "] (" + Quoted(names[p]) + ").shapes";
        if (!explicitWeights.empty()) {
            const ShapeWeights& own = explicitWeights[p];
            ValidateShapeWeights(own, where);
            if (const auto found = own.find(setName); found != own.end()) {
                double total = 0;
                for (const auto& entry : found->second)
                    total += entry.second;
                for (const auto& [shape, weight] : found->second) {
                    row[ShapeIndex(set, shape)] = static_cast<float>(weight / total);
                }
                continue;
            }
        }
        const DefaultShape* fallback = nullptr;
        for (const DefaultShape& entry : kDefaults) {
            if (names[p] == entry.phoneme) fallback = &entry;
        }
        if (fallback == nullptr) {
            throw ShapeError(where + ": no " + Quoted(setName) +
                             " weights, and no built-in shape for a phoneme of this name "
                             "(give it \"shapes\": {\"" +
                             setName + "\": {SHAPE: 1}})");
        }
        row[ShapeIndex(set, set == ShapeSet::Visemes ? fallback->viseme : fallback->cartoon)] =
            1.0f;
    }
    return map;
}

MouthShapes::MouthShapes(ShapeMap map, const MouthSettings& settings)
    : map_(std::move(map)),
      settings_(settings),
      madeSilence_(settings.silenceVolume),
      madeLoud_(settings.loudVolume),
      rest_(RestShape(map_.set)),
      closed_(ClosedShape(map_.set)),
      lip_(LipShape(map_.set)) {
    if (!(settings.attackSeconds >= 0) || !(settings.releaseSeconds >= 0) ||
        !std::isfinite(settings.attackSeconds) || !std::isfinite(settings.releaseSeconds)) {
        throw ShapeError("attack and release times must be finite and 0 or more");
    }
    if (!(settings.sharpness >= 1) || !std::isfinite(settings.sharpness)) {
        throw ShapeError("sharpness must be a finite number, 1 or more");
    }
    if (!(settings.closedMargin >= 1) || !std::isfinite(settings.closedMargin) ||
        !(settings.lipMargin >= 1) || !std::isfinite(settings.lipMargin)) {
        throw ShapeError("the closed and lip margins must be finite numbers, 1 or more");
    }
    CheckVolumes(settings.silenceVolume, settings.loudVolume);
    for (const double value :
         {settings.closedDipDb, settings.lipDipDb, settings.dipWindowSeconds}) {
        if (!(value >= 0) || !std::isfinite(value)) {
            throw ShapeError("the dips and the dip window must be finite and 0 or more");
        }
    }
    closedDip_ = DipShare(settings.closedDipDb);
    lipDip_ = DipShare(settings.lipDipDb);
    target_.assign(static_cast<size_t>(map_.shapes), 0.0f);
    weights_.assign(static_cast<size_t>(map_.shapes), 0.0f);
    recent_.assign(kRecentVolumes, Heard{0, 0});
    Reset();
}

void MouthShapes::SetVolumes(float silenceVolume, float loudVolume) {
    CheckVolumes(silenceVolume, loudVolume);
    settings_.silenceVolume = silenceVolume;
    settings_.loudVolume = loudVolume;
}

void MouthShapes::FollowGate(float gate) {
    if (gate > 0) {
        SetVolumes(gate, gate * kLoudOverSilence);
    } else {
        SetVolumes(madeSilence_, madeLoud_);
    }
}

void MouthShapes::Reset() {
    std::fill(target_.begin(), target_.end(), 0.0f);
    std::fill(weights_.begin(), weights_.end(), 0.0f);
    target_[static_cast<size_t>(rest_)] = 1.0f;
    weights_[static_cast<size_t>(rest_)] = 1.0f;
    jaw_ = 0;
    first_ = count_ = 0;
    clock_ = 0;
    closedQuiet_ = lipQuiet_ = true;
}

void MouthShapes::Update(std::span<const float> scores, float volume, double elapsedSeconds,
                         bool silence, int shape) {
    // The loudest of the window is the oldest volume kept: each frame drops the volumes before it
    // that are no louder than its own, and those that left the window (never its own).
    const double elapsed = std::max(0.0, elapsedSeconds);
    clock_ += elapsed;
    const float level = std::isfinite(volume) ? volume : 0.0f;
    auto at = [this](size_t k) -> Heard& { return recent_[(first_ + k) % recent_.size()]; };
    while (count_ > 0 && at(count_ - 1).volume <= level)
        --count_;
    if (count_ == recent_.size()) {
        first_ = (first_ + 1) % recent_.size();
        --count_;
    }
    at(count_++) = Heard{clock_, level};
    // The tolerance keeps a frame exactly one window back, with clocks summed from steps such as
    // 0.01 that binary cannot hold exactly.
    while (at(0).time < clock_ - settings_.dipWindowSeconds - 1e-9) {
        first_ = (first_ + 1) % recent_.size();
        --count_;
    }
    const double loudest = at(0).volume;
    closedQuiet_ = !(settings_.closedDipDb > 0) || level <= loudest * closedDip_;
    lipQuiet_ = !(settings_.lipDipDb > 0) || level <= loudest * lipDip_;

    const auto shapes = static_cast<size_t>(map_.shapes);
    const size_t phonemes = std::min(scores.size(), static_cast<size_t>(map_.phonemes));
    std::fill(target_.begin(), target_.end(), 0.0f);

    // Quiet blocks and blocks the job could not score (all 0, or not numbers) rest the mouth.
    double total = 0;
    for (size_t p = 0; p < phonemes; ++p) {
        if (std::isfinite(scores[p]) && scores[p] > 0) total += scores[p];
    }
    // A shape the transcript says is shown however quiet the frame: a stop's closure is silent,
    // and an f lies far under its vowels, but both are what the mouth does there.
    const bool said = shape >= 0 && static_cast<size_t>(shape) < shapes;
    const bool heard = said || (!silence && volume >= settings_.silenceVolume && total > 0 &&
                                std::isfinite(total));
    double jawTarget = 0;
    if (said) {
        target_[static_cast<size_t>(shape)] = 1.0f;
    } else if (heard) {
        for (size_t p = 0; p < phonemes; ++p) {
            if (!(std::isfinite(scores[p]) && scores[p] > 0)) continue;
            const double share = scores[p] / total;
            for (size_t s = 0; s < shapes; ++s) {
                target_[s] +=
                    static_cast<float>(share * map_.At(static_cast<int>(p), static_cast<int>(s)));
            }
        }
    }
    if (heard) {
        // How far the volume opens the jaw: 0 at the silence level, 1 at the loud level, on a
        // logarithmic scale. A loud block is not a mouth at rest, whatever the scores say (a
        // profile's silence class also takes breathy and noisy speech), so the rest shape keeps
        // only the share the volume leaves it.
        const double silence = std::max<double>(settings_.silenceVolume, 1e-10);
        const double loudness =
            volume > silence
                ? std::clamp(std::log(volume / silence) / std::log(settings_.loudVolume / silence),
                             0.0, 1.0)
                : 0.0;
        const auto rest = static_cast<size_t>(rest_);
        const float restBefore = target_[rest];
        target_[rest] = static_cast<float>(target_[rest] * (1.0 - loudness));
        float strongest = *std::max_element(target_.begin(), target_.end());
        if (!(strongest > 0)) {  // nothing but rest, and loud: rest it is
            target_[rest] = restBefore;
            strongest = restBefore;
        }
        // Sharpen relative to the strongest shape, so that large exponents cannot underflow.
        double sum = 0;
        for (float& weight : target_) {
            weight = static_cast<float>(std::pow(weight / strongest, settings_.sharpness));
            sum += weight;
        }
        for (float& weight : target_)
            weight = static_cast<float>(weight / sum);
        // The jaw opens with the volume, as far as the mouth is not at rest.
        jawTarget = (1.0 - target_[rest]) * loudness;
    } else {
        target_[static_cast<size_t>(rest_)] = 1.0f;
    }

    // One-pole smoothing toward the target; the coefficient depends on the time that passed, so
    // a host with uneven frames sees the same motion.
    auto coefficient = [elapsed](double timeConstant) {
        return timeConstant > 0 ? 1.0 - std::exp(-elapsed / timeConstant) : 1.0;
    };
    const double rise = coefficient(settings_.attackSeconds);
    const double fall = coefficient(settings_.releaseSeconds);
    auto follow = [&](float current, double goal) {
        return static_cast<float>(current + (goal - current) * (goal > current ? rise : fall));
    };
    for (size_t s = 0; s < shapes; ++s)
        weights_[s] = follow(weights_[s], target_[s]);
    jaw_ = follow(jaw_, jawTarget);
}

int MouthShapes::Dominant() const {
    // Open or at rest first, then which open shape: the open shapes share the weight the rest
    // shape gives up, so the rest shape would win a plain comparison long after the mouth opened.
    // The closed and lip shapes compete by their weights over their margins, and only in a frame
    // quiet enough for them, unless no other speaking shape has any weight at all.
    const auto rest = static_cast<size_t>(rest_);
    auto strength = [this](size_t s) {
        const double weight = weights_[s];
        if (static_cast<int>(s) == closed_) return weight / settings_.closedMargin;
        if (static_cast<int>(s) == lip_) return weight / settings_.lipMargin;
        return weight;
    };
    auto strongest = [&](bool dips) {
        size_t best = rest;
        for (size_t s = 0; s < weights_.size(); ++s) {
            if (s == rest) continue;
            if (dips && ((static_cast<int>(s) == closed_ && !closedQuiet_) ||
                         (static_cast<int>(s) == lip_ && !lipQuiet_))) {
                continue;
            }
            if (best == rest || strength(s) > strength(best)) best = s;
        }
        return best;
    };
    double open = 0;
    for (size_t s = 0; s < weights_.size(); ++s) {
        if (s != rest) open += weights_[s];
    }
    size_t best = strongest(true);
    if (!(weights_[best] > 0)) best = strongest(false);
    return best != rest && open >= weights_[rest] ? static_cast<int>(best) : rest_;
}

namespace {

// Cue building works in whole ticks of the resolution, so that lengths compare exactly.
struct Run {
    int64_t start, end;
    int shape;
    int64_t Length() const { return end - start; }
};

// Neighbours of equal shape become one; runs that rounding left empty disappear (the first keeps
// its start, the last its end).
void Tidy(std::vector<Run>& runs) {
    for (size_t i = 0; i < runs.size() && runs.size() > 1;) {
        if (runs[i].end <= runs[i].start) {
            if (i + 1 < runs.size()) {
                runs[i + 1].start = runs[i].start;
            } else {
                runs[i - 1].end = runs[i].end;
            }
            runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(i));
        } else if (i > 0 && runs[i].shape == runs[i - 1].shape) {
            runs[i - 1].end = runs[i].end;
            runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(i));
        } else {
            ++i;
        }
    }
}

// Until every run but the last lasts `hold`: the shortest run under it (open runs counted at
// `openPriority` times their length) takes the missing time from a neighbour that can spare it,
// or from both, if it lasts at least half the hold, otherwise it joins its longer neighbour.
void Hold(std::vector<Run>& runs, int64_t hold, int restShape, const CueSettings& settings) {
    const double priority = std::max(1.0, settings.openPriority);
    auto counted = [&](size_t i) {
        const bool open = runs[i].shape != restShape && runs[i].shape != settings.closedShape;
        return static_cast<double>(runs[i].Length()) * (open ? priority : 1.0);
    };
    while (runs.size() > 1) {
        size_t shortest = runs.size();
        for (size_t i = 0; i + 1 < runs.size(); ++i) {
            if (runs[i].Length() < hold &&
                (shortest == runs.size() || counted(i) < counted(shortest))) {
                shortest = i;
            }
        }
        if (shortest == runs.size()) break;
        const size_t i = shortest;
        const int64_t missing = hold - runs[i].Length();
        if (2 * runs[i].Length() >= hold) {
            // Lengthen it from the neighbour with the most to spare if that stays held, else
            // from both, the later giving what the earlier cannot of an even split.
            const int64_t spareBefore = i > 0 ? runs[i - 1].Length() - hold : -1;
            const int64_t spareAfter = i + 1 < runs.size() ? runs[i + 1].Length() - hold : -1;
            int64_t fromAfter = 0;
            if (spareAfter >= missing && spareAfter >= spareBefore) {
                fromAfter = missing;
            } else if (spareBefore >= missing) {
                fromAfter = 0;
            } else if (spareBefore > 0 && spareAfter > 0 && spareBefore + spareAfter >= missing) {
                fromAfter =
                    std::min(std::max(missing - missing / 2, missing - spareBefore), spareAfter);
            } else {
                fromAfter = -1;
            }
            if (fromAfter >= 0) {
                runs[i].end += fromAfter;
                runs[i].start -= missing - fromAfter;
                if (i + 1 < runs.size()) runs[i + 1].start = runs[i].end;
                if (i > 0) runs[i - 1].end = runs[i].start;
                continue;
            }
        }
        // Otherwise it joins the longer neighbour (the earlier one on a tie).
        size_t into;
        if (i == 0) {
            into = 1;
        } else if (i + 1 == runs.size()) {
            into = i - 1;
        } else {
            into = counted(i - 1) >= counted(i + 1) ? i - 1 : i + 1;
        }
        runs[into].start = std::min(runs[into].start, runs[i].start);
        runs[into].end = std::max(runs[into].end, runs[i].end);
        runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(i));
        Tidy(runs);
    }
}

}  // namespace

std::vector<MouthCue> BuildCues(std::span<const double> times, std::span<const int> shapes,
                                double duration, int restShape, const CueSettings& settings) {
    const double tick = settings.resolutionSeconds > 0 ? settings.resolutionSeconds : 0.01;
    // Dividing by the ticks per second gives 0.03, not 3 x 0.01 = 0.030000000000000002.
    const double perSecond = 1.0 / tick;
    const auto ticks = [tick](double seconds) {
        return static_cast<int64_t>(std::llround(seconds / tick));
    };
    const int64_t endTick = std::max<int64_t>(0, ticks(std::max(0.0, duration)));
    const int64_t hold = std::max<int64_t>(0, ticks(settings.minHoldSeconds));

    std::vector<Run> runs;
    const size_t frames = std::min(times.size(), shapes.size());
    for (size_t i = 0; i < frames; ++i) {
        const int64_t start =
            i == 0 ? 0 : std::clamp<int64_t>(ticks(0.5 * (times[i - 1] + times[i])), 0, endTick);
        if (!runs.empty() && runs.back().shape == shapes[i]) continue;
        if (!runs.empty()) runs.back().end = start;
        runs.push_back({start, endTick, shapes[i]});
    }
    if (runs.empty()) runs.push_back({0, endTick, restShape});
    Tidy(runs);

    const int64_t closure = ticks(settings.closureSeconds);
    if (settings.closedShape >= 0 && closure > 0) {
        for (size_t i = 1; i + 1 < runs.size(); ++i) {
            if (runs[i].shape == restShape && runs[i].Length() < closure &&
                runs[i - 1].shape != restShape && runs[i + 1].shape != restShape) {
                runs[i].shape = settings.closedShape;
            }
        }
        Tidy(runs);
    }
    Hold(runs, hold, restShape, settings);

    std::vector<MouthCue> cues;
    cues.reserve(runs.size());
    for (const Run& run : runs) {
        cues.push_back({static_cast<double>(run.start) / perSecond,
                        static_cast<double>(run.end) / perSecond, run.shape});
    }
    cues.front().start = 0;
    cues.back().end = std::max(0.0, duration);
    return cues;
}

int ShapeAt(const std::vector<MouthCue>& cues, double seconds, int restShape) {
    const auto after =
        std::upper_bound(cues.begin(), cues.end(), seconds,
                         [](double time, const MouthCue& cue) { return time < cue.start; });
    if (after == cues.begin()) return restShape;
    const MouthCue& cue = *(after - 1);
    return seconds < cue.end ? cue.shape : restShape;
}

}  // namespace Vocetta::Host
