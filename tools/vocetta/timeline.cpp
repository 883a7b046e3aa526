#include "timeline.hpp"

#include <algorithm>

#include "error.hpp"
#include "output.hpp"
#include "vocetta/transcript.hpp"

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

std::vector<PhoneSegment> PhoneSegments(const FrameLabels& labels, const Analysis& analysis) {
    // Each phone's text and word, in the order the alignment counts the phones.
    std::vector<std::string> phones;
    std::vector<int> wordOf;
    int word = 1;
    for (const std::string& phone : Host::SplitIpa(labels.transcript)) {
        if (phone == Host::kWordBreak) {
            ++word;
            continue;
        }
        phones.push_back(phone);
        wordOf.push_back(word);
    }
    const size_t frames = std::min(analysis.FrameCount(), labels.phones.size());
    if (std::none_of(labels.phones.begin(), labels.phones.begin() + std::ptrdiff_t(frames),
                     [](int phone) { return phone >= 0; })) {
        throw ToolError("too short to say its transcript's " + std::to_string(phones.size()) +
                        " phones: no phone timeline");
    }
    std::vector<PhoneSegment> segments;
    int last = -2;
    for (size_t frame = 0; frame < frames; ++frame) {
        const int phone = labels.phones[frame];
        if (phone == last) continue;
        last = phone;
        const double start =
            frame == 0 ? 0.0
                       : 0.5 * (analysis.frames[frame - 1].time + analysis.frames[frame].time);
        if (!segments.empty()) segments.back().end = start;
        const bool said = phone >= 0 && static_cast<size_t>(phone) < phones.size();
        segments.push_back({start, 0.0, said ? phones[size_t(phone)] : kSilenceLabel,
                            said ? wordOf[size_t(phone)] : 0});
    }
    segments.back().end = std::max(analysis.seconds, segments.back().start);
    return segments;
}

std::string FormatPhones(const Recording& recording, const std::vector<std::string>& words,
                         const std::vector<std::string>& written,
                         const std::vector<PhoneSegment>& phones, Format format) {
    if (format == Format::Json) {
        Json rows = Json::array();
        for (const PhoneSegment& phone : phones) {
            rows.push_back({{"start", phone.start},
                            {"end", phone.end},
                            {"phone", phone.phone},
                            {"word", phone.word}});
        }
        const Json document = {{"file", recording.path},
                               {"duration", recording.Seconds()},
                               {"words", Json(words)},
                               {"written", Json(written)},
                               {"phones", rows}};
        return JsonText(document, {.spread = 2}) + "\n";
    }
    const char separator = format == Format::Tsv ? '\t' : ',';
    std::string out = std::string("start") + separator + "end" + separator + "phone" + separator +
                      "word" + separator + "written\n";
    for (const PhoneSegment& phone : phones) {
        const bool said = phone.word > 0 && static_cast<size_t>(phone.word) <= written.size();
        out += FormatNumber(phone.start) + separator + FormatNumber(phone.end) + separator +
               CsvField(phone.phone, separator) + separator + std::to_string(phone.word) +
               separator + CsvField(said ? written[size_t(phone.word) - 1] : "", separator) + "\n";
    }
    return out;
}

std::string FormatWords(const Recording& recording, const std::vector<std::string>& words,
                        const std::vector<std::string>& written,
                        const std::vector<PhoneSegment>& phones, Format format) {
    struct Span {
        double start, end;
        int word;
    };
    // A word's phones lie together: the alignment says them in order, pauses only between words.
    std::vector<Span> spans;
    for (const PhoneSegment& phone : phones) {
        if (phone.word <= 0 || size_t(phone.word) > std::min(words.size(), written.size()))
            continue;
        if (!spans.empty() && spans.back().word == phone.word) {
            spans.back().end = phone.end;
        } else {
            spans.push_back({phone.start, phone.end, phone.word});
        }
    }
    if (format == Format::Json) {
        Json rows = Json::array();
        for (const Span& span : spans) {
            rows.push_back({{"start", span.start},
                            {"end", span.end},
                            {"word", span.word},
                            {"written", written[size_t(span.word) - 1]},
                            {"ipa", words[size_t(span.word) - 1]}});
        }
        const Json document = {
            {"file", recording.path}, {"duration", recording.Seconds()}, {"words", rows}};
        return JsonText(document, {.spread = 2}) + "\n";
    }
    const char separator = format == Format::Tsv ? '\t' : ',';
    std::string out = std::string("start") + separator + "end" + separator + "word" + separator +
                      "written" + separator + "ipa\n";
    for (const Span& span : spans) {
        out += FormatNumber(span.start) + separator + FormatNumber(span.end) + separator +
               std::to_string(span.word) + separator +
               CsvField(written[size_t(span.word) - 1], separator) + separator +
               CsvField(words[size_t(span.word) - 1], separator) + "\n";
    }
    return out;
}

}  // namespace Vocetta::Tool
