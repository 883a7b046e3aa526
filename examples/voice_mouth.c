/* A character's live mouth through the C interface (vocetta/voice.h): what live_mouth.cpp does
 * with the C++ SDK, from C, so that any language that calls C can do the same.
 *
 *     voice_mouth LIBRARY AUDIO [--keep-noise] [--block N]
 *
 * AUDIO stands in for a microphone: it is read whole (libsndfile, mixed to mono) and handed over
 * N samples at a time (default 10 ms), as a capture callback would hand it. Prints one CSV row per
 * frame, as live_mouth does: the frame's time, its settled phoneme label, the mouth shape shown
 * then and how far the jaw was open. */
#include <sndfile.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vocetta/voice.h"

/* What the mouth showed at the last frames, kept until each frame's label is settled. */
enum { kKept = 64 };
typedef struct Character {
    const VocettaHost* host;
    int set;
    double times[kKept];
    int shapes[kKept];
    float jaws[kKept];
    long frames;
} Character;

static void Print(const Character* character, const VocettaVoiceFrame* frame) {
    for (long back = 0; back < kKept && back < character->frames; ++back) {
        const long slot = (character->frames - 1 - back) % kKept;
        if (character->times[slot] != frame->label_time) continue;
        printf("%g,%s,%s,%.3f\n", frame->label_time,
               vocetta_host_label_name(character->host, frame->label),
               vocetta_shape_name(character->set, character->shapes[slot]),
               (double)character->jaws[slot]);
        return;
    }
}

/* Every frame, on the audio thread: the mouth now, and the label of a frame a little earlier. */
static void OnFrame(void* user, const VocettaVoiceFrame* frame) {
    Character* character = user;
    if (frame->weights != NULL) {
        const long slot = character->frames % kKept;
        character->times[slot] = frame->time;
        character->shapes[slot] = frame->shape;
        character->jaws[slot] = frame->jaw;
        ++character->frames;
    }
    if (frame->label >= 0) Print(character, frame);
}

static float* ReadMono(const char* path, int* rate, size_t* count) {
    SF_INFO info;
    memset(&info, 0, sizeof info);
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == NULL) {
        fprintf(stderr, "voice_mouth: %s: %s\n", path, sf_strerror(NULL));
        return NULL;
    }
    float* frames = malloc(sizeof(float) * (size_t)info.frames * (size_t)info.channels + 1);
    float* mono = malloc(sizeof(float) * (size_t)info.frames + 1);
    if (frames == NULL || mono == NULL) {
        fprintf(stderr, "voice_mouth: %s: out of memory\n", path);
        free(frames);
        free(mono);
        sf_close(file);
        return NULL;
    }
    const sf_count_t read = sf_readf_float(file, frames, info.frames);
    sf_close(file);
    for (sf_count_t i = 0; i < read; ++i) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum += frames[i * info.channels + c];
        mono[i] = sum / (float)info.channels;
    }
    free(frames);
    *rate = info.samplerate;
    *count = (size_t)read;
    return mono;
}

int main(int argc, char** argv) {
    int clean = 1;
    long block = 0;
    for (int i = 3; i < argc; ++i) {
        if (strcmp(argv[i], "--keep-noise") == 0) {
            clean = 0;
        } else if (strcmp(argv[i], "--block") == 0 && i + 1 < argc && atol(argv[i + 1]) > 0) {
            block = atol(argv[++i]);
        } else {
            argc = 0;
        }
    }
    if (argc < 3) {
        fprintf(stderr, "usage: voice_mouth LIBRARY AUDIO [--keep-noise] [--block N]\n");
        return 2;
    }
    int rate = 0;
    size_t count = 0;
    float* samples = ReadMono(argv[2], &rate, &count);
    if (samples == NULL) return 1;

    /* Once, when the character is set up. */
    char why[512];
    VocettaHost* host = NULL;
    VocettaVoice* voice = NULL;
    int status = vocetta_host_open(argv[1], NULL, &host, why, sizeof why);
    if (status == VOCETTA_OK) {
        const VocettaVoiceSettings settings = {rate, 0, VOCETTA_SHAPES_CARTOON, clean};
        status = vocetta_voice_create(host, &settings, &voice, why, sizeof why);
    }
    if (status != VOCETTA_OK) {
        fprintf(stderr, "voice_mouth: %s\n", why);
        vocetta_host_close(host);
        free(samples);
        return 1;
    }
    Character character = {host, VOCETTA_SHAPES_CARTOON, {0}, {0}, {0}, 0};
    if (block == 0) block = vocetta_voice_hop(voice);

    printf("time,phoneme,shape,jaw\n");
    /* The capture callback's blocks, then the end of the line. */
    for (size_t at = 0; at < count && status == VOCETTA_OK; at += (size_t)block) {
        const size_t piece = count - at < (size_t)block ? count - at : (size_t)block;
        status = vocetta_voice_push(voice, samples + at, piece, OnFrame, &character);
    }
    if (status == VOCETTA_OK) status = vocetta_voice_finish(voice, OnFrame, &character);
    vocetta_voice_free(voice);
    vocetta_host_close(host);
    free(samples);
    if (status != VOCETTA_OK) {
        fprintf(stderr, "voice_mouth: the voice failed (status %d)\n", status);
        return 1;
    }
    return 0;
}
