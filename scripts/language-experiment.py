#!/usr/bin/env python3
"""Language profiles against the broad default, measured on the validation voices.

    scripts/language-experiment.py [--work build/language] [--languages de,fr,en,es]
                                   [--weights 3] [--adapt]

A game's dialogue language is known to its developers, and vowel qualities differ by language
(German long e lies near i, French o and u sit apart from other languages' ones). For each
language this calibrates, with the default profile's parameters (scripts/make-default-profile.py):

  only      that language's calibration voices alone (their sustained takes, augmented copies
            and silence takes, and their sentences' vowels at the same weight as the default's)
  xW        the broad calibration with that language's rows listed W times

and scores each, and the broad default, on the same-language validation voices (clean, 20 dB,
10 dB and sentence vowels). Then, without knowing the language, each of the 16 validation voices
gets the candidate (the broad default or a language profile) whose frames fit it best: the
highest mean top score over its speech frames (within 20 dB of each recording's level) in the
audio of its clean takes and sentences, no labels. --adapt scores every row again with each
voice's adapted profile (`vocetta adapt`, as evaluate-corpus.py --adapt does).

Uses build/vocetta and the corpus of scripts/make-corpus.py; calibrations run one at a time with
two threads. Profiles and analyses are kept in --work, so a second run only reports.
"""
import argparse
import csv
import json
import math
import os
import re
import subprocess
import sys

from script_loader import load_script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "build", "vocetta")
CORPUS = os.path.join(ROOT, "build", "corpus")
DEFAULT = os.path.join(ROOT, "profiles", "default.json")
CONDITIONS = ["clean", "snr20", "snr10", "speech"]
VOWELS = ["A", "I", "U", "E", "O"]
SPEECH_GATE_DB = -20.0


EVALUATE = load_script("evaluate-corpus")
MAKE = load_script("make-default-profile")


def language_of(voice):
    """de2, de+linda (de-linda in file names) -> de; the American English diphone voices us1,
    us2 -> en."""
    stem = re.split(r"[+-]", voice)[0].rstrip("0123456789")
    return "en" if stem == "us" else stem


def read_rows(path):
    with open(path, newline="") as f:
        reader = csv.DictReader(f)
        return reader.fieldnames, list(reader)


def write_manifest(path, header, rows):
    with open(path, "w", newline="") as f:
        writer = csv.DictWriter(f, fieldnames=header)
        writer.writeheader()
        writer.writerows(rows)


def absolute(rows, folder):
    return [dict(row, file=os.path.join(folder, row["file"])) for row in rows]


def calibrate(work, name, takes, sentences, anchors):
    """One profile from the given manifest rows, anchored like the default; kept once made."""
    profile = os.path.join(work, name + ".json")
    if os.path.exists(profile):
        return profile
    take_header, sentence_header = takes[0], sentences[0]
    write_manifest(os.path.join(work, name + "-takes.csv"), take_header, takes[1])
    write_manifest(os.path.join(work, name + "-sentences.csv"), sentence_header, sentences[1])
    raw = os.path.join(work, name + "-raw.json")
    subprocess.run(["nice", "-n", "5", TOOL, "calibrate", "--force",
                    os.path.join(work, name + "-takes.csv"),
                    os.path.join(work, name + "-sentences.csv"), "-o", raw, "-q", "-j", "2",
                    "--base", DEFAULT] + MAKE.CHOSEN, check=True)
    subprocess.run(["nice", "-n", "5", TOOL, "adapt", "--force", "--anchor", "-q", "-j", "2", "-p",
                    raw, "-o", profile] + anchors, check=True)
    os.remove(raw)
    return profile


def candidates(work, languages, weights):
    """The broad default and every language variant: name -> (language or None, profile)."""
    folder = os.path.join(CORPUS, "calibration")
    take_header, takes = read_rows(os.path.join(folder, "manifest.csv"))
    sentence_header, sentences = read_rows(os.path.join(folder, "speech.csv"))
    takes = absolute(takes, folder)
    sentences = absolute([row for row in sentences if row["phoneme"] in VOWELS], folder)
    # The sentences' vowels count MAKE.SENTENCE_WEIGHT times, as in the default profile.
    sentences = sentences * MAKE.SENTENCE_WEIGHT
    plain = [row["file"] for row in takes
             if "-sil-" not in row["file"] and not row["file"].endswith("-aug.wav")]
    result = {"broad": (None, DEFAULT)}
    for language in languages:
        mine = [row for row in takes if language_of(row["voice"]) == language]
        said = [row for row in sentences if language_of(row["voice"]) == language]
        anchors = list(dict.fromkeys(f for f in plain if f in {row["file"] for row in mine}))
        result[language + "-only"] = (language, calibrate(
            work, language + "-only", (take_header, mine), (sentence_header, said), anchors))
        for weight in weights:
            name = "%s-x%d" % (language, weight)
            result[name] = (language, calibrate(
                work, name, (take_header, takes + mine * (weight - 1)),
                (sentence_header, sentences + said * (weight - 1)),
                list(dict.fromkeys(plain))))
    return result


def analyses(work, name, profile, adapt):
    """Per-voice counts of every condition for one candidate, over all validation voices."""
    folder = os.path.join(work, "eval", name + ("-adapted" if adapt else ""))
    cache = os.path.join(folder, "results.json")
    if os.path.exists(cache):
        with open(cache) as f:
            return json.load(f)
    os.makedirs(folder, exist_ok=True)
    if adapt:
        profile = EVALUATE.adapted_profiles(CORPUS, profile, folder, options=["--keep-noise"])
    results = EVALUATE.evaluate(CORPUS, profile, ["--keep-noise"], folder, CONDITIONS)
    counts = {condition: results[condition]["voices"] for condition in CONDITIONS}
    with open(cache + ".part", "w") as f:
        json.dump(counts, f)
    os.replace(cache + ".part", cache)
    return counts


