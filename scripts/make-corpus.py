#!/usr/bin/env python3
"""Synthesises the labelled calibration and validation corpus for profiles, from many voices.

    scripts/make-corpus.py [--out DIR] [--jobs 2] [--skip-install] [--wide | --wide-all]

Voices: diphone voices (concatenated recordings of real speakers, driven with .pho files) and
formant-synthesis voices (languages x speaker variants), several pitches each. The voices are
split by voice, never by file, into calibration and validation; a third group of voices is held
back for independent evaluation and is never synthesised here at all. With --wide the
calibration also hears the diphone voices of WIDE_DIPHONE (more speakers and languages; the
validation voices are the same, so figures stay comparable); it writes to build/corpus-wide
(build/corpus-wide-all with --wide-all) unless --out says otherwise.

Writes under OUT:
  calibration/            sustained phonemes (A I U E O, M, FV, S) of the calibration voices,
                          one augmented copy of each (noise, level, equalisation, reverb,
                          vocal-tract-length perturbation), and room noise as 'sil';
                          manifest.csv (file, phoneme, voice) for `vocetta calibrate`
  calibration/speech/     sentences of the calibration diphone voices at several pitches (and
                          an augmented copy of each); ../speech.csv labels their vowel,
                          consonant and pause segments (file, phoneme, voice, start, end)
  validation/CONDITION/   takes of the validation voices with pauses around each phoneme, for
                          the conditions clean, snr20, snr10 (pink noise), level-20, peak-0;
                          manifest.csv and labels.csv (file, start, end, label)
  validation/speech/      sentences spoken by the validation diphone voices with phone timing
                          from the formant synthesiser's phoneme output; labels.csv as above
  corpus.json             voices, split, conditions, package versions, file counts

Everything is deterministic (fixed seeds per file name) and cached: files that exist are kept.
Needs the packages of scripts/install-corpus-deps.sh (run unless --skip-install).
"""
import argparse
import array
import concurrent.futures
import csv
import json
import math
import os
import random
import shutil
import subprocess
import sys
import wave
import zlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RATE = 48000
MBROLA_DIR = "/usr/share/mbrola"

# Held back for independent evaluation: never synthesised, never used for calibration, tuning
# or validation. Formant variants named here are left out with every language.
HELD_BACK_DIPHONE = ["de1", "en1", "es3", "fr1", "it3", "us3"]
HELD_BACK_FORMANT = ["en+f5", "en-us+f2", "en-us+f4", "en-us+klatt4", "en-us+m6", "en-us+m7"]
HELD_BACK_VARIANTS = ["f2", "f4", "f5", "klatt4", "m6", "m7"]

CALIBRATION_DIPHONE = ["br1", "br3", "cz2", "de2", "de4", "de5", "de7", "es1", "es4", "fr2",
                       "fr4", "fr5", "fr7", "pt1", "ro1", "us1"]
# More real speakers for calibration, used with --wide (the default corpus stays as it was, so
# that its figures stay comparable); the built-in profile is calibrated on them. Left out: nl1,
# id1, ma1, ir1 (no joins with a pause for most vowels), de8, hb2, in1, in2 (none for i and u),
# tr1, tr2 (none for i): their sustained vowels would be silence; ar1, ar2 have no e or o.
WIDE_ALL = ["it1", "it2", "nl3", "mx1", "mx2", "br2", "br4", "cz1", "ca1", "ca2", "hu1", "gr1",
            "gr2", "sw1", "sw2", "lt1", "lt2", "af1", "cr1", "hb1", "jp1", "jp2", "jp3", "la1",
            "nz1", "vz1", "ee1", "ic1"]
# Calibrated on only with --wide-all, and measured: each of these groups left out of all 28
# lifted the validation sentences' vowels (docs/recognition.md), all of them left out the most.
WIDE_LEFT_OUT = ["it1", "it2", "nl3", "af1", "ca1", "ca2", "hu1", "ee1", "gr1", "gr2", "sw1",
                 "sw2", "ic1"]
WIDE_DIPHONE = [voice for voice in WIDE_ALL if voice not in WIDE_LEFT_OUT]
VALIDATION_DIPHONE = ["de3", "de6", "es2", "fr3", "fr6", "it4", "nl2", "pl1", "us2"]
CALIBRATION_FORMANT = ["it+m1", "es+m3", "fi+m5", "id+f1", "pt+f3", "ro+klatt2", "it+klatt5",
                       "es+f1", "fi+f3", "pt+m1", "ro+m3", "id+klatt", "it+steph", "es+Annie"]
