"""Real-time lip sync from Python: libvocetta through its host SDK.

    import vocetta
    frames = vocetta.analyze_file("line.wav")          # what `vocetta analyze line.wav` prints
    for t, phoneme in zip(frames.time, frames.phoneme): ...

    analyzer = vocetta.Analyzer(sample_rate=48000)       # live capture, block by block
    new = analyzer.push(block)                           # the frames this block completed

    vocetta.cues_file("line.wav").save("line.json")      # `vocetta analyze line.wav --cues`
    vocetta.cues_file("line.wav", text="Could you pass me the salt?")   # aligned to its words

    live = vocetta.Analyzer(smoothing=True, gate_db=-30, mouth="cartoon")
    live.push(block)                                     # then blend the rig by
    live.mouth.weights, live.mouth.jaw                   # one weight per shape, jaw 0 ... 1

Arrays are numpy arrays; samples are mono float32 at full scale +-1.
"""

import os
import shutil
import subprocess
import tempfile
from collections import namedtuple

import numpy as np

from . import _paths, _vocetta
from ._vocetta import (AudioError, CueError, LibraryError, Profile, ProfileError, Rig, ShapeError,
                       TranscriptError)

__all__ = ["AdaptationError", "Analyzer", "AudioError", "CalibrationError", "Cue", "Cues",
           "Frames", "LibraryError", "MouthShapes", "Phone", "Profile", "ProfileError", "Rig",
           "ShapeError",
           "TranscriptError", "Word", "analyze", "analyze_file", "Curves", "adapt", "build_cues",
           "calibrate", "cues", "cues_file", "curves", "curves_file", "load_cues", "load_curves",
           "load_profile", "load_rig", "phonemise", "shape_names", "spoken_text",
           "without_speaker_names", "CueError"]

SILENCE = "sil"
DEFAULT_HOP_MS = 10.0
DEFAULT_GATE_DB = -30.0
DEFAULT_SWITCH_COST = 2.0
DEFAULT_LAG_MS = _vocetta.default_stream_lag_ms()
DEFAULT_LEVEL_WINDOW = _vocetta.default_level_window()
DEFAULT_FPS = 24
DEFAULT_LANGUAGE = "en-us"  # espeak-ng's voice for a transcript's words
SHAPE_SETS = ("cartoon", "visemes")
CUE_FORMATS = ("tsv", "json", "xml", "dat")
CURVE_FORMATS = ("csv", "json")
# A real-time mouth's defaults (the SDK's) and those of the tool's cues (`analyze --cues`).
MOUTH_DEFAULTS = _vocetta.mouth_defaults()
CUE_DEFAULTS = _vocetta.cue_defaults()


class CalibrationError(ValueError):
    """`vocetta calibrate` refused its input; the message is the tool's own."""


class AdaptationError(ValueError):
    """`vocetta adapt` refused its input; the message is the tool's own."""


def _here(relative):
    return os.path.normpath(os.path.join(os.path.dirname(__file__), relative))


def library_path():
    """The libvocetta.so this package uses: $VOCETTA_LIBRARY, else the one it was built or
    installed with."""
    return os.environ.get("VOCETTA_LIBRARY") or _here(_paths.LIBRARY)


def tool_path():
    """The vocetta tool `calibrate` runs: $VOCETTA_TOOL, else the one built or installed with
    this package, else the one on PATH."""
    if os.environ.get("VOCETTA_TOOL"):
        return os.environ["VOCETTA_TOOL"]
    beside = _here(_paths.TOOL)
    if os.access(beside, os.X_OK):
        return beside
    return shutil.which("vocetta") or beside


_library = None


def _open():
    global _library
    if _library is None:
        _library = _vocetta.open_library(library_path())
    return _library


def load_profile(path=None):
    """The profile in the JSON file `path` (version 1 or 2), or the built-in vowel profile.
    A bad file raises ProfileError naming the file and what is wrong."""
    if path is None:
        return _vocetta.default_profile()
    return _vocetta.load_profile(os.fspath(path))


def _profile(profile):
    if profile is None or isinstance(profile, (str, os.PathLike)):
        return load_profile(profile)
    if not isinstance(profile, Profile):
        raise TypeError("profile must be a vocetta.Profile, a path or None")
    return profile


Phone = namedtuple("Phone", ["start", "end", "phone", "word"])
Phone.__doc__ = ("One phone of a transcript where it is said (seconds), its IPA and the number of "
                 "its word from 1; a pause is \"sil\" of word 0.")
Word = namedtuple("Word", ["start", "end", "word", "written", "ipa"])
Word.__doc__ = ("One word of a transcript where it is said (seconds, from its first phone's start "
                "to its last phone's end), its number from 1, its written words and its IPA.")


