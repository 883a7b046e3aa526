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

# An ARKit face keys the rig's curves by their own names; shape keys it lacks are left alone.
head = face("Head", ["jawOpen", "mouthPucker", "eyeBlinkLeft"])
keyed = vocetta.blender.key_curves(head, curves, rig="arkit")
check(keyed == ["jawOpen", "mouthPucker"], "keyed on the ARKit face: %s" % keyed)
mixed = curves.rig_curves("arkit")
for name in keyed:
    shown = np.array([value_at(head, name, 10 + k) for k in range(len(curves))])
    check(np.allclose(shown, mixed[name], atol=1e-6), "%s keyed from the rig" % name)
check(max(mixed["jawOpen"]) > 0.5, "the rig opens the jaw")
smiling = face("Smiling", ["smile"])
try:
    vocetta.blender.key_curves(smiling, curves, rig="arkit")
    check(False, "a face without the rig's keys keyed")
except ValueError as error:
    check("no shape key for any curve of the rig arkit (jawOpen" in str(error), str(error))
bpy.data.objects.remove(smiling)

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

# Replacement mouths: one object per shape under an empty, exactly the cue's shown, the rest
# shape after the line. Names match by their last part, case aside, a copy's .001 left out.
cartoon_names = vocetta.shape_names("cartoon")


def mouth_rig(name, children):
    bpy.ops.object.empty_add()
    parent = bpy.context.active_object
    parent.name = name
    for child in children:
        bpy.ops.mesh.primitive_plane_add()
        bpy.context.active_object.name = child
        bpy.context.active_object.parent = parent
    return parent


def shown_at(parent, frame):
    bpy.context.scene.frame_set(int(frame), subframe=frame - int(frame))
    return sorted(child.name for child in parent.children
                  if not child.hide_viewport and not child.hide_render)


children = {shape: "Mouth_" + shape for shape in cartoon_names}
children.update(C="Mouth_C.001", D="mouth_d", X="Mouth.X")
mouth = mouth_rig("Mouth", children.values())
mapping = vocetta.blender.key_cues_objects(mouth, cues, start_frame=1)
check(mapping == children, "mouths found: %s" % mapping)
wrong = sum(shown_at(mouth, 1 + (cue.start + cue.end) / 2 * 30) != [children[cue.shape]]
            for cue in cues)
check(wrong == 0, "one mouth shown, the cue's: %d wrong of %d cues" % (wrong, len(cues)))
check(shown_at(mouth, 1 + cues.duration * 30 + 5) == ["Mouth.X"], "at rest after the line")
# Fewer drawings than shapes: several shapes to one object, shown for each of them.
few = mouth_rig("Few", ["Closed", "Open"])
closed = {"A": "Closed", "B": "Closed", "X": "Closed"}
names = {shape: closed.get(shape, "Open") for shape in cartoon_names}
vocetta.blender.key_cues_objects(few, cues, start_frame=1, names=names)
wrong = sum(shown_at(few, 1 + (cue.start + cue.end) / 2 * 30) != [names[cue.shape]]
            for cue in cues)
check(wrong == 0, "shared mouths: %d wrong" % wrong)

# Grease Pencil: a drawing per shape on frames 1 to 9, shown through a Time Offset modifier.
drawn = bpy.data.objects.new("Drawn", bpy.data.grease_pencils.new("Drawn"))
scene.collection.objects.link(drawn)
ink = drawn.data.layers.new("ink")
for index in range(len(cartoon_names)):
    ink.frames.new(index + 1).strokes.new().points.add(index + 1)  # drawing k has k points
drawings = vocetta.blender.key_cues_grease_pencil(drawn, cues, start_frame=1)
check(drawings == {shape: index + 1 for index, shape in enumerate(cartoon_names)},
      "drawings: %s" % drawings)
wrong = 0
for cue in cues:
    middle = 1 + (cue.start + cue.end) / 2 * 30
    scene.frame_set(int(middle), subframe=middle - int(middle))
    layer = drawn.evaluated_get(bpy.context.evaluated_depsgraph_get()).data.layers["ink"]
    wrong += len(layer.active_frame.strokes[0].points) != cartoon_names.index(cue.shape) + 1
