#!/usr/bin/env python3
"""Synthesises the labelled calibration and validation corpus for profiles, from many voices.

    scripts/make-corpus.py [--out DIR] [--jobs 2] [--skip-install] [--wide | --wide-all]
                           [--festival]

Voices: diphone voices (concatenated recordings of real speakers, driven with .pho files) and
formant-synthesis voices (languages x speaker variants), several pitches each. The voices are
split by voice, never by file, into calibration and validation; a third group of voices is held
back for independent evaluation and is never synthesised here at all. With --wide the
calibration also hears the diphone voices of WIDE_DIPHONE (more speakers and languages; the
validation voices are the same, so figures stay comparable); it writes to build/corpus-wide
(build/corpus-wide-all with --wide-all) unless --out says otherwise. With --festival the
calibration also hears Festival's voices of real speakers (CALIBRATION_FESTIVAL), and two more of
them (VALIDATION_FESTIVAL) make a validation group of their own, validation-festival/, laid out
as validation/ (its figures are reported apart, so that those of the first validation voices
stay comparable); the default folder then gains "-fest" (--wide --festival:
build/corpus-wide-fest).

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
  validation-festival/    with --festival: the same for the Festival validation voices, whose
                          sentences carry the phone timing of the voice's own segments (.seg)
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
    # Catalan, Finnish and Russian: only Festival voices speak them.
    "ca": ["El gat dorm sobre la taula.", "Demà anirem a la platja.",
           "Ella té un llibre nou."],
    "fi": ["Kissa nukkuu pöydällä.", "Huomenna menemme kotiin.", "Sää on tänään kaunis."],
    "ru": ["Кошка спит на столе.", "Завтра мы пойдём домой.", "Это очень хорошо."],
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
    "ca": ["La meva mare beu cafè al matí.", "La barca blava és al llac.",
           "Ahir vam veure una pel·lícula.", "Els nens juguen al jardí."],
    "fi": ["Äiti juo aamulla kahvia.", "Sininen vene on järvellä.", "Eilen näimme elokuvan.",
           "Lapset leikkivät puutarhassa."],
    "ru": ["Моя мама пьёт кофе утром.", "Синяя лодка на озере.", "Вчера мы смотрели фильм.",
           "Дети играют в саду."],
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
    silence_takes(folder, tag, voice, rows)
    shutil.rmtree(work, ignore_errors=True)


def silence_takes(folder, tag, voice, rows):
    """Room noise of several colours and levels, as quiet rooms and noisy rooms sound, as 'sil'
    takes of the voice."""
    for index, level in enumerate([-70, -55, -45, -35]):
        for pink in (False, True):
            base = "%s-sil-%d-%s" % (tag, index, "pink" if pink else "white")
            path = os.path.join(folder, base + ".wav")
            if not os.path.exists(path):
                room_noise(path, base, level, pink)
            rows.append((base + ".wav", "sil", voice))


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
                conditions_of_take(out, "validation", base, label, voice, read_wav(clean), rows)


def conditions_of_take(out, group, base, label, voice, samples, rows, span=None):
    """The take in every condition under OUT/GROUP/CONDITION, and its manifest row; `span`
    where the phone lies, when the synthesiser says so."""
    # Else the phone lies between the pauses: where the signal first and last rises above
    # -40 dB of the peak, in 5 ms steps.
    start, end = span or active_span(samples)
    for condition in CONDITIONS:
        folder = os.path.join(out, group, condition)
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, base + ".wav")
        if not os.path.exists(path):
            speech = rms(samples[int(start * RATE):int(end * RATE)])
            write_wav(path, apply_condition(samples, speech, condition, seed_of(condition + base)))
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


# --- Festival voices -------------------------------------------------------------------------
#
# More recorded speakers: Festival's diphone voices (a speaker's diphones, LPC-coded), two voices
# trained on one speaker's recordings (HTS) and one that selects units of a speaker's recordings.
# A diphone voice says an explicit segment list with the durations and F0 targets asked for, so
# its sustained takes are as long and as high as the diphone voices' above; the HTS and unit
# voices choose their own durations and pitch (their takes are words of one vowel said several
# times over, the unit voice speaks sentences only). Every synthesis leaves the utterance's Segment relation,
# whose end times are those of the audio written (the HTS and unit voices write back the
# durations they chose), so sentences carry exact phone timing. Left out: festvox-en1 and
# festvox-us3 drive held-back diphone voices, festvox-us1 and -us2 voices the corpus has; the
# Spanish voice is recorded at 11 kHz (nothing above 5.5 kHz, where the analysis still looks);
# the Hindi, Marathi and Telugu voices do not load (their phone set files are missing).

# Phone set -> (class phones to try, as CLASSES; monophthong vowels of speech; consonants of
# speech; pauses, the first of which the takes use).
FESTIVAL_PHONESETS = {
    "radio": ({"A": [["aa"]], "I": [["iy"]], "U": [["uw"]], "E": [["eh"]], "O": [["ao"]],
               "M": [["m"]], "FV": [["f"], ["v"]], "S": [["s"], ["sh"]]},
              {"aa": "A", "iy": "I", "uw": "U", "eh": "E", "ao": "O"},
              {"m": "M", "f": "FV", "v": "FV", "s": "S", "sh": "S"}, ["pau", "h#"]),
    # British English: "o" is the rounded vowel of "pot", "oo" that of "caught".
    "mrpa": ({"A": [["aa"]], "I": [["ii"]], "U": [["uu"]], "E": [["e"]], "O": [["oo", "o"]],
              "M": [["m"]], "FV": [["f"], ["v"]], "S": [["s"], ["sh"]]},
             {"aa": "A", "ii": "I", "uu": "U", "e": "E", "oo": "O", "o": "O"},
             {"m": "M", "f": "FV", "v": "FV", "s": "S", "sh": "S"}, ["#"]),
    # Stressed vowels carry a 1; E and O the open e and o.
    "italian": ({"A": [["a"]], "I": [["i"]], "U": [["u"]], "E": [["e", "E"]],
                 "O": [["o", "O"]], "M": [["m"]], "FV": [["f"], ["v"]], "S": [["s"], ["S"]]},
                {"a": "A", "a1": "A", "i": "I", "i1": "I", "u": "U", "u1": "U", "e": "E",
                 "e1": "E", "E": "E", "E1": "E", "o": "O", "o1": "O", "O": "O", "O1": "O"},
                {"m": "M", "f": "FV", "v": "FV", "s": "S", "S": "S"}, ["#"]),
    "czech": ({"A": [["a", "a:"]], "I": [["i", "i:"]], "U": [["u", "u:"]], "E": [["e", "e:"]],
               "O": [["o", "o:"]], "M": [["m"]], "FV": [["f"], ["v"]], "S": [["s"], ["s~"]]},
              {"a": "A", "a:": "A", "i": "I", "i:": "I", "u": "U", "u:": "U", "e": "E",
               "e:": "E", "o": "O", "o:": "O"},
              {"m": "M", "f": "FV", "v": "FV", "s": "S", "s~": "S"}, ["#", "_"]),
    # Geminates are written with a colon too; "@" is the front open vowel of "ä".
    "finnish": ({"A": [["a", "a:"]], "I": [["i", "i:"]], "U": [["u", "u:"]],
                 "E": [["e", "e:"]], "O": [["o", "o:"]], "M": [["m"]], "FV": [["f"], ["v"]],
                 "S": [["s"], ["S"]]},
                {"a": "A", "a:": "A", "i": "I", "i:": "I", "u": "U", "u:": "U", "e": "E",
                 "e:": "E", "o": "O", "o:": "O"},
                {"m": "M", "m:": "M", "f": "FV", "f:": "FV", "v": "FV", "v:": "FV", "s": "S",
                 "s:": "S", "S": "S", "S:": "S"}, ["#", "##"]),
    "catalan": ({"A": [["a1"]], "I": [["i1"]], "U": [["u1"]], "E": [["e1", "E1"]],
                 "O": [["o1", "O1"]], "M": [["m"]], "FV": [["f"]], "S": [["s"], ["S"]]},
                {"a": "A", "a1": "A", "i": "I", "i1": "I", "u": "U", "u1": "U", "e": "E",
                 "e1": "E", "E": "E", "E1": "E", "o": "O", "o1": "O", "O": "O", "O1": "O"},
                {"m": "M", "f": "FV", "s": "S", "S": "S"}, ["pau", "_", "#"]),
    # Only the stressed vowels: the unstressed ones are reduced.
    "russian": ({}, {"aa": "A", "ii": "I", "uu": "U", "ee": "E", "oo": "O"},
                {"m": "M", "mm": "M", "f": "FV", "ff": "FV", "v": "FV", "vv": "FV", "s": "S",
                 "ss": "S", "sh": "S"}, ["pau"]),
}
# Voice -> (phone set, language of its sentences, the text encoding it reads, how it is driven).
FESTIVAL_VOICES = {
    "kal_diphone": ("radio", "en-us", "ascii", "diphone"),
    "ked_diphone": ("radio", "en-us", "ascii", "diphone"),
    "rab_diphone": ("mrpa", "en-us", "ascii", "diphone"),
    "don_diphone": ("mrpa", "en-us", "ascii", "diphone"),
    "lp_diphone": ("italian", "it", "iso-8859-1", "diphone"),
    "pc_diphone": ("italian", "it", "iso-8859-1", "diphone"),
    "czech_dita": ("czech", "cs", "iso-8859-2", "diphone"),
    "czech_krb": ("czech", "cs", "iso-8859-2", "diphone"),
    "czech_machac": ("czech", "cs", "iso-8859-2", "diphone"),
    "czech_ph": ("czech", "cs", "iso-8859-2", "diphone"),
    "suo_fi_lj_diphone": ("finnish", "fi", "iso-8859-1", "diphone"),
    "hy_fi_mv_diphone": ("finnish", "fi", "iso-8859-1", "diphone"),
    "cmu_us_slt_arctic_hts": ("radio", "en-us", "ascii", "hts"),
    "upc_ca_ona_hts": ("catalan", "ca", "iso-8859-1", "hts"),
    "msu_ru_nsh_clunits": ("russian", "ru", "utf-8", "units"),
}
FESTIVAL_PACKAGES = {
    "kal_diphone": "festvox-kallpc16k", "ked_diphone": "festvox-kdlpc16k",
    "rab_diphone": "festvox-rablpc16k", "don_diphone": "festvox-don",
    "lp_diphone": "festvox-italp16k", "pc_diphone": "festvox-itapc16k",
    "czech_dita": "festvox-czech-dita", "czech_krb": "festvox-czech-krb",
    "czech_machac": "festvox-czech-machac", "czech_ph": "festvox-czech-ph",
    "suo_fi_lj_diphone": "festvox-suopuhe-lj", "hy_fi_mv_diphone": "festvox-suopuhe-mv",
    "cmu_us_slt_arctic_hts": "festvox-us-slt-hts", "upc_ca_ona_hts": "festvox-ca-ona-hts",
    "msu_ru_nsh_clunits": "festvox-ru",
}
# A new validation group of its own (validation-festival/), one English and one other voice,
# so that the figures of the first validation voices stay comparable.
VALIDATION_FESTIVAL = ["rab_diphone", "czech_dita"]
CALIBRATION_FESTIVAL = [v for v in FESTIVAL_VOICES if v not in VALIDATION_FESTIVAL]
FESTIVAL_VALIDATION = "validation-festival"
# The statistical voices choose their own durations: their takes are words of the vowel said
# this many times over (0.6 to 0.7 s of steady vowel).
HTS_REPEATS = 8
FESTIVAL_F0 = 120.0  # Hz, when a voice's sentence leaves no F0 targets to take its own from
FESTIVAL_EDGE = 0.05  # seconds cut from each end of a calibration take's phone (its joins)


def festival_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def festival_script(voice, jobs):
    """A Festival program that loads the voice once and makes every job's WAV and segment list
    (name and end time of each segment, one a line), printing a marker before each job. Jobs:
    ("take", phone, ratio, pause, wav, seg) and ("say", text, ratio, wav, seg); ratios scale
    the voice's own mean F0."""
    phoneset, language, _, how = FESTIVAL_VOICES[voice]
    silence = FESTIVAL_PHONESETS[phoneset][3][0]
    lines = [
        "(voice_%s)" % voice,
        "(define (vc-segments utt path) (let ((fd (fopen path \"w\")))"
        " (mapcar (lambda (s) (format fd \"%s %f\\n\" (item.name s) (item.feat s \"end\")))"
        " (utt.relation.items utt 'Segment)) (fclose fd)))",
        # The voice's own mean F0: that of its intonation's targets over a sentence.
        "(define (vc-mean-f0 text) (let ((utt (SynthText text)) (sum 0) (n 0))"
        " (mapcar (lambda (t) (if (> (item.feat t \"f0\") 0) (begin"
        " (set! sum (+ sum (item.feat t \"f0\"))) (set! n (+ n 1)))))"
        " (utt.relation.items utt 'Target)) (if (> n 0) (/ sum n) %s)))" % FESTIVAL_F0,
        "(set! vc-ratio 1.0)",
        "(define (vc-scale utt) (mapcar (lambda (t) (item.set_feat t \"f0\""
        " (* vc-ratio (item.feat t \"f0\")))) (utt.relation.items utt 'Target)))",
        "(define (vc-say text ratio wav seg) (set! vc-ratio ratio)"
        " (let ((utt (SynthText text))) (utt.save.wave utt wav 'riff) (vc-segments utt seg)))",
        "(define (vc-take phone ratio pause seconds wav seg)"
        " (let ((utt (eval (list 'Utterance 'Segments (list"
        " (list '%s pause (list 0 (* ratio vc-f0)))"
        " (list phone seconds (list 0 (* ratio vc-f0)) (list seconds (* ratio vc-f0)))"
        " (list '%s pause (list pause (* ratio vc-f0))))))))"
        " (utt.synth utt) (utt.save.wave utt wav 'riff) (vc-segments utt seg)))"
        % (silence, silence),
        # A word, not a text: tokenisers may spell out an unknown word letter by letter.
        "(define (vc-word phone wav seg) (lex.add.entry (list \"xvc\" nil (list (list"
        " (list %s) 1))))"
        " (let ((utt (eval (list 'Utterance 'Words (list 'xvc))))) (utt.synth utt)"
        " (utt.save.wave utt wav 'riff) (vc-segments utt seg)))"
        % " ".join(["phone"] * HTS_REPEATS),
        "(set! vc-f0 (vc-mean-f0 %s))" % festival_string(
            SENTENCES[language][0]),
        # Only now: the reference sentence keeps the voice's own pitch.
        "(set! after_analysis_hooks (list vc-scale))",
    ]
    for index, job in enumerate(jobs):
        lines.append("(format t \"VC-JOB %d\\n\")" % index)
        if job[0] == "take" and how == "diphone":
            _, phone, ratio, pause, wav, seg = job
            lines.append("(vc-take '%s %s %s %s %s %s)" % (
                phone, ratio, pause, SUSTAIN_MS / 1000, festival_string(wav),
                festival_string(seg)))
        elif job[0] == "take":
            _, phone, _, _, wav, seg = job
            lines.append("(vc-word '%s %s %s)" % (phone, festival_string(wav),
                                                   festival_string(seg)))
        else:
            _, text, ratio, wav, seg = job
            lines.append("(vc-say %s %s %s %s)" % (festival_string(text), ratio,
                                                     festival_string(wav), festival_string(seg)))
    lines.append("(format t \"VC-JOB %d\\n\")" % len(jobs))
    return "\n".join(lines) + "\n"