class Frames:
    """Analysed frames: per frame the block's centre `time` (s), its `phoneme` label, `volume`
    (RMS), the `scores` of every phoneme (frames x phonemes, in the order of `phonemes`), the
    job's `best` phoneme index (-1: none) and its `mfcc` (frames x coefficients); `hop` is the
    time between frames (s).

    Frames that drove a mouth (Analyzer(mouth=...), MouthShapes.run) also have, per frame, the
    smoothed shape `weights` (frames x shapes, in the order of `shape_names`), the `jaw` opening
    (0 closed ... 1 open) and the `shape` to show (a name); otherwise these are None.

    A recording analysed with its words (analyze(text=...) or ipa=) has the transcript's
    `words` (each its phones in IPA), the `written` words each of them says ("on the" for the
    phonemiser's one word ɔnðə; its IPA where only ipa= was given or the two cannot be told
    apart), and its `phones` where they are said, as `vocetta analyze --phones` writes them:
    Phone(start, end, phone, word) in order, covering the recording, with the pauses as "sil" of
    word 0 and the words counted from 1. `phones` is None without a transcript, or for a
    recording too short to say all its phones."""

    def __init__(self, phonemes, time, phoneme, volume, scores, best, mfcc, hop=None,
                 shape_names=None, weights=None, jaw=None, shape=None, words=None, phones=None,
                 written=None):
        self.phonemes = list(phonemes)
        self.time = time
        self.phoneme = list(phoneme)
        self.volume = volume
        self.scores = scores
        self.best = best
        self.mfcc = mfcc
        self.hop = hop
        self.shape_names = None if shape_names is None else list(shape_names)
        self.weights = weights
        self.jaw = jaw
        self.shape = None if shape is None else list(shape)
        self.words = words
        self.written = written
        self.phones = phones

    def word_spans(self):
        """The words where they are said, as `vocetta analyze --words` writes them: Word(start,
        end, word, written, ipa) in order, the pauses between them left out; None without a
        transcript's phones."""
        if self.phones is None:
            return None
        spans = []
        for phone in self.phones:
            if phone.word <= 0:
                continue
            if spans and spans[-1].word == phone.word:
                spans[-1] = spans[-1]._replace(end=phone.end)
            else:
                names = self.written or self.words
                spans.append(Word(phone.start, phone.end, phone.word, names[phone.word - 1],
                                  self.words[phone.word - 1]))
        return spans

    def __len__(self):
        return len(self.time)

    def __getitem__(self, index):
        """Frames `index` (a slice) as Frames of their own."""
        if not isinstance(index, slice):
            raise TypeError("Frames take slices; read the arrays for single frames")
        mouth = (None, None, None) if self.weights is None else (
            self.weights[index], self.jaw[index], self.shape[index])
        return Frames(self.phonemes, self.time[index], self.phoneme[index], self.volume[index],
                      self.scores[index], self.best[index], self.mfcc[index], self.hop,
                      self.shape_names, *mouth)

    def __repr__(self):
        return "<vocetta.Frames: %d frames of %s>" % (len(self), " ".join(self.phonemes))


def shape_names(shapes="cartoon"):
    """The shapes of a set in their fixed order, which every weight vector follows: "cartoon"
    A B C D E F G H X (A closed lips, B slightly open with clenched teeth, C open, D wide open,
    E slightly rounded, F puckered, G upper teeth on lower lip, H tongue raised, X rest) or
    "visemes" sil PP FF TH DD kk CH SS nn RR aa E ih oh ou."""
    return _vocetta.shape_names(shapes)


def _option(value, defaults, name):
    return defaults[name] if value is None else value


