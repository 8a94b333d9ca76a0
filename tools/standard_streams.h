// Standard input and output for a library that works with paths: a private temporary directory,
// copying standard input into it and outputs out of it, and cleaning it up on a signal.
#pragma once

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "cli_errors.h"
#include "progress_bar.h"

namespace fwprune::cli {

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
        parent_ = base != nullptr && *base != '\0' ? base : "/tmp";
        std::string pattern = parent_ + "/fwprune-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw Failure{kExitFile,
                          parent_ + ": cannot create a temporary directory: " + systemError(errno)};
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
    // The folder it was made in ($TMPDIR or /tmp), for messages: the directory itself is gone
    // by the time they are read.
    const std::string& parent() const { return parent_; }
    std::string file(const char* name) const { return path_ + "/" + name; }

  private:
    std::string parent_;
    std::string path_;
};

// Ctrl-C, kill and a closed terminal would end the process without running destructors. While
// a watcher exists, those signals (the ones not ignored from the start) are blocked in the main
// thread and every thread it starts later, and a helper thread takes them instead: it removes the
// temporary directory and the library's temporary output files (waiting for a commit of both
// outputs that is under way), clears the progress bar, then lets the signal end the process as it
// would have.
class SignalWatcher {
  public:
    SignalWatcher() : shared_(std::make_shared<Shared>()) {
        sigemptyset(&signals_);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            // A signal ignored when the program started (nohup, `cmd &` in a script) stays
            // ignored: blocked and waited for, it would be taken, not dropped.
            struct sigaction current {};
            if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) {
                continue;
            }
            sigaddset(&signals_, signal);
        }
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
        fwpruneRemoveTemporaryFiles();
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
        std::_Exit(128 + signal);  // not reached
    }

    std::shared_ptr<Shared> shared_;
    sigset_t signals_{};
};

// Thrown when standard output's reader has gone (`| head`): once the run's temporaries are
// cleaned up, main ends the process by SIGPIPE, quietly, as a program writing there directly
// would have ended.
struct BrokenPipe {};

// Writes all of data to the descriptor; name says where in an error.
void writeAll(int descriptor, const char* data, std::size_t size, const std::string& name);

// Copies standard input to a new file at path; messages name that file `name`.
void spoolStandardInput(const std::string& path, const std::string& name, ProgressBar& bar);

// Copies the file at path to standard output.
void copyToStandardOutput(const std::string& path, ProgressBar& bar);

// The size of the file at path, or -1.
double fileBytes(const std::string& path);

}  // namespace fwprune::cli
