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
// The csv or tsv table of FormatFrames a row at a time, for output that follows a stream.
std::string FrameTableHeader(const Profile& profile, const Analysis& analysis, char separator);
std::string FrameTableRow(const Analysis& analysis, size_t frame, const std::string& label,
                          char separator);
std::string FormatSegments(const Recording& recording, const std::vector<Segment>& segments,
                           Format format);

// One phone of a recording's transcript where the alignment put it, or a pause ("sil").
struct PhoneSegment {
    double start = 0, end = 0;  // seconds
    std::string phone;          // IPA, as SplitIpa gives it
    int word = 0;               // which word of the transcript, from 1; 0 in a pause
};

// The phones of labels aligned to a transcript (FrameLabels::phones), in order, each where its
// frames lie (boundaries as MergeSegments has them), the pauses between them as "sil", each phone
// with the word of Host::IpaWords it belongs to. ToolError (without the recording's name) when
// the labels have no transcript's phones, as when the recording is too short to say them all.
std::vector<PhoneSegment> PhoneSegments(const FrameLabels& labels, const Analysis& analysis);
// `words`: Host::IpaWords of the transcript, `written`: their names (Transcript::written).
// csv and tsv: start, end, phone, word, written (its word's written words, empty in a pause);
// json: the file, its duration, its words, their written words and its phones.
std::string FormatPhones(const Recording& recording, const std::vector<std::string>& words,
                         const std::vector<std::string>& written,
                         const std::vector<PhoneSegment>& phones, Format format);
// The words where they are said, each from its first phone's start to its last phone's end, the
// pauses between them left out: a subtitle's word timing. csv and tsv: start, end, word (from 1),
// written, ipa; json: the file, its duration and the words as objects of the same names.
std::string FormatWords(const Recording& recording, const std::vector<std::string>& words,
                        const std::vector<std::string>& written,
                        const std::vector<PhoneSegment>& phones, Format format);

}  // namespace Vocetta::Tool