check(wrong == 0, "the cue's drawing shown: %d wrong of %d cues" % (wrong, len(cues)))
vocetta.blender.key_cues_grease_pencil(drawn, cues, start_frame=1)  # again: replaced
check(len(drawn.grease_pencil_modifiers) == 1 and
      len(drawn.animation_data.action.fcurves) == 1 and
      len(drawn.animation_data.action.fcurves[0].keyframe_points) == len(cues) + 1,
      "keyed again: one modifier, one key per cue and the end")

# Refusals of 2D mouths name what is missing and key nothing.
lacking = mouth_rig("Lacking", ["Mouth_" + shape for shape in cartoon_names if shape != "X"])
twice = mouth_rig("Twice", ["Mouth_" + shape for shape in cartoon_names] + ["Other_A"])
sparse = bpy.data.objects.new("Sparse", bpy.data.grease_pencils.new("Sparse"))
scene.collection.objects.link(sparse)
sparse.data.layers.new("ink").frames.new(1)
for call, message, target in (
        (lambda: vocetta.blender.key_cues_objects(lacking, cues),
         "'Lacking' has no mouth for X, which the line shows", lacking),
        (lambda: vocetta.blender.key_cues_objects(twice, cues),
         "holds two mouths for A: 'Mouth_A' and 'Other_A'", twice),
        (lambda: vocetta.blender.key_cues_objects(mouth_rig("Alone", []), cues),
         "'Alone' has no children", None),
        (lambda: vocetta.blender.key_cues_objects(few, cues, names={"Y": "Open"}),
         "names: Y not a shape", None),
        (lambda: vocetta.blender.key_cues_objects(few, cues, names={"A": "Shut"}),
         "holds no object A -> 'Shut'", None),
        (lambda: vocetta.blender.key_cues_grease_pencil(sparse, cues),
         "'Sparse' has no drawing for", sparse),
        (lambda: vocetta.blender.key_cues_grease_pencil(obj, cues),
         "'Face' is not a Grease Pencil object", None)):
    try:
        call()
        check(False, "refused: " + message)
    except ValueError as error:
        check(message in str(error), "message: %s" % error)
    if target is not None:
        check(all(each.animation_data is None for each in [target] + list(target.children)),
              "nothing keyed on %s" % target.name)

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
# The operator keys an ARKit face's curves by the rig's names, from the visemes' curves whatever
# the shapes chosen.
operated_head = face("OperatedHead", ["jawOpen", "mouthFunnel"])
result = bpy.ops.object.vocetta_lip_sync(filepath=recording, shapes="cartoon", mode="curves",
                                         rig="arkit", start_frame=10, sound=False)
check(result == {"FINISHED"}, "the operator on the ARKit face: %s" % result)
check(operated_head.data.shape_keys.animation_data is not None and
      len(operated_head.data.shape_keys.animation_data.action.fcurves) == 2,
      "the operator keyed the ARKit face's two keys")
for mode, active in (("objects", mouth), ("grease_pencil", drawn)):
    mouth.animation_data_clear()
    for child in mouth.children:
        child.animation_data_clear()
    drawn.animation_data_clear()
    bpy.context.view_layer.objects.active = active
    result = bpy.ops.object.vocetta_lip_sync(filepath=recording, shapes="cartoon", mode=mode,
                                             start_frame=1, sound=False)
    keyed = (mouth.children[0] if mode == "objects" else drawn).animation_data
    check(result == {"FINISHED"} and keyed is not None, "the operator keyed %s" % mode)
# A baked line, its cues edited since, keys the face as it stands; its curves as they are.
import os  # noqa: E402
import tempfile  # noqa: E402
baked = tempfile.mkdtemp()
edited = vocetta.cues_file(recording, shapes="visemes")
edited.cues[3] = edited.cues[3]._replace(shape="oh")
edited.save(os.path.join(baked, "line.json"))
vocetta.curves_file(recording, shapes="visemes", fps=30).save(os.path.join(baked, "curves.json"))
bpy.context.view_layer.objects.active = target
target.data.shape_keys.animation_data_clear()
result = bpy.ops.object.vocetta_lip_sync(filepath=os.path.join(baked, "line.json"),
                                         shapes="visemes", mode="cues", start_frame=1, sound=False)
