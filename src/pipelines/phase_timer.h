// Times one phase of a job and reports its start and end to the progress callback.
#pragma once

#include <chrono>

#include "common/cancel.h"
#include "common/progress.h"
#include "pipelines/pipelines.h"

namespace fwprune {

class PhaseTimer {
  public:
    PhaseTimer(const RunOptions& options, Phase phase)
        : options_(options), phase_(phase), start_(std::chrono::steady_clock::now()) {
        report(0.0);
    }
    PhaseTimer(const PhaseTimer&) = delete;
    PhaseTimer& operator=(const PhaseTimer&) = delete;
    // Only a phase that completes is reported done; one left by an exception is not.
    void done() {
        if (options_.stats) {
            options_.stats->seconds[static_cast<int>(phase_)] =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
        }
        report(1.0);
    }
    void report(double fraction) const {
        if (options_.progress) options_.progress(phase_, fraction);
    }
    // The phase's fractions for a reader, engine or writer; empty when nobody listens.
    ProgressFunction progress() const {
        if (!options_.progress) return {};
        return [this](double fraction) { report(fraction); };
    }

  private:
    const RunOptions& options_;
    Phase phase_;
    std::chrono::steady_clock::time_point start_;
};

// Runs the three phases of a file-to-file job: read(progress) returns the matrix, sweep(matrix)
// runs the engine and returns the backend it used, write(matrix, progress) writes the outputs.
// Each phase is timed and reported; the statistics get n and the edges before and after the
// sweeps.
template <typename Read, typename Sweep, typename Write, typename CountEdges>
void runJobPhases(const RunOptions& options, Read&& read, Sweep&& sweep, Write&& write,
                  CountEdges&& countEdges) {
    // The caller may cancel between phases (and, more often, inside them).
    checkCancelled();
    PhaseTimer reading(options, Phase::Read);
    auto matrix = read(reading.progress());
    reading.done();
    checkCancelled();
    if (options.stats) {
        options.stats->nodes = matrix.n;
        options.stats->edgesIn = countEdges(matrix);
    }
    PhaseTimer sweeps(options, Phase::Sweeps);
    const Backend backend = sweep(matrix);
    sweeps.done();
    checkCancelled();
    if (options.stats) {
        options.stats->backend = backend;
        options.stats->edgesOut = countEdges(matrix);
    }
    PhaseTimer writing(options, Phase::Write);
    write(matrix, writing.progress());
    writing.done();
}

}  // namespace fwprune
