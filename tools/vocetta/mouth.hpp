// From an analysis to mouth shapes and cues, with the options every subcommand that draws or
// writes mouths shares (analyze --cues, preview, render --cues).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "cue_export.hpp"
#include "options.hpp"
#include "vocetta/mouth_shapes.hpp"

namespace Vocetta::Tool {

// Chosen on speech: 70 ms keeps a closure of the lips visible at 24 frames per second while
// folding the flicker of single frames.
inline constexpr double kDefaultMinHoldMs = 70.0;
inline constexpr double kDefaultClosureMs = 0.0;

#define VOCETTA_MOUTH_OPTIONS                                                          \
    OptionSpec{nullptr, "--shapes", true}, OptionSpec{nullptr, "--min-hold", true},    \
        OptionSpec{nullptr, "--closure", true}, OptionSpec{nullptr, "--attack", true}, \
        OptionSpec{nullptr, "--release", true}, OptionSpec {                           \
        nullptr, "--sharpness", true                                                   \
    }

inline constexpr const char* kMouthHelp =
    "      --shapes SET     cartoon (A-H and X, the default) or visemes (sil PP FF TH DD kk CH\n"
    "                       SS nn RR aa E ih oh ou)\n"
    "      --min-hold MS    every cue but the last lasts at least this long (default 70)\n"
    "      --closure MS     a rest shorter than this inside speech shows closed lips (A, PP)\n"
    "                       (default 0: none)\n"
    "      --attack MS      time constant of a shape's rise (default 20)\n"
    "      --release MS     time constant of a shape's fall (default 50)\n"
    "      --sharpness K    exponent that lets the winning shape dominate, 1 = none (default 3)\n";

struct MouthOptions {
    Host::ShapeSet set = Host::ShapeSet::Cartoon;
    Host::MouthSettings mouth;
    Host::CueSettings cues;
};

// `silenceVolume` is the RMS level below which the mouth rests (--silence).
MouthOptions MouthFromOptions(const Options& options, float silenceVolume);

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

// Where a profile came from, for messages: the file, or the built-in profile.
std::string ProfileOrigin(const Options& options);

}  // namespace Vocetta::Tool