VALIDATION_FORMANT = ["de+m2", "fr+m4", "pl+m8", "eo+klatt3", "sv+klatt6", "de+linda",
                      "fr+anika"]

# Diphone voice -> language of the formant synthesiser's phoneme output for sentences.
DIPHONE_LANGUAGE = {"br": "pt-br", "cz": "cs", "de": "de", "es": "es", "fr": "fr", "it": "it",
                    "nl": "nl", "pl": "pl", "pt": "pt", "ro": "ro", "us": "en-us", "mx": "es",
                    "ca": "fr", "hu": "hu", "gr": "el", "sw": "sv", "lt": "lt", "af": "af",
                    "cr": "hr", "jp": "ja", "la": "la", "vz": "es", "ee": "et", "ic": "is"}
# (hb1 and nz1 speak no sentences: the formant synthesiser's phones for them ask for joins the
# voices do not have in every sentence tried.)

# Class -> phone names to try, in order of preference (voices spell their inventories
# differently). A class may take several phones (FV: f and v; S: s and sh).
CLASSES = {
    "A": [["a", "a:", "A", "A:"]],
    "I": [["i", "i:"]],
    "U": [["u", "u:"]],
    "E": [["e", "e:", "E"]],
    "O": [["o", "o:", "O", "O:"]],
    "M": [["m"]],
    "FV": [["f"], ["v"]],
    "S": [["s"], ["S"]],
}
VOWEL_CLASSES = ["A", "I", "U", "E", "O"]
# Voices that spell their phones in capitals with numbered variants (E2 and O2 the closed e and
# o, "ss" the sh): their classes and the phones of their sentences.
CAPITAL_VOICES = ["it1", "it2"]
CAPITAL_CLASSES = {"A": [["A"]], "I": [["I"]], "U": [["U"]], "E": [["E2", "E1", "E"]],
                   "O": [["O2", "O1", "O"]], "M": [["M"]], "FV": [["F"], ["V"]],
                   "S": [["S"], ["ss"]]}
CAPITAL_SPEECH = {"A": "A", "A1": "A", "A2": "A", "I": "I", "I1": "I", "I2": "I", "U": "U",
                  "U1": "U", "U2": "U", "E": "E", "E1": "E", "E2": "E", "O": "O", "O1": "O",
                  "O2": "O"}
CAPITAL_CONSONANTS = {"M": "M", "F": "FV", "V": "FV", "S": "S", "ss": "S"}
# Formant-synthesiser spelling of the same phones (long forms give the steadiest takes).
FORMANT_PHONES = {"A": ["a:"], "I": ["i:"], "U": ["u:"], "E": ["e:"], "O": ["o:"], "M": ["m"],
                  "FV": ["f", "v"], "S": ["s", "S"]}
# Monophthong vowels of continuous speech, by the diphone voices' phone names.
SPEECH_VOWELS = {"a": "A", "a:": "A", "A": "A", "A:": "A", "i": "I", "i:": "I", "u": "U",
                 "u:": "U", "e": "E", "e:": "E", "E": "E", "E:": "E", "o": "O", "o:": "O",
                 "O": "O", "O:": "O"}

DIPHONE_PITCHES = [0.85, 1.0, 1.2]   # mbrola -f ratios of each voice's own pitch
FORMANT_PITCHES = [25, 50, 75]       # espeak-ng -p
SUSTAIN_MS = 1000
PAUSE_MS = 400
CONDITIONS = ["clean", "snr20", "snr10", "level-20", "peak-0"]
TAKE_PEAK_DB = -6.0  # validation takes are normalised to this peak before a condition applies

SENTENCES = {
    "de": ["Der Mann hat heute viel zu tun.", "Wir gehen morgen in den Garten.",
           "Das Wetter ist sehr schoen."],
    "es": ["El perro come la comida.", "Mañana vamos a la playa.", "Ella tiene un libro nuevo."],
    "fr": ["Le chat dort sur la table.", "Nous allons au marché demain.",
           "Il fait beau aujourd'hui."],
    "it": ["Il gatto dorme sul divano.", "Domani andiamo al mare.", "La casa è molto bella."],
    "nl": ["De man leest een boek.", "Morgen gaan we naar huis.", "Het weer is mooi vandaag."],
    "pl": ["Kot śpi na stole.", "Jutro idziemy do domu.", "To jest bardzo dobre."],
    "en-us": ["The cat sat on the mat.", "We will go home tomorrow.",
              "She made a pot of hot soup."],
    "pt": ["O gato dorme na cama.", "Amanhã vamos para casa.", "Ela tem um livro novo."],
    "pt-br": ["O gato dorme na cama.", "Amanhã vamos para casa.", "Ela tem um livro novo."],
    "cs": ["Kočka spí na stole.", "Zítra půjdeme domů.", "To je velmi dobré."],
    "ro": ["Pisica doarme pe masă.", "Mâine mergem acasă.", "Ea are o carte nouă."],
}


