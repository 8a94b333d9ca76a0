#include "help_text.h"

#include "fwprune.h"

// The thread limit's digits, spelled from the header's constant so that the help cannot drift.
#define DIGITS_OF(number) #number
#define SPELLED(number) DIGITS_OF(number)
#define THREAD_LIMIT SPELLED(FWPRUNE_MAX_THREADS)

namespace fwprune::cli {
namespace {

const char* const kReduceUsage = "fwprune reduce INPUT OUTPUT [options]";
const char* const kWeakestLinkUsage =
    "fwprune weakest-link INPUT EDGES MATRIX --lower L --upper U [options]";

const char* const kEdgeListFormat =
    "  Edge list      Records of three tokens separated by blanks or line breaks:\n"
    "                 source node, any word, target node ('0 edge 1' is the edge\n"
    "                 from node 0 to node 1). Nodes are numbered from 0; n is the\n"
    "                 largest node number + 1. Written one edge per line as\n"
    "                 '%d edge %d', sorted by source, then target.\n";

const char* const kWeightMatrixFormat =
    "  Weight matrix  n lines of n numbers separated by blanks; the number of\n"
    "                 values on the first line fixes n. The value in row i,\n"
    "                 column j is the weight of the edge from node i to node j.\n"
    "                 Written like C's %e with a three-digit exponent\n"
    "                 (2.000000e-001), one row per line.\n";

const char* const kLabelledFormats =
    "  TSV, CSV       Labelled edge lists: source label, target label, then any\n"
    "                 further columns, which are carried over on the edges that\n"
    "                 survive. CSV fields may be quoted (RFC 4180); '#' lines in\n"
    "                 TSV are comments. Written in the same format, in order of\n"
    "                 the labels' first appearance (source, then target).\n"
    "  DOT            A digraph; written back as it was, minus the removed edges.\n"
    "  .npy           NumPy float32 or float64 square matrix (weakest-link);\n"
    "                 written as float32.\n";

const char* const kCommonOptions =
    "  --backend B    where the sweeps run: auto (default; the GPU when one is\n"
    "                 usable, else the CPU), gpu, cpu, or emulated (the GPU code\n"
    "                 run on the CPU; slow, meant for testing)\n"
    "  --route R      how the result is computed (same bytes either way): auto\n"
    "                 (default; the fastest for the input), sweeps (the n x n\n"
    "                 matrix), sparse (reduce: edge arrays, any node number) or\n"
    "                 ordered (weakest-link: cells by ascending magnitude)\n"
    "  --removed FILE also write FILE: every input edge that is not in the output,\n"
    "                 once, in output order, with the reason, as tab-separated\n"
    "                 columns 'source target reason via value' (see the README);\n"
    "                 '-' is standard output, when no other output goes there\n"
    "  --threads N    CPU threads, up to " THREAD_LIMIT
    "; 0 (default) uses $FWPRUNE_NUM_THREADS\n"
    "                 when set, else every CPU this process may use (its affinity\n"
    "                 and cgroup quota)\n"
    "  --strict       a number followed by other characters, such as '1x', is an\n"
    "                 error; by default its leading digits are used, and a token\n"
    "                 that is not a number at all reads as 0\n"
    "  --input-format F, --output-format F\n"
    "                 the files' formats: auto (default: by the extension; .tsv,\n"
    "                 .csv, .dot or .gv, .npy, anything else and '-' native),\n"
    "                 native, tsv, csv, dot or npy. A reduction's output with no\n"
    "                 format of its own takes a labelled input's format\n"
    "  --header       the first record of a TSV or CSV input is a header line;\n"
    "                 it is written back first\n"
    "  --stats        print n, the edges read and written, the backend, the route\n"
    "                 and the time of each phase to standard error\n"
    "  -q, --quiet    no progress bar (it is shown only when standard error is a\n"
    "                 terminal)\n"
    "  -h, --help     show this help\n";

const char* const kStreams =
    "A file name of '-' reads standard input (INPUT) or writes standard output\n"
    "(output files). Options may come before or after the file names; '--' ends\n"
    "the options, so that later arguments are file names even if they start\n"
    "with '-'.\n";

const char* const kExitStatus =
    "Exit status:\n"
    "  0  success\n"
    "  2  usage error: unknown command or option, bad number, wrong file count\n"
    "  3  file error: a file cannot be read or written, is not in the expected\n"
    "     format, or holds a graph too large for the route that must take it\n"
    "  4  device or engine error: no usable GPU for --backend gpu, the GPU failed,\n"
    "     memory ran out, or an internal fault (please report it)\n"
    "On failure, one line on standard error names the file (and line) and what\n"
    "was wrong, and no output file is created or changed.\n";

}  // namespace

std::string mainHelp() {
    return std::string("usage: ") + kReduceUsage + "\n       " + kWeakestLinkUsage +
           "\n"
           "       fwprune COMMAND --help\n"
           "       fwprune --help | --version\n"
           "\n"
           "fwprune prunes directed graphs, dense or of millions of nodes, on a GPU or\n"
           "on the CPU.\n"
           "\n"
           "Commands:\n"
           "  reduce         keep only the edges of a graph that no detour of two or\n"
           "                 more edges bypasses (its transitive reduction, if it has\n"
           "                 no cycles)\n"
           "  weakest-link   prune a weight matrix: drop each weight that a path\n"
           "                 through other nodes beats on its weakest link\n"
           "Run 'fwprune COMMAND --help' for the details of one command.\n"
           "\n"
           "Options:\n" +
           kCommonOptions +
           "  --version      show the version\n"
           "  weakest-link also needs --lower L and --upper U.\n"
           "\n" +
           kStreams +
           "\n"
           "File formats:\n" +
           kEdgeListFormat + kWeightMatrixFormat + kLabelledFormats +
           "\n"
           "Examples:\n"
           "  fwprune reduce graph.txt reduced.txt\n"
           "  fwprune reduce history.csv reduced.csv --header\n"
           "  fwprune weakest-link weights.txt edges.txt pruned.txt --lower 0.1 --upper 1\n"
           "\n" +
           kExitStatus;
}

std::string reduceHelp() {
    return std::string("usage: ") + kReduceUsage +
           "\n"
           "\n"
           "Reads the edge list INPUT and writes to OUTPUT the edges that no walk of\n"
           "two or more edges bypasses. On a graph without cycles this is its\n"
           "transitive reduction: the fewest edges that still let every node reach\n"
           "all the nodes it reached before. An edge on a cycle, and a self-loop,\n"
           "never survive, unless --cycles condense keeps them as cycles.\n"
           "\n"
           "Options:\n"
           "  --cycles C     drop (default): edges on or touching a cycle go; condense:\n"
           "                 who reaches whom is kept, each strongly connected component\n"
           "                 becoming one cycle through its nodes in ascending order\n" +
           kCommonOptions + "\n" + kStreams +
           "\n"
           "File formats:\n" +
           kEdgeListFormat + kLabelledFormats +
           "\n"
           "Example:\n"
           "  $ printf '0 edge 1\\n1 edge 2\\n0 edge 2\\n' > graph.txt\n"
           "  $ fwprune reduce graph.txt -\n"
           "  0 edge 1\n"
           "  1 edge 2\n"
           "  The edge 0 -> 2 is dropped: the walk 0 -> 1 -> 2 bypasses it.\n"
           "\n" +
           kExitStatus;
}

std::string weakestLinkHelp() {
    return std::string("usage: ") + kWeakestLinkUsage +
           "\n"
           "\n"
           "Reads the weight matrix INPUT. A weight above L, or a negative one, is\n"
           "replaced when a path through other nodes beats it on its weakest link:\n"
           "when the largest weight (by magnitude) along that path is smaller. Then\n"
           "replaced cells, negative cells and cells at or above U become absent,\n"
           "which the matrix marks with the value 2.0. Writes the processed matrix to\n"
           "MATRIX and the edge list of the cells that are not absent (the diagonal\n"
           "included) to EDGES. When both are '-', standard output receives the\n"
           "matrix first, then the edge list.\n"
           "\n"
           "Options:\n"
           "  --lower L      weights above L may be replaced (required)\n"
           "  --upper U      weights at or above U become absent (required)\n" +
           kCommonOptions + "\n" + kStreams +
           "\n"
           "File formats:\n" +
           kWeightMatrixFormat + kEdgeListFormat + kLabelledFormats +
           "\n"
           "Example:\n"
           "  $ printf '0 0.2 0.9\\n2 0 0.3\\n2 2 0\\n' > weights.txt\n"
           "  $ fwprune weakest-link weights.txt edges.txt - --lower 0.1 --upper 1\n"
           "  0.000000e+000 2.000000e-001 2.000000e+000\n"
           "  2.000000e+000 0.000000e+000 3.000000e-001\n"
           "  2.000000e+000 2.000000e+000 0.000000e+000\n"
           "  The weight 0.9 from node 0 to node 2 is beaten by the path 0 -> 1 -> 2,\n"
           "  whose weakest link is 0.3; the 2s in the input are at or above U.\n"
           "  edges.txt then holds 0 edge 0, 0 edge 1, 1 edge 1, 1 edge 2, 2 edge 2.\n"
           "\n" +
           kExitStatus;
}

}  // namespace fwprune::cli