def run_festival(voice, jobs, work):
    """Runs the jobs in one Festival process; returns, for each job, whether the voice lacked a
    diphone it asked for (the synthesiser then says another in its place)."""
    os.makedirs(work, exist_ok=True)
    script = os.path.join(work, "%s.scm" % voice)
    encoding = FESTIVAL_VOICES[voice][2]
    with open(script, "w", encoding=encoding) as f:
        f.write(festival_script(voice, jobs))
    # One stream, so that the complaints stay between the markers of their jobs.
    result = subprocess.run(["festival", "-b", script], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, encoding=encoding, errors="replace")
    os.remove(script)
    output = result.stdout
    if result.returncode != 0 or "SIOD ERROR" in output or "VC-JOB %d\n" % len(jobs) not in output:
        raise RuntimeError("festival failed for %s: %s" % (voice, output[-600:]))
    chunks = output.split("VC-JOB ")[1:]
    return ["default diphone" in chunk for chunk in chunks[:len(jobs)]]


def read_segments(path):
    """(start, end, phone) of a segment list written by festival_script."""
    segments, time = [], 0.0
    with open(path) as f:
        for line in f:
            name, end = line.rsplit(None, 1)
            segments.append((time, float(end), name))
            time = float(end)
    return segments


def festival_labels(voice, segments, consonants):
    """The phones of a Festival segment list, labelled as pho_segments labels a .pho file's."""
    _, vowels, consonant_classes, pauses = FESTIVAL_PHONESETS[FESTIVAL_VOICES[voice][0]]
    labelled = []
    for start, end, phone in segments:
        label = "sil" if phone in pauses else vowels.get(phone, "")
        if not label and consonants:
            label = consonant_classes.get(phone, "")
        labelled.append((start, end, label or "other:" + phone))
    return labelled


