/* A character's live mouth from captured speech, behind a C interface: for the engines and
 * languages that call C (Rust, Zig, Go, Lua, a GDExtension, a scripting layer's FFI) rather than
 * the C++ SDK. It is the SDK's live pipeline, frame for frame: the noise cleaned out (when asked),
 * the lip-sync job over each 10 ms frame, the labels smoothed under a gate that follows the
 * speaker's level, and the mouth's shapes, weights and jaw.
 *
 *     VocettaHost* host;                                  // once: the library and a profile
 *     char why[256];
 *     if (vocetta_host_open(NULL, NULL, &host, why, sizeof why) != VOCETTA_OK) fail(why);
 *     VocettaVoiceSettings settings = {48000, 0, VOCETTA_SHAPES_VISEMES, 0};
 *     VocettaVoice* voice;                                // one per talking character
 *     vocetta_voice_create(host, &settings, &voice, why, sizeof why);
 *     // on the audio thread, every captured block:
 *     vocetta_voice_push(voice, samples, count, on_frame, character);
 *     // on_frame(character, frame): show frame->shape (or blend frame->weights), open the jaw
 *     vocetta_voice_free(voice);
 *     vocetta_host_close(host);
 *
 * It also bakes recorded dialogue, as the tool bakes it, and plays baked lines back: cues and
 * curves made from a line's samples (vocetta_cues_bake, vocetta_curves_bake) or read from the
 * files the tool writes (vocetta_cues_open, vocetta_curves_open), at the end of this header.
 *
 * No function throws: a failure is a status and, where a message buffer is given, one UTF-8
 * sentence naming the file or value and the problem (cut to the buffer, always terminated). Once
 * created, a voice allocates nothing when pushed blocks of at most its hop; a voice is used by
 * one thread at a time, and any number live side by side. */
#ifndef VOCETTA_VOICE_H
#define VOCETTA_VOICE_H

#include <stddef.h>

#if defined(__GNUC__)
#define VOCETTA_VOICE_API __attribute__((visibility("default")))
#else
#define VOCETTA_VOICE_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum VocettaStatus {
    VOCETTA_OK = 0,
    VOCETTA_ERROR_ARGUMENT = 1,  /* a null pointer, or a value out of its range */
    VOCETTA_ERROR_LIBRARY = 2,   /* libvocetta.so could not be opened or initialised */
    VOCETTA_ERROR_PROFILE = 3,   /* the profile could not be read, or cannot analyse the rate */
    VOCETTA_ERROR_MEMORY = 4,    /* out of memory */
    VOCETTA_ERROR_INTERNAL = 5,  /* anything else; the message says what */
    VOCETTA_ERROR_FILE = 6,      /* a cue or curve file that cannot be read, written or is not
                                    the tool's */
    VOCETTA_ERROR_TRANSCRIPT = 7 /* a line's words or phones that cannot be aligned to it */
} VocettaStatus;

/* The shape sets, passed as an int (any other value is refused). */
enum {
    VOCETTA_SHAPES_CARTOON = 0, /* A B C D E F G H X: a mouth chart's drawings */
    VOCETTA_SHAPES_VISEMES = 1  /* sil PP FF TH DD kk CH SS nn RR aa E ih oh ou: blendshapes */
};

/* The library and one profile, shared by every voice made from it. */
typedef struct VocettaHost VocettaHost;
/* One talking character's analysis and mouth. */
typedef struct VocettaVoice VocettaVoice;

/* Opens libvocetta.so at `library_path` (NULL: where the SDK looks, $VOCETTA_LIBRARY first, then
 * beside the program, then the system's) with the profile at `profile_path` (a JSON profile from
 * `vocetta calibrate` or `vocetta adapt`; NULL: the built-in one). On failure *host is NULL. */
VOCETTA_VOICE_API VocettaStatus vocetta_host_open(const char* library_path,
                                                  const char* profile_path, VocettaHost** host,
                                                  char* message, size_t message_size);
/* After every voice made from it is freed. NULL is ignored. */
VOCETTA_VOICE_API void vocetta_host_close(VocettaHost* host);

