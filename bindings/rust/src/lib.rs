//! A character's live mouth from captured speech, and baked lines played back, through
//! Vocetta's C interface (`vocetta/voice.h`, `libvocetta_voice.so`): the host SDK's live
//! pipeline frame for frame (the noise cleaned out when asked, the lip-sync job over each
//! 10 ms frame, the labels smoothed under a gate that follows the speaker, the mouth's shapes,
//! weights and jaw); recorded lines baked as `vocetta analyze` bakes them ([`Host::bake_cues`],
//! [`Host::bake_curves`]), and the cue and curve files it writes played back.
//!
//! ```no_run
//! use vocetta::{Host, ShapeSet, VoiceSettings};
//! let host = Host::open(None, None)?;                 // libvocetta.so and the built-in profile
//! let mut voice = host.voice(&VoiceSettings::new(48_000, ShapeSet::Visemes))?;
//! # let samples = vec![0.0f32; 480];
//! voice.push(&samples, |frame| {
//!     if let Some(shape) = frame.shape {              // the shape to show now
//!         println!("{} {}", frame.time, ShapeSet::Visemes.shape_name(shape).unwrap());
//!     }
//! })?;
//! # Ok::<(), vocetta::Error>(())
//! ```
//!
//! Nothing here allocates while a voice is pushed blocks of at most its hop, and no call
//! panics on what the library reports: every failure is an [`Error`] whose message names the
//! file or value and the problem.

use std::ffi::{CStr, CString};
use std::fmt;
use std::os::raw::{c_char, c_int, c_void};
use std::path::Path;
use std::ptr;

mod sys {
    use std::os::raw::{c_char, c_double, c_float, c_int, c_void};

    pub enum Host {}
    pub enum Voice {}
    pub enum Cues {}
    pub enum Curves {}
    pub enum Rig {}

    #[repr(C)]
    pub struct VoiceSettings {
        pub sample_rate: c_int,
        pub hop_samples: c_int,
        pub shape_set: c_int,
        pub clean_noise: c_int,
    }

    #[repr(C)]
    pub struct VoiceFrame {
        pub time: c_double,
        pub volume: c_float,
        pub shape: c_int,
        pub jaw: c_float,
        pub weights: *const c_float,
        pub shape_count: c_int,
        pub label: c_int,
        pub label_time: c_double,
    }

    pub type Callback = Option<unsafe extern "C" fn(user: *mut c_void, frame: *const VoiceFrame)>;

    #[repr(C)]
    pub struct BakeSettings {
        pub sample_rate: c_int,
        pub shape_set: c_int,
        pub keep_noise: c_int,
        pub text: *const c_char,
        pub language: *const c_char,
        pub literal_text: c_int,
        pub speaker_names: c_int,
        pub ipa: *const c_char,
        pub sound_file: *const c_char,
    }

