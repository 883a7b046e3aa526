#!/usr/bin/env python3
"""What a line's transcript is worth: the phones it says, in order, aligned to the frame scores.

    scripts/transcript-experiment.py [-p PROFILE] [--sentences DIR] [--penalties 0.5,1,2]
                                     [--floors inf,6] [-- analyze options]
    scripts/transcript-experiment.py --tool [--snr DB] [--scripted] [-p PROFILE]
                                     [--sentences DIR] [-- analyze options]

Most of a game's dialogue is recorded from a script, so the phones a line holds are known before
its audio is analysed; only where each one lies is not. This takes the sentences of validation
voices (the folder that scripts/make-sentences.py writes, or the corpus's validation/speech),
their phones in order from their labels (the sequence a phonemiser gives for the text that
rendered them), and aligns them to the job's frame scores with a left-to-right Viterbi pass:
each phone in turn, at least one frame each, an optional pause between any two. A phone of a
class the profile knows scores as that class; any other phone (t, d, n, l, k, schwa, a
diphthong) as the best class of the frame less --penalties, so that it takes the frames the
known phones around it fit worse. Gated frames (30 dB under the recording's level) can only be
pause. Frames are labelled by their phone's class, those of the other phones by the frame's own
best class, and scored over the monophthong vowels as scripts/evaluate-corpus.py scores them,
against the tool's usual pass (switch cost 2) on the same frames.

--tool measures what a user gets instead: `vocetta analyze --text` with each sentence's own text
(scripts/make-sentences.py's SENTENCES) and its voice's language, phonemised by espeak-ng, against
`vocetta analyze` without it, both with their default options. --snr scores noisy copies
instead: pink noise DB under the RMS of each sentence's labelled phones, as make-corpus.py mixes
the noise of its takes (made in a temporary folder, never kept). --scripted gives each text as
a dialogue script might hold it, with a stage direction before it, a tag around its first word and
asterisks around its second (SCRIPTED), and scores `--text` on the plain words, on that line and
on that line with --literal-text.
"""
import argparse
import csv
import os
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

import numpy as np

from script_loader import load_script

EXPERIMENT = load_script("sentence-experiment")
SENTENCES = load_script("make-sentences")
CORPUS = load_script("make-corpus")
ROOT = EXPERIMENT.ROOT


def phones_of(segments):
    """The labelled phones of a sentence in order, its pauses left out (the text does not know
    them): a class name, or None for a phone no class stands for."""
    phones = []
    for _, _, label in sorted(segments):
        if label == "sil":
            continue
        phones.append(None if label.startswith("other:") else label)
    return phones


def align(rows, phones, names, penalty, floor=float("inf")):
    """The best path through pause? phone1 pause? phone2 ... phoneN pause?: states 2i are the
    pauses (before phone i), 2i + 1 the phones. Returns each frame's state."""
    rows = np.asarray(rows, dtype=np.float64)
    frames = len(rows)
    silence = names.index("sil")
    best = rows.max(axis=1)
    states = 2 * len(phones) + 1
    emit = np.empty((frames, states))
    emit[:, 0::2] = rows[:, silence:silence + 1]
    for i, phone in enumerate(phones):
        emit[:, 2 * i + 1] = (best - penalty if phone is None else
                              np.maximum(rows[:, names.index(phone)], best - floor))
    total = np.full(states, -np.inf)
    total[0], total[1] = emit[0, 0], emit[0, 1]
    back = np.zeros((frames, states), dtype=np.int32)
    index = np.arange(states)
    for t in range(1, frames):
        stay = total
        # Into a pause from its phone before; into a phone from the pause before it or, past
        # that pause, from the phone before.
        step = np.full(states, -np.inf)
        source = index.copy()
        step[2::2] = total[1:-1:2]
        source[2::2] = index[1:-1:2]
        step[1::2] = total[0::2][:len(phones)]
        source[1::2] = index[0::2][:len(phones)]
        skip = np.full(states, -np.inf)
        skip[3::2] = total[1:-2:2]
        better = skip > step
        step = np.where(better, skip, step)
        source = np.where(better, index - 2, source)
        moved = step > stay
        total = np.where(moved, step, stay) + emit[t]
        back[t] = np.where(moved, source, index)
    state = states - 1 if total[-1] >= total[-2] else states - 2
    path = [state]
    for t in range(frames - 1, 0, -1):
        state = back[t, state]
        path.append(state)
    return path[::-1]


