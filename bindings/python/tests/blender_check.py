"""The Blender add-on inside Blender, as an animator uses it:

    blender -b --factory-startup --python-exit-code 1 --python blender_check.py -- \
        PACKAGE_DIR ADDON RECORDING PYTHON_VERSION

Keys made from the package's curves and cues must be those curves and cues, read back through
Blender's own evaluation of the animation; the add-on's operator must key the active object and
place the sound; a face without the shapes' keys must be refused with nothing keyed."""

import importlib.util
import math
import sys

package_dir, addon_path, recording, built_for = sys.argv[sys.argv.index("--") + 1:]
if "%d.%d" % sys.version_info[:2] != built_for:
    print("skipped: Blender runs Python %d.%d, the package is built for %s"
          % (sys.version_info[:2] + (built_for,)))
    sys.exit(77)
sys.path.insert(0, package_dir)

import bpy  # noqa: E402
import numpy as np  # noqa: E402

import vocetta  # noqa: E402
import vocetta.blender  # noqa: E402

failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED: " + what)


def face(name, keys):
    bpy.ops.mesh.primitive_plane_add()
    obj = bpy.context.active_object
    obj.name = name
    obj.shape_key_add(name="Basis")
    for key in keys:
        obj.shape_key_add(name=key)
    return obj


def value_at(obj, key, frame):
    """The key's value as Blender shows it at `frame` (fractional frames too)."""
    bpy.context.scene.frame_set(int(frame), subframe=frame - int(frame))
    return obj.data.shape_keys.key_blocks[key].value


scene = bpy.context.scene
scene.render.fps, scene.render.fps_base, scene.frame_start = 30, 1.0, 10

# Curves: every frame keyed, linear between frames, the jaw on its own key.
visemes = vocetta.shape_names("visemes")
curves = vocetta.curves_file(recording, shapes="visemes", fps=vocetta.blender.scene_fps())
check(curves.fps == 30, "curves at the scene's rate")
obj = face("Face", [name for name in visemes if name != "sil"] + ["jaw"])
keyed = vocetta.blender.key_curves(obj, curves)
check(keyed == [name for name in visemes if name != "sil"] + ["jaw"], "keyed: %s" % keyed)
for name, expected in (("aa", curves.weight("aa")), ("ou", curves.weight("ou")),
                       ("jaw", curves.jaw)):
    shown = np.array([value_at(obj, name, 10 + k) for k in range(len(curves))])
    check(np.allclose(shown, expected, atol=1e-6), "%s keyed on every frame" % name)
    k = int(np.argmax(np.abs(np.diff(expected))))  # the steepest step: halfway is its mean
    check(abs(value_at(obj, name, 10 + k + 0.5) - (expected[k] + expected[k + 1]) / 2) < 1e-5,
          "%s linear between frames" % name)
check(max(curves.weight("aa")) > 0.5 and max(curves.jaw) > 0.5, "the line opens the mouth")
# Keying again replaces the keys rather than adding to them.
vocetta.blender.key_curves(obj, curves, start_frame=100)
curve = obj.data.shape_keys.animation_data.action.fcurves.find('key_blocks["aa"].value')
check(len(curve.keyframe_points) == len(curves) and curve.keyframe_points[0].co[0] == 100,
      "keyed again from frame 100: %d points" % len(curve.keyframe_points))

# A jaw bone: the opening as a turn about the bone's axis, in the bone's own rotation mode.
bpy.ops.object.armature_add()
rig = bpy.context.active_object
rig.name = "Rig"
rig.pose.bones[0].name = "jaw"
jaw = rig.pose.bones["jaw"]
for mode in ("XYZ", "QUATERNION", "AXIS_ANGLE"):
    jaw.rotation_mode = mode
    path = vocetta.blender.key_jaw_bone(rig, "jaw", curves, degrees=-12, axis="X")
    worst = 0.0
    for k in range(0, len(curves), 7):
        bpy.context.scene.frame_set(10 + k)
        turn = jaw.matrix_basis.to_euler("XYZ")
        want = math.radians(-12) * curves.jaw[k]
        worst = max(worst, abs(turn.x - want), abs(turn.y), abs(turn.z))
    check(worst < 1e-5 and max(curves.jaw) > 0.5,
          "%s jaw turned about X by the opening: %s, %g off" % (mode, path, worst))
