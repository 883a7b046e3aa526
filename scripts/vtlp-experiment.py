#!/usr/bin/env python3
"""Calibration on frequency-warped copies of the calibration voices, measured on validation voices.

    scripts/vtlp-experiment.py [--corpus build/corpus-wide] [--sentences build/sentences]
        [--factors 0.92,1.08] [--what takes,sentences] [--work build/vtlp]

An unseen speaker's vowels sit where a longer or shorter vocal tract puts them: every formant
scaled alike. The corpus hears such speakers through one augmented copy per recording, half of
them resampled by a random factor (scripts/make-corpus.py, `augment`); this asks whether a
profile that hears every calibration speaker warped by each of --factors as well generalises
better. Each calibration recording of --what (the sustained takes and their augmented copies,
the sentences and theirs; never the room noise of `sil`) is resampled by each factor (`sox speed
F`, back to the corpus rate: formants and pitch scale by F, times by 1/F) under --work, the
labels scaled to match, and the built-in recipe (scripts/make-default-profile.py) calibrates on
the corpus and the warped copies together (warped sentence vowels weighted as the originals);
scripts/evaluate-corpus.py then scores the profile on the validation voices. The warped audio
stays under --work (never in the repository); files that exist are kept. docs/recognition.md,
"Warped copies of the calibration voices", gives the figures.
"""
import argparse
import concurrent.futures
import csv
import os
import subprocess
import sys

from script_loader import load_script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "build", "vocetta")
RATE = 48000


def warp_files(source_folder, files, target_folder, factor, jobs=2):
    def one(file):
        path = os.path.join(target_folder, file)
        if os.path.exists(path):
            return
        os.makedirs(os.path.dirname(path), exist_ok=True)
        part = path + ".part.wav"
        subprocess.run(["sox", "-D", os.path.join(source_folder, file), part, "speed",
                        "%g" % factor, "rate", str(RATE)], check=True)
        os.replace(part, path)

    with concurrent.futures.ThreadPoolExecutor(jobs) as pool:
        list(pool.map(one, files))


def warped_manifests(corpus, work, factor, what, weight):
    """The takes' and the sentence vowels' manifests of one factor's copies."""
    calibration = os.path.join(corpus, "calibration")
    folder = os.path.join(work, "warp-%g" % factor)
    manifests = []
    if "takes" in what:
        with open(os.path.join(calibration, "manifest.csv"), newline="") as f:
            rows = [row for row in csv.DictReader(f) if row["phoneme"] != "sil"]
        warp_files(calibration, sorted({row["file"] for row in rows}), folder, factor)
        path = os.path.join(folder, "manifest.csv")
        with open(path, "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(["file", "phoneme"])
            writer.writerows([row["file"], row["phoneme"]] for row in rows)
        manifests.append(path)
    if "sentences" in what:
        with open(os.path.join(calibration, "speech.csv"), newline="") as f:
            rows = [row for row in csv.DictReader(f) if row["phoneme"] in "AIUEO"]
        warp_files(calibration, sorted({row["file"] for row in rows}), folder, factor)
        path = os.path.join(folder, "speech-vowels.csv")
        with open(path, "w", newline="") as f:
            writer = csv.writer(f)
            writer.writerow(["file", "phoneme", "start", "end"])
            for row in rows:
                writer.writerows([[row["file"], row["phoneme"],
                                   "%.6f" % (float(row["start"]) / factor),
                                   "%.6f" % (float(row["end"]) / factor)]] * weight)
        manifests.append(path)
    return manifests


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default=os.path.join(ROOT, "build", "corpus-wide"))
    parser.add_argument("--sentences", default=os.path.join(ROOT, "build", "sentences"))
    parser.add_argument("--factors", default="0.92,1.08")
    parser.add_argument("--what", default="takes,sentences")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "vtlp"))
    parser.add_argument("--keep", help="keep the profile in this file")
    args = parser.parse_args()
    if not os.access(TOOL, os.X_OK):
        sys.exit("build the tool first: cmake -S . -B build && cmake --build build")
    experiment = load_script("sentence-experiment")
    weight = load_script("make-default-profile").SENTENCE_WEIGHT
    what = set(args.what.split(","))
    manifests = []
    for factor in [float(f) for f in args.factors.split(",")]:
        manifests += warped_manifests(args.corpus, args.work, factor, what, weight)
    profile = args.keep or os.path.join(args.work, "profile.json")
    experiment.calibrate(args.corpus, manifests, profile, [])
    subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "evaluate-corpus.py"), "-p",
                    profile, "--corpus", args.corpus, "--sentences", args.sentences], check=True)


if __name__ == "__main__":
    main()
