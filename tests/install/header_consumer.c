/* Built against the installed C header alone: loads the library with its own services. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vocetta/vocetta.h>

static void* MallocTracked(int64_t size, int32_t alignment, int32_t label, int32_t skip) {
    (void)alignment;
    (void)label;
    (void)skip;
    return malloc(size > 0 ? (size_t)size : 1);
}
static void FreeTracked(void* pointer, int32_t label) {
    (void)label;
    free(pointer);
}
static void Abort(const char* type, const char* message) {
    fprintf(stderr, "%s: %s\n", type, message);
    exit(3);
}
static void* Resolve(const char* name) {
    if (strcmp(name, VOCETTA_SERVICE_MALLOC_TRACKED) == 0) return (void*)&MallocTracked;
    if (strcmp(name, VOCETTA_SERVICE_FREE_TRACKED) == 0) return (void*)&FreeTracked;
    if (strcmp(name, VOCETTA_SERVICE_ABORT) == 0) return (void*)&Abort;
    return NULL;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: header_consumer LIBRARY\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    VocettaInitialize initialize = (VocettaInitialize)dlsym(library, VOCETTA_INITIALIZE_SYMBOL);
    VocettaEntry_ReturnOne returnOne =
        (VocettaEntry_ReturnOne)dlsym(library, "8c2be93e18276203cbd918daa2748a10");
    if (initialize == NULL || returnOne == NULL) {
        fprintf(stderr, "%s lacks its entries\n", argv[1]);
        return 1;
    }
    initialize(&Resolve);
    if (returnOne() != 1) {
        fprintf(stderr, "_ReturnOne did not return 1\n");
        return 1;
    }
    printf("header consumer: ok\n");
    return 0;
}