def festival_file_name(phone):
    return phone.replace(":", "L").replace("~", "x")


def phone_span(segments, phone):
    """Where the phone lies in a take, if the take is a pause, the phone (once or several
    times in a row) and a pause, as asked; else None."""
    inner = segments[1:-1]
    if len(segments) < 3 or not inner or any(p != phone for _, _, p in inner):
        return None
    return inner[0][0], inner[-1][1]


def festival_phones(voice, work):
    """The phone of each class the voice says sustained between pauses with no diphone missing
    and with sound under it (the first candidate of each group that does)."""
    phoneset, _, _, how = FESTIVAL_VOICES[voice]
    if how == "units":
        return {}
    classes = FESTIVAL_PHONESETS[phoneset][0]
    if how == "hts":
        # Only vowels: a word of one consonant is no sustained consonant.
        classes = {name: groups for name, groups in classes.items() if name in VOWEL_CLASSES}
    candidates = [(name, g, phone) for name, groups in classes.items()
                  for g, group in enumerate(groups) for phone in group]
    jobs = [("take", phone, 1.0, 0.1, os.path.join(work, "%d.wav" % i),
             os.path.join(work, "%d.seg" % i)) for i, (_, _, phone) in enumerate(candidates)]
    missing = run_festival(voice, jobs, work)
    found = {}
    for (name, g, phone), job, lacking in zip(candidates, jobs, missing):
        chosen = found.get(name, [])
        span = phone_span(read_segments(job[5]), phone)
        if lacking or len(chosen) > g or span is None:
            continue
        to_rate(job[4], job[4] + ".48k.wav")
        samples = read_wav(job[4] + ".48k.wav")
        inside = samples[int(span[0] * RATE):int(span[1] * RATE)]
        # Sound under the phone: its RMS within 30 dB of the take's peak.
        if inside and rms(inside) > peak(samples) * 10 ** (-30 / 20):
            found[name] = chosen + [phone]
    shutil.rmtree(work, ignore_errors=True)
    return found