/* The labels frames get: the profile's phonemes and "sil", in the order of their indices;
 * vocetta_host_label_name gives NULL outside 0 ... count - 1. */
VOCETTA_VOICE_API int vocetta_host_label_count(const VocettaHost* host);
VOCETTA_VOICE_API const char* vocetta_host_label_name(const VocettaHost* host, int label);

/* The shapes of a set, in the order of their indices (the weights' order), and the one a mouth
 * rests in; NULL and -1 for a set that does not exist. */
VOCETTA_VOICE_API int vocetta_shape_count(int set);
VOCETTA_VOICE_API const char* vocetta_shape_name(int set, int shape);
VOCETTA_VOICE_API int vocetta_rest_shape(int set);

typedef struct VocettaVoiceSettings {
    int sample_rate; /* of the samples pushed, at least the profile's analysis rate */
    int hop_samples; /* samples from one frame to the next; 0: 10 ms */
    int shape_set;   /* the shapes the mouth shows: VOCETTA_SHAPES_... */
    int clean_noise; /* nonzero: steady noise taken out first, the frames 32 ms later */
} VocettaVoiceSettings;

typedef struct VocettaVoiceFrame {
    /* The mouth at this frame: NULL weights, shape -1 and jaw 0 in the labels that
     * vocetta_voice_finish settles after the last frame. */
    double time;          /* seconds from the first pushed sample to the frame's centre */
    float volume;         /* the frame's RMS */
    int shape;            /* the shape to show, an index into the voice's set */
    float jaw;            /* how far the jaw is open, 0 closed ... 1 fully */
    const float* weights; /* every shape's smoothed weight, shape_count of them, valid in the
                             callback only */
    int shape_count;
    /* The label settled now, of the frame vocetta_voice_lag frames back (smoothing needs those
     * frames), or -1 while none is: an index into the host's labels, and that frame's time. */
    int label;
    double label_time;
} VocettaVoiceFrame;

typedef void (*VocettaVoiceCallback)(void* user, const VocettaVoiceFrame* frame);

/* A voice for samples at settings->sample_rate. On failure *voice is NULL: a rate the profile
 * cannot analyse is VOCETTA_ERROR_PROFILE, a negative hop or an unknown set
 * VOCETTA_ERROR_ARGUMENT. */
VOCETTA_VOICE_API VocettaStatus vocetta_voice_create(const VocettaHost* host,
                                                     const VocettaVoiceSettings* settings,
                                                     VocettaVoice** voice, char* message,
                                                     size_t message_size);
VOCETTA_VOICE_API void vocetta_voice_free(VocettaVoice* voice); /* NULL is ignored */

/* `count` more samples of the stream (blocks of any size; NULL with a count of 0 is nothing):
 * `on_frame` (which may be NULL) hears every frame they complete, in order. */
VOCETTA_VOICE_API VocettaStatus vocetta_voice_push(VocettaVoice* voice, const float* samples,
                                                   size_t count, VocettaVoiceCallback on_frame,
                                                   void* user);
/* Ends the stream: what the cleaner still holds, the last frame (a stream too short for one
 * frame gets one, padded with silence), then the labels still unsettled. The voice then starts
 * a new stream, at time 0 again. */
VOCETTA_VOICE_API VocettaStatus vocetta_voice_finish(VocettaVoice* voice,
                                                     VocettaVoiceCallback on_frame, void* user);

/* How many frames a label comes after its frame, and the samples from one frame to the next. */
VOCETTA_VOICE_API int vocetta_voice_lag(const VocettaVoice* voice);
VOCETTA_VOICE_API int vocetta_voice_hop(const VocettaVoice* voice);

/* A baked line: the mouth cues that `vocetta analyze --cues -f json` wrote for a recording (or an
 * animator edited since), played beside its audio. The file does not say its set: `set` names
 * its shapes (VOCETTA_SHAPES_...). A file that is not such cues is VOCETTA_ERROR_FILE, its
 * message naming the file and the member; on failure *cues is NULL. Once open, cues and curves
 * only answer: any number of threads may read one at once, and nothing but the opening
 * allocates.
 *
 *     VocettaCues* cues;                                   // when the line loads
 *     vocetta_cues_open("line.json", VOCETTA_SHAPES_CARTOON, &cues, why, sizeof why);
 *     show(vocetta_cues_shape_at(cues, audio_time));       // every frame it plays */
