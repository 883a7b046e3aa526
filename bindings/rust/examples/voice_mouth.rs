//! A character's live mouth through the Rust binding: what examples/voice_mouth.c does in C,
//! printing the same rows for the same audio.
//!
//!     voice_mouth LIBRARY AUDIO.wav [--keep-noise]
//!
//! AUDIO is a 16-bit PCM WAV standing in for a microphone, handed over 10 ms at a time as a
//! capture callback would hand it. One CSV row per frame: its time, its settled phoneme label,
//! the mouth shape shown then and how far the jaw was open.
use std::collections::HashMap;
use std::path::Path;
use std::process::ExitCode;

use vocetta::{Host, ShapeSet, VoiceSettings};

/// The samples of a 16-bit PCM WAV, mixed to mono as libsndfile mixes them, and its rate.
fn read_wav(path: &str) -> Result<(Vec<f32>, u32), String> {
    let bytes = std::fs::read(path).map_err(|error| format!("{}: {}", path, error))?;
    let word = |at: usize| u16::from_le_bytes([bytes[at], bytes[at + 1]]);
    let long =
        |at: usize| u32::from_le_bytes([bytes[at], bytes[at + 1], bytes[at + 2], bytes[at + 3]]);
    if bytes.len() < 12 || &bytes[0..4] != b"RIFF" || &bytes[8..12] != b"WAVE" {
        return Err(format!("{}: not a WAV file", path));
    }
    let (mut channels, mut rate, mut data) = (0usize, 0u32, None);
    let mut at = 12;
    while at + 8 <= bytes.len() {
        let size = long(at + 4) as usize;
        let body = at + 8..(at + 8 + size).min(bytes.len());
        match &bytes[at..at + 4] {
            b"fmt " if size >= 16 => {
                if word(at + 8) != 1 || word(at + 22) != 16 {
                    return Err(format!("{}: not 16-bit PCM", path));
                }
                channels = word(at + 10) as usize;
                rate = long(at + 12);
            }
            b"data" => data = Some(body),
            _ => {}
        }
        at += 8 + size + size % 2;
    }
    let data = data.ok_or_else(|| format!("{}: no samples", path))?;
    if channels == 0 {
        return Err(format!("{}: no format", path));
    }
    let pcm: Vec<i16> =
        bytes[data].chunks_exact(2).map(|pair| i16::from_le_bytes([pair[0], pair[1]])).collect();
    let scale = 1.0f32 / 32768.0;
    let mono = pcm
        .chunks_exact(channels)
        .map(|frame| frame.iter().fold(0.0f32, |sum, &s| sum + s as f32 * scale) / channels as f32)
        .collect();
    Ok((mono, rate))
}

/// C's "%g": six significant digits, trailing zeros left out.
fn general(value: f64) -> String {
    if value == 0.0 {
        return "0".to_string();
    }
    let exponent = value.abs().log10().floor() as i32;
    if !(-5..6).contains(&exponent) {
        return format!("{:e}", value);
    }
    let text = format!("{:.*}", (5 - exponent).max(0) as usize, value);
    if text.contains('.') {
        text.trim_end_matches('0').trim_end_matches('.').to_string()
    } else {
        text
    }
}

fn run(arguments: &[String]) -> Result<(), String> {
    let keep_noise = arguments.len() == 4 && arguments[3] == "--keep-noise";
    if arguments.len() != 3 && !keep_noise {
        return Err("usage: voice_mouth LIBRARY AUDIO.wav [--keep-noise]".to_string());
    }
    let (samples, rate) = read_wav(&arguments[2])?;

    // Once, when the character is set up.
    let host = Host::open(Some(Path::new(&arguments[1])), None).map_err(|e| e.to_string())?;
    let set = ShapeSet::Cartoon;
    let settings = VoiceSettings { clean_noise: !keep_noise, ..VoiceSettings::new(rate, set) };
    let mut voice = host.voice(&settings).map_err(|e| e.to_string())?;

    // What the mouth showed at each frame, kept until the frame's label is settled.
    let mut shown: HashMap<u64, (usize, f32)> = HashMap::new();
    let mut on_frame = |frame: &vocetta::Frame<'_>| {
        if let Some(shape) = frame.shape {
            shown.insert(frame.time.to_bits(), (shape, frame.jaw));
        }
        if let Some((label, time)) = frame.label {
            if let Some((shape, jaw)) = shown.remove(&time.to_bits()) {
                println!(
                    "{},{},{},{:.3}",
                    general(time),
                    host.label_name(label).unwrap_or("?"),
                    set.shape_name(shape).unwrap_or("?"),
                    jaw
                );
            }
        }
    };
    println!("time,phoneme,shape,jaw");
    // The capture callback's blocks, then the end of the line.
    let hop = voice.hop();
    for block in samples.chunks(hop) {
        voice.push(block, &mut on_frame).map_err(|e| e.to_string())?;
    }
    voice.finish(&mut on_frame).map_err(|e| e.to_string())?;
    Ok(())
}

fn main() -> ExitCode {
    let arguments: Vec<String> = std::env::args().collect();
    match run(&arguments) {
        Ok(()) => ExitCode::SUCCESS,
        Err(message) => {
            eprintln!("voice_mouth: {}", message);
            ExitCode::FAILURE
        }
    }
}