class MouthShapes:
    """What a character's face does with the analysis, frame by frame: one weight per shape of
    the set `shapes` (see shape_names), from the phoneme scores through the profile's mapping
    (its phonemes' "shapes", else the built-in defaults for their names), sharpened by the
    exponent `sharpness` (1: as the scores give them; larger: the winning shape takes over),
    then smoothed with the time constants `attack_ms` (a weight rising) and `release_ms`
    (falling). Below `silence_volume` (RMS) the mouth goes to rest; the `jaw` opens with the
    logarithm of the volume and is fully open at `loud_volume`. The closed lips (A, PP) and the
    teeth on the lip (G, FF) become the shown `shape` only where their weight is `closed_margin`
    and `lip_margin` times that of every other speaking shape, and, with `closed_dip_db` or
    `lip_dip_db` above 0, only in a frame that many dB under the loudest of the last
    `dip_window_ms` (fricatives and closures radiate less than their vowels). Unset options take
    the SDK's defaults (MOUTH_DEFAULTS). A phoneme with no shape raises ShapeError.

        mouth = vocetta.MouthShapes()
        every frame: mouth.update(scores, volume, seconds_since_last_frame)
                     blend by mouth.weights, open the jaw by mouth.jaw, or show mouth.shape
    """

    def __init__(self, profile=None, shapes="cartoon", attack_ms=None, release_ms=None,
                 sharpness=None, silence_volume=None, loud_volume=None, closed_margin=None,
                 lip_margin=None, closed_dip_db=None, lip_dip_db=None, dip_window_ms=None):
        _open()
        self.profile = _profile(profile)
        d = MOUTH_DEFAULTS
        self._native = _vocetta.MouthShapes(
            self.profile, shapes, float(_option(attack_ms, d, "attack_ms")) / 1000.0,
            float(_option(release_ms, d, "release_ms")) / 1000.0,
            float(_option(sharpness, d, "sharpness")),
            float(_option(silence_volume, d, "silence_volume")),
            float(_option(loud_volume, d, "loud_volume")),
            float(_option(closed_margin, d, "closed_margin")),
            float(_option(lip_margin, d, "lip_margin")),
            float(_option(closed_dip_db, d, "closed_dip_db")),
            float(_option(lip_dip_db, d, "lip_dip_db")),
            float(_option(dip_window_ms, d, "dip_window_ms")) / 1000.0)
        self.shape_names = shape_names(shapes)

    shapes = property(lambda self: self._native.shapes, doc="the shape set's name")
    map = property(lambda self: self._native.map,
                   doc="phonemes x shapes: how much of each shape every phoneme asks for")
    weights = property(lambda self: self._native.weights,
                       doc="the smoothed weights, one per shape (sum 1 when attack equals "
                           "release, otherwise above or below 1 during a change)")
    target = property(lambda self: self._native.target,
                      doc="this frame's sharpened weights before smoothing (sum 1)")
    jaw = property(lambda self: self._native.jaw, doc="jaw opening, 0 (closed) ... 1 (open)")
    dominant = property(lambda self: self._native.dominant,
                        doc="index of the shape to show: rest while its weight exceeds all "
                            "others together, else the strongest other shape (the closed and "
                            "lip shapes weighed over their margins, and only where the volume "
                            "dips enough)")
    shape = property(lambda self: self.shape_names[self._native.dominant],
                     doc="name of the shape to show (see dominant)")

    def update(self, scores, volume, elapsed, silence=False, shape=None):
        """One frame: the phoneme scores (one per phoneme of the profile), the block's RMS
        volume and the seconds since the previous frame. `silence`: the labels call the frame
        silence, and the mouth rests however loud it is (cues and curves of a whole recording
        pass its smoothed track). `shape`: the name of a shape of the set the frame is known to
        show (the consonant a line's transcript says there), in place of the scores' shapes and
        however quiet the frame. Returns the new weights."""
        index = -1
        if shape is not None:
            if shape not in self.shape_names:
                raise ValueError("%r is no shape of the %s set (%s)"
                                 % (shape, self.shapes, " ".join(self.shape_names)))
            index = self.shape_names.index(shape)
        self._native.update(np.ascontiguousarray(scores, dtype=np.float32).reshape(-1),
                            float(volume), float(elapsed), bool(silence), index)
        return self.weights

    def reset(self):
        """Back to rest: the rest shape at weight 1, the jaw closed."""
        self._native.reset()

    def set_volumes(self, silence_volume, loud_volume):
        """Moves the rest level and the fully open one (RMS volumes) from the next frame on, for
        a level that follows the speaker: a gate under the speaker's level, and 25 times (28 dB)
        above it, as a whole recording's cues have them. Raises ShapeError, changing nothing,
        unless 0 <= silence_volume < loud_volume, finite."""
        self._native.set_volumes(float(silence_volume), float(loud_volume))

    def run(self, frames, elapsed=None):
        """Every frame of `frames` in turn, `elapsed` seconds apart (default: their hop), from
        where the mouth stands; returns the frames with their weights, jaw and shape."""
        elapsed = frames.hop if elapsed is None else elapsed
        if elapsed is None:
            raise ValueError("these frames do not know their hop: give elapsed")
        weights, jaw, dominant = self._native.run(frames.scores, frames.volume, float(elapsed))
        return _with_mouth(frames, self.shape_names, weights, jaw, dominant)


def _with_mouth(frames, names, weights, jaw, dominant):
    return Frames(frames.phonemes, frames.time, frames.phoneme, frames.volume, frames.scores,
                  frames.best, frames.mfcc, frames.hop, names, weights, jaw,
                  [names[i] for i in dominant])


