#!/usr/bin/env python3
"""Regenerates profiles/default.json from the broad corpus, and measures it on validation voices.

    scripts/make-default-profile.py            corpus (if absent), calibration, evaluation
    scripts/make-default-profile.py --check    calibrate into build/ and compare, keep the file

Uses build/vocetta (build first), scripts/make-corpus.py (its calibration voices only; the
validation voices choose the parameters below and give the figures, the held-back voices are
never generated) and scripts/evaluate-corpus.py.

The parameters were chosen on the validation voices (calibrate's --frames output studied
offline, then confirmed with the tool): the analysis of the earlier profile (16 kHz, 20 mel
channels, 16 coefficients, 256-sample blocks) measured as well as 512-sample blocks with 30
channels and 20 coefficients; RootMeanSquareDistance beat MeanAbsoluteDistance by 1 to 6 points;
four references per phoneme, contrast 6 and 8 passes of refinement beat one reference (by 10
points clean), and eight references gained under half a point.
"""
import argparse
import filecmp
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "build", "vocetta")
CORPUS = os.path.join(ROOT, "build", "corpus")
PROFILE = os.path.join(ROOT, "profiles", "default.json")
CHOSEN = ["--target-rate", "16000", "--block", "256", "--mel-channels", "20",
          "--coefficients", "16", "--score-method", "RootMeanSquareDistance",
          "--phonemes", "A,I,U,E,O,M,FV,S,sil", "--references", "4", "--contrast", "6",
          "--refine", "8", "--trim", "80", "--min-volume", "-45"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true",
                        help="write build/default-check.json and say whether it matches")
    args = parser.parse_args()
    if not os.access(TOOL, os.X_OK):
        sys.exit("build the tool first: cmake -S . -B build && cmake --build build")
    manifest = os.path.join(CORPUS, "calibration", "manifest.csv")
    if not os.path.exists(manifest):
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-corpus.py")],
                       check=True)
    target = os.path.join(ROOT, "build", "default-check.json") if args.check else PROFILE
    # The colours (and any shapes) of the phonemes come from the profile as it stands.
    subprocess.run([TOOL, "calibrate", manifest, "-o", target, "-q", "-j", "2", "--base",
                    PROFILE] + CHOSEN, check=True)
    if args.check:
        print("same as profiles/default.json" if filecmp.cmp(target, PROFILE, shallow=False)
              else "differs from profiles/default.json")
    subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "evaluate-corpus.py"), "-p",
                    target], check=True)


if __name__ == "__main__":
    main()
