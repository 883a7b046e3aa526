#!/usr/bin/env python3
"""Where the vowel frames of continuous speech go, and what the labelling can win back.

    scripts/sentence-experiment.py diagnose  [-p PROFILE] [--sentences DIR] [-- analyze options]
    scripts/sentence-experiment.py smoothing [-p PROFILE] [--sentences DIR] [--costs 1.5,2,3]
    scripts/sentence-experiment.py decoding  [-p PROFILE] [--sentences DIR] [--conditions clean,...]
    scripts/sentence-experiment.py stream    [-p PROFILE] [--sentences DIR] [--conditions clean,...]
    scripts/sentence-experiment.py ceiling   [--sentences DIR] [--weight 4]
    scripts/sentence-experiment.py profile   --keep FILE [--widen MS] [--leave-out VOICES]
                                             [-- calibrate options]

Runs `vocetta analyze --no-smoothing` (build/vocetta) over sentences of validation voices (the
corpus's validation/speech of scripts/make-corpus.py, or --sentences, the folder that
scripts/make-sentences.py writes), keeps every frame's volume and scores, and labels them offline
as the tool does: the relative gate (30 dB under the recording's 95th-percentile frame volume),
then a Viterbi pass over the log scores. `diagnose` first checks the offline pass against the
tool's own smoothed labels, so that the variants differ from the tool only where they mean to.
Only vowel frames count (every frame whose centre lies in a monophthong vowel), as in
scripts/evaluate-corpus.py; the last column is the accuracy's spread over the voices (the 5th
and 95th percentile with the voices drawn with replacement), since the errors are speakers'.

diagnose: the confusion of the vowel frames, with and without smoothing; accuracy by position in
the vowel (first and last 20 ms, the middle), by the vowel's length, by voice; the label-timing
tolerance (frames within 10 or 20 ms of the vowel's boundaries left out) and the frames' times
shifted against the labels. Diagnostics: none of them chooses a parameter.

smoothing: variants of the Viterbi pass (switch cost, cheaper switches into vowels, dearer ones
from vowel to vowel, minimum durations). decoding: the Viterbi track against the same pass read
--lags frames late (the SDK's ViterbiSmoother) and against each frame's posterior under the
CausalSmoother's model, from the whole recording or with a bounded lag, on the sentences and on
sustained takes, with how often each agrees with the whole-recording track. stream: the tool's
own labels of a stream (`vocetta analyze -`, its gate under the level heard so far and smoothing
as the frames come) at several --lag values, or with the option sets of --stream-variants.

ceiling: calibrates a profile on the calibration corpus plus the very sentences scored (their
vowels listed --weight times): what the front end could do at best on these frames, never a
profile to ship or to choose with. profile: the built-in profile's recipe with other calibrate
options, for trying analysis parameters (scripts/evaluate-corpus.py -p FILE for its other
figures), or without some calibration voices (--leave-out, e.g. on the corpus of make-corpus.py
--wide-all: which of the wider voices the built-in profile hears was chosen so).
"""
import argparse
import csv
import math
import os
import random
import re
import subprocess
import sys
import tempfile

from script_loader import load_script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, "build", "vocetta")
VOWELS = ["A", "I", "U", "E", "O"]
IMPOSSIBLE = -1.0e6
GATE_DB = -30.0
PERCENTILE = 0.95
SENTENCE = re.compile(r"^(.*?)-(p\d+-)?s\d+(-aug)?\.wav$")


def voice_of(file):
    match = SENTENCE.match(os.path.basename(file))
    return match.group(1) if match else file


# ---------------------------------------------------------------- frames and labels


def analyze(files, profile, extra, out):
    """Every frame of every file: (time, volume, scores by phoneme), phoneme names."""
    arguments = [TOOL, "analyze", "--force", "-q", "-j", "2", "-f", "csv", "--no-smoothing",
                 "--keep-noise", "-o", out]
    if profile:
        arguments += ["-p", profile]
    subprocess.run(arguments + extra + files, check=True)
    frames, names = {}, None
    for file in files:
        with open(os.path.join(out, os.path.splitext(os.path.basename(file))[0] + ".csv")) as f:
            reader = csv.reader(f)
            header = next(reader)
            names = header[3:]
            frames[file] = [(float(r[0]), float(r[2]), [float(v) for v in r[3:]], r[1])
                            for r in reader]
    return frames, names


