/* A baked line played back through the C interface (vocetta/voice.h): the cues or curves that
 * `vocetta analyze` baked at import, read by a game that shows each frame's mouth beside the
 * line's audio. The game asks for the mouth at the audio's time; here that is every animation
 * frame in turn, printed as the tool prints the same line:
 *
 *     baked_line cues LINE.json SET FPS   one "frame<TAB>shape" row per frame at FPS, as
 *                                         `vocetta analyze --cues --keyframes --fps FPS` writes
 *     baked_line curves LINE.json         "frame,time,jaw,SHAPE..." rows, as `--curves` writes
 *
 * SET is cartoon or visemes, the set the cues were baked in (the file does not say). */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vocetta/voice.h"

static int Cues(const char* path, const char* set_name, int fps) {
    const int set = strcmp(set_name, "visemes") == 0   ? VOCETTA_SHAPES_VISEMES
                    : strcmp(set_name, "cartoon") == 0 ? VOCETTA_SHAPES_CARTOON
                                                       : -1;
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
    if (argc == 5 && strcmp(argv[1], "cues") == 0 && atoi(argv[4]) > 0)
        return Cues(argv[2], argv[3], atoi(argv[4]));
    if (argc == 3 && strcmp(argv[1], "curves") == 0) return Curves(argv[2]);
    fprintf(stderr, "usage: baked_line cues LINE.json SET FPS | baked_line curves LINE.json\n");
    return 2;
}
