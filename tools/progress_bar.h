// The progress bar on standard error.
#pragma once

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "fwprune.h"

namespace fwprune::cli {

using Clock = std::chrono::steady_clock;

// Read by the signal watcher, which clears a half-drawn bar before the process dies.
extern std::atomic<bool> barOnScreen;

inline std::string formatBytes(double bytes) {
    const char* const units[] = {"B", "kB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1000.0 && unit < 4) {
        bytes /= 1000.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

inline std::string formatDuration(double seconds) {
    if (!(seconds < 100 * 3600.0)) return ">99h";  // early estimates can be wild, or infinite
    const long total = std::lround(seconds);
    char text[32];
    if (total < 60) {
        std::snprintf(text, sizeof text, "%lds", total);
    } else if (total < 3600) {
        std::snprintf(text, sizeof text, "%ldm%02lds", total / 60, total % 60);
    } else {
        std::snprintf(text, sizeof text, "%ldh%02ldm", total / 3600, total % 3600 / 60);
    }
    return text;
}

// One line on standard error that shows the current phase, how far it has got, the time it has
// taken, and (once its rate has settled) the reading rate and the time it has left. It draws at
// once when a phase starts, then at most every 100 ms, and erases itself when the run ends, so a
// quick run leaves no trace on the terminal. A stage of the work may report nothing for seconds,
// so a ticker thread redraws the times twice a second while the fraction stands still.
class ProgressBar {
  public:
    // Steps of a run: the library's phases, plus copying standard input in and standard output
    // out, which the user sees as part of reading and writing.
    enum Step { kRead = FWPRUNE_PHASE_READ, kSweeps, kWrite, kCopyIn, kCopyOut };

    explicit ProgressBar(bool enabled) : enabled_(enabled) {
        winsize size{};
        if (enabled_ && ::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
            width_ = size.ws_col;
        }
        if (enabled_) {
            try {
                ticker_ = std::thread([this] { tick(); });
            } catch (const std::system_error&) {
                // Without the thread the bar still moves with every report.
            }
        }
    }
    ~ProgressBar() {
        if (ticker_.joinable()) {
            {
                const std::lock_guard<std::mutex> lock(mutex_);
                stopping_ = true;
            }
            wake_.notify_all();
            ticker_.join();
        }
        clear();
    }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    bool enabled() const { return enabled_; }

    // The size of the input file, to show the reading rate in bytes.
    void setInputBytes(double bytes) { inputBytes_ = bytes; }

    // What the engine's phase is called: "reducing" or "pruning".
    void setWorkLabel(const char* label) { workLabel_ = label; }

    static void onLibraryProgress(void* self, fwprunePhase phase, double fraction) {
        auto& bar = *static_cast<ProgressBar*>(self);
        const Step step = phase == FWPRUNE_PHASE_READ     ? kRead
                          : phase == FWPRUNE_PHASE_SWEEPS ? kSweeps
                                                          : kWrite;
        const double bytes = step == kRead && bar.inputBytes_ > 0 ? fraction * bar.inputBytes_ : -1;
        bar.show(step, fraction, bytes);
    }

    // fraction < 0: unknown (only bytes are shown). bytes < 0: the rate is shown in percent.
    void show(Step step, double fraction, double bytes) {
        if (!enabled_) return;
        const std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point now = Clock::now();
        fraction_ = fraction;
        bytes_ = bytes;
        const bool newStep = step != step_ || !drawn_;
        if (step != step_) {
            step_ = step;
            stepStart_ = now;
        }
        // A redraw for every whole percent (at most a hundred a phase, so a fast phase still
        // shows it moving) and otherwise ten a second, for the times.
        const int percent = fraction < 0 ? -1 : static_cast<int>(fraction * 100);
        if (!newStep && percent == lastPercent_ &&
            now - lastDraw_ < std::chrono::milliseconds(100)) {
            return;
        }
        drawn_ = true;
        lastDraw_ = now;
        lastPercent_ = percent;
        draw(fraction, bytes, std::chrono::duration<double>(now - stepStart_).count());
    }

    void clear() {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!onScreen_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        onScreen_ = false;
        barOnScreen = false;
    }

  private:
    static constexpr std::chrono::milliseconds kTick{250};

    // Redraws the last report with the time as it is now, when the bar is on screen and has not
    // been drawn for two ticks.
    void tick() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, kTick, [this] { return stopping_; })) {
            const Clock::time_point now = Clock::now();
            if (!onScreen_ || now - lastDraw_ < 2 * kTick) continue;
            lastDraw_ = now;
            draw(fraction_, bytes_, std::chrono::duration<double>(now - stepStart_).count());
        }
    }

    void draw(double fraction, double bytes, double elapsed) {
        const char* const labels[] = {"reading", workLabel_, "writing", "reading", "writing"};
        const bool known = fraction >= 0;
        fraction = std::clamp(fraction, 0.0, 1.0);
        // The rate needs a little history to mean anything.
        const bool settled = elapsed >= 0.5;
        std::string tail;
        char text[64];
        if (known) {
            std::snprintf(text, sizeof text, " %3d%%", static_cast<int>(fraction * 100));
            tail += text;
        } else if (bytes >= 0) {
            tail += "  " + formatBytes(bytes);
        }
        if (settled && bytes >= 0) tail += "  " + formatBytes(bytes / elapsed) + "/s";
        tail += "  " + formatDuration(elapsed);
        if (settled && known && fraction > 0 && fraction < 1) {
            tail += ", " + formatDuration(elapsed * (1 - fraction) / fraction) + " left";
        }

        std::snprintf(text, sizeof text, "%-9s", labels[step_]);
        std::string line = text;
        const int room = width_ - 1 - static_cast<int>(line.size() + tail.size()) - 2;
        const int barWidth = std::min(room, 40);
        if (known && barWidth >= 10) {
            const int filled = static_cast<int>(fraction * barWidth);
            line += "[" + std::string(filled, '#') + std::string(barWidth - filled, '.') + "]";
        }
        line += tail;
        line.resize(std::min<std::size_t>(line.size(), std::max(width_ - 1, 0)));
        std::fputs(("\r" + line + "\033[K").c_str(), stderr);
        std::fflush(stderr);
        onScreen_ = true;
        barOnScreen = true;
    }

    const bool enabled_;
    int width_ = 80;
    double inputBytes_ = -1;
    const char* workLabel_ = "working";
    Step step_ = kRead;
    bool drawn_ = false;
    bool onScreen_ = false;
    Clock::time_point stepStart_ = Clock::now();
    Clock::time_point lastDraw_;
    int lastPercent_ = -1;
    double fraction_ = -1;  // the last report, for the ticker
    double bytes_ = -1;
    std::mutex mutex_;  // reports come from the job's thread, redraws also from the ticker
    std::condition_variable wake_;
    bool stopping_ = false;
    std::thread ticker_;
};

// Whether to show a bar: standard error is a terminal that understands ESC [K, and --quiet was
// not given.
bool progressWanted(bool quiet);

}  // namespace fwprune::cli