def labels_of(path, phones, rows, names):
    silence = names.index("sil")
    labels = []
    for t, state in enumerate(path):
        if state % 2 == 0:
            labels.append(silence)
        else:
            phone = phones[state // 2]
            labels.append(int(np.argmax(rows[t])) if phone is None else names.index(phone))
    return labels


def text_of(file):
    """The sentence a file of make-sentences.py (VOICE-pN-sM.wav) or of the corpus's validation
    speech (VOICE-sM.wav) says, and its voice's espeak-ng language."""
    name = os.path.basename(file)
    voice = EXPERIMENT.voice_of(file)
    language = CORPUS.DIPHONE_LANGUAGE[voice[:2]]
    index = int(name.rsplit("-s", 1)[1].split(".")[0])
    texts = SENTENCES.SENTENCES if "-p" in name[len(voice):] else CORPUS.SENTENCES
    return texts[language][index], language


# A line as a dialogue script holds it: directions and markup that its actor does not say.
SCRIPTED = "(calmly) <b>{0}</b> *{1}* {2} [beat]"


def scripted(text):
    """`text` (words, language) with SCRIPTED's directions and markup."""
    words = text[0].split(" ", 2) + ["", ""]
    return SCRIPTED.format(*words[:3]), text[1]


def tool_labels(file, extra, text=None):
    """The tool's label of every frame of `file`: (time, label) rows."""
    arguments = [EXPERIMENT.TOOL, "analyze", "-q", "-j", "1", "-f", "csv"] + extra + [file]
    if text is not None:
        arguments += ["--text", text[0], "--language", text[1]]
    out = subprocess.run(arguments, check=True, capture_output=True, text=True).stdout
    rows = list(csv.reader(out.splitlines()))[1:]
    return [(float(r[0]), r[1]) for r in rows]


def noisy_copies(files, segments, snr_db, work):
    """Each file with pink noise `snr_db` under its phones' RMS: {copy: original}."""
    copies = {}
    for index, file in enumerate(files):
        samples = CORPUS.read_wav(file)
        rate = CORPUS.RATE
        speech = [s for start, end, label in segments[os.path.basename(file)] if label != "sil"
                  for s in samples[int(start * rate):int(end * rate)]]
        copy = os.path.join(work, os.path.basename(file))
        CORPUS.write_wav(copy, CORPUS.add_noise(samples, CORPUS.rms(speech), snr_db, index, True))
        copies[copy] = file
    return copies


def tool_mode(args, files, segments):
    if args.snr is not None:
        with tempfile.TemporaryDirectory() as work:
            return tool_scores(args, list(noisy_copies(files, segments, args.snr, work)),
                               segments)
    return tool_scores(args, files, segments)


def tool_scores(args, files, segments):
    print(EXPERIMENT.HEADER)
    runs = [("the tool, no transcript", None, []), ("the tool, --text", text_of, [])]
    if args.scripted:
        runs = [runs[1], ("the tool, --text, the scripted line",
                          lambda f: scripted(text_of(f)), []),
                ("the tool, --text --literal-text, the scripted line",
                 lambda f: scripted(text_of(f)), ["--literal-text"])]
    for title, text, options in runs:
        with ThreadPoolExecutor(max_workers=os.cpu_count() or 2) as pool:
            labelled = dict(zip(files, pool.map(
                lambda f: tool_labels(f, args.extra + options, text(f) if text else None),
                files)))
        tally = EXPERIMENT.Tally()
        for file, rows in labelled.items():
            seg = segments[os.path.basename(file)]
            for time, label in rows:
                vowel = EXPERIMENT.vowel_at(seg, time)
                if vowel:
                    tally.add(vowel[2], label, EXPERIMENT.voice_of(file))
        print(tally.line(title))
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("-p", "--profile")
    parser.add_argument("--corpus", default=os.path.join(ROOT, "build", "corpus-wide"))
    parser.add_argument("--sentences", default=os.path.join(ROOT, "build", "sentences"))
    parser.add_argument("--penalties", default="0.5,1,2,4")
    parser.add_argument("--floors", default="inf",
                        help="a phone of a class scores at least the frame's best less this")
    parser.add_argument("--switch-cost", type=float, default=2.0)
    parser.add_argument("--tool", action="store_true",
                        help="the tool's own labels with and without --text")
    parser.add_argument("--snr", type=float, help="with --tool: noisy copies, DB SNR")
    parser.add_argument("--scripted", action="store_true",
                        help="with --tool: the texts with directions and markup as well")
    parser.add_argument("extra", nargs="*")
    args = parser.parse_args()
    files, segments = EXPERIMENT.corpus_files(args.corpus, "validation", args.sentences)
    if args.tool:
        return tool_mode(args, files, segments)
    with tempfile.TemporaryDirectory() as work:
        frames, names = EXPERIMENT.analyze(files, args.profile, args.extra, work)
    rows = {f: EXPERIMENT.log_rows(frames[f], names) for f in files}
    print(EXPERIMENT.HEADER)
    usual = {f: EXPERIMENT.viterbi(rows[f], [args.switch_cost] * len(names)) for f in files}
    print(EXPERIMENT.score(frames, usual, names, segments).line(
        "no transcript, switch cost %g" % args.switch_cost))
    first = True
    for floor in [float(f) for f in args.floors.split(",") if f]:
        for penalty in [float(p) for p in args.penalties.split(",") if p]:
            paths = {}
            for f in files:
                phones = phones_of(segments[os.path.basename(f)])
                path = align(rows[f], phones, names, penalty, floor)
                paths[f] = labels_of(path, phones, rows[f], names)
            tally = EXPERIMENT.score(frames, paths, names, segments)
            print(tally.line("transcript, other -%g, floor -%g" % (penalty, floor)))
            if first:
                for line in EXPERIMENT.confusion_lines(tally, names):
                    print(line)
                first = False
    return 0


if __name__ == "__main__":
    sys.exit(main())