def festival_takes(voice, phones, pause, folder, work):
    """The voice's takes of `phones` at each pitch: [(base, label, path, made)], where `made`
    is (the take as Festival wrote it, the phone's span in seconds, the segment list) for the
    takes that `folder` lacked and that are made now, None for those kept."""
    ratios = DIPHONE_PITCHES if FESTIVAL_VOICES[voice][3] == "diphone" else [1.0]
    takes, jobs = [], {}
    for pi, ratio in enumerate(ratios):
        for label, names in phones.items():
            for phone in names:
                base = "%s-p%d-%s-%s" % (voice, pi, label, festival_file_name(phone))
                path = os.path.join(folder, base + ".wav")
                takes.append((base, label, path))
                if not os.path.exists(path):
                    jobs[base] = ("take", phone, ratio, pause,
                                  os.path.join(work, base + ".raw.wav"),
                                  os.path.join(work, base + ".seg"))
    if jobs:
        run_festival(voice, list(jobs.values()), work)
    made = {}
    for base, (_, phone, _, _, raw, seg) in jobs.items():
        span = phone_span(read_segments(seg), phone)
        if span is None:
            raise RuntimeError("%s: %s is not the pause, %s and pause asked for"
                               % (voice, seg, phone))
        made[base] = (raw, span, seg)
    return [(base, label, path, made.get(base)) for base, label, path in takes]


