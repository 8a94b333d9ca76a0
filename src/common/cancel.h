// Cancellation of a running job, asked of the caller through a callback on the caller's thread.
//
// The scope is per thread, so engines, readers and writers poll without being handed anything:
// on the thread that runs the job the callback is asked; on pool workers polling does nothing.
#pragma once

#include <chrono>
#include <functional>

namespace fwprune {

class CancelScope {
  public:
    // requested() returns true when the job should stop; an empty function never stops it.
    explicit CancelScope(std::function<bool()> requested);
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

  private:
    friend void checkCancelled();
    friend void pollCancelled();

    std::function<bool()> requested_;
    CancelScope* outer_;
    std::chrono::steady_clock::time_point lastAsked_;
};

// Asks now, and throws an Error with Status::Cancelled when the caller wants the job stopped.
// For phase boundaries and the moment before an output replaces its target.
void checkCancelled();

// The same, asking at most every few milliseconds: cheap enough for inner loops (a sweep, a
// batch of rows, a block of input) and never a burden on a callback that takes a lock.
void pollCancelled();

}  // namespace fwprune
