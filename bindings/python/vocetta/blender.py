"""Lip sync in Blender: a recording's mouth keyed onto an object's shape keys, onto replacement
mouths (an object per shape) or onto a Grease Pencil object's drawings.

Inside Blender (its Python is the system's on Debian, where python3-vocetta installs):

    import bpy, vocetta, vocetta.blender
    face = bpy.context.object                     # a mesh with a shape key per viseme
    curves = vocetta.curves_file("line.wav", shapes="visemes", fps=vocetta.blender.scene_fps())
    vocetta.blender.key_curves(face, curves)       # linear keys on every animation frame
    vocetta.blender.key_curves(head, curves, rig="arkit")   # an ARKit face: jawOpen, mouthFunnel ...
    vocetta.blender.key_cues(face, vocetta.cues_file("line.wav"))   # or switch keys, held
    vocetta.blender.key_jaw_bone(rig, "jaw", curves, degrees=15)   # a jaw bone, if the rig has one
    cues = vocetta.cues_file("line.wav")          # 2D: A to H and X
    vocetta.blender.key_cues_objects(mouth, cues)  # the children Mouth_A ... Mouth_X, one shown
    vocetta.blender.key_cues_grease_pencil(drawn, cues)   # drawings on frames 1 ... 9
    said = vocetta.analyze_file("line.wav", text="Could you pass me the salt?")
    vocetta.blender.mark_words(said)   # a marker per word, named by its written words

Shape keys are found by the shapes' own names (aa, E, ih, oh, ou ... or A to X), or through
`names` (shape name -> shape key name); the jaw's opening goes to a shape key called "jaw" when
there is one; with `rig=` ("arkit", "vrm" or a rig file) the rig's curves key the shape keys
of their own names (jawOpen, mouthFunnel ...) instead. Replacement mouths are found by their
names' last part (Mouth_A, mouth.X), or through `names`; Grease Pencil drawings by their frames
(A on 1 ... X on 9 by default), or through `frames`. The add-on that python3-vocetta installs beside Blender's own ("Vocetta lip
sync", enabled in Edit > Preferences > Add-ons; `register()` from a script) adds Object > Lip
Sync from Audio, which does the same for the active object and puts the sound in the sequencer
at the first keyed frame, so that the animation plays against it; given the line's words, it
keys the mouth to them and marks each word on the timeline.
"""

import math
import os

import bpy
from bpy.props import BoolProperty, EnumProperty, FloatProperty, IntProperty, StringProperty

import vocetta

JAW = "jaw"


def scene_fps(scene=None):
    """The scene's frame rate, rounded to the whole frames per second curves are made at."""
    scene = scene or bpy.context.scene
    return max(1, round(scene.render.fps / scene.render.fps_base))


def _blocks(obj, shape_names, names, jaw, what="shape of the set"):
    """(shape index or JAW, key block) for every shape (or, with a rig, `what` names its curves)
    the object has a key for."""
    if obj is None:
        raise ValueError("no object: select the face to key")
    keys = getattr(obj.data, "shape_keys", None)
    if keys is None:
        raise ValueError("%s has no shape keys: add one per mouth shape (%s)"
                         % (_name(obj), " ".join(shape_names)))
    names = dict(names or {})
    unknown = sorted(set(names) - set(shape_names) - {JAW})
    if unknown:
        raise ValueError("names: %s not a shape of this set (%s)"
                         % (", ".join(unknown), " ".join(shape_names)))
    missing = sorted("%s -> %r" % (shape, key) for shape, key in names.items()
                     if keys.key_blocks.get(key) is None)
    if missing:
        raise ValueError("names: %s has no shape key %s" % (_name(obj), ", ".join(missing)))
    found = []
    for index, shape in enumerate(shape_names):
        block = keys.key_blocks.get(names.get(shape, shape))
        if block is not None and block != keys.reference_key:
            found.append((index, block))
    if not found:
        raise ValueError("%s has no shape key for any %s (%s): name them so, or give "
                         "names={%s: key}" % (_name(obj), what, " ".join(shape_names),
                                              what.split()[0]))
    jaw_block = keys.key_blocks.get(names.get(JAW, jaw)) if jaw is not None else None
    if jaw_block is not None:
        found.append((JAW, jaw_block))
    return keys, found


