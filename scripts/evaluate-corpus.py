#!/usr/bin/env python3
"""Frame accuracy of a profile on the validation voices of scripts/make-corpus.py.

    scripts/evaluate-corpus.py [-p PROFILE] [--corpus build/corpus] [--json FILE]
                               [--by-voice] [--conditions clean,snr20,...,speech]
                               [-- extra options for `vocetta analyze`]

Runs `vocetta analyze` (build/vocetta) over every validation recording, as a user would, and
compares each frame's phoneme with the label of the time at the frame's centre:

- sustained takes (conditions clean, snr20, snr10, level-20, peak-0): every frame whose centre
  lies at least 40 ms from a boundary between the pause and the phone counts;
- continuous speech: every frame whose centre lies inside a monophthong vowel.

Accuracy is over the classes A I U E O sil: a vowel frame recognised as a consonant class (M,
FV, S) is an error; the consonant classes' recall is reported on its own. --by-voice adds each
validation voice's vowel accuracy, recall and worst confusions: errors that gather in a few voices
are the speakers', not the classes'.

--sentences FOLDER adds the condition `sentences`: the vowel frames of more sentences of the
validation voices, made by scripts/make-sentences.py (eight per language at three pitches, nine
times the corpus's own), scored like `speech`.

--adapt scores each validation voice with the profile adapted to that voice (`vocetta adapt`,
unsupervised: the audio of its clean sustained takes and its sentences, never their labels), in
every condition, as a user who adapts to a character's lines would get. --adapt-from snr20 adapts
to those takes instead (a character whose lines are noisy); --adapt-keep-noise has adapt read them
as they are rather than cleaned.

--voices de3,de6,de+linda scores those validation voices only (a language's, say).

--group festival scores the validation group of make-corpus.py --festival instead (its
validation-festival folder: Festival voices of real speakers, figures of their own, kept apart
so that those of the first validation voices stay comparable).
"""
import argparse
import csv
import json
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "build", "vocetta")
TARGET = ["A", "I", "U", "E", "O", "sil"]
CONSONANTS = ["M", "FV", "S"]
CONDITIONS = ["clean", "snr20", "snr10", "level-20", "peak-0"]
MARGIN = 0.04
VOICE = re.compile(r"^(.*?)-[ps]\d+(-|\.)")


def voice_of(file):
    """Takes are named VOICE-pN-..., sentences VOICE-sN.wav."""
    match = VOICE.match(file)
    return match.group(1) if match else file


def run_analyze(folder, files, profile, extra, out):
    arguments = [TOOL, "analyze", "--force", "-q", "-j", "2", "-f", "csv", "-o", out]
    if profile:
        arguments += ["-p", profile]
    arguments += extra + [os.path.join(folder, f) for f in files]
    subprocess.run(arguments, check=True)


def analyze(folder, files, profile, extra, out):
    """`profile` is a file name, or a dict from voice to file name (adapted profiles)."""
    if isinstance(profile, dict):
        for voice in sorted({voice_of(f) for f in files}):
            run_analyze(folder, [f for f in files if voice_of(f) == voice], profile[voice],
                        extra, out)
    else:
        run_analyze(folder, files, profile, extra, out)
    frames = {}
    for file in files:
        with open(os.path.join(out, os.path.splitext(file)[0] + ".csv")) as f:
            frames[file] = [(float(row["time"]), row["phoneme"]) for row in csv.DictReader(f)]
    return frames


def voice_name(voice):
    """Voices are named as in corpus.json (de+linda); their files put a dash for the plus."""
    return voice.replace("+", "-")


def labels_of(folder, voices=None):
    """Each recording's labelled stretches; only those of `voices` when given."""
    segments = {}
    with open(os.path.join(folder, "labels.csv")) as f:
        for row in csv.DictReader(f):
            if voices is not None and voice_of(row["file"]) not in voices:
                continue
            segments.setdefault(row["file"], []).append(
                (float(row["start"]), float(row["end"]), row["label"]))
    return segments


def truth(segments, time, margin, wanted):
    for start, end, label in segments:
        if start + margin <= time < end - margin and label in wanted:
            return label
    return None


def score(folder, profile, extra, margin, wanted, work, voices=None):
    segments = labels_of(folder, voices)
    files = sorted(segments)
    out = os.path.join(work, os.path.basename(folder))
    os.makedirs(out, exist_ok=True)
    frames = analyze(folder, files, profile, extra, out)
    labels = TARGET + CONSONANTS
    confusion = {t: {p: 0 for p in labels + ["other"]} for t in labels}
    voices = {}
    for file in files:
        voice = voices.setdefault(voice_of(file), {t: {} for t in TARGET})
        for time, predicted in frames[file]:
            label = truth(segments[file], time, margin, wanted)
            if label is None:
                continue
            confusion[label][predicted if predicted in labels else "other"] += 1
            if label in TARGET:
                voice[label][predicted] = voice[label].get(predicted, 0) + 1
    rows = [t for t in TARGET if sum(confusion[t].values())]
    correct = sum(confusion[t][t] for t in rows)
    total = sum(sum(confusion[t].values()) for t in rows)
    recall = {t: confusion[t][t] / max(1, sum(confusion[t].values()))
              for t in labels if sum(confusion[t].values())}
    return {"accuracy": correct / max(1, total), "frames": total, "recall": recall,
            "confusion": {t: confusion[t] for t in labels if sum(confusion[t].values())},
            "voices": voices}


