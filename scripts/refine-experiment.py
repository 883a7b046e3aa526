#!/usr/bin/env python3
"""Variants of calibration's discriminative refinement, measured on the validation voices.

    /usr/bin/python3 scripts/refine-experiment.py [--corpus build/corpus-wide]
        [--sentences build/sentences] [--work build/refine] [--variants NAME,...]

Needs numpy (Debian's python3-numpy), build/vocetta and the corpus of scripts/make-corpus.py
--wide. The built-in recipe (scripts/make-default-profile.py) calibrates without refinement and
writes its kept frames (`vocetta calibrate --refine 0 --frames`, cached in --work); each variant
then refines those cluster means here, in numpy, as `tools/vocetta/refine.cpp` does (Adam, steps
of 0.01, 2048 frames per step, 8 passes, the cross-entropy of the summed scores, every phoneme's
frames weighted alike) but for what the variant changes, and the profile it gives is scored
through the tool by scripts/evaluate-corpus.py on the validation voices. The errors on unseen
voices belong to a few speakers, so the variants ask the refinement to serve every calibration
speaker, not the frames it has most of:

  tool      the tool's own refinement (`--refine 8`), for reference
  plain     the replica of it, which should score within a few tenths of `tool`
  voices    within each phoneme, every calibration voice's frames weighted alike
  voices-split  the same within each phoneme's takes and within its sentence vowels apart
  dro       the voices' losses weighted toward the worst (group distributionally robust
            optimisation: each voice's weight grows by exp(0.1 x its loss) every step)
  shift     every speech frame moved by another calibration voice's mean minus its own, drawn
            afresh each pass (an unseen voice sits, as a whole, somewhere else in MFCC space)
  sentencesN  the calibration voices' sentence vowels weighted as if listed N times, not 4
  passesN   N passes instead of 8 (passes16 by default)

docs/recognition.md, "The refinement, asked to serve every speaker", gives their figures.
"""
import argparse
import csv
import json
import os
import re
import subprocess
import sys

import numpy as np

from script_loader import load_script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "build", "vocetta")
VARIANTS = ["tool", "plain", "voices", "voices-split", "dro", "shift", "passes16"]
VOICE = re.compile(r"^(.*?)-p\d+-")
LN10 = np.log(10.0)


def voice_of(path):
    match = VOICE.match(os.path.basename(path))
    return match.group(1) if match else "room"  # the silence takes' noise belongs to no voice


def read_frames(path, names):
    voices, sentences, phonemes, feats = [], [], [], []
    with open(path) as f:
        reader = csv.reader(f)
        next(reader)
        for row in reader:
            voices.append(voice_of(row[0]))
            sentences.append(os.path.basename(os.path.dirname(row[0])) == "speech")
            phonemes.append(names.index(row[2]))
            feats.append([float(x) for x in row[4:]])
    return (np.array(voices), np.array(sentences), np.array(phonemes),
            np.array(feats, dtype=np.float64))