def _name(obj):
    return "the object %r" % obj.name


def _quoted(name):
    return '"%s"' % name.replace("\\", "\\\\").replace('"', '\\"')


def _curve(owner, path, index=0):
    """The curve of `owner`'s property `path`[index], emptied: keying a line again replaces it."""
    if owner.animation_data is None:
        owner.animation_data_create()
    if owner.animation_data.action is None:
        owner.animation_data.action = bpy.data.actions.new(owner.name + "Action")
    action = owner.animation_data.action
    curve = action.fcurves.find(path, index=index)
    if curve is not None:
        action.fcurves.remove(curve)
    return action.fcurves.new(path, index=index, action_group="Vocetta")


def _block_curve(keys, block):
    return _curve(keys, "key_blocks[%s].value" % _quoted(block.name))


def _curve_frames(scene, start_frame, curves):
    """The scene frame of each animation frame of `curves`, from `start_frame` (the scene's
    first unless given): frame k at k / curves.fps seconds."""
    start = scene.frame_start if start_frame is None else start_frame
    step = scene.render.fps / scene.render.fps_base / curves.fps
    return [start + k * step for k in range(len(curves))]


def _key(curve, frames, values, interpolation):
    # All points at once: keyframe_insert per point costs a scene update each.
    curve.keyframe_points.add(len(frames))
    curve.keyframe_points.foreach_set(
        "co", [number for pair in zip(frames, values) for number in pair])
    for point in curve.keyframe_points:
        point.interpolation = interpolation
    curve.update()


def key_curves(obj, curves, start_frame=None, names=None, jaw=JAW, scene=None, rig=None):
    """Keys every animation frame of `curves` (vocetta.Curves) onto the shape keys of `obj`,
    linear between frames as the curves are: frame k of the curves, at k / curves.fps seconds,
    lands on scene frame start_frame + k x (scene fps / curves.fps), start_frame the scene's
    first frame unless given. With `rig` ("arkit", "vrm", a rig file or a vocetta.Rig), the
    rig's curves (Curves.rig_curves) key the shape keys of their names instead: an ARKit face's
    jawOpen, mouthFunnel ... Returns the names of the shape keys keyed. ValueError, before
    anything is keyed, for an object with no shape key of the set (or of the rig)."""
    if rig is None:
        columns = [curves.weights[:, index] for index in range(len(curves.shape_names))]
        keys, blocks = _blocks(obj, curves.shape_names, names, jaw)
    else:
        rig = vocetta.load_rig(rig)
        columns = list(curves.rig_curves(rig).values())
        keys, blocks = _blocks(obj, rig.curve_names, names, None, "curve of the rig " + rig.name)
    frames = _curve_frames(scene or bpy.context.scene, start_frame, curves)
    for index, block in blocks:
        values = curves.jaw if index == JAW else columns[index]
        _key(_block_curve(keys, block), frames, [float(v) for v in values], "LINEAR")
    return [block.name for _, block in blocks]


def key_jaw_bone(armature, bone, curves, degrees=15.0, axis="X", start_frame=None, scene=None):
    """Keys the jaw's opening (curves.jaw, 0 closed ... 1 fully open) onto the rotation of the
    pose bone `bone` of the armature object `armature`, for rigs that open the jaw with a bone:
    `degrees` about the bone's local `axis` (X, Y or Z; a negative angle turns the other way)
    when fully open, from its rest pose, on the frames key_curves uses, linear between them. In
    the bone's own rotation mode: an Euler mode keys that axis alone, quaternion and axis-angle
    modes the whole rotation. Returns the data path keyed. ValueError, before anything is keyed,
    for an object that is not an armature, a bone it lacks or another axis."""
    if armature is None or armature.type != "ARMATURE":
        raise ValueError("%s is not an armature: give the one that holds the jaw bone"
                         % ("no object" if armature is None else _name(armature)))
    pose_bone = armature.pose.bones.get(bone)
    if pose_bone is None:
        raise ValueError("%s has no bone %r" % (_name(armature), bone))
    if axis not in ("X", "Y", "Z"):
        raise ValueError("the jaw's axis must be X, Y or Z, not %r" % (axis,))
    frames = _curve_frames(scene or bpy.context.scene, start_frame, curves)
    angles = [math.radians(degrees) * float(opening) for opening in curves.jaw]
    along = "XYZ".index(axis)
    base = "pose.bones[%s]." % _quoted(pose_bone.name)
    mode = pose_bone.rotation_mode
    if mode in ("QUATERNION", "AXIS_ANGLE"):
        path = base + ("rotation_quaternion" if mode == "QUATERNION" else "rotation_axis_angle")
        for index in range(4):
            if mode == "QUATERNION":  # w, x, y, z of a turn by the angle about the axis
                values = [math.cos(a / 2) if index == 0 else
                          math.sin(a / 2) if index == along + 1 else 0.0 for a in angles]
            elif index == 0:  # the angle, then the axis
                values = angles
            else:
                values = [1.0 if index == along + 1 else 0.0] * len(angles)
            _key(_curve(armature, path, index), frames, values, "LINEAR")
        return path
    path = base + "rotation_euler"
    _key(_curve(armature, path, along), frames, angles, "LINEAR")  # x, y, z in any order
    return path