class Analyzer:
    """A streaming analyzer, as an engine runs over live capture: push blocks of any size; a
    frame is due whenever the newest samples complete one (the first once the capture ring is
    full, then one every hop).

    A frame is labelled "sil" when it is quieter than `silence_db` (dBFS), or more than `gate_db`
    under the level heard so far (the 95th-percentile frame volume of the last `level_window`
    seconds: a quiet microphone is heard like a loud one), neither given: no gate, or when the
    job scored nothing, else by its own best phoneme, at once; or with `smoothing` by the tool's
    Viterbi pass run as the frames come (a switch costing `switch_cost`; None: 2, or 1 without a
    lag), which answers for each frame once the frames of `lag_ms` after it have come (0: at
    once, by the best path so far). With a lag, push returns the frames whose labels are known,
    the newest `lag_ms` later, and finish the rest. smoothing=True, gate_db=-30 labels as
    `vocetta analyze - --keep-noise` labels a stream with the same `--lag` (20 ms by default: on
    the validation voices' sentence vowels 74.6 % right, against 72.0 % without the wait and
    72.7 % unsmoothed), and with clean_noise=True as `vocetta analyze -`; whole recordings get
    the tool's gate, cleaning and smoothing from `analyze`.

    `mouth` (None, a shape set's name or a MouthShapes for the same profile) is driven by every
    frame: read `analyzer.mouth.weights`, `.jaw` and `.shape` after each push for real time,
    and the frames carry them too. With `gate_db` the mouth rests under that gate and opens
    fully 28 dB above it (its set_volumes, every frame), so a quiet talker moves it alike, once
    the labels have heard a tenth of a second of speech in the level's window; until then, and
    when a room's noise alone fills the window, it keeps the levels it was made with, so that it
    does not talk through the noise.

    `clean_noise` takes the steady background noise out of the samples before the analysis, as
    `vocetta analyze` does by default (the SDK's NoiseCleaner): better in hiss, hum or room
    noise, the same on clean audio, and every frame up to 32 ms later at 48 kHz, which is why a
    live analyzer asks for it."""

    def __init__(self, profile=None, sample_rate=48000, hop_ms=DEFAULT_HOP_MS, smoothing=False,
                 silence_db=None, switch_cost=None, mouth=None,
                 lag_ms=DEFAULT_LAG_MS, clean_noise=False, gate_db=None,
                 level_window=DEFAULT_LEVEL_WINDOW):
        _open()
        self.profile = _profile(profile)
        if isinstance(mouth, str):
            mouth = MouthShapes(self.profile, mouth)
        elif mouth is not None and not isinstance(mouth, MouthShapes):
            raise TypeError("mouth must be None, a shape set's name or a vocetta.MouthShapes")
        self.mouth = mouth
        self._native = _vocetta.Analyzer(self.profile, int(sample_rate), float(hop_ms),
                                         None if silence_db is None else float(silence_db),
                                         None if gate_db is None else float(gate_db),
                                         float(level_window), bool(smoothing),
                                         None if switch_cost is None else float(switch_cost),
                                         float(lag_ms),
                                         None if mouth is None else mouth._native,
                                         bool(clean_noise))

    sample_rate = property(lambda self: self._native.sample_rate)
    ring_length = property(lambda self: self._native.ring_length, doc="samples per block (L)")
    hop = property(lambda self: self._native.hop, doc="samples between frames")
    pushed = property(lambda self: self._native.pushed, doc="samples pushed so far")

    def push(self, samples):
        """Feeds `samples` (any 1-D array, taken as float32) and returns the frames whose labels
        they completed."""
        before = self._native.ready
        self._native.push(np.ascontiguousarray(samples, dtype=np.float32))
        return self._frames(before)

    def finish(self):
        """Ends the stream: one that never filled the ring is analysed once, padded with
        silence, and the frames still waiting for the lag are labelled. Returns the frames
        this added."""
        before = self._native.ready
        self._native.finish()
        return self._frames(before)

    @property
    def frames(self):
        """Every frame labelled so far."""
        return self._frames(0)

    def _frames(self, first):
        time, volume, best, scores, mfcc, labels, weights, jaw, dominant = \
            self._native.frames(first)
        frames = Frames(self.profile.phonemes, time, labels, volume, scores, best, mfcc,
                        self.hop / self.sample_rate)
        if self.mouth is None:
            return frames
        return _with_mouth(frames, self.mouth.shape_names, weights, jaw, dominant)


def _whole(samples, sample_rate, profile, hop_ms, clean_noise):
    # An analyzer that took a whole recording, frames labelled on their own.
    samples = np.ascontiguousarray(samples, dtype=np.float32).reshape(-1)
    # As the tool refuses such a file: one NaN would make every score after it meaningless.
    broken = np.flatnonzero(~np.isfinite(samples))
    if broken.size:
        raise ValueError("samples[%d] is not a finite number" % broken[0])
    analyzer = Analyzer(profile, sample_rate, hop_ms, clean_noise=clean_noise)
    analyzer._native.push(samples)
    analyzer._native.finish()
    return analyzer


def spoken_text(text):
    """What a line's written text says aloud, as `text=` reads it unless `literal_text`: stage
    directions and markup in parentheses, square brackets, braces and angle brackets ("(sighs)",
    "[wave]", "{w=0.5}", "<i>") left out where they close on their line, the tags that end a line
    of Ink or Yarn ("#happy", "#line:0a1b2c"; "C#" and "#1" stay), and asterisks alone (the words
    they mark stay), as `vocetta analyze --text` leaves them out."""
    return _vocetta.spoken_text(str(text))


def without_speaker_names(text):
    """`text` less the speaker's name that begins each of its lines, as Yarn and many dialogue
    scripts write one ("Mae: Hi there." is "Hi there."), as `text=` reads it with
    `speaker_names` and `vocetta analyze --speaker-names` does: a line's name runs to its first
    colon followed by a space or the line's end, and goes with it; a colon of the words is
    written "\\:"."""
    return _vocetta.without_speaker_names(str(text))


def _spoken(text, literal_text, speaker_names=False):
    directions = str(text) if literal_text else spoken_text(text)
    spoken = without_speaker_names(directions) if speaker_names else directions
    if not spoken.strip() and str(text).strip():
        if directions.strip():
            raise TranscriptError("no words to say, only a speaker's name")
        raise TranscriptError("no words to say, only directions and markup; literal_text=True "
                              "says them as words")
    return spoken


def phonemise(text, language=DEFAULT_LANGUAGE, literal_text=False, speaker_names=False):
    """`text` (words) in IPA, as espeak-ng's voice `language` speaks it: what `text=` aligns,
    its directions and markup left out unless `literal_text` (spoken_text), and with
    `speaker_names` each line's speaker (without_speaker_names). Raises TranscriptError when
    espeak-ng is missing, lacks the voice or gives nothing."""
    return _vocetta.phonemise(_spoken(text, literal_text, speaker_names), str(language))


def _transcript(text, ipa, language, profile, smoothing=True, literal_text=False,
                speaker_names=False):
    """The IPA a recording's labels follow (text= phonemised, or ipa= as it is), or None."""
    if text is None and ipa is None:
        return None
    if text is not None and ipa is not None:
        raise ValueError("text and ipa exclude each other: give the words or their phones")
    if not smoothing:
        raise ValueError("a transcript aligns the smoothed track: it and smoothing=False "
                         "exclude each other")
    if text is not None:
        return _vocetta.checked_phones(
            profile, phonemise(text, language, literal_text, speaker_names), "text")
    return _vocetta.checked_phones(profile, str(ipa), "ipa")


