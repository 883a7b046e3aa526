#include "timeline.hpp"

#include <algorithm>

#include "error.hpp"
#include "output.hpp"

namespace Vocetta::Tool {

Format ParseFormat(const std::string& name) {
    if (name == "csv") return Format::Csv;
    if (name == "tsv") return Format::Tsv;
    if (name == "json") return Format::Json;
    throw UsageError("unknown format '" + name + "' (csv, tsv or json)");
}

const char* FormatExtension(Format format) {
    switch (format) {
        case Format::Csv:
            return ".csv";
        case Format::Tsv:
            return ".tsv";
        case Format::Json:
            return ".json";
    }
    return "";
}

std::vector<Segment> MergeSegments(const FrameLabels& labels, const Analysis& analysis,
                                   double minSeconds) {
    std::vector<Segment> segments;
    const size_t frames = analysis.FrameCount();
    for (size_t frame = 0; frame < frames; ++frame) {
        std::string label = labels.Name(frame);
        const double start =
            frame == 0 ? 0.0
                       : 0.5 * (analysis.frames[frame - 1].time + analysis.frames[frame].time);
        if (!segments.empty() && segments.back().phoneme == label) continue;
        if (!segments.empty()) segments.back().end = start;
        segments.push_back({start, 0.0, std::move(label)});
    }
    if (!segments.empty()) segments.back().end = std::max(analysis.seconds, segments.back().start);

    // Fold blips into a neighbour, shortest first, until none is left or one segment remains.
    while (minSeconds > 0 && segments.size() > 1) {
        size_t shortest = 0;
        for (size_t i = 1; i < segments.size(); ++i) {
            if (segments[i].end - segments[i].start <
                segments[shortest].end - segments[shortest].start) {
                shortest = i;
            }
        }
        const Segment& blip = segments[shortest];
        if (blip.end - blip.start >= minSeconds) break;
        size_t into;
        if (shortest == 0) {
            into = 1;
        } else if (shortest + 1 == segments.size()) {
            into = shortest - 1;
        } else {
            const Segment& before = segments[shortest - 1];
            const Segment& after = segments[shortest + 1];
            into =
                before.end - before.start >= after.end - after.start ? shortest - 1 : shortest + 1;
        }
        segments[into].start = std::min(segments[into].start, blip.start);
        segments[into].end = std::max(segments[into].end, blip.end);
        segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(shortest));
        // Neighbours that now carry the same label become one.
        for (size_t i = 1; i < segments.size();) {
            if (segments[i].phoneme == segments[i - 1].phoneme) {
                segments[i - 1].end = segments[i].end;
                segments.erase(segments.begin() + static_cast<std::ptrdiff_t>(i));
            } else {
                ++i;
            }
        }
    }
    return segments;
}

std::string FormatFrames(const Profile& profile, const Recording& recording,
                         const Analysis& analysis, const FrameLabels& labels, Format format) {
    std::string out;
    const size_t frames = analysis.FrameCount();
    const size_t phonemes = static_cast<size_t>(analysis.phonemes);
    out.reserve(frames * (24 + phonemes * 12));
    if (format == Format::Json) {
        Json names = Json::array();
        for (size_t p = 0; p < phonemes; ++p)
            names.push_back(profile.phonemes[p].name);
        Json rows = Json::array();
        for (size_t frame = 0; frame < frames; ++frame) {
            const FrameResult& result = analysis.frames[frame];
            const float* scores = analysis.Scores(frame);
            rows.push_back({{"time", result.time},
                            {"phoneme", labels.Name(frame)},
                            {"volume", result.volume},
                            {"scores", std::vector<float>(scores, scores + phonemes)}});
        }
        const Json document = {{"file", recording.path},
                               {"sampleRate", analysis.sampleRate},
                               {"blockSamples", analysis.ringLength},
                               {"hopSamples", analysis.hop},
                               {"phonemes", names},
                               {"frames", rows}};
        return JsonText(document, {.spread = 2}) + "\n";
    }
    const char separator = format == Format::Tsv ? '\t' : ',';
    out += FrameTableHeader(profile, analysis, separator);
    for (size_t frame = 0; frame < frames; ++frame)
        out += FrameTableRow(analysis, frame, labels.Name(frame), separator);
    return out;
}

std::string FrameTableHeader(const Profile& profile, const Analysis& analysis, char separator) {
    std::string out = "time";
    out += separator;
    out += "phoneme";
    out += separator;
    out += "volume";
    for (size_t p = 0; p < static_cast<size_t>(analysis.phonemes); ++p) {
        out += separator;
        out += CsvField(profile.phonemes[p].name, separator);
    }
    out += '\n';
    return out;
}

std::string FrameTableRow(const Analysis& analysis, size_t frame, const std::string& label,
                          char separator) {
    const FrameResult& result = analysis.frames[frame];
    std::string out = FormatNumber(result.time);
    out += separator;
    out += CsvField(label, separator);
    out += separator;
    out += FormatNumber(result.volume);
    const float* scores = analysis.Scores(frame);
    for (size_t p = 0; p < static_cast<size_t>(analysis.phonemes); ++p) {
        out += separator;
        out += FormatNumber(scores[p]);
    }
    out += '\n';
    return out;
}

std::string FormatSegments(const Recording& recording, const std::vector<Segment>& segments,
                           Format format) {
    std::string out;
    if (format == Format::Json) {
        Json rows = Json::array();
        for (const Segment& segment : segments) {
            rows.push_back(
                {{"start", segment.start}, {"end", segment.end}, {"phoneme", segment.phoneme}});
        }
        const Json document = {
            {"file", recording.path}, {"duration", recording.Seconds()}, {"segments", rows}};
        return JsonText(document, {.spread = 2}) + "\n";
    }
    const char separator = format == Format::Tsv ? '\t' : ',';
    out += std::string("start") + separator + "end" + separator + "phoneme\n";
    for (const Segment& segment : segments) {
        out += FormatNumber(segment.start) + separator + FormatNumber(segment.end) + separator +
               CsvField(segment.phoneme, separator) + "\n";
    }
    return out;
}

}  // namespace Vocetta::Tool
