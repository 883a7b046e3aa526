#include "vocetta/cues.hpp"

#include <cmath>

#include "vocetta/rig.hpp"
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

// A day of animation frames: a longer duration is a mistake, not a recording.
constexpr double kLongestCurveSeconds = 86400;

void CheckFrames(const ShapeMap& map, const CueFrames& frames) {
    const auto phonemes = static_cast<size_t>(map.phonemes);
    const size_t count = frames.times.size();
    if (frames.volumes.size() != count || frames.scores.size() != count * phonemes) {
        throw CueError("cue frames: " + std::to_string(count) + " times, " +
                       std::to_string(frames.volumes.size()) + " volumes and " +
                       std::to_string(frames.scores.size()) + " scores, not " +
                       std::to_string(phonemes) + " per frame");
    }
    if (!frames.silence.empty() && frames.silence.size() != count) {
        throw CueError("cue frames: " + std::to_string(count) + " times and " +
                       std::to_string(frames.silence.size()) + " silence marks");
    }
    if (!frames.shapes.empty() && frames.shapes.size() != count) {
        throw CueError("cue frames: " + std::to_string(count) + " times and " +
                       std::to_string(frames.shapes.size()) + " transcript shapes");
    }
}

bool SilentAt(const CueFrames& frames, size_t frame) {
    return !frames.silence.empty() && frames.silence[frame] != 0;
}