def analyze(samples, sample_rate, profile=None, hop_ms=DEFAULT_HOP_MS, gate_db=DEFAULT_GATE_DB,
            silence_db=None, smoothing=True, switch_cost=DEFAULT_SWITCH_COST, clean_noise=True,
            text=None, ipa=None, language=DEFAULT_LANGUAGE, literal_text=False,
            speaker_names=False):
    """Analyses a whole recording and labels its frames exactly as `vocetta analyze` does: its
    steady noise taken out first unless `clean_noise` is off (`--keep-noise`), a frame is "sil"
    when it is more than `gate_db` below the recording's level (or, with `silence_db`, quieter
    than that fixed dBFS level) or scored nothing, the rest are smoothed into one phoneme track
    at `switch_cost` per change unless `smoothing` is off. With `text` (the words the recording
    says, in the espeak-ng voice `language`'s language, its stage directions and markup left out
    unless `literal_text`: spoken_text, and with `speaker_names` the speaker that begins each of
    its lines: without_speaker_names) or `ipa` (its phones), the track says those phones in
    order, as `--text` and `--ipa` make it; TranscriptError when it cannot."""
    analyzer = _whole(samples, sample_rate, profile, hop_ms, clean_noise)
    transcript = _transcript(text, ipa, language, analyzer.profile, smoothing, literal_text,
                             speaker_names)
    raw = analyzer.frames
    seconds = np.size(samples) / float(sample_rate)
    labels, phones = _vocetta.label_frames(
        analyzer.profile, raw.time, seconds, raw.volume, raw.best, raw.scores, float(gate_db),
        None if silence_db is None else float(silence_db), bool(smoothing), float(switch_cost),
        transcript, int(analyzer.hop), int(analyzer.sample_rate))
    words = written = None
    if transcript is not None:
        words = _vocetta.transcript_words(transcript)
        written = _vocetta.written_words(
            transcript, "" if text is None else _spoken(text, literal_text, speaker_names),
            language)
    return Frames(raw.phonemes, raw.time, labels, raw.volume, raw.scores, raw.best, raw.mfcc,
                  raw.hop, words=words, written=written,
                  phones=None if phones is None else [Phone(*phone) for phone in phones])


def read_audio(path):
    """(samples, sample_rate) of a recording decoded as the tool decodes it (WAV, FLAC,
    Ogg/Vorbis, AIFF, ...; channels mixed to mono). Raises AudioError naming the file."""
    return _vocetta.read_audio(os.fspath(path))


def analyze_file(path, profile=None, **options):
    """`analyze` of the recording at `path` (the options are analyze's)."""
    samples, sample_rate = read_audio(path)
    return analyze(samples, sample_rate, profile, **options)


Cue = namedtuple("Cue", ["start", "end", "shape"])
Cue.__doc__ = "A span of time (seconds) during which one mouth shape (its name) is shown."


class Cues:
    """Mouth cues over a whole recording: contiguous, non-overlapping Cue(start, end, shape)
    from 0 to `duration` (s), neighbours differing, shapes named from the set `shapes`;
    `sound_file` is what the exported files name as their recording. Iterate, index, or export
    with to_string and save."""

    def __init__(self, cues, duration, shapes="cartoon", sound_file=""):
        self.shapes = shapes
        self.shape_names = shape_names(shapes)
        self.duration = float(duration)
        self.sound_file = os.fspath(sound_file)
        self.cues = [Cue(float(start), float(end), shape) for start, end, shape in cues]
        for cue in self.cues:
            if cue.shape not in self.shape_names:
                raise ShapeError("the %s set has no shape %r" % (shapes, cue.shape))

    def __len__(self):
        return len(self.cues)

    def __iter__(self):
        return iter(self.cues)

    def __getitem__(self, index):
        return self.cues[index]

    def __repr__(self):
        return "<vocetta.Cues: %d %s cues over %.2f s>" % (len(self), self.shapes, self.duration)

    def shape_at(self, seconds):
        """The shape shown at `seconds`: the cue's with start <= seconds < end, rest outside."""
        for cue in self.cues:
            if cue.start <= seconds < cue.end:
                return cue.shape
        return self.shape_names[_vocetta.rest_shape(self.shapes)]

    def to_string(self, format="tsv", fps=DEFAULT_FPS, keyframes=False):
        """The cues as `vocetta analyze --cues -f FORMAT` writes them: "tsv" (start and shape
        per line, then the end with the rest shape), "json", "xml" or "dat" (a switch-layer file
        at `fps` frames per second). `keyframes` adds the shape of every animation frame at
        `fps` (tsv and json only)."""
        if format not in CUE_FORMATS:
            raise ValueError("unknown cue format %r (tsv, json, xml or dat)" % (format,))
        if keyframes and format not in ("tsv", "json"):
            raise ValueError("keyframes need the tsv or json format")
        if int(fps) < 1:
            raise ValueError("fps must be at least 1")
        index = {name: i for i, name in enumerate(self.shape_names)}
        return _vocetta.format_cues(
            self.shapes, self.sound_file, self.duration,
            np.array([c.start for c in self.cues], dtype=np.float64),
            np.array([c.end for c in self.cues], dtype=np.float64),
            np.array([index[c.shape] for c in self.cues], dtype=np.int32), format, int(fps),
            bool(keyframes))

    def save(self, path, format=None, fps=DEFAULT_FPS, keyframes=False):
        """Writes the cues to `path` in `format` (default: from the extension, .tsv .json .xml
        or .dat). The file appears whole or not at all; a directory is never written over, and
        an extension naming another format is refused."""
        path = os.fspath(path)
        extension = os.path.splitext(path)[1][1:]
        if format is None:
            if extension not in CUE_FORMATS:
                raise ValueError("%s: name the format (tsv, json, xml or dat), the extension "
                                 "does not" % path)
            format = extension
        elif extension in CUE_FORMATS and extension != format:
            raise ValueError("%s: the extension says %s, but the format written is %s"
                             % (path, extension, format))
        _vocetta.write_text(path, self.to_string(format, fps, keyframes))


