// A whole recording's labels and mouth from its samples in memory, exactly as `vocetta analyze
// --cues` and `--curves` make them from a file of those samples: for what bakes dialogue without
// running the tool (an engine's importer, through voice.h).
#pragma once

#include <span>
#include <string>

#include "analysis.hpp"
#include "audio.hpp"
#include "labels.hpp"
#include "mouth.hpp"
#include "vocetta/library.hpp"

namespace Vocetta::Tool {

struct BakedLine {
    Recording recording;  // its path is the sound file the cues and curves name
    Analysis analysis;
    FrameLabels labels;
    MouthOptions mouth;
};

// `samples` (mono, full scale +-1) at `sampleRate`, their steady noise taken out first when
// `cleanNoise`, labelled with the tool's defaults and, with `transcript` (checked IPA), aligned to
// it. Throws ProfileError (naming `origin`) for a rate the profile cannot analyse, ToolError when
// the recording and its transcript cannot be aligned.
BakedLine BakeLine(const Host::Library& library, const Profile& profile, const std::string& origin,
                   std::span<const float> samples, int sampleRate, const std::string& soundFile,
                   bool cleanNoise, const MouthArguments& arguments, const std::string* transcript);

}  // namespace Vocetta::Tool
