/* Loads fwprune.dll by path, as a Windows host does, and runs a list of jobs through the two
 * file-to-file entry points; scripts/cross-test-windows.sh runs it under Wine and compares the
 * outputs with the Linux build's.
 *
 *   windows_driver DLL JOB...
 *   JOB: reduce INPUT OUTPUT | weakest-link INPUT EDGES MATRIX LOWER UPPER
 *
 * The two entry points return nothing, so after each job the driver asks the library for the
 * calling thread's last error message; any message, or an output that was not written, fails the
 * run with exit status 1. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

typedef void (*ReduceFunction)(const char*, const char*);
typedef void (*WeakestLinkFunction)(const char*, const char*, const char*, float, float);
typedef const char* (*TextFunction)(void);

static FARPROC symbol(HMODULE library, const char* name) {
    FARPROC address = GetProcAddress(library, name);
    if (address == NULL) {
        fprintf(stderr, "windows_driver: the DLL does not export %s\n", name);
        exit(1);
    }
    return address;
}

static int exists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

static float number(const char* text) {
    char* end = NULL;
    const float value = strtof(text, &end);
    if (end == text || *end != '\0') {
        fprintf(stderr, "windows_driver: '%s' is not a number\n", text);
        exit(2);
    }
    return value;
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: windows_driver DLL JOB...\n");
        return 2;
    }
    HMODULE library = LoadLibraryA(argv[1]);
    if (library == NULL) {
        fprintf(stderr, "windows_driver: cannot load %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    /* Function pointers travel through FARPROC, as GetProcAddress returns them. */
    ReduceFunction reduce =
        (ReduceFunction)(void (*)(void))symbol(library, "runTransitiveReduction");
    WeakestLinkFunction weakestLink =
        (WeakestLinkFunction)(void (*)(void))symbol(library, "runWeakestLinkReduction");
    TextFunction lastError =
        (TextFunction)(void (*)(void))symbol(library, "fwpruneGetLastErrorMessage");
    TextFunction version = (TextFunction)(void (*)(void))symbol(library, "fwpruneGetVersion");
    printf("windows_driver: fwprune %s\n", version());

    int jobs = 0;
    for (int i = 2; i < argc;) {
        const char* output = NULL;
        if (strcmp(argv[i], "reduce") == 0 && i + 2 < argc) {
            reduce(argv[i + 1], argv[i + 2]);
            output = argv[i + 2];
            i += 3;
        } else if (strcmp(argv[i], "weakest-link") == 0 && i + 5 < argc) {
            weakestLink(argv[i + 1], argv[i + 2], argv[i + 3], number(argv[i + 4]),
                        number(argv[i + 5]));
            output = argv[i + 3];
            i += 6;
        } else {
            fprintf(stderr, "windows_driver: bad job at '%s'\n", argv[i]);
            return 2;
        }
        if (lastError()[0] != '\0' || !exists(output)) {
            fprintf(stderr, "windows_driver: job %d failed: %s\n", jobs + 1, lastError());
            return 1;
        }
        ++jobs;
    }
    printf("windows_driver: %d jobs done\n", jobs);
    FreeLibrary(library);
    return 0;
}
