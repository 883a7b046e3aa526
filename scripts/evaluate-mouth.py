#!/usr/bin/env python3
"""Measures mouth cues against phone timing on continuous speech.

    scripts/evaluate-mouth.py [--speech build/corpus/validation/speech] [--tool build/vocetta]
                              [--search] [--transcripts] [-- EXTRA ANALYZE OPTIONS]

For every sentence WAV beside its .pho file (the phone timing that drove the synthesiser; see
scripts/make-corpus.py, which writes the validation voices' sentences there), runs
`vocetta analyze --cues -f json` and checks the cartoon shape of every 10-ms step (centres at
5, 15, 25 ... ms) against the phone under it:

  vowels   steps inside monophthong vowels that get an open shape (B to F)    goal >= 90 %
  pauses   steps inside pauses of 100 ms or more that get X                   goal >= 90 %
  closures steps inside m, b and p that get A (closed lips)                   goal >= 50 %
  lips     steps inside f and v that get G (teeth on the lip)                  no goal, shown
  shapes   steps inside monophthong vowels that get their own vowel's shape    no goal, shown
           (a D, i B, u F, e C, o E: the built-in profile's cartoon shapes)

--transcripts gives the tool each sentence's own text (as scripts/transcript-experiment.py
--tool does: the sentence lists of make-sentences.py and make-corpus.py, the voice's language),
so that the cues follow the words (`vocetta analyze --transcripts`).

--takes FOLDER measures the sustained takes of a corpus condition instead (labels.csv beside them,
as scripts/make-corpus.py writes validation/CONDITION): the steps inside each labelled stretch of
100 ms or more, 50 ms in from its edges; A I U E O count as vowels, sil as pauses, M as closures
and FV as lips. The noisy conditions show what a pause full of noise does to the mouth.

--visemes measures the fifteen visemes instead (`--shapes visemes`): per viseme, the steps inside
the phones it stands for that show it (p b m PP, f v FF, T D TH, t d DD, k g N x kk, S Z tS dZ and
the Polish s' z' CH, s z SS, n l and the palatal n' J L nn, r R RR, j ih, w ou, and the vowels a aa,
e E, i ih, o oh, u ou), and over the consonants and the vowels; with --transcripts too, what a
line's words give the consonants.

--diagnose shows where the vowel steps that are not open went (the shape shown, whether the frames
already showed it or the cue building did, per vowel and per voice).

--search runs a grid of --min-hold, --closed-margin, --lip-margin, --open-priority, --closed-dip
and --lip-dip (--sharpness 3, no attack or release and --closure 150 won an earlier grid over
those too) and prints every row, best last (the smallest shortfall from the three goals, then the
largest sum); use it on validation voices only.
"""
import argparse
import collections
import csv
import itertools
import json
import os
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Monophthong vowels by the diphone voices' phone names, long or short (as scripts/make-corpus.py
# labels the sentences).
MONOPHTHONGS = {"a", "A", "i", "u", "e", "E", "o", "O"}
CLOSURES = {"m", "b", "p"}
LIPS = {"f", "v"}
OPEN = {"B", "C", "D", "E", "F"}
GOALS = {"vowels": 0.90, "pauses": 0.90, "closures": 0.50}
MEASURES = list(GOALS) + ["lips", "shapes"]
VOWEL_SHAPES = {"a": "D", "i": "B", "u": "F", "e": "C", "o": "E"}


def read_pho(path):
    """(start, end, phone) per line; consecutive pauses ('_') become one."""
    segments, time = [], 0.0
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 2 or fields[0].startswith(";"):
                continue
            try:
                length = float(fields[1]) / 1000.0
            except ValueError:
                continue
            if fields[0] == "_" and segments and segments[-1][2] == "_":
                segments[-1] = (segments[-1][0], time + length, "_")
            else:
                segments.append((time, time + length, fields[0]))
            time += length
    return segments


def category(phone, start, end):
    if phone == "_":
        return "pauses" if end - start >= 0.1 - 1e-9 else None
    if phone in CLOSURES:
        return "closures"
    if phone in LIPS:
        return "lips"
    if phone.rstrip(":") in MONOPHTHONGS:
        return "vowels"
    return None


def shape_at(cues, t):
    for cue in cues:
        if cue["start"] <= t < cue["end"]:
            return cue["value"]
    return "X"


def texts():
    sys.path.insert(0, os.path.join(ROOT, "scripts"))
    from script_loader import load_script
    return load_script("transcript-experiment")


def with_transcripts(files, folder):
    """Links to `files` in `folder`, each with the .txt of its sentence's text beside it."""
    sentences, links = texts(), []
    for wav in files:
        link = os.path.join(folder, os.path.basename(wav))
        os.symlink(os.path.abspath(wav), link)
        with open(os.path.splitext(link)[0] + ".txt", "w", encoding="utf-8") as out:
            out.write(sentences.text_of(wav)[0])
        links.append(link)
    return links


