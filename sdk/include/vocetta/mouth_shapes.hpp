// Mouth shapes: what a character's face does with the job's output.
//
// Engines animate mouths, not phoneme labels. Per frame, MouthShapes takes the job's phoneme
// scores and the block's volume and gives one weight per mouth shape of a shape set, smoothed
// with separate attack and release times, sharpened so that the winning shape dominates, plus a
// jaw opening that follows the volume. BuildCues turns the winning shape of every frame into
// timed cues that hold each shape long enough to be seen.
//
//     Host::ShapeMap map = Host::BuildShapeMap(Host::ShapeSet::Cartoon, phonemeNames, {}, "mine");
//     Host::MouthShapes mouth(map, Host::MouthSettings{});
//     every frame: mouth.Update(scores, volume, secondsSinceLastFrame);
//                  blend rig by mouth.Weights(), open the jaw by mouth.Jaw()
//
// Update neither allocates nor locks, so it may run on an engine's audio or game thread.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "vocetta/profile.hpp"

namespace Vocetta::Host {

// Two built-in sets:
// - Cartoon, nine shapes: A closed lips (m, b, p), B slightly open with clenched teeth (most
//   consonants, "ee"), C open (e, "bed"), D wide open ("ah"), E slightly rounded ("aw", "er"),
//   F puckered ("oo", "w"), G upper teeth on lower lip (f, v), H tongue raised (l), X rest.
// - Visemes, fifteen: sil PP FF TH DD kk CH SS nn RR aa E ih oh ou.
enum class ShapeSet { Cartoon, Visemes };

const char* ShapeSetName(ShapeSet set);  // "cartoon", "visemes"
std::optional<ShapeSet> ShapeSetFromName(const std::string& name);
// The set's shapes in their fixed order; every weight vector follows it.
const std::vector<std::string>& ShapeNames(ShapeSet set);
// The shape of a closed, relaxed mouth: X (cartoon) or sil (visemes).
int RestShape(ShapeSet set);
// Closed lips, m b p: A (cartoon) or PP (visemes).
int ClosedShape(ShapeSet set);
// Upper teeth on the lower lip, f v: G (cartoon) or FF (visemes).
int LipShape(ShapeSet set);
// Index of `name` in the set, -1 when it has no such shape.
int ShapeIndex(ShapeSet set, const std::string& name);

// A bad mapping: the message names where it came from.
class ShapeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// What one phoneme of a profile says about shapes is its ShapeWeights (vocetta/profile.hpp, the
// "shapes" key): set name -> shape name -> weight. A phoneme may name either set, both or none.

// Checks one phoneme's weights: known set and shape names, finite, not negative, and a positive
// sum for every set named. `where` begins each message (for example "my.json: phonemes[2].shapes").
void ValidateShapeWeights(const ShapeWeights& weights, const std::string& where);

// How much of each shape every phoneme asks for: P rows of S weights, each row summing to 1.
struct ShapeMap {
    ShapeSet set = ShapeSet::Cartoon;
    int phonemes = 0;            // P
    int shapes = 0;              // S
    std::vector<float> weights;  // P x S, row-major

