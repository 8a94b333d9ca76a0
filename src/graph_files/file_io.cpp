#include "graph_files/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "common/error.h"

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fwprune {
namespace {

#if defined(_WIN32)
int openForWriting(const char* path) {
    return ::_open(path, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
long long writeSome(int fd, const char* data, std::size_t size) {
    return ::_write(fd, data, static_cast<unsigned>(size > (1u << 30) ? (1u << 30) : size));
}
int closeFile(int fd) {
    return ::_close(fd);
}
int removeFile(const char* path) {
    return ::_unlink(path);
}
bool replaceFile(const char* from, const char* to) {
    return ::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}
int processId() {
    return ::_getpid();
}
#else
int openForWriting(const char* path) {
    // 0666 lets the umask decide the final permissions, as for any newly created file.
    return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
long long writeSome(int fd, const char* data, std::size_t size) {
    return ::write(fd, data, size > (std::size_t{1} << 30) ? (std::size_t{1} << 30) : size);
}
int closeFile(int fd) {
    return ::close(fd);
}
int removeFile(const char* path) {
    return ::unlink(path);
}
bool replaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}
int processId() {
    return static_cast<int>(::getpid());
}
#endif

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string readWholeFile(const std::string& path) {
    const std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
    if (!file)
        fail(Status::Io, describeAt(path, "cannot open for reading: " + systemErrorText(errno)));
    std::string content;
    // Size the buffer from the file's length when it has one, so a large file is read without
    // reallocating; pipes and files still growing fall back to geometric growth.
    std::size_t initial = std::size_t{1} << 16;
    struct stat info {};
    if (::fstat(fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        initial = static_cast<std::size_t>(info.st_size) + 1;
    }
    std::size_t used = 0;
    content.resize(initial);
    for (;;) {
        const std::size_t got = std::fread(&content[used], 1, content.size() - used, file.get());
        used += got;
        if (used < content.size()) break;
        content.resize(content.size() * 2);
    }
    if (std::ferror(file.get())) {
        fail(Status::Io, describeAt(path, "cannot read: " + systemErrorText(errno)));
    }
    content.resize(used);
    return content;
}

InputFile::InputFile(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "rb")) {
    if (!file_)
        fail(Status::Io, describeAt(path, "cannot open for reading: " + systemErrorText(errno)));
    struct stat info {};
    if (::fstat(fileno(file_), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        sizeHint_ = static_cast<std::size_t>(info.st_size);
}

InputFile::~InputFile() {
    std::fclose(file_);
}

std::size_t InputFile::readInto(char* buffer, std::size_t bytes) {
    const std::size_t got = std::fread(buffer, 1, bytes, file_);
    if (got == 0 && std::ferror(file_))
        fail(Status::Io, describeAt(path_, "cannot read: " + systemErrorText(errno)));
    return got;
}

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100 && descriptor_ < 0; ++attempt) {
        temporaryPath_ = path_ + ".tmp-" + std::to_string(processId()) + "-" +
                         std::to_string(counter.fetch_add(1));
        descriptor_ = openForWriting(temporaryPath_.c_str());
        if (descriptor_ < 0 && errno != EEXIST) break;
    }
    if (descriptor_ < 0) {
        fail(Status::Io, describeAt(path_, "cannot create output file: " + systemErrorText(errno)));
    }
}

OutputFile::~OutputFile() {
    discard();
}

void OutputFile::discard() noexcept {
    if (descriptor_ >= 0) {
        closeFile(descriptor_);
        descriptor_ = -1;
        removeFile(temporaryPath_.c_str());
    }
}

void OutputFile::write(std::string_view bytes) {
    while (!bytes.empty()) {
        const long long written = writeSome(descriptor_, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            fail(Status::Io, describeAt(path_, "cannot write: " + systemErrorText(errno)));
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
}

void OutputFile::commit() {
    const int fd = descriptor_;
    descriptor_ = -1;
    if (closeFile(fd) != 0) {
        const int error = errno;
        removeFile(temporaryPath_.c_str());
        fail(Status::Io, describeAt(path_, "cannot write: " + systemErrorText(error)));
    }
    if (!replaceFile(temporaryPath_.c_str(), path_.c_str())) {
        const int error = errno;
        removeFile(temporaryPath_.c_str());
        fail(Status::Io,
             describeAt(path_, "cannot replace output file: " + systemErrorText(error)));
    }
}

}  // namespace fwprune