    #[link(name = "vocetta_voice")]
    extern "C" {
        pub fn vocetta_host_open(
            library_path: *const c_char,
            profile_path: *const c_char,
            host: *mut *mut Host,
            message: *mut c_char,
            message_size: usize,
        ) -> c_int;
        pub fn vocetta_host_close(host: *mut Host);
        pub fn vocetta_host_label_count(host: *const Host) -> c_int;
        pub fn vocetta_host_label_name(host: *const Host, label: c_int) -> *const c_char;
        pub fn vocetta_shape_count(set: c_int) -> c_int;
        pub fn vocetta_shape_name(set: c_int, shape: c_int) -> *const c_char;
        pub fn vocetta_rest_shape(set: c_int) -> c_int;
        pub fn vocetta_voice_create(
            host: *const Host,
            settings: *const VoiceSettings,
            voice: *mut *mut Voice,
            message: *mut c_char,
            message_size: usize,
        ) -> c_int;
        pub fn vocetta_voice_free(voice: *mut Voice);
        pub fn vocetta_voice_push(
            voice: *mut Voice,
            samples: *const c_float,
            count: usize,
            on_frame: Callback,
            user: *mut c_void,
        ) -> c_int;
        pub fn vocetta_voice_finish(
            voice: *mut Voice,
            on_frame: Callback,
            user: *mut c_void,
        ) -> c_int;
        pub fn vocetta_voice_lag(voice: *const Voice) -> c_int;
        pub fn vocetta_voice_hop(voice: *const Voice) -> c_int;
        pub fn vocetta_cues_open(
            path: *const c_char,
            set: c_int,
            cues: *mut *mut Cues,
            message: *mut c_char,
            message_size: usize,
        ) -> c_int;
        pub fn vocetta_cues_close(cues: *mut Cues);
        pub fn vocetta_cues_duration(cues: *const Cues) -> c_double;
        pub fn vocetta_cues_count(cues: *const Cues) -> c_int;
        pub fn vocetta_cues_get(
            cues: *const Cues,
            index: c_int,
            start: *mut c_double,
            end: *mut c_double,
        ) -> c_int;
        pub fn vocetta_cues_shape_at(cues: *const Cues, seconds: c_double) -> c_int;
        pub fn vocetta_curves_open(
            path: *const c_char,
            curves: *mut *mut Curves,
            message: *mut c_char,
            message_size: usize,
        ) -> c_int;
        pub fn vocetta_curves_close(curves: *mut Curves);
        pub fn vocetta_curves_shape_set(curves: *const Curves) -> c_int;
        pub fn vocetta_curves_fps(curves: *const Curves) -> c_int;
        pub fn vocetta_curves_frame_count(curves: *const Curves) -> c_int;
        pub fn vocetta_curves_duration(curves: *const Curves) -> c_double;
        pub fn vocetta_curves_sample(
            curves: *const Curves,
            seconds: c_double,
            weights: *mut c_float,
            weight_count: c_int,
        ) -> c_float;
        pub fn vocetta_rig_open(
            name: *const c_char,
            rig: *mut *mut Rig,
            message: *mut c_char,
            message_size: usize,
        ) -> c_int;
        pub fn vocetta_rig_close(rig: *mut Rig);
        pub fn vocetta_rig_shape_set(rig: *const Rig) -> c_int;
        pub fn vocetta_rig_curve_count(rig: *const Rig) -> c_int;
        pub fn vocetta_rig_curve_name(rig: *const Rig, index: c_int) -> *const c_char;
        pub fn vocetta_rig_mix(
            rig: *const Rig,
            weights: *const c_float,
            weight_count: c_int,
            jaw: c_float,
            values: *mut c_float,
            value_count: c_int,
        );
        pub fn vocetta_cues_bake(
            host: *const Host,
            samples: *const c_float,
            count: usize,
            settings: *const BakeSettings,
            cues: *mut *mut Cues,
            message: *mut c_char,
            message_size: usize,
        ) -> c_int;
        pub fn vocetta_curves_bake(
            host: *const Host,
            samples: *const c_float,
            count: usize,
            settings: *const BakeSettings,
            fps: c_int,
            curves: *mut *mut Curves,
            message: *mut c_char,
            message_size: usize,
        ) -> c_int;
        pub fn vocetta_cues_save(
            cues: *const Cues,
            path: *const c_char,
            replace: c_int,
            message: *mut c_char,
            message_size: usize,
        ) -> c_int;
        pub fn vocetta_curves_save(
            curves: *const Curves,
            path: *const c_char,
            replace: c_int,
            message: *mut c_char,
            message_size: usize,
        ) -> c_int;
    }
}

/// What went wrong, as the C interface's status says it.
#[derive(Clone, Copy, Debug, PartialEq, Eq)]
pub enum Status {
    /// A value out of its range.
    Argument,
    /// libvocetta.so could not be opened or initialised.
    Library,
    /// The profile could not be read, or cannot analyse the rate.
    Profile,
    /// Out of memory.
    Memory,
    /// A cue or curve file that cannot be read, written or is not the tool's.
    File,
    /// A line's words or phones that cannot be aligned to it.
    Transcript,
    /// Anything else; the message says what.
    Internal,
}

