#include "cue_export.hpp"

#include <cmath>
#include <cstdio>

#include "error.hpp"
#include "output.hpp"

namespace Vocetta::Tool {
namespace {

std::string Seconds(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", value);
    return text;
}

std::string XmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

// The shape shown on animation frames 0, 1, ... (frame k at k / fps seconds) to the end.
std::vector<int> Keyframes(const CueTrack& track, int fps) {
    const int rest = Host::RestShape(track.set);
    const auto last = static_cast<long>(std::floor(track.duration * fps + 1e-9));
    std::vector<int> shapes;
    for (long frame = 0; frame <= last; ++frame) {
        shapes.push_back(Host::ShapeAt(track.cues, static_cast<double>(frame) / fps, rest));
    }
    return shapes;
}

}  // namespace

CueFormat ParseCueFormat(const std::string& name) {
    if (name == "tsv") return CueFormat::Tsv;
    if (name == "json") return CueFormat::Json;
    if (name == "xml") return CueFormat::Xml;
    if (name == "dat") return CueFormat::Dat;
    throw UsageError("unknown cue format '" + name + "' (tsv, json, xml or dat)");
}

const char* CueFormatExtension(CueFormat format) {
    switch (format) {
        case CueFormat::Tsv:
            return ".tsv";
        case CueFormat::Json:
            return ".json";
        case CueFormat::Xml:
            return ".xml";
        case CueFormat::Dat:
            return ".dat";
    }
    return "";
}

std::string FormatCues(const CueTrack& track, CueFormat format, const CueLayout& layout) {
    const std::vector<std::string>& names = Host::ShapeNames(track.set);
    const std::string& rest = names[static_cast<size_t>(Host::RestShape(track.set))];
    auto name = [&names](int shape) -> const std::string& {
        return names[static_cast<size_t>(shape)];
    };
    if (layout.keyframes && (format == CueFormat::Xml || format == CueFormat::Dat)) {
        throw UsageError("--keyframes needs the tsv or json format");
    }
    if (layout.fps < 1) throw UsageError("the frame rate must be at least 1");
    std::string out;
    switch (format) {
        case CueFormat::Tsv:
            if (layout.keyframes) {
                const std::vector<int> frames = Keyframes(track, layout.fps);
                for (size_t frame = 0; frame < frames.size(); ++frame) {
                    out += std::to_string(frame) + "\t" + name(frames[frame]) + "\n";
                }
                return out;
            }
            for (const Host::MouthCue& cue : track.cues) {
                out += Seconds(cue.start) + "\t" + name(cue.shape) + "\n";
            }
            return out + Seconds(track.duration) + "\t" + rest + "\n";
        case CueFormat::Json: {
            Json metadata = {{"soundFile", track.soundFile}, {"duration", track.duration}};
            if (layout.keyframes) metadata["fps"] = layout.fps;
            Json cues = Json::array();
            for (const Host::MouthCue& cue : track.cues) {
                cues.push_back(
                    {{"start", cue.start}, {"end", cue.end}, {"value", name(cue.shape)}});
            }
            Json document = {{"metadata", metadata}, {"mouthCues", cues}};
            if (layout.keyframes) {
                Json keyframes = Json::array();
                const std::vector<int> frames = Keyframes(track, layout.fps);
                for (size_t frame = 0; frame < frames.size(); ++frame)
                    keyframes.push_back({{"frame", frame}, {"value", name(frames[frame])}});
                document["keyframes"] = keyframes;
            }
            // Seconds in hundredths, as the other cue formats write them.
            return JsonText(document, {.spread = 2, .decimals = 2}) + "\n";
        }
        case CueFormat::Xml:
            out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<lipSync>\n  <metadata>\n";
            out += "    <soundFile>" + XmlText(track.soundFile) + "</soundFile>\n";
            out += "    <duration>" + Seconds(track.duration) + "</duration>\n";
            out += "  </metadata>\n  <mouthCues>\n";
            for (const Host::MouthCue& cue : track.cues) {
                out += "    <mouthCue start=\"" + Seconds(cue.start) + "\" end=\"" +
                       Seconds(cue.end) + "\">" + XmlText(name(cue.shape)) + "</mouthCue>\n";
            }
            return out + "  </mouthCues>\n</lipSync>\n";
        case CueFormat::Dat: {
            // One line per switch: the 1-based frame at which a shape starts. A cue too short to
            // reach a frame of its own gives way to the next; the mouth rests at the end.
            struct Key {
                long frame;
                int shape;
            };
            std::vector<Key> keys;
            auto key = [&keys](long frame, int shape) {
                if (!keys.empty() && keys.back().frame >= frame) keys.pop_back();
                if (!keys.empty() && keys.back().shape == shape) return;
                keys.push_back({frame, shape});
            };
            for (const Host::MouthCue& cue : track.cues) {
                key(std::lround(cue.start * layout.fps) + 1, cue.shape);
            }
            const long end = std::lround(track.duration * layout.fps) + 1;
            const int restShape = Host::RestShape(track.set);
            if (!keys.empty() && keys.back().shape != restShape && keys.back().frame < end) {
                keys.push_back({end, restShape});
            }
            out += "MohoSwitch1\n";
            for (const Key& entry : keys) {
                out += std::to_string(entry.frame) + " " + name(entry.shape) + "\n";
            }
            return out;
        }
    }
    return out;
}

}  // namespace Vocetta::Tool
