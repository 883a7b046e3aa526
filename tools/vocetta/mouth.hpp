// From an analysis to mouth shapes and cues, with the options every subcommand that draws or
// writes mouths shares (analyze --cues, preview, render --cues).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "command_line.hpp"
#include "cue_export.hpp"
#include "vocetta/mouth_shapes.hpp"

namespace Vocetta::Tool {

// Chosen on the validation voices' sentences (scripts/evaluate-mouth.py): 60 ms folds the
// flicker of single frames and still shows a closure of the lips at 24 frames per second; rests
// under 100 ms inside speech are stop closures rather than pauses.
inline constexpr double kDefaultMinHoldMs = 60.0;
inline constexpr double kDefaultClosureMs = 100.0;

// The mouth options as given on the command line.
struct MouthArguments {
    std::string shapes = "cartoon";
    double minHoldMs = kDefaultMinHoldMs;
    double closureMs = kDefaultClosureMs;
    double attackMs = 0.0;  // cues follow the phonemes at once; engines smooth their weights
    double releaseMs = 0.0;
    double sharpness = 3.0;
};

// --shapes, --min-hold, --closure, --attack, --release, --sharpness.
void AddMouthOptions(CommandLine& line, MouthArguments& arguments);

struct MouthOptions {
    Host::ShapeSet set = Host::ShapeSet::Cartoon;
    Host::MouthSettings mouth;
    Host::CueSettings cues;
};

// `silenceVolume` is the RMS level below which the mouth rests (--silence).
MouthOptions MouthFromOptions(const MouthArguments& arguments, float silenceVolume);

// The profile's phonemes mapped onto the set; ToolError naming `origin` when a phoneme has no
// shape.
Host::ShapeMap ShapeMapFor(const Profile& profile, Host::ShapeSet set, const std::string& origin);

// The winning shape of every frame after smoothing, as a host running MouthShapes would see it.
std::vector<int> DominantShapes(const Host::ShapeMap& map, const MouthOptions& options,
                                const Analysis& analysis);

CueTrack BuildCueTrack(const Host::ShapeMap& map, const MouthOptions& options,
                       const Recording& recording, const Analysis& analysis);

// A distinct, steady colour per shape (red, green, blue) for cue tracks; the rest shape is grey.
std::array<uint8_t, 3> ShapeColour(int shape, int restShape);

// Where a profile came from, for messages: the file (-p), or the built-in profile.
std::string ProfileOrigin(const std::string& profilePath);

}  // namespace Vocetta::Tool