/// A failure: its status and one sentence naming the file or value and the problem.
#[derive(Clone, Debug, PartialEq, Eq)]
pub struct Error {
    pub status: Status,
    pub message: String,
}

impl fmt::Display for Error {
    fn fmt(&self, out: &mut fmt::Formatter<'_>) -> fmt::Result {
        out.write_str(&self.message)
    }
}

impl std::error::Error for Error {}

const MESSAGE_SIZE: usize = 1024;

// A status code as a Status, None for success.
fn status_of(code: c_int) -> Option<Status> {
    match code {
        0 => None,
        1 => Some(Status::Argument),
        2 => Some(Status::Library),
        3 => Some(Status::Profile),
        4 => Some(Status::Memory),
        6 => Some(Status::File),
        7 => Some(Status::Transcript),
        _ => Some(Status::Internal),
    }
}

// Calls `call` with a message buffer for the interface to explain a failure in.
fn checked(call: impl FnOnce(*mut c_char, usize) -> c_int) -> Result<(), Error> {
    let mut message = [0 as c_char; MESSAGE_SIZE];
    match status_of(call(message.as_mut_ptr(), message.len())) {
        None => Ok(()),
        // The interface always terminates what it writes, cut at a character's start.
        Some(status) => Err(Error {
            status,
            message: unsafe { CStr::from_ptr(message.as_ptr()) }.to_string_lossy().into_owned(),
        }),
    }
}

fn path_text(path: &Path, what: &str) -> Result<CString, Error> {
    CString::new(path.as_os_str().to_string_lossy().as_bytes()).map_err(|_| Error {
        status: Status::Argument,
        message: format!("{}: {} holds a NUL byte", path.display(), what),
    })
}

// A name the library keeps for as long as `'a` (its shape names always, a host's labels while
// it is open).
fn name<'a>(text: *const c_char) -> Option<&'a str> {
    if text.is_null() {
        None
    } else {
        unsafe { CStr::from_ptr(text) }.to_str().ok()
    }
}

/// The shapes a mouth shows.
#[derive(Clone, Copy, Debug, PartialEq, Eq)]
pub enum ShapeSet {
    /// A B C D E F G H X: a mouth chart's drawings.
    Cartoon,
    /// sil PP FF TH DD kk CH SS nn RR aa E ih oh ou: blendshapes.
    Visemes,
}

impl ShapeSet {
    fn code(self) -> c_int {
        match self {
            ShapeSet::Cartoon => 0,
            ShapeSet::Visemes => 1,
        }
    }

    fn from_code(code: c_int) -> ShapeSet {
        if code == 1 {
            ShapeSet::Visemes
        } else {
            ShapeSet::Cartoon
        }
    }

    /// How many shapes the set has: the length of every weight vector.
    pub fn shape_count(self) -> usize {
        unsafe { sys::vocetta_shape_count(self.code()) as usize }
    }

    /// A shape's name, `None` outside the set.
    pub fn shape_name(self, shape: usize) -> Option<&'static str> {
        let shape = c_int::try_from(shape).ok()?;
        name(unsafe { sys::vocetta_shape_name(self.code(), shape) })
    }

    /// The shape a mouth rests in.
    pub fn rest_shape(self) -> usize {
        unsafe { sys::vocetta_rest_shape(self.code()) as usize }
    }
}

/// The library and one profile, shared by every voice made from it.
pub struct Host {
    raw: *mut sys::Host,
}

// The host is read only once open; the C interface lets any number of voices use it at once.
unsafe impl Send for Host {}
unsafe impl Sync for Host {}

