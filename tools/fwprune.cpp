// fwprune: the command-line front end of the library. It uses only the public header, so it
// doubles as a check that the exported API is enough to drive both jobs.
#include "fwprune.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

// Exit statuses, documented in the help text.
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitFile = 3;    // a file cannot be read or written, is malformed, or too large
constexpr int kExitEngine = 4;  // the device or engine failed, or memory ran out

// ---------------------------------------------------------------------------------------------
// Help text

const char* const kReduceUsage = "fwprune reduce INPUT OUTPUT [options]";
const char* const kWeakestLinkUsage =
    "fwprune weakest-link INPUT EDGES MATRIX --lower L --upper U [options]";

const char* const kEdgeListFormat =
    "  Edge list      Records of three tokens separated by blanks or line breaks:\n"
    "                 source node, any word, target node ('0 edge 1' is the edge\n"
    "                 from node 0 to node 1). Nodes are numbered from 0; n is the\n"
    "                 largest node number + 1. Written one edge per line as\n"
    "                 '%d edge %d', sorted by source, then target.\n";

const char* const kWeightMatrixFormat =
    "  Weight matrix  n lines of n numbers separated by blanks; the number of\n"
    "                 values on the first line fixes n. The value in row i,\n"
    "                 column j is the weight of the edge from node i to node j.\n"
    "                 Written like C's %e with a three-digit exponent\n"
    "                 (2.000000e-001), one row per line.\n";

const char* const kCommonOptions =
    "  --backend B    where the sweeps run: auto (default; the GPU when one is\n"
    "                 usable, else the CPU), gpu, cpu, or emulated (the GPU code\n"
    "                 run on the CPU; slow, meant for testing)\n"
    "  --threads N    CPU threads; 0 (default) uses every hardware thread\n"
    "  --strict       a number followed by other characters, such as '1x', is an\n"
    "                 error; by default its leading digits are used, and a token\n"
    "                 that is not a number at all reads as 0\n"
    "  --stats        print n, the edges read and written, the backend and the\n"
    "                 time of each phase to standard error\n"
    "  -q, --quiet    no progress bar (it is shown only when standard error is a\n"
    "                 terminal)\n"
    "  -h, --help     show this help\n";

const char* const kStreams =
    "A file name of '-' reads standard input (INPUT) or writes standard output\n"
    "(output files). Options may come before or after the file names; '--' ends\n"
    "the options, so that later arguments are file names even if they start\n"
    "with '-'.\n";

const char* const kExitStatus =
    "Exit status:\n"
    "  0  success\n"
    "  2  usage error: unknown command or option, bad number, wrong file count\n"
    "  3  file error: a file cannot be read or written, is not in the expected\n"
    "     format, or holds a graph too large for it (more than 46340 nodes)\n"
    "  4  device or engine error: no usable GPU for --backend gpu, the GPU failed,\n"
    "     memory ran out, or an internal fault (please report it)\n"
    "On failure, one line on standard error names the file (and line) and what\n"
    "was wrong, and no output file is created or changed.\n";

std::string mainHelp() {
    return std::string("usage: ") + kReduceUsage + "\n       " + kWeakestLinkUsage +
           "\n"
           "       fwprune COMMAND --help\n"
           "       fwprune --help | --version\n"
           "\n"
           "fwprune prunes dense directed graphs with Floyd-Warshall sweeps, on a GPU\n"
           "or on the CPU.\n"
           "\n"
           "Commands:\n"
           "  reduce         keep only the edges of a graph that no detour of two or\n"
           "                 more edges bypasses (its transitive reduction, if it has\n"
           "                 no cycles)\n"
           "  weakest-link   prune a weight matrix: drop each weight that a path\n"
           "                 through other nodes beats on its weakest link\n"
           "Run 'fwprune COMMAND --help' for the details of one command.\n"
           "\n"
           "Options:\n" +
           kCommonOptions +
           "  --version      show the version\n"
           "  weakest-link also needs --lower L and --upper U.\n"
           "\n" +
           kStreams +
           "\n"
           "File formats:\n" +
           kEdgeListFormat + kWeightMatrixFormat +
           "\n"
           "Examples:\n"
           "  fwprune reduce graph.txt reduced.txt\n"
           "  fwprune weakest-link weights.txt edges.txt pruned.txt --lower 0.1 --upper 1\n"
           "\n" +
           kExitStatus;
}

