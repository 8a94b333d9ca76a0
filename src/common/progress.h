// Progress of a piece of work as a fraction from 0 to 1.
//
// Engines, readers and writers take an optional ProgressFunction and call it from one thread (the
// one that called them) at a granularity that costs nothing measurable: per block of sweeps, per
// batch of rows, per chunk of input. What is done with the fractions, and how often a user hears
// of them, is decided where the job starts (ProgressThrottle), not in the engines.
#pragma once

#include <chrono>
#include <functional>
#include <utility>

namespace fwprune {

using ProgressFunction = std::function<void(double)>;

// Reports `part` as the share [from, to] of a larger piece of work that `whole` reports on.
// Empty when whole is.
inline ProgressFunction progressPart(ProgressFunction whole, double from, double to) {
    if (!whole) return {};
    return [whole = std::move(whole), from, to](double fraction) {
        whole(from + (to - from) * fraction);
    };
}

// Thins out the reports of the phases of a job before they reach a caller's callback: within a
// phase only fractions that move forward pass, and only when they have moved by a hundredth or
// a tenth of a second has gone by, so the callback hears about a hundred reports per phase however
// often the work reports. A phase's first report and its end (1) always pass. Not thread-safe:
// the work reports from one thread.
class ProgressThrottle {
  public:
    using Clock = std::chrono::steady_clock;

    // Whether a report of (phase, fraction) should be passed on now; if so it becomes the last.
    bool due(int phase, double fraction) {
        const bool newPhase = phase != phase_;
        if (!newPhase && !(fraction > last_)) return false;
        const Clock::time_point now = Clock::now();
        if (!newPhase && fraction < 1.0 && fraction - last_ < 0.01 &&
            now - lastTime_ < std::chrono::milliseconds(100)) {
            return false;
        }
        phase_ = phase;
        last_ = fraction;
        lastTime_ = now;
        return true;
    }

  private:
    int phase_ = -1;
    double last_ = 0;
    Clock::time_point lastTime_;
};

}  // namespace fwprune