class Curves:
    """Every shape's weight and the jaw's opening on each animation frame of a whole recording,
    for rigs that blend a blendshape per shape: frame k lies at k / fps seconds, from 0 to
    `duration`. `weights` is a float32 array of frames x shapes (columns in the order of
    `shape_names`), `jaw` one of a value per frame (0 closed ... 1 fully open); `weight(name)` is
    one shape's column. Export with to_string and save."""

    def __init__(self, weights, jaw, fps, duration, shapes="cartoon", sound_file=""):
        self.shapes = shapes
        self.shape_names = shape_names(shapes)
        self.weights = np.ascontiguousarray(weights, dtype=np.float32)
        self.jaw = np.ascontiguousarray(jaw, dtype=np.float32).reshape(-1)
        self.fps = int(fps)
        self.duration = float(duration)
        self.sound_file = os.fspath(sound_file)
        if self.weights.shape != (len(self.jaw), len(self.shape_names)):
            raise ValueError("weights must hold a row of %d shapes for each of the jaw's %d "
                             "frames" % (len(self.shape_names), len(self.jaw)))

    def __len__(self):
        return len(self.jaw)

    def __repr__(self):
        return "<vocetta.Curves: %d %s frames at %d fps>" % (len(self), self.shapes, self.fps)

    @property
    def time(self):
        """Each animation frame's time in seconds."""
        return np.arange(len(self), dtype=np.float64) / self.fps

    def weight(self, name):
        """The weight of shape `name` on every frame."""
        if name not in self.shape_names:
            raise ShapeError("the %s set has no shape %r" % (self.shapes, name))
        return self.weights[:, self.shape_names.index(name)]

    def rig_curves(self, rig):
        """The curves of a face rig's own blendshapes on every frame, as `--curves --rig`
        writes them: a dict from each of the rig's curve names, in its order, to a float32
        array of a value per frame, each the rig's mix of the shapes' weights and the jaw,
        clipped to 0 ... 1. `rig` is a Rig or what load_rig takes ("arkit", "vrm", a file);
        CueError for a rig of another shape set than these curves' (both built-in rigs mix
        the visemes: curves(..., shapes="visemes"))."""
        rig = load_rig(rig)
        values = _vocetta.rig_values(rig, self.shapes, self.weights, self.jaw)
        return {name: values[:, i] for i, name in enumerate(rig.curve_names)}

    def to_string(self, format="csv", rig=None):
        """The curves as `vocetta analyze --curves -f FORMAT` writes them: "csv" (frame, time,
        jaw and a column per shape) or "json" (an array per curve); with `rig`, its curves
        instead, as `--rig` writes them."""
        if format not in CURVE_FORMATS:
            raise ValueError("unknown curve format %r (csv or json)" % (format,))
        return _vocetta.format_curves(self.shapes, self.sound_file, self.duration, self.fps,
                                      self.weights, self.jaw, format,
                                      None if rig is None else load_rig(rig))

    def save(self, path, format=None, rig=None):
        """Writes the curves (with `rig`, the rig's curves) to `path` in `format` (default: from
        the extension, .csv or .json), whole or not at all; an extension naming another format
        is refused."""
        path = os.fspath(path)
        extension = os.path.splitext(path)[1][1:]
        if format is None:
            if extension not in CURVE_FORMATS:
                raise ValueError("%s: name the format (csv or json), the extension does not"
                                 % path)
            format = extension
        elif extension in CURVE_FORMATS + CUE_FORMATS and extension != format:
            raise ValueError("%s: the extension says %s, but the format written is %s"
                             % (path, extension, format))
        _vocetta.write_text(path, self.to_string(format, rig))


def load_rig(rig):
    """A face rig whose blendshapes curves' weights are mixed into (Curves.rig_curves): "arkit"
    or "vrm", the built-in rigs, or a rig file (a path, or a name ending in .json), as `vocetta
    analyze --rig` takes them; a Rig as it is. CueError for a name or a file that is no rig."""
    if isinstance(rig, Rig):
        return rig
    return _vocetta.find_rig(os.fspath(rig))


def _cue_arguments(shapes, min_hold_ms, closure_ms, attack_ms, release_ms, sharpness,
                   closed_margin=None, lip_margin=None, open_priority=None, closed_dip_db=None,
                   lip_dip_db=None, dip_window_ms=None):
    d = CUE_DEFAULTS
    return _vocetta.cue_arguments(
        _option(shapes, d, "shapes"), float(_option(min_hold_ms, d, "min_hold_ms")),
        float(_option(closure_ms, d, "closure_ms")), float(_option(attack_ms, d, "attack_ms")),
        float(_option(release_ms, d, "release_ms")), float(_option(sharpness, d, "sharpness")),
        float(_option(closed_margin, d, "closed_margin")),
        float(_option(lip_margin, d, "lip_margin")),
        float(_option(open_priority, d, "open_priority")),
        float(_option(closed_dip_db, d, "closed_dip_db")),
        float(_option(lip_dip_db, d, "lip_dip_db")),
        float(_option(dip_window_ms, d, "dip_window_ms")))