def gate_volume(frames, gate_db=GATE_DB):
    volumes = sorted(v for _, v, _, _ in frames if math.isfinite(v) and v > 0)
    if not volumes:
        return 0.0
    rank = int(PERCENTILE * (len(volumes) - 1) + 0.5)
    return volumes[rank] * 10 ** (gate_db / 20)


def log_rows(frames, names, gate_db=GATE_DB):
    """The Viterbi pass's input: a gated or unscored frame can only be silence."""
    silence = names.index("sil")
    gate = gate_volume(frames, gate_db)
    rows = []
    for _, volume, scores, _ in frames:
        best = max(range(len(scores)), key=lambda p: scores[p])
        if not volume >= gate or not scores[best] > 0:
            row = [IMPOSSIBLE] * len(names)
            row[silence] = 0.0
        else:
            row = [max(math.log(s), IMPOSSIBLE) if s > 0 else IMPOSSIBLE for s in scores]
        rows.append(row)
    return rows


def frame_best(rows):
    return [max(range(len(r)), key=lambda p: (r[p], -p)) for r in rows]


def viterbi(rows, enter, min_frames=None):
    """Best path: sum of log scores minus the cost of every change of state (enter[s] for any
    change into s, or enter[p][s] from p into s when it is a matrix); with min_frames[s] > 1 a
    state once entered lasts at least that many frames (a chain of sub-states, the last of which
    stays). Ties go to staying, then to the lowest index, as in the tool's pass."""
    if not rows:
        return []
    states = len(rows[0])
    cost = [list(r) for r in enter] if isinstance(enter[0], list) else [list(enter)] * states
    length = [max(1, m) for m in (min_frames or [1] * states)]
    offset = [sum(length[:s]) for s in range(states)]
    last = [offset[s] + length[s] - 1 for s in range(states)]
    owner = [s for s in range(states) for _ in range(length[s])]
    total = [float("-inf")] * len(owner)
    for s in range(states):
        total[offset[s]] = rows[0][s]
    back = []
    for t in range(1, len(rows)):
        row = rows[t]
        finished = [total[last[s]] for s in range(states)]
        nxt = [0.0] * len(owner)
        frm = [0] * len(owner)
        for s in range(states):
            source, entered = s, float("-inf")
            for p in range(states):
                if p != s and finished[p] - cost[p][s] > entered:
                    source, entered = p, finished[p] - cost[p][s]
            base = offset[s]
            if length[s] == 1:
                if total[base] >= entered:
                    nxt[base], frm[base] = total[base] + row[s], base
                else:
                    nxt[base], frm[base] = entered + row[s], last[source]
                continue
            nxt[base], frm[base] = entered + row[s], last[source]
            for k in range(1, length[s] - 1):
                nxt[base + k], frm[base + k] = total[base + k - 1] + row[s], base + k - 1
            end = last[s]
            if total[end] >= total[end - 1]:
                nxt[end], frm[end] = total[end] + row[s], end
            else:
                nxt[end], frm[end] = total[end - 1] + row[s], end - 1
        total = nxt
        back.append(frm)
    state = max(range(len(owner)), key=lambda i: (total[i], -owner[i]))
    path = [owner[state]]
    for frm in reversed(back):
        state = frm[state]
        path.append(owner[state])
    return path[::-1]


