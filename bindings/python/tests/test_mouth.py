"""Mouth shapes, cues and curves from Python: worked by hand, and against `vocetta analyze --cues`
and `--curves`."""

import json
import math
import os
import subprocess
import wave

import numpy as np
import pytest

import vocetta

SOURCE = os.environ["VOCETTA_SOURCE_DIR"]
SAMPLE = os.path.join(SOURCE, "samples", "sample.flac")
DEFAULT_PROFILE = os.path.join(SOURCE, "profiles", "default.json")


def tool(*arguments, stdin=None):
    done = subprocess.run([vocetta.tool_path(), *arguments], capture_output=True, input=stdin)
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout.decode()


def scores_for(profile, **shares):
    """A score vector over the profile's phonemes, `shares` by name, 0 elsewhere."""
    scores = np.zeros(len(profile.phonemes), dtype=np.float32)
    for name, share in shares.items():
        scores[profile.phonemes.index(name)] = share
    return scores


def sample_wav(tmp_path, samples=None, name="sample.wav"):
    """The sample (or other samples at its rate) as 16-bit WAV, which the tool also reads from a
    pipe."""
    original, rate = vocetta.read_audio(SAMPLE)
    samples = original if samples is None else samples
    pcm = np.clip(np.round(samples * 32767), -32768, 32767).astype("<i2")
    path = tmp_path / name
    with wave.open(str(path), "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(pcm.tobytes())
    return path


# --- the shape sets and the profile's mapping -----------------------------------------------


def test_shape_sets_in_their_fixed_order():
    assert vocetta.shape_names("cartoon") == list("ABCDEFGHX")
    assert vocetta.shape_names("visemes") == [
        "sil", "PP", "FF", "TH", "DD", "kk", "CH", "SS", "nn", "RR", "aa", "E", "ih", "oh", "ou"]
    with pytest.raises(vocetta.ShapeError, match="cartoon or visemes"):
        vocetta.shape_names("faces")


def test_default_profile_maps_each_phoneme_onto_one_shape():
    profile = vocetta.load_profile()
    expected = {"cartoon": {"A": "D", "E": "C", "I": "B", "O": "E", "U": "F", "M": "A",
                            "FV": "G", "S": "B", "sil": "X"},
                "visemes": {"A": "aa", "E": "E", "I": "ih", "O": "oh", "U": "ou", "M": "PP",
                            "FV": "FF", "S": "SS", "sil": "sil"}}
    for shapes, shape_of in expected.items():
        mouth = vocetta.MouthShapes(profile, shapes)
        names = mouth.shape_names
        assert mouth.map.shape == (len(profile.phonemes), len(names))
        for row, phoneme in zip(mouth.map, profile.phonemes):
            wanted = np.zeros(len(names))
            wanted[names.index(shape_of[phoneme])] = 1
            np.testing.assert_array_equal(row, wanted)


def test_a_profiles_own_shapes_are_normalised_and_unknown_phonemes_refused():
    shipped = json.load(open(DEFAULT_PROFILE))
    shipped["phonemes"][0]["shapes"] = {"cartoon": {"D": 3.0, "C": 1.0}}
    profile = vocetta._vocetta.parse_profile(json.dumps(shipped), "own.json")
    row = vocetta.MouthShapes(profile).map[0]
    np.testing.assert_allclose(row[[3, 2]], [0.75, 0.25])
    assert row.sum() == pytest.approx(1.0)
    shipped["phonemes"][1]["name"] = "ee"  # no built-in shape for this name
    del shipped["phonemes"][0]["shapes"]
    renamed = vocetta._vocetta.parse_profile(json.dumps(shipped), "renamed.json")
    with pytest.raises(vocetta.ShapeError, match=r'phonemes\[1\] \("ee"\)'):
        vocetta.MouthShapes(renamed)


# --- one frame, worked by hand ---------------------------------------------------------------


def test_sharpening_and_jaw_on_worked_scores():
    profile = vocetta.load_profile()
    # No smoothing, squares for sharpening; the jaw opens over 0.01 ... 0.25 on a log scale.
    mouth = vocetta.MouthShapes(profile, attack_ms=0, release_ms=0, sharpness=2,
                                silence_volume=0.01, loud_volume=0.25)
    scores = scores_for(profile, A=0.6, E=0.3, sil=0.1)
    names = mouth.shape_names
    # Fully loud: the rest shape keeps none of its share; D 0.6 and C 0.3 squared and normalised.
    mouth.update(scores, 0.25, 0.01)
    expected = np.zeros(9)
    expected[names.index("D")], expected[names.index("C")] = 0.36 / 0.45, 0.09 / 0.45
    np.testing.assert_allclose(mouth.target, expected, rtol=1e-6, atol=1e-7)
    np.testing.assert_allclose(mouth.weights, expected, rtol=1e-6, atol=1e-7)
    assert mouth.jaw == pytest.approx(1.0)
    assert mouth.shape == "D"
    # Halfway up in dB (sqrt(0.01 * 0.25)): rest keeps half its share, the jaw half the opening
    # of the shapes that are not rest.
    mouth.update(scores, math.sqrt(0.01 * 0.25), 0.01)
    d, c, x = 0.36, 0.09, 0.05 ** 2
    expected[:] = 0
    expected[[names.index("D"), names.index("C"), names.index("X")]] = np.array([d, c, x]) / (
        d + c + x)
    np.testing.assert_allclose(mouth.weights, expected, rtol=1e-5, atol=1e-7)
    assert mouth.jaw == pytest.approx((1 - expected[names.index("X")]) * 0.5, rel=1e-5)
    # Below the silence volume the mouth rests and the jaw closes.
    mouth.update(scores, 0.005, 0.01)
    assert mouth.shape == "X" and mouth.jaw == 0
    assert mouth.weights[names.index("X")] == pytest.approx(1.0)
    # A shape the transcript says shows however quiet the frame, the jaw shut; loud, the jaw
    # opens with the volume alone.
    mouth.update(scores, 0.005, 0.01, shape="H")
    assert mouth.shape == "H" and mouth.jaw == 0
    mouth.update(scores, 0.25, 0.01, silence=True, shape="B")
    assert mouth.shape == "B" and mouth.jaw == pytest.approx(1.0)
    with pytest.raises(ValueError, match="no shape of the cartoon set"):
        mouth.update(scores, 0.25, 0.01, shape="DD")


def test_attack_and_release_follow_a_step_as_one_pole_filters():
    profile = vocetta.load_profile()
    mouth = vocetta.MouthShapes(profile, attack_ms=20, release_ms=50)
    names = mouth.shape_names
    d, x = names.index("D"), names.index("X")
    scores = scores_for(profile, A=1.0)
    for step in range(1, 11):
        mouth.update(scores, 0.5, 0.01)
        seconds = 0.01 * step
        assert mouth.weights[d] == pytest.approx(1 - math.exp(-seconds / 0.020), rel=1e-5)
        assert mouth.weights[x] == pytest.approx(math.exp(-seconds / 0.050), rel=1e-5)
        assert mouth.jaw == pytest.approx(1 - math.exp(-seconds / 0.020), rel=1e-5)
    # The rest shape shows until the open shapes together outweigh it.
    mouth.reset()
    shown = []
    for _ in range(4):
        mouth.update(scores, 0.5, 0.005)
        shown.append(mouth.shape)
    # D = 1 - e^(-t/20ms) against X = e^(-t/50ms): 0.221 < 0.905 at 5 ms, 0.393 < 0.819 at 10,
    # 0.528 < 0.741 at 15, 0.632 < 0.670 at 20 ms, so X throughout; 0.777 > 0.549 at 30 ms.
    assert shown == ["X"] * 4
    mouth.update(scores, 0.5, 0.01)
    assert mouth.shape == "D"


def test_update_checks_the_score_count_and_settings():
    mouth = vocetta.MouthShapes()
    with pytest.raises(ValueError, match="one value per phoneme"):
        mouth.update(np.zeros(3), 0.1, 0.01)
    with pytest.raises(vocetta.ShapeError, match="sharpness"):
        vocetta.MouthShapes(sharpness=0.5)
    with pytest.raises(vocetta.ShapeError, match="attack"):
        vocetta.MouthShapes(attack_ms=-1)


# --- cues from made-up frames ------------------------------------------------------------------


def frames_of(values, hop=0.01):
    """Frame centres a hop apart, the first half a hop in."""
    return [hop * (k + 0.5) for k in range(len(values))]


def test_a_cue_under_the_hold_joins_or_borrows_as_worked_by_hand():
    values = ["X"] * 5 + ["B"] + ["D"] * 9 + ["X"] * 5
    cues = vocetta.build_cues(frames_of(values), values, 0.2, min_hold_ms=60, closure_ms=0)
    # Runs X 0-0.05, B 0.05-0.06, D 0.06-0.15, X 0.15-0.20. B (10 ms) is under half the hold:
    # it joins its longer neighbour D. X (50 ms) then borrows 10 ms from D, which can spare it;
    # the last cue may stay short.
    assert [tuple(c) for c in cues] == [(0.0, 0.06, "X"), (0.06, 0.15, "D"), (0.15, 0.2, "X")]
    assert cues.duration == 0.2 and cues.shape_at(0.1) == "D" and cues.shape_at(0.25) == "X"


def test_a_short_rest_inside_speech_closes_the_lips():
    values = ["D"] * 8 + ["X"] * 5 + ["C"] * 8
    times = frames_of(values)
    assert [c.shape for c in vocetta.build_cues(times, values, 0.21)] == ["D", "A", "C"]
    visemes = ["aa"] * 8 + ["sil"] * 5 + ["E"] * 8
    assert [c.shape for c in vocetta.build_cues(times, visemes, 0.21, shapes="visemes")] == [
        "aa", "PP", "E"]
    # Without the closure rule the 50 ms rest stays a rest, lengthened to the 60 ms hold.
    kept = vocetta.build_cues(times, values, 0.21, min_hold_ms=60, closure_ms=0)
    assert [tuple(c) for c in kept] == [(0.0, 0.08, "D"), (0.08, 0.14, "X"), (0.14, 0.21, "C")]


def test_a_short_vowel_between_closures_is_shown_by_its_priority():
    # A 50 ms, D 40 ms, A 110 ms with a 100 ms hold. Counted alike, D is the shortest, under half
    # the hold, and joins the longer A: all is A. At priority 1.5 D counts 60 ms, so the first A
    # goes first: it cannot borrow (D has nothing to spare) and joins D, and D (90 ms) then
    # borrows 10 ms from the last A, which has 10 to spare.
    values = ["A"] * 5 + ["D"] * 4 + ["A"] * 11
    times = frames_of(values)
    alike = vocetta.build_cues(times, values, 0.2, min_hold_ms=100, closure_ms=0,
                               open_priority=1)
    assert [tuple(c) for c in alike] == [(0.0, 0.2, "A")]
    kept = vocetta.build_cues(times, values, 0.2, min_hold_ms=100, closure_ms=0,
                              open_priority=1.5)
    assert [tuple(c) for c in kept] == [(0.0, 0.1, "D"), (0.1, 0.2, "A")]
    with pytest.raises(ValueError, match="open_priority"):
        vocetta.build_cues(times, values, 0.2, open_priority=0.5)


def test_margins_keep_closed_lips_for_a_clear_lead():
    scores = scores_for(vocetta.load_profile(), M=0.5, U=0.3)
    shown = []
    for margin in (1.5, 2):
        mouth = vocetta.MouthShapes(attack_ms=0, release_ms=0, sharpness=1, closed_margin=margin)
        mouth.update(scores, 0.25, 0.01)
        shown.append(mouth.shape)
    assert shown == ["A", "F"]  # 0.5 / 1.5 = 0.33 beats 0.3; 0.5 / 2 = 0.25 does not


def test_dips_keep_the_teeth_on_the_lip_and_the_closed_lips_for_quiet_frames():
    # 12 dB under the loudest of the last 50 ms is a share of 0.2512, 6 dB one of 0.5012: after
    # a vowel at 0.2, 0.06 shows the next shape (F), 0.04 the teeth on the lip until the vowel
    # leaves the window at 70 ms and 0.06 is the loudest; 0.11 keeps the lips open, 0.1 closes.
    profile = vocetta.load_profile()
    mouth = vocetta.MouthShapes(attack_ms=0, release_ms=0, sharpness=1, lip_dip_db=12,
                                closed_dip_db=6, dip_window_ms=50)
    shown = ""
    for volume in (0.2, 0.06, 0.04, 0.04, 0.04, 0.04, 0.04):
        mouth.update(scores_for(profile, FV=0.7, U=0.3), volume, 0.01)
        shown += mouth.shape
    mouth.reset()
    for volume in (0.2, 0.11, 0.1):
        mouth.update(scores_for(profile, M=0.7, U=0.3), volume, 0.01)
        shown += mouth.shape
    assert shown == "FFGGGGF" + "FFA"
    assert vocetta.CUE_DEFAULTS["lip_dip_db"] == 20 and vocetta.MOUTH_DEFAULTS["lip_dip_db"] == 0
    with pytest.raises(ValueError, match="lip_dip_db"):
        vocetta.cues_file(SAMPLE, lip_dip_db=-1)


def test_cues_need_known_shapes():
    with pytest.raises(vocetta.ShapeError, match="no shape 'Q'"):
        vocetta.build_cues([0.005], ["Q"], 0.01)
    with pytest.raises(ValueError, match="not one of the set"):
        vocetta.build_cues([0.005], [9], 0.01)


# --- whole recordings, against the tool ------------------------------------------------------


@pytest.mark.parametrize("options,arguments", [
    ({}, []),
    ({"shapes": "visemes"}, ["--shapes", "visemes"]),
    ({"min_hold_ms": 80, "closure_ms": 0, "sharpness": 1.5},
     ["--min-hold", "80", "--closure", "0", "--sharpness", "1.5"]),
    ({"closed_margin": 1, "lip_margin": 1.5, "open_priority": 1},
     ["--closed-margin", "1", "--lip-margin", "1.5", "--open-priority", "1"]),
    ({"closed_dip_db": 3, "lip_dip_db": 0, "dip_window_ms": 200},
     ["--closed-dip", "3", "--lip-dip", "0", "--dip-window", "200"]),
    ({"attack_ms": 20, "release_ms": 50, "silence_db": -45, "hop_ms": 7.3},
     ["--attack", "20", "--release", "50", "--silence", "-45", "--hop", "7.3"]),
    ({"clean_noise": False}, ["--keep-noise"]),
    ({"ipa": "həlˈoʊ wˈɑːtʃ maɪ mˈaʊθ ˈɑː ˈiː ˈuː ˈeɪ ˈoʊ", "shapes": "visemes"},
     ["--ipa", "həlˈoʊ wˈɑːtʃ maɪ mˈaʊθ ˈɑː ˈiː ˈuː ˈeɪ ˈoʊ", "--shapes", "visemes"]),
])
def test_cues_file_writes_what_the_tool_writes(options, arguments):
    cues = vocetta.cues_file(SAMPLE, **options)
    for fmt in vocetta.CUE_FORMATS:
        assert cues.to_string(fmt) == tool("analyze", "-q", "--cues", "-f", fmt, SAMPLE,
                                           *arguments), fmt
    assert cues.to_string("json", fps=30, keyframes=True) == tool(
        "analyze", "-q", "--cues", "-f", "json", "--fps", "30", "--keyframes", SAMPLE, *arguments)
    assert cues.to_string("dat", fps=30) == tool("analyze", "-q", "--cues", "-f", "dat", "--fps",
                                                 "30", SAMPLE, *arguments)


def test_cues_cover_the_recording_and_name_it():
    samples, rate = vocetta.read_audio(SAMPLE)
    cues = vocetta.cues(samples, rate, sound_file="line.flac")
    assert cues[0].start == 0 and cues[-1].end == pytest.approx(len(samples) / rate)
    assert all(a.end == b.start and a.shape != b.shape for a, b in zip(cues, cues[1:]))
    hold = vocetta.CUE_DEFAULTS["min_hold_ms"] / 1000
    assert all(c.end - c.start >= hold - 1e-9 for c in cues[:-1])
    assert {"X", "A"} <= {c.shape for c in cues}  # pauses and closures in the sample
    document = json.loads(cues.to_string("json"))
    assert document["metadata"] == {"soundFile": "line.flac",
                                    "duration": round(len(samples) / rate, 2)}
    assert cues.to_string() == vocetta.cues_file(SAMPLE).to_string()


def test_save_takes_the_format_from_the_extension_and_refuses_mistakes(tmp_path):
    cues = vocetta.cues_file(SAMPLE)
    cues.save(tmp_path / "line.xml")
    assert (tmp_path / "line.xml").read_text() == cues.to_string("xml")
    cues.save(tmp_path / "line.txt", format="tsv")
    assert (tmp_path / "line.txt").read_text() == cues.to_string("tsv")
    with pytest.raises(ValueError, match=r"line\.json: the extension says json"):
        cues.save(tmp_path / "line.json", format="dat")
    with pytest.raises(ValueError, match="name the format"):
        cues.save(tmp_path / "line.cues")
    with pytest.raises(ValueError, match="keyframes need the tsv or json"):
        cues.save(tmp_path / "line.dat", keyframes=True)
    (tmp_path / "taken.tsv").mkdir()
    with pytest.raises(OSError, match="is a directory"):
        cues.save(tmp_path / "taken.tsv")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["line.txt", "line.xml", "taken.tsv"]


@pytest.mark.parametrize("options,arguments", [
    ({}, []),
    ({"shapes": "visemes", "fps": 30}, ["--shapes", "visemes", "--fps", "30"]),
    ({"attack_ms": 0, "release_ms": 0, "sharpness": 1.5, "silence_db": -45},
     ["--attack", "0", "--release", "0", "--sharpness", "1.5", "--silence", "-45"]),
    ({"clean_noise": False}, ["--keep-noise"]),
    ({"ipa": "ˈɑː ˈiː ˈuː ˈeɪ ˈoʊ"}, ["--ipa", "ˈɑː ˈiː ˈuː ˈeɪ ˈoʊ"]),
])
def test_curves_file_writes_what_the_tool_writes(options, arguments):
    curves = vocetta.curves_file(SAMPLE, **options)
    for fmt in vocetta.CURVE_FORMATS:
        assert curves.to_string(fmt) == tool("analyze", "-q", "--curves", "-f", fmt, SAMPLE,
                                             *arguments), fmt


def test_a_rigs_curves_are_the_tools_and_mix_the_shapes(tmp_path):
    curves = vocetta.curves_file(SAMPLE, shapes="visemes")
    for fmt in vocetta.CURVE_FORMATS:
        assert curves.to_string(fmt, rig="arkit") == tool(
            "analyze", "-q", "--curves", "--rig", "arkit", "-f", fmt, SAMPLE), fmt
    face = curves.rig_curves("arkit")
    assert list(face)[:3] == ["jawOpen", "mouthFunnel", "mouthPucker"]
    mix = json.loads(open(os.path.join(SOURCE, "rigs", "arkit.json")).read())["curves"]["jawOpen"]
    expected = sum(factor * curves.weight(shape) for shape, factor in mix.items())
    np.testing.assert_allclose(face["jawOpen"], np.clip(expected, 0, 1), atol=1e-6)
    vrm = vocetta.load_rig("vrm")
    assert vrm.curve_names == ["aa", "ih", "ou", "ee", "oh"] and vrm.shapes == "visemes"
    np.testing.assert_array_equal(curves.rig_curves(vrm)["ee"], curves.weight("E"))
    curves.save(tmp_path / "face.json", rig="arkit")
    assert json.loads((tmp_path / "face.json").read_text())["metadata"]["rig"] == "arkit"
    (tmp_path / "mine.json").write_text('{"rig": "mine", "shapeSet": "visemes", '
                                        '"curves": {"Jaw": {"aa": 2, "jaw": -1}}}')
    mine = curves.rig_curves(tmp_path / "mine.json")["Jaw"]
    np.testing.assert_allclose(mine, np.clip(2 * curves.weight("aa") - curves.jaw, 0, 1),
                               atol=1e-6)
    with pytest.raises(vocetta.CueError, match="not the cartoon set"):
        vocetta.curves_file(SAMPLE).rig_curves("arkit")
    with pytest.raises(vocetta.CueError, match="'face' is no built-in rig"):
        vocetta.load_rig("face")


def test_curves_rest_in_pauses_and_save_refuses_mistakes(tmp_path):
    samples, rate = vocetta.read_audio(SAMPLE)
    curves = vocetta.curves(samples, rate, sound_file="line.flac")
    assert len(curves) == math.floor(len(samples) / rate * 24) + 1
    assert curves.weights.shape == (len(curves), 9) and curves.weights.dtype == np.float32
    assert curves.time[1] == pytest.approx(1 / 24)
    assert curves.weight("X")[0] == 1 and curves.jaw[0] == 0  # rest before the first frame
    speaking = curves.jaw > 0.8
    assert speaking.any() and (curves.weight("X")[speaking] < 0.5).all()
    with pytest.raises(vocetta.ShapeError, match="no shape 'sil'"):
        curves.weight("sil")
    curves.save(tmp_path / "line.json")
    assert json.loads((tmp_path / "line.json").read_text())["metadata"]["soundFile"] == "line.flac"
    with pytest.raises(ValueError, match=r"line\.tsv: the extension says tsv"):
        curves.save(tmp_path / "line.tsv", format="csv")
    with pytest.raises(ValueError, match="name the format"):
        curves.save(tmp_path / "line.curves")
    with pytest.raises(ValueError, match="fps must lie between"):
        vocetta.curves(samples, rate, fps=0)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["line.json"]


# --- streaming --------------------------------------------------------------------------------


def push_in_pieces(analyzer, samples, seed):
    sizes = np.random.default_rng(seed).integers(1, 3000, size=len(samples))
    start, pieces = 0, []
    for size in sizes:
        if start >= len(samples):
            break
        pieces.append(analyzer.push(samples[start:start + size]))
        start += size
        yield pieces[-1]
    analyzer.finish()


@pytest.mark.parametrize("lag_ms, lag_frames", [(0, 0), (vocetta.DEFAULT_LAG_MS, 2), (44, 4)])
def test_streaming_labels_with_smoothing_are_the_tools_from_a_pipe(tmp_path, lag_ms, lag_frames):
    path = sample_wav(tmp_path)
    samples, rate = vocetta.read_audio(path)
    analyzer = vocetta.Analyzer(sample_rate=rate, smoothing=True, gate_db=-30, lag_ms=lag_ms)
    times = []
    for frames in push_in_pieces(analyzer, samples, 3):
        # Every push returns the frames whose labels are known: all but the lag's newest.
        assert analyzer._native.count - analyzer._native.ready == min(lag_frames,
                                                                      analyzer._native.count)
        times.extend(frames.time)
    assert len(times) == analyzer._native.count - lag_frames
    rows = [line.split(",") for line in tool("analyze", "-q", "-", "--keep-noise", "--lag",
                                             str(lag_ms), stdin=path.read_bytes()).splitlines()[1:]]
    labels = analyzer.frames.phoneme
    assert labels == [row[1] for row in rows]
    assert times == pytest.approx([float(row[0]) for row in rows[:len(times)]], abs=1e-3)
    # Finishing again labels nothing twice. A stream that goes on after its end labels its new
    # frames as the tool labels the whole: all but the lag's frames before the first end, which
    # that end labelled from what had come.
    assert len(analyzer.finish().time) == 0 and len(analyzer.frames.phoneme) == len(rows)
    end = len(rows)
    analyzer.push(samples[:rate // 2])
    analyzer.finish()
    longer = sample_wav(tmp_path, np.concatenate([samples, samples[:rate // 2]]), "longer.wav")
    whole = [line.split(",")[1] for line in tool("analyze", "-q", "-", "--keep-noise", "--lag",
                                                 str(lag_ms),
                                                 stdin=longer.read_bytes()).splitlines()[1:]]
    assert len(analyzer.frames.phoneme) == len(whole) > end
    assert analyzer.frames.phoneme[end:] == whole[end:]
    # Smoothing holds phonemes longer than frame-by-frame labels do.
    plain = vocetta.Analyzer(sample_rate=rate, gate_db=-30)
    plain.push(samples)
    changes = lambda names: sum(a != b for a, b in zip(names, names[1:]))
    assert changes(labels) < changes(plain.frames.phoneme)


def test_streaming_with_noise_cleaned_labels_as_the_tool_from_a_pipe(tmp_path):
    samples, rate = vocetta.read_audio(sample_wav(tmp_path))
    noise = np.random.default_rng(5).normal(0.0, 0.01, len(samples)).astype(np.float32)
    path = sample_wav(tmp_path, samples + noise, "noisy.wav")
    noisy, _ = vocetta.read_audio(path)
    analyzer = vocetta.Analyzer(sample_rate=rate, smoothing=True, gate_db=-30, clean_noise=True)
    for _ in push_in_pieces(analyzer, noisy, 4):
        pass
    assert analyzer.pushed == len(noisy)
    rows = [line.split(",") for line in tool("analyze", "-q", "-",
                                             stdin=path.read_bytes()).splitlines()[1:]]
    assert analyzer.frames.phoneme == [row[1] for row in rows]
    assert analyzer.frames.volume == pytest.approx([float(row[2]) for row in rows], rel=1e-5)
    # The cleaning is what made these labels: without it the pauses' noise is louder.
    plain = vocetta.Analyzer(sample_rate=rate, smoothing=True, gate_db=-30)
    plain.push(noisy)
    plain.finish()
    assert np.min(analyzer.frames.volume) < 0.5 * np.min(plain.frames.volume)


def test_a_live_gate_under_the_level_hears_a_quiet_microphone():
    samples, rate = vocetta.read_audio(SAMPLE)
    def frames(audio, **gate):
        analyzer = vocetta.Analyzer(sample_rate=rate, smoothing=True, mouth="cartoon", **gate)
        analyzer.push(audio)
        analyzer.finish()
        return analyzer.frames
    loud = frames(samples, gate_db=-30)
    quiet = frames(samples / 32, gate_db=-30)  # 30 dB down, heard alike
    assert quiet.phoneme == loud.phoneme and len(set(loud.phoneme)) > 3
    # Once the labels have heard a tenth of a second of speech (by 0.2 s here) and the smoothing
    # has caught up, the mouth rests under the same gate and opens its jaw as far: both levels
    # followed.
    time = np.asarray(loud.time)
    heard = time > 0.4
    assert np.max(loud.jaw) > 0.5
    assert np.asarray(quiet.jaw)[heard] == pytest.approx(np.asarray(loud.jaw)[heard], abs=1e-4)
    assert np.asarray(quiet.shape)[heard].tolist() == np.asarray(loud.shape)[heard].tolist()
    # Before, it keeps its own fixed levels: the quiet line's first vowel is under -40 dBFS.
    early = time < 0.15
    assert np.max(np.asarray(quiet.jaw)[early]) < 0.05 < np.max(np.asarray(loud.jaw)[early])
    # A room's noise alone sets the level 30 dB over the gate, yet the mouth rests in it.
    noise = np.random.default_rng(5).standard_normal(3 * rate).astype(np.float32) * 10 ** (-50 / 20)
    room = frames(noise, gate_db=-30)
    assert set(room.phoneme) == {vocetta.SILENCE}
    assert set(room.shape) == {"X"} and np.max(room.jaw) < 0.01
    mouth = vocetta.MouthShapes()
    with pytest.raises(vocetta.ShapeError):
        mouth.set_volumes(0.1, 0.05)
    fixed = frames(samples / 32, silence_db=-40)
    assert fixed.phoneme.count(vocetta.SILENCE) > 0.9 * len(fixed.phoneme)
    for bad in [{"gate_db": 5}, {"gate_db": -30, "level_window": 0}]:
        with pytest.raises(ValueError):
            vocetta.Analyzer(sample_rate=rate, **bad)


def test_a_lag_without_smoothing_waits_for_nothing():
    samples, rate = vocetta.read_audio(SAMPLE)
    analyzer = vocetta.Analyzer(sample_rate=rate, lag_ms=100)
    assert len(analyzer.push(samples).time) == analyzer._native.count
    with pytest.raises(ValueError, match="lag_ms"):
        vocetta.Analyzer(sample_rate=rate, smoothing=True, lag_ms=-1)


def test_a_live_mouth_gives_the_tools_cues_and_its_weights_after_every_push(tmp_path):
    samples, rate = vocetta.read_audio(SAMPLE)
    # The tool's cues follow the frames at once; with a fixed gate at -40 dBFS its mouth rests
    # below 0.01 and opens fully at 0.25, the SDK's defaults. Sharpness, margins and dips are the
    # cues'.
    d = vocetta.CUE_DEFAULTS
    mouth = vocetta.MouthShapes(attack_ms=0, release_ms=0, sharpness=d["sharpness"],
                                closed_margin=d["closed_margin"], lip_margin=d["lip_margin"],
                                closed_dip_db=d["closed_dip_db"], lip_dip_db=d["lip_dip_db"],
                                dip_window_ms=d["dip_window_ms"])
    analyzer = vocetta.Analyzer(sample_rate=rate, mouth=mouth)
    assert analyzer.mouth is mouth
    for new in push_in_pieces(analyzer, samples, 5):
        if len(new):
            np.testing.assert_array_equal(mouth.weights, new.weights[-1])
            assert mouth.jaw == new.jaw[-1] and mouth.shape == new.shape[-1]
    frames = analyzer.frames
    assert frames.weights.shape == (len(frames), 9) and frames.shape_names == list("ABCDEFGHX")
    # The tool's cues know the whole line: they also rest where its labels say silence, which a
    # live mouth cannot wait for. Told those labels, the same mouth gives the same cues.
    labels = vocetta.analyze(samples, rate, silence_db=-40, clean_noise=False).phoneme
    told = vocetta.MouthShapes(attack_ms=0, release_ms=0, sharpness=d["sharpness"],
                               closed_margin=d["closed_margin"], lip_margin=d["lip_margin"],
                               closed_dip_db=d["closed_dip_db"], lip_dip_db=d["lip_dip_db"],
                               dip_window_ms=d["dip_window_ms"])
    shown = []
    for i in range(len(frames)):
        told.update(frames.scores[i], frames.volume[i], frames.hop,
                    silence=labels[i] == vocetta.SILENCE)
        shown.append(told.shape)
    expected = tool("analyze", "-q", "--cues", "--silence", "-40", "--keep-noise", SAMPLE)
    assert vocetta.build_cues(frames.time, shown, len(samples) / rate).to_string() == expected
    live = vocetta.build_cues(frames.time, frames.shape, len(samples) / rate).to_string()
    assert live != expected and shown != frames.shape
    assert sum(a != b for a, b in zip(shown, frames.shape)) < 0.02 * len(shown)


def test_run_over_frames_equals_the_live_mouth():
    samples, rate = vocetta.read_audio(SAMPLE)
    live = vocetta.Analyzer(sample_rate=rate, mouth="visemes")
    live.push(samples)
    offline = vocetta.MouthShapes(shapes="visemes").run(
        vocetta.analyze(samples, rate, clean_noise=False))
    np.testing.assert_array_equal(offline.weights, live.frames.weights)
    np.testing.assert_array_equal(offline.jaw, live.frames.jaw)
    assert offline.shape == live.frames.shape
    part = offline[10:20]
    assert part.shape == offline.shape[10:20] and part.weights.shape == (10, 15)
    with pytest.raises(ValueError, match="another profile"):
        shipped = json.load(open(DEFAULT_PROFILE))
        del shipped["phonemes"][-1]
        vocetta.Analyzer(mouth=vocetta.MouthShapes(
            vocetta._vocetta.parse_profile(json.dumps(shipped), "eight.json")))
