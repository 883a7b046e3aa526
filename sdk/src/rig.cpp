#include "vocetta/rig.hpp"

#include <algorithm>
#include <utility>

#include "json_reader.hpp"

namespace Vocetta::Host {

// The built-in rigs' files, compiled in from rigs/ (built_in_rigs.cpp).
const std::vector<std::pair<std::string, std::string>>& BuiltInRigFiles();

Rig ParseRig(std::string_view json, const std::string& origin) {
    const Reader read(origin);
    const Json document = read.Parse(json);
    Rig rig;
    rig.name = read.Member(document, "rig", "", Json::value_t::string).get<std::string>();
    const std::string setName =
        read.Member(document, "shapeSet", "", Json::value_t::string).get<std::string>();
    const std::optional<ShapeSet> set = ShapeSetFromName(setName);
    if (!set) read.Fail("shapeSet", "'" + setName + "' is no shape set (cartoon or visemes)");
    rig.set = *set;
    const std::vector<std::string>& shapes = ShapeNames(rig.set);
    const Json& curves = read.Member(document, "curves", "", Json::value_t::object);
    if (curves.empty()) read.Fail("curves", "must name at least one curve");
    for (const auto& [name, mix] : curves.items()) {
        const std::string where = "curves." + name;
        if (name.empty() || name.find_first_of(",\"\n\r") != std::string::npos)
            read.Fail(where, "a curve's name must be a column's: not empty, no comma or quote");
        if (!mix.is_object()) read.Fail(where, "must be an object of factors");
        std::vector<float> factors(1 + shapes.size(), 0.0f);
        for (const auto& [source, factor] : mix.items()) {
            const auto shape = std::find(shapes.begin(), shapes.end(), source);
            if (source != "jaw" && shape == shapes.end()) {
                std::string names = "jaw";
                for (const std::string& known : shapes)
                    names += " " + known;
                read.Fail(where, "'" + source + "' is neither the jaw nor a shape of the " +
                                     setName + " set (" + names + ")");
            }
            if (!factor.is_number() || !std::isfinite(factor.get<float>()))
                read.Fail(where + "." + source, "must be a number of single precision");
            factors[source == "jaw" ? 0 : 1 + static_cast<size_t>(shape - shapes.begin())] =
                factor.get<float>();
        }
        rig.curves.push_back(name);
        rig.factors.push_back(std::move(factors));
    }
    return rig;
}

Rig LoadRig(const std::string& path) {
    return ParseRig(ReadCueFile(path, "rig"), path);
}

std::optional<Rig> BuiltInRig(std::string_view name) {
    for (const auto& [known, json] : BuiltInRigFiles()) {
        if (known == name) return ParseRig(json, "built-in rig " + known);
    }
    return std::nullopt;
}

const std::vector<std::string>& BuiltInRigNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const auto& file : BuiltInRigFiles())
            all.push_back(file.first);
        return all;
    }();
    return names;
}

bool NamesRigFile(std::string_view name) {
    return name.find('/') != std::string_view::npos || name.ends_with(".json");
}

Rig FindRig(const std::string& name) {
    if (NamesRigFile(name)) return LoadRig(name);
    if (std::optional<Rig> rig = BuiltInRig(name)) return *rig;
    std::string known;
    for (const std::string& builtIn : BuiltInRigNames())
        known += (known.empty() ? "" : ", ") + builtIn;
    throw CueError("'" + name + "' is no built-in rig (" + known +
                   "); a rig file is a path or ends in .json");
}

void MixRig(const Rig& rig, std::span<const float> weights, float jaw, std::span<float> values) {
    for (size_t curve = 0; curve < rig.factors.size() && curve < values.size(); ++curve) {
        const std::vector<float>& factors = rig.factors[curve];
        float value = factors[0] * jaw;
        for (size_t shape = 0; shape + 1 < factors.size() && shape < weights.size(); ++shape)
            value += factors[1 + shape] * weights[shape];
        // Not a number (weights that are none) rests, and -0 is 0: a file never says "-0.0000".
        values[curve] = value > 0.0f ? std::min(value, 1.0f) : 0.0f;
    }
}

std::vector<float> RigValues(const Rig& rig, const ShapeCurves& curves) {
    if (curves.set != rig.set) {
        throw CueError("the rig " + rig.name + " mixes the " + ShapeSetName(rig.set) +
                       " set, not the " + ShapeSetName(curves.set) + " set of these curves");
    }
    const size_t shapes = ShapeNames(curves.set).size(), count = curves.FrameCount();
    const size_t width = rig.curves.size();
    std::vector<float> values(count * width);
    for (size_t frame = 0; frame < count; ++frame) {
        MixRig(rig, std::span<const float>(curves.weights).subspan(frame * shapes, shapes),
               curves.jaw[frame], std::span<float>(values).subspan(frame * width, width));
    }
    return values;
}

}  // namespace Vocetta::Host