def lagged_viterbi(rows, cost, lag):
    """The SDK's ViterbiSmoother: after each frame t, the state of frame t - lag on the best path
    over frames 0 ... t (the Viterbi pass above, a change costing `cost`); the last `lag` frames
    settled from the end of the recording."""
    count = len(rows)
    if not count:
        return []
    states = len(rows[0])
    best_of = lambda total: max(range(states), key=lambda s: (total[s], -s))
    total, back, path = list(rows[0]), [None], [None] * count

    def state_back(steps):
        state, t = best_of(total), len(back) - 1
        for _ in range(steps):
            state, t = back[t][state], t - 1
        return t, state

    for t in range(1, count):
        best = best_of(total)
        switched = total[best] - cost
        stay = [total[s] >= switched for s in range(states)]
        back.append([s if stay[s] else best for s in range(states)])
        total = [(total[s] if stay[s] else switched) + rows[t][s] for s in range(states)]
        if t >= lag:
            frame, state = state_back(lag)
            path[frame] = state
    if lag == 0:
        path[0] = best_of(rows[0])
    for steps in range(min(lag, count - 1), -1, -1):
        frame, state = state_back(steps)
        if path[frame] is None:
            path[frame] = state
    return path


def posterior_path(rows, switch, lag=None, floor=1.0e-4):
    """Each frame's most probable state under the hidden Markov model of the SDK's
    CausalSmoother (stay with 1 - switch, or move to any other state alike; the frame's
    normalised scores, floored, as likelihoods): from the frames up to t + lag (lag 0: the
    forward pass alone, as the SDK's smoother; None: the whole recording)."""
    count = len(rows)
    if not count:
        return []
    states = len(rows[0])
    keep, spread = 1.0 - switch, switch / (states - 1)
    like = [[max(math.exp(v), floor) if v > IMPOSSIBLE else floor for v in row] for row in rows]

    def carry(vector):  # one step of the switching model, either direction (it is symmetric)
        total = sum(vector)
        return [keep * v + spread * (total - v) for v in vector]

    forward = []
    belief = [1.0 / states] * states
    for t in range(count):
        prior = carry(belief) if t else belief
        belief = [a * b for a, b in zip(prior, like[t])]
        norm = sum(belief)
        belief = [b / norm for b in belief]
        forward.append(belief)
    horizon = count if lag is None else lag
    path = []
    backward_full = None
    if lag is None:
        backward_full = [[1.0] * states for _ in range(count)]
        for t in range(count - 2, -1, -1):
            x = [l * b for l, b in zip(like[t + 1], backward_full[t + 1])]
            b = carry(x)
            norm = sum(b)
            backward_full[t] = [v / norm for v in b]
    for t in range(count):
        if lag is None:
            back = backward_full[t]
        else:
            back = [1.0] * states
            for u in range(min(count - 1, t + horizon), t, -1):
                x = [l * b for l, b in zip(like[u], back)]
                b = carry(x)
                norm = sum(b)
                back = [v / norm for v in b]
        post = [a * b for a, b in zip(forward[t], back)]
        path.append(max(range(states), key=lambda s: (post[s], -s)))
    return path


def scored_sets(args):
    """(name, (files, segments), margin): the sentences (margin None: every vowel frame), then
    the sustained takes of --conditions (frames at least 40 ms from a boundary)."""
    sets = [("sentences", corpus_files(args.corpus, "validation", args.sentences), None)]
    for condition in [c for c in args.conditions.split(",") if c]:
        folder = os.path.join(args.corpus, "validation", condition)
        segments = segments_of(os.path.join(folder, "labels.csv"))
        sets.append((condition, ([os.path.join(folder, f) for f in sorted(segments)], segments),
                     0.04))
    return sets