def evaluate(corpus, profile, extra, work, conditions, voices=None, sentences=None,
             group="validation"):
    results = {}
    everything = set(TARGET + CONSONANTS)
    for condition in conditions + (["sentences"] if sentences else []):
        folder = sentences if condition == "sentences" else os.path.join(corpus, group,
                                                                         condition)
        if condition in ("speech", "sentences"):
            results[condition] = score(folder, profile, extra, 0.0, {"A", "I", "U", "E", "O"}, work,
                                       voices)
        else:
            results[condition] = score(folder, profile, extra, MARGIN, everything, work, voices)
    return results


def adapted_profiles(corpus, profile, work, voices=None, group="validation",
                     conditions=("clean", "speech"), options=()):
    """Each validation voice's own profile, adapted to the audio of its recordings of `conditions`
    (its clean takes and sentences), `options` given to vocetta adapt."""
    recordings = {}
    for condition in conditions:
        folder = os.path.join(corpus, group, condition)
        for file in sorted(labels_of(folder, voices)):
            recordings.setdefault(voice_of(file), []).append(os.path.join(folder, file))
    profiles = {}
    for voice, files in sorted(recordings.items()):
        profiles[voice] = os.path.join(work, "adapted-%s.json" % voice)
        arguments = [TOOL, "adapt", "--force", "-q", "-j", "2", "-o", profiles[voice], *options]
        if profile:
            arguments += ["-p", profile]
        subprocess.run(arguments + files, check=True)
    return profiles


def report_voices(results):
    """Accuracy over the vowels and the worst confusions of each voice."""
    lines = []
    for condition in [c for c in ("clean", "snr20", "speech", "sentences") if c in results]:
        lines.append("\nby voice, %s (vowel frames; recall A I U E O; main confusions):" % condition)
        for voice, counts in sorted(results[condition]["voices"].items()):
            vowels = [t for t in TARGET[:5] if counts[t]]
            total = sum(sum(counts[t].values()) for t in vowels)
            correct = sum(counts[t].get(t, 0) for t in vowels)
            recall = " ".join("%5.1f" % (100 * counts[t].get(t, 0) / sum(counts[t].values()))
                              if counts[t] else "    -" for t in TARGET[:5])
            errors = sorted(((n, t, p) for t in vowels for p, n in counts[t].items() if p != t),
                            reverse=True)[:3]
            lines.append("%-12s %6.1f%% %5d  %s  %s" % (
                voice, 100 * correct / max(1, total), total, recall,
                " ".join("%s>%s %d%%" % (t, p, round(100 * n / sum(counts[t].values())))
                         for n, t, p in errors)))
    return "\n".join(lines)


def report(results):
    lines = ["%-9s %8s %8s  %s" % ("condition", "accuracy", "frames",
                                   "recall " + " ".join("%5s" % c for c in TARGET + CONSONANTS))]
    for condition, result in results.items():
        recall = " ".join("%5.1f" % (100 * result["recall"][c]) if c in result["recall"] else
                          "    -" for c in TARGET + CONSONANTS)
        lines.append("%-9s %7.2f%% %8d         %s" % (condition, 100 * result["accuracy"],
                                                      result["frames"], recall))
    for condition in [c for c in ("clean", "snr20", "snr10", "speech", "sentences")
                      if c in results]:
        confusion = results[condition]["confusion"]
        columns = TARGET + CONSONANTS + ["other"]
        lines.append("\nconfusion, %s (rows: true, columns: recognised):" % condition)
        lines.append("      " + "".join("%7s" % c for c in columns))
        for row, counts in confusion.items():
            lines.append("%-6s" % row + "".join("%7d" % counts[c] for c in columns))
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-p", "--profile", default="", help="profile (default: built-in)")
    parser.add_argument("--corpus", default=os.path.join(ROOT, "build", "corpus"))
    parser.add_argument("--json", help="also write the figures to this file")
    parser.add_argument("--by-voice", action="store_true",
                        help="also report each validation voice's vowel accuracy")
    parser.add_argument("--conditions", default=",".join(CONDITIONS + ["speech"]),
                        help="comma-separated conditions to score (default: all)")
    parser.add_argument("--sentences", help="also score the sentences in this folder "
                        "(scripts/make-sentences.py)")
    parser.add_argument("--adapt", action="store_true",
                        help="score each voice with the profile adapted to its own audio")
    parser.add_argument("--adapt-from", default="clean,speech",
                        help="the conditions --adapt learns each voice from (default clean,speech)")
    parser.add_argument("--adapt-keep-noise", action="store_true",
                        help="--adapt reads the recordings as they are, not cleaned")
    parser.add_argument("--voices", help="comma-separated validation voices to score (default: all)")
    parser.add_argument("--group", choices=["first", "festival"], default="first",
                        help="validation group: the first voices, or the Festival voices of "
                        "make-corpus.py --festival")
    parser.add_argument("extra", nargs="*", help="options passed on to vocetta analyze")
    args = parser.parse_args()
    if not os.access(TOOL, os.X_OK):
        sys.exit("build the tool first: cmake -S . -B build && cmake --build build")
    voices = {voice_name(v) for v in args.voices.split(",")} if args.voices else None
    group = "validation-festival" if args.group == "festival" else "validation"
    if not os.path.isdir(os.path.join(args.corpus, group)):
        sys.exit("%s: no %s folder (made by scripts/make-corpus.py%s)" % (
            args.corpus, group, " --festival" if args.group == "festival" else ""))
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as work:
        profile = args.profile
        if args.adapt:
            profile = adapted_profiles(args.corpus, args.profile, work, voices, group,
                                       args.adapt_from.split(","),
                                       ["--keep-noise"] if args.adapt_keep_noise else [])
        results = evaluate(args.corpus, profile, args.extra, work, args.conditions.split(","),
                           voices, args.sentences, group)
    print(report(results))
    if args.by_voice:
        print(report_voices(results))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
