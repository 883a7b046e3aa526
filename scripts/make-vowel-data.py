#!/usr/bin/env python3
"""Synthesises labelled vowel recordings with espeak-ng for calibrating and testing profiles.

Writes, under OUT (default build/vowels):
  calibration/   sustained A I U E O from the calibration voices, and quiet noise as 'sil'
  heldout/       the same from other voices (other languages and voice variants)
  heldout-snr20/ the held-out recordings with noise added at 20 dB SNR
each with a manifest.csv (columns file, phoneme) for `vocetta calibrate` and `vocetta evaluate`.

Needs only espeak-ng, sox and the Python standard library; the output is the same on every run.
"""
import argparse
import csv
import math
import os
import random
import struct
import subprocess
import sys
import wave

VOWELS = {"A": "a", "I": "i", "U": "u", "E": "e", "O": "o"}

# A voice is a language's pronunciation with a speaker variant (pitch, formants, breathiness).
CALIBRATION_LANGUAGES = ["it", "es", "id", "fi"]
CALIBRATION_VARIANTS = ["m1", "m3", "f1", "f3", "m6"]
HELDOUT_LANGUAGES = ["eo", "sw", "la", "pl"]
HELDOUT_VARIANTS = ["m2", "m4", "f2", "f4", "m7"]

SPEED = 80            # words per minute: espeak's slowest, for the longest steady vowel
EDGE_SECONDS = 0.06   # cut from both ends: onset and fade are not the sustained vowel
SNR_DB = 20.0


def read_wav(path):
    with wave.open(path, "rb") as w:
        assert w.getsampwidth() == 2 and w.getnchannels() == 1, path
        rate = w.getframerate()
        data = w.readframes(w.getnframes())
    return rate, list(struct.unpack("<%dh" % (len(data) // 2), data))


def write_wav(path, rate, samples):
    clipped = [max(-32768, min(32767, int(round(s)))) for s in samples]
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(struct.pack("<%dh" % len(clipped), *clipped))


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / max(1, len(samples)))


def synthesise_vowel(path, language, variant, vowel):
    raw = path + ".raw.wav"
    phoneme = VOWELS[vowel] + ":"
    subprocess.run(["espeak-ng", "-v", language + "+" + variant, "-s", str(SPEED), "-w", raw,
                    "[[" + phoneme * 4 + "]]"], check=True)
    # Leading and trailing silence off, then the transitions at both ends.
    subprocess.run(["sox", raw, path, "silence", "1", "0.01", "-45d", "reverse",
                    "silence", "1", "0.01", "-45d", "reverse"], check=True)
    os.remove(raw)
    rate, samples = read_wav(path)
    edge = int(EDGE_SECONDS * rate)
    write_wav(path, rate, samples[edge:len(samples) - edge])


def noise(count, seed, pink):
    generator = random.Random(seed)
    if not pink:
        return [generator.gauss(0.0, 1.0) for _ in range(count)]
    # Pink noise: white noise through a sum of one-pole filters (a standard approximation).
    b = [0.0] * 6
    out = []
    for _ in range(count):
        white = generator.gauss(0.0, 1.0)
        b[0] = 0.99886 * b[0] + white * 0.0555179
        b[1] = 0.99332 * b[1] + white * 0.0750759
        b[2] = 0.96900 * b[2] + white * 0.1538520
        b[3] = 0.86650 * b[3] + white * 0.3104856
        b[4] = 0.55000 * b[4] + white * 0.5329522
        b[5] = -0.7616 * b[5] - white * 0.0168980
        out.append(sum(b) + white * 0.5362)
    return out


def scaled(samples, level):
    current = rms(samples)
    return [s * level / current for s in samples]


def make_set(out, name, languages, variants, seed, quiet_silence_db):
    folder = os.path.join(out, name)
    os.makedirs(folder, exist_ok=True)
    rows = []
    rate = 22050
    for li, language in enumerate(languages):
        for vi, variant in enumerate(variants):
            voice = language + "-" + variant
            for vowel in VOWELS:
                file = "%s-%s.wav" % (voice, vowel)
                synthesise_vowel(os.path.join(folder, file), language, variant, vowel)
                rows.append((file, vowel, voice))
            # Silence: quiet room noise for calibration (digital zero has no spectrum to learn),
            # digital zero for the clean held-out set.
            file = "%s-sil.wav" % voice
            count = rate  # one second
            if quiet_silence_db is None:
                samples = [0.0] * count
            else:
                level = 32768 * 10 ** ((quiet_silence_db - 6 * vi) / 20)
                samples = scaled(noise(count, seed + 100 * li + vi, pink=vi % 2 == 1), level)
            write_wav(os.path.join(folder, file), rate, samples)
            rows.append((file, "sil", voice))
    write_manifest(folder, rows)
    return folder, rows


def write_manifest(folder, rows):
    with open(os.path.join(folder, "manifest.csv"), "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(["file", "phoneme", "voice"])
        writer.writerows(rows)


def make_noisy(source, rows, target, seed):
    """Adds white or pink noise at SNR_DB below each voice's mean vowel level."""
    os.makedirs(target, exist_ok=True)
    levels = {}
    for file, phoneme, voice in rows:
        if phoneme != "sil":
            levels.setdefault(voice, []).append(rms(read_wav(os.path.join(source, file))[1]))
    for index, (file, phoneme, voice) in enumerate(rows):
        rate, samples = read_wav(os.path.join(source, file))
        level = sum(levels[voice]) / len(levels[voice]) / 10 ** (SNR_DB / 20)
        extra = scaled(noise(len(samples), seed + index, pink=index % 2 == 1), level)
        write_wav(os.path.join(target, file), rate, [s + n for s, n in zip(samples, extra)])
    write_manifest(target, rows)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="build/vowels", help="output folder")
    args = parser.parse_args()
    for tool in ("espeak-ng", "sox"):
        if subprocess.run(["which", tool], capture_output=True).returncode != 0:
            sys.exit("%s is missing: run scripts/install-deps.sh" % tool)
    make_set(args.out, "calibration", CALIBRATION_LANGUAGES, CALIBRATION_VARIANTS, 1000, -50.0)
    folder, rows = make_set(args.out, "heldout", HELDOUT_LANGUAGES, HELDOUT_VARIANTS, 2000, None)
    make_noisy(folder, rows, os.path.join(args.out, "heldout-snr20"), 3000)
    print("wrote", args.out)


if __name__ == "__main__":
    main()
