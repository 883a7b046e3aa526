#!/usr/bin/env python3
"""Unsupervised speaker adaptation on the validation voices: which variant, measured.

    /usr/bin/python3 scripts/adaptation-experiment.py [-p PROFILE] [--work build/adaptation]
                                                      [--variants NAME,...]

Needs numpy (Debian's python3-numpy), build/vocetta and the corpus of scripts/make-corpus.py.
Every frame's MFCCs come from the job (`vocetta calibrate --frames`, all finite frames of every
recording, cached in --work); the frames are then scored offline as the job scores them (root-
mean-square distance over the standardised coefficients, 10^-d, references summed per phoneme),
gated and smoothed as `vocetta analyze` does, and counted as scripts/evaluate-corpus.py counts
them. Digital silence has no finite MFCCs and is left out, so the clean figures are lower than
the tool's; compare variants with one another. The adopted variant ("shift") is what
`vocetta adapt` does; `scripts/evaluate-corpus.py --adapt` gives its figures through the tool.

Variants: a speaker's mean and deviations are those of its speech frames (within GATE dB of each
recording's 95th-percentile volume) over its clean takes and sentences, and the anchor is the
calibration voices' (their plain sustained takes):
  none      the profile as it is
  shift     speech references moved by the speaker's mean minus the anchor (adopted)
  shift-all silence's references moved as well
  scale     shift, and references and deviations scaled by the speaker's deviations / the anchor's
  half      half the shift
  file      each recording's own statistics (what one sustained take alone gives)
  noisy     each condition's own (noisy) recordings give the statistics
  map       shift, then one unsupervised MAP pass: each reference moved toward the mean of the
            frames it wins, with a prior weight of 100 frames
"""
import argparse
import csv
import json
import os
import re
import subprocess

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "build", "vocetta")
CLASSES = ["A", "I", "U", "E", "O", "M", "FV", "S", "sil"]
TARGET = ["A", "I", "U", "E", "O", "sil"]
CONDITIONS = ["clean", "snr20", "snr10", "level-20", "peak-0", "speech"]
VARIANTS = ["none", "shift", "shift-all", "scale", "half", "file", "noisy", "map"]
VOICE = re.compile(r"^(.*?)-[ps]\d+(-|\.)")
GATE_DB, LABEL_GATE_DB, SWITCH_COST, MARGIN = -20.0, -30.0, 2.0, 0.04


def voice_of(path):
    match = VOICE.match(os.path.basename(path))
    return match.group(1) if match else os.path.basename(path)


def extract(corpus, work):
    """Every finite frame's MFCCs: calibration (cal.csv) and each validation condition."""
    os.makedirs(work, exist_ok=True)
    base = os.path.join(work, "cal-profile.json")
    common = ["-q", "-j", "2", "--min-volume", "-200", "--trim", "0", "--references", "1",
              "--refine", "0"]
    if not os.path.exists(os.path.join(work, "cal.csv")):
        subprocess.run([TOOL, "calibrate", "--force",
                        os.path.join(corpus, "calibration", "manifest.csv"),
                        "-o", base, "--frames", os.path.join(work, "cal.csv")] + common,
                       check=True)
    for condition in CONDITIONS:
        out = os.path.join(work, "val-%s.csv" % condition)
        if os.path.exists(out):
            continue
        folder = os.path.join(corpus, "validation", condition)
        with open(os.path.join(folder, "labels.csv")) as f:
            files = sorted({row["file"] for row in csv.DictReader(f)})
        manifest = os.path.join(work, "man-%s.csv" % condition)
        with open(manifest, "w") as f:
            f.write("file,phoneme\n" + "".join("%s,x\n" % os.path.join(folder, n) for n in files))
        subprocess.run([TOOL, "calibrate", "--force", manifest, "--base", base, "-o",
                        os.path.join(work, "tmp.json"), "--frames", out] + common, check=True)