def decoding(args, work):
    """Viterbi against the posterior of each frame, offline and with bounded lag, on the
    sentences and on the sustained takes of --conditions (frames at least 40 ms from a boundary,
    over A I U E O sil, as scripts/evaluate-corpus.py counts them)."""
    sets = scored_sets(args)
    variants = [("frame by frame", lambda rows: frame_best(rows))]
    for cost in args.costs:
        variants.append(("Viterbi, switch cost %g" % cost,
                         lambda rows, c=cost: viterbi(rows, [c] * len(rows[0]))))
    for cost in args.costs:
        for lag in args.lags:
            variants.append(("Viterbi %g, lag %d" % (cost, lag),
                             lambda rows, c=cost, g=lag: lagged_viterbi(rows, c, g)))
    for cost in args.costs:
        switch = min(0.5, math.exp(-cost))
        for lag in args.lags + [None]:
            variants.append(("posterior, switch %.3f, %s" % (
                switch, "whole" if lag is None else "lag %d" % lag),
                lambda rows, p=switch, g=lag: posterior_path(rows, p, g)))
    results, agreement = {}, {}
    for name, (files, segments), margin in sets:
        frames, names = analyze(files, args.profile, args.extra, os.path.join(work, name))
        rows = {f: log_rows(frames[f], names) for f in files}
        whole = {f: viterbi(rows[f], [args.switch_cost] * len(names)) for f in files}
        for title, decode in variants:
            path = {f: decode(rows[f]) for f in files}
            if margin is None:  # every frame of the sentences, against the whole-recording track
                same = sum(a == b for f in files for a, b in zip(path[f], whole[f]))
                agreement[title] = same / max(1, sum(len(whole[f]) for f in files))
                results[(title, name)] = score(frames, path, names, segments).accuracy()
            else:
                results[(title, name)] = sustained(frames, path, names, segments, margin)
    print("%-36s" % "" + "".join("%10s" % name for name, _, _ in sets) +
          "  same as the whole track (--switch-cost), every sentence frame")
    for title, _ in variants:
        print("%-36s" % title + "".join("%9.1f%%" % (100 * results[(title, name)])
                                        for name, _, _ in sets) +
              "%9.1f%%" % (100 * agreement[title]))


def stream(args, work):
    """The tool's labels of a stream (standard input: gated as it comes, smoothed as it comes),
    on the sentences and the sustained takes of --conditions."""
    sets = scored_sets(args)
    if args.stream_variants:
        options = [v.split() for v in args.stream_variants.split(";")]
    else:
        options = [["--lag", str(lag)] for lag in args.stream_lags] + [["--no-smoothing"]]
    print("%-36s" % "" + "".join("%10s" % name for name, _, _ in sets))
    for option in options:
        line = "%-36s" % " ".join(option)
        for name, (files, segments), margin in sets:
            frames = {}
            for file in files:
                arguments = ([TOOL, "analyze", "-", "-q", "-f", "csv", "--keep-noise"] + option +
                             args.extra)
                if args.profile:
                    arguments += ["-p", args.profile]
                with open(file, "rb") as audio:
                    text = subprocess.run(arguments, stdin=audio, check=True,
                                          capture_output=True, text=True).stdout
                frames[file] = [(float(r["time"]), 0.0, [], r["phoneme"])
                                for r in csv.DictReader(text.splitlines())]
            names = sorted({f[3] for rows in frames.values() for f in rows})
            paths = {f: [names.index(r[3]) for r in frames[f]] for f in files}
            if margin is None:
                value = score(frames, paths, names, segments).accuracy()
            else:
                value = sustained(frames, paths, names, segments, margin)
            line += "%9.1f%%" % (100 * value)
        print(line, flush=True)


def sustained(frames, paths, names, segments, margin):
    """Accuracy over A I U E O sil of the frames at least `margin` from a boundary."""
    right = total = 0
    for file, path in paths.items():
        for (time, _, _, _), state in zip(frames[file], path):
            for start, end, label in segments[os.path.basename(file)]:
                if start + margin <= time < end - margin:
                    if label in VOWELS or label == "sil":
                        right += names[state] == label
                        total += 1
                    break
    return right / max(1, total)


# ---------------------------------------------------------------- truth


def segments_of(labels_csv):
    segments = {}
    with open(labels_csv) as f:
        for row in csv.DictReader(f):
            segments.setdefault(row["file"], []).append(
                (float(row["start"]), float(row["end"]), row["label"]))
    return segments


def vowel_at(segments, time):
    """The vowel segment (start, end, label) whose span holds `time`, or None."""
    for start, end, label in segments:
        if start <= time < end:
            return (start, end, label) if label in VOWELS else None
    return None