std::string reduceHelp() {
    return std::string("usage: ") + kReduceUsage +
           "\n"
           "\n"
           "Reads the edge list INPUT and writes to OUTPUT the edges that no walk of\n"
           "two or more edges bypasses. On a graph without cycles this is its\n"
           "transitive reduction: the fewest edges that still let every node reach\n"
           "all the nodes it reached before. An edge on a cycle, and a self-loop,\n"
           "never survive.\n"
           "\n"
           "Options:\n" +
           kCommonOptions + "\n" + kStreams +
           "\n"
           "File format:\n" +
           kEdgeListFormat +
           "\n"
           "Example:\n"
           "  $ printf '0 edge 1\\n1 edge 2\\n0 edge 2\\n' > graph.txt\n"
           "  $ fwprune reduce graph.txt -\n"
           "  0 edge 1\n"
           "  1 edge 2\n"
           "  The edge 0 -> 2 is dropped: the walk 0 -> 1 -> 2 bypasses it.\n"
           "\n" +
           kExitStatus;
}

std::string weakestLinkHelp() {
    return std::string("usage: ") + kWeakestLinkUsage +
           "\n"
           "\n"
           "Reads the weight matrix INPUT. A weight above L, or a negative one, is\n"
           "replaced when a path through other nodes beats it on its weakest link:\n"
           "when the largest weight (by magnitude) along that path is smaller. Then\n"
           "replaced cells, negative cells and cells at or above U become absent,\n"
           "which the matrix marks with the value 2.0. Writes the processed matrix to\n"
           "MATRIX and the edge list of the cells that are not absent (the diagonal\n"
           "included) to EDGES. When both are '-', standard output receives the\n"
           "matrix first, then the edge list.\n"
           "\n"
           "Options:\n"
           "  --lower L      weights above L may be replaced (required)\n"
           "  --upper U      weights at or above U become absent (required)\n" +
           kCommonOptions + "\n" + kStreams +
           "\n"
           "File formats:\n" +
           kWeightMatrixFormat + kEdgeListFormat +
           "\n"
           "Example:\n"
           "  $ printf '0 0.2 0.9\\n2 0 0.3\\n2 2 0\\n' > weights.txt\n"
           "  $ fwprune weakest-link weights.txt edges.txt - --lower 0.1 --upper 1\n"
           "  0.000000e+000 2.000000e-001 2.000000e+000\n"
           "  2.000000e+000 0.000000e+000 3.000000e-001\n"
           "  2.000000e+000 2.000000e+000 0.000000e+000\n"
           "  The weight 0.9 from node 0 to node 2 is beaten by the path 0 -> 1 -> 2,\n"
           "  whose weakest link is 0.3; the 2s in the input are at or above U.\n"
           "  edges.txt then holds 0 edge 0, 0 edge 1, 1 edge 1, 1 edge 2, 2 edge 2.\n"
           "\n" +
           kExitStatus;
}

// ---------------------------------------------------------------------------------------------
// Failures

// Thrown to end the run: main prints the message (when there is one) and exits with the code.
struct Failure {
    int exitCode;
    std::string message;
};

Failure usageError(const std::string& message, const std::string& command = "") {
    const std::string help = command.empty() ? "fwprune --help" : "fwprune " + command + " --help";
    return Failure{kExitUsage, message + " (see '" + help + "')"};
}

std::string systemError(int error) {
    return std::strerror(error);
}

int exitCodeFor(fwpruneStatus status) {
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
            break;
    }
    return kExitEngine;  // also any status a newer library adds
}

// ---------------------------------------------------------------------------------------------
// Command line

struct CommandLine {
    std::string command;  // empty when none was given
    std::vector<std::string> files;
    bool help = false;
    bool version = false;
    bool stats = false;
    bool strict = false;
    bool quiet = false;
    fwpruneBackend backend = FWPRUNE_BACKEND_AUTO;
    int threads = 0;
    std::optional<float> lower;
    std::optional<float> upper;
};