typedef struct VocettaCues VocettaCues;
VOCETTA_VOICE_API VocettaStatus vocetta_cues_open(const char* path, int set, VocettaCues** cues,
                                                  char* message, size_t message_size);
VOCETTA_VOICE_API void vocetta_cues_close(VocettaCues* cues); /* NULL is ignored */
VOCETTA_VOICE_API double vocetta_cues_duration(const VocettaCues* cues);
VOCETTA_VOICE_API int vocetta_cues_count(const VocettaCues* cues);
/* Cue `index` (0 ... count - 1): its shape, and its start and end in seconds where asked (NULL
 * skips them); -1 outside. */
VOCETTA_VOICE_API int vocetta_cues_get(const VocettaCues* cues, int index, double* start,
                                       double* end);
/* The shape shown at `seconds`: the cue with start <= seconds < end, the rest shape outside. */
VOCETTA_VOICE_API int vocetta_cues_shape_at(const VocettaCues* cues, double seconds);

/* A baked line for a rig that blends a blendshape per shape: the curves that `vocetta analyze
 * --curves -f json` wrote, every shape's weight and the jaw on each animation frame. */
typedef struct VocettaCurves VocettaCurves;
VOCETTA_VOICE_API VocettaStatus vocetta_curves_open(const char* path, VocettaCurves** curves,
                                                    char* message, size_t message_size);
VOCETTA_VOICE_API void vocetta_curves_close(VocettaCurves* curves);          /* NULL is ignored */
VOCETTA_VOICE_API int vocetta_curves_shape_set(const VocettaCurves* curves); /* -1 for NULL */
VOCETTA_VOICE_API int vocetta_curves_fps(const VocettaCurves* curves);
VOCETTA_VOICE_API int vocetta_curves_frame_count(const VocettaCurves* curves);
VOCETTA_VOICE_API double vocetta_curves_duration(const VocettaCurves* curves);
/* The mouth at `seconds`, linear between the animation frames on either side (the first frame's
 * before it, the last's after): the jaw, returned, and the first `weight_count` shapes' weights
 * into `weights` (which may be NULL with a count of 0). */
VOCETTA_VOICE_API float vocetta_curves_sample(const VocettaCurves* curves, double seconds,
                                              float* weights, int weight_count);

/* A face rig whose blendshapes have names of their own (ARKit's jawOpen, a VRM avatar's aa):
 * each of its curves a mix of a shape set's weights and the jaw, clipped to 0 ... 1, as
 * `vocetta analyze --curves --rig` writes them. `name` is a built-in rig ("arkit", "vrm") or a
 * rig file (a path, or a name ending in .json); anything else is VOCETTA_ERROR_FILE, its message
 * naming the file and the member, and *rig NULL. Once open a rig only answers, on any thread.
 *
 *     VocettaRig* rig;
 *     vocetta_rig_open("arkit", &rig, why, sizeof why);
 *     vocetta_rig_mix(rig, frame->weights, frame->shape_count, frame->jaw, keys, key_count);
 *     // keys[i] is the weight of the blendshape vocetta_rig_curve_name(rig, i) */
typedef struct VocettaRig VocettaRig;
VOCETTA_VOICE_API VocettaStatus vocetta_rig_open(const char* name, VocettaRig** rig, char* message,
                                                 size_t message_size);
VOCETTA_VOICE_API void vocetta_rig_close(VocettaRig* rig);          /* NULL is ignored */
VOCETTA_VOICE_API int vocetta_rig_shape_set(const VocettaRig* rig); /* -1 for NULL */
VOCETTA_VOICE_API int vocetta_rig_curve_count(const VocettaRig* rig);
/* Curve `index`'s name (0 ... count - 1), NULL outside; it lives as long as the rig. */
VOCETTA_VOICE_API const char* vocetta_rig_curve_name(const VocettaRig* rig, int index);
/* The rig's curves for one frame of its set: `weight_count` shapes' weights (a voice frame's, or
 * vocetta_curves_sample's; shapes beyond the count weigh 0) and the jaw, into the first
 * `value_count` of `values`. */