class Tally:
    """Counts of (true, recognised) over the vowel frames that pass a filter."""

    def __init__(self):
        self.counts = {}
        self.voices = {}  # voice -> [right, frames]

    def add(self, true, got, voice):
        self.counts.setdefault(true, {})
        self.counts[true][got] = self.counts[true].get(got, 0) + 1
        tally = self.voices.setdefault(voice, [0, 0])
        tally[0] += true == got
        tally[1] += 1

    def interval(self, draws=2000):
        """5th and 95th percentile of the accuracy over the voices drawn with replacement: the
        errors belong to speakers, so the voices, not the frames, are the samples."""
        rng = random.Random(1)
        voices = list(self.voices.values())
        values = []
        for _ in range(draws):
            drawn = [rng.choice(voices) for _ in voices]
            values.append(sum(v[0] for v in drawn) / max(1, sum(v[1] for v in drawn)))
        values.sort()
        return values[int(0.05 * draws)], values[int(0.95 * draws)]

    def total(self):
        return sum(sum(c.values()) for c in self.counts.values())

    def accuracy(self):
        return sum(c.get(t, 0) for t, c in self.counts.items()) / max(1, self.total())

    def recall(self, t):
        c = self.counts.get(t, {})
        return c.get(t, 0) / max(1, sum(c.values())) if c else float("nan")

    def line(self, title):
        recalls = " ".join("%5.1f" % (100 * self.recall(t)) for t in VOWELS)
        low, high = self.interval()
        return "%-34s %6.1f%% %6d   %s   %4.1f-%4.1f" % (
            title, 100 * self.accuracy(), self.total(), recalls, 100 * low, 100 * high)


def score(frames, paths, names, segments, keep=lambda *a: True, shift=0.0):
    tally = Tally()
    for file, path in paths.items():
        seg = segments[os.path.basename(file)]
        for (time, _, _, _), state in zip(frames[file], path):
            vowel = vowel_at(seg, time + shift)
            if vowel and keep(file, time + shift, vowel):
                tally.add(vowel[2], names[state], voice_of(file))
    return tally


HEADER = "%-34s %7s %6s   %s   %s" % ("", "acc", "frames", " ".join("%5s" % v for v in VOWELS),
                                      "by voice, 90 %")


def confusion_lines(tally, names):
    columns = VOWELS + [n for n in names if n not in VOWELS]
    lines = ["      " + "".join("%6s" % c for c in columns) + "   (share of the row, %)"]
    for t in VOWELS:
        row = tally.counts.get(t, {})
        n = max(1, sum(row.values()))
        lines.append("%-6s" % t + "".join("%6.1f" % (100 * row.get(c, 0) / n) for c in columns))
    return lines


# ---------------------------------------------------------------- commands


def corpus_files(corpus, split, folder=None):
    folder = folder or os.path.join(corpus, split, "speech")
    if split == "validation":
        segments = segments_of(os.path.join(folder, "labels.csv"))
        return [os.path.join(folder, f) for f in sorted(segments)], segments
    # Calibration sentences: phone timing as a calibration manifest (file relative to the split).
    segments = {}
    with open(os.path.join(corpus, split, "speech.csv")) as f:
        for row in csv.DictReader(f):
            segments.setdefault(os.path.basename(row["file"]), []).append(
                (float(row["start"]), float(row["end"]), row["phoneme"]))
    for seg in segments.values():
        seg.sort()
    return [os.path.join(folder, f) for f in sorted(segments)], segments