# Sentences the calibration voices speak: other texts than the validation sentences, so that
# neither voices nor texts are shared between the two.
CALIBRATION_SENTENCES = {
    "de": ["Am Abend sitzen wir oft am See.", "Mein Bruder fährt ein rotes Auto.",
           "Die Kinder spielen im Sommer draußen.", "Ich habe Hunger und Durst.",
           "Wo ist der blaue Schuh?", "Sie liest ein Buch über Musik."],
    "es": ["Mi madre cocina sopa los domingos.", "El sol sale por la mañana.",
           "Tu hermano vive en una casa azul.", "Vamos a comer pescado frito.",
           "La música suena muy fuerte.", "Ese niño tiene ocho años."],
    "fr": ["Ma mère boit du café le matin.", "Le vélo rouge est devant la porte.",
           "Nous avons vu un film hier soir.", "Les enfants jouent dans le jardin.",
           "Où est mon livre bleu?", "Il pleut souvent en automne."],
    "en-us": ["My father reads a book every night.", "The blue boat is on the lake.",
              "Please meet me at the bus stop.", "A man sold five fish at noon.",
              "We saw the moon over the sea.", "He has a new job in town."],
    "pt": ["A minha mãe bebe café de manhã.", "O barco azul está no rio.",
           "Nós vimos um filme ontem.", "As crianças brincam no jardim.",
           "Onde está o meu sapato?", "O sol é muito forte hoje."],
    "pt-br": ["A minha mãe bebe café de manhã.", "O barco azul está no rio.",
              "Nós vimos um filme ontem.", "As crianças brincam no jardim.",
              "Onde está o meu sapato?", "O sol é muito forte hoje."],
    "cs": ["Moje matka vaří polévku.", "Modrá loď je na řece.", "Včera jsme viděli film.",
           "Děti si hrají na zahradě.", "Kde je moje bota?", "Slunce dnes svítí silně."],
    "ro": ["Mama mea bea cafea dimineața.", "Barca albastră e pe lac.", "Ieri am văzut un film.",
           "Copiii se joacă în grădină.", "Unde este pantoful meu?",
           "Soarele e foarte puternic azi."],
    "it": ["Mia madre beve il caffè la mattina.", "La barca blu è sul lago.",
           "Ieri abbiamo visto un film.", "I bambini giocano nel giardino.",
           "Dove sono le mie scarpe?", "Il sole è molto forte oggi."],
    "nl": ["Mijn vader leest elke avond.", "De blauwe boot ligt op het meer.",
           "Wij zagen gisteren een film.", "De kinderen spelen in de tuin."],
    "hu": ["Az anyám kávét iszik reggel.", "A kék hajó a tavon van.",
           "Tegnap láttunk egy filmet.", "A gyerekek a kertben játszanak."],
    "el": ["Η μητέρα μου πίνει καφέ το πρωί.", "Η μπλε βάρκα είναι στη λίμνη.",
           "Χθες είδαμε μια ταινία.", "Τα παιδιά παίζουν στον κήπο."],
    "sv": ["Min mor dricker kaffe på morgonen.", "Den blå båten ligger på sjön.",
           "Vi såg en film i går.", "Barnen leker i trädgården."],
    "lt": ["Mano mama rytą geria kavą.", "Mėlyna valtis yra ant ežero.",
           "Vakar mes matėme filmą.", "Vaikai žaidžia sode."],
    "af": ["My ma drink koffie in die oggend.", "Die blou boot is op die meer.",
           "Ons het gister 'n film gesien.", "Die kinders speel in die tuin."],
    "hr": ["Moja majka kuha juhu nedjeljom.", "Plavi brod je na jezeru.",
           "Jučer smo gledali film.", "Djeca se igraju u vrtu."],
    "ja": ["わたしは まいあさ こうひいを のみます。", "あおい ふねが うみに います。",
           "きのう えいがを みました。", "こどもたちは にわで あそびます。"],
    "la": ["Puella rosam amat.", "Nauta in mari navigat.", "Pater meus librum legit.",
           "Lupus et agnus ad rivum venerunt."],
    "et": ["Minu ema joob hommikul kohvi.", "Sinine paat on järvel.", "Eile me nägime filmi.",
           "Lapsed mängivad aias."],
    "is": ["Móðir mín drekkur kaffi á morgnana.", "Blái báturinn er á vatninu.",
           "Við sáum kvikmynd í gær.", "Börnin leika sér í garðinum."],
}
# Phones of continuous speech that teach a class besides the vowels (closures of b and p are
# left out: their bursts are not the sound of closed lips).
SPEECH_CONSONANTS = {"m": "M", "f": "FV", "v": "FV", "s": "S", "S": "S"}
SPEECH_PITCHES = [0.85, 1.0, 1.2]
SPEECH_MIN_PAUSE = 0.05  # seconds; shorter pauses are closures or joins, not silence


