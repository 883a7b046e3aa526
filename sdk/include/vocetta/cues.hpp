// Mouth cues of a whole recording, for animation tools: the winning shape of every frame (a
// MouthShapes driven by the frames' scores and volumes), made into timed cues (BuildCues) and
// written as tsv, json, xml or a switch-layer dat file. The tool's `analyze --cues`, the Python
// package and a C++ host make the same bytes from the same frames.
//
//     const Host::CueTrackSettings settings = Host::CueTrackSettingsFrom({}, silenceVolume);
//     const Host::ShapeMap map = Host::ProfileShapeMap(profile, settings.set, "my profile");
//     const Host::CueTrack track = Host::BuildCueTrack(map, settings, frames, "line.wav", seconds);
//     const std::string text = Host::FormatCues(track, Host::CueFormat::Json, {});
#pragma once

#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "vocetta/mouth_shapes.hpp"
#include "vocetta/profile.hpp"

namespace Vocetta::Host {

// Chosen on the validation voices' sentences (scripts/evaluate-mouth.py --search): 40 ms folds
// the flicker of single frames and lasts a frame at 25 per second (1.7 ms short of one at 24;
// with the profile calibrated on more speakers, 50 ms showed only 44.3 % of the m, b, p steps of
// the 27 sentences closed, 40 ms 52.1 % of them and 57.2 % of the 216, with no fewer vowels open);
// rests under 150 ms inside speech are stop closures rather than pauses; the closed lips show
// wherever their class leads (with the built-in profile's 32 ms blocks the earlier margin 2, open
// priority 1.5 and lip dip 12 dB show 49.6 % of the m, b, p steps closed and 89.9 % of the vowel
// steps open; these defaults show 53.2 and 91.7 %), the teeth on the lip where the frame lies 20 dB
// under the loudest of the last 100 ms (which does better than any margin for them), and a short
// vowel wins its place over the consonants beside it, counting twice its length. The closed lips
// take no dip: m is as loud as its vowels in these voices.
inline constexpr double kDefaultMinHoldMs = 40.0;
inline constexpr double kDefaultClosureMs = 150.0;
inline constexpr double kDefaultCueSharpness = 3.0;
inline constexpr double kDefaultClosedMargin = 1.0;
inline constexpr double kDefaultLipMargin = 1.0;
inline constexpr double kDefaultOpenPriority = 2.0;
inline constexpr double kDefaultClosedDipDb = 0.0;
inline constexpr double kDefaultLipDipDb = 20.0;
inline constexpr double kDefaultDipWindowMs = 100.0;

// The cue options in the units a user gives them (the tool's --shapes, --min-hold, --closure,
// --attack, --release, --sharpness, --closed-margin, --lip-margin, --open-priority, --closed-dip,
// --lip-dip, --dip-window).
struct CueArguments {
    std::string shapes = "cartoon";
    double minHoldMs = kDefaultMinHoldMs;
    double closureMs = kDefaultClosureMs;
    double attackMs = 0.0;  // cues follow the phonemes at once; engines smooth their weights
    double releaseMs = 0.0;
    double sharpness = kDefaultCueSharpness;
    double closedMargin = kDefaultClosedMargin;
    double lipMargin = kDefaultLipMargin;
    double openPriority = kDefaultOpenPriority;
    double closedDipDb = kDefaultClosedDipDb;
    double lipDipDb = kDefaultLipDipDb;
    double dipWindowMs = kDefaultDipWindowMs;
};

struct CueTrackSettings {
    ShapeSet set = ShapeSet::Cartoon;
    MouthSettings mouth;
    CueSettings cues;
};

// ShapeSetFromName for names a user typed: ShapeError naming the sets for any other.
ShapeSet ParseShapeSet(const std::string& name);

// `silenceVolume` is the RMS level below which the mouth rests. Throws ShapeError for an unknown
// shape set.
CueTrackSettings CueTrackSettingsFrom(const CueArguments& arguments, float silenceVolume);

// The profile's phonemes mapped onto the set (their "shapes", else the built-in defaults for
// their names); ShapeError naming `origin` when a phoneme has no shape.
ShapeMap ProfileShapeMap(const Profile& profile, ShapeSet set, const std::string& origin);

// The frames of a recording in order, as an analyzer gave them.
struct CueFrames {
    std::span<const double> times;   // frame centres in seconds, ascending
    std::span<const float> volumes;  // one per frame
    std::span<const float> scores;   // frames x the profile's phonemes
    double hopSeconds = 0;           // time from one frame to the next
    // One per frame, non-zero where the labels call the frame silence (MouthShapes::Update); or
    // empty.
    std::span<const unsigned char> silence = {};
    // One per frame, the shape a line's transcript says the frame shows (TranscriptShapes) or -1
    // where its scores say; or empty.
    std::span<const int> shapes = {};
};

// A bad cue request (frames that do not match, a layout a format cannot have); the message says
// what.
class CueError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// The winning shape of every frame after smoothing, as a host running MouthShapes sees it.
std::vector<int> DominantShapes(const ShapeMap& map, const MouthSettings& settings,
                                const CueFrames& frames);

struct CueTrack {
    std::string soundFile;  // as the user named it
    double duration = 0;    // seconds
    ShapeSet set = ShapeSet::Cartoon;
    std::vector<MouthCue> cues;  // contiguous, from 0 to `duration`
};

CueTrack BuildCueTrack(const ShapeMap& map, const CueTrackSettings& settings,
                       const CueFrames& frames, const std::string& soundFile, double duration);

enum class CueFormat { Tsv, Json, Xml, Dat };
// "tsv", "json", "xml" or "dat"; CueError otherwise.
CueFormat ParseCueFormat(const std::string& name);
const char* CueFormatExtension(CueFormat format);  // ".tsv" ...

struct CueLayout {
    int fps = 24;            // animation frames per second (dat, keyframes)
    bool keyframes = false;  // tsv and json: one entry per animation frame as well
};

// Times are seconds with two decimals, shapes the set's names. Keyframes are frames 0, 1, ... at
// k / fps seconds up to the duration, each the shape shown then. Throws CueError for keyframes
// in a format that has none (xml, dat) and for a frame rate below 1.
std::string FormatCues(const CueTrack& track, CueFormat format, const CueLayout& layout);

// Shape weights and the jaw on every animation frame, for rigs that blend one blendshape (morph
// target) per shape rather than switch a drawing: curves to key in an engine or an animation tool.
struct ShapeCurves {
    std::string soundFile;  // as the user named it
    double duration = 0;    // seconds
    ShapeSet set = ShapeSet::Cartoon;
    int fps = 24;
    std::vector<float> weights;  // frame k at k / fps seconds, frames x the set's shapes
    std::vector<float> jaw;      // one per frame, 0 closed ... 1 fully open

