/* fwprune: prunes directed graphs, dense or of millions of nodes, on a GPU or on the CPU.
 *
 * Two jobs, each a file-to-file pipeline:
 *   - runTransitiveReduction: reads an edge list and writes the edges that no walk of two or more
 *     edges bypasses (on a graph without cycles, its transitive reduction).
 *   - runWeakestLinkReduction: reads a square weight matrix, replaces every weight that lies above
 *     lower_threshold (or is negative) and that a path through other nodes beats on its weakest
 *     link, marks replaced, negative and at-or-above-upper_threshold cells absent (2.0), and writes
 *     the processed matrix and the edge list of the cells that are not absent.
 *
 * The two file-to-file entry points return nothing, as hosts that load the library by name
 * expect.
 * Each has a "Checked" twin that returns a status; after a failure, fwpruneGetLastErrorMessage()
 * names the file, the line where one applies, and what was wrong.
 *
 * Outputs. On failure or cancellation no regular output file is created or changed: a regular
 * file (or a path that does not exist yet) is written to a temporary file ".fwprune-XXXXXX" in
 * the target's folder and renamed over it when complete, keeping the old file's permission bits
 * (and owner and group where allowed). A symbolic link is followed: its target receives the
 * result and the link stays. A target that exists and is not a regular file (FIFO, terminal,
 * /dev/null, /dev/stdout, /proc/self/fd/N) is opened and written in place, as a stream. The
 * weighted job replaces both of its outputs or neither.
 *
 * The library never prints and never exits; every function is safe to call from several threads
 * at once.
 */
#ifndef FWPRUNE_H
#define FWPRUNE_H

#include <stddef.h>

#if defined(_WIN32)
#if defined(FWPRUNE_BUILDING_LIBRARY)
#define FWPRUNE_API __declspec(dllexport)
#elif defined(FWPRUNE_STATIC)
#define FWPRUNE_API
#else
#define FWPRUNE_API __declspec(dllimport)
#endif
#else
#define FWPRUNE_API __attribute__((visibility("default")))
#endif

#define FWPRUNE_VERSION_MAJOR 0
#define FWPRUNE_VERSION_MINOR 4
#define FWPRUNE_VERSION_PATCH 0
#define FWPRUNE_VERSION_STRING "0.4.0"
/* Single number for compile-time comparisons: major * 10000 + minor * 100 + patch. */
#define FWPRUNE_VERSION_NUMBER \
    (FWPRUNE_VERSION_MAJOR * 10000 + FWPRUNE_VERSION_MINOR * 100 + FWPRUNE_VERSION_PATCH)

/* The largest n of a dense n x n matrix: n*n cells must fit a signed 32-bit cell count. It binds
 * only where such a matrix is built (the in-memory matrix calls, the sweeps route, the GPU); the
 * reduction's sparse route takes any node number up to 2^31 - 1. */
#define FWPRUNE_MAX_DENSE_NODES 46340

/* The most CPU threads a job may be asked to use (fwpruneOptions.threads, FWPRUNE_NUM_THREADS). */
#define FWPRUNE_MAX_THREADS 4096