def cues_of(tool, files, options, transcripts=False):
    """The cartoon cues of every sentence, by its WAV path."""
    if transcripts:  # one run per language, each sentence told its text
        by_language, sentences = collections.defaultdict(list), texts()
        for wav in files:
            by_language[sentences.text_of(wav)[1]].append(wav)
        cues = {}
        for language, group in sorted(by_language.items()):
            with tempfile.TemporaryDirectory() as folder:
                links = with_transcripts(group, folder)
                found = cues_of(tool, links, options + ["--transcripts", "--language", language])
                cues.update({wav: found[link] for wav, link in zip(group, links)})
        return cues
    with tempfile.TemporaryDirectory() as folder:
        command = ([tool, "analyze", "--force", "--cues", "-f", "json", "-q", "-o", folder] +
                   options + files)
        result = subprocess.run(command, capture_output=True, text=True)
        if result.returncode != 0:
            sys.exit("vocetta failed: " + result.stderr.strip())
        cues = {}
        for wav in files:
            stem = os.path.splitext(os.path.basename(wav))[0]
            with open(os.path.join(folder, stem + ".json")) as f:
                cues[wav] = json.load(f)["mouthCues"]
    return cues


# The viseme each phone of the diphone voices' sentences shows, by its name in their .pho files.
VISEME_PHONES = {
    "PP": "p b m p_h", "FF": "f v", "TH": "T D", "DD": "t d t_h", "kk": "k g N x G k_h",
    "CH": "S Z tS dZ s' z' ts' dz'", "SS": "s z", "nn": "n l n' J L", "RR": "r R r=",
    "ih": "j i I i:", "ou": "w u U u:", "aa": "a a: A", "E": "e e: E E:", "oh": "o o: O",
}
VISEME_OF = {phone: viseme for viseme, phones in VISEME_PHONES.items()
             for phone in phones.split()}
VOWEL_PHONES = {"j", "w"} ^ {phone for viseme in ("ih", "ou", "aa", "E", "oh")
                             for phone in VISEME_PHONES[viseme].split()}


def measure_visemes(tool, files, options, transcripts=False):
    """Per viseme, then over the consonants and the vowels: (share of steps shown, steps)."""
    cues = cues_of(tool, files, options + ["--shapes", "visemes"], transcripts)
    hits, counts = collections.Counter(), collections.Counter()
    for wav in files:
        for start, end, phone in read_pho(os.path.splitext(wav)[0] + ".pho"):
            viseme = VISEME_OF.get(phone)
            if viseme is None:
                continue
            group = "vowels" if phone in VOWEL_PHONES else "consonants"
            k = int(start * 100)
            while 0.005 + 0.01 * k < end:
                t = 0.005 + 0.01 * k
                k += 1
                if t < start:
                    continue
                right = shape_at(cues[wav], t) == viseme
                for key in (viseme, group):
                    counts[key] += 1
                    hits[key] += right
    return {key: (hits[key] / counts[key], counts[key]) for key in counts}


def visemes_line(label, result):
    order = ["consonants", "vowels"] + list(VISEME_PHONES)
    return "%s\n  " % label + "  ".join(
        "%s %5.1f %% (%d)" % (key, 100 * result[key][0], result[key][1])
        for key in order if key in result)


TAKE_CATEGORIES = {"A": "vowels", "I": "vowels", "U": "vowels", "E": "vowels", "O": "vowels",
                   "sil": "pauses", "M": "closures", "FV": "lips"}
TAKE_MARGIN = 0.05


def take_segments(folder):
    """Each take's labelled stretches (start, end, category) of 100 ms or more, the margin off
    both edges, by its WAV path."""
    segments = collections.defaultdict(list)
    with open(os.path.join(folder, "labels.csv"), newline="") as f:
        for row in csv.DictReader(f):
            start, end = float(row["start"]), float(row["end"])
            name = TAKE_CATEGORIES.get(row["label"])
            if name and end - start >= 0.1 - 1e-9:
                segments[os.path.join(folder, row["file"])].append(
                    (start + TAKE_MARGIN, end - TAKE_MARGIN, name))
    return segments


def steps(wav, takes=None):
    """(category, phone, time) of every 10-ms step inside a scored phone of the sentence, or of
    the take's stretches when `takes` has it."""
    stretches = (takes[wav] if takes is not None else
                 [(start, end, phone) for start, end, phone in
                  read_pho(os.path.splitext(wav)[0] + ".pho")])
    for start, end, phone in stretches:
        name = phone if takes is not None else category(phone, start, end)
        if name is None:
            continue
        k = int(start * 100)
        while True:
            t = 0.005 + 0.01 * k
            k += 1
            if t < start:
                continue
            if t >= end:
                break
            yield name, phone, t


def measure(tool, files, options, takes=None, transcripts=False):
    cues = cues_of(tool, files, options, transcripts)
    hits = {name: 0 for name in MEASURES}
    counts = {name: 0 for name in MEASURES}
    for wav in files:
        for name, phone, t in steps(wav, takes):
            shape = shape_at(cues[wav], t)
            counts[name] += 1
            hits[name] += (shape in OPEN if name == "vowels" else
                           shape == "X" if name == "pauses" else
                           shape == "A" if name == "closures" else shape == "G")
            vowel = (phone if takes is not None else phone.rstrip(":")).lower()
            if name == "vowels" and vowel in VOWEL_SHAPES:
                counts["shapes"] += 1
                hits["shapes"] += shape == VOWEL_SHAPES[vowel]
    return {name: (hits[name] / counts[name] if counts[name] else float("nan"), counts[name])
            for name in MEASURES}