    size_t FrameCount() const { return jaw.size(); }
    float Weight(size_t frame, int shape) const {
        return weights[frame * ShapeNames(set).size() + static_cast<size_t>(shape)];
    }
};

// A MouthShapes driven by the frames, read on animation frames 0, 1, ... at k / fps seconds up
// to the duration: its smoothed weights and jaw, linear between the two frame centres on either
// side, from rest (the rest shape alone, the jaw closed) at 0 s to the first centre, held after
// the last. CueError for frames that do not match the map, a frame rate below 1 or a duration
// that is not 0 to 86,400 s.
ShapeCurves BuildShapeCurves(const ShapeMap& map, const MouthSettings& settings,
                             const CueFrames& frames, const std::string& soundFile, double duration,
                             int fps);

enum class CurveFormat { Csv, Json };
// "csv" or "json"; CueError otherwise.
CurveFormat ParseCurveFormat(const std::string& name);
const char* CurveFormatExtension(CurveFormat format);  // ".csv", ".json"

// csv: a header "frame,time,jaw,SHAPE..." and a row per animation frame. json: {"metadata":
// {"soundFile", "duration", "fps", "shapeSet", "frames"}, "curves": {"jaw": [...], SHAPE: [...]
// ...}}, one array of a value per frame for each curve. Times and values with four decimals.
// CueError for weights that are not a row of the set's shapes per frame, or a frame rate below 1.
std::string FormatCurves(const ShapeCurves& curves, CurveFormat format);

// Reading them back, for an engine that plays baked lines beside their audio. The json cue files
// FormatCues writes (also those an animator has edited: cues in order, each ending after it
// starts and not before the one before it ends), their shapes named in `set` (the files do not
// say which); CueError naming `origin` (the file) and the member for anything else.
CueTrack ParseCueTrack(std::string_view json, ShapeSet set, const std::string& origin);
CueTrack LoadCueTrack(const std::string& path, ShapeSet set);
// The shape shown at `seconds`: the cue with start <= seconds < end, the rest shape outside.
int ShapeAt(const CueTrack& track, double seconds);

// The json curve files FormatCurves writes: every curve of the set's shapes and the jaw, each a
// value per frame, as "metadata" counts them. CueError naming `origin` and the member otherwise.
ShapeCurves ParseShapeCurves(std::string_view json, const std::string& origin);
ShapeCurves LoadShapeCurves(const std::string& path);
// The weights (the first weights.size() of the set's shapes) and the jaw (returned) at `seconds`:
// linear between the animation frames on either side, the first frame's before it and the last's
// after; with no frames, the rest shape alone and the jaw closed.
float SampleCurves(const ShapeCurves& curves, double seconds, std::span<float> weights);

}  // namespace Vocetta::Host