scene.frame_set(1 + round(0.5 * (edited.cues[3].start + edited.cues[3].end) * 30))
check(result == {"FINISHED"} and target.data.shape_keys.key_blocks["oh"].value == 1.0,
      "the operator keyed the edited cue file")
result = bpy.ops.object.vocetta_lip_sync(filepath=os.path.join(baked, "curves.json"),
                                         mode="curves", start_frame=1, sound=False)
check(result == {"FINISHED"}, "the operator keyed the baked curves")
# Its sound, named by a path from the machine that baked it, is found beside the file.
import shutil  # noqa: E402
shutil.copy(recording, os.path.join(baked, "moved.flac"))
vocetta.Cues(edited.cues, edited.duration, "visemes", "/elsewhere/moved.flac").save(
    os.path.join(baked, "moved.json"))
result = bpy.ops.object.vocetta_lip_sync(filepath=os.path.join(baked, "moved.json"),
                                         shapes="visemes", mode="cues", start_frame=400)
strips = scene.sequence_editor.sequences_all if scene.sequence_editor else []
check(result == {"FINISHED"} and any(
    strip.type == "SOUND" and strip.frame_start == 400 and
    strip.sound.filepath.endswith("moved.flac") for strip in strips),
    "the baked line's sound found beside it")
try:
    bpy.ops.object.vocetta_lip_sync(filepath=os.path.join(baked, "line.json"), mode="curves")
    check(False, "cues keyed as curves are refused")
except RuntimeError as error:
    check("holds cues: choose the keys Cues" in str(error), "message: %s" % error)
# The line's words, when given, align its cues: the drawing shown in the "oo" is the aligned
# cue's.
words = "Hello! Watch my mouth: ah, ee, oo, eh, oh."
bpy.context.view_layer.objects.active = drawn
result = bpy.ops.object.vocetta_lip_sync(filepath=recording, shapes="cartoon", mode="grease_pencil",
                                         start_frame=1, sound=False, text=words)
aligned = vocetta.cues_file(recording, text=words)
scene.frame_set(1 + round(4.08 * 30))
shown = drawn.grease_pencil_modifiers[vocetta.blender.TIME_OFFSET].offset
check(result == {"FINISHED"} and shown == cartoon_names.index(aligned.shape_at(4.08)) + 1 and
      aligned.to_string() != cues.to_string(), "the operator aligned the cues to the words")
# ... and marks each word where the line says it, by its written name.
marked = {marker.name: marker.frame for marker in scene.timeline_markers}
said = vocetta.analyze_file(recording, text=words)
check(list(marked) == ["Hello", "Watch", "my", "mouth", "ah", "ee", "oo", "eh", "oh"],
      "the operator marked the words: %s" % list(marked))
check(all(abs(marked[name] - (1 + phone.start * 30)) <= 0.5 for name, phone in
          zip(marked, [p for i, p in enumerate(said.phones)
                       if p.word and (i == 0 or said.phones[i - 1].word != p.word)])),
      "each marker at its word's first phone")
check(abs(marked["ee"] - (1 + 3.3 * 30)) < 10, "the ee marked near 3.3 s: %s" % marked["ee"])
# Marks words the phonemiser joins by the written words they say, a line given as IPA by its IPA,
# and refuses frames without phones.
scene.timeline_markers.clear()
joined = vocetta.analyze_file(recording, text="Hello, watch the mouth on the man")
check([m.name for m in vocetta.blender.mark_words(joined, start_frame=1)] ==
      ["Hello", "watch", "the", "mouth", "on the", "man"],
      "markers named by the words joined: %s" % joined.written)
scene.timeline_markers.clear()
check([m.name for m in vocetta.blender.mark_words(vocetta.analyze_file(
    recording, ipa="həlˈoʊ wˈɑːtʃ"), start_frame=1)] == ["həloʊ", "wɑtʃ"],
      "markers named by IPA for a line given as IPA")
try:
    vocetta.blender.mark_words(vocetta.analyze_file(recording))
    check(False, "mark_words refuses frames without phones")
except ValueError as error:
    check("no phones of a transcript" in str(error), "message: %s" % error)
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
