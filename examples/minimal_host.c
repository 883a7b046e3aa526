/*
 * A minimal host for libvocetta, in plain C: load the library, lend it the three services,
 * capture audio into a ring buffer and run the lip-sync job on it every hop.
 *
 *     minimal_host path/to/libvocetta.so
 *
 * The "capture" is a synthetic vowel-like sound, and the profile is a toy one with two phonemes;
 * a real host reads the arrays of a profile file (docs/profile-format.md) and feeds the ring
 * from its audio callback.
 */
#include <dlfcn.h>
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vocetta/vocetta.h"

/* ---- The three services ------------------------------------------------------------------ */

static void* MallocTracked(int64_t size, int32_t alignment, int32_t label, int32_t last) {
    (void)label;
    (void)last;
    /* aligned_alloc wants a size that is a multiple of the alignment, and a non-zero one. */
    size_t rounded = ((size_t)size + (size_t)alignment - 1) / (size_t)alignment * (size_t)alignment;
    void* block = aligned_alloc((size_t)alignment, rounded != 0 ? rounded : (size_t)alignment);
    if (block == NULL) abort(); /* the library uses the block without a test */
    return block;
}

static void FreeTracked(void* pointer, int32_t label) {
    (void)label;
    free(pointer);
}

static void Abort(const char* exceptionType, const char* message) {
    fprintf(stderr, "libvocetta raised %s: %s\n", exceptionType, message);
    exit(3); /* must not return into the library */
}

static void* Resolve(const char* name) {
    if (strcmp(name, VOCETTA_SERVICE_MALLOC_TRACKED) == 0) return (void*)&MallocTracked;
    if (strcmp(name, VOCETTA_SERVICE_FREE_TRACKED) == 0) return (void*)&FreeTracked;
    if (strcmp(name, VOCETTA_SERVICE_ABORT) == 0) return (void*)&Abort;
    return NULL;
}

/* ---- The analysis ------------------------------------------------------------------------ */

enum {
    kSampleRate = 48000, /* the capture rate */
    kTargetRate = 16000, /* the profile's analysis rate */
    kRing = 3072,        /* 1024 samples at the analysis rate: 48000 / 16000 = 3 */
    kHop = 480,          /* run the job every 10 ms */
    kMelDiv = 30,
    kCoefficients = 12,
    kPhonemes = 2
};

typedef void (*LipSyncExecute)(LipSyncJob* job);

int main(int argc, char** argv) {
    const char* path = argc > 1 ? argv[1] : "libvocetta.so";
    void* library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "cannot load %s: %s\n", path, dlerror());
        return 1;
    }
    VocettaInitialize initialize = (VocettaInitialize)dlsym(library, VOCETTA_INITIALIZE_SYMBOL);
    LipSyncExecute execute =
        (LipSyncExecute)dlsym(library, "c5a316b7c86bb17f6511d5c3a58d2180"); /* LipSyncJob */
    if (initialize == NULL) {
        fprintf(stderr, "%s is not a vocetta library\n", path);
        return 1;
    }
    if (execute == NULL) {
        fprintf(stderr, "%s has no lip-sync job\n", path);
        return 77; /* "skipped" for the test suite */
    }
    initialize(&Resolve); /* once, before any other call */

    /* Profile arrays (toy values): means, deviations, one row of references per phoneme. */
    static float means[kCoefficients], deviations[kCoefficients];
    static float profiles[kPhonemes * kCoefficients];
    for (int i = 0; i < kCoefficients; ++i) {
        deviations[i] = 10.0f;
        profiles[i] = 5.0f;                  /* phoneme 0 */
        profiles[kCoefficients + i] = -5.0f; /* phoneme 1 */
    }

    static float ring[kRing];
    static float mfcc[kCoefficients], scores[kPhonemes];
    LipSyncResult result = {0.0f, -1};
    LipSyncJob job;
    memset(&job, 0, sizeof job);
    /* Label "none" (1): the library never releases host arrays. */
    job.input = (NativeArray){ring, kRing, VOCETTA_ALLOCATOR_NONE};
    job.sampleRate = kSampleRate;
    job.targetSampleRate = kTargetRate;
    job.melDiv = kMelDiv;
    job.scoreMethod = RootMeanSquareDistance;
    job.means = (NativeArray){means, kCoefficients, VOCETTA_ALLOCATOR_NONE};
    job.standardDeviations = (NativeArray){deviations, kCoefficients, VOCETTA_ALLOCATOR_NONE};
    job.phonemeProfiles =
        (NativeArray){profiles, kPhonemes * kCoefficients, VOCETTA_ALLOCATOR_NONE};
    job.mfcc = (NativeArray){mfcc, kCoefficients, VOCETTA_ALLOCATOR_NONE};
    job.scores = (NativeArray){scores, kPhonemes, VOCETTA_ALLOCATOR_NONE};
    job.result = (NativeArray){&result, 1, VOCETTA_ALLOCATOR_NONE};

    /* Capture half a second: each hop writes new samples over the oldest, then runs the job
     * with startIndex at the oldest sample. */
    int write = 0;
    long captured = 0;
    for (int frame = 0; frame < 50; ++frame) {
        for (int i = 0; i < kHop; ++i, ++captured) {
            double t = (double)captured / kSampleRate;
            ring[write] = (float)(0.3 * sin(2 * M_PI * 150 * t) + 0.2 * sin(2 * M_PI * 700 * t) +
                                  0.1 * sin(2 * M_PI * 1200 * t));
            write = (write + 1) % kRing;
        }
        if (captured < kRing) continue; /* the ring is not full yet */
        job.startIndex = write;
        execute(&job);
        if (frame % 10 == 9) {
            printf("t=%.2fs volume=%.4f phoneme=%d scores=%.3f,%.3f\n",
                   (double)captured / kSampleRate, result.volume, result.phonemeIndex, scores[0],
                   scores[1]);
        }
    }
    return result.phonemeIndex >= 0 && result.volume > 0 ? 0 : 1;
}