def seed_of(name):
    return zlib.crc32(name.encode())


def run(arguments, **kwargs):
    return subprocess.run(arguments, check=True, capture_output=True, **kwargs)


# --- audio as 16-bit mono WAV at RATE, samples as floats in -1 ... 1 ---------------------------

def read_wav(path):
    with wave.open(path, "rb") as w:
        assert w.getsampwidth() == 2 and w.getnchannels() == 1, path
        data = array.array("h", w.readframes(w.getnframes()))
    return [s / 32768.0 for s in data]


def write_wav(path, samples):
    data = array.array("h", (max(-32768, min(32767, int(round(s * 32768.0)))) for s in samples))
    temporary = path + ".part"
    with wave.open(temporary, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(data.tobytes())
    os.replace(temporary, path)


def to_rate(source, target, effects=()):
    """Converts any WAV to RATE, 16-bit mono, through optional sox effects."""
    # No dither: the same input gives the same file on every run.
    run(["sox", "-D", source, "-r", str(RATE), "-b", "16", "-c", "1", target] + list(effects) +
        ["rate", "-v", str(RATE)])


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / max(1, len(samples)))


def peak(samples):
    return max((abs(s) for s in samples), default=0.0)


def noise(count, seed, pink):
    generator = random.Random(seed)
    gauss = generator.gauss
    if not pink:
        return [gauss(0.0, 1.0) for _ in range(count)]
    # White noise through a sum of one-pole filters, a standard pink approximation.
    b0 = b1 = b2 = b3 = b4 = b5 = 0.0
    out = [0.0] * count
    for i in range(count):
        white = gauss(0.0, 1.0)
        b0 = 0.99886 * b0 + white * 0.0555179
        b1 = 0.99332 * b1 + white * 0.0750759
        b2 = 0.96900 * b2 + white * 0.1538520
        b3 = 0.86650 * b3 + white * 0.3104856
        b4 = 0.55000 * b4 + white * 0.5329522
        b5 = -0.7616 * b5 - white * 0.0168980
        out[i] = b0 + b1 + b2 + b3 + b4 + b5 + white * 0.5362
    return out


def add_noise(samples, speech_rms, snr_db, seed, pink):
    extra = noise(len(samples), seed, pink)
    scale = speech_rms / 10 ** (snr_db / 20) / max(rms(extra), 1e-12)
    return [s + scale * n for s, n in zip(samples, extra)]


def gain(samples, factor):
    return [s * factor for s in samples]


# --- voices --------------------------------------------------------------------------------

def diphone_database(voice):
    return os.path.join(MBROLA_DIR, voice, voice)


def diphone_phones(voice, work):
    """The phone of each class that the voice can say (first that synthesises cleanly)."""
    found = {}
    for name, groups in (CAPITAL_CLASSES if voice in CAPITAL_VOICES else CLASSES).items():
        phones = []
        for candidates in groups:
            for phone in candidates:
                pho = os.path.join(work, "probe.pho")
                with open(pho, "w") as f:
                    f.write("_ 100\n%s 400\n_ 100\n" % phone)
                out = os.path.join(work, "probe.wav")
                result = subprocess.run(["mbrola", "-e", diphone_database(voice), pho, out],
                                        capture_output=True, text=True)
                if (result.returncode == 0 and os.path.getsize(out) > 2000 and
                        "warn" not in (result.stdout + result.stderr).lower()):
                    phones.append(phone)
                    break
        if phones:
            found[name] = phones
    return found


