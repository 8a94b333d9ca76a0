// How the command line fails: exit statuses, and the exception that ends a run with one.
#pragma once

#include <cstring>
#include <string>

#include "fwprune.h"

namespace fwprune::cli {

// Exit statuses, documented in the help text.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitFile = 3;    // a file cannot be read or written, is malformed, or too large
constexpr int kExitEngine = 4;  // the device or engine failed, or memory ran out

// Thrown to end the run: main prints the message (when there is one) and exits with the code.
struct Failure {
    int exitCode;
    std::string message;
};

inline Failure usageError(const std::string& message, const std::string& command = "") {
    const std::string help = command.empty() ? "fwprune --help" : "fwprune " + command + " --help";
    return Failure{kExitUsage, message + " (see '" + help + "')"};
}

inline std::string systemError(int error) {
    return std::strerror(error);
}

inline int exitCodeFor(fwpruneStatus status) {
    switch (status) {
        case FWPRUNE_OK:
            return kExitOk;
        case FWPRUNE_ERROR_INVALID_ARGUMENT:
            return kExitUsage;
        case FWPRUNE_ERROR_IO:
        case FWPRUNE_ERROR_FORMAT:
        case FWPRUNE_ERROR_TOO_LARGE:
            return kExitFile;
        case FWPRUNE_ERROR_OUT_OF_MEMORY:
        case FWPRUNE_ERROR_DEVICE:
        case FWPRUNE_ERROR_INTERNAL:
        case FWPRUNE_ERROR_CANCELLED:  // the program asks no job to stop; signals end it
            break;
    }
    return kExitEngine;  // also any status a newer library adds
}

}  // namespace fwprune::cli