def _cue_keys(scene, start_frame, cues):
    """The scene frame where each cue starts, then the end of the line, and the shape shown from
    each: the cues' own, then the rest shape."""
    scene = scene or bpy.context.scene
    start = scene.frame_start if start_frame is None else start_frame
    fps = scene.render.fps / scene.render.fps_base
    frames = [start + cue.start * fps for cue in cues] + [start + cues.duration * fps]
    return frames, [cue.shape for cue in cues] + [cues.shape_at(cues.duration)]


def key_cues(obj, cues, start_frame=None, names=None, scene=None):
    """Keys `cues` (vocetta.Cues) onto the shape keys of `obj` as switches: the shown shape's key
    at 1 and every other at 0 from each cue's start, held (constant) to the next. The rest shape
    needs no key of its own: all others at 0 show it. Returns the names of the shape keys keyed;
    ValueError as key_curves."""
    keys, blocks = _blocks(obj, cues.shape_names, names, None)
    frames, shown = _cue_keys(scene, start_frame, cues)
    for index, block in blocks:
        shape = cues.shape_names[index]
        values = [1.0 if each == shape else 0.0 for each in shown[:-1]] + [0.0]
        _key(_block_curve(keys, block), frames, values, "CONSTANT")
    return [block.name for _, block in blocks]


def _lacking(shown, found):
    """The shapes the line shows that `found` has nothing for, in the order they first show."""
    return [shape for shape in dict.fromkeys(shown) if shape not in found]


def _shape_of(name, shape_names):
    """The shape an object's name stands for: the whole name or its last part after '_', '.',
    '-' or a space (Mouth_A, mouth.ou), case aside, with Blender's .001 of a copy left out."""
    base = name
    if len(base) > 4 and base[-4] == "." and base[-3:].isdigit():
        base = base[:-4]
    lower = {shape.lower(): shape for shape in shape_names}
    for cut in range(len(base) + 1):
        if cut == 0 or base[cut - 1] in "_.- ":
            if base[cut:].lower() in lower:
                return lower[base[cut:].lower()]
    return None


