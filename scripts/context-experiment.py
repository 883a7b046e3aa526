#!/usr/bin/env python3
"""Would a context stage over the job's phoneme scores help on unseen voices? A measurement.

    /usr/bin/python3 scripts/context-experiment.py [-p PROFILE] [--work build/context]

Needs numpy (Debian's python3-numpy), build/vocetta and the corpus of scripts/make-corpus.py.

The stage is a multinomial logistic regression from the log scores of frames t-k..t+k to the
phoneme of frame t, followed by the usual Viterbi smoothing. It must learn from scores such as
unseen voices get, not from the calibration voices scored by a profile that has heard them
(those are far too confident), so the calibration voices are split by voice into two folds, a
profile is calibrated on each (the recipe of scripts/make-default-profile.py) and scores the
other fold. The regression learns from those out-of-fold scores; the validation voices, scored by
PROFILE (default: profiles/default.json), give the figures, with the same frames and classes as
scripts/evaluate-corpus.py. Each model starts from the identity (every class keeps its own score)
and is pulled back towards it by an L2 penalty.
"""
import argparse
import csv
import hashlib
import json
import os
import subprocess
import sys

import numpy as np

from script_loader import load_script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLASSES = ["A", "I", "U", "E", "O", "M", "FV", "S", "sil"]
SILENCE = CLASSES.index("sil")
SCORED = [CLASSES.index(c) for c in ["A", "I", "U", "E", "O", "sil"]]
# (kind, context frames each side, L2 weight): a bias per class alone, then full models.
MODELS = [("bias", 0, 0.0), ("full", 0, 1e-2), ("full", 1, 1e-2), ("full", 2, 1e-2),
          ("full", 2, 1e-1)]
SWITCH_COSTS = [2.0, 3.0]


EVALUATE = load_script("evaluate-corpus")
RECIPE = load_script("make-default-profile")
write_manifest = load_script("make-corpus").write_csv


def read_frames(path):
    """times, the tool's unsmoothed labels, scores (frames x CLASSES)."""
    with open(path) as f:
        rows = list(csv.DictReader(f))
    return (np.array([float(r["time"]) for r in rows]), np.array([r["phoneme"] for r in rows]),
            np.array([[float(r[c]) for c in CLASSES] for r in rows]).reshape(-1, len(CLASSES)))


def analyze(files, profile, out):
    os.makedirs(out, exist_ok=True)
    missing = [f for f in files
               if not os.path.exists(os.path.join(out, os.path.basename(f)[:-4] + ".csv"))]
    for start in range(0, len(missing), 500):  # keep the command line short
        subprocess.run([EVALUATE.TOOL, "analyze", "--force", "-q", "-j", "2", "--no-smoothing",
                        "--keep-noise", "-f", "csv", "-p", profile, "-o", out] + missing[start:start + 500], check=True)
    return {f: read_frames(os.path.join(out, os.path.basename(f)[:-4] + ".csv")) for f in files}


def out_of_fold(corpus, work):
    """Recordings of the calibration voices with frame labels, each scored by the profile of the
    other fold: a list of (times, labels, scores, truth) with truth -1 where nothing counts."""
    folder = os.path.join(corpus, "calibration")
    with open(os.path.join(corpus, "corpus.json")) as f:
        voices = json.load(f)["voices"]
    calibration = sorted(v for v, x in voices.items() if x["split"] == "calibration")
    folds = [set(), set()]
    for kind in ("diphone", "formant"):
        for index, voice in enumerate(v for v in calibration if voices[v]["kind"] == kind):
            folds[index % 2].add(voice)
    with open(os.path.join(folder, "manifest.csv")) as f:
        takes = list(csv.DictReader(f))
    with open(os.path.join(folder, "speech.csv")) as f:
        sentences = list(csv.DictReader(f))
    recordings = []
    for k in (0, 1):
        manifest = os.path.join(folder, "context-fold%d.csv" % k)
        vowels = os.path.join(folder, "context-fold%d-sentences.csv" % k)
        write_manifest(manifest, ["file", "phoneme", "voice"],
                       [[r["file"], r["phoneme"], r["voice"]] for r in takes
                        if r["voice"] in folds[k]])
        write_manifest(vowels, ["file", "phoneme", "voice", "start", "end"],
                       [[r["file"], r["phoneme"], r["voice"], r["start"], r["end"]]
                        for r in sentences if r["voice"] in folds[k] and
                        r["phoneme"] in RECIPE.VOWELS] * RECIPE.SENTENCE_WEIGHT)
        profile = os.path.join(work, "fold%d.json" % k)
        if not os.path.exists(profile):
            subprocess.run([EVALUATE.TOOL, "calibrate", "--force", manifest, vowels, "-o",
                            profile, "-q", "-j", "2", "--base", RECIPE.PROFILE] + RECIPE.CHOSEN, check=True)
        other = folds[1 - k]
        # Takes: every frame but the trimmed ends is the take's phoneme.
        files = [r for r in takes if r["voice"] in other]
        frames = analyze([os.path.join(folder, r["file"]) for r in files], profile,
                         os.path.join(work, "takes"))
        for r in files:
            times, labels, scores = frames[os.path.join(folder, r["file"])]
            truth = np.where((times >= 0.08) & (times <= times[-1] - 0.08),
                             CLASSES.index(r["phoneme"]), -1)
            recordings.append((times, labels, scores, truth))
        segments = {}
        for r in sentences:
            if r["voice"] in other:
                segments.setdefault(r["file"], []).append(r)
        frames = analyze([os.path.join(folder, f) for f in segments], profile,
                         os.path.join(work, "sentences"))
        for file, rows in segments.items():
            times, labels, scores = frames[os.path.join(folder, file)]
            truth = np.full(len(times), -1)
            for r in rows:
                truth[(times >= float(r["start"])) & (times < float(r["end"]))] = \
                    CLASSES.index(r["phoneme"])
            recordings.append((times, labels, scores, truth))
    return recordings


