// fwprune: the command-line front end of the library. It uses only the public header, so it
// doubles as a check that the exported API is enough to drive both jobs.
#include "fwprune.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli_errors.h"
#include "command_line.h"
#include "help_text.h"
#include "progress_bar.h"
#include "standard_streams.h"

namespace fwprune::cli {
namespace {

// The library's message names the copies of standard input and output in the temporary
// directory, which is gone by the time the message is read: it names the streams instead, and for
// output where its copy was (the folder $TMPDIR names may be the one that is full).
std::string describeLibraryError(std::string message,
                                 const std::vector<std::pair<std::string, std::string>>& copies) {
    for (const auto& [copy, stream] : copies) {
        for (std::size_t at = message.find(copy); at != std::string::npos;
             at = message.find(copy, at)) {
            message.replace(at, copy.size(), stream);
            at += stream.size();
        }
    }
    std::replace(message.begin(), message.end(), '\n', ' ');  // the error stays on one line
    return message;
}

void printStats(const fwpruneRunStats& stats, double totalSeconds) {
    if (stats.nodes < 0) {
        std::fputs("fwprune: this library version reports no statistics\n", stderr);
        return;
    }
    std::fprintf(stderr,
                 "nodes      %lld\n"
                 "edges in   %lld\n"
                 "edges out  %lld\n"
                 "backend    %s\n"
                 "route      %s\n"
                 "reading    %.3f s\n"
                 "sweeps     %.3f s\n"
                 "writing    %.3f s\n"
                 "total      %.3f s\n",
                 stats.nodeCount, stats.edgesIn, stats.edgesOut, backendName(stats.backend),
                 routeName(stats.route), stats.seconds[FWPRUNE_PHASE_READ],
                 stats.seconds[FWPRUNE_PHASE_COMPUTE], stats.seconds[FWPRUNE_PHASE_WRITE],
                 totalSeconds);
}

int runJob(const CommandLine& line) {
    const Clock::time_point started = Clock::now();
    const bool reduce = line.command == "reduce";
    const bool reportToStream = line.removed && *line.removed == "-";
    const bool usesStreams =
        reportToStream || std::find(line.files.begin(), line.files.end(), "-") != line.files.end();
    const bool showProgress = progressWanted(line.quiet);

    // Declared first so that it outlives the directory and the bar it cleans up after.
    SignalWatcher watcher;
    ProgressBar bar(showProgress);
    bar.setWorkLabel(reduce ? "reducing" : "pruning");
    std::optional<TemporaryDirectory> temporary;
    if (usesStreams) {
        temporary.emplace();
        watcher.removeOnSignal(temporary->path());
    }

    // The copies in the temporary directory, and how messages name them.
    std::vector<std::pair<std::string, std::string>> copies;
    std::string input = line.files[0];
    if (input == "-") {
        const std::string spoolPath = temporary->file("stdin");
        copies.emplace_back(spoolPath, "standard input");
        input = spoolPath;
        spoolStandardInput(spoolPath, "standard input's copy in " + temporary->parent(), bar);
    }
    bar.setInputBytes(fileBytes(input));

    // Outputs bound for standard output go to the temporary directory first.
    const char* const temporaryNames[] = {"output", "edges", "matrix"};
    std::vector<std::string> outputs(line.files.begin() + 1, line.files.end());
    std::vector<std::string> toStream;
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        if (outputs[i] != "-") continue;
        outputs[i] = temporary->file(temporaryNames[reduce ? 0 : i + 1]);
        toStream.push_back(outputs[i]);
        copies.emplace_back(outputs[i],
                            "standard output (its copy in " + temporary->parent() + ")");
    }
    // With both weakest-link outputs on standard output, the matrix comes first.
    if (toStream.size() == 2) std::swap(toStream[0], toStream[1]);
    // The report alone may go there too (validateCommand refused it beside another output).
    std::string removedPath = line.removed.value_or("");
    if (reportToStream) {
        removedPath = temporary->file("removed");
        toStream.push_back(removedPath);
        copies.emplace_back(removedPath,
                            "standard output (its copy in " + temporary->parent() + ")");
    }

    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = line.backend;
    options.route = line.route;
    options.cycles = line.cycles;
    if (line.removed) options.removedPath = removedPath.c_str();
    options.threads = line.threads;
    options.strict = line.strict ? 1 : 0;
    options.inputFormat = line.inputFormat;
    options.outputFormat = line.outputFormat;
    options.header = line.header ? 1 : 0;
    fwpruneRunStats stats{};
    stats.nodes = -1;  // stays -1 if the library predates statistics
    if (line.stats) {
        options.stats = &stats;
        options.statsSize = sizeof stats;
    }
    if (bar.enabled()) {
        options.progress = &ProgressBar::onLibraryProgress;
        options.progressUserData = &bar;
    }

    const fwpruneStatus status =
        reduce ? fwpruneRunTransitiveReductionChecked(input.c_str(), outputs[0].c_str(), &options)
               : fwpruneRunWeakestLinkReductionChecked(input.c_str(), outputs[0].c_str(),
                                                       outputs[1].c_str(), *line.lower, *line.upper,
                                                       &options);
    if (status != FWPRUNE_OK) {
        // An output whose reader went away (/dev/stdout or a FIFO into a closed pipe): ended by
        // SIGPIPE, quietly, as writing to standard output directly would have.
        if (status == FWPRUNE_ERROR_IO && fwpruneGetLastErrorNumber() == EPIPE) throw BrokenPipe{};
        throw Failure{exitCodeFor(status),
                      describeLibraryError(fwpruneGetLastErrorMessage(), copies)};
    }
    for (const std::string& path : toStream) copyToStandardOutput(path, bar);
    bar.clear();
    if (line.stats) {
        printStats(stats, std::chrono::duration<double>(Clock::now() - started).count());
    }
    return kExitOk;
}

int flushStandardOutput() {
    if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return kExitOk;
    if (errno == EPIPE) throw BrokenPipe{};
    throw Failure{kExitFile, "standard output: cannot write: " + systemError(errno)};
}

int run(int argc, char** argv) {
    const CommandLine line = parseCommandLine(argc, argv);
    if (line.help) {
        const std::string text = line.command == "reduce"         ? reduceHelp()
                                 : line.command == "weakest-link" ? weakestLinkHelp()
                                                                  : mainHelp();
        std::fputs(text.c_str(), stdout);
        return flushStandardOutput();
    }
    if (line.version) {
        std::printf("fwprune %s\n", fwpruneGetVersion());
        return flushStandardOutput();
    }
    validateCommand(line);
    return runJob(line);
}

}  // namespace
}  // namespace fwprune::cli

int main(int argc, char** argv) {
    using namespace fwprune::cli;
    // A closed pipe on standard output shows up as EPIPE from write, so the temporaries can
    // still be removed before SIGPIPE ends the process.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return run(argc, argv);
    } catch (const BrokenPipe&) {
        std::signal(SIGPIPE, SIG_DFL);
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
        std::raise(SIGPIPE);
        return 128 + SIGPIPE;  // not reached
    } catch (const Failure& failure) {
        if (!failure.message.empty())
            std::fprintf(stderr, "fwprune: %s\n", failure.message.c_str());
        return failure.exitCode;
    } catch (const std::bad_alloc&) {
        std::fputs("fwprune: out of memory\n", stderr);
        return kExitEngine;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "fwprune: internal error: %s\n", error.what());
        return kExitEngine;
    }
}