def key_cues_objects(objects, cues, start_frame=None, names=None, scene=None):
    """Keys `cues` onto replacement mouths, one object per shape (a drawing on a plane, a mesh,
    a Grease Pencil object): from each cue's start the object of its shape is shown and every
    other hidden, in the viewport and in renders, held to the next cue, and the rest shape's
    after the line. `objects` is a collection, an object whose children are the mouths (an
    empty that places them), or a list of objects. An object is the mouth of a shape whose name
    is its own or its last part (Mouth_A, mouth.ou), unless `names` maps shapes to object names;
    several shapes may map to one object, shown for each of them. Returns {shape: object name}.
    ValueError, before anything is keyed, when a shape the line shows has no object, or two
    objects claim one shape."""
    if objects is None:
        raise ValueError("no object: select the empty whose children are the mouths")
    if isinstance(objects, bpy.types.Collection):
        where, candidates = "the collection %r" % objects.name, list(objects.all_objects)
    elif isinstance(objects, bpy.types.Object):
        where, candidates = _name(objects), list(objects.children)
        if not candidates:
            raise ValueError("%s has no children: parent one mouth per shape to it (Mouth_%s, "
                             "...)" % (where, cues.shape_names[0]))
    else:
        where, candidates = "the objects given", list(objects)
    by_name = {obj.name: obj for obj in candidates}
    names = dict(names or {})
    unknown = sorted(set(names) - set(cues.shape_names))
    if unknown:
        raise ValueError("names: %s not a shape of this set (%s)"
                         % (", ".join(unknown), " ".join(cues.shape_names)))
    absent = sorted("%s -> %r" % item for item in names.items() if item[1] not in by_name)
    if absent:
        raise ValueError("names: %s holds no object %s" % (where, ", ".join(absent)))
    mouths = {shape: by_name[name] for shape, name in names.items()}
    for obj in candidates:
        shape = _shape_of(obj.name, cues.shape_names)
        if shape is None or shape in names or obj.name in names.values():
            continue
        if shape in mouths and mouths[shape] is not obj:
            raise ValueError("%s holds two mouths for %s: %r and %r; name one otherwise, or "
                             "give names={shape: object}" % (where, shape, mouths[shape].name,
                                                               obj.name))
        mouths[shape] = obj
    frames, shown = _cue_keys(scene, start_frame, cues)
    lacking = _lacking(shown, mouths)
    if lacking:
        raise ValueError("%s has no mouth for %s, which the line shows: name one Mouth_%s, or "
                         "give names={shape: object}" % (where, " ".join(lacking), lacking[0]))
    for obj in dict.fromkeys(mouths.values()):
        hidden = [0.0 if mouths.get(shape) is obj else 1.0 for shape in shown]
        for path in ("hide_viewport", "hide_render"):
            _key(_curve(obj, path), frames, hidden, "CONSTANT")
    return {shape: obj.name for shape, obj in mouths.items()}


TIME_OFFSET = "Vocetta lip sync"


def key_cues_grease_pencil(obj, cues, start_frame=None, frames=None, scene=None):
    """Keys `cues` onto a Grease Pencil object that holds a drawing per shape: its Time Offset
    modifier named "Vocetta lip sync" (added when absent, in Fixed Frame mode) shows, from each
    cue's start, the drawing of its shape, held to the next cue, and the rest shape's after the
    line. `frames` maps a shape to the frame of its drawing; by default the drawings lie on
    frames 1, 2, ... in the set's order (cartoon: A on 1 ... X on 9). Returns {shape: frame}.
    ValueError, before anything is keyed, for an object that is not Grease Pencil or a shape the
    line shows with no drawing on its frame in any layer."""
    if obj is None or obj.type != "GPENCIL":
        raise ValueError("%s is not a Grease Pencil object: draw a mouth per shape in one"
                         % ("no object" if obj is None else _name(obj)))
    if frames is None:
        frames = {shape: index + 1 for index, shape in enumerate(cues.shape_names)}
    unknown = sorted(set(frames) - set(cues.shape_names))
    if unknown:
        raise ValueError("frames: %s not a shape of this set (%s)"
                         % (", ".join(unknown), " ".join(cues.shape_names)))
    drawn = {frame.frame_number for layer in obj.data.layers for frame in layer.frames}
    keys, shown = _cue_keys(scene, start_frame, cues)
    drawings = {shape: int(frame) for shape, frame in frames.items() if int(frame) in drawn}
    lacking = _lacking(shown, drawings)
    if lacking:
        raise ValueError("%s has no drawing for %s, which the line shows: draw it there, or give "
                         "frames={shape: frame}" % (_name(obj), ", ".join(
                             "%s (frame %d)" % (shape, int(frames[shape])) if shape in frames
                             else "%s (no frame given)" % shape for shape in lacking)))
    modifier = obj.grease_pencil_modifiers.get(TIME_OFFSET)
    if modifier is None:
        modifier = obj.grease_pencil_modifiers.new(name=TIME_OFFSET, type="GP_TIME")
    modifier.mode = "FIX"
    path = "grease_pencil_modifiers[%s].offset" % _quoted(TIME_OFFSET)
    _key(_curve(obj, path), keys, [float(drawings[shape]) for shape in shown], "CONSTANT")
    return drawings