for call, message in ((lambda: vocetta.blender.key_jaw_bone(obj, "jaw", curves), "not an armature"),
                      (lambda: vocetta.blender.key_jaw_bone(rig, "chin", curves), "no bone 'chin'"),
                      (lambda: vocetta.blender.key_jaw_bone(rig, "jaw", curves, axis="W"),
                       "axis must be X, Y or Z")):
    try:
        call()
        check(False, "refused: " + message)
    except ValueError as error:
        check(message in str(error), "message: %s" % error)

# Cues: switches, held; the rest shape needs no key; a mapping to the rig's own names.
cues = vocetta.cues_file(recording)
cartoon = face("Cartoon", ["mouth_" + name for name in "ABCDEFGH"])
keyed = vocetta.blender.key_cues(cartoon, cues, start_frame=1,
                                 names={name: "mouth_" + name for name in "ABCDEFGH"})
check(keyed == ["mouth_" + name for name in "ABCDEFGH"], "cue keys: %s" % keyed)
wrong = 0
for cue in cues:
    middle = 1 + (cue.start + cue.end) / 2 * 30
    for name in "ABCDEFGH":
        wrong += value_at(cartoon, "mouth_" + name, middle) != (1.0 if cue.shape == name else 0.0)
check(wrong == 0 and len(cues) > 10, "cues shown held: %d wrong of %d cues" % (wrong, len(cues)))

# Refusals name the object and change nothing.
bare = face("Bare", ["smile"])
for call, message in (
        (lambda: vocetta.blender.key_curves(bare, curves), "has no shape key for any shape"),
        (lambda: vocetta.blender.key_curves(bare, curves, names={"aah": "smile"}),
         "names: aah not a shape"),
        (lambda: vocetta.blender.key_curves(bare, curves, names={"aa": "smil"}),
         "names: the object 'Bare' has no shape key aa -> 'smil'"),
        (lambda: vocetta.blender.key_curves(None, curves), "no object: select the face"),
        (lambda: vocetta.blender.key_cues(face("Flat", []), cues), "has no shape key")):
    try:
        call()
        check(False, "refused: " + message)
    except ValueError as error:
        check(message in str(error), "message: %s" % error)
check(bare.data.shape_keys.animation_data is None, "nothing keyed on a refused object")

# The add-on as Blender loads it: Object > Lip Sync from Audio on the active object.
spec = importlib.util.spec_from_file_location("vocetta_lip_sync", addon_path)
addon = importlib.util.module_from_spec(spec)
spec.loader.exec_module(addon)
check(addon.bl_info["category"] == "Animation", "the add-on's bl_info")
addon.register()
target = face("Operated", [name for name in visemes if name != "sil"])
jaw.rotation_mode = "XYZ"
rig.animation_data_clear()
result = bpy.ops.object.vocetta_lip_sync(filepath=recording, shapes="visemes", mode="curves",
                                         start_frame=10, jaw_armature="Rig", jaw_bone="jaw")
check(result == {"FINISHED"}, "the operator: %s" % result)
check(target.data.shape_keys.animation_data is not None and
      len(target.data.shape_keys.animation_data.action.fcurves) == len(visemes) - 1,
      "the operator keyed every viseme")
check(rig.animation_data is not None and
      rig.animation_data.action.fcurves.find('pose.bones["jaw"].rotation_euler') is not None,
      "the operator keyed the jaw bone")
strips = scene.sequence_editor.sequences_all if scene.sequence_editor else []
check(any(strip.type == "SOUND" and strip.frame_start == 10 for strip in strips),
      "the sound placed at the start frame")
# Blender turns an operator's error report into RuntimeError when no window shows it.
bpy.context.view_layer.objects.active = face("Plain", [])
for path, message in ((recording, "'Plain' has no shape key for any shape"),
                      (recording + ".missing", recording + ".missing")):
    try:
        outcome = bpy.ops.object.vocetta_lip_sync(filepath=path)
        check(False, "the operator refuses %s: %s" % (message, outcome))
    except RuntimeError as error:
        check("Lip sync: " in str(error) and message in str(error), "operator: %s" % error)
addon.unregister()

print("blender add-on: %s" % ("all passed" if not failures else "%d failed" % len(failures)))
sys.exit(1 if failures else 0)