def read_frames(path):
    files, times, vols, feats = [], [], [], []
    with open(path) as f:
        reader = csv.reader(f)
        next(reader)
        for row in reader:
            files.append(row[0])
            times.append(float(row[1]))
            vols.append(float(row[3]))
            feats.append([float(x) for x in row[4:]])
    return np.array(files), np.array(times), np.array(vols), np.array(feats, dtype=np.float64)


def truths(corpus, condition, files, times):
    segments = {}
    with open(os.path.join(corpus, "validation", condition, "labels.csv")) as f:
        for row in csv.DictReader(f):
            segments.setdefault(row["file"], []).append(
                (float(row["start"]), float(row["end"]), row["label"]))
    margin = 0.0 if condition == "speech" else MARGIN
    wanted = set(TARGET[:5]) if condition == "speech" else set(CLASSES)
    out = []
    for file, time in zip(files, times):
        label = None
        for start, end, name in segments[os.path.basename(file)]:
            if start + margin <= time < end - margin and name in wanted:
                label = name
                break
        out.append(label)
    return np.array(out, dtype=object)


def runs(files):
    starts = np.flatnonzero(np.r_[True, files[1:] != files[:-1]])
    return zip(starts, np.r_[starts[1:], len(files)])


def level_gate(files, vols, db):
    """Each recording's 95th-percentile volume times 10^(db/20), per frame."""
    gate = np.zeros(len(files))
    for a, b in runs(files):
        positive = np.sort(vols[a:b][vols[a:b] > 0])
        gate[a:b] = (positive[int(0.95 * (len(positive) - 1) + 0.5)] * 10 ** (db / 20)
                     if len(positive) else np.inf)
    return gate


class Model:
    def __init__(self, means, deviations, references):
        self.means, self.deviations, self.references = means, deviations, references

    def row_scores(self, X):
        out = []
        for name in CLASSES:
            d = ((X[:, None, :] - self.references[name][None]) / self.deviations) ** 2
            out.append(10.0 ** -np.sqrt(d.mean(-1)))
        return out

    def scores(self, X):
        rows = self.row_scores(X)
        total = np.concatenate(rows, 1).sum(1, keepdims=True)
        return np.stack([r.sum(1) for r in rows], 1) / total


def viterbi(logs, cost):
    total, back = logs[0].copy(), np.zeros(logs.shape, dtype=np.int32)
    states = np.arange(logs.shape[1])
    for t in range(1, len(logs)):
        best = np.argmax(total)
        stay = total >= total[best] - cost
        back[t] = np.where(stay, states, best)
        total = np.where(stay, total, total[best] - cost) + logs[t]
    path, state = np.zeros(len(logs), dtype=np.int32), int(np.argmax(total))
    for t in range(len(logs) - 1, -1, -1):
        path[t], state = state, back[t, state]
    return path


def label(files, vols, S):
    silence, out = CLASSES.index("sil"), np.zeros(len(files), dtype=np.int32)
    silent = ~(vols >= level_gate(files, vols, LABEL_GATE_DB))
    for a, b in runs(files):
        logs = np.maximum(np.log(np.maximum(S[a:b], 1e-300)), -1e6)
        logs[silent[a:b]] = -1e6
        logs[silent[a:b], silence] = 0
        out[a:b] = viterbi(logs, SWITCH_COST)
    return out


def adapt(model, mean, sd, anchor, anchor_sd, fraction=1.0, scale=False, keep=("sil",)):
    k = sd / anchor_sd if scale else np.ones_like(sd)
    references = {name: r if name in keep else anchor + fraction * (mean - anchor) + (r - anchor) * k
                  for name, r in model.references.items()}
    return Model(model.means, model.deviations * k, references)


def map_pass(model, X, weight=100.0):
    rows = model.row_scores(X)
    best, references, first = np.argmax(np.concatenate(rows, 1), 1), {}, 0
    for name, r in zip(CLASSES, rows):
        refs = model.references[name].copy()
        if name != "sil":
            for j in range(len(refs)):
                chosen = best == first + j
                if chosen.any():
                    refs[j] = (weight * refs[j] + X[chosen].sum(0)) / (weight + chosen.sum())
        references[name], first = refs, first + r.shape[1]
    return Model(model.means, model.deviations, references)