// strtof rounds the decimal text straight to float, as the thresholds are used.
float parseThreshold(const std::string& option, const std::string& text) {
    const auto bad = [&](const char* why) {
        return usageError(option + ": '" + text + "' " + why, "weakest-link");
    };
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        throw bad("is not a number");
    }
    char* end = nullptr;
    errno = 0;
    const float value = std::strtof(text.c_str(), &end);
    if (end != text.c_str() + text.size() || std::isnan(value)) throw bad("is not a number");
    // Overflow comes back as infinity with ERANGE; a literal "inf" is a deliberate choice.
    if (errno == ERANGE && std::isinf(value)) throw bad("is out of the range of a float");
    return value;
}

int parseThreads(const std::string& text) {
    constexpr long kMaxThreads = 4096;
    const bool digits =
        !text.empty() && text.size() <= 6 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const long value = digits ? std::strtol(text.c_str(), nullptr, 10) : -1;
    if (value < 0 || value > kMaxThreads) {
        throw usageError("--threads: '" + text + "' is not a whole number from 0 to 4096");
    }
    return static_cast<int>(value);
}

fwpruneBackend parseBackend(const std::string& text) {
    if (text == "auto") return FWPRUNE_BACKEND_AUTO;
    if (text == "gpu") return FWPRUNE_BACKEND_GPU;
    if (text == "cpu") return FWPRUNE_BACKEND_CPU;
    if (text == "emulated") return FWPRUNE_BACKEND_EMULATED;
    throw usageError("--backend: '" + text + "' is not one of auto, gpu, cpu, emulated");
}

const char* backendName(fwpruneBackend backend) {
    switch (backend) {
        case FWPRUNE_BACKEND_AUTO:
            return "auto";
        case FWPRUNE_BACKEND_GPU:
            return "gpu";
        case FWPRUNE_BACKEND_CPU:
            return "cpu";
        case FWPRUNE_BACKEND_EMULATED:
            return "emulated";
    }
    return "unknown";
}

// Applies one option; returns false when `name` is not an option at all.
bool applyOption(CommandLine& line, const std::string& name,
                 const std::optional<std::string>& value) {
    if (name == "--backend") {
        line.backend = parseBackend(*value);
    } else if (name == "--threads") {
        line.threads = parseThreads(*value);
    } else if (name == "--lower") {
        line.lower = parseThreshold(name, *value);
    } else if (name == "--upper") {
        line.upper = parseThreshold(name, *value);
    } else if (name == "--stats") {
        line.stats = true;
    } else if (name == "--strict") {
        line.strict = true;
    } else if (name == "-q" || name == "--quiet") {
        line.quiet = true;
    } else if (name == "-h" || name == "--help") {
        line.help = true;
    } else if (name == "--version") {
        line.version = true;
    } else {
        return false;
    }
    return true;
}

bool takesValue(const std::string& name) {
    return name == "--backend" || name == "--threads" || name == "--lower" || name == "--upper";
}

// Reads every argument before judging them, so that --help and --version win over mistakes
// elsewhere on the line; the first mistake is thrown only when neither was asked for.
CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    std::optional<Failure> firstError;
    bool optionsEnded = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);  // includes "-", standard input or output
            continue;
        }
        const std::size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, equals);
        std::optional<std::string> value;
        if (equals != std::string::npos) value = arg.substr(equals + 1);
        try {
            if (takesValue(name) && !value) {
                if (i + 1 >= argc) throw usageError(name + " needs a value");
                value = argv[++i];
            } else if (!takesValue(name) && value) {
                throw usageError(name + " takes no value");
            }
            if (!applyOption(line, name, value)) throw usageError("unknown option '" + arg + "'");
        } catch (const Failure& failure) {
            if (!firstError) firstError = failure;
        }
    }
    if (!positional.empty()) {
        line.command = positional.front();
        line.files.assign(positional.begin() + 1, positional.end());
    }
    if (line.help || line.version) return line;
    if (firstError) throw *firstError;
    return line;
}

