// The tool's json cues and curves read back, for an engine that plays baked lines: the files as
// FormatCues and FormatCurves write them, or as an animator has edited them since.
#include <cmath>
#include <limits>

#include "json_reader.hpp"
#include "vocetta/cues.hpp"

namespace Vocetta::Host {

CueTrack ParseCueTrack(std::string_view json, ShapeSet set, const std::string& origin) {
    const Reader read(origin);
    const Json document = read.Parse(json);
    const Json& metadata = read.Member(document, "metadata", "", Json::value_t::object);
    CueTrack track;
    track.set = set;
    track.duration = read.Seconds(metadata, "duration", "metadata");
    const auto sound = metadata.find("soundFile");
    if (sound != metadata.end() && sound->is_string()) track.soundFile = sound->get<std::string>();
    const Json& cues = read.Member(document, "mouthCues", "", Json::value_t::array);
    for (size_t i = 0; i < cues.size(); ++i) {
        const std::string where = "mouthCues[" + std::to_string(i) + "]";
        if (!cues[i].is_object()) read.Fail(where, "must be an object");
        MouthCue cue;
        cue.start = read.Seconds(cues[i], "start", where);
        cue.end = read.Seconds(cues[i], "end", where);
        const std::string name =
            read.Member(cues[i], "value", where, Json::value_t::string).get<std::string>();
        cue.shape = ShapeIndex(set, name);
        if (cue.shape < 0) {
            read.Fail(where + ".value", "'" + name + "' is not a shape of the " +
                                            std::string(ShapeSetName(set)) + " set");
        }
        if (!(cue.end > cue.start) || (i > 0 && cue.start < track.cues.back().end))
            read.Fail(where, "must end after it starts, and not before the cue before it ends");
        track.cues.push_back(cue);
    }
    return track;
}

CueTrack LoadCueTrack(const std::string& path, ShapeSet set) {
    return ParseCueTrack(ReadCueFile(path, "cue"), set, path);
}

int ShapeAt(const CueTrack& track, double seconds) {
    return ShapeAt(track.cues, seconds, RestShape(track.set));
}

ShapeCurves ParseShapeCurves(std::string_view json, const std::string& origin) {
    const Reader read(origin);
    const Json document = read.Parse(json);
    const Json& metadata = read.Member(document, "metadata", "", Json::value_t::object);
    const auto rig = metadata.find("rig");
    if (rig != metadata.end() && rig->is_string()) {
        read.Fail("metadata.rig", "the curves of the rig " + rig->get<std::string>() +
                                      ", which key its blendshapes as they are; this reads the "
                                      "shapes' own curves (--curves without --rig)");
    }
    ShapeCurves curves;
    curves.duration = read.Seconds(metadata, "duration", "metadata");
    const auto sound = metadata.find("soundFile");
    if (sound != metadata.end() && sound->is_string()) curves.soundFile = sound->get<std::string>();
    const Json& fps = read.Member(metadata, "fps", "metadata", Json::value_t::number_unsigned);
    if (fps.get<uint64_t>() < 1 || fps.get<uint64_t>() > 1000)
        read.Fail("metadata.fps", "must be 1 to 1000 frames per second");
    curves.fps = fps.get<int>();
    const std::string setName =
        read.Member(metadata, "shapeSet", "metadata", Json::value_t::string).get<std::string>();
    const auto set = ShapeSetFromName(setName);
    if (!set)
        read.Fail("metadata.shapeSet", "'" + setName + "' is no shape set (cartoon or visemes)");
    curves.set = *set;
    const Json& frames =
        read.Member(metadata, "frames", "metadata", Json::value_t::number_unsigned);
    const auto count = frames.get<uint64_t>();
    const Json& named = read.Member(document, "curves", "", Json::value_t::object);
    const std::vector<std::string>& shapes = ShapeNames(curves.set);
    // Every curve checked before any memory is set aside for them: a count that the lists do
    // not bear out is a mistake, however large.
    for (const auto& [name, values] : named.items()) {
        const std::string where = "curves." + name;
        if (name != "jaw" && ShapeIndex(curves.set, name) < 0)
            read.Fail(where, "is not a shape of the " + setName + " set");
        if (!values.is_array() || values.size() != count) {
            read.Fail(where,
                      "must be a list of " + std::to_string(count) + " values, one per frame");
        }
    }
    if (!named.contains("jaw")) read.Fail("curves", "missing \"jaw\"");
    for (const std::string& shape : shapes) {
        if (!named.contains(shape)) read.Fail("curves", "missing \"" + shape + "\"");
    }
    curves.weights.assign(count * shapes.size(), 0.0f);
    curves.jaw.assign(count, 0.0f);
    for (const auto& [name, values] : named.items()) {
        const int shape = name == "jaw" ? -1 : ShapeIndex(curves.set, name);
        for (size_t k = 0; k < count; ++k) {
            const double value = values[k].is_number() ? values[k].get<double>() : NAN;
            if (!(std::abs(value) <= std::numeric_limits<float>::max())) {
                read.Fail("curves." + name + "[" + std::to_string(k) + "]",
                          "must be a finite single-precision number");
            }
            (shape < 0 ? curves.jaw[k] : curves.weights[k * shapes.size() + size_t(shape)]) =
                static_cast<float>(value);
        }
    }
    return curves;
}

ShapeCurves LoadShapeCurves(const std::string& path) {
    return ParseShapeCurves(ReadCueFile(path, "curve"), path);
}

float SampleCurves(const ShapeCurves& curves, double seconds, std::span<float> weights) {
    const size_t shapes = ShapeNames(curves.set).size();
    const size_t count = curves.FrameCount();
    const size_t given = std::min(weights.size(), shapes);
    if (count == 0) {
        for (size_t s = 0; s < given; ++s)
            weights[s] = int(s) == RestShape(curves.set) ? 1.0f : 0.0f;
        return 0.0f;
    }
    double at = std::isnan(seconds) ? 0.0 : seconds * curves.fps;
    // A frame's own time (k / fps, which times fps may miss k by an ulp) reads that frame alone.
    if (std::abs(at - std::round(at)) < 1e-9) at = std::round(at);
    size_t k = 0;
    float part = 0.0f;
    if (at >= double(count - 1)) {
        k = count - 1;
    } else if (at > 0) {
        k = static_cast<size_t>(at);
        part = static_cast<float>(at - double(k));
    }
    const size_t next = std::min(k + 1, count - 1);
    for (size_t s = 0; s < given; ++s) {
        const float a = curves.weights[k * shapes + s], b = curves.weights[next * shapes + s];
        weights[s] = a + (b - a) * part;
    }
    return curves.jaw[k] + (curves.jaw[next] - curves.jaw[k]) * part;
}

}  // namespace Vocetta::Host
