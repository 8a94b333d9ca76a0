// One job's context, handed down to every phase: its options with the thread count resolved once,
// its one pool of workers, the caller's cancel hook installed for the job's thread, and the
// phases timed and reported.
#pragma once

#include <chrono>
#include <memory>

#include "common/cancel.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "pipelines/pipelines.h"

namespace fwprune {

class JobContext {
  public:
    // Resolves the thread count (an InvalidArgument Error for a bad one) and installs the cancel
    // hook for the calling thread until the job ends.
    explicit JobContext(const RunOptions& options);
    JobContext(const JobContext&) = delete;
    JobContext& operator=(const JobContext&) = delete;

    const RunOptions& options() const { return options_; }
    int threads() const { return options_.threads; }
    RunStats* stats() const { return options_.stats; }
    // The job's workers, started at the first use and shared by every phase that runs on the
    // CPU: readers, engines, the stand-in, writers.
    ThreadPool& pool();

    // The options' progress callback for the engine's phase (empty when there is none).
    ProgressFunction engineProgress() const;

  private:
    RunOptions options_;
    CancelScope cancel_;
    std::unique_ptr<ThreadPool> pool_;
};

// Times one phase of a job and reports its start and end to the progress callback.
class PhaseTimer {
  public:
    PhaseTimer(const JobContext& job, Phase phase)
        : options_(job.options()), phase_(phase), start_(std::chrono::steady_clock::now()) {
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

// Runs the three phases of a file-to-file job, each timed and reported, with a chance to cancel
// between them: read(progress) returns the input, compute(input) runs the engine on it (and
// fills the statistics but for the times) and returns the result, write(result, progress)
// writes the outputs.
template <typename Read, typename Compute, typename Write>
void runJobPhases(JobContext& job, Read&& read, Compute&& compute, Write&& write) {
    checkCancelled();
    PhaseTimer reading(job, Phase::Read);
    auto input = read(reading.progress());
    reading.done();
    checkCancelled();
    PhaseTimer computing(job, Phase::Compute);
    decltype(auto) result = compute(input);
    computing.done();
    checkCancelled();
    PhaseTimer writing(job, Phase::Write);
    write(result, writing.progress());
    writing.done();
}

}  // namespace fwprune