def synthesise_diphone(voice, phone, pitch, pause_ms, target, work):
    """One sustained phone with `pause_ms` of silence around it, at RATE."""
    pho = target + ".pho"
    with open(pho, "w") as f:
        f.write("_ %d\n%s %d\n_ %d\n" % (max(pause_ms, 50), phone, SUSTAIN_MS, max(pause_ms, 50)))
    raw = target + ".raw.wav"
    run(["mbrola", "-e", "-f", str(pitch), diphone_database(voice), pho, raw])
    to_rate(raw, target)
    os.remove(raw)
    os.remove(pho)


def synthesise_formant(voice, phone, pitch, target):
    raw = target + ".raw.wav"
    run(["espeak-ng", "-v", voice, "-s", "80", "-p", str(pitch), "-w", raw,
         "[[" + (phone + ":" if not phone.endswith(":") else phone) * 4 + "]]"])
    # Leading and trailing silence off: the take is then the phone alone.
    to_rate(raw, target, ["silence", "1", "0.01", "-45d", "reverse", "silence", "1", "0.01",
                          "-45d", "reverse"])
    os.remove(raw)


# --- takes -----------------------------------------------------------------------------------

def sustained_only(path, edge_seconds=0.1):
    """Cuts the onset and fade of a take made without pauses."""
    samples = read_wav(path)
    edge = int(edge_seconds * RATE)
    write_wav(path, samples[edge:len(samples) - edge] if len(samples) > 4 * edge else samples)


def augment(source, target, name, speed=True):
    """One randomly chosen chain of distortions, the same for the same file name."""
    generator = random.Random(seed_of(name))
    effects = []
    if generator.random() < 0.5 and speed:
        effects += ["speed", "%.3f" % generator.uniform(0.9, 1.12)]  # vocal-tract length
    if generator.random() < 0.5:
        effects += ["equalizer", "%d" % generator.choice([300, 700, 1500, 3000]), "1q",
                    "%.1f" % generator.uniform(-8, 8)]
    if generator.random() < 0.3:
        effects += ["reverb", "%d" % generator.randint(10, 50), "50",
                    "%d" % generator.randint(20, 80)]
    temporary = target + ".fx.wav"
    if effects:
        to_rate(source, temporary, effects + ["gain", "-n", "-3"])
    else:
        shutil.copy(source, temporary)
    samples = read_wav(temporary)
    os.remove(temporary)
    if generator.random() < 0.7:
        samples = add_noise(samples, rms(samples), generator.uniform(8, 30), seed_of(name) + 1,
                            pink=generator.random() < 0.5)
    samples = gain(samples, 10 ** (generator.uniform(-30, 0) / 20) * 0.5 / max(peak(samples),
                                                                               1e-9))
    write_wav(target, samples)


def room_noise(target, name, level_db, pink, seconds=1.0):
    samples = noise(int(seconds * RATE), seed_of(name), pink)
    write_wav(target, gain(samples, 10 ** (level_db / 20) / rms(samples)))


def calibration_voice(out, kind, voice, phones, rows):
    folder = os.path.join(out, "calibration")
    tag = voice.replace("+", "-")
    work = os.path.join(folder, "work-" + tag)
    os.makedirs(work, exist_ok=True)
    pitches = DIPHONE_PITCHES if kind == "diphone" else FORMANT_PITCHES
    for pi, pitch in enumerate(pitches):
        for label, names in phones.items():
            for phone in names:
                base = "%s-p%d-%s-%s" % (tag, pi, label, phone.replace(":", "L"))
                clean = os.path.join(folder, base + ".wav")
                if not os.path.exists(clean):
                    if kind == "diphone":
                        synthesise_diphone(voice, phone, pitch, 0, clean, work)
                    else:
                        synthesise_formant(voice, phone, pitch, clean)
                    sustained_only(clean)
                rows.append((base + ".wav", label, voice))
                augmented = os.path.join(folder, base + "-aug.wav")
                if not os.path.exists(augmented):
                    augment(clean, augmented, base)
                rows.append((base + "-aug.wav", label, voice))
    # Silence: room noise of several colours and levels, as quiet rooms and noisy rooms sound.
    for index, level in enumerate([-70, -55, -45, -35]):
        for pink in (False, True):
            base = "%s-sil-%d-%s" % (tag, index, "pink" if pink else "white")
            path = os.path.join(folder, base + ".wav")
            if not os.path.exists(path):
                room_noise(path, base, level, pink)
            rows.append((base + ".wav", "sil", voice))
    shutil.rmtree(work, ignore_errors=True)