int SaidShapeAt(const CueFrames& frames, size_t frame) {
    return frames.shapes.empty() ? -1 : frames.shapes[frame];
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
    CheckFrames(map, frames);
    MouthShapes mouth(map, settings);
    std::vector<int> shapes;
    shapes.reserve(count);
    for (size_t frame = 0; frame < count; ++frame) {
        mouth.Update(frames.scores.subspan(frame * phonemes, phonemes), frames.volumes[frame],
                     frames.hopSeconds, SilentAt(frames, frame), SaidShapeAt(frames, frame));
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

ShapeCurves BuildShapeCurves(const ShapeMap& map, const MouthSettings& settings,
                             const CueFrames& frames, const std::string& soundFile, double duration,
                             int fps) {
    if (fps < 1) throw CueError("the frame rate must be at least 1");
    if (!(duration >= 0 && duration <= kLongestCurveSeconds)) {
        throw CueError("curves last 0 to " + FormatNumber(kLongestCurveSeconds) + " seconds, not " +
                       FormatNumber(duration));
    }
    const auto phonemes = static_cast<size_t>(map.phonemes);
    const auto shapes = static_cast<size_t>(map.shapes);
    const size_t count = frames.times.size();
    CheckFrames(map, frames);
    // The mouth at 0 s, at rest, then after every frame: points of the curves at their times.
    std::vector<double> times{0.0};
    std::vector<float> values(shapes + 1, 0.0f);  // per point the shapes, then the jaw
    values[static_cast<size_t>(RestShape(map.set))] = 1.0f;
    MouthShapes mouth(map, settings);
    for (size_t frame = 0; frame < count; ++frame) {
        mouth.Update(frames.scores.subspan(frame * phonemes, phonemes), frames.volumes[frame],
                     frames.hopSeconds, SilentAt(frames, frame), SaidShapeAt(frames, frame));
        if (frames.times[frame] <= times.back()) {  // a frame at 0 s replaces the rest
            times.pop_back();
            values.resize(values.size() - shapes - 1);
        }
        times.push_back(frames.times[frame]);
        values.insert(values.end(), mouth.Weights().begin(), mouth.Weights().end());
        values.push_back(mouth.Jaw());
    }

    ShapeCurves curves;
    curves.soundFile = soundFile;
    curves.duration = duration;
    curves.set = map.set;
    curves.fps = fps;
    const auto last = static_cast<long>(std::floor(duration * fps + 1e-9));
    size_t after = 0;  // the first point later than the frame's time
    for (long k = 0; k <= last; ++k) {
        const double time = static_cast<double>(k) / fps;
        while (after < times.size() && times[after] <= time)
            ++after;
        const size_t from = after == 0 ? 0 : after - 1;
        const size_t to = after < times.size() ? after : from;
        const double share = to == from ? 0.0 : (time - times[from]) / (times[to] - times[from]);
        for (size_t s = 0; s <= shapes; ++s) {
            const double a = values[from * (shapes + 1) + s];
            const double b = values[to * (shapes + 1) + s];
            (s < shapes ? curves.weights : curves.jaw)
                .push_back(static_cast<float>(a + (b - a) * share));
        }
    }
    return curves;
}

CurveFormat ParseCurveFormat(const std::string& name) {
    if (name == "csv") return CurveFormat::Csv;
    if (name == "json") return CurveFormat::Json;
    throw CueError("unknown curve format '" + name + "' (csv or json)");
}

const char* CurveFormatExtension(CurveFormat format) {
    return format == CurveFormat::Json ? ".json" : ".csv";
}

namespace {

// A curve file: `names` each with a value per frame of `curves` (`values`, frames x names), the
// metadata of `curves` and, for a rig's curves, its name.
std::string FormatCurveTable(const ShapeCurves& curves, const std::vector<std::string>& names,
                             const std::vector<float>& values, const std::string* rig,
                             CurveFormat format) {
    const size_t count = curves.FrameCount(), columns = names.size();
    if (format == CurveFormat::Json) {
        Json metadata = {{"soundFile", curves.soundFile},
                         {"duration", curves.duration},
                         {"fps", curves.fps},
                         {"shapeSet", ShapeSetName(curves.set)}};
        if (rig != nullptr) metadata["rig"] = *rig;
        metadata["frames"] = count;
        Json series = Json::object();
        for (size_t column = 0; column < columns; ++column) {
            Json list = Json::array();
            for (size_t frame = 0; frame < count; ++frame)
                list.push_back(values[frame * columns + column]);
            series[names[column]] = list;
        }
        return JsonText({{"metadata", metadata}, {"curves", series}},
                        {.spread = 2, .decimals = 4}) +
               "\n";
    }
    // Fields appended one by one: "," + a temporary trips GCC 12's -Wrestrict.
    std::string out = "frame,time";
    for (const std::string& name : names)
        (out += ',') += name;
    out += '\n';
    for (size_t frame = 0; frame < count; ++frame) {
        out += std::to_string(frame);
        (out += ',') += FormatFixed(static_cast<double>(frame) / curves.fps, 4);
        for (size_t column = 0; column < columns; ++column)
            (out += ',') += FormatFixed(values[frame * columns + column], 4);
        out += '\n';
    }
    return out;
}

void CheckCurves(const ShapeCurves& curves) {
    const size_t count = curves.FrameCount(), shapes = ShapeNames(curves.set).size();
    if (curves.fps < 1) throw CueError("the frame rate must be at least 1");
    if (curves.weights.size() != count * shapes) {
        throw CueError("curves: " + std::to_string(curves.weights.size()) + " weights for " +
                       std::to_string(count) + " frames of " + std::to_string(shapes) + " shapes");
    }
}

}  // namespace

std::string FormatCurves(const ShapeCurves& curves, CurveFormat format) {
    CheckCurves(curves);
    const std::vector<std::string>& shapes = ShapeNames(curves.set);
    std::vector<std::string> names = {"jaw"};
    names.insert(names.end(), shapes.begin(), shapes.end());
    std::vector<float> values;
    values.reserve(curves.FrameCount() * names.size());
    for (size_t frame = 0; frame < curves.FrameCount(); ++frame) {
        values.push_back(curves.jaw[frame]);
        for (size_t shape = 0; shape < shapes.size(); ++shape)
            values.push_back(curves.Weight(frame, static_cast<int>(shape)));
    }
    return FormatCurveTable(curves, names, values, nullptr, format);
}

std::string FormatRigCurves(const ShapeCurves& curves, const Rig& rig, CurveFormat format) {
    CheckCurves(curves);
    return FormatCurveTable(curves, rig.curves, RigValues(rig, curves), &rig.name, format);
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
