"""The Python package against the built library and the vocetta tool's own output."""

import csv
import io
import json
import math
import os
import shutil
import subprocess
import wave

import numpy as np
import pytest

import vocetta

SOURCE = os.environ["VOCETTA_SOURCE_DIR"]
SAMPLE = os.path.join(SOURCE, "samples", "sample.flac")
DEFAULT_PROFILE = os.path.join(SOURCE, "profiles", "default.json")
# What the sample says, and its phones as espeak-ng en-us gives them.
SAMPLE_WORDS = "Hello! Watch my mouth: ah, ee, oo, eh, oh."
SAMPLE_IPA = "həlˈoʊ wˈɑːtʃ maɪ mˈaʊθ ˈɑː ˈiː ˈuː ˈeɪ ˈoʊ"
needs_espeak = pytest.mark.skipif(shutil.which("espeak-ng") is None,
                                  reason="no espeak-ng: words are not phonemised")


def tool(*arguments):
    done = subprocess.run([vocetta.tool_path(), *arguments], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    return done.stdout


def tool_frames(*arguments):
    rows = list(csv.reader(io.StringIO(tool("analyze", "-q", *arguments))))
    return rows[0], rows[1:]


def write_wav(path, samples, rate):
    pcm = np.clip(np.round(np.asarray(samples) * 32767), -32768, 32767).astype("<i2")
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(pcm.tobytes())


# --- profiles -----------------------------------------------------------------------------


def test_default_profile_is_the_shipped_file():
    shipped = json.load(open(DEFAULT_PROFILE))
    profile = vocetta.load_profile()
    assert profile.phonemes == [p["name"] for p in shipped["phonemes"]]
    assert profile.target_sample_rate == shipped["analysis"]["targetSampleRate"]
    assert profile.block_length == shipped["analysis"]["blockLength"]
    assert profile.score_method == shipped["analysis"]["scoreMethod"]
    np.testing.assert_array_equal(profile.means, np.float32(shipped["means"]))
    loaded = vocetta.load_profile(DEFAULT_PROFILE)
    assert loaded.phonemes == profile.phonemes
    np.testing.assert_array_equal(loaded.references("A"), profile.references("A"))


def test_ring_length_by_hand():
    profile = vocetta.load_profile()  # 512 samples at 16 kHz
    assert profile.ring_length(16000) == 512
    assert profile.ring_length(48000) == 1536
    with pytest.raises(vocetta.ProfileError, match="8000"):
        profile.ring_length(8000)  # the job does not up-sample


def test_bad_profile_names_the_file_and_member(tmp_path):
    bad = json.load(open(DEFAULT_PROFILE))
    bad["analysis"]["blockLength"] = 300
    path = tmp_path / "bad.json"
    path.write_text(json.dumps(bad))
    with pytest.raises(vocetta.ProfileError, match=r"bad\.json.*blockLength"):
        vocetta.load_profile(path)
    with pytest.raises(vocetta.ProfileError, match="missing.json"):
        vocetta.load_profile(tmp_path / "missing.json")


def test_profile_round_trips_through_json():
    profile = vocetta.load_profile()
    again = vocetta._vocetta.parse_profile(profile.to_json(), "again")
    assert again.phonemes == profile.phonemes
    np.testing.assert_array_equal(again.references("O"), profile.references("O"))


# --- whole recordings, against the tool ---------------------------------------------------


def assert_same_frames(frames, header, rows):
    assert header == ["time", "phoneme", "volume", *frames.phonemes]
    assert len(frames) == len(rows)
    assert frames.phoneme == [row[1] for row in rows]
    table = np.array([[float(row[0]), float(row[2]), *map(float, row[3:])] for row in rows])
    # The tool prints six significant digits.
    np.testing.assert_allclose(frames.time, table[:, 0], rtol=1e-5, atol=1e-9)
    np.testing.assert_allclose(frames.volume, table[:, 1], rtol=1e-5, atol=1e-9)
    np.testing.assert_allclose(frames.scores, table[:, 2:], rtol=1e-5, atol=1e-9)


@pytest.mark.parametrize("options,arguments", [
    ({}, []),
    ({"smoothing": False}, ["--no-smoothing"]),
    ({"silence_db": -45.0, "switch_cost": 1.5}, ["--silence", "-45", "--switch-cost", "1.5"]),
    ({"hop_ms": 7.3, "gate_db": -20.0}, ["--hop", "7.3", "--gate", "-20"]),
    ({"clean_noise": False}, ["--keep-noise"]),
    ({"ipa": SAMPLE_IPA}, ["--ipa", SAMPLE_IPA]),
    pytest.param({"text": SAMPLE_WORDS}, ["--text", SAMPLE_WORDS], marks=needs_espeak),
])
def test_analyze_file_labels_as_the_tool(options, arguments):
    frames = vocetta.analyze_file(SAMPLE, **options)
    header, rows = tool_frames(SAMPLE, *arguments)
    assert_same_frames(frames, header, rows)
    assert set(frames.phoneme) > {"sil"}  # the sample speaks vowels


def test_a_transcripts_phones_are_where_the_tool_puts_them():
    frames = vocetta.analyze_file(SAMPLE, ipa=SAMPLE_IPA)
    header, rows = tool_frames(SAMPLE, "--phones", "--ipa", SAMPLE_IPA)
    assert header == ["start", "end", "phone", "word", "written"]
    assert [(p.phone, p.word) for p in frames.phones] == [(r[2], int(r[3])) for r in rows]
    assert frames.written == frames.words  # given as IPA, the words are named by it
    np.testing.assert_allclose([(p.start, p.end) for p in frames.phones],
                               [(float(r[0]), float(r[1])) for r in rows], rtol=1e-5, atol=1e-9)
    assert frames.words[:3] == ["həloʊ", "wɑtʃ", "maɪ"]
    assert frames.words[frames.phones[2].word - 1] == "həloʊ"
    # Without words there are none; a line far too short for its phones has no timeline.
    assert vocetta.analyze_file(SAMPLE).phones is None
    assert vocetta.analyze_file(SAMPLE, ipa="a" * 700).phones is None


@needs_espeak
def test_words_the_phonemiser_joins_keep_their_written_names():
    text = "Hello, watch the mouth on the man"
    frames = vocetta.analyze_file(SAMPLE, text=text)
    assert frames.words[4] == "ɔnðə"
    assert frames.written == ["Hello", "watch", "the", "mouth", "on the", "man"]
    header, rows = tool_frames(SAMPLE, "--phones", "--text", text)
    assert [r[4] for r in rows] == [frames.written[p.word - 1] if p.word else ""
                                    for p in frames.phones]
    # Its words' spans, as the tool's --words gives them.
    header, rows = tool_frames(SAMPLE, "--words", "--text", text)
    assert header == ["start", "end", "word", "written", "ipa"]
    spans = frames.word_spans()
    assert [(w.word, w.written, w.ipa) for w in spans] == [(int(r[2]), r[3], r[4]) for r in rows]
    np.testing.assert_allclose([(w.start, w.end) for w in spans],
                               [(float(r[0]), float(r[1])) for r in rows], rtol=1e-5, atol=1e-9)
    assert spans[4].written == "on the" and vocetta.analyze_file(SAMPLE).word_spans() is None


@needs_espeak
def test_words_align_the_labels_and_bad_transcripts_are_refused():
    assert vocetta.phonemise(SAMPLE_WORDS).split() == SAMPLE_IPA.split()
    # The sample's "ah, ee, oo, eh, oh", each its own vowel once the words are known.
    frames = vocetta.analyze_file(SAMPLE, text=SAMPLE_WORDS)
    middles = [np.argmin(np.abs(frames.time - t)) for t in (2.81, 3.46, 4.08, 4.73, 5.35)]
    assert [frames.phoneme[i] for i in middles] == ["A", "I", "U", "E", "O"]
    with pytest.raises(ValueError, match="text and ipa exclude each other"):
        vocetta.analyze_file(SAMPLE, text="ah", ipa="a")
    with pytest.raises(ValueError, match="smoothing=False"):
        vocetta.analyze_file(SAMPLE, ipa="a", smoothing=False)
    with pytest.raises(vocetta.TranscriptError, match="stand for none of its phones"):
        vocetta.cues_file(SAMPLE, ipa="tdk")
    with pytest.raises(vocetta.TranscriptError, match="no phones to align"):
        vocetta.curves_file(SAMPLE, ipa="ˈ, .")
    with pytest.raises(vocetta.TranscriptError, match="with the voice 'zz'"):
        vocetta.cues_file(SAMPLE, text="ah", language="zz")


@needs_espeak
def test_a_scripted_line_is_read_without_its_directions(tmp_path):
    scripted = "(cheerful) Hello! *Watch* my <i>mouth</i>: [slowly] ah, ee, oo, eh, oh."
    assert vocetta.spoken_text("[b]Hel[/b]lo (sighs) you!") == "Hello  you!"
    assert vocetta.phonemise(scripted) == vocetta.phonemise(SAMPLE_WORDS)
    marked, plain = (vocetta.analyze_file(SAMPLE, text=t) for t in (scripted, SAMPLE_WORDS))
    assert marked.written == plain.written and marked.phones == plain.phones
    assert marked.written[1] == "Watch"
    np.testing.assert_array_equal(marked.phoneme, plain.phoneme)
    assert (vocetta.cues_file(SAMPLE, text=scripted).cues ==
            vocetta.cues_file(SAMPLE, text=SAMPLE_WORDS).cues)
    # As the tool reads it, --literal-text too.
    literal = vocetta.analyze_file(SAMPLE, text=scripted, literal_text=True)
    header, rows = tool_frames(SAMPLE, "--words", "--literal-text", "--text", scripted)
    assert [w.written for w in literal.word_spans()] == [r[3] for r in rows]
    assert literal.written[0] == "cheerful"
    with pytest.raises(vocetta.TranscriptError, match="only directions and markup"):
        vocetta.curves_file(SAMPLE, text="(sighs)")
    # A Yarn line's speaker is not said when the text names its speakers.
    assert vocetta.without_speaker_names("Mae: Hi at 10:30\\: ok\nBea: Bye") == "Hi at 10:30: ok\nBye"
    named = vocetta.analyze_file(SAMPLE, text="Mae: " + SAMPLE_WORDS, speaker_names=True)
    assert named.written == plain.written and named.phones == plain.phones
    with pytest.raises(vocetta.TranscriptError, match="only a speaker's name"):
        vocetta.cues_file(SAMPLE, text="Mae: [sighs]", speaker_names=True)


def test_baked_files_read_back_as_they_were_written(tmp_path):
    for shapes in ("cartoon", "visemes"):
        cues = vocetta.cues_file(SAMPLE, shapes=shapes)
        cues.save(tmp_path / "line.json")
        loaded = vocetta.load_cues(tmp_path / "line.json", shapes)
        assert [c.shape for c in loaded] == [c.shape for c in cues]
        np.testing.assert_allclose([(c.start, c.end) for c in loaded],
                                   [(c.start, c.end) for c in cues], atol=0.005)
        assert loaded.sound_file == SAMPLE and loaded.shape_at(-1) == cues.shape_at(-1)
        curves = vocetta.curves_file(SAMPLE, shapes=shapes, fps=30)
        curves.save(tmp_path / "curves.json")
        back = vocetta.load_curves(tmp_path / "curves.json")
        assert (back.shapes, back.fps, len(back)) == (shapes, 30, len(curves))
        np.testing.assert_allclose(back.weights, curves.weights, atol=5e-5)
        np.testing.assert_allclose(back.jaw, curves.jaw, atol=5e-5)
    # An edited file that is not cues of the set says where it is wrong.
    (tmp_path / "edited.json").write_text(
        '{"metadata": {"duration": 1}, "mouthCues": [{"start": 0, "end": 1, "value": "Q"}]}')
    with pytest.raises(vocetta.CueError, match=r"edited\.json: mouthCues\[0\]\.value: 'Q'"):
        vocetta.load_cues(tmp_path / "edited.json")
    with pytest.raises(vocetta.CueError, match="no such curve file"):
        vocetta.load_curves(tmp_path / "none.json")


def test_analyze_of_a_stereo_file_mixes_as_the_tool(tmp_path):
    rate = 22050
    t = np.arange(rate // 2) / rate
    left, right = 0.5 * np.sin(2 * np.pi * 220 * t), 0.2 * np.sin(2 * np.pi * 660 * t)
    path = tmp_path / "stereo.wav"
    pcm = np.round(np.stack([left, right], axis=1) * 32767).astype("<i2")
    with wave.open(str(path), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(pcm.tobytes())
    samples, sample_rate = vocetta.read_audio(path)
    assert sample_rate == rate and samples.dtype == np.float32
    np.testing.assert_allclose(samples, pcm.mean(axis=1) / 32768, atol=1e-6)
    header, rows = tool_frames(str(path))
    assert_same_frames(vocetta.analyze_file(path), header, rows)


def test_unreadable_recording_names_the_file(tmp_path):
    path = tmp_path / "noise.wav"
    path.write_bytes(b"RIFF, but nothing a decoder knows")
    with pytest.raises(vocetta.AudioError, match="noise.wav"):
        vocetta.analyze_file(path)
    with pytest.raises(vocetta.AudioError, match="absent.wav"):
        vocetta.analyze_file(tmp_path / "absent.wav")
    # Samples that are not numbers are refused as the tool refuses such a file.
    broken = np.zeros(16000, dtype=np.float32)
    broken[1000] = np.nan
    for bake in (vocetta.analyze, vocetta.cues, vocetta.curves):
        with pytest.raises(ValueError, match=r"samples\[1000\] is not a finite number"):
            bake(broken, 16000)


# --- streaming ----------------------------------------------------------------------------


def test_frames_fall_where_the_ring_fills():
    rate, count = 48000, 12345
    analyzer = vocetta.Analyzer(sample_rate=rate, hop_ms=10)
    ring, hop = 1536, 480
    assert (analyzer.ring_length, analyzer.hop) == (ring, hop)
    assert len(analyzer.push(np.zeros(ring - 1))) == 0
    assert len(analyzer.push(np.zeros(1))) == 1
    analyzer.push(np.zeros(count - ring))
    frames = analyzer.frames
    assert len(frames) == (count - ring) // hop + 1
    # Block centres: the first block ends at sample L, each next one a hop later.
    np.testing.assert_allclose(frames.time, (ring / 2 + hop * np.arange(len(frames))) / rate)
    # Digital silence is never a phoneme, and its RMS is exactly 0.
    assert set(frames.phoneme) == {"sil"}
    assert np.all(frames.volume == 0)


def test_blocks_of_any_size_give_the_whole_recording_frames():
    samples, rate = vocetta.read_audio(SAMPLE)
    whole = vocetta.analyze(samples, rate, smoothing=False, silence_db=-200, clean_noise=False)
    analyzer = vocetta.Analyzer(sample_rate=rate)
    sizes = np.random.default_rng(7).integers(1, 2000, size=len(samples))
    ends = np.cumsum(sizes)
    start, pieces = 0, []
    for end in ends:
        pieces.append(analyzer.push(samples[start:end]))
        start = end
        if start >= len(samples):
            break
    analyzer.finish()
    streamed = analyzer.frames
    assert sum(len(p) for p in pieces) == len(streamed) == len(whole)
    # Each push hands back the frames it completed, and only those.
    np.testing.assert_array_equal(np.concatenate([p.time for p in pieces]), streamed.time)
    assert sum((p.phoneme for p in pieces), []) == streamed.phoneme
    np.testing.assert_array_equal(streamed.time, whole.time)
    np.testing.assert_array_equal(streamed.volume, whole.volume)
    np.testing.assert_array_equal(streamed.scores, whole.scores)
    np.testing.assert_array_equal(streamed.mfcc, whole.mfcc)
    # Frame by frame and without a gate, a frame is its own best phoneme.
    assert streamed.phoneme == whole.phoneme


def test_scores_and_volume_of_a_tone_by_hand():
    rate = 16000
    amplitude = 0.5
    samples = amplitude * np.sin(2 * np.pi * 500 * np.arange(rate) / rate)
    frames = vocetta.analyze(samples.astype(np.float32), rate, clean_noise=False)
    # RMS of a sine over whole periods (a block of 512 samples holds 16 periods of 500 Hz).
    np.testing.assert_allclose(frames.volume, amplitude / math.sqrt(2), rtol=1e-4)
    np.testing.assert_allclose(frames.scores.sum(axis=1), 1.0, rtol=1e-5)
    assert frames.scores.shape == (len(frames), len(vocetta.load_profile().phonemes))
    assert frames.mfcc.shape == (len(frames), 20)
    # By default the cleaner takes a tone that never stops for steady noise, and keeps the floor
    # of its amplitude (a quarter: 12 dB down) once it has heard it a while.
    cleaned = vocetta.analyze(samples.astype(np.float32), rate)
    np.testing.assert_allclose(cleaned.volume[len(cleaned) // 2:], 0.25 * amplitude / math.sqrt(2),
                               rtol=1e-3)


def test_a_recording_shorter_than_a_block_gets_one_frame():
    frames = vocetta.analyze(np.full(100, 0.25, dtype=np.float32), 16000)
    assert len(frames) == 1
    assert frames.time[0] == pytest.approx(256 / 16000)


# --- calibration --------------------------------------------------------------------------


def vowel_like(frequencies, rate, seconds, seed):
    """A buzz through formant-like peaks: enough spectral shape for two classes to differ."""
    rng = np.random.default_rng(seed)
    t = np.arange(int(rate * seconds)) / rate
    signal = sum(np.sin(2 * np.pi * f * t + rng.uniform(0, 6)) for f in frequencies)
    return 0.3 * signal / len(frequencies) + 0.001 * rng.standard_normal(len(t))


def test_calibrate_makes_a_profile_that_tells_its_classes_apart(tmp_path):
    rate = 16000
    lines = ["file,phoneme"]
    for take in range(2):
        for name, formants in (("low", (300, 600, 900)), ("high", (2000, 2600, 3100))):
            path = tmp_path / f"{name}{take}.wav"
            write_wav(path, vowel_like(formants, rate, 0.6, take), rate)
            lines.append(f"{path.name},{name}")
    manifest = tmp_path / "takes.csv"
    manifest.write_text("\n".join(lines) + "\n")
    output = tmp_path / "two.json"
    profile = vocetta.calibrate(manifest, output, references=1, trim_ms=50)
    assert output.exists()
    assert profile.phonemes == ["low", "high"]
    assert profile.target_sample_rate == 16000
    frames = vocetta.analyze_file(tmp_path / "high1.wav", profile=output)
    assert frames.phoneme.count("high") > 0.9 * len(frames)


def test_adapt_gives_the_tools_profile_and_moves_the_speaker_mean(tmp_path):
    output = tmp_path / "speaker.json"
    profile = vocetta.adapt([SAMPLE, SAMPLE], output, prior=50)
    expected = tmp_path / "tool.json"
    tool("adapt", "-q", "--prior", "50", "-o", str(expected), SAMPLE, SAMPLE)
    assert output.read_bytes() == expected.read_bytes()
    adapted = json.loads(output.read_text())
    default = json.loads(open(DEFAULT_PROFILE).read())
    assert adapted["speakerMeans"] != default["speakerMeans"]
    assert profile.phonemes == [p["name"] for p in default["phonemes"]]
    # The adapted profile analyses as any other.
    assert len(vocetta.analyze_file(SAMPLE, profile=output)) == len(vocetta.analyze_file(SAMPLE))
    anchored = vocetta.adapt(SAMPLE, tmp_path / "anchored.json", anchor=True, keep_noise=True)
    assert anchored.phonemes == profile.phonemes


def test_adapt_refusal_carries_the_tools_message(tmp_path):
    with pytest.raises(vocetta.AdaptationError, match="absent.wav"):
        vocetta.adapt(tmp_path / "absent.wav", tmp_path / "out.json")
    assert not (tmp_path / "out.json").exists()
    with pytest.raises(TypeError):
        vocetta.adapt(SAMPLE, profile=vocetta.load_profile())


def test_calibrate_refusal_carries_the_tools_message(tmp_path):
    manifest = tmp_path / "takes.csv"
    manifest.write_text("file,phoneme\nabsent.wav,A\n")
    with pytest.raises(vocetta.CalibrationError, match="absent.wav"):
        vocetta.calibrate(manifest)
    assert not (tmp_path / "profile.json").exists()