impl Host {
    /// Opens libvocetta.so at `library` (`None`: where the SDK looks, `$VOCETTA_LIBRARY` first)
    /// with the profile at `profile` (a JSON profile from `vocetta calibrate` or `vocetta
    /// adapt`; `None`: the built-in one).
    pub fn open(library: Option<&Path>, profile: Option<&Path>) -> Result<Host, Error> {
        let library = library.map(|p| path_text(p, "the library's path")).transpose()?;
        let profile = profile.map(|p| path_text(p, "the profile's path")).transpose()?;
        let mut raw = ptr::null_mut();
        checked(|message, size| unsafe {
            sys::vocetta_host_open(
                library.as_ref().map_or(ptr::null(), |p| p.as_ptr()),
                profile.as_ref().map_or(ptr::null(), |p| p.as_ptr()),
                &mut raw,
                message,
                size,
            )
        })?;
        Ok(Host { raw })
    }

    /// The labels frames get: the profile's phonemes and "sil", by index.
    pub fn label_names(&self) -> Vec<&str> {
        let count = unsafe { sys::vocetta_host_label_count(self.raw) };
        (0..count).filter_map(|label| self.label_name(label as usize)).collect()
    }

    /// A label's name, `None` outside them.
    pub fn label_name(&self, label: usize) -> Option<&str> {
        let label = c_int::try_from(label).ok()?;
        name(unsafe { sys::vocetta_host_label_name(self.raw, label) })
    }

    /// A recorded line's mouth cues, as `vocetta analyze --cues` bakes a file of `samples`
    /// (mono, full scale +-1).
    pub fn bake_cues(&self, samples: &[f32], settings: &BakeSettings) -> Result<Cues, Error> {
        let mut raw = ptr::null_mut();
        settings.bake(|raw_settings, message, size| unsafe {
            sys::vocetta_cues_bake(
                self.raw,
                samples.as_ptr(),
                samples.len(),
                raw_settings,
                &mut raw,
                message,
                size,
            )
        })?;
        Ok(Cues { raw, set: settings.shape_set })
    }

    /// The same line as curves on animation frames at `fps`, as `vocetta analyze --curves`
    /// bakes them.
    pub fn bake_curves(
        &self,
        samples: &[f32],
        settings: &BakeSettings,
        fps: u32,
    ) -> Result<Curves, Error> {
        let mut raw = ptr::null_mut();
        settings.bake(|raw_settings, message, size| unsafe {
            sys::vocetta_curves_bake(
                self.raw,
                samples.as_ptr(),
                samples.len(),
                raw_settings,
                c_int::try_from(fps).unwrap_or(c_int::MAX),
                &mut raw,
                message,
                size,
            )
        })?;
        Ok(Curves { raw })
    }

    /// A voice, one per talking character.
    pub fn voice(&self, settings: &VoiceSettings) -> Result<Voice<'_>, Error> {
        let raw_settings = sys::VoiceSettings {
            sample_rate: c_int::try_from(settings.sample_rate).unwrap_or(c_int::MAX),
            hop_samples: c_int::try_from(settings.hop_samples).unwrap_or(c_int::MAX),
            shape_set: settings.shape_set.code(),
            clean_noise: settings.clean_noise as c_int,
        };
        let mut raw = ptr::null_mut();
        checked(|message, size| unsafe {
            sys::vocetta_voice_create(self.raw, &raw_settings, &mut raw, message, size)
        })?;
        Ok(Voice { raw, host: self, set: settings.shape_set })
    }
}

impl Drop for Host {
    fn drop(&mut self) {
        unsafe { sys::vocetta_host_close(self.raw) }
    }
}

/// How a voice hears its character.
#[derive(Clone, Debug, PartialEq, Eq)]
pub struct VoiceSettings {
    /// Of the samples pushed, at least the profile's analysis rate.
    pub sample_rate: u32,
    /// Samples from one frame to the next; 0: 10 ms.
    pub hop_samples: u32,
    /// The shapes the mouth shows.
    pub shape_set: ShapeSet,
    /// Steady noise taken out first, the frames 32 ms later.
    pub clean_noise: bool,
}

