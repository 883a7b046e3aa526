#!/usr/bin/env python3
"""Upper bound of speaker normalisation by frequency warping, on the validation voices.

    scripts/warp-oracle.py [-p PROFILE] [--factors 0.88,0.94,1.06,1.12]
                           [--conditions clean,snr20,speech] [--work build/warp]
                           [-- extra options for `vocetta analyze`]

Resamples every validation recording of build/corpus (scripts/make-corpus.py) by each factor F
(`sox speed F`, back to the corpus rate: formants and pitch scale by F, times by 1/F, as a
shorter or longer vocal tract would sound), scales the label times to match, and scores each
warped copy with scripts/evaluate-corpus.py. The oracle then takes, for every voice, the factor
that recognises its vowels best: no real recogniser can choose better, so if the oracle gains
little over F = 1, choosing a warp per speaker is not worth building. "fixed" keeps for every
condition the factor each voice was best with in the first condition (clean by default). The warped audio stays
under --work (never in the repository); files that exist are kept.
"""
import argparse
import concurrent.futures
import csv
import json
import os
import subprocess
import sys
import tempfile

from script_loader import load_script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
VOWELS = ["A", "I", "U", "E", "O"]


def load_evaluator():
    return load_script("evaluate-corpus")


def warp_condition(source, target, factor, rate, jobs):
    """Writes TARGET/labels.csv with times scaled by 1/factor and every recording warped."""
    os.makedirs(target, exist_ok=True)
    with open(os.path.join(source, "labels.csv")) as f:
        rows = list(csv.DictReader(f))
    files = sorted({row["file"] for row in rows})
    temporary = os.path.join(target, "labels.csv.part")
    with open(temporary, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=["file", "start", "end", "label"])
        writer.writeheader()
        for row in rows:
            writer.writerow({"file": row["file"], "label": row["label"],
                             "start": "%.6f" % (float(row["start"]) / factor),
                             "end": "%.6f" % (float(row["end"]) / factor)})
    os.replace(temporary, os.path.join(target, "labels.csv"))

    def one(file):
        path = os.path.join(target, file)
        if os.path.exists(path):
            return
        part = path + ".part.wav"
        subprocess.run(["sox", "-D", os.path.join(source, file), part, "speed", "%g" % factor,
                        "rate", str(rate)], check=True)
        os.replace(part, path)

    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        list(pool.map(one, files))


def vowel_counts(counts):
    """(correct, total) over the vowel frames of one voice's confusion counts."""
    return (sum(counts[t].get(t, 0) for t in VOWELS),
            sum(sum(counts[t].values()) for t in VOWELS))


def vowel_accuracy(by_factor, factor, condition, voice):
    hit, seen = vowel_counts(by_factor[factor][condition]["voices"][voice])
    return hit / max(1, seen)


def oracle(by_factor, condition, picks=None):
    """Accuracy over A I U E O sil when every voice gets its best factor (or the one in PICKS).

    Warping changes how many frames a recording has, so each voice's vowel accuracy is weighted
    by its frame count at F = 1; silence is scored as it is at F = 1."""
    base = by_factor[1.0][condition]
    silence = base["confusion"].get("sil", {})
    correct = silence.get("sil", 0)
    total = sum(silence.values())
    chosen = {}
    for voice, counts in base["voices"].items():
        frames = vowel_counts(counts)[1]
        factor = picks.get(voice, 1.0) if picks is not None else max(
            by_factor, key=lambda f: vowel_accuracy(by_factor, f, condition, voice))
        chosen[voice] = factor
        correct += frames * vowel_accuracy(by_factor, factor, condition, voice)
        total += frames
    return correct / max(1, total), chosen


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-p", "--profile", default="", help="profile (default: built-in)")
    parser.add_argument("--corpus", default=os.path.join(ROOT, "build", "corpus"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "warp"))
    parser.add_argument("--factors", default="0.88,0.94,1.06,1.12")
    parser.add_argument("--conditions", default="clean,snr20,speech")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("extra", nargs="*", help="options passed on to vocetta analyze")
    args = parser.parse_args()
    evaluator = load_evaluator()
    if not os.access(evaluator.TOOL, os.X_OK):
        sys.exit("build the tool first: cmake -S . -B build && cmake --build build")
    try:
        factors = sorted({1.0} | {float(f) for f in args.factors.split(",")})
    except ValueError:
        sys.exit("--factors: expected numbers separated by commas, got '%s'" % args.factors)
    if any(not 0.5 <= f <= 2.0 for f in factors):
        sys.exit("--factors: every factor must lie between 0.5 and 2")
    conditions = args.conditions.split(",")
    with open(os.path.join(args.corpus, "corpus.json")) as f:
        rate = json.load(f)["rate"]
    by_factor = {}
    os.makedirs(args.work, exist_ok=True)
    for factor in factors:
        corpus = args.corpus
        if factor != 1.0:
            corpus = os.path.join(args.work, "%g" % factor)
            for condition in conditions:
                warp_condition(os.path.join(args.corpus, "validation", condition),
                               os.path.join(corpus, "validation", condition), factor, rate,
                               args.jobs)
        with tempfile.TemporaryDirectory(dir=args.work) as work:
            extra = ["--keep-noise"] + args.extra  # as the figures were measured
            by_factor[factor] = evaluator.evaluate(corpus, args.profile, extra, work, conditions)
    lines = ["%-9s " % "condition" + " ".join("%8s" % ("F=%g" % f) for f in factors) +
             "   oracle  fixed"]
    summary = {}
    # "fixed": each voice keeps the factor that suits its takes in the first condition, as a
    # speaker's factor chosen once would be kept for everything that speaker says.
    fixed = oracle(by_factor, conditions[0])[1]
    for condition in conditions:
        accuracy, picks = oracle(by_factor, condition)
        kept = oracle(by_factor, condition, fixed)[0]
        summary[condition] = {"factors": {"%g" % f: by_factor[f][condition]["accuracy"]
                                          for f in factors},
                              "oracle": accuracy, "picks": picks, "fixed": kept}
        lines.append("%-9s " % condition + " ".join(
            "%7.2f%%" % (100 * by_factor[f][condition]["accuracy"]) for f in factors) +
            " %7.2f%% %6.2f%%" % (100 * accuracy, 100 * kept))
    for condition in conditions:
        lines.append("best factor per voice, %s: " % condition + " ".join(
            "%s %g" % (v, f) for v, f in sorted(summary[condition]["picks"].items())))
    print("\n".join(lines))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(summary, f, indent=1)


if __name__ == "__main__":
    main()