def speech_stats(data, by):
    """Mean and deviation of the speech frames, grouped by voice or by file."""
    groups = {}
    for files, vols, X in data:
        keep = vols >= level_gate(files, vols, GATE_DB)
        keys = np.array([voice_of(f) for f in files]) if by == "voice" else files
        for key in np.unique(keys):
            groups.setdefault(key, []).append(X[keep & (keys == key)])
    return {k: (np.concatenate(v).mean(0), np.concatenate(v).std(0)) for k, v in groups.items()
            if sum(len(x) for x in v)}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-p", "--profile", default=os.path.join(ROOT, "profiles", "default.json"))
    parser.add_argument("--corpus", default=os.path.join(ROOT, "build", "corpus"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "adaptation"))
    parser.add_argument("--variants", default=",".join(VARIANTS))
    args = parser.parse_args()
    extract(args.corpus, args.work)
    profile = json.load(open(args.profile))
    base = Model(np.array(profile["means"]), np.array(profile["standardDeviations"]),
                 {p["name"]: np.array(p["references"]) for p in profile["phonemes"]})
    files, _, vols, X = read_frames(os.path.join(args.work, "cal.csv"))
    plain = np.array(["-sil-" not in f and not f.endswith("-aug.wav") for f in files])
    speech = plain & (vols >= level_gate(files, vols, GATE_DB))
    anchor, anchor_sd = X[speech].mean(0), X[speech].std(0)
    data = {c: read_frames(os.path.join(args.work, "val-%s.csv" % c)) for c in CONDITIONS}
    truth = {c: truths(args.corpus, c, data[c][0], data[c][1]) for c in CONDITIONS}
    sources = [(data[c][0], data[c][2], data[c][3]) for c in ("clean", "speech")]
    per_voice = speech_stats(sources, "voice")
    # The frames each voice's MAP pass learns from: its gated clean takes and sentences.
    voice_frames = {}
    for files, vols, X in sources:
        keep = vols >= level_gate(files, vols, GATE_DB)
        for voice in np.unique([voice_of(f) for f in files]):
            mine = keep & np.array([voice_of(f) == voice for f in files])
            voice_frames[voice] = np.concatenate([voice_frames.get(voice, X[:0]), X[mine]])
    for variant in args.variants.split(","):
        figures = []
        for condition in CONDITIONS:
            files, _, vols, X = data[condition]
            stats, by_file = per_voice, variant == "file"
            if variant == "noisy":
                stats = speech_stats([(files, vols, X)] + ([] if condition == "speech" else
                                                          sources[1:]), "voice")
            if by_file:
                stats = speech_stats([(files, vols, X)], "file")
            models, S = {}, np.zeros((len(files), len(CLASSES)))
            for file in np.unique(files):
                key = file if by_file else voice_of(file)
                if key not in models:
                    mean, sd = stats.get(key, (anchor, anchor_sd))
                    if variant == "none":
                        models[key] = base
                    else:
                        models[key] = adapt(base, mean, sd, anchor, anchor_sd,
                                            0.5 if variant == "half" else 1.0, variant == "scale",
                                            () if variant == "shift-all" else ("sil",))
                    if variant == "map":
                        models[key] = map_pass(models[key], voice_frames[key])
                chosen = files == file
                S[chosen] = models[key].scores(X[chosen])
            names = np.array(CLASSES)[label(files, vols, S)]
            counted = np.array([t in TARGET for t in truth[condition]])
            figures.append(100 * (names[counted] == truth[condition][counted]).mean())
        print("%-10s " % variant + " ".join("%s %5.1f" % (c, f)
                                            for c, f in zip(CONDITIONS, figures)), flush=True)


if __name__ == "__main__":
    main()
