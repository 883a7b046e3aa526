#!/usr/bin/env python3
"""More sentences from the validation diphone voices, so that figures on continuous speech rest
on more than the corpus's three sentences per voice.

    scripts/make-sentences.py [--corpus build/corpus] [--out build/sentences]

Renders SENTENCES below (eight new sentences per language, none of them a sentence of
scripts/make-corpus.py) with every validation diphone voice of the corpus (its corpus.json names
them), at the three pitches the calibration sentences use, exactly as make-corpus.py renders
its sentences (espeak-ng's --pho phone timing driving mbrola, resampled to 48 kHz, normalised to
-6 dBFS). Writes OUT/VOICE-pN-sM.wav, the .pho files and OUT/labels.csv in the layout of the
corpus's validation/speech folder (file, start, end, label). Only validation voices are ever
rendered; the held-back ones are refused. Same inputs, same files: an existing file is kept.

    scripts/make-sentences.py --festival [--corpus build/corpus-wide-fest]
                              [--out build/sentences-festival]

renders them instead with the Festival validation voices of a corpus made by make-corpus.py
--festival, as that script renders their sentences (the voice's own phone timing), at the same
three pitches where the voice follows a pitch asked for (the diphone voices).
"""
import argparse
import csv
import json
import os
import sys

from script_loader import load_script

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

SENTENCES = {
    "de": ["Unser Hund schläft gern auf dem Sofa.", "Am Montag kommt die Oma zu Besuch.",
           "Er trinkt jeden Morgen einen Tee.", "Die Sonne scheint über dem Dorf.",
           "Kannst du mir bitte das Salz geben?", "Im Winter liegt oft Schnee auf dem Berg.",
           "Wir essen heute Abend Suppe und Brot.", "Das Boot fährt langsam über den Fluss."],
    "es": ["El niño juega con su hermano.", "Hoy comemos arroz con pollo.",
           "La luna brilla sobre el lago.", "Mi padre lee el periódico.",
           "Todos los días tomo un café.", "El tren sale a las ocho.",
           "Me gusta mucho la música nueva.", "Ellos viven cerca del río."],
    "fr": ["Le petit garçon mange une pomme.", "Il y a un oiseau sur le toit.",
           "Elle porte une robe rouge.", "Mon ami habite à Paris.",
           "Le bateau part ce soir.", "Tu veux du pain et du fromage?",
           "La lune est belle cette nuit.", "Nous lisons un roman policier."],
    "it": ["Il bambino gioca con la palla.", "Oggi mangiamo la pasta al sugo.",
           "La luna è molto luminosa.", "Mio padre lavora in ufficio.",
           "Il treno parte alle otto.", "Vorrei un caffè con lo zucchero.",
           "Le ragazze cantano una canzone.", "Abitiamo vicino al fiume."],
    "nl": ["De hond slaapt op de bank.", "Morgen komt oma op bezoek.",
           "Hij drinkt elke ochtend thee.", "De zon schijnt boven het dorp.",
           "Wil je mij het zout geven?", "In de winter ligt er sneeuw.",
           "Wij eten vanavond soep met brood.", "De boot vaart over de rivier."],
    "pl": ["Pies śpi na kanapie.", "Jutro babcia przyjdzie do nas.",
           "On pije rano herbatę.", "Słońce świeci nad wsią.",
           "Czy możesz podać mi sól?", "Zimą w górach jest dużo śniegu.",
           "Dziś na kolację jemy zupę.", "Łódka płynie po rzece."],
    "cs": ["Náš pes rád spí na gauči.", "V pondělí k nám přijde babička.",
           "Každé ráno pije čaj.", "Slunce svítí nad vesnicí.", "Můžeš mi podat sůl?",
           "V zimě je na horách sníh.", "Dnes večer jíme polévku a chleba.",
           "Loďka pomalu pluje po řece."],
    "en-us": ["The dog sleeps on the sofa.", "On Monday my aunt will visit us.",
              "He drinks a cup of tea each morning.", "The sun is low over the town.",
              "Could you pass me the salt?", "In winter the hills are white with snow.",
              "We eat soup and bread for supper.", "The boat moves slowly down the river."],
}
PITCHES = [0.85, 1.0, 1.2]


def check_new(make, language):
    """Exits unless the language has sentences here that make-corpus.py never renders."""
    used = set(make.SENTENCES.get(language, [])) | set(
        make.CALIBRATION_SENTENCES.get(language, []))
    if language not in SENTENCES or used & set(SENTENCES[language]):
        sys.exit("no new sentences for language " + language)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", help="default: build/corpus, with --festival "
                        "build/corpus-wide-fest")
    parser.add_argument("--out", help="default: build/sentences, with --festival "
                        "build/sentences-festival")
    parser.add_argument("--festival", action="store_true",
                        help="render with the corpus's Festival validation voices")
    args = parser.parse_args()
    if args.festival:
        args.corpus = args.corpus or os.path.join(ROOT, "build", "corpus-wide-fest")
        return festival(args)
    args.corpus = args.corpus or os.path.join(ROOT, "build", "corpus")
    args.out = args.out or os.path.join(ROOT, "build", "sentences")
    with open(os.path.join(args.corpus, "corpus.json")) as f:
        corpus = json.load(f)
    held = set(corpus["held_back"]["diphone"])
    voices = sorted(v for v, d in corpus["voices"].items()
                    if d["kind"] == "diphone" and d["split"] == "validation")
    if held & set(voices):
        sys.exit("corpus.json lists a held-back voice as a validation voice: " +
                 ", ".join(sorted(held & set(voices))))
    make = load_script("make-corpus")
    for language in {make.DIPHONE_LANGUAGE[v[:2]] for v in voices}:
        check_new(make, language)
    os.makedirs(args.out, exist_ok=True)
    rows = []
    for voice in voices:
        language = make.DIPHONE_LANGUAGE[voice[:2]]
        for pi, pitch in enumerate(PITCHES):
            for index, text in enumerate(SENTENCES[language]):
                base = "%s-p%d-s%d" % (voice, pi, index)
                _, pho_path = make.speak(voice, text, pitch, base, args.out)
                for start, end, label in make.pho_segments(pho_path, consonants=True):
                    rows.append((base + ".wav", start, end, label))
        print(voice, file=sys.stderr)
    make.write_csv(os.path.join(args.out, "labels.csv"), ["file", "start", "end", "label"], rows)


def festival(args):
    make = load_script("make-corpus")
    with open(os.path.join(args.corpus, "corpus.json")) as f:
        corpus = json.load(f)
    voices = sorted(v for v, d in corpus["voices"].items()
                    if d["kind"] == "festival" and d["split"] == "festival")
    if not voices:
        sys.exit(args.corpus + ": corpus.json names no Festival validation voice "
                 "(make it with scripts/make-corpus.py --festival)")
    out = args.out or os.path.join(ROOT, "build", "sentences-festival")
    os.makedirs(out, exist_ok=True)
    rows = []
    for voice in voices:
        language = make.FESTIVAL_VOICES[voice][1]
        check_new(make, language)
        sentences = make.festival_sentences(voice, SENTENCES[language], PITCHES)
        make.festival_say(voice, sentences, out, os.path.join(out, "work-" + voice))
        for base, _, _ in sentences:
            segments = make.read_segments(os.path.join(out, base + ".seg"))
            for start, end, label in make.festival_labels(voice, segments, consonants=True):
                rows.append((base + ".wav", start, end, label))
        print(voice, file=sys.stderr)
    make.write_csv(os.path.join(out, "labels.csv"), ["file", "start", "end", "label"], rows)


if __name__ == "__main__":
    main()
