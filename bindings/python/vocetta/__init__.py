"""Real-time lip sync from Python: libvocetta through its host SDK.

    import vocetta
    frames = vocetta.analyze_file("line.wav")          # what `vocetta analyze line.wav` prints
    for t, phoneme in zip(frames.time, frames.phoneme): ...

    analyzer = vocetta.Analyzer(sample_rate=48000)       # live capture, block by block
    new = analyzer.push(block)                           # the frames this block completed

Arrays are numpy arrays; samples are mono float32 at full scale +-1.
"""

import os
import shutil
import subprocess
import tempfile

import numpy as np

from . import _paths, _vocetta
from ._vocetta import AudioError, LibraryError, Profile, ProfileError

__all__ = ["Analyzer", "AudioError", "CalibrationError", "Frames", "LibraryError", "Profile",
           "ProfileError", "analyze", "analyze_file", "calibrate", "load_profile"]

SILENCE = "sil"
DEFAULT_HOP_MS = 10.0
DEFAULT_GATE_DB = -30.0
DEFAULT_SWITCH_COST = 2.0


class CalibrationError(ValueError):
    """`vocetta calibrate` refused its input; the message is the tool's own."""


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


class Frames:
    """Analysed frames: per frame the block's centre `time` (s), its `phoneme` label, `volume`
    (RMS), the `scores` of every phoneme (frames x phonemes, in the order of `phonemes`), the
    job's `best` phoneme index (-1: none) and its `mfcc` (frames x coefficients)."""

    def __init__(self, phonemes, time, phoneme, volume, scores, best, mfcc):
        self.phonemes = list(phonemes)
        self.time = time
        self.phoneme = list(phoneme)
        self.volume = volume
        self.scores = scores
        self.best = best
        self.mfcc = mfcc

    def __len__(self):
        return len(self.time)

    def __getitem__(self, index):
        """Frames `index` (a slice) as Frames of their own."""
        if not isinstance(index, slice):
            raise TypeError("Frames take slices; read the arrays for single frames")
        return Frames(self.phonemes, self.time[index], self.phoneme[index], self.volume[index],
                      self.scores[index], self.best[index], self.mfcc[index])

    def __repr__(self):
        return "<vocetta.Frames: %d frames of %s>" % (len(self), " ".join(self.phonemes))


def _own_labels(profile, best, scores):
    # A streaming frame has only itself to go by: its best phoneme, silence when it scored none.
    names = profile.phonemes
    labels = []
    for row, index in enumerate(best):
        scored = 0 <= index < len(names) and scores[row, index] > 0
        labels.append(names[index] if scored else SILENCE)
    return labels


class Analyzer:
    """A streaming analyzer, as an engine runs over live capture: push blocks of any size; a
    frame is due whenever the newest samples complete one (the first once the capture ring is
    full, then one every hop). Each frame's `phoneme` is its own best phoneme, or "sil" when the
    job scored none; whole recordings get the tool's gate and smoothing from `analyze`."""

    def __init__(self, profile=None, sample_rate=48000, hop_ms=DEFAULT_HOP_MS):
        _open()
        self.profile = _profile(profile)
        self._native = _vocetta.Analyzer(self.profile, int(sample_rate), float(hop_ms))

    sample_rate = property(lambda self: self._native.sample_rate)
    ring_length = property(lambda self: self._native.ring_length, doc="samples per block (L)")
    hop = property(lambda self: self._native.hop, doc="samples between frames")
    pushed = property(lambda self: self._native.pushed, doc="samples pushed so far")

    def push(self, samples):
        """Feeds `samples` (any 1-D array, taken as float32) and returns the frames they
        completed."""
        before = self._native.count
        self._native.push(np.ascontiguousarray(samples, dtype=np.float32))
        return self._frames(before)

    def finish(self):
        """Ends the stream: one that never filled the ring is analysed once, padded with
        silence. Returns the frames this added."""
        before = self._native.count
        self._native.finish()
        return self._frames(before)

    @property
    def frames(self):
        """Every frame so far."""
        return self._frames(0)

    def _frames(self, first):
        time, volume, best, scores, mfcc = self._native.frames(first)
        return Frames(self.profile.phonemes, time, _own_labels(self.profile, best, scores), volume,
                      scores, best, mfcc)


def analyze(samples, sample_rate, profile=None, hop_ms=DEFAULT_HOP_MS, gate_db=DEFAULT_GATE_DB,
            silence_db=None, smoothing=True, switch_cost=DEFAULT_SWITCH_COST):
    """Analyses a whole recording and labels its frames exactly as `vocetta analyze` does: a
    frame is "sil" when it is more than `gate_db` below the recording's level (or, with
    `silence_db`, quieter than that fixed dBFS level) or scored nothing, the rest are smoothed
    into one phoneme track at `switch_cost` per change unless `smoothing` is off."""
    analyzer = Analyzer(profile, sample_rate, hop_ms)
    analyzer._native.push(np.ascontiguousarray(samples, dtype=np.float32).reshape(-1))
    analyzer._native.finish()
    raw = analyzer.frames
    labels = _vocetta.label_frames(analyzer.profile, raw.volume, raw.best, raw.scores,
                                   float(gate_db), None if silence_db is None else float(silence_db),
                                   bool(smoothing), float(switch_cost))
    return Frames(raw.phonemes, raw.time, labels, raw.volume, raw.scores, raw.best, raw.mfcc)


def read_audio(path):
    """(samples, sample_rate) of a recording decoded as the tool decodes it (WAV, FLAC,
    Ogg/Vorbis, AIFF, ...; channels mixed to mono). Raises AudioError naming the file."""
    return _vocetta.read_audio(os.fspath(path))


def analyze_file(path, profile=None, **options):
    """`analyze` of the recording at `path` (the options are analyze's)."""
    samples, sample_rate = read_audio(path)
    return analyze(samples, sample_rate, profile, **options)


def calibrate(manifests, output=None, base=None, target_rate=None, mel_channels=None,
              coefficients=None, block=None, score_method=None, phonemes=None, min_volume=None,
              silence_phoneme=None, trim_ms=None, references=None, folding=None,
              hop_ms=None, jobs=None):
    """A profile from labelled recordings, made by `vocetta calibrate` (its options, by the same
    names): `manifests` are CSV files with the columns file and phoneme. Writes `output` when
    given (never over a directory) and returns the profile."""
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
    with tempfile.TemporaryDirectory(prefix="vocetta-calibrate-") as scratch:
        target = os.fspath(output) if output is not None else os.path.join(scratch, "profile.json")
        command = [tool_path(), "calibrate", "-q", "--library", library_path(), "-o", target]
        for flag, value in options:
            if value is not None:
                command += [flag, os.fspath(value) if isinstance(value, os.PathLike) else str(value)]
        command += ["--"] + [os.fspath(m) for m in manifests]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            message = done.stderr.strip().replace("vocetta calibrate: ", "", 1)
            raise CalibrationError(message or "vocetta calibrate failed (%d)" % done.returncode)
        return load_profile(target)