def apply_condition(samples, speech_rms, condition, seed):
    if condition == "clean":
        return samples
    if condition == "snr20":
        return add_noise(samples, speech_rms, 20.0, seed, pink=True)
    if condition == "snr10":
        return add_noise(samples, speech_rms, 10.0, seed, pink=True)
    if condition == "level-20":
        return gain(samples, 0.1)
    if condition == "peak-0":
        return gain(samples, 0.999 / max(peak(samples), 1e-9))
    raise ValueError(condition)


def validation_voice(out, kind, voice, phones, rows):
    tag = voice.replace("+", "-")
    source = os.path.join(out, "validation", "source")
    os.makedirs(source, exist_ok=True)
    pitches = DIPHONE_PITCHES if kind == "diphone" else FORMANT_PITCHES
    for pi, pitch in enumerate(pitches):
        for label, names in phones.items():
            for phone in names:
                base = "%s-p%d-%s-%s" % (tag, pi, label, phone.replace(":", "L"))
                clean = os.path.join(source, base + ".wav")
                if not os.path.exists(clean):
                    if kind == "diphone":
                        synthesise_diphone(voice, phone, pitch, PAUSE_MS, clean, source)
                    else:
                        synthesise_formant(voice, phone, pitch, clean)
                        body = read_wav(clean)
                        pause = [0.0] * int(PAUSE_MS * RATE / 1000)
                        write_wav(clean, pause + body + pause)
                    samples = read_wav(clean)
                    write_wav(clean, gain(samples, 10 ** (TAKE_PEAK_DB / 20) /
                                          max(peak(samples), 1e-9)))
                samples = read_wav(clean)
                # The phone lies between the pauses: where the signal first and last rises
                # above -40 dB of the peak, in 5 ms steps.
                start, end = active_span(samples)
                for condition in CONDITIONS:
                    folder = os.path.join(out, "validation", condition)
                    os.makedirs(folder, exist_ok=True)
                    path = os.path.join(folder, base + ".wav")
                    if not os.path.exists(path):
                        speech = rms(samples[int(start * RATE):int(end * RATE)])
                        write_wav(path, apply_condition(samples, speech, condition,
                                                        seed_of(condition + base)))
                rows.append((base + ".wav", label, voice, start, end, len(samples) / RATE))


def active_span(samples):
    step = RATE // 200
    threshold = peak(samples) * 10 ** (-40 / 20)
    loud = [i for i in range(0, len(samples) - step, step)
            if max(abs(s) for s in samples[i:i + step]) > threshold]
    if not loud:
        return 0.0, len(samples) / RATE
    return loud[0] / RATE, (loud[-1] + step) / RATE


def pho_segments(pho_path, consonants, voice=""):
    """(start, end, label) of every phone of a .pho file: monophthong vowels by class, pauses as
    'sil', with `consonants` the consonant classes too, anything else as 'other:PHONE'."""
    capitals = voice in CAPITAL_VOICES
    vowels = CAPITAL_SPEECH if capitals else SPEECH_VOWELS
    consonant_classes = CAPITAL_CONSONANTS if capitals else SPEECH_CONSONANTS
    time = 0.0
    segments = []
    with open(pho_path) as f:
        for line in f:
            fields = line.split()
            if not fields or fields[0].startswith(";") or len(fields) < 2:
                continue
            try:
                length = float(fields[1]) / 1000.0
            except ValueError:
                continue
            label = "sil" if fields[0] == "_" else vowels.get(fields[0], "")
            if not label and consonants:
                label = consonant_classes.get(fields[0], "")
            segments.append((time, time + length, label or "other:" + fields[0]))
            time += length
    return segments