impl VoiceSettings {
    /// 10 ms frames, the noise left in.
    pub fn new(sample_rate: u32, shape_set: ShapeSet) -> VoiceSettings {
        VoiceSettings { sample_rate, hop_samples: 0, shape_set, clean_noise: false }
    }
}

/// How a recorded line is baked: as `vocetta analyze` bakes a file of its samples, with the
/// tool's defaults.
#[derive(Clone, Debug, PartialEq, Eq)]
pub struct BakeSettings {
    /// Of the samples, at least the profile's analysis rate.
    pub sample_rate: u32,
    /// The shapes the cues or curves name.
    pub shape_set: ShapeSet,
    /// Analysed as recorded (`--keep-noise`), not with the steady noise taken out first.
    pub keep_noise: bool,
    /// The line's words as a script writes them (stage directions, markup and Ink or Yarn tags
    /// are left out unless `literal_text`), phonemised by espeak-ng, which the machine that
    /// bakes needs; the labels are aligned to them, as `--text` aligns them.
    pub text: Option<String>,
    /// The espeak-ng voice of `text`; `None`: en-us.
    pub language: Option<String>,
    pub literal_text: bool,
    /// Each line of `text` begins with its speaker's name and a colon, as Yarn writes it
    /// ("Mae: Hi there."), and the name is left out (`--speaker-names`).
    pub speaker_names: bool,
    /// What the line says as IPA phones (`--ipa`), instead of `text`.
    pub ipa: Option<String>,
    /// What the saved files name as their recording.
    pub sound_file: Option<String>,
}

impl BakeSettings {
    /// The audio alone, its noise taken out first, as the tool bakes it.
    pub fn new(sample_rate: u32, shape_set: ShapeSet) -> BakeSettings {
        BakeSettings {
            sample_rate,
            shape_set,
            keep_noise: false,
            text: None,
            language: None,
            literal_text: false,
            speaker_names: false,
            ipa: None,
            sound_file: None,
        }
    }

    // Calls `bake` with the C settings, whose texts live as long as the call, and a message.
    fn bake(
        &self,
        bake: impl FnOnce(&sys::BakeSettings, *mut c_char, usize) -> c_int,
    ) -> Result<(), Error> {
        let text = |value: &Option<String>, what: &str| {
            value
                .as_deref()
                .map(|value| {
                    CString::new(value).map_err(|_| Error {
                        status: Status::Argument,
                        message: format!("{} holds a NUL byte", what),
                    })
                })
                .transpose()
        };
        let pointer = |value: &Option<CString>| value.as_ref().map_or(ptr::null(), |v| v.as_ptr());
        let (words, language) = (text(&self.text, "text")?, text(&self.language, "language")?);
        let (ipa, sound_file) = (text(&self.ipa, "ipa")?, text(&self.sound_file, "sound_file")?);
        let raw = sys::BakeSettings {
            sample_rate: c_int::try_from(self.sample_rate).unwrap_or(c_int::MAX),
            shape_set: self.shape_set.code(),
            keep_noise: self.keep_noise as c_int,
            text: pointer(&words),
            language: pointer(&language),
            literal_text: self.literal_text as c_int,
            speaker_names: self.speaker_names as c_int,
            ipa: pointer(&ipa),
            sound_file: pointer(&sound_file),
        };
        checked(|message, size| bake(&raw, message, size))
    }
}

// Writes with `save`, which reports into a message, the file at `path`.
fn save(
    path: &Path,
    replace: bool,
    save: impl FnOnce(*const c_char, c_int, *mut c_char, usize) -> c_int,
) -> Result<(), Error> {
    let text = path_text(path, "the file's path")?;
    checked(|message, size| save(text.as_ptr(), replace as c_int, message, size))
}

