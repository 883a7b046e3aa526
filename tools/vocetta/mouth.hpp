// From an analysis to mouth shapes and cues, with the options every subcommand that draws or
// writes mouths shares (analyze --cues, preview, render --cues).
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "command_line.hpp"
#include "labels.hpp"
#include "vocetta/cues.hpp"

namespace Vocetta::Tool {

// The cue options and settings, and cue tracks and their files, are the SDK's (vocetta/cues.hpp).
using MouthArguments = Host::CueArguments;
using MouthOptions = Host::CueTrackSettings;
using Host::CueFormat;
using Host::CueFormatExtension;
using Host::CueLayout;
using Host::CueTrack;
using Host::FormatCues;

// --shapes, --min-hold, --closure, --attack, --release, --sharpness, --closed-margin,
// --lip-margin, --open-priority, --closed-dip, --lip-dip, --dip-window.
void AddMouthOptions(CommandLine& line, MouthArguments& arguments);

// `silenceVolume` is the RMS level below which the mouth rests (--silence); UsageError for an
// unknown shape set.
MouthOptions MouthFromOptions(const MouthArguments& arguments, float silenceVolume);

// The mouth of a recording as 'analyze --cues' has it: resting below the recording's own gate
// (MouthSilenceVolume of its `labels`); BuildCueTrack and BuildShapeCurves with the same `labels`
// rest it wherever they say silence as well.
MouthOptions RecordingMouth(const MouthArguments& arguments, const FrameLabels& labels,
                            const Analysis& analysis, const LabelSettings& settings);

// The profile's phonemes mapped onto the set; ToolError naming `origin` when a phoneme has no
// shape.
Host::ShapeMap ShapeMapFor(const Profile& profile, Host::ShapeSet set, const std::string& origin);

// The cues of the whole recording from its frames, the mouth resting in every frame its `labels`
// call silence.
CueTrack BuildCueTrack(const Host::ShapeMap& map, const MouthOptions& options,
                       const Recording& recording, const Analysis& analysis,
                       const FrameLabels& labels);

// Each shape's weight and the jaw on the animation frames at `fps`, from the same mouth.
Host::ShapeCurves BuildShapeCurves(const Host::ShapeMap& map, const MouthOptions& options,
                                   const Recording& recording, const Analysis& analysis, int fps,
                                   const FrameLabels& labels);

// A distinct, steady colour per shape (red, green, blue) for cue tracks; the rest shape is grey.
std::array<uint8_t, 3> ShapeColour(int shape, int restShape);

// Where a profile came from, for messages: the file (-p), or the built-in profile.
std::string ProfileOrigin(const std::string& profilePath);

}  // namespace Vocetta::Tool
