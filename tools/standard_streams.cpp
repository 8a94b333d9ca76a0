#include "standard_streams.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <vector>

namespace fwprune::cli {
namespace {

constexpr std::size_t kCopyBlock = std::size_t{1} << 20;

}  // namespace

void writeAll(int descriptor, const char* data, std::size_t size, const std::string& name) {
    while (size > 0) {
        const ssize_t written = ::write(descriptor, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            if (errno == EPIPE && descriptor == STDOUT_FILENO) throw BrokenPipe{};
            throw Failure{kExitFile, name + ": cannot write: " + systemError(errno)};
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

void spoolStandardInput(const std::string& path, const std::string& name, ProgressBar& bar) {
    FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (file.get() < 0) throw Failure{kExitFile, name + ": cannot create: " + systemError(errno)};
    std::vector<char> buffer(kCopyBlock);
    double total = 0;
    for (;;) {
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            throw Failure{kExitFile, "standard input: cannot read: " + systemError(errno)};
        }
        writeAll(file.get(), buffer.data(), static_cast<std::size_t>(got), name);
        total += static_cast<double>(got);
        bar.show(ProgressBar::kCopyIn, -1, total);
    }
    if (::close(file.release()) != 0) {
        throw Failure{kExitFile, name + ": cannot write: " + systemError(errno)};
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

}  // namespace fwprune::cli