def _cues(shapes, starts, ends, values, duration, sound_file):
    names = shape_names(shapes)
    return Cues([(s, e, names[v]) for s, e, v in zip(starts, ends, values)], duration, shapes,
                sound_file)


def build_cues(times, values, duration, shapes=None, min_hold_ms=None, closure_ms=None,
               resolution_ms=10.0, open_priority=None):
    """Cues from the shape to show in every frame (`values`: names or indices of the set
    `shapes`, one per frame centre in `times`, seconds ascending) over `duration` seconds. A
    boundary lies halfway between two frames, rounded to `resolution_ms`; every cue but the last
    lasts at least `min_hold_ms` (a short one borrows from neighbours that can spare it, or
    joins the longer neighbour, open shapes counting `open_priority` times their length), and a
    rest shorter than `closure_ms` between two other shapes shows closed lips (A, PP). Defaults
    are the tool's (CUE_DEFAULTS)."""
    arguments = _cue_arguments(shapes, min_hold_ms, closure_ms, None, None, None,
                               open_priority=open_priority)
    shapes = _option(shapes, CUE_DEFAULTS, "shapes")
    names = shape_names(shapes)
    indices = []
    for value in values:
        if isinstance(value, str):
            if value not in names:
                raise ShapeError("the %s set has no shape %r" % (shapes, value))
            value = names.index(value)
        indices.append(int(value))
    starts, ends, shape = _vocetta.build_cues(np.asarray(times, dtype=np.float64),
                                              np.asarray(indices, dtype=np.int32),
                                              float(duration), arguments, float(resolution_ms))
    return _cues(shapes, starts, ends, shape, duration, "")


def cues(samples, sample_rate, profile=None, hop_ms=DEFAULT_HOP_MS, gate_db=DEFAULT_GATE_DB,
         silence_db=None, shapes=None, min_hold_ms=None, closure_ms=None, attack_ms=None,
         release_ms=None, sharpness=None, closed_margin=None, lip_margin=None,
         open_priority=None, closed_dip_db=None, lip_dip_db=None, dip_window_ms=None,
         sound_file="", clean_noise=True, text=None, ipa=None, language=DEFAULT_LANGUAGE,
         literal_text=False, speaker_names=False):
    """The mouth cues of a whole recording exactly as `vocetta analyze --cues` makes them, with
    its options by the same names and its defaults (CUE_DEFAULTS): the mouth rests below the
    recording's silence gate (`gate_db` below its level, or the fixed `silence_db`; -40 dBFS
    when the labels find too little speech for the level to be speech's) and wherever its
    labels say silence, and the noise is cleaned out first unless `clean_noise` is off; `text`
    or `ipa` align the labels to what the recording says, as in analyze; see MouthShapes and
    build_cues for the rest."""
    arguments = _cue_arguments(shapes, min_hold_ms, closure_ms, attack_ms, release_ms, sharpness,
                               closed_margin, lip_margin, open_priority, closed_dip_db,
                               lip_dip_db, dip_window_ms)
    samples = np.ascontiguousarray(samples, dtype=np.float32).reshape(-1)
    analyzer = _whole(samples, sample_rate, profile, hop_ms, clean_noise)
    transcript = _transcript(text, ipa, language, analyzer.profile, literal_text=literal_text,
                             speaker_names=speaker_names)
    frames = analyzer.frames
    starts, ends, values = _vocetta.recording_cues(
        analyzer.profile, frames.time, frames.volume, frames.best, frames.scores, analyzer.hop,
        analyzer.sample_rate, len(samples), float(gate_db),
        None if silence_db is None else float(silence_db), arguments, transcript)
    return _cues(_option(shapes, CUE_DEFAULTS, "shapes"), starts, ends, values,
                 len(samples) / analyzer.sample_rate, sound_file)


def cues_file(path, profile=None, **options):
    """`cues` of the recording at `path`, which the exported files name as their sound file."""
    samples, sample_rate = read_audio(path)
    return cues(samples, sample_rate, profile, sound_file=os.fspath(path), **options)


