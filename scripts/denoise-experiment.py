#!/usr/bin/env python3
"""Would taking the stationary noise out of a recording before the job help in noise? A measurement.

    /usr/bin/python3 scripts/denoise-experiment.py [--corpus build/corpus-wide]
        [--sentences build/sentences] [--out build/denoised] [--beta 3] [--floor 0.25]
        [--quiet 0.1] [--smooth 1] [--window FRAMES] [--calibrate] [-p PROFILE]

Needs numpy (Debian's python3-numpy), build/vocetta, the corpus of scripts/make-corpus.py and,
for --sentences, those of scripts/make-sentences.py. Writes a denoised copy of the validation
recordings (and of the sentences) under --out, then scores it with scripts/evaluate-corpus.py as
a user would score the recordings themselves: the library and the profile are unchanged, only the
audio the tool reads is cleaned first.

The cleaning is spectral subtraction at the recording's own rate: frames of about 21 ms (the power
of two nearest, 1024 samples at 48 kHz) at half-frame hops, a square-root Hann window on analysis
and synthesis (so that a gain of 1 gives the input back). The noise's power per bin is the mean
power of the quietest --quiet share of the frames: of the whole recording, or with --window N of
the last N frames up to the frame itself, as a live host could. Each bin keeps the share
sqrt(max(1 - beta x noise / power, floor^2)) of its amplitude, its power taken as the mean over
--smooth frames either side (which costs a live host that many frames of latency). --calibrate
cleans the calibration recordings too and calibrates a profile on them by the built-in recipe
(scripts/sentence-experiment.py profile), which then scores the cleaned validation recordings.
"""
import argparse
import os
import shutil
import subprocess
import sys
import wave
from multiprocessing import Pool

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FRAME_SECONDS = 0.0213


def read(path):
    with wave.open(path) as w:
        if w.getsampwidth() != 2 or w.getnchannels() != 1:
            sys.exit(f"{path}: 16-bit mono WAV expected, as make-corpus.py writes")
        samples = np.frombuffer(w.readframes(w.getnframes()), dtype=np.int16)
        return samples.astype(np.float64) / 32768.0, w.getframerate()


def write(path, samples, rate):
    data = np.clip(np.round(samples * 32768.0), -32768, 32767).astype(np.int16)
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(data.tobytes())


def smoothed(values, frames, axis):
    if frames == 0:
        return values
    kernel = np.ones(2 * frames + 1) / (2 * frames + 1)
    return np.apply_along_axis(lambda c: np.convolve(c, kernel, "same"), axis, values)


def noise_power(power, energy, quiet, window):
    if window == 0:
        chosen = np.argsort(energy, kind="stable")[:max(1, int(quiet * len(energy)))]
        return power[chosen].mean(axis=0)[None, :]
    noise = np.empty_like(power)
    for t in range(len(energy)):
        first = max(0, t - window + 1)
        recent = energy[first:t + 1]
        chosen = np.argsort(recent, kind="stable")[:max(1, int(quiet * len(recent)))] + first
        noise[t] = power[chosen].mean(axis=0)
    return noise


def denoise(samples, rate, settings):
    n = 1 << int(round(np.log2(rate * FRAME_SECONDS)))
    hop = n // 2
    window = np.sqrt(0.5 - 0.5 * np.cos(2 * np.pi * np.arange(n) / n))
    padded = np.concatenate([np.zeros(n), samples, np.zeros(2 * n)])
    frames = (len(padded) - n) // hop + 1
    at = np.arange(n)[None, :] + hop * np.arange(frames)[:, None]
    spectrum = np.fft.rfft(padded[at] * window, axis=1)
    power = np.abs(spectrum) ** 2
    noise = noise_power(power, power.sum(axis=1), settings.quiet, settings.window)
    heard = np.maximum(smoothed(power, settings.smooth, 0), 1e-30)
    gain = np.sqrt(np.maximum(1 - settings.beta * noise / heard, settings.floor ** 2))
    pieces = np.fft.irfft(spectrum * gain, n=n, axis=1) * window
    out = np.zeros(len(padded))
    for t in range(frames):
        out[t * hop:t * hop + n] += pieces[t]
    return out[n:n + len(samples)]


def clean_one(job):
    source, target, settings = job
    samples, rate = read(source)
    write(target, denoise(samples, rate, settings), rate)


def clean_folder(source, target, settings, skip=("source",)):
    """Cleans every WAV of `source` and its subfolders into `target`; other files are copied."""
    jobs = []
    for folder, subfolders, files in os.walk(source):
        subfolders[:] = [s for s in subfolders if s not in skip]
        into = os.path.join(target, os.path.relpath(folder, source))
        os.makedirs(into, exist_ok=True)
        for name in files:
            if name.endswith(".wav"):
                jobs.append((os.path.join(folder, name), os.path.join(into, name), settings))
            else:
                shutil.copy(os.path.join(folder, name), into)
    with Pool(os.cpu_count() or 1) as pool:
        pool.map(clean_one, jobs, chunksize=8)
    return len(jobs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default=os.path.join(ROOT, "build", "corpus-wide"))
    parser.add_argument("--sentences", help="folder of scripts/make-sentences.py")
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "denoised"))
    parser.add_argument("--beta", type=float, default=3.0, help="over-subtraction")
    parser.add_argument("--floor", type=float, default=0.25, help="least amplitude kept")
    parser.add_argument("--quiet", type=float, default=0.1, help="share of frames taken as noise")
    parser.add_argument("--smooth", type=int, default=1, help="frames either side in the power")
    parser.add_argument("--window", type=int, default=0,
                        help="frames the noise is taken from, up to each frame (0: all)")
    parser.add_argument("--calibrate", action="store_true")
    parser.add_argument("-p", "--profile", default="")
    args = parser.parse_args()
    if os.path.exists(args.out):
        sys.exit(f"{args.out}: exists; remove it or name another --out")
    corpus = os.path.join(args.out, "corpus")
    count = clean_folder(os.path.join(args.corpus, "validation"),
                         os.path.join(corpus, "validation"), args)
    shutil.copy(os.path.join(args.corpus, "corpus.json"), corpus)
    evaluate = [sys.executable, os.path.join(ROOT, "scripts", "evaluate-corpus.py"),
                "--corpus", corpus]
    if args.sentences:
        count += clean_folder(args.sentences, os.path.join(args.out, "sentences"), args)
        evaluate += ["--sentences", os.path.join(args.out, "sentences")]
    profile = args.profile
    if args.calibrate:
        count += clean_folder(os.path.join(args.corpus, "calibration"),
                              os.path.join(corpus, "calibration"), args)
        profile = os.path.join(args.out, "profile.json")
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "sentence-experiment.py"),
                        "profile", "--corpus", corpus, "--keep", profile], check=True)
    print(f"{count} recordings cleaned into {args.out}", file=sys.stderr)
    if profile:
        evaluate += ["-p", profile]
    # The copies are cleaned already: the tool reads them as they are.
    subprocess.run(evaluate + ["--", "--keep-noise"], check=True)


if __name__ == "__main__":
    main()