def validation(corpus, condition, profile, work):
    """The validation recordings of one condition, labelled as scripts/evaluate-corpus.py does."""
    folder = os.path.join(corpus, "validation", condition)
    segments = EVALUATE.labels_of(folder)
    speech = condition == "speech"
    wanted = set(EVALUATE.TARGET[:5]) if speech else set(CLASSES)
    margin = 0.0 if speech else EVALUATE.MARGIN
    with open(profile, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest()[:12]
    frames = analyze([os.path.join(folder, f) for f in sorted(segments)], profile,
                     os.path.join(work, "validation-%s-%s" % (condition, digest)))
    recordings = []
    for file in sorted(segments):
        times, labels, scores = frames[os.path.join(folder, file)]
        truth = [EVALUATE.truth(segments[file], t, margin, wanted) for t in times]
        recordings.append((times, labels, scores,
                           np.array([CLASSES.index(t) if t else -1 for t in truth])))
    return recordings


def gated(labels, scores):
    """Frames the tool calls silence although their best score is elsewhere: below its gate."""
    return (labels == "sil") & (scores.argmax(1) != SILENCE)


def features(scores, context):
    logs = np.log(np.maximum(scores, 1e-6))
    index = np.arange(len(logs))
    columns = [logs[np.clip(index + d, 0, len(logs) - 1)] for d in range(-context, context + 1)]
    return np.hstack(columns + [np.ones((len(logs), 1))])


def train(recordings, kind, context, l2, steps=300, rate=0.1):
    """Class-balanced cross-entropy, Adam, from the identity."""
    x = np.vstack([features(s, context)[(t >= 0) & ~gated(lab, s)]
                   for _, lab, s, t in recordings])
    y = np.concatenate([t[(t >= 0) & ~gated(lab, s)] for _, lab, s, t in recordings])
    counts = np.bincount(y, minlength=len(CLASSES)).astype(float)
    weight = (counts.sum() / (len(CLASSES) * np.maximum(counts, 1)))[y]
    weight /= weight.sum()
    k = len(CLASSES)
    start = np.zeros((x.shape[1], k))
    start[context * k:(context + 1) * k] = np.eye(k)
    w = start.copy()
    target = np.eye(k)[y]
    first = np.zeros_like(w)
    second = np.zeros_like(w)
    for step in range(1, steps + 1):
        z = x @ w
        z -= z.max(1, keepdims=True)
        p = np.exp(z)
        p /= p.sum(1, keepdims=True)
        gradient = x.T @ ((p - target) * weight[:, None]) + l2 * (w - start)
        if kind == "bias":
            gradient[:-1] = 0
        first = 0.9 * first + 0.1 * gradient
        second = 0.999 * second + 0.001 * gradient ** 2
        w -= rate * (first / (1 - 0.9 ** step)) / (np.sqrt(second / (1 - 0.999 ** step)) + 1e-8)
    return w


def viterbi(logs, cost):
    """The tool's smoothing: best path with a fixed cost per change of phoneme."""
    total = logs[0].copy()
    back = np.zeros(logs.shape, dtype=int)
    states = np.arange(logs.shape[1])
    for t in range(1, len(logs)):
        best = total.argmax()
        switched = total[best] - cost
        stay = total >= switched
        back[t] = np.where(stay, states, best)
        total = np.where(stay, total, switched) + logs[t]
    path = np.zeros(len(logs), dtype=int)
    state = total.argmax()
    for t in range(len(logs) - 1, -1, -1):
        path[t] = state
        state = back[t, state]
    return path


def accuracy(recordings, model, context, cost):
    correct = total = 0
    for _, labels, scores, truth in recordings:
        if model is None:
            logs = np.log(np.maximum(scores, 1e-30))
        else:
            z = features(scores, context) @ model
            z -= z.max(1, keepdims=True)
            logs = z - np.log(np.exp(z).sum(1, keepdims=True))
        silent = gated(labels, scores)
        logs[silent] = -1.0e6
        logs[silent, SILENCE] = 0.0
        path = viterbi(logs, cost)
        counted = np.isin(truth, SCORED)
        correct += int((path[counted] == truth[counted]).sum())
        total += int(counted.sum())
    return 100.0 * correct / max(1, total)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-p", "--profile", default=RECIPE.PROFILE)
    parser.add_argument("--corpus", default=EVALUATE.ROOT + "/build/corpus")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "context"))
    args = parser.parse_args()
    if not os.access(EVALUATE.TOOL, os.X_OK):
        sys.exit("build the tool first: cmake -S . -B build && cmake --build build")
    os.makedirs(args.work, exist_ok=True)
    learn = out_of_fold(args.corpus, args.work)
    conditions = ["clean", "snr20", "snr10", "speech"]
    check = {c: validation(args.corpus, c, args.profile, args.work) for c in conditions}
    print("%-22s %5s " % ("model", "cost") + " ".join("%8s" % c for c in conditions))
    for cost in SWITCH_COSTS:
        print("%-22s %5g " % ("none", cost) +
              " ".join("%7.2f%%" % accuracy(check[c], None, 0, cost) for c in conditions))
    for kind, context, l2 in MODELS:
        model = train(learn, kind, context, l2)
        name = "%s t-%d..t+%d l2 %g" % (kind, context, context, l2)
        for cost in SWITCH_COSTS:
            print("%-22s %5g " % (name, cost) + " ".join(
                "%7.2f%%" % accuracy(check[c], model, context, cost) for c in conditions),
                flush=True)


if __name__ == "__main__":
    main()