def festival_calibration(out, voice, phones, rows):
    """Sustained takes of a calibration voice (each phone cut to its span less its joins), one
    augmented copy of each, and room noise as 'sil', as calibration_voice makes them."""
    folder = os.path.join(out, "calibration")
    work = os.path.join(folder, "work-" + voice)
    takes = festival_takes(voice, phones, 0.05, folder, work)
    for base, label, path, made in takes:
        if made:
            raw, (start, end), _ = made
            to_rate(raw, path + ".full.wav")
            samples = read_wav(path + ".full.wav")
            os.remove(path + ".full.wav")
            start, end = start + FESTIVAL_EDGE, end - FESTIVAL_EDGE
            write_wav(path, samples[int(start * RATE):int(end * RATE)])
        rows.append((base + ".wav", label, voice))
        augmented = os.path.join(folder, base + "-aug.wav")
        if not os.path.exists(augmented):
            augment(path, augmented, base)
        rows.append((base + "-aug.wav", label, voice))
    if takes:
        silence_takes(folder, voice, voice, rows)
    shutil.rmtree(work, ignore_errors=True)


def festival_validation(out, voice, phones, rows):
    """Takes of a validation voice with pauses around each phone, in every condition, as
    validation_voice makes them (in the Festival voices' own validation group), labelled by
    the voice's own segments (BASE.seg beside the take): the pauses of some voices are not
    silent enough for active_span to find the phone."""
    source = os.path.join(out, FESTIVAL_VALIDATION, "source")
    work = os.path.join(source, "work-" + voice)
    os.makedirs(source, exist_ok=True)
    for base, label, path, made in festival_takes(voice, phones, PAUSE_MS / 1000, source, work):
        if made:
            to_rate(made[0], path)
            samples = read_wav(path)
            write_wav(path, gain(samples, 10 ** (TAKE_PEAK_DB / 20) / max(peak(samples), 1e-9)))
            shutil.copy(made[2], path[:-len(".wav")] + ".seg")
        # Made as a pause, the phone (once or several times over) and a pause.
        inner = read_segments(path[:-len(".wav")] + ".seg")[1:-1]
        span = inner[0][0], inner[-1][1]
        conditions_of_take(out, FESTIVAL_VALIDATION, base, label, voice, read_wav(path), rows,
                           span)
    shutil.rmtree(work, ignore_errors=True)


