/* Built against the installed live mouth's C interface alone (Vocetta::voice): a second of a
 * buzz through a voice, the shapes it shows named, and a baked line's file looked for. */
#include <math.h>
#include <stdio.h>
#include <vocetta/voice.h>

static int frames = 0;

static void OnFrame(void* user, const VocettaVoiceFrame* frame) {
    (void)user;
    if (frame->weights != NULL && vocetta_shape_name(VOCETTA_SHAPES_VISEMES, frame->shape))
        ++frames;
}

int main(int argc, char** argv) {
    char why[256];
    VocettaHost* host = NULL;
    VocettaVoice* voice = NULL;
    if (vocetta_host_open(argc > 1 ? argv[1] : NULL, NULL, &host, why, sizeof why) != VOCETTA_OK) {
        fprintf(stderr, "voice_consumer: %s\n", why);
        return 1;
    }
    const VocettaVoiceSettings settings = {48000, 0, VOCETTA_SHAPES_VISEMES, 1};
    if (vocetta_voice_create(host, &settings, &voice, why, sizeof why) != VOCETTA_OK) {
        fprintf(stderr, "voice_consumer: %s\n", why);
        vocetta_host_close(host);
        return 1;
    }
    float block[480];
    for (int at = 0; at < 48000; at += 480) {
        for (int i = 0; i < 480; ++i)
            block[i] = (float)(0.2 * sin(2 * 3.141592653589793 * 150.0 * (at + i) / 48000.0));
        vocetta_voice_push(voice, block, 480, OnFrame, NULL);
    }
    vocetta_voice_finish(voice, OnFrame, NULL);
    vocetta_voice_free(voice);
    vocetta_host_close(host);
    /* Baked lines too: a file that is not there is a message naming it. */
    VocettaCues* cues = NULL;
    if (vocetta_cues_open("missing.json", VOCETTA_SHAPES_CARTOON, &cues, why, sizeof why) !=
        VOCETTA_ERROR_FILE)
        return 1;
    printf("%d frames\n", frames);
    return frames > 90 ? 0 : 1;
}
