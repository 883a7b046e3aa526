#include "vocetta/cues.hpp"

#include <cmath>

#include "vocetta/text.hpp"

namespace Vocetta::Host {
namespace {

// The shape shown on animation frames 0, 1, ... (frame k at k / fps seconds) to the end.
std::vector<int> Keyframes(const CueTrack& track, int fps) {
    const int rest = RestShape(track.set);
    const auto last = static_cast<long>(std::floor(track.duration * fps + 1e-9));
    std::vector<int> shapes;
    for (long frame = 0; frame <= last; ++frame) {
        shapes.push_back(ShapeAt(track.cues, static_cast<double>(frame) / fps, rest));
    }
    return shapes;
}

}  // namespace

ShapeSet ParseShapeSet(const std::string& name) {
    const auto set = ShapeSetFromName(name);
    if (!set) throw ShapeError("unknown shape set '" + name + "' (cartoon or visemes)");
    return *set;
}

CueTrackSettings CueTrackSettingsFrom(const CueArguments& arguments, float silenceVolume) {
    CueTrackSettings settings;
    settings.set = ParseShapeSet(arguments.shapes);
    settings.cues.minHoldSeconds = arguments.minHoldMs / 1000.0;
    settings.cues.closureSeconds = arguments.closureMs / 1000.0;
    settings.cues.closedShape = ClosedShape(settings.set);
    settings.cues.openPriority = arguments.openPriority;
    settings.mouth.attackSeconds = arguments.attackMs / 1000.0;
    settings.mouth.releaseSeconds = arguments.releaseMs / 1000.0;
    settings.mouth.sharpness = arguments.sharpness;
    settings.mouth.closedMargin = arguments.closedMargin;
    settings.mouth.lipMargin = arguments.lipMargin;
    settings.mouth.closedDipDb = arguments.closedDipDb;
    settings.mouth.lipDipDb = arguments.lipDipDb;
    settings.mouth.dipWindowSeconds = arguments.dipWindowMs / 1000.0;
    settings.mouth.silenceVolume = silenceVolume;
    settings.mouth.loudVolume =
        silenceVolume * kLoudOverSilence > 0 ? silenceVolume * kLoudOverSilence : 0.25f;
    return settings;
}

ShapeMap ProfileShapeMap(const Profile& profile, ShapeSet set, const std::string& origin) {
    std::vector<std::string> names;
    std::vector<ShapeWeights> weights;
    for (const Phoneme& phoneme : profile.phonemes) {
        names.push_back(phoneme.name);
        weights.push_back(phoneme.shapes);
    }
    return BuildShapeMap(set, names, weights, origin);
}

std::vector<int> DominantShapes(const ShapeMap& map, const MouthSettings& settings,
                                const CueFrames& frames) {
    const auto phonemes = static_cast<size_t>(map.phonemes);
    const size_t count = frames.times.size();
    if (frames.volumes.size() != count || frames.scores.size() != count * phonemes) {
        throw CueError("cue frames: " + std::to_string(count) + " times, " +
                       std::to_string(frames.volumes.size()) + " volumes and " +
                       std::to_string(frames.scores.size()) + " scores, not " +
                       std::to_string(phonemes) + " per frame");
    }
    MouthShapes mouth(map, settings);
    std::vector<int> shapes;
    shapes.reserve(count);
    for (size_t frame = 0; frame < count; ++frame) {
        mouth.Update(frames.scores.subspan(frame * phonemes, phonemes), frames.volumes[frame],
                     frames.hopSeconds);
        shapes.push_back(mouth.Dominant());
    }
    return shapes;
}

CueTrack BuildCueTrack(const ShapeMap& map, const CueTrackSettings& settings,
                       const CueFrames& frames, const std::string& soundFile, double duration) {
    const std::vector<int> shapes = DominantShapes(map, settings.mouth, frames);
    CueTrack track;
    track.soundFile = soundFile;
    track.duration = duration;
    track.set = map.set;
    track.cues = BuildCues(frames.times, shapes, duration, RestShape(map.set), settings.cues);
    return track;
}

CueFormat ParseCueFormat(const std::string& name) {
    if (name == "tsv") return CueFormat::Tsv;
    if (name == "json") return CueFormat::Json;
    if (name == "xml") return CueFormat::Xml;
    if (name == "dat") return CueFormat::Dat;
    throw CueError("unknown cue format '" + name + "' (tsv, json, xml or dat)");
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
    const std::vector<std::string>& names = ShapeNames(track.set);
    const std::string& rest = names[static_cast<size_t>(RestShape(track.set))];
    auto name = [&names](int shape) -> const std::string& {
        return names[static_cast<size_t>(shape)];
    };
    if (layout.keyframes && (format == CueFormat::Xml || format == CueFormat::Dat)) {
        throw CueError("--keyframes needs the tsv or json format");
    }
    if (layout.fps < 1) throw CueError("the frame rate must be at least 1");
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
            for (const MouthCue& cue : track.cues) {
                out += FormatFixed(cue.start, 2) + "\t" + name(cue.shape) + "\n";
            }
            return out + FormatFixed(track.duration, 2) + "\t" + rest + "\n";
        case CueFormat::Json: {
            Json metadata = {{"soundFile", track.soundFile}, {"duration", track.duration}};
            if (layout.keyframes) metadata["fps"] = layout.fps;
            Json cues = Json::array();
            for (const MouthCue& cue : track.cues) {
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
            out += "    <soundFile>" + EscapeMarkup(track.soundFile) + "</soundFile>\n";
            out += "    <duration>" + FormatFixed(track.duration, 2) + "</duration>\n";
            out += "  </metadata>\n  <mouthCues>\n";
            for (const MouthCue& cue : track.cues) {
                out += "    <mouthCue start=\"" + FormatFixed(cue.start, 2) + "\" end=\"" +
                       FormatFixed(cue.end, 2) + "\">" + EscapeMarkup(name(cue.shape)) +
                       "</mouthCue>\n";
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
            for (const MouthCue& cue : track.cues) {
                key(std::lround(cue.start * layout.fps) + 1, cue.shape);
            }
            const long end = std::lround(track.duration * layout.fps) + 1;
            const int restShape = RestShape(track.set);
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

}  // namespace Vocetta::Host
