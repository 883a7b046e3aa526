//! The binding against the built C interface: its errors and what it reads back. The library
//! under test is $VOCETTA_TEST_LIBRARY (the build's libvocetta.so).
use std::path::{Path, PathBuf};

use vocetta::{BakeSettings, Cues, Curves, Host, Rig, ShapeSet, Status, VoiceSettings};

fn library() -> PathBuf {
    PathBuf::from(
        std::env::var("VOCETTA_TEST_LIBRARY").expect("VOCETTA_TEST_LIBRARY names libvocetta.so"),
    )
}

fn scratch(name: &str, text: &str) -> PathBuf {
    let folder = std::env::temp_dir().join(format!("vocetta-rust-{}", std::process::id()));
    std::fs::create_dir_all(&folder).unwrap();
    let path = folder.join(name);
    std::fs::write(&path, text).unwrap();
    path
}

#[test]
fn failures_are_errors_naming_what_failed() {
    let missing = Host::open(Some(Path::new("/nowhere/libvocetta.so")), None).err().unwrap();
    assert_eq!(missing.status, Status::Library);
    assert!(missing.message.contains("/nowhere/libvocetta.so"), "{}", missing);
    let profile =
        Host::open(Some(&library()), Some(Path::new("/nowhere/actor.json"))).err().unwrap();
    assert_eq!(profile.status, Status::Profile);
    assert!(profile.message.contains("/nowhere/actor.json"), "{}", profile);
    let host = Host::open(Some(&library()), None).unwrap();
    let no_rate = host.voice(&VoiceSettings::new(0, ShapeSet::Cartoon)).err().unwrap();
    assert_eq!(no_rate.status, Status::Argument);
    assert!(no_rate.message.starts_with("sample_rate: 0 Hz"), "{}", no_rate);
}

#[test]
fn labels_and_shapes_are_named() {
    let host = Host::open(Some(&library()), None).unwrap();
    let labels = host.label_names();
    assert_eq!(labels.last(), Some(&"sil"));
    assert_eq!(host.label_name(labels.len()), None);
    assert_eq!(ShapeSet::Cartoon.shape_count(), 9);
    assert_eq!(ShapeSet::Cartoon.shape_name(ShapeSet::Cartoon.rest_shape()), Some("X"));
    assert_eq!(ShapeSet::Visemes.shape_name(0), Some("sil"));
    assert_eq!(ShapeSet::Visemes.shape_name(15), None);
}

#[test]
fn a_voice_hears_a_buzz_and_a_panic_comes_back_out() {
    let host = Host::open(Some(&library()), None).unwrap();
    let mut voice = host.voice(&VoiceSettings::new(16_000, ShapeSet::Visemes)).unwrap();
    assert_eq!(voice.hop(), 160);
    let buzz: Vec<f32> = (0..16_000)
        .map(|i| (0.2 * (2.0 * std::f64::consts::PI * 150.0 * i as f64 / 16_000.0).sin()) as f32)
        .collect();
    let (mut frames, mut labels) = (0, 0);
    voice
        .push(&buzz, |frame| {
            if frame.shape.is_some() {
                assert_eq!(frame.weights.len(), ShapeSet::Visemes.shape_count());
                frames += 1;
            }
            labels += frame.label.is_some() as usize;
        })
        .unwrap();
    voice
        .finish(|frame| {
            frames += frame.shape.is_some() as usize;
            labels += frame.label.is_some() as usize;
        })
        .unwrap();
    assert!(frames >= 95, "{} frames", frames);
    assert_eq!(labels, frames, "every frame's label settles, the last ones at the end");
    // A callback that panics does not unwind through the library; the push raises it after.
    let raised = std::panic::catch_unwind(std::panic::AssertUnwindSafe(|| {
        let _ = voice.push(&buzz, |_| panic!("the game's own fault"));
    }));
    assert!(raised.is_err());
    voice.push(&buzz[..1600], |_| {}).unwrap();
}