def tool_agrees(frames, names, rows_of, switch_cost, profile, extra, work):
    """The offline pass gives the tool's own smoothed labels (a check of this replica)."""
    files = sorted(frames)
    out = os.path.join(work, "tool-smoothed")
    os.makedirs(out, exist_ok=True)
    arguments = [TOOL, "analyze", "--force", "-q", "-j", "2", "-f", "csv", "--keep-noise", "-o",
                 out]
    if profile:
        arguments += ["-p", profile]
    subprocess.run(arguments + extra + files, check=True)
    same = total = 0
    enter = [switch_cost] * len(names)
    for file in files:
        with open(os.path.join(out, os.path.splitext(os.path.basename(file))[0] + ".csv")) as f:
            tool = [r["phoneme"] for r in csv.DictReader(f)]
        mine = [names[s] for s in viterbi(rows_of[file], enter)]
        same += sum(a == b for a, b in zip(tool, mine))
        total += len(tool)
    return same, total


def diagnose(args, work):
    files, segments = corpus_files(args.corpus, "validation", args.sentences)
    frames, names = analyze(files, args.profile, args.extra, os.path.join(work, "frames"))
    rows = {f: log_rows(frames[f], names) for f in files}
    switch = args.switch_cost
    same, total = tool_agrees(frames, names, rows, switch, args.profile, args.extra, work)
    print("offline pass against the tool's smoothed labels: %d of %d frames the same" %
          (same, total))
    paths = {"smoothed": {f: viterbi(rows[f], [switch] * len(names)) for f in files},
             "frame by frame": {f: frame_best(rows[f]) for f in files}}
    for title, path in paths.items():
        print("\n== %s (switch cost %g)" % (title, switch) if title == "smoothed" else
              "\n== %s" % title)
        print(HEADER)
        everything = score(frames, path, names, segments)
        print(everything.line("all vowel frames"))
        for line in confusion_lines(everything, names):
            print(line)
        print(HEADER)

        def edge(which):
            def keep(file, time, vowel):
                start, end, _ = vowel
                first, lastpart = time - start < 0.02, end - time <= 0.02
                return {"first": first and not lastpart, "last": lastpart and not first,
                        "both": first and lastpart, "middle": not first and not lastpart}[which]
            return keep

        for which in ("first", "last", "both", "middle"):
            label = {"first": "first 20 ms", "last": "last 20 ms",
                     "both": "within 20 ms of both ends", "middle": "middle (20 ms in)"}[which]
            print(score(frames, path, names, segments, edge(which)).line(label))
        for low, high in ((0, 0.04), (0.04, 0.06), (0.06, 0.1), (0.1, 10)):
            print(score(frames, path, names, segments,
                        lambda f, t, v, lo=low, hi=high: lo <= v[1] - v[0] < hi).line(
                            "vowels %d-%s ms" % (1000 * low, "" if high > 1 else 1000 * high)))
        for margin in (0.01, 0.02):
            print(score(frames, path, names, segments,
                        lambda f, t, v, m=margin: t - v[0] >= m and v[1] - t > m).line(
                            "tolerance: %d ms from boundaries" % (1000 * margin)))
        for shift in (-0.02, -0.01, -0.005, 0.005, 0.01, 0.02):
            print(score(frames, path, names, segments, shift=shift).line(
                "frame times %+d ms" % (1000 * shift)))
        for voice in sorted({voice_of(f) for f in files}):
            print(score(frames, path, names, segments,
                        lambda f, t, v, w=voice: voice_of(f) == w).line("voice " + voice))
    # Vowel segments and frames: how many frames does a vowel get, and how many vowels none.
    counts = {}
    for f in files:
        for start, end, label in segments[os.path.basename(f)]:
            if label in VOWELS:
                n = sum(start <= t < end for t, _, _, _ in frames[f])
                counts[n] = counts.get(n, 0) + 1
    print("\nvowels by the number of frames whose centre they hold:",
          " ".join("%d:%d" % kv for kv in sorted(counts.items())))