// Checks what the command needs, once --help and --version are out of the way.
void validateCommand(const CommandLine& line) {
    if (line.command.empty()) throw usageError("no command given");
    if (line.command == "reduce") {
        if (line.files.size() != 2) {
            throw usageError("reduce takes two files, INPUT and OUTPUT; got " +
                                 std::to_string(line.files.size()),
                             "reduce");
        }
        if (line.lower || line.upper) {
            throw usageError(std::string("reduce takes no ") + (line.lower ? "--lower" : "--upper"),
                             "reduce");
        }
    } else if (line.command == "weakest-link") {
        if (line.files.size() != 3) {
            throw usageError("weakest-link takes three files, INPUT, EDGES and MATRIX; got " +
                                 std::to_string(line.files.size()),
                             "weakest-link");
        }
        if (!line.lower) throw usageError("weakest-link needs --lower L", "weakest-link");
        if (!line.upper) throw usageError("weakest-link needs --upper U", "weakest-link");
    } else {
        throw usageError("unknown command '" + line.command + "'; the commands are reduce and " +
                         "weakest-link");
    }
}

// ---------------------------------------------------------------------------------------------
// Progress bar

using Clock = std::chrono::steady_clock;

// Read by the signal watcher, which clears a half-drawn bar before the process dies.
std::atomic<bool> barOnScreen{false};

std::string formatBytes(double bytes) {
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

std::string formatDuration(double seconds) {
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

// One line on standard error that shows the current phase, how far it has got, its rate and
// the time it has left. It draws immediately, then at most every 100 ms, and erases itself
// when the run ends, so a quick run leaves no trace on the terminal.
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
    }
    ~ProgressBar() { clear(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    bool enabled() const { return enabled_; }

    // The size of the input file, to show the reading rate in bytes.
    void setInputBytes(double bytes) { inputBytes_ = bytes; }

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
        const Clock::time_point now = Clock::now();
        if (step != step_) {
            step_ = step;
            stepStart_ = now;
        }
        if (drawn_ && now - lastDraw_ < std::chrono::milliseconds(100)) return;
        drawn_ = true;
        lastDraw_ = now;
        draw(fraction, bytes, std::chrono::duration<double>(now - stepStart_).count());
    }

    void clear() {
        if (!onScreen_) return;
        std::fputs("\r\033[K", stderr);
        std::fflush(stderr);
        onScreen_ = false;
        barOnScreen = false;
    }

  private:
    void draw(double fraction, double bytes, double elapsed) {
        static const char* const labels[] = {"reading", "sweeps", "writing", "reading", "writing"};
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
        if (settled && bytes >= 0) {
            tail += "  " + formatBytes(bytes / elapsed) + "/s";
        } else if (settled && known) {
            std::snprintf(text, sizeof text, "  %.1f%%/s", fraction * 100 / elapsed);
            tail += text;
        }
        if (settled && known && fraction > 0 && fraction < 1) {
            tail += "  " + formatDuration(elapsed * (1 - fraction) / fraction) + " left";
        }

        std::snprintf(text, sizeof text, "%-8s", labels[step_]);
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
    Step step_ = kRead;
    bool drawn_ = false;
    bool onScreen_ = false;
    Clock::time_point stepStart_ = Clock::now();
    Clock::time_point lastDraw_;
};

bool progressWanted(bool quiet) {
    if (quiet || ::isatty(STDERR_FILENO) == 0) return false;
    const char* const term = std::getenv("TERM");
    return term == nullptr || std::strcmp(term, "dumb") != 0;  // a dumb terminal lacks ESC [K
}

// ---------------------------------------------------------------------------------------------
// Temporary files and signals

// A file descriptor that closes itself.
class FileDescriptor {
  public:
    explicit FileDescriptor(int descriptor) : descriptor_(descriptor) {}
    ~FileDescriptor() {
        if (descriptor_ >= 0) ::close(descriptor_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return descriptor_; }
    int release() { return std::exchange(descriptor_, -1); }

  private:
    int descriptor_;
};

// A private directory under $TMPDIR (or /tmp) for standard input spooled to a file and for
// outputs bound for standard output, since the library works only with paths. It is removed
// with everything in it when the run ends, whether it succeeded or not.
class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        const char* const base = std::getenv("TMPDIR");
        const std::string parent = base != nullptr && *base != '\0' ? base : "/tmp";
        std::string pattern = parent + "/fwprune-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw Failure{kExitFile,
                          parent + ": cannot create a temporary directory: " + systemError(errno)};
        }
        path_ = pattern;
    }
    ~TemporaryDirectory() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const char* name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Ctrl-C, kill and a closed terminal would end the process without running destructors. While