def festival_say(voice, sentences, folder, work):
    """Renders the (base, text, ratio) sentences that `folder` lacks: BASE.wav at RATE,
    normalised as speak() normalises, and BASE.seg, its segments; a sentence in which the voice
    lacked a diphone also gets BASE.missing. Returns the bases of those that have one."""
    jobs = [("say", text, ratio, os.path.join(work, base + ".raw.wav"),
             os.path.join(folder, base + ".seg")) for base, text, ratio in sentences
            if not os.path.exists(os.path.join(folder, base + ".wav"))]
    if jobs:
        os.makedirs(work, exist_ok=True)
        for job, missing in zip(jobs, run_festival(voice, jobs, work)):
            base = os.path.basename(job[4])[:-len(".seg")]
            if missing:
                open(os.path.join(folder, base + ".missing"), "w").close()
            to_rate(job[3], os.path.join(folder, base + ".wav"),
                    ["gain", "-n", "%.1f" % TAKE_PEAK_DB])
            os.remove(job[3])
        shutil.rmtree(work, ignore_errors=True)
    return {base for base, _, _ in sentences
            if os.path.exists(os.path.join(folder, base + ".missing"))}


def festival_sentences(voice, texts, ratios):
    """Each text at each pitch ratio (the diphone voices') as (base, text, ratio)."""
    if FESTIVAL_VOICES[voice][3] != "diphone":
        ratios = [1.0]
    return [("%s-p%d-s%d" % (voice, pi, index), text, ratio) for pi, ratio in enumerate(ratios)
            for index, text in enumerate(texts)]


