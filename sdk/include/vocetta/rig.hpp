// A face rig's own blendshapes driven by the mouth: each of its curves a mix of a shape set's
// weights and the jaw's opening, so that curves baked for a line key the rig's blendshapes by
// their own names (ARKit's jawOpen and mouthFunnel, a VRM avatar's aa and oh, a studio's names).
//
//     const Host::Rig rig = Host::BuiltInRig("arkit").value();        // or Host::LoadRig(path)
//     const std::string csv = Host::FormatRigCurves(curves, rig, Host::CurveFormat::Csv);
//     Host::MixRig(rig, mouth.Weights(), mouth.Jaw(), values);        // live, once a frame
//
// A rig file (json; rigs/arkit.json and rigs/vrm.json are the built-in ones):
//
//     {"rig": "mine", "shapeSet": "visemes",
//      "curves": {"jawOpen": {"aa": 0.7, "oh": 0.5}, "lipsPucker": {"ou": 0.9, "jaw": -0.1}}}
//
// A curve is the sum of its factors times the weights of the shapes they name ("jaw": the jaw's
// opening), clipped to 0 ... 1, in the order the file lists the curves.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vocetta/cues.hpp"

namespace Vocetta::Host {

struct Rig {
    std::string name;  // what the file calls it ("arkit")
    ShapeSet set = ShapeSet::Visemes;
    std::vector<std::string> curves;  // the rig's names, in the file's order
    // Per curve, its factor on the jaw, then on each of the set's shapes in ShapeNames' order.
    std::vector<std::vector<float>> factors;
};

// CueError naming `origin` (the file) and the member: not a rig's json, no curves, a curve
// named by nothing or by what a csv column cannot hold, a factor on a name that is neither "jaw"
// nor a shape of the set, or one that is not a finite single-precision number.
Rig ParseRig(std::string_view json, const std::string& origin);
Rig LoadRig(const std::string& path);
// "arkit" and "vrm", or nothing.
std::optional<Rig> BuiltInRig(std::string_view name);
const std::vector<std::string>& BuiltInRigNames();
// Whether `name` is a rig file's (a path: it holds a '/' or ends in .json) rather than a built-in
// rig's, and the rig it names: LoadRig's or BuiltInRig's; CueError for a name that is neither.
bool NamesRigFile(std::string_view name);
Rig FindRig(const std::string& name);

// The rig's curves for one frame's shape weights (the set's order: MouthShapes::Weights(),
// SampleCurves; shapes beyond those given weigh nothing) and jaw, into the first `values` (one
// per rig.curves): a live mouth keys the rig with it.
void MixRig(const Rig& rig, std::span<const float> weights, float jaw, std::span<float> values);

// The rig's curves on `curves`' animation frames: frames x rig.curves. CueError when the curves
// are of another shape set than the rig mixes.
std::vector<float> RigValues(const Rig& rig, const ShapeCurves& curves);

// As FormatCurves writes the shapes' curves, with the rig's in their place: csv "frame,time,
// CURVE..." and a row per frame; json {"metadata": {"soundFile", "duration", "fps", "shapeSet",
// "rig", "frames"}, "curves": {CURVE: [...], ...}}. Values with four decimals.
std::string FormatRigCurves(const ShapeCurves& curves, const Rig& rig, CurveFormat format);

}  // namespace Vocetta::Host
