#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora into fuzz/corpus/<target>/ (committed; each file small).

The entry and job targets read their inputs as typed arguments (fuzz/harness.hpp), so their seeds
are a few fixed byte strings that decode to ordinary calls; the readers get small valid files of
each kind they accept and a few broken ones. Deterministic: the same files every run.

    scripts/make-fuzz-seeds.py
"""
import io
import json
import pathlib
import random
import struct
import subprocess
import sys
import tempfile
import wave

root = pathlib.Path(__file__).resolve().parent.parent
corpus = root / "fuzz" / "corpus"
rng = random.Random(14)


def write(target, name, data):
    folder = corpus / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode())


def ints(*values):
    return b"".join(struct.pack("<I", v & 0xFFFFFFFF) for v in values)


ENTRIES = """_ReturnOne _Interpolate ColorMapJob_Execute _DCT _MelFilterBank _FFT _SetControlWord
_ApplyPreEmphasis _ApplyHammingWindow LipSyncJob_Execute PhonemeTextureJob_Execute _PeakMagnitude
_RootMeanSquare _MelToFrequency _EuclideanNorm _Decimate _LowPassFilter _FrequencyToMel FFT
_PowerToDecibel _ScaleToPeak _GetControlWord _UnrollRingBuffer""".split()

# Byte strings the argument decoder reads as small and mid-sized counts in each data style.
for entry in ENTRIES:
    target = "entry_" + entry
    for index in range(4):
        size = [16, 64, 300, 1200][index]
        write(target, f"seed-{index}", bytes(rng.randrange(256) for _ in range(size)))
# Counts of the common sizes: control byte, selector 3 (a count), then the count's four bytes.
for n in (1, 2, 3, 5, 256, 341, 1024):
    for target in ("entry__FFT", "entry_FFT", "entry__DCT", "entry__ApplyHammingWindow",
                   "entry__PowerToDecibel", "entry__ScaleToPeak", "entry__PeakMagnitude"):
        write(target, f"count-{n}", b"\0\3" + ints(n) + bytes(rng.randrange(256) for _ in range(64)))
for index in range(4):
    write("job_record", f"seed-{index}", bytes(rng.randrange(256) for _ in range(200)))
for index in range(3):
    write("streaming_analyzer", f"seed-{index}", bytes(rng.randrange(256) for _ in range(600)))

# Profiles: a small valid one, variants of it, and broken ones.
profile = {
    "format": "vocetta-profile",
    "version": 1,
    "analysis": {"targetSampleRate": 16000, "melChannels": 4, "coefficients": 2,
                 "blockLength": 256, "scoreMethod": "MeanAbsoluteDistance"},
    "means": [1.5, -2.25],
    "standardDeviations": [3.0, 0.5],
    "phonemes": [{"name": "A", "color": [0.9, 0.2, 0.2], "reference": [1.0, 2.0]},
                 {"name": "sil", "color": [0, 0, 0], "reference": [-1e-3, 4.5e7]}],
}
write("profile_loader", "small.json", json.dumps(profile, indent=2))
for method in ("RootMeanSquareDistance", "CosineSimilarity"):
    variant = json.loads(json.dumps(profile))
    variant["analysis"]["scoreMethod"] = method
    write("profile_loader", f"{method}.json", json.dumps(variant))
broken = json.loads(json.dumps(profile))
broken["standardDeviations"] = [0, -1]
write("profile_loader", "zero-deviation.json", json.dumps(broken))
write("profile_loader", "truncated.json", json.dumps(profile)[:120])
write("profile_loader", "not-object.json", "[1, 2, 3]")

# Manifests.
write("manifest_parser", "plain.csv", "file,phoneme\na.wav,A\nsub/b.flac,sil\n")
write("manifest_parser", "quoted.csv", 'speaker,"file",phoneme\r\nx,"a, ""b"".wav",E\r\n\r\ny,/abs/c.wav,O\n')
write("manifest_parser", "missing.csv", "file,label\na.wav,A\n")
write("manifest_parser", "short-row.csv", "phoneme,x,file\nA\n")


# Recordings: tiny WAV (16-bit, 8-bit, float, stereo), AIFF, and what sox makes of them.
def wav(channels, width, rate, frames):
    buffer = io.BytesIO()
    with wave.open(buffer, "wb") as w:
        w.setnchannels(channels)
        w.setsampwidth(width)
        w.setframerate(rate)
        w.writeframes(bytes(rng.randrange(256) for _ in range(frames * channels * width)))
    return buffer.getvalue()


write("audio_reader", "mono16.wav", wav(1, 2, 16000, 32))
write("audio_reader", "stereo8.wav", wav(2, 1, 8000, 16))
write("audio_reader", "mono24.wav", wav(1, 3, 48000, 16))
header = wav(1, 2, 44100, 8)
write("audio_reader", "truncated.wav", header[:-6])
write("audio_reader", "huge-data.wav", header[:40] + struct.pack("<I", 0x7FFFFFF0) + header[44:])
float_data = b"".join(struct.pack("<f", rng.uniform(-1, 1)) for _ in range(16))
fmt = struct.pack("<HHIIHH", 3, 1, 16000, 64000, 4, 32)
write("audio_reader", "float.wav",
      b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(float_data)) + b"WAVE" +
      b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(float_data)) +
      float_data)
with tempfile.TemporaryDirectory() as folder:
    source = pathlib.Path(folder) / "in.wav"
    source.write_bytes(wav(1, 2, 16000, 64))
    for suffix in ("aiff", "flac", "au", "caf"):
        out = pathlib.Path(folder) / f"out.{suffix}"
        try:
            subprocess.run(["sox", str(source), str(out)], check=True, capture_output=True)
            write("audio_reader", f"tiny.{suffix}", out.read_bytes())
        except (OSError, subprocess.CalledProcessError) as error:
            print(f"sox cannot make .{suffix}: {error}", file=sys.stderr)

# Ring lengths: the default profile's rates and a few capture rates.
for index, (target, shift, rate) in enumerate([(16000, 2, 48000), (16000, 4, 44100),
                                               (22050, 3, 96000), (8000, 0, 11025)]):
    write("ring_length", f"seed-{index}",
          ints(target - 4000) + ints(shift) + b"\0" + ints(rate - 4000))