def festival_calibration_speech(out, voice, rows):
    """Sentences of a calibration voice and an augmented copy of each, labelled as
    calibration_speech labels them; only those in which no diphone was missing."""
    folder = os.path.join(out, "calibration", "speech")
    os.makedirs(folder, exist_ok=True)
    language = FESTIVAL_VOICES[voice][1]
    sentences = festival_sentences(voice, CALIBRATION_SENTENCES[language], SPEECH_PITCHES)
    lacking = festival_say(voice, sentences, folder, os.path.join(folder, "work-" + voice))
    for base, _, _ in sentences:
        if base in lacking:
            continue
        augmented = os.path.join(folder, base + "-aug.wav")
        if not os.path.exists(augmented):
            augment(os.path.join(folder, base + ".wav"), augmented, base, speed=False)
        segments = [(start, end, label) for start, end, label in
                    festival_labels(voice, read_segments(os.path.join(folder, base + ".seg")),
                                    consonants=True)
                    if not label.startswith("other:") and
                    (label != "sil" or end - start >= SPEECH_MIN_PAUSE)]
        for file in (base + ".wav", base + "-aug.wav"):
            for start, end, label in segments:
                rows.append(("speech/" + file, label, voice, "%.4f" % start, "%.4f" % end))


def festival_speech(out, voice, rows):
    """Sentences of a validation voice with their phone timing, as speech_voice makes them."""
    folder = os.path.join(out, FESTIVAL_VALIDATION, "speech")
    os.makedirs(folder, exist_ok=True)
    language = FESTIVAL_VOICES[voice][1]
    sentences = [("%s-s%d" % (voice, index), text, 1.0) for index, text in
                 enumerate(SENTENCES[language])]
    festival_say(voice, sentences, folder, os.path.join(folder, "work-" + voice))
    for base, _, _ in sentences:
        for start, end, label in festival_labels(
                voice, read_segments(os.path.join(folder, base + ".seg")), consonants=False):
            rows.append((base + ".wav", start, end, label))