VOCETTA_VOICE_API void vocetta_rig_mix(const VocettaRig* rig, const float* weights,
                                       int weight_count, float jaw, float* values, int value_count);

/* Baking a recorded line where it is imported, without the tool: the cues and curves that
 * `vocetta analyze --cues` and `--curves` make from a file of the same samples, its defaults
 * all (the tool's test checks them file for file). The whole line is read at once, so the labels
 * see what follows each frame, as no live voice can. Baking only reads the host: any number of
 * threads may bake with one host at once (an importer's lines in parallel).
 *
 *     VocettaBakeSettings bake = {.sample_rate = 48000, .shape_set = VOCETTA_SHAPES_CARTOON};
 *     bake.text = "Hello there!";                         // optional: the line of the script
 *     vocetta_cues_bake(host, samples, count, &bake, &cues, why, sizeof why);
 *     vocetta_cues_save(cues, "line.json", 1, why, sizeof why);  // or play them at once */
typedef struct VocettaBakeSettings {
    int sample_rate; /* of the samples, at least the profile's analysis rate */
    int shape_set;   /* VOCETTA_SHAPES_... */
    int keep_noise;  /* nonzero: analysed as recorded (--keep-noise); 0 takes the steady noise
                        out first, as the tool does */
    /* What the line says, aligned to it as --text aligns it (NULL: the audio alone): its words
     * (UTF-8, as a script writes them: stage directions, markup and Ink or Yarn tags are left out
     * unless literal_text; with speaker_names nonzero, the "Mae: " that begins a line as Yarn
     * writes it goes too, as --speaker-names takes it out), phonemised by espeak-ng in the voice
     * `language` (NULL: "en-us"), which the machine that bakes needs; or `ipa`, its phones,
     * instead. */
    const char* text;
    const char* language;
    int literal_text;
    int speaker_names;
    const char* ipa;
    const char* sound_file; /* what the cues' and curves' files name as their recording, or NULL */
} VocettaBakeSettings;

/* `count` mono samples (full scale +-1, all finite) of one line. On failure *cues is NULL: a rate
 * the profile cannot analyse is VOCETTA_ERROR_PROFILE, words espeak-ng cannot phonemise or a line
 * too long to align VOCETTA_ERROR_TRANSCRIPT. Close the cues with vocetta_cues_close. */
VOCETTA_VOICE_API VocettaStatus vocetta_cues_bake(const VocettaHost* host, const float* samples,
                                                  size_t count, const VocettaBakeSettings* settings,
                                                  VocettaCues** cues, char* message,
                                                  size_t message_size);
/* The same line as curves on animation frames at `fps` (1 ... 1000), with the mouth's smoothing
 * that `--curves` gives them. */
VOCETTA_VOICE_API VocettaStatus vocetta_curves_bake(const VocettaHost* host, const float* samples,
                                                    size_t count,
                                                    const VocettaBakeSettings* settings, int fps,
                                                    VocettaCurves** curves, char* message,
                                                    size_t message_size);

/* Writes the cues or curves as the tool's json files (what vocetta_cues_open and
 * vocetta_curves_open read, and animators edit). The file appears whole or not at all; one that
 * exists is replaced only when `replace` is nonzero, and is otherwise VOCETTA_ERROR_FILE. */
VOCETTA_VOICE_API VocettaStatus vocetta_cues_save(const VocettaCues* cues, const char* path,
                                                  int replace, char* message, size_t message_size);
VOCETTA_VOICE_API VocettaStatus vocetta_curves_save(const VocettaCurves* curves, const char* path,
                                                    int replace, char* message,
                                                    size_t message_size);

#ifdef __cplusplus
}
#endif

#endif /* VOCETTA_VOICE_H */
