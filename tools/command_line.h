// The command line: what the user asked for, read and checked.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "fwprune.h"

namespace fwprune::cli {

struct CommandLine {
    std::string command;  // empty when none was given
    std::vector<std::string> files;
    bool help = false;
    bool version = false;
    bool stats = false;
    bool strict = false;
    bool quiet = false;
    fwpruneBackend backend = FWPRUNE_BACKEND_AUTO;
    fwpruneRoute route = FWPRUNE_ROUTE_AUTO;
    fwpruneCycles cycles = FWPRUNE_CYCLES_DROP;
    bool cyclesGiven = false;
    std::optional<std::string> removed;  // --removed FILE
    int threads = 0;
    std::optional<float> lower;
    std::optional<float> upper;
    fwpruneFileFormat inputFormat = FWPRUNE_FORMAT_AUTO;
    fwpruneFileFormat outputFormat = FWPRUNE_FORMAT_AUTO;
    bool header = false;
};

// Reads every argument before judging them, so that --help and --version win over mistakes
// elsewhere on the line; throws the first mistake (a usage Failure) only when neither was asked
// for.
CommandLine parseCommandLine(int argc, char** argv);

// Checks what the command needs, once --help and --version are out of the way.
void validateCommand(const CommandLine& line);

// "auto", "gpu", "cpu" or "emulated".
const char* backendName(fwpruneBackend backend);

// "auto", "sweeps", "sparse" or "ordered".
const char* routeName(fwpruneRoute route);

}  // namespace fwprune::cli