def diagnose(tool, files, options):
    """Where the vowel steps that are not open went: the shape shown, whether the frames there
    already won with it (cues with no hold and no closures) or the cue building made it, per
    vowel and per voice."""
    shown = cues_of(tool, files, options)
    frames = cues_of(tool, files, options + ["--min-hold", "0", "--closure", "0"])
    total, missed = collections.Counter(), collections.Counter()
    for wav in files:
        voice = os.path.basename(wav).split("-")[0]
        for name, phone, t in steps(wav):
            if name != "vowels":
                continue
            vowel = phone.rstrip(":")
            total["vowel " + vowel] += 1
            total["voice " + voice] += 1
            shape = shape_at(shown[wav], t)
            if shape in OPEN:
                continue
            cause = "frames" if shape_at(frames[wav], t) not in OPEN else "cue building"
            for key in ("shape " + shape, "shape %s from %s" % (shape, cause), "vowel " + vowel,
                        "voice " + voice):
                missed[key] += 1
    print("vowel steps not open: %d of %d" % (sum(v for k, v in missed.items()
                                                   if k.count(" ") == 1 and
                                                   k.startswith("shape")),
                                              sum(v for k, v in total.items()
                                                  if k.startswith("vowel"))))
    for key in sorted(missed, key=lambda k: (k.split()[0], -missed[k])):
        print("  %-28s %4d%s" % (key, missed[key],
                                 " of %d" % total[key] if key in total else ""))


def shortfall(result):
    # Only the goals count; the lips are shown to see what a setting costs them.
    return sum(max(0.0, GOALS[name] - result[name][0]) for name in GOALS)


def line(label, result):
    return "%-52s " % label + "  ".join(
        "%s %5.1f %% (%d)" % (name, 100 * result[name][0], result[name][1]) for name in MEASURES)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--speech", default=os.path.join(ROOT, "build/corpus/validation/speech"))
    parser.add_argument("--tool", default=os.path.join(ROOT, "build/vocetta"))
    parser.add_argument("--takes", help="a folder of sustained takes with labels.csv instead")
    parser.add_argument("--search", action="store_true")
    parser.add_argument("--diagnose", action="store_true",
                        help="where the vowel steps that are not open went")
    parser.add_argument("--transcripts", action="store_true",
                        help="give the tool each sentence's text (analyze --transcripts)")
    parser.add_argument("--visemes", action="store_true",
                        help="measure the fifteen visemes, per viseme")
    parser.add_argument("extra", nargs="*", help="further options for vocetta analyze")
    arguments = parser.parse_args()
    if arguments.takes:
        takes = take_segments(arguments.takes)
        files = sorted(takes)
        if not files:
            sys.exit(arguments.takes + ": no labelled takes (labels.csv)")
        print("%d takes of %s" % (len(files), arguments.takes))
        print(line("defaults " + " ".join(arguments.extra),
                   measure(arguments.tool, files, arguments.extra, takes)))
        return
    files = sorted(os.path.join(arguments.speech, name) for name in os.listdir(arguments.speech)
                   if name.endswith(".wav") and
                   os.path.exists(os.path.join(arguments.speech, name[:-4] + ".pho")))
    if not files:
        sys.exit(arguments.speech + ": no sentences (WAV beside .pho); run scripts/make-corpus.py")
    voices = sorted({os.path.basename(f).split("-")[0] for f in files})
    print("%d sentences, voices %s" % (len(files), " ".join(voices)))
    if arguments.visemes:
        print(visemes_line("visemes " + " ".join(arguments.extra), measure_visemes(
            arguments.tool, files, arguments.extra, transcripts=arguments.transcripts)))
        return
    if arguments.diagnose:
        diagnose(arguments.tool, files, arguments.extra)
        return
    if not arguments.search:
        print(line("defaults " + " ".join(arguments.extra), measure(
            arguments.tool, files, arguments.extra, transcripts=arguments.transcripts)))
        return
    rows = []
    for hold, closed, lip, priority, closed_dip, lip_dip in itertools.product(
            [40, 50, 60], [1, 2, 3], [1, 8], [1.5, 2], [0, 3, 6], [0, 6, 12, 20]):
        options = ["--min-hold", str(hold), "--closed-margin", str(closed), "--lip-margin",
                   str(lip), "--open-priority", str(priority), "--closed-dip", str(closed_dip),
                   "--lip-dip", str(lip_dip)]
        result = measure(arguments.tool, files, options + arguments.extra)
        rows.append((shortfall(result), -sum(result[name][0] for name in GOALS),
                     " ".join(options), result))
        print(line(" ".join(options), result), flush=True)
    rows.sort(key=lambda row: row[:2])
    print("best:")
    print(line(rows[0][2], rows[0][3]))


if __name__ == "__main__":
    main()
