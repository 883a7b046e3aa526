// Turning an analysis into text: one row per frame, or timed segments for animators.
#pragma once

#include <string>
#include <vector>

#include "analysis.hpp"
#include "labels.hpp"

namespace Vocetta::Tool {

enum class Format { Csv, Tsv, Json };
Format ParseFormat(const std::string& name);  // UsageError when unknown
const char* FormatExtension(Format format);

struct Segment {
    double start = 0, end = 0;  // seconds
    std::string phoneme;
};

// Consecutive frames with the same label form one segment; a boundary lies halfway between the
// centres of the two frames on either side, the first segment starts at 0 and the last ends with
// the recording. Segments shorter than `minSeconds` join their longer neighbour.
std::vector<Segment> MergeSegments(const FrameLabels& labels, const Analysis& analysis,
                                   double minSeconds);

std::string FormatFrames(const Profile& profile, const Recording& recording,
                         const Analysis& analysis, const FrameLabels& labels, Format format);
std::string FormatSegments(const Recording& recording, const std::vector<Segment>& segments,
                           Format format);

}  // namespace Vocetta::Tool
