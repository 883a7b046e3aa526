// Mouth cues as files that animation tools read: tsv, json, xml and a switch-layer dat file.
// Times are seconds with two decimals; shapes are the set's names.
#pragma once

#include <string>
#include <vector>

#include "vocetta/mouth_shapes.hpp"

namespace Vocetta::Tool {

enum class CueFormat { Tsv, Json, Xml, Dat };
// Throws UsageError when unknown.
CueFormat ParseCueFormat(const std::string& name);
const char* CueFormatExtension(CueFormat format);

struct CueTrack {
    std::string soundFile;  // as the user named it
    double duration = 0;    // seconds
    Host::ShapeSet set = Host::ShapeSet::Cartoon;
    std::vector<Host::MouthCue> cues;  // contiguous, from 0 to `duration`
};

struct CueLayout {
    int fps = 24;            // animation frames per second (dat, keyframes)
    bool keyframes = false;  // tsv and json: one entry per animation frame as well
};

// Keyframes are frames 0, 1, ... at k / fps seconds up to the duration, each the shape shown
// then. Throws UsageError for keyframes in a format that has none (xml, dat).
std::string FormatCues(const CueTrack& track, CueFormat format, const CueLayout& layout);

}  // namespace Vocetta::Tool