def package_versions(calibration_diphone, festival):
    packages = ["mbrola", "espeak-ng", "sox"] + ["mbrola-" + v for v in
                                                 sorted(calibration_diphone + VALIDATION_DIPHONE)]
    if festival:
        packages += ["festival"] + sorted(FESTIVAL_PACKAGES[v] for v in FESTIVAL_VOICES)
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
    if kind == "festival":
        return festival_phones(voice, work)
    found = diphone_phones(voice, work)
    shutil.rmtree(work, ignore_errors=True)
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", help="where to write (default build/corpus, with --wide "
                        "build/corpus-wide, with --wide-all build/corpus-wide-all, and -fest "
                        "after it with --festival, so that the corpora never mix)")
    parser.add_argument("--jobs", type=int, default=2, help="voices synthesised at once")
    parser.add_argument("--skip-install", action="store_true",
                        help="do not run scripts/install-corpus-deps.sh")
    parser.add_argument("--wide", action="store_true",
                        help="calibrate on the wider set of diphone voices too (WIDE_DIPHONE); "
                        "the validation voices are the same")
    parser.add_argument("--wide-all", action="store_true",
                        help="--wide with the voices measured and left out too (WIDE_LEFT_OUT)")
    parser.add_argument("--festival", action="store_true",
                        help="calibrate on the Festival voices of CALIBRATION_FESTIVAL too, and "
                        "make the validation group of VALIDATION_FESTIVAL (%s/)"
                        % FESTIVAL_VALIDATION)
    args = parser.parse_args()
    wide = WIDE_ALL if args.wide_all else WIDE_DIPHONE if args.wide else []
    if args.out is None:
        args.out = os.path.join(ROOT, "build", ("corpus-wide-all" if args.wide_all else
                                                "corpus-wide" if wide else "corpus") +
                                ("-fest" if args.festival else ""))
    calibration_diphone = CALIBRATION_DIPHONE + wide
    for voice in calibration_diphone + VALIDATION_DIPHONE:
        assert voice not in HELD_BACK_DIPHONE, voice
    for voice in CALIBRATION_FORMANT + VALIDATION_FORMANT:
        assert voice not in HELD_BACK_FORMANT and voice.split("+")[1] not in HELD_BACK_VARIANTS
    assert not set(calibration_diphone) & set(VALIDATION_DIPHONE)
    assert len(set(calibration_diphone)) == len(calibration_diphone)
    assert not set(CALIBRATION_FORMANT) & set(VALIDATION_FORMANT)
    assert not set(CALIBRATION_FESTIVAL) & set(VALIDATION_FESTIVAL)
    if not args.skip_install:
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "install-corpus-deps.sh")],
                       check=True)
    out = args.out
    os.makedirs(out, exist_ok=True)

    voices = ([("diphone", v, "calibration") for v in calibration_diphone] +
              [("formant", v, "calibration") for v in CALIBRATION_FORMANT] +
              [("diphone", v, "validation") for v in VALIDATION_DIPHONE] +
              [("formant", v, "validation") for v in VALIDATION_FORMANT])
    if args.festival:
        voices += ([("festival", v, "calibration") for v in CALIBRATION_FESTIVAL] +
                   [("festival", v, "festival") for v in VALIDATION_FESTIVAL])

    def one(entry):
        kind, voice, split = entry
        phones = phones_of(kind, voice, out)
        rows, speech = [], []
        if kind == "festival" and split == "calibration":
            festival_calibration(out, voice, phones, rows)
            festival_calibration_speech(out, voice, speech)
        elif kind == "festival":
            festival_validation(out, voice, phones, rows)
            festival_speech(out, voice, speech)
        elif split == "calibration":
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

    groups = {"validation": ([], []), FESTIVAL_VALIDATION: ([], [])}
    calibration, calibration_sentences = [], []
    inventory = {}
    for (kind, voice, split), phones, rows, speech_rows in results:
        inventory[voice] = {"kind": kind, "split": split, "phones": phones}
        if split == "calibration":
            calibration.extend(rows)
            calibration_sentences.extend(speech_rows)
        else:
            group = groups[FESTIVAL_VALIDATION if split == "festival" else "validation"]
            group[0].extend(rows)
            group[1].extend(speech_rows)
    write_csv(os.path.join(out, "calibration", "manifest.csv"), ["file", "phoneme", "voice"],
              calibration)
    write_csv(os.path.join(out, "calibration", "speech.csv"),
              ["file", "phoneme", "voice", "start", "end"], calibration_sentences)
    for group, (validation, speech) in groups.items():
        if group != "validation" and not validation:
            continue
        for condition in CONDITIONS:
            folder = os.path.join(out, group, condition)
            write_csv(os.path.join(folder, "manifest.csv"), ["file", "phoneme", "voice"],
                      [row[:3] for row in validation])
            labels = []
            for file, label, voice, start, end, length in validation:
                labels += [(file, 0.0, start, "sil"), (file, start, end, label),
                           (file, end, length, "sil")]
            write_csv(os.path.join(folder, "labels.csv"), ["file", "start", "end", "label"],
                      labels)
        write_csv(os.path.join(out, group, "speech", "labels.csv"),
                  ["file", "start", "end", "label"], speech)
    validation, speech = groups["validation"]
    summary = {
        "rate": RATE,
        "held_back": {"diphone": HELD_BACK_DIPHONE, "formant": HELD_BACK_FORMANT,
                      "formant_variants_never_used": HELD_BACK_VARIANTS},
        "voices": inventory,
        "conditions": CONDITIONS,
        "wide": wide,
        "packages": package_versions(calibration_diphone, args.festival),
        "files": {"calibration": len(calibration),
                  "calibration_sentences": len({row[0] for row in calibration_sentences}),
                  "validation_takes": len(validation),
                  "speech_sentences": len({row[0] for row in speech})},
    }
    if args.festival:
        summary["festival"] = {"calibration": CALIBRATION_FESTIVAL,
                               "validation": VALIDATION_FESTIVAL}
        summary["files"]["festival_validation_takes"] = len(groups[FESTIVAL_VALIDATION][0])
        summary["files"]["festival_speech_sentences"] = len(
            {row[0] for row in groups[FESTIVAL_VALIDATION][1]})
    # Through a new file: the corpus may be a hard-linked copy of another.
    summary_path = os.path.join(out, "corpus.json")
    with open(summary_path + ".part", "w") as f:
        json.dump(summary, f, indent=1, sort_keys=True)
    os.replace(summary_path + ".part", summary_path)
    print("wrote", out, json.dumps(summary["files"]))

if __name__ == "__main__":
    sys.exit(main())