def smoothing(args, work):
    files, segments = corpus_files(args.corpus, "validation", args.sentences)
    frames, names = analyze(files, args.profile, args.extra, os.path.join(work, "frames"))
    rows = {f: log_rows(frames[f], names) for f in files}
    n = len(names)
    print(HEADER)

    def run(title, enter, min_frames=None):
        path = {f: viterbi(rows[f], enter, min_frames) for f in files}
        print(score(frames, path, names, segments).line(title))

    run("frame by frame", [0.0] * n)
    for cost in args.costs:
        run("switch cost %g" % cost, [cost] * n)
    vowel = [names.index(v) for v in VOWELS]
    for cost in args.costs:
        for vowel_cost in (0.5 * cost, 0.75 * cost):
            enter = [vowel_cost if s in vowel else cost for s in range(n)]
            run("cost %g, into a vowel %g" % (cost, vowel_cost), enter)
    for cost in args.costs:
        for between in (1.5 * cost, 2 * cost, 3 * cost):
            matrix = [[between if p in vowel and s in vowel else cost for s in range(n)]
                      for p in range(n)]
            run("cost %g, vowel to vowel %g" % (cost, between), matrix)
    for cost in args.costs:
        for frames_min in (2, 3):
            run("cost %g, min %d frames" % (cost, frames_min), [cost] * n, [frames_min] * n)
            mins = [frames_min if names[s] not in VOWELS else 1 for s in range(n)]
            run("cost %g, min %d frames but vowels" % (cost, frames_min), [cost] * n, mins)


DEFAULT_PROFILE = load_script("make-default-profile")
RECIPE = DEFAULT_PROFILE.CHOSEN


def widened(corpus, widen, work):
    """The calibration voices' sentence vowels with each stretch `widen` seconds longer at both
    ends (a negative value shortens them): calibrate keeps the frames whose whole block lies in a
    stretch, so widening by half a block keeps every frame whose centre lies in the vowel."""
    calibration = os.path.join(corpus, "calibration")
    path = os.path.join(work, "speech-vowels-widened.csv")
    with open(os.path.join(calibration, "speech-vowels.csv")) as f, open(path, "w") as out:
        writer = csv.writer(out)
        writer.writerow(["file", "phoneme", "start", "end"])
        for row in csv.DictReader(f):
            start, end = float(row["start"]) - widen, float(row["end"]) + widen
            if end > start:
                writer.writerow([os.path.join(calibration, row["file"]), row["phoneme"],
                                 "%.4f" % max(0.0, start), "%.4f" % end])
    return path


def left_out(calibration, name, voices, work):
    """NAME.csv of the calibration folder without the rows of `voices`, in `work` with its paths
    made absolute: written beside the corpus, two runs leaving out different voices would take
    each other's manifests."""
    with open(os.path.join(calibration, name + ".csv"), newline="") as f:
        rows = list(csv.reader(f))
    column = rows[0].index("file")
    for row in rows[1:]:
        row[column] = os.path.join(os.path.abspath(calibration), row[column])
    path = os.path.join(work, name + "-left-out.csv")
    with open(path, "w", newline="") as f:
        csv.writer(f).writerows([rows[0]] + [r for r in rows[1:] if r[2] not in voices])
    return path


def calibrate(corpus, manifests, profile, overrides, widen=0.0, work=None, leave_out=()):
    """The built-in profile's recipe (scripts/make-default-profile.py) on the calibration voices'
    takes and sentence vowels (widened by `widen` seconds), plus `manifests`, with `overrides`
    replacing recipe options; the speaker anchor is left out (the figures here are not
    adapted)."""
    calibration = os.path.join(corpus, "calibration")
    # The sentence vowels as the built-in recipe lists them (written beside speech.csv).
    DEFAULT_PROFILE.vowels_of_sentences(os.path.join(calibration, "speech.csv"))
    sentences = (widened(corpus, widen, work) if widen else
                 os.path.join(calibration, "speech-vowels.csv"))
    manifest = os.path.join(calibration, "manifest.csv")
    if leave_out:
        assert not widen, "--leave-out and --widen do not combine"
        manifest = left_out(calibration, "manifest", leave_out, work)
        sentences = left_out(calibration, "speech-vowels", leave_out, work)
    recipe = list(RECIPE)
    for name, value in zip(overrides[::2], overrides[1::2]):
        if name in recipe:
            recipe[recipe.index(name) + 1] = value
        else:
            recipe += [name, value]
    subprocess.run(["nice", "-n", "5", TOOL, "calibrate", "--force", manifest, sentences] +
                   manifests + ["-o", profile, "-q", "-j", "2", "--base",
                    os.path.join(ROOT, "profiles", "default.json")] + recipe, check=True)