    float At(int phoneme, int shape) const {
        return weights[static_cast<size_t>(phoneme) * static_cast<size_t>(shapes) +
                       static_cast<size_t>(shape)];
    }
};

// The map for the phonemes `names` (in the profile's order). Phoneme p takes its row from
// explicitWeights[p] when that names `set` (normalised to sum 1), else from the built-in
// defaults for its name: the vowels A ("ah"), E ("bed"), I ("ee"), O ("aw"), U ("oo"), the
// consonant classes M (m, b, p), FV (f, v), S (s, sh), L, and sil. `explicitWeights` is empty or
// has one entry per phoneme. Throws ShapeError, naming `origin` and the phoneme, for bad weights
// or a phoneme that has neither.
ShapeMap BuildShapeMap(ShapeSet set, const std::vector<std::string>& names,
                       const std::vector<ShapeWeights>& explicitWeights, const std::string& origin);

// How far above the silence level the jaw is fully open when the silence level is a gate that
// follows the speaker (28 dB), as in a whole recording's cue track.
inline constexpr float kLoudOverSilence = 25.0f;

struct MouthSettings {
    // Time constants (seconds) of the one-pole smoothing while a weight rises and while it
    // falls: a step from 0 to 1 reaches 1 - 1/e after `attackSeconds`. 0 follows at once.
    double attackSeconds = 0.02;
    double releaseSeconds = 0.05;
    // Exponent on the frame's shape weights before they are normalised again: 1 leaves them as
    // the scores give them, larger values let the winning shape take over.
    double sharpness = 3.0;
    // RMS volumes: below `silenceVolume` the mouth goes to rest and the jaw closes; the jaw
    // opens with the logarithm of the volume and is fully open at `loudVolume`.
    float silenceVolume = 0.01f;  // -40 dBFS
    float loudVolume = 0.25f;     // about -12 dBFS
    // How many times the closed lips (ClosedShape) and the teeth on the lip (LipShape) must
    // outweigh another speaking shape to be the one shown (Dominant); the weights themselves are
    // left alone. The edges of vowels next to nasals and fricatives score a little of those
    // classes, and a face that snaps shut or bites its lip there looks wrong. 1 or more.
    double closedMargin = 1.0;
    double lipMargin = 1.0;
    // Fricatives and closures radiate less sound than the vowels around them: f and v lie well
    // under their vowels, b and p closures are near silent. Above 0, the teeth on the lip
    // (`lipDipDb`) or the closed lips (`closedDipDb`) are shown only in a frame whose volume lies
    // at least that many dB under the loudest frame of the last `dipWindowSeconds` (this one
    // included); elsewhere the strongest other speaking shape is. A vowel's edge next to z keeps
    // its vowel's level and stays open. 0 leaves the shape to its margin alone.
    double closedDipDb = 0;
    double lipDipDb = 0;
    double dipWindowSeconds = 0.1;
};

class MouthShapes {
  public:
    // Throws ShapeError for settings out of range (negative times, sharpness or a margin below 1,
    // a loud volume not above the silence volume, a negative dip or dip window).
    MouthShapes(ShapeMap map, const MouthSettings& settings);

    // Back to rest: the rest shape at weight 1, the jaw closed.
    void Reset();
    // Moves the rest level and the fully open one (MouthSettings::silenceVolume, loudVolume)
    // from the next frame on, for a level that follows the speaker: with a LevelGate, its gate
    // and kLoudOverSilence times that, as a whole recording's cue track has them. Throws ShapeError
    // as the constructor does, leaving both as they were.
    void SetVolumes(float silenceVolume, float loudVolume);
    // SetVolumes for a gate that follows the speaker (LiveLabels::MouthGate): rest under `gate`,
    // fully open kLoudOverSilence times above it; a gate of 0 (no speech heard yet) gives back
    // the levels the mouth was made with.
    void FollowGate(float gate);
    // One frame: the P scores the job wrote (normalised, or all 0 when it found nothing), the
    // block's volume, and the time since the previous frame. `silence`: the labels call the frame
    // silence (a whole recording's smoothed track, as its cues have it), and the mouth rests
    // however loud it is. Without it a loud frame opens the mouth whatever the scores say, which
    // keeps breathy vowels open but lets a noisy pause above the gate talk. `shape`, when it is
    // one of the set's (0 to S - 1), is the shape the frame is known to show (a line's transcript
    // names the consonant there, Host::TranscriptShapes): it takes the place of the shapes the
    // scores ask for, however quiet the frame or whatever `silence` says (a stop's closure is
    // silent), and the jaw follows the volume.
    void Update(std::span<const float> scores, float volume, double elapsedSeconds,
                bool silence = false, int shape = -1);