def fit(work, name, voice):
    """Mean top score of a voice's speech frames under one candidate: clean takes and sentences,
    frames within SPEECH_GATE_DB of their recording's 95th-percentile volume."""
    total, frames = 0.0, 0
    for condition in ("clean", "speech"):
        folder = os.path.join(work, "eval", name, condition)
        for file in sorted(os.listdir(folder)):
            if not file.endswith(".csv") or EVALUATE.voice_of(file) != voice:
                continue
            rows = read_rows(os.path.join(folder, file))[1]
            volumes = sorted(float(row["volume"]) for row in rows)
            if not volumes or volumes[int(0.95 * (len(volumes) - 1))] <= 0:
                continue
            gate = volumes[int(0.95 * (len(volumes) - 1))] * 10 ** (SPEECH_GATE_DB / 20)
            phonemes = [key for key in rows[0] if key not in ("time", "phoneme", "volume")]
            for row in rows:
                if float(row["volume"]) >= gate:
                    total += max(float(row[p]) for p in phonemes)
                    frames += 1
    return total / max(1, frames)


def summary(per_voice, voices):
    """Accuracy over A I U E O sil and each vowel's recall, over `voices`."""
    matrix = {t: {} for t in EVALUATE.TARGET}
    for voice in voices:
        for label, predicted in per_voice.get(voice, {}).items():
            for phoneme, n in predicted.items():
                matrix[label][phoneme] = matrix[label].get(phoneme, 0) + n
    total = sum(sum(row.values()) for row in matrix.values())
    correct = sum(matrix[t].get(t, 0) for t in matrix)
    recall = {v: matrix[v].get(v, 0) / sum(matrix[v].values()) if matrix[v] else math.nan
              for v in VOWELS}
    return (100 * correct / total if total else math.nan), recall


def table(title, rows):
    """rows: (label, {condition: per-voice counts}, voices or {condition: voices})."""
    lines = ["\n" + title, "%-22s %6s %6s %6s %6s   clean A I U E O / sentences A I U E O" % (
        "profile", "clean", "20 dB", "10 dB", "sent.")]
    for label, counts, voices in rows:
        figures, recalls = [], []
        for condition in CONDITIONS:
            accuracy, recall = summary(counts[condition], voices)
            figures.append(accuracy)
            if condition in ("clean", "speech"):
                recalls.append(" ".join("%3.0f" % (100 * recall[v]) if recall[v] == recall[v]
                                        else "  -" for v in VOWELS))
        lines.append("%-22s " % label + " ".join("%6.1f" % x if x == x else "     -"
                                                 for x in figures) + "   " + " / ".join(recalls))
    return "\n".join(lines)


def chosen_counts(work, names, choice, adapt):
    """Per-voice counts of each voice scored by its chosen candidate."""
    counts = {condition: {} for condition in CONDITIONS}
    for voice, name in choice.items():
        mine = analyses(work, name, names[name][1], adapt)
        for condition in CONDITIONS:
            if voice in mine[condition]:
                counts[condition][voice] = mine[condition][voice]
    return counts


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "language"))
    parser.add_argument("--languages", default="de,fr,en,es")
    parser.add_argument("--weights", default="3", help="comma-separated weights W of the xW rows")
    parser.add_argument("--adapt", action="store_true", help="also score the adapted profiles")
    args = parser.parse_args()
    if not os.access(TOOL, os.X_OK):
        sys.exit("build the tool first: cmake -S . -B build && cmake --build build")
    os.makedirs(args.work, exist_ok=True)
    languages = args.languages.split(",")
    weights = [int(w) for w in args.weights.split(",") if w]
    names = candidates(args.work, languages, weights)
    with open(os.path.join(CORPUS, "corpus.json")) as f:
        corpus = json.load(f)
    validation = sorted(EVALUATE.voice_name(v) for v, info in corpus["voices"].items()
                        if info["split"] == "validation")
    modes = [False, True] if args.adapt else [False]
    for adapt in modes:
        counts = {name: analyses(args.work, name, profile, adapt)
                  for name, (_, profile) in names.items()}
        suffix = ", adapted" if adapt else ""
        for language in languages:
            voices = [v for v in validation if language_of(v) == language]
            rows = [(name, counts[name], voices) for name, (lang, _) in names.items()
                    if lang in (None, language)]
            print(table("%s validation voices (%s)%s" % (language, " ".join(voices), suffix),
                        rows))
        # Fit always on the unadapted analyses: the choice comes before any adaptation.
        families = {"only": [n for n in names if n.endswith("-only")]}
        for family in ["x%d" % w for w in weights]:
            families[family] = [n for n in names if n.endswith("-" + family)]
        rows = [("broad", counts["broad"], validation)]
        for family, members in families.items():
            pool = ["broad"] + members
            choice = {}
            for voice in validation:
                fits = {name: fit(args.work, name, voice) for name in pool}
                choice[voice] = max(pool, key=lambda name: (fits[name], name == "broad"))
            print("\nautomatic choice among broad + %s: %s" % (
                family, " ".join("%s:%s" % (v, choice[v]) for v in validation)))
            rows.append(("auto " + family, chosen_counts(args.work, names, choice, adapt),
                         validation))
            known = {v: next((n for n in members if names[n][0] == language_of(v)), "broad")
                     for v in validation}
            rows.append(("known language " + family,
                         chosen_counts(args.work, names, known, adapt), validation))
        print(table("all 16 validation voices%s" % suffix, rows))


if __name__ == "__main__":
    main()