def speak(voice, text, pitch, base, folder):
    """One sentence by a diphone voice: BASE.wav at RATE and the BASE.pho that timed it."""
    path = os.path.join(folder, base + ".wav")
    pho_path = os.path.join(folder, base + ".pho")
    if not os.path.exists(pho_path):
        pho = run(["espeak-ng", "-v", "mb-" + voice, "-q", "--pho", text], text=True).stdout
        with open(pho_path + ".part", "w") as f:
            f.write(pho)
        os.replace(pho_path + ".part", pho_path)
    if not os.path.exists(path):
        raw = path + ".raw.wav"
        run(["mbrola", "-e"] + (["-f", str(pitch)] if pitch != 1.0 else []) +
            [diphone_database(voice), pho_path, raw])
        to_rate(raw, path, ["gain", "-n", "%.1f" % TAKE_PEAK_DB])
        os.remove(raw)
    return path, pho_path


def joins_missing(voice, pho_path):
    """Whether the voice lacks a join the .pho asks for (it would say silence there instead, and
    the phones around it would carry labels of sound that is not there)."""
    raw = pho_path + ".probe.wav"
    result = subprocess.run(["mbrola", "-e", diphone_database(voice), pho_path, raw],
                            capture_output=True, text=True)
    if os.path.exists(raw):
        os.remove(raw)
    return result.returncode != 0 or "warn" in (result.stdout + result.stderr).lower()


def speech_voice(out, voice, phones, rows):
    """Sentences in the voice's language; phone timing comes from the .pho that drives it."""
    folder = os.path.join(out, "validation", "speech")
    os.makedirs(folder, exist_ok=True)
    language = DIPHONE_LANGUAGE[voice[:2]]
    for index, text in enumerate(SENTENCES[language]):
        base = "%s-s%d" % (voice, index)
        _, pho_path = speak(voice, text, 1.0, base, folder)
        for start, end, label in pho_segments(pho_path, consonants=False, voice=voice):
            rows.append((base + ".wav", start, end, label))


def calibration_speech(out, voice, rows):
    """Continuous speech of a calibration voice, for the short, coarticulated vowels and
    consonants that sustained takes never show; each sentence also once augmented (timing kept:
    no change of speed)."""
    folder = os.path.join(out, "calibration", "speech")
    os.makedirs(folder, exist_ok=True)
    language = DIPHONE_LANGUAGE.get(voice[:2])
    if language is None:
        return
    for pi, pitch in enumerate(SPEECH_PITCHES):
        for index, text in enumerate(CALIBRATION_SENTENCES[language]):
            base = "%s-p%d-s%d" % (voice, pi, index)
            path, pho_path = speak(voice, text, pitch, base, folder)
            # The wider voices' sentences are only learnt from where every join exists (the
            # first voices' sentences stay as they were calibrated).
            if voice in WIDE_ALL and joins_missing(voice, pho_path):
                continue
            augmented = os.path.join(folder, base + "-aug.wav")
            if not os.path.exists(augmented):
                augment(path, augmented, base, speed=False)
            segments = [(start, end, label) for start, end, label in
                        pho_segments(pho_path, consonants=True, voice=voice)
                        if not label.startswith("other:") and
                        (label != "sil" or end - start >= SPEECH_MIN_PAUSE)]
            for file in (base + ".wav", base + "-aug.wav"):
                for start, end, label in segments:
                    rows.append(("speech/" + file, label, voice, "%.4f" % start, "%.4f" % end))


def package_versions(calibration_diphone):
    packages = ["mbrola", "espeak-ng", "sox"] + ["mbrola-" + v for v in
                                                 sorted(calibration_diphone + VALIDATION_DIPHONE)]
    versions = {}
    for package in packages:
        result = subprocess.run(["dpkg-query", "-W", "-f", "${Version}", package],
                                capture_output=True, text=True)
        versions[package] = result.stdout.strip() if result.returncode == 0 else "missing"
    return versions


def write_csv(path, header, rows):
    with open(path + ".part", "w", newline="") as f:
        writer = csv.writer(f)
        writer.writerow(header)
        writer.writerows(rows)
    os.replace(path + ".part", path)