#ifdef __cplusplus
extern "C" {
#endif

/* Result of a checked call. Values are stable across versions; new ones may be added. */
typedef enum fwpruneStatus {
    FWPRUNE_OK = 0,
    FWPRUNE_ERROR_INVALID_ARGUMENT = 1, /* a null path, a bad option */
    FWPRUNE_ERROR_IO = 2,               /* a file could not be opened, read, written or renamed */
    FWPRUNE_ERROR_FORMAT = 3,           /* the input file is not in the expected format */
    FWPRUNE_ERROR_TOO_LARGE = 4,        /* n*n cells exceed the format's 32-bit cell count */
    FWPRUNE_ERROR_OUT_OF_MEMORY = 5,    /* host or device memory could not hold the matrix */
    FWPRUNE_ERROR_DEVICE = 6,           /* the device runtime failed or refused a launch */
    FWPRUNE_ERROR_INTERNAL = 7,         /* a fault inside the library; please report it */
    FWPRUNE_ERROR_CANCELLED = 8         /* fwpruneOptions.cancelRequested asked the job to stop */
} fwpruneStatus;

/* Where the sweeps run. AUTO picks the GPU when the CUDA runtime reports a usable device and the
 * native CPU engine otherwise. EMULATED runs the GPU kernels' own source on the CPU (slow; meant
 * for testing). */
typedef enum fwpruneBackend {
    FWPRUNE_BACKEND_AUTO = 0,
    FWPRUNE_BACKEND_GPU = 1,
    FWPRUNE_BACKEND_CPU = 2,
    FWPRUNE_BACKEND_EMULATED = 3
} fwpruneBackend;

/* How a job computes its result; every route gives the same bytes.
 *   AUTO     the fastest route for the input, by the rule the README states (default).
 *   SWEEPS   both jobs: the dense n x n matrix and its n sweeps (on a device exactly as the kernels
 *            run them; on the CPU by the native engine's equivalent closure).
 *   SPARSE   the reduction only: edge arrays, strongly connected components and reachability in
 *            topological order; memory follows the edges, never n * n.
 *   ORDERED  weakest link only: cells in ascending magnitude, each answered from reachability
 *            among lighter legs. A matrix holding a NaN is outside it and takes the sweeps.
 * A route that does not belong to the job is an invalid argument. With backend GPU or EMULATED
 * only SWEEPS (or AUTO, which then means SWEEPS) runs. */
typedef enum fwpruneRoute {
    FWPRUNE_ROUTE_AUTO = 0,
    FWPRUNE_ROUTE_SWEEPS = 1,
    FWPRUNE_ROUTE_SPARSE = 2,
    FWPRUNE_ROUTE_ORDERED = 3
} fwpruneRoute;

/* What a transitive reduction does with cycles.
 *   DROP      every edge touching a cycle or a self-loop goes (the default, and all that older
 *             versions did): who reaches whom may change.
 *   CONDENSE  reachability among distinct nodes is kept: each strongly connected component of
 *             k >= 2 nodes becomes one cycle through its nodes in ascending order (edges that may
 *             not be in the input), the components are joined by the edges of the collapsed
 *             graph's reduction, each as the smallest input edge joining them, and self-loops go.
 */
typedef enum fwpruneCycles { FWPRUNE_CYCLES_DROP = 0, FWPRUNE_CYCLES_CONDENSE = 1 } fwpruneCycles;
/* The format of a file of the file-to-file calls.
 *   AUTO    by the file name's extension, in any case: .tsv, .csv, .dot or .gv, .npy; any other
 *           name is NATIVE. A reduction's output whose name tells no format of its own takes
 *           the input's format when that is TSV, CSV or DOT (native text cannot hold labels).
 *   NATIVE  the edge list ("0 edge 1") and weight matrix text described in the README.
 *   TSV     tab-separated edge list: source and target labels, then any further columns.
 *   CSV     comma-separated edge list (RFC 4180 quoting), otherwise as TSV.
 *   DOT     a digraph in the DOT language; written back as it was, minus the removed edges.
 *   NPY     a NumPy .npy float32 or float64 square matrix (weakest link); written as float32.
 * The reduction reads and writes NATIVE, TSV, CSV and DOT; weakest link reads NATIVE and NPY and
 * writes its matrix as NATIVE or NPY (its edge list is always NATIVE). */
typedef enum fwpruneFileFormat {
    FWPRUNE_FORMAT_AUTO = 0,
    FWPRUNE_FORMAT_NATIVE = 1,
    FWPRUNE_FORMAT_TSV = 2,
    FWPRUNE_FORMAT_CSV = 3,
    FWPRUNE_FORMAT_DOT = 4,
    FWPRUNE_FORMAT_NPY = 5
} fwpruneFileFormat;

/* The phases of a job, for progress reports and timings. */
typedef enum fwprunePhase {
    FWPRUNE_PHASE_READ = 0,    /* reading and parsing the input file */
    FWPRUNE_PHASE_COMPUTE = 1, /* computing the result, on whichever route the job takes */
    FWPRUNE_PHASE_WRITE = 2    /* formatting and writing the outputs */
} fwprunePhase;
/* The compute phase's earlier name, from when every job ran the sweeps; kept for callers. */
#define FWPRUNE_PHASE_SWEEPS FWPRUNE_PHASE_COMPUTE

/* Called on the calling thread as a job advances: within each phase (reading, the engine's work,
 * writing; an in-memory call has the engine's phase alone) fraction starts at 0, never goes back
 * and ends at 1; between, a report comes when the fraction has moved by a hundredth, or by less
 * after a tenth of a second. Keep it quick; it must not call back into the library. */
typedef void (*fwpruneProgressCallback)(void* userData, fwprunePhase phase, double fraction);

/* Asked on the calling thread now and then while a job runs (between phases, between sweeps on
 * the stand-in and the GPU, between blocks of input read and output written, and always just
 * before an output replaces its target): return non-zero to stop the job. The call then returns
 * FWPRUNE_ERROR_CANCELLED and no regular output file is created or changed, and an in-memory
 * matrix is left as it was. Keep it quick; it must not call back into the library. */
typedef int (*fwpruneCancelCallback)(void* userData);

/* Filled in by a checked call when fwpruneOptions.stats is not NULL. The file calls fill every
 * field; the in-memory calls every field but seconds[FWPRUNE_PHASE_READ] and
 * seconds[FWPRUNE_PHASE_WRITE], which they leave as they were (they read and write no file).
 * The struct grows only at its end, and only the fields that lie within its size are written:
 * fwpruneOptions.statsSize, or when that is 0 (or the options struct predates it) the size this
 * struct had when the caller's options struct had its size (see fwpruneOptions.statsSize). */
typedef struct fwpruneRunStats {
    int nodes;              /* n; INT_MAX when n does not fit (see nodeCount) */
    long long edgesIn;      /* edges read; for a weight matrix, cells that are not 2.0 */
    long long edgesOut;     /* edges written */
    double seconds[3];      /* wall time of each fwprunePhase */
    fwpruneBackend backend; /* the backend that ran the sweeps */
    fwpruneRoute route;     /* the route that ran; filled only when the options struct the caller
                               passed has a route field (its structSize tells) */
    long long nodeCount;    /* n, the largest node number + 1, which may be 2^31; filled like
                               route */
} fwpruneRunStats;

/* Options of the checked calls. Initialise with fwpruneInitOptions so that fields added by later
 * versions get their defaults; structSize lets the library tell versions apart. Fields are only
 * ever appended, and each addition makes sizeof(fwpruneOptions) grow (a field that fits the old
 * struct's tail padding comes with a reserved one), so that every version has its own size. */
typedef struct fwpruneOptions {
    size_t structSize;
    fwpruneBackend backend; /* default FWPRUNE_BACKEND_AUTO */
    int threads;            /* CPU threads, at most FWPRUNE_MAX_THREADS; 0 (default) uses the
                               environment variable FWPRUNE_NUM_THREADS when it is set (a whole
                               number from 0 to FWPRUNE_MAX_THREADS; 0 means unset), else the
                               processors this process may run on (its CPU affinity, bounded by
                               a cgroup CPU quota) */
    int strict;             /* non-zero: a token that is not wholly a number is a format error
                               naming file, line and token, instead of being read as atoi/atof
                               read it (0, or its leading number). Default 0. */
    fwpruneProgressCallback progress; /* default NULL */
    void* progressUserData;
    fwpruneRunStats* stats;                /* default NULL */
    fwpruneRoute route;                    /* default FWPRUNE_ROUTE_AUTO */
    fwpruneCancelCallback cancelRequested; /* default NULL: the job runs to its end */
    void* cancelUserData;
    fwpruneCycles cycles;           /* the reduction's; default FWPRUNE_CYCLES_DROP */
    const char* removedPath;        /* default NULL. Every job (file and in-memory calls) writes
                                       there, with its other outputs (all or none), a tab-separated
                                       table of every input edge (weighted: cell that is not 2.0) that
                                       is not in the output, each once, in output order, and why:
                                       "source	target	reason	via	value" (README, "File formats") */
    fwpruneFileFormat inputFormat;  /* default FWPRUNE_FORMAT_AUTO (by the name); NULL options,
                                       and a struct from before this field, mean NATIVE */
    fwpruneFileFormat outputFormat; /* the same for the output (weakest link: the matrix) */
    int header;       /* non-zero: the first record of a TSV or CSV input is a header line, written
                         back first. Default 0. */
    size_t statsSize; /* sizeof(fwpruneRunStats) as the caller's header has it, so that the
                         statistics struct can grow apart from this one: set it beside stats.
                         0 (default) writes the fields up to nodeCount when this struct has a
                         route field, else up to backend; later fields need statsSize. */
} fwpruneOptions;

/* Fills the first `size` bytes of *options with the defaults, size being sizeof(fwpruneOptions) as
 * the caller's header has it, so that a library newer than the caller never writes past the
 * caller's struct; structSize is set to size. @return nothing. */
FWPRUNE_API void fwpruneInitOptionsSized(fwpruneOptions* options, size_t size);

/* Fills *options with the defaults, as large as this library's struct is. Kept for programs built
 * before fwpruneInitOptionsSized; code built with this header calls that one through the macro
 * below, which passes its own struct's size. @return nothing. */
FWPRUNE_API void fwpruneInitOptions(fwpruneOptions* options);
#define fwpruneInitOptions(options) fwpruneInitOptionsSized((options), sizeof *(options))

/* Reads the edge list at inputPath, removes every edge that a walk of two or more edges bypasses,
 * and writes the surviving edges to outputPath ("%d edge %d" lines sorted by source, then target).
 * outputPath may name the input file. @return nothing; use the Checked twin to learn of errors. */
FWPRUNE_API void runTransitiveReduction(const char* inputPath, const char* outputPath);

/* Reads the weight matrix at inputPath, runs the weakest-link sweeps and the threshold pass, and
 * writes the processed matrix to matrixPath, then the edge list of the cells that are not absent
 * (2.0) to edgeListPath. @return nothing; use the Checked twin to learn of errors. */
FWPRUNE_API void runWeakestLinkReduction(const char* inputPath, const char* edgeListPath,
                                         const char* matrixPath, float lower_threshold,
                                         float upper_threshold);

/* runTransitiveReduction with a status. options may be NULL for the defaults.
 * @return FWPRUNE_OK, or an error status with the message in fwpruneGetLastErrorMessage(). */
FWPRUNE_API fwpruneStatus fwpruneRunTransitiveReductionChecked(const char* inputPath,
                                                               const char* outputPath,
                                                               const fwpruneOptions* options);

/* runWeakestLinkReduction with a status. options may be NULL for the defaults.
 * @return FWPRUNE_OK, or an error status with the message in fwpruneGetLastErrorMessage(). */
FWPRUNE_API fwpruneStatus fwpruneRunWeakestLinkReductionChecked(
    const char* inputPath, const char* edgeListPath, const char* matrixPath, float lower_threshold,
    float upper_threshold, const fwpruneOptions* options);

/* The two calls above under their earlier names, without the library's prefix; kept for callers.
 * @return as fwpruneRunTransitiveReductionChecked and fwpruneRunWeakestLinkReductionChecked. */
FWPRUNE_API fwpruneStatus runTransitiveReductionChecked(const char* inputPath,
                                                        const char* outputPath,
                                                        const fwpruneOptions* options);
FWPRUNE_API fwpruneStatus runWeakestLinkReductionChecked(
    const char* inputPath, const char* edgeListPath, const char* matrixPath, float lower_threshold,
    float upper_threshold, const fwpruneOptions* options);

/* In-memory transitive reduction of an n x n byte adjacency matrix owned by the caller, in place.
 * Row i starts rowStride bytes after row i-1 (rowStride >= n); cell (i, j) is the pair from i to j.
 * On entry a non-zero cell is an edge; on return a cell is 1 when it was an edge that no walk of
 * two or more edges bypasses, and 0 otherwise. n may be 0; at most FWPRUNE_MAX_DENSE_NODES.
 * @return FWPRUNE_OK, or an error status with the message in fwpruneGetLastErrorMessage(); on
 * error the matrix is left as it was. */
FWPRUNE_API fwpruneStatus fwpruneReduceAdjacencyMatrix(unsigned char* adjacency, int n,
                                                       size_t rowStride,
                                                       const fwpruneOptions* options);

/* In-memory transitive reduction of a graph given as m edges: edge e runs from sources[e] to
 * targets[e]. Node numbers are any values from 0 to 2^31 - 1; an edge with a negative node number
 * is skipped, as in files. Duplicates count once. The surviving edges (those that no walk of two
 * or more edges bypasses) are written, each once and sorted by source and then target, to
 * outSources and outTargets, which the caller provides with room for m edges (never more
 * survive); *outCount receives their number. The output arrays may be the input arrays. Memory
 * follows the number of edges and of distinct nodes, never the largest node number.
 * @return FWPRUNE_OK, or an error status with the message in fwpruneGetLastErrorMessage(); on
 * error the output arrays and *outCount are left as they were. */
FWPRUNE_API fwpruneStatus fwpruneReduceEdgeArrays(const int* sources, const int* targets, size_t m,
                                                  int* outSources, int* outTargets,
                                                  size_t* outCount, const fwpruneOptions* options);

/* In-memory weakest-link pruning of an n x n float matrix owned by the caller, in place: the
 * sweeps and the threshold pass of runWeakestLinkReduction. Row i starts rowStride floats after
 * row i-1 (rowStride >= n). On return every cell holds its input value or 2.0 (absent).
 * @return FWPRUNE_OK, or an error status with the message in fwpruneGetLastErrorMessage(); on
 * error the matrix is left as it was. */
FWPRUNE_API fwpruneStatus fwprunePruneWeightMatrix(float* weights, int n, size_t rowStride,
                                                   float lower_threshold, float upper_threshold,
                                                   const fwpruneOptions* options);

/* Removes every temporary output file that a job of this process is writing at this moment (the
 * ".fwprune-XXXXXX" files of regular outputs, see "Outputs" above). Async-signal-safe: it only
 * walks a fixed table with atomic operations and calls nanosleep() and unlink(). A host whose
 * process ends on SIGINT, SIGTERM or SIGHUP while a job may be writing should call it from its
 * handler of those signals, then restore the default action and raise the signal again, so that
 * the process ends as the signal would have ended it; no target is changed (a weighted job between
 * its two renames is waited for, so that both of its outputs are replaced). A job whose temporary
 * file was removed and that keeps running fails with FWPRUNE_ERROR_IO. Hosts that would rather
 * stop the job than end the process use fwpruneOptions.cancelRequested. @return nothing. */
FWPRUNE_API void fwpruneRemoveTemporaryFiles(void);

/* @return the message of the last failed call on the calling thread ("" if none); valid until
 * the thread's next call into the library. */
FWPRUNE_API const char* fwpruneGetLastErrorMessage(void);

/* @return the errno of the system call behind the calling thread's last failed call (such as
 * ENOENT for a missing input), or 0 when that failure was not a failed system call. */
FWPRUNE_API int fwpruneGetLastErrorNumber(void);

/* @return the file that failed system call was about ("" when there is none); valid until the
 * thread's next call into the library. */
FWPRUNE_API const char* fwpruneGetLastErrorPath(void);

/* @return a short constant name for a status, such as "FWPRUNE_ERROR_IO". */
FWPRUNE_API const char* fwpruneGetStatusName(fwpruneStatus status);

/* @return the library's version as "major.minor.patch". */
FWPRUNE_API const char* fwpruneGetVersion(void);

/* @return the library's FWPRUNE_VERSION_NUMBER. A program compares it with the header's to find
 * that it runs against another version of the library than the one it was built with, e.g.
 * fwpruneGetVersionNumber() / 100 != FWPRUNE_VERSION_NUMBER / 100 for another major.minor. */
FWPRUNE_API int fwpruneGetVersionNumber(void);

/* @return the backend that FWPRUNE_BACKEND_AUTO resolves to in this process (GPU or CPU). */
FWPRUNE_API fwpruneBackend fwpruneGetDefaultBackend(void);

#ifdef __cplusplus
}
#endif

#endif /* FWPRUNE_H */