/// One frame of a voice, valid during the callback only.
#[derive(Debug)]
pub struct Frame<'a> {
    /// Seconds from the first pushed sample to the frame's centre.
    pub time: f64,
    /// The frame's RMS.
    pub volume: f32,
    /// The shape to show (an index into the voice's set); `None` in the labels that
    /// [`Voice::finish`] settles after the last frame.
    pub shape: Option<usize>,
    /// How far the jaw is open, 0 closed ... 1 fully.
    pub jaw: f32,
    /// Every shape's smoothed weight; empty where `shape` is `None`.
    pub weights: &'a [f32],
    /// The label settled now, of the frame [`Voice::lag`] frames back, and that frame's time.
    pub label: Option<(usize, f64)>,
}

/// One talking character's analysis and mouth.
pub struct Voice<'h> {
    raw: *mut sys::Voice,
    host: &'h Host,
    set: ShapeSet,
}

// A voice is used by one thread at a time, and may move between them.
unsafe impl Send for Voice<'_> {}

struct Listener<'f> {
    on_frame: &'f mut dyn FnMut(&Frame<'_>),
    panic: Option<Box<dyn std::any::Any + Send>>,
}

unsafe extern "C" fn hear(user: *mut c_void, frame: *const sys::VoiceFrame) {
    let listener = &mut *(user as *mut Listener<'_>);
    if listener.panic.is_some() {
        return;
    }
    let raw = &*frame;
    let weights = if raw.weights.is_null() || raw.shape_count <= 0 {
        &[][..]
    } else {
        std::slice::from_raw_parts(raw.weights, raw.shape_count as usize)
    };
    let frame = Frame {
        time: raw.time,
        volume: raw.volume,
        shape: if raw.shape >= 0 && !raw.weights.is_null() {
            Some(raw.shape as usize)
        } else {
            None
        },
        jaw: raw.jaw,
        weights,
        label: if raw.label >= 0 { Some((raw.label as usize, raw.label_time)) } else { None },
    };
    // A panic must not unwind through the library: it is held, and raised once the call returns.
    let on_frame = &mut listener.on_frame;
    if let Err(panic) =
        std::panic::catch_unwind(std::panic::AssertUnwindSafe(|| (on_frame)(&frame)))
    {
        listener.panic = Some(panic);
    }
}

impl<'h> Voice<'h> {
    fn listened(
        &mut self,
        on_frame: &mut dyn FnMut(&Frame<'_>),
        call: impl FnOnce(*mut sys::Voice, sys::Callback, *mut c_void) -> c_int,
    ) -> Result<(), Error> {
        let mut listener = Listener { on_frame, panic: None };
        let status = call(self.raw, Some(hear), &mut listener as *mut Listener<'_> as *mut c_void);
        if let Some(panic) = listener.panic {
            std::panic::resume_unwind(panic);
        }
        match status_of(status) {
            None => Ok(()),
            Some(status) => Err(Error {
                status,
                message: format!("the voice could not analyse the samples ({:?})", status),
            }),
        }
    }

    /// More samples of the stream, in blocks of any size: `on_frame` hears every frame they
    /// complete, in order.
    pub fn push(
        &mut self,
        samples: &[f32],
        mut on_frame: impl FnMut(&Frame<'_>),
    ) -> Result<(), Error> {
        self.listened(&mut on_frame, |raw, callback, user| unsafe {
            sys::vocetta_voice_push(raw, samples.as_ptr(), samples.len(), callback, user)
        })
    }

    /// Ends the stream: what the cleaner still holds, the last frame, then the labels still
    /// unsettled. The voice then starts a new stream, at time 0 again.
    pub fn finish(&mut self, mut on_frame: impl FnMut(&Frame<'_>)) -> Result<(), Error> {
        self.listened(&mut on_frame, |raw, callback, user| unsafe {
            sys::vocetta_voice_finish(raw, callback, user)
        })
    }

    /// How many frames a label comes after its frame.
    pub fn lag(&self) -> usize {
        unsafe { sys::vocetta_voice_lag(self.raw) as usize }
    }

    /// Samples from one frame to the next.
    pub fn hop(&self) -> usize {
        unsafe { sys::vocetta_voice_hop(self.raw) as usize }
    }

    /// The set its frames' shapes belong to.
    pub fn shape_set(&self) -> ShapeSet {
        self.set
    }

    /// The host it was made from, for its labels' names.
    pub fn host(&self) -> &'h Host {
        self.host
    }
}

impl Drop for Voice<'_> {
    fn drop(&mut self) {
        unsafe { sys::vocetta_voice_free(self.raw) }
    }
}

/// One cue of a baked line: its span in seconds and its shape.
#[derive(Clone, Copy, Debug, PartialEq)]
pub struct Cue {
    pub start: f64,
    pub end: f64,
    pub shape: usize,
}

/// A baked line's mouth cues, as `vocetta analyze --cues -f json` wrote them (or an animator
/// edited them since), played beside its audio.
pub struct Cues {
    raw: *mut sys::Cues,
    set: ShapeSet,
}

unsafe impl Send for Cues {}
unsafe impl Sync for Cues {}

impl Cues {
    /// Reads the cue file at `path`, its shapes named in `set` (the file does not say which).
    pub fn open(path: &Path, set: ShapeSet) -> Result<Cues, Error> {
        let text = path_text(path, "the cue file's path")?;
        let mut raw = ptr::null_mut();
        checked(|message, size| unsafe {
            sys::vocetta_cues_open(text.as_ptr(), set.code(), &mut raw, message, size)
        })?;
        Ok(Cues { raw, set })
    }

    pub fn shape_set(&self) -> ShapeSet {
        self.set
    }

    pub fn duration(&self) -> f64 {
        unsafe { sys::vocetta_cues_duration(self.raw) }
    }

    /// The cues in order.
    pub fn cues(&self) -> Vec<Cue> {
        let count = unsafe { sys::vocetta_cues_count(self.raw) };
        (0..count)
            .map(|index| {
                let (mut start, mut end) = (0.0, 0.0);
                let shape = unsafe { sys::vocetta_cues_get(self.raw, index, &mut start, &mut end) };
                Cue { start, end, shape: shape as usize }
            })
            .collect()
    }

    /// The shape shown at `seconds`: the cue with start <= seconds < end, the rest shape
    /// outside them.
    pub fn shape_at(&self, seconds: f64) -> usize {
        unsafe { sys::vocetta_cues_shape_at(self.raw, seconds) as usize }
    }

    /// Writes the cues as the tool's json file, whole or not at all; a file already at `path`
    /// is replaced only when `replace` says so.
    pub fn save(&self, path: &Path, replace: bool) -> Result<(), Error> {
        save(path, replace, |path, replace, message, size| unsafe {
            sys::vocetta_cues_save(self.raw, path, replace, message, size)
        })
    }
}

impl Drop for Cues {
    fn drop(&mut self) {
        unsafe { sys::vocetta_cues_close(self.raw) }
    }
}

/// A baked line for a rig that blends a blendshape per shape: the curves `vocetta analyze
/// --curves -f json` wrote, every shape's weight and the jaw on each animation frame.
pub struct Curves {
    raw: *mut sys::Curves,
}

unsafe impl Send for Curves {}
unsafe impl Sync for Curves {}

impl Curves {
    pub fn open(path: &Path) -> Result<Curves, Error> {
        let text = path_text(path, "the curve file's path")?;
        let mut raw = ptr::null_mut();
        checked(|message, size| unsafe {
            sys::vocetta_curves_open(text.as_ptr(), &mut raw, message, size)
        })?;
        Ok(Curves { raw })
    }

    pub fn shape_set(&self) -> ShapeSet {
        ShapeSet::from_code(unsafe { sys::vocetta_curves_shape_set(self.raw) })
    }

    pub fn fps(&self) -> u32 {
        unsafe { sys::vocetta_curves_fps(self.raw) as u32 }
    }

    pub fn frame_count(&self) -> usize {
        unsafe { sys::vocetta_curves_frame_count(self.raw) as usize }
    }

    pub fn duration(&self) -> f64 {
        unsafe { sys::vocetta_curves_duration(self.raw) }
    }

    /// The mouth at `seconds`, linear between the animation frames on either side: the jaw,
    /// returned, and the first `weights.len()` shapes' weights.
    pub fn sample(&self, seconds: f64, weights: &mut [f32]) -> f32 {
        let count = c_int::try_from(weights.len()).unwrap_or(c_int::MAX);
        unsafe { sys::vocetta_curves_sample(self.raw, seconds, weights.as_mut_ptr(), count) }
    }

    /// Writes the curves as the tool's json file, as [`Cues::save`] writes cues.
    pub fn save(&self, path: &Path, replace: bool) -> Result<(), Error> {
        save(path, replace, |path, replace, message, size| unsafe {
            sys::vocetta_curves_save(self.raw, path, replace, message, size)
        })
    }
}

impl Drop for Curves {
    fn drop(&mut self) {
        unsafe { sys::vocetta_curves_close(self.raw) }
    }
}

/// A face rig whose blendshapes have names of their own (ARKit's `jawOpen`, a VRM avatar's
/// `aa`): each of its curves a mix of a shape set's weights and the jaw, clipped to 0 ... 1, as
/// `vocetta analyze --curves --rig` writes them. Mix a voice's frame or a baked line's sample
/// into it every frame.
pub struct Rig {
    raw: *mut sys::Rig,
    curves: Vec<String>,
}

unsafe impl Send for Rig {}
unsafe impl Sync for Rig {}

impl Rig {
    /// A built-in rig ("arkit", "vrm") or a rig file (a path, or a name ending in .json).
    pub fn open(name: &str) -> Result<Rig, Error> {
        let text = CString::new(name).map_err(|_| Error {
            status: Status::Argument,
            message: "the rig's name holds a NUL byte".into(),
        })?;
        let mut raw = ptr::null_mut();
        checked(|message, size| unsafe {
            sys::vocetta_rig_open(text.as_ptr(), &mut raw, message, size)
        })?;
        let count = unsafe { sys::vocetta_rig_curve_count(raw) };
        let curves = (0..count)
            .map(|index| unsafe {
                CStr::from_ptr(sys::vocetta_rig_curve_name(raw, index))
                    .to_string_lossy()
                    .into_owned()
            })
            .collect();
        Ok(Rig { raw, curves })
    }

    /// The shapes it mixes: a frame's weights must be of this set.
    pub fn shape_set(&self) -> ShapeSet {
        ShapeSet::from_code(unsafe { sys::vocetta_rig_shape_set(self.raw) })
    }

    /// Its blendshapes' names, in the order [`Rig::mix`] writes their values.
    pub fn curve_names(&self) -> &[String] {
        &self.curves
    }

    /// The rig's curves for one frame: its shapes' `weights` (shapes beyond them weigh 0) and
    /// the jaw, into the first `values.len()` of them.
    pub fn mix(&self, weights: &[f32], jaw: f32, values: &mut [f32]) {
        let (given, wanted) = (
            c_int::try_from(weights.len()).unwrap_or(c_int::MAX),
            c_int::try_from(values.len()).unwrap_or(c_int::MAX),
        );
        unsafe {
            sys::vocetta_rig_mix(
                self.raw,
                weights.as_ptr(),
                given,
                jaw,
                values.as_mut_ptr(),
                wanted,
            )
        }
    }
}

impl Drop for Rig {
    fn drop(&mut self) {
        unsafe { sys::vocetta_rig_close(self.raw) }
    }
}