// a watcher exists, those signals are blocked in the main thread and every thread it starts
// later, and a helper thread takes them instead: it removes the temporary directory and the
// progress bar, then lets the signal end the process as it would have.
class SignalWatcher {
  public:
    SignalWatcher() : shared_(std::make_shared<Shared>()) {
        sigemptyset(&signals_);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals_, signal);
        pthread_sigmask(SIG_BLOCK, &signals_, nullptr);
        // Detached and sharing ownership of its state: it may outlive main's stack frame.
        std::thread(watch, shared_, signals_).detach();
    }
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

    void removeOnSignal(const std::string& directory) {
        const std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->directory = directory;
    }

  private:
    struct Shared {
        std::mutex mutex;
        std::string directory;
    };

    static void watch(std::shared_ptr<Shared> shared, sigset_t signals) {
        int signal = 0;
        if (sigwait(&signals, &signal) != 0) return;
        {
            const std::lock_guard<std::mutex> lock(shared->mutex);
            std::error_code ignored;
            if (!shared->directory.empty()) std::filesystem::remove_all(shared->directory, ignored);
        }
        if (barOnScreen) {
            const char clearLine[] = "\r\033[K";
            [[maybe_unused]] const ssize_t written =
                ::write(STDERR_FILENO, clearLine, sizeof clearLine - 1);
        }
        std::signal(signal, SIG_DFL);
        sigset_t only;
        sigemptyset(&only);
        sigaddset(&only, signal);
        pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
        raise(signal);
        std::_Exit(128 + signal);  // not reached unless the signal was ignored by our parent
    }

    std::shared_ptr<Shared> shared_;
    sigset_t signals_{};
};

void writeAll(int descriptor, const char* data, std::size_t size, const std::string& name) {
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            // A reader that went away (`| head`) is no news to the user.
            if (errno == EPIPE && descriptor == STDOUT_FILENO) throw Failure{kExitFile, ""};
            throw Failure{kExitFile, name + ": cannot write: " + systemError(errno)};
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

constexpr std::size_t kCopyBlock = std::size_t{1} << 20;

void spoolStandardInput(const std::string& path, ProgressBar& bar) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (file.get() < 0) throw Failure{kExitFile, path + ": cannot create: " + systemError(errno)};
    std::vector<char> buffer(kCopyBlock);
    double total = 0;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Failure{kExitFile, "standard input: cannot read: " + systemError(errno)};
        }
        writeAll(file.get(), buffer.data(), static_cast<std::size_t>(got), path);
        total += static_cast<double>(got);
        bar.show(ProgressBar::kCopyIn, -1, total);
    }
    if (::close(file.release()) != 0) {
        throw Failure{kExitFile, path + ": cannot write: " + systemError(errno)};
    }
}

void copyToStandardOutput(const std::string& path, ProgressBar& bar) {
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0) {
        throw Failure{kExitFile, path + ": cannot read: " + systemError(errno)};
    }
    const double size = static_cast<double>(status.st_size);
    std::vector<char> buffer(kCopyBlock);
    double done = 0;
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Failure{kExitFile, path + ": cannot read: " + systemError(errno)};
        }
        writeAll(STDOUT_FILENO, buffer.data(), static_cast<std::size_t>(got), "standard output");
        done += static_cast<double>(got);
        bar.show(ProgressBar::kCopyOut, size > 0 ? done / size : 1.0, done);
    }
}

double fileBytes(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? static_cast<double>(status.st_size) : -1;
}