def make_profile(args, work):
    calibrate(args.corpus, [], args.keep, args.extra, args.widen / 1000.0, work,
              set(args.leave_out.split(",")) if args.leave_out else ())


def ceiling(args, work):
    """Calibrate with the validation voices' sentence vowels as well (an oracle)."""
    calibration = os.path.join(args.corpus, "calibration")
    folder = os.path.abspath(args.sentences or os.path.join(args.corpus, "validation", "speech"))
    manifest = os.path.join(work, "oracle-sentences.csv")
    with open(manifest, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["file", "phoneme", "start", "end"])
        for file, seg in sorted(segments_of(os.path.join(folder, "labels.csv")).items()):
            for start, end, label in seg:
                if label in VOWELS:
                    for _ in range(args.weight):
                        writer.writerow([os.path.join(folder, file), label, start, end])
    profile = os.path.join(work, "oracle.json")
    calibrate(args.corpus, [manifest], profile, [])
    if args.keep:
        subprocess.run(["cp", profile, args.keep], check=True)
    args.profile = profile
    diagnose(args, work)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("command", choices=["diagnose", "smoothing", "decoding", "stream", "ceiling", "profile"])
    parser.add_argument("-p", "--profile", default="", help="profile (default: built-in)")
    parser.add_argument("--corpus", default=os.path.join(ROOT, "build", "corpus-wide"),
                        help="default: build/corpus-wide, the built-in profile's corpus "
                        "(scripts/make-default-profile.py)")
    parser.add_argument("--leave-out", default="",
                        help="profile: comma-separated calibration voices to leave out")
    parser.add_argument("--sentences", help="folder of sentences with labels.csv (default: the "
                        "corpus's validation/speech; scripts/make-sentences.py makes more)")
    parser.add_argument("--switch-cost", type=float, default=2.0)
    parser.add_argument("--costs", default="1,1.5,2,3", help="switch costs to try (smoothing)")
    parser.add_argument("--weight", type=int, default=4,
                        help="ceiling: times each validation sentence vowel is listed (4, as "
                        "the calibration voices' sentence vowels)")
    parser.add_argument("--widen", type=float, default=0.0,
                        help="profile: widen the calibration sentence vowels by MS at each end")
    parser.add_argument("--conditions", default="",
                        help="decoding: sustained conditions to score as well (clean,snr20,...)")
    parser.add_argument("--lags", default="0,1,2,3", help="decoding: lags in frames")
    parser.add_argument("--stream-lags", default="0,10,20,30", help="stream: --lag values, ms")
    parser.add_argument("--stream-variants", default="",
                        help="stream: option sets to try instead, separated by ';' (e.g. "
                        "'--silence -40;--level-window 3')")
    parser.add_argument("--keep", help="ceiling: keep the oracle profile in this file")
    argv = sys.argv[1:]
    extra = argv[argv.index("--") + 1:] if "--" in argv else []
    args = parser.parse_args(argv[:len(argv) - len(extra) - (1 if "--" in argv else 0)])
    args.extra = extra
    args.costs = [float(c) for c in args.costs.split(",")]
    args.lags = [int(g) for g in args.lags.split(",")]
    args.stream_lags = [float(g) for g in args.stream_lags.split(",")]
    if not os.access(TOOL, os.X_OK):
        sys.exit("build the tool first: cmake -S . -B build && cmake --build build")
    with tempfile.TemporaryDirectory(dir=os.path.join(ROOT, "build")) as work:
        {"diagnose": diagnose, "smoothing": smoothing, "ceiling": ceiling, "decoding": decoding, "stream": stream,
         "profile": make_profile}[args.command](args, work)


if __name__ == "__main__":
    main()
