/* A baked line through the C interface (vocetta/voice.h): baked where it is imported, as
 * `vocetta analyze` bakes it, and played back by a game that shows each frame's mouth beside the
 * line's audio. The game asks for the mouth at the audio's time; here that is every animation
 * frame in turn, printed as the tool prints the same line:
 *
 *     baked_line bake LIBRARY AUDIO SET LINE.json [WORDS]
 *                                         an importer: AUDIO's cues written to LINE.json as
 *                                         `vocetta analyze AUDIO --cues -f json --shapes SET
 *                                         [--text WORDS]` writes them
 *     baked_line cues LINE.json SET FPS   one "frame<TAB>shape" row per frame at FPS, as
 *                                         `vocetta analyze --cues --keyframes --fps FPS` writes
 *     baked_line curves LINE.json         "frame,time,jaw,SHAPE..." rows, as `--curves` writes
 *
 * SET is cartoon or visemes, the set the cues were baked in (the file does not say). */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <sndfile.h>

#include "vocetta/voice.h"

static int SetNamed(const char* name) {
    return strcmp(name, "visemes") == 0   ? VOCETTA_SHAPES_VISEMES
           : strcmp(name, "cartoon") == 0 ? VOCETTA_SHAPES_CARTOON
                                          : -1;
}

/* The engine's decoder stands here: the recording's samples, its channels mixed to one. */
static float* Decode(const char* path, size_t* count, int* rate) {
    SF_INFO info = {0};
    SNDFILE* file = sf_open(path, SFM_READ, &info);
    if (file == NULL) return NULL;
    sf_command(file, SFC_SET_NORM_FLOAT, NULL, SF_TRUE);
    float* frames = malloc(sizeof *frames * (size_t)(info.frames * info.channels + 1));
    const sf_count_t got = frames ? sf_readf_float(file, frames, info.frames) : 0;
    sf_close(file);
    for (sf_count_t i = 0; i < got; ++i) {
        float sum = 0;
        for (int c = 0; c < info.channels; ++c)
            sum += frames[i * info.channels + c];
        frames[i] = info.channels == 1 ? sum : sum / (float)info.channels;
    }
    *count = (size_t)got;
    *rate = info.samplerate;
    return frames;
}

static int Bake(const char* library, const char* audio, const char* set_name, const char* out,
                const char* words) {
    char why[512];
    VocettaHost* host = NULL;
    if (vocetta_host_open(library, NULL, &host, why, sizeof why) != VOCETTA_OK) {
        fprintf(stderr, "baked_line: %s\n", why);
        return 1;
    }
    size_t count = 0;
    int rate = 0;
    float* samples = Decode(audio, &count, &rate);
    if (samples == NULL) {
        fprintf(stderr, "baked_line: %s: cannot decode\n", audio);
        vocetta_host_close(host);
        return 1;
    }
    VocettaBakeSettings settings = {.sample_rate = rate, .shape_set = SetNamed(set_name)};
    settings.text = words; /* NULL: the audio alone */
    settings.sound_file = audio;
    VocettaCues* cues = NULL;
    int status = vocetta_cues_bake(host, samples, count, &settings, &cues, why, sizeof why);
    /* The import's own file: replaced by the next import of the line. */
    if (status == VOCETTA_OK) status = vocetta_cues_save(cues, out, 1, why, sizeof why);
    if (status != VOCETTA_OK) fprintf(stderr, "baked_line: %s\n", why);
    vocetta_cues_close(cues);
    free(samples);
    vocetta_host_close(host);
    return status == VOCETTA_OK ? 0 : 1;
}

static int Cues(const char* path, const char* set_name, int fps) {
    const int set = SetNamed(set_name);
    char why[512];
    VocettaCues* cues = NULL;
    if (vocetta_cues_open(path, set, &cues, why, sizeof why) != VOCETTA_OK) {
        fprintf(stderr, "baked_line: %s\n", why);
        return 1;
    }
    /* Every frame of the game: the shape the line shows at the audio's time. */
    const long last = (long)floor(vocetta_cues_duration(cues) * fps + 1e-9);
    for (long frame = 0; frame <= last; ++frame) {
        const int shape = vocetta_cues_shape_at(cues, (double)frame / fps);
        printf("%ld\t%s\n", frame, vocetta_shape_name(set, shape));
    }
    vocetta_cues_close(cues);
    return 0;
}

static int Curves(const char* path) {
    char why[512];
    VocettaCurves* curves = NULL;
    if (vocetta_curves_open(path, &curves, why, sizeof why) != VOCETTA_OK) {
        fprintf(stderr, "baked_line: %s\n", why);
        return 1;
    }
    const int set = vocetta_curves_shape_set(curves), fps = vocetta_curves_fps(curves);
    const int shapes = vocetta_shape_count(set);
    float* weights = malloc(sizeof *weights * (size_t)shapes);
    if (weights == NULL) return 1;
    printf("frame,time,jaw");
    for (int shape = 0; shape < shapes; ++shape)
        printf(",%s", vocetta_shape_name(set, shape));
    printf("\n");
    for (int frame = 0; frame < vocetta_curves_frame_count(curves); ++frame) {
        /* Every frame of the game: the rig's weights and jaw at the audio's time. */
        const double time = (double)frame / fps;
        const float jaw = vocetta_curves_sample(curves, time, weights, shapes);
        printf("%d,%.4f,%.4f", frame, time, (double)jaw);
        for (int shape = 0; shape < shapes; ++shape)
            printf(",%.4f", (double)weights[shape]);
        printf("\n");
    }
    free(weights);
    vocetta_curves_close(curves);
    return 0;
}

int main(int argc, char** argv) {
    if ((argc == 6 || argc == 7) && strcmp(argv[1], "bake") == 0)
        return Bake(argv[2], argv[3], argv[4], argv[5], argc == 7 ? argv[6] : NULL);
    if (argc == 5 && strcmp(argv[1], "cues") == 0 && atoi(argv[4]) > 0)
        return Cues(argv[2], argv[3], atoi(argv[4]));
    if (argc == 3 && strcmp(argv[1], "curves") == 0) return Curves(argv[2]);
    fprintf(stderr,
            "usage: baked_line bake LIBRARY AUDIO SET LINE.json [WORDS] | baked_line cues "
            "LINE.json SET FPS | baked_line curves LINE.json\n");
    return 2;
}