def mark_words(frames, start_frame=None, scene=None):
    """A timeline marker at the start of each word of a line analysed with its words
    (vocetta.analyze(..., text=...) or ipa=, whose `phones` say where each is said), named by
    the written words it says (frames.written: "on the" where the phonemiser joined them, the IPA
    for a line given as ipa=). Returns the markers, in order; ValueError for frames without a
    transcript's phones (no words given, or a line too short for them)."""
    if frames.phones is None:
        raise ValueError("the frames have no phones of a transcript: analyse with text= or ipa=")
    scene = scene or bpy.context.scene
    start = scene.frame_start if start_frame is None else start_frame
    fps = scene.render.fps / scene.render.fps_base
    names = frames.written or frames.words
    markers, last = [], 0
    for phone in frames.phones:
        if phone.word > last:
            last = phone.word
            markers.append(scene.timeline_markers.new(
                names[phone.word - 1], frame=int(round(start + phone.start * fps))))
    return markers


def add_sound(path, start_frame=None, scene=None):
    """The recording as a sound strip in the scene's sequencer from `start_frame` (the first
    frame unless given), so that playback and scrubbing play it beside the keys."""
    scene = scene or bpy.context.scene
    start = scene.frame_start if start_frame is None else start_frame
    if scene.sequence_editor is None:
        scene.sequence_editor_create()
    channel = 1 + max((strip.channel for strip in scene.sequence_editor.sequences_all), default=0)
    return scene.sequence_editor.sequences.new_sound(os.path.basename(path), path, channel,
                                                     int(start))


