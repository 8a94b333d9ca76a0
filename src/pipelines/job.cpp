#include "pipelines/job.h"

#include "common/threads.h"

namespace fwprune {
namespace {

RunOptions resolved(RunOptions options) {
    options.threads = resolveThreadCount(options.threads);
    return options;
}

}  // namespace

JobContext::JobContext(const RunOptions& options)
    : options_(resolved(options)), cancel_(options_.cancelRequested) {}

ThreadPool& JobContext::pool() {
    if (!pool_) pool_ = std::make_unique<ThreadPool>(options_.threads);
    return *pool_;
}

ProgressFunction JobContext::engineProgress() const {
    if (!options_.progress) return {};
    return [this](double fraction) { options_.progress(Phase::Compute, fraction); };
}

}  // namespace fwprune