def refine(profile, x, target, voices, sentence, variant, rng):
    names = [p["name"] for p in profile["phonemes"]]
    mean = np.array(profile["means"], dtype=np.float64)
    std = np.array(profile["standardDeviations"], dtype=np.float64)
    owner = np.array([p for p, ph in enumerate(profile["phonemes"]) for _ in ph["references"]])
    refs = np.array([r for ph in profile["phonemes"] for r in ph["references"]], dtype=np.float64)
    n, m = x.shape
    logw = -np.log(std)
    R = (refs - mean) / std
    counts = np.bincount(target, minlength=len(names)).astype(np.float64)
    present = np.count_nonzero(counts)
    weight = n / (present * counts[target])
    voice_names, voice_index = np.unique(voices, return_inverse=True)
    groups = {"voices": [target >= 0], "voices-split": [sentence, ~sentence]}.get(variant, [])
    for p in range(len(names)):
        for group in groups:
            here = (target == p) & group
            per_voice = np.bincount(voice_index[here], minlength=len(voice_names))
            used = np.count_nonzero(per_voice)
            if used:
                weight[here] *= here.sum() / (used * per_voice[voice_index[here]])
    if variant.startswith("sentences"):
        # As if the sentence vowels were listed N times instead of 4, each phoneme's frames
        # still weighing as much as every other phoneme's.
        weight[sentence] *= float(variant[9:]) / 4
        for p in range(len(names)):
            here = target == p
            if here.any():
                weight[here] *= n / (present * weight[here].sum())
    silence = names.index("sil") if "sil" in names else -1
    offsets = np.zeros((len(voice_names), m))
    spoken = [v for v in range(len(voice_names)) if voice_names[v] != "room"]
    for v in spoken:
        rows = (voice_index == v) & (target != silence)
        offsets[v] = x[rows].mean(axis=0)
    offsets[spoken] -= offsets[spoken].mean(axis=0)
    q = np.ones(len(voice_names)) / len(voice_names)
    passes = int(variant[6:]) if variant.startswith("passes") else 8
    params = [logw, R]
    first = [np.zeros_like(a) for a in params]
    second = [np.zeros_like(a) for a in params]
    step = 0
    for _ in range(passes):
        order = rng.permutation(n)
        shifted = x
        if variant == "shift":
            other = rng.choice(spoken, size=len(voice_names))
            move = offsets[other] - offsets
            move[voice_names == "room"] = 0.0
            shifted = x + np.where((target != silence)[:, None], move[voice_index], 0.0)
        for start in range(0, n, 2048):
            batch = order[start:start + 2048]
            w = np.exp(logw)
            z = (shifted[batch] - mean) * w
            diff = z[:, None, :] - R[None, :, :]
            dist = np.sqrt((diff * diff).sum(axis=2) / m + 1e-12)
            ls = -LN10 * dist
            s = np.exp(ls - ls.max(axis=1, keepdims=True))
            mask = owner[None, :] == target[batch][:, None]
            total = s.sum(axis=1)
            own = (s * mask).sum(axis=1)
            fw = weight[batch] / len(batch)
            if variant == "dro":
                loss = -np.log(own / total)
                per = np.bincount(voice_index[batch], weights=loss, minlength=len(q))
                seen = np.bincount(voice_index[batch], minlength=len(q))
                q *= np.exp(0.1 * np.where(seen > 0, per / np.maximum(seen, 1), 0.0))
                q /= q.sum()
                fw = fw * q[voice_index[batch]] * len(q)
            share = s / total[:, None] - mask * s / own[:, None]
            by = -LN10 * share * fw[:, None]
            g = by[:, :, None] * diff / (m * dist[:, :, None])
            grads = [(g.sum(axis=1) * z).sum(axis=0), -g.sum(axis=0)]
            step += 1
            for a, gr, f1, f2 in zip(params, grads, first, second):
                f1 *= 0.9
                f1 += 0.1 * gr
                f2 *= 0.999
                f2 += 0.001 * gr * gr
                a -= 0.01 * (f1 / (1 - 0.9 ** step)) / (np.sqrt(f2 / (1 - 0.999 ** step)) + 1e-8)
    out = json.loads(json.dumps(profile))
    std32 = np.exp(-logw).astype(np.float32)
    out["standardDeviations"] = [float(v) for v in std32]
    row = 0
    for ph in out["phonemes"]:
        for k in range(len(ph["references"])):
            ph["references"][k] = [float(v) for v in
                                   (R[row] * std32.astype(np.float64) + mean).astype(np.float32)]
            row += 1
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default=os.path.join(ROOT, "build", "corpus-wide"))
    parser.add_argument("--sentences", default=os.path.join(ROOT, "build", "sentences"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "refine"))
    parser.add_argument("--variants", default=",".join(VARIANTS))
    args = parser.parse_args()
    if not os.access(TOOL, os.X_OK):
        sys.exit("build the tool first: cmake -S . -B build && cmake --build build")
    experiment = load_script("sentence-experiment")
    os.makedirs(args.work, exist_ok=True)
    base = os.path.join(args.work, "unrefined.json")
    frames = os.path.join(args.work, "frames.csv")
    if not os.path.exists(frames):
        experiment.calibrate(args.corpus, [], base, ["--refine", "0", "--frames", frames])
    with open(base) as f:
        profile = json.load(f)
    names = [p["name"] for p in profile["phonemes"]]
    voices, sentence, target, x = read_frames(frames, names)
    print("%d frames, %d voices" % (len(x), len(set(voices))), flush=True)
    for variant in args.variants.split(","):
        path = os.path.join(args.work, variant + ".json")
        if variant == "tool":
            experiment.calibrate(args.corpus, [], path, [])
        else:
            refined = refine(profile, x, target, voices, sentence, variant, np.random.default_rng(1))
            with open(path, "w") as f:
                json.dump(refined, f)
        result = os.path.join(args.work, variant + "-figures.json")
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "evaluate-corpus.py"),
                        "-p", path, "--corpus", args.corpus, "--sentences", args.sentences,
                        "--json", result], check=True, stdout=subprocess.DEVNULL)
        with open(result) as f:
            figures = json.load(f)
        print("%-9s" % variant, " ".join("%s %.1f" % (c, 100 * r["accuracy"])
                                         for c, r in figures.items()),
              "| clean recall", " ".join("%s %.1f" % (v, 100 * figures["clean"]["recall"][v])
                                         for v in "AIUEO"), flush=True)


if __name__ == "__main__":
    main()