class VOCETTA_OT_lip_sync(bpy.types.Operator):
    """Key the active object's shape keys, replacement mouths or Grease Pencil drawings from a
    recording of speech"""

    bl_idname = "object.vocetta_lip_sync"
    bl_label = "Lip Sync from Audio"
    bl_options = {"REGISTER", "UNDO"}

    filepath: StringProperty(subtype="FILE_PATH")
    filter_glob: StringProperty(default="*.wav;*.flac;*.ogg;*.aiff;*.aif;*.json",
                                options={"HIDDEN"})
    shapes: EnumProperty(name="Shapes", items=[
        ("visemes", "Visemes", "sil PP FF TH DD kk CH SS nn RR aa E ih oh ou"),
        ("cartoon", "Cartoon", "A B C D E F G H X")])
    mode: EnumProperty(name="Keys", items=[
        ("curves", "Curves", "a weight per shape on every frame, for blended shape keys"),
        ("cues", "Cues", "one shape at a time, held, for switched shape keys"),
        ("objects", "Replacement mouths",
         "one object per shape, the active object's children (Mouth_A ...): the shown one visible"),
        ("grease_pencil", "Grease Pencil drawings",
         "the active Grease Pencil object's drawing per shape, on frames 1, 2, ... in the "
         "set's order")])
    rig: EnumProperty(name="Shape keys", items=[
        ("shapes", "The shapes' names", "a shape key per shape of the set (aa, E ... or A to X)"),
        ("arkit", "ARKit face", "jawOpen, mouthFunnel, mouthPucker ... (curves of the visemes)"),
        ("vrm", "VRM expressions", "aa, ih, ou, ee, oh (curves of the visemes)")],
        description="Whose names the curves key")
    profile: StringProperty(name="Profile", subtype="FILE_PATH",
                            description="A calibrated profile (empty: the built-in one)")
    text: StringProperty(name="Words", description="What the recording says, for labels that "
                         "follow its phones (empty: from the audio alone)")
    language: StringProperty(name="Language", default=vocetta.DEFAULT_LANGUAGE,
                             description="The espeak-ng voice whose language the words are in")
    start_frame: IntProperty(name="Start frame", default=1)
    sound: BoolProperty(name="Add the sound", default=True,
                        description="Put the recording in the sequencer at the start frame")
    markers: BoolProperty(name="Mark the words", default=True,
                          description="With the words given, a timeline marker where each begins")
    jaw_armature: StringProperty(name="Jaw armature",
                                 description="The armature whose bone opens the jaw (curves only)")
    jaw_bone: StringProperty(name="Jaw bone", description="That bone's name")
    jaw_degrees: FloatProperty(name="Jaw angle", default=15.0,
                               description="Degrees about the bone's X axis when fully open")

    def invoke(self, context, event):
        self.start_frame = context.scene.frame_start
        context.window_manager.fileselect_add(self)
        return {"RUNNING_MODAL"}

    def execute(self, context):
        obj = context.active_object
        path = bpy.path.abspath(self.filepath)
        profile = bpy.path.abspath(self.profile) if self.profile else None
        try:
            words = {"text": self.text, "language": self.language} if self.text.strip() else {}
            if path.lower().endswith(".json"):
                # A line baked by the tool (or its cues edited since): keyed as they are, its
                # sound the one the file names.
                return self._key_baked(context, obj, path)
            if self.mode == "curves":
                rig = None if self.rig == "shapes" else self.rig
                track = vocetta.curves_file(path, profile,  # both rigs mix the visemes
                                            shapes="visemes" if rig else self.shapes,
                                            fps=scene_fps(context.scene), **words)
                keyed = key_curves(obj, track, self.start_frame, scene=context.scene, rig=rig)
                if self.jaw_armature or self.jaw_bone:
                    armature = bpy.data.objects.get(self.jaw_armature)
                    if armature is None:
                        raise ValueError("no object %r holds the jaw bone" % self.jaw_armature)
                    key_jaw_bone(armature, self.jaw_bone, track, self.jaw_degrees,
                                 start_frame=self.start_frame, scene=context.scene)
                    keyed.append(self.jaw_bone)
            else:
                track = vocetta.cues_file(path, profile, shapes=self.shapes, **words)
                keyed = self._key_cues(context, obj, track)
            said = None
            if words and self.markers:
                said = vocetta.analyze_file(path, profile, **words)
                if said.phones is None:
                    raise ValueError("the recording is too short to say its words")
        except (ValueError, OSError, vocetta.AudioError, vocetta.ProfileError,
                vocetta.ShapeError, vocetta.TranscriptError) as error:
            self.report({"ERROR"}, "Lip sync: %s" % error)
            return {"CANCELLED"}
        if said is not None:
            mark_words(said, self.start_frame, context.scene)
        if self.sound:
            add_sound(path, self.start_frame, context.scene)
        self.report({"INFO"}, "Lip sync: keyed %s from %s" % (", ".join(keyed), path))
        return {"FINISHED"}


    def _key_cues(self, context, obj, track):
        """Keys the cues as the mode says; what was keyed, for the report."""
        key = {"cues": key_cues, "objects": key_cues_objects,
               "grease_pencil": key_cues_grease_pencil}[self.mode]
        keyed = key(obj, track, self.start_frame, scene=context.scene)
        if self.mode == "cues":
            return keyed
        form = "%s for %s" if self.mode == "objects" else "frame %s for %s"  # each shape's
        return [form % (where, shape) for shape, where in keyed.items()]

    def _key_baked(self, context, obj, path):
        with open(path, "rb") as baked:
            cues = b'"mouthCues"' in baked.read()
        if cues == (self.mode == "curves"):
            raise ValueError("%s holds %s: choose the keys %s" % (
                path, "cues" if cues else "curves",
                "Cues, Replacement mouths or Grease Pencil drawings" if cues else "Curves"))
        if self.mode == "curves":
            track = vocetta.load_curves(path)
            keyed = key_curves(obj, track, self.start_frame, scene=context.scene,
                               rig=None if self.rig == "shapes" else self.rig)
        else:
            track = vocetta.load_cues(path, self.shapes)
            keyed = self._key_cues(context, obj, track)
        # The sound the file names, from its folder when relative; one baked on another machine
        # is looked for beside the file.
        named, folder = track.sound_file, os.path.dirname(path)
        candidates = [os.path.join(folder, named), os.path.join(folder, os.path.basename(named))]
        sound = next((c for c in candidates if named and os.path.isfile(c)), None)
        if self.sound and sound:
            add_sound(sound, self.start_frame, context.scene)
        self.report({"INFO"}, "Lip sync: keyed %s from %s" % (", ".join(keyed), path))
        return {"FINISHED"}


def _menu(self, context):
    self.layout.operator(VOCETTA_OT_lip_sync.bl_idname)


def register():
    bpy.utils.register_class(VOCETTA_OT_lip_sync)
    bpy.types.VIEW3D_MT_object.append(_menu)


def unregister():
    bpy.types.VIEW3D_MT_object.remove(_menu)
    bpy.utils.unregister_class(VOCETTA_OT_lip_sync)
