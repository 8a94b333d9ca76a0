// fwprune: command-line front end of the library.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fwprune.h"

namespace {

// Exit statuses, documented in --help.
constexpr int kExitUsage = 2;
constexpr int kExitInput = 3;   // a file could not be read or written, or is malformed
constexpr int kExitEngine = 4;  // the device or engine failed, or memory ran out

const char* const kUsage =
    "usage: fwprune reduce INPUT OUTPUT [options]\n"
    "       fwprune weakest-link INPUT EDGES MATRIX --lower L --upper U [options]\n"
    "       fwprune --help | --version\n";

const char* const kHelp =
    "fwprune prunes dense directed graphs with Floyd-Warshall sweeps.\n"
    "\n"
    "Commands:\n"
    "  reduce INPUT OUTPUT\n"
    "      Reads an edge list and writes the edges that no walk of two or more edges\n"
    "      bypasses: on a graph without cycles, its transitive reduction. Edges on a\n"
    "      cycle or at a self-loop never survive.\n"
    "  weakest-link INPUT EDGES MATRIX --lower L --upper U\n"
    "      Reads a square weight matrix. Every weight above L (or negative) that a path\n"
    "      through other nodes beats on its weakest link (the larger of the path's legs)\n"
    "      is replaced; replaced and negative cells, and cells at or above U, become\n"
    "      absent (2.0). Writes the matrix to MATRIX, then the edge list of the cells that\n"
    "      are not absent (diagonal included) to EDGES.\n"
    "\n"
    "Options:\n"
    "  --backend auto|gpu|cpu|emulated   where the sweeps run (default auto: the GPU\n"
    "                                    when one is usable, else the CPU)\n"
    "  --threads N                       CPU threads (default: all)\n"
    "\n"
    "File formats:\n"
    "  Edge list: records 'SOURCE WORD TARGET' separated by whitespace, one per line\n"
    "  when written ('0 edge 1'); nodes are numbered from 0, n = largest number + 1.\n"
    "  Weight matrix: n lines of n numbers separated by blanks; the first line fixes n.\n"
    "  Written values use C's %e form with a three-digit exponent (2.000000e-001).\n"
    "\n"
    "Example:\n"
    "  printf '0 edge 1\\n1 edge 2\\n0 edge 2\\n' > g.txt && fwprune reduce g.txt out.txt\n"
    "  # out.txt: 0 edge 1, 1 edge 2\n"
    "\n"
    "Outputs are written whole or not at all. Exit status: 0 success, 2 usage error,\n"
    "3 input or output file error, 4 device or engine error.\n";

int exitFor(fwpruneStatus status) {
    switch (status) {
        case FWPRUNE_OK: return 0;
        case FWPRUNE_ERROR_INVALID_ARGUMENT: return kExitUsage;
        case FWPRUNE_ERROR_IO:
        case FWPRUNE_ERROR_FORMAT:
        case FWPRUNE_ERROR_TOO_LARGE: return kExitInput;
        default: return kExitEngine;
    }
}

int usageError(const std::string& message) {
    std::fprintf(stderr, "fwprune: %s\n%s", message.c_str(), kUsage);
    return kExitUsage;
}

bool parseFloat(const char* text, float* value) {
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text, &end);
    if (end == text || *end != '\0') return false;
    *value = static_cast<float>(parsed);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> positional;
    fwpruneOptions options;
    fwpruneInitOptions(&options);
    float lower = NAN, upper = NAN;
    bool haveLower = false, haveUpper = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)name;
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            std::fputs("\n", stdout);
            std::fputs(kHelp, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("fwprune %s\n", fwpruneGetVersion());
            return 0;
        } else if (arg == "--lower" || arg == "--upper") {
            const char* text = value(arg.c_str());
            float* target = arg == "--lower" ? &lower : &upper;
            if (text == nullptr || !parseFloat(text, target)) {
                return usageError(arg + " needs a number");
            }
            (arg == "--lower" ? haveLower : haveUpper) = true;
        } else if (arg == "--backend") {
            const char* text = value("--backend");
            const std::string name = text ? text : "";
            if (name == "auto") options.backend = FWPRUNE_BACKEND_AUTO;
            else if (name == "gpu") options.backend = FWPRUNE_BACKEND_GPU;
            else if (name == "cpu") options.backend = FWPRUNE_BACKEND_CPU;
            else if (name == "emulated") options.backend = FWPRUNE_BACKEND_EMULATED;
            else return usageError("--backend must be auto, gpu, cpu or emulated");
        } else if (arg == "--threads") {
            const char* text = value("--threads");
            char* end = nullptr;
            const long threads = text ? std::strtol(text, &end, 10) : -1;
            if (text == nullptr || *end != '\0' || threads < 0 || threads > 4096) {
                return usageError("--threads needs a count from 0 to 4096");
            }
            options.threads = static_cast<int>(threads);
        } else if (arg.size() > 1 && arg[0] == '-' ) {
            return usageError("unknown option " + arg);
        } else {
            positional.push_back(arg);
        }
    }
    if (positional.empty()) return usageError("no command given");

    const std::string& command = positional[0];
    fwpruneStatus status = FWPRUNE_OK;
    if (command == "reduce") {
        if (positional.size() != 3) return usageError("reduce takes INPUT and OUTPUT");
        status = runTransitiveReductionChecked(positional[1].c_str(), positional[2].c_str(), &options);
    } else if (command == "weakest-link") {
        if (positional.size() != 4) return usageError("weakest-link takes INPUT, EDGES and MATRIX");
        if (!haveLower || !haveUpper) return usageError("weakest-link needs --lower and --upper");
        status = runWeakestLinkReductionChecked(positional[1].c_str(), positional[2].c_str(),
                                                positional[3].c_str(), lower, upper, &options);
    } else {
        return usageError("unknown command '" + command + "'");
    }
    if (status != FWPRUNE_OK) {
        std::fprintf(stderr, "fwprune: %s\n", fwpruneGetLastErrorMessage());
        return exitFor(status);
    }
    return 0;
}