// The library's message names the spooled copy of standard input by its temporary path.
std::string describeLibraryError(std::string message, const std::string& spoolPath) {
    if (!spoolPath.empty()) {
        for (std::size_t at = message.find(spoolPath); at != std::string::npos;
             at = message.find(spoolPath, at)) {
            message.replace(at, spoolPath.size(), "standard input");
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
                 "nodes      %d\n"
                 "edges in   %lld\n"
                 "edges out  %lld\n"
                 "backend    %s\n"
                 "reading    %.3f s\n"
                 "sweeps     %.3f s\n"
                 "writing    %.3f s\n"
                 "total      %.3f s\n",
                 stats.nodes, stats.edgesIn, stats.edgesOut, backendName(stats.backend),
                 stats.seconds[FWPRUNE_PHASE_READ], stats.seconds[FWPRUNE_PHASE_SWEEPS],
                 stats.seconds[FWPRUNE_PHASE_WRITE], totalSeconds);
}

// ---------------------------------------------------------------------------------------------
// Running a job

int runJob(const CommandLine& line) {
    const Clock::time_point started = Clock::now();
    const bool reduce = line.command == "reduce";
    const bool usesStreams =
        std::find(line.files.begin(), line.files.end(), "-") != line.files.end();
    const bool showProgress = progressWanted(line.quiet);

    // Declared first so that it outlives the directory and the bar it cleans up after.
    std::optional<SignalWatcher> watcher;
    if (usesStreams || showProgress) watcher.emplace();
    ProgressBar bar(showProgress);
    std::optional<TemporaryDirectory> temporary;
    if (usesStreams) {
        temporary.emplace();
        watcher->removeOnSignal(temporary->path());
    }

    std::string input = line.files[0];
    std::string spoolPath;
    if (input == "-") {
        spoolPath = temporary->file("stdin");
        spoolStandardInput(spoolPath, bar);
        input = spoolPath;
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
    }
    // With both weakest-link outputs on standard output, the matrix comes first.
    if (toStream.size() == 2) std::swap(toStream[0], toStream[1]);

    fwpruneOptions options;
    fwpruneInitOptions(&options);
    options.backend = line.backend;
    options.threads = line.threads;
    options.strict = line.strict ? 1 : 0;
    fwpruneRunStats stats{};
    stats.nodes = -1;  // stays -1 if the library predates statistics
    if (line.stats) options.stats = &stats;
    if (bar.enabled()) {
        options.progress = &ProgressBar::onLibraryProgress;
        options.progressUserData = &bar;
    }

    const fwpruneStatus status =
        reduce
            ? runTransitiveReductionChecked(input.c_str(), outputs[0].c_str(), &options)
            : runWeakestLinkReductionChecked(input.c_str(), outputs[0].c_str(), outputs[1].c_str(),
                                             *line.lower, *line.upper, &options);
    if (status != FWPRUNE_OK) {
        throw Failure{exitCodeFor(status),
                      describeLibraryError(fwpruneGetLastErrorMessage(), spoolPath)};
    }
    for (const std::string& path : toStream) copyToStandardOutput(path, bar);
    bar.clear();
    if (line.stats) {
        printStats(stats, std::chrono::duration<double>(Clock::now() - started).count());
    }
    return kExitOk;
}

int run(int argc, char** argv) {
    const CommandLine line = parseCommandLine(argc, argv);
    if (line.help) {
        const std::string text = line.command == "reduce"         ? reduceHelp()
                                 : line.command == "weakest-link" ? weakestLinkHelp()
                                                                  : mainHelp();
        std::fputs(text.c_str(), stdout);
        return std::fflush(stdout) == 0 ? kExitOk : kExitFile;
    }
    if (line.version) {
        std::printf("fwprune %s\n", fwpruneGetVersion());
        return std::fflush(stdout) == 0 ? kExitOk : kExitFile;
    }
    validateCommand(line);
    return runJob(line);
}

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe on standard output shows up as EPIPE from write, so the temporaries can
    // still be removed.
    std::signal(SIGPIPE, SIG_IGN);
    try {
        return run(argc, argv);
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