#[test]
fn baked_cues_and_curves_play_back() {
    let cues = scratch(
        "cues.json",
        r#"{"metadata": {"soundFile": "line.wav", "duration": 1.5}, "mouthCues": [
            {"start": 0.00, "end": 0.25, "value": "X"},
            {"start": 0.25, "end": 0.50, "value": "D"},
            {"start": 0.60, "end": 1.25, "value": "A"}]}"#,
    );
    let track = Cues::open(&cues, ShapeSet::Cartoon).unwrap();
    assert_eq!(track.duration(), 1.5);
    let shape = |name| (0..9).find(|&s| ShapeSet::Cartoon.shape_name(s) == Some(name)).unwrap();
    assert_eq!(track.cues()[2], vocetta::Cue { start: 0.6, end: 1.25, shape: shape("A") });
    assert_eq!(track.shape_at(0.3), shape("D"));
    assert_eq!(track.shape_at(0.55), shape("X"));
    let wrong = Cues::open(&cues, ShapeSet::Visemes).err().unwrap();
    assert_eq!(wrong.status, Status::File);
    assert!(
        wrong.message.ends_with("mouthCues[0].value: 'X' is not a shape of the visemes set"),
        "{}",
        wrong
    );

    let mut text = String::from(
        r#"{"metadata": {"duration": 0.1, "fps": 10, "shapeSet": "cartoon", "frames": 2}, "curves": {"jaw": [0, 1]"#,
    );
    for name in ["A", "B", "C", "D", "E", "F", "G", "H", "X"] {
        text += &format!(r#", "{}": {}"#, name, if name == "D" { "[1, 0.5]" } else { "[0, 0]" });
    }
    text += "}}";
    let curves = Curves::open(&scratch("curves.json", &text)).unwrap();
    assert_eq!(
        (curves.shape_set(), curves.fps(), curves.frame_count()),
        (ShapeSet::Cartoon, 10, 2)
    );
    let mut weights = [0.0f32; 9];
    assert_eq!(curves.sample(0.05, &mut weights), 0.5);
    assert_eq!(weights[shape("D")], 0.75);
    let none = Curves::open(Path::new("/nowhere/curves.json")).err().unwrap();
    assert_eq!(none.message, "/nowhere/curves.json: no such curve file");
}

#[test]
fn a_line_baked_in_memory_saves_as_the_tool_writes_it() {
    let host = Host::open(Some(&library()), None).unwrap();
    // Half a second of quiet, a second of a buzz, half a second of quiet.
    let line: Vec<f32> = (0..32_000)
        .map(|i| {
            let t = i as f64 / 16_000.0;
            let on = (8_000..24_000).contains(&i) as i32 as f64;
            (on * 0.2 * (2.0 * std::f64::consts::PI * 150.0 * t).sin()) as f32
        })
        .collect();
    let mut settings = BakeSettings::new(16_000, ShapeSet::Visemes);
    settings.ipa = Some("ɑ".into());
    settings.sound_file = Some("line.wav".into());
    let cues = host.bake_cues(&line, &settings).unwrap();
    assert_eq!(cues.duration(), 2.0);
    let baked = cues.cues();
    assert_eq!(baked.first().unwrap().shape, ShapeSet::Visemes.rest_shape());
    assert!(baked.iter().any(|cue| ShapeSet::Visemes.shape_name(cue.shape) == Some("aa")));
    let path = scratch("baked.json", "mine");
    let kept = cues.save(&path, false).err().unwrap();
    assert_eq!(kept.status, Status::File);
    assert!(kept.message.contains("already exists"), "{}", kept);
    assert_eq!(std::fs::read_to_string(&path).unwrap(), "mine");
    cues.save(&path, true).unwrap();
    assert!(std::fs::read_to_string(&path).unwrap().contains("\"soundFile\": \"line.wav\""));
    assert_eq!(Cues::open(&path, ShapeSet::Visemes).unwrap().cues(), baked);
    let curves = host.bake_curves(&line, &settings, 30).unwrap();
    assert_eq!(
        (curves.fps(), curves.shape_set(), curves.frame_count()),
        (30, ShapeSet::Visemes, 61)
    );
    curves.save(&path, true).unwrap();
    assert_eq!(Curves::open(&path).unwrap().frame_count(), 61);

    // The baked curves' mouth keys an ARKit face: a frame of "aa" opens its jaw.
    let rig = Rig::open("arkit").unwrap();
    assert_eq!(rig.shape_set(), ShapeSet::Visemes);
    assert_eq!(rig.curve_names()[0], "jawOpen");
    let mut weights = vec![0.0; ShapeSet::Visemes.shape_count()];
    let jaw = curves.sample(1.0, &mut weights);
    let mut keys = vec![-1.0; rig.curve_names().len()];
    rig.mix(&weights, jaw, &mut keys);
    assert!(keys.iter().all(|key| (0.0..=1.0).contains(key)), "{:?}", keys);
    assert!(keys[0] > 0.3, "jawOpen {} in a second of a buzz", keys[0]);
    let none = Rig::open("face").err().unwrap();
    assert_eq!(none.status, Status::File);
    assert!(none.message.contains("no built-in rig"), "{}", none);

    settings.ipa = Some("ttt".into());
    assert_eq!(host.bake_cues(&line, &settings).err().unwrap().status, Status::Transcript);
    // A speaker's name alone says nothing, and needs no phonemiser to tell.
    settings.ipa = None;
    settings.text = Some("Mae: (sighs)".into());
    settings.speaker_names = true;
    let named = host.bake_cues(&line, &settings).err().unwrap();
    assert_eq!(named.status, Status::Transcript);
    assert!(named.message.contains("only a speaker's name"), "{}", named);
    let slow = BakeSettings::new(8_000, ShapeSet::Cartoon);
    assert_eq!(host.bake_cues(&line, &slow).err().unwrap().status, Status::Profile);
    assert_eq!(host.bake_curves(&line, &slow, 0).err().unwrap().status, Status::Argument);
}