def curves(samples, sample_rate, profile=None, fps=DEFAULT_FPS, hop_ms=DEFAULT_HOP_MS,
           gate_db=DEFAULT_GATE_DB, silence_db=None, shapes=None, attack_ms=None, release_ms=None,
           sharpness=None, sound_file="", clean_noise=True, text=None, ipa=None,
           language=DEFAULT_LANGUAGE, literal_text=False, speaker_names=False):
    """Every shape's weight and the jaw on each animation frame at `fps`, exactly as `vocetta
    analyze --curves` writes them, with its options by the same names and its defaults: the
    mouth's smoothing is the real-time mouth's (MOUTH_DEFAULTS) unless given, and it rests below
    the recording's silence gate as its cues do; `text` or `ipa` align its labels to what the
    recording says, as in analyze."""
    attack_ms = MOUTH_DEFAULTS["attack_ms"] if attack_ms is None else attack_ms
    release_ms = MOUTH_DEFAULTS["release_ms"] if release_ms is None else release_ms
    arguments = _cue_arguments(shapes, None, None, attack_ms, release_ms, sharpness)
    samples = np.ascontiguousarray(samples, dtype=np.float32).reshape(-1)
    analyzer = _whole(samples, sample_rate, profile, hop_ms, clean_noise)
    transcript = _transcript(text, ipa, language, analyzer.profile, literal_text=literal_text,
                             speaker_names=speaker_names)
    frames = analyzer.frames
    weights, jaw = _vocetta.recording_curves(
        analyzer.profile, frames.time, frames.volume, frames.best, frames.scores, analyzer.hop,
        analyzer.sample_rate, len(samples), float(gate_db),
        None if silence_db is None else float(silence_db), arguments, int(fps), transcript)
    return Curves(weights, jaw, fps, len(samples) / analyzer.sample_rate,
                  _option(shapes, CUE_DEFAULTS, "shapes"), sound_file)


def load_cues(path, shapes="cartoon"):
    """The cues of a json cue file read back: one `vocetta analyze --cues -f json` or Cues.save
    wrote, or one an animator has edited since, its shapes those of `shapes` (the file does not
    say which). Raises CueError naming the file and the member for anything else (a cue that
    ends before it starts or before the one before it ends, a shape not in the set)."""
    cues, duration, sound_file = _vocetta.load_cues(os.fspath(path), str(shapes))
    return Cues(cues, duration, shapes, sound_file)


def load_curves(path):
    """The curves of a json curve file read back (`vocetta analyze --curves -f json`, or
    Curves.save): their set and frame rate are the file's. Raises CueError naming the file and
    the member for anything else."""
    weights, jaw, fps, duration, shapes, sound_file = _vocetta.load_curves(os.fspath(path))
    return Curves(weights, jaw, fps, duration, shapes, sound_file)


def curves_file(path, profile=None, **options):
    """`curves` of the recording at `path`, which the exported files name as their sound file."""
    samples, sample_rate = read_audio(path)
    return curves(samples, sample_rate, profile, sound_file=os.fspath(path), **options)


def calibrate(manifests, output=None, base=None, target_rate=None, mel_channels=None,
              coefficients=None, block=None, score_method=None, phonemes=None, min_volume=None,
              silence_phoneme=None, trim_ms=None, references=None, folding=None,
              hop_ms=None, jobs=None):
    """A profile from labelled recordings, made by `vocetta calibrate` (its options, by the same
    names): `manifests` are CSV files with the columns file and phoneme. Writes `output` when
    given (replacing a file there, never a directory) and returns the profile."""
    if isinstance(manifests, (str, os.PathLike)):
        manifests = [manifests]
    options = [("--base", base), ("--target-rate", target_rate), ("--mel-channels", mel_channels),
               ("--coefficients", coefficients), ("--block", block),
               ("--score-method", score_method), ("--min-volume", min_volume),
               ("--silence-phoneme", silence_phoneme), ("--trim", trim_ms),
               ("--references", references), ("--folding", folding), ("--hop", hop_ms),
               ("-j", jobs)]
    if phonemes is not None and not isinstance(phonemes, str):
        phonemes = ",".join(phonemes)
    options.append(("--phonemes", phonemes))
    return _profile_from_tool("calibrate", options, manifests, output, CalibrationError)


def adapt(recordings, output=None, profile=None, gate_db=None, prior=None, anchor=False,
          hop_ms=None, keep_noise=False, jobs=None):
    """`profile` (a path, or None for the built-in one) adapted to one speaker by `vocetta
    adapt` (its options, by the same names) from `recordings` of that speaker alone, without
    labels: give a character's varied lines, a minute of them settles it (a single sustained
    vowel would become the speaker's mean). Writes `output` when given (replacing a file there,
    never a directory) and returns the adapted profile; its figures are in the README."""
    if isinstance(recordings, (str, os.PathLike)):
        recordings = [recordings]
    if profile is not None and not isinstance(profile, (str, os.PathLike)):
        raise TypeError("profile must be a path or None: the tool reads it from a file")
    options = [("-p", profile), ("--gate", gate_db), ("--prior", prior), ("--hop", hop_ms),
               ("-j", jobs)]
    flags = (["--anchor"] if anchor else []) + (["--keep-noise"] if keep_noise else [])
    return _profile_from_tool("adapt", options, recordings, output, AdaptationError, flags)


def _profile_from_tool(subcommand, options, inputs, output, error, flags=()):
    """Runs `vocetta SUBCOMMAND` to write a profile and loads it; the tool's refusal raises
    `error` with the tool's own message."""
    with tempfile.TemporaryDirectory(prefix="vocetta-%s-" % subcommand) as scratch:
        target = os.fspath(output) if output is not None else os.path.join(scratch, "profile.json")
        # A file named in the call is the caller's to replace, as with save().
        command = [tool_path(), subcommand, "-q", "--force", "--library", library_path(), "-o",
                   target, *flags]
        for flag, value in options:
            if value is not None:
                command += [flag, os.fspath(value) if isinstance(value, os.PathLike) else str(value)]
        command += ["--"] + [os.fspath(path) for path in inputs]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            message = done.stderr.strip().replace("vocetta %s: " % subcommand, "", 1)
            raise error(message or "vocetta %s failed (%d)" % (subcommand, done.returncode))
        return load_profile(target)