def phones_of(kind, voice, out):
    if kind == "formant":
        return FORMANT_PHONES
    work = os.path.join(out, "probe-" + voice)
    os.makedirs(work, exist_ok=True)
    found = diphone_phones(voice, work)
    shutil.rmtree(work, ignore_errors=True)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", help="where to write (default build/corpus, with --wide "
                        "build/corpus-wide, with --wide-all build/corpus-wide-all, so that the "
                        "corpora never mix)")
    parser.add_argument("--jobs", type=int, default=2, help="voices synthesised at once")
    parser.add_argument("--skip-install", action="store_true",
                        help="do not run scripts/install-corpus-deps.sh")
    parser.add_argument("--wide", action="store_true",
                        help="calibrate on the wider set of diphone voices too (WIDE_DIPHONE); "
                        "the validation voices are the same")
    parser.add_argument("--wide-all", action="store_true",
                        help="--wide with the voices measured and left out too (WIDE_LEFT_OUT)")
    args = parser.parse_args()
    wide = WIDE_ALL if args.wide_all else WIDE_DIPHONE if args.wide else []
    if args.out is None:
        args.out = os.path.join(ROOT, "build", "corpus-wide-all" if args.wide_all else
                                "corpus-wide" if wide else "corpus")
    calibration_diphone = CALIBRATION_DIPHONE + wide
    for voice in calibration_diphone + VALIDATION_DIPHONE:
        assert voice not in HELD_BACK_DIPHONE, voice
    for voice in CALIBRATION_FORMANT + VALIDATION_FORMANT:
        assert voice not in HELD_BACK_FORMANT and voice.split("+")[1] not in HELD_BACK_VARIANTS
    assert not set(calibration_diphone) & set(VALIDATION_DIPHONE)
    assert len(set(calibration_diphone)) == len(calibration_diphone)
    assert not set(CALIBRATION_FORMANT) & set(VALIDATION_FORMANT)
    if not args.skip_install:
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "install-corpus-deps.sh")],
                       check=True)
    out = args.out
    os.makedirs(out, exist_ok=True)

    voices = ([("diphone", v, "calibration") for v in calibration_diphone] +
              [("formant", v, "calibration") for v in CALIBRATION_FORMANT] +
              [("diphone", v, "validation") for v in VALIDATION_DIPHONE] +
              [("formant", v, "validation") for v in VALIDATION_FORMANT])

    def one(entry):
        kind, voice, split = entry
        phones = phones_of(kind, voice, out)
        rows, speech = [], []
        if split == "calibration":
            calibration_voice(out, kind, voice, phones, rows)
            if kind == "diphone":
                calibration_speech(out, voice, speech)
        else:
            validation_voice(out, kind, voice, phones, rows)
            if kind == "diphone":
                speech_voice(out, voice, phones, speech)
        print("  %-12s %-12s %s" % (split, voice, " ".join(sorted(phones))), flush=True)
        return entry, phones, rows, speech

    with concurrent.futures.ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        results = list(pool.map(one, voices))

    calibration, validation, speech, calibration_sentences = [], [], [], []
    inventory = {}
    for (kind, voice, split), phones, rows, speech_rows in results:
        inventory[voice] = {"kind": kind, "split": split, "phones": phones}
        (calibration if split == "calibration" else validation).extend(rows)
        (calibration_sentences if split == "calibration" else speech).extend(speech_rows)
    write_csv(os.path.join(out, "calibration", "manifest.csv"), ["file", "phoneme", "voice"],
              calibration)
    write_csv(os.path.join(out, "calibration", "speech.csv"),
              ["file", "phoneme", "voice", "start", "end"], calibration_sentences)
    for condition in CONDITIONS:
        folder = os.path.join(out, "validation", condition)
        write_csv(os.path.join(folder, "manifest.csv"), ["file", "phoneme", "voice"],
                  [row[:3] for row in validation])
        labels = []
        for file, label, voice, start, end, length in validation:
            labels += [(file, 0.0, start, "sil"), (file, start, end, label),
                       (file, end, length, "sil")]
        write_csv(os.path.join(folder, "labels.csv"), ["file", "start", "end", "label"], labels)
    write_csv(os.path.join(out, "validation", "speech", "labels.csv"),
              ["file", "start", "end", "label"], speech)
    summary = {
        "rate": RATE,
        "held_back": {"diphone": HELD_BACK_DIPHONE, "formant": HELD_BACK_FORMANT,
                      "formant_variants_never_used": HELD_BACK_VARIANTS},
        "voices": inventory,
        "conditions": CONDITIONS,
        "wide": wide,
        "packages": package_versions(calibration_diphone),
        "files": {"calibration": len(calibration),
                  "calibration_sentences": len({row[0] for row in calibration_sentences}),
                  "validation_takes": len(validation),
                  "speech_sentences": len({row[0] for row in speech})},
    }
    with open(os.path.join(out, "corpus.json"), "w") as f:
        json.dump(summary, f, indent=1, sort_keys=True)
    print("wrote", out, json.dumps(summary["files"]))


if __name__ == "__main__":
    sys.exit(main())