    // This frame's sharpened weights before smoothing (sum 1).
    std::span<const float> Target() const { return target_; }
    // The smoothed weights; they sum to 1 when attack and release are equal, otherwise they
    // run above or below 1 during a change.
    std::span<const float> Weights() const { return weights_; }
    // Jaw opening, 0 (closed) ... 1 (fully open), smoothed like the weights: the volume's share,
    // scaled by how far the frame's shapes are from rest.
    float Jaw() const { return jaw_; }
    // The shape to show: the rest shape while its smoothed weight exceeds that of all other
    // shapes together, otherwise the strongest other shape, the closed and lip shapes' weights
    // divided by their margins (the lower index on equal weights), each of the two only in a
    // frame that dips far enough under the recent loudest (MouthSettings::closedDipDb, lipDipDb)
    // or where no other speaking shape has any weight.
    int Dominant() const;
    const ShapeMap& Map() const { return map_; }
    const MouthSettings& Settings() const { return settings_; }

  private:
    ShapeMap map_;
    MouthSettings settings_;
    float madeSilence_, madeLoud_;  // the levels of the settings it was made with
    int rest_ = 0, closed_ = 0, lip_ = 0;
    std::vector<float> target_, weights_;
    float jaw_ = 0;
    // The volumes of the last dipWindowSeconds that no later frame was as loud as, oldest (and
    // loudest) first: a ring of fixed size, so that Update never allocates.
    struct Heard {
        double time;
        float volume;
    };
    std::vector<Heard> recent_;
    size_t first_ = 0, count_ = 0;
    double clock_ = 0;
    // The largest share of the recent loudest volume a frame may reach and still show the closed
    // lips, or the teeth on the lip; and whether this frame did.
    double closedDip_ = 1, lipDip_ = 1;
    bool closedQuiet_ = true, lipQuiet_ = true;
};

// A span of time during which one shape is shown.
struct MouthCue {
    double start = 0, end = 0;  // seconds
    int shape = 0;              // index into the set's shapes
};

struct CueSettings {
    // Every cue but the last lasts at least this long (seconds).
    double minHoldSeconds = 0.07;
    // Cue boundaries fall on whole multiples of this (seconds, above 0).
    double resolutionSeconds = 0.01;
    // A rest between two other cues that is shorter than this is a closure inside speech (the
    // lips meet for m, b, p, or the mouth shuts for another stop) and shows `closedShape`
    // instead; -1 keeps every rest.
    double closureSeconds = 0;
    int closedShape = -1;
    // A cue under the hold that joins a neighbour favours an open one (neither the rest shape
    // nor `closedShape`): open cues count their length times this, both in which cue goes first
    // (the shortest so counted) and in which neighbour is longer. A short vowel between two
    // consonants is then shown over them rather than swallowed. 1 counts every cue alike.
    double openPriority = 1.0;
};

// Cues from the winning shape of every frame (`times`: frame centres in seconds, ascending;
// `shapes`: one shape each). A boundary lies halfway between the centres of the two frames on
// either side, rounded to the resolution; the first cue starts at 0, the last ends at `duration`,
// so the cues cover it without gap or overlap, and neighbours differ. A cue shorter than the
// hold takes the missing time from a neighbour that can spare it, or else from both, if it lasts
// at least half the hold (a short closure is worth showing), otherwise it joins its longer
// neighbour (CueSettings::openPriority). Short rests inside speech become closures first.
// Without frames the whole duration is one cue of `restShape`.
std::vector<MouthCue> BuildCues(std::span<const double> times, std::span<const int> shapes,
                                double duration, int restShape, const CueSettings& settings);

// The cue shown at `seconds`: the one with start <= seconds < end, the rest shape outside all.
int ShapeAt(const std::vector<MouthCue>& cues, double seconds, int restShape);

}  // namespace Vocetta::Host
