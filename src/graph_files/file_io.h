// Reading in pieces and all-or-nothing writing for the graph files.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace fwprune {

// A file read front to back in pieces, so that a reader's memory follows what it keeps rather
// than the file's size.
class InputFile {
  public:
    // Throws an Io error naming the file when it cannot be opened.
    explicit InputFile(const std::string& path);
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Reads up to `bytes` bytes into buffer; returns how many, 0 only at the end of the file.
    // Throws an Io error naming the file when reading fails (a directory, a device error).
    std::size_t readInto(char* buffer, std::size_t bytes);
    // The file's size when it is a regular file, else 0.
    std::size_t sizeHint() const { return sizeHint_; }

  private:
    friend class MappedInput;
    std::string path_;
    int descriptor_ = -1;
    std::size_t sizeHint_ = 0;
};

// A regular file's bytes mapped read-only a window at a time, for a reader that takes them front
// to back: mapping a window gives back the one before, so the reader's address space follows its
// pieces rather than the file's size. The file must not shrink while it is read so.
class MappedInput {
  public:
    // Maps nothing yet; size() is 0 when the file cannot be mapped (not a regular file, empty, or
    // no mapping on this system).
    explicit MappedInput(const InputFile& file);
    MappedInput(const MappedInput&) = delete;
    MappedInput& operator=(const MappedInput&) = delete;
    ~MappedInput();

    // The file's size when it was opened.
    std::size_t size() const { return size_; }
    // The bytes [from, to) of the file (to <= size()), in place of the window before; empty when
    // they cannot be mapped.
    std::string_view map(std::size_t from, std::size_t to);

  private:
    void release() noexcept;

    int descriptor_ = -1;
    std::size_t size_ = 0;
    void* window_ = nullptr;
    std::size_t windowBytes_ = 0;
};

// A file being written, as opening the path with mode "w" means it, but never half-written:
//   - The target is what the path names once symbolic links are followed; a link stays a link.
//   - A target that is a regular file, or does not exist yet, is replaced whole: bytes go to a
//     temporary file with a short name in the target's folder, which takes over the target's
//     permission bits (and owner and group where the system allows) and replaces it on commit().
//     Destroying an uncommitted OutputFile removes the temporary file, so a failure anywhere
//     leaves the target as it was; a process killed mid-write leaves at most a stray temporary
//     file (".fwprune-XXXXXX"), never a half-written target.
//   - A target that exists and is not a regular file (a FIFO, a terminal, /dev/null,
//     /dev/stdout, /proc/self/fd/N) is opened at the first write (or at commit() when nothing
//     is written) and written in place: a stream cannot be replaced, only written.
//   - What "w" would refuse is refused: links the kernel would not follow for this process, a
//     regular file this process may not write (though its folder would let a rename replace it).
// commit() and write() poll for cancellation; a job cancelled before commit() replaces nothing.
class OutputFile {
  public:
    explicit OutputFile(std::string path);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    void write(std::string_view bytes);
    void commit();
    const std::string& path() const { return path_; }

  private:
    friend void commitTogether(OutputFile* const* outputs, std::size_t count);

    void openInPlace();
    void closeTemporary();
    void discard() noexcept;

    std::string path_;           // as the caller named it, for messages
    std::string target_;         // the file a commit replaces: path_ with its links followed
    std::string temporaryPath_;  // empty when writing in place
    int descriptor_ = -1;
    int registration_ = -1;  // slot in the list of temporary files removed on a signal
    bool inPlace_ = false;
};

// Commits two outputs so that both targets are replaced or neither is (in-place outputs aside,
// which were written as they went). Before the first rename it checks that the second target can
// be replaced, and if the second rename fails nonetheless, the first target gets its old content
// back. When both name one file, it ends holding the second.
void commitTogether(OutputFile& first, OutputFile& second);
// The same for `count` outputs: every target is replaced, or none is (in-place outputs aside);
// when several name one file, it ends holding the last of them.
void commitTogether(OutputFile* const* outputs, std::size_t count);

// Removes every temporary file that an OutputFile of this process holds at this moment, after
// waiting for a commitTogether() that is between its renames to finish. Async-signal-safe: only
// atomic operations, nanosleep() and unlink(), so a signal handler may call it before the process
// ends. A job whose temporary file was removed fails when it commits.
void removeTemporaryFiles() noexcept;

// For the life of a job: when the job fails, a reader already waiting on an output that is a FIFO
// is released (the FIFO is opened without blocking and closed, so the reader sees its end),
// whether or not the job got as far as opening it.
class ReleaseReadersOnFailure {
  public:
    explicit ReleaseReadersOnFailure(std::vector<std::string> paths);
    ~ReleaseReadersOnFailure();
    ReleaseReadersOnFailure(const ReleaseReadersOnFailure&) = delete;
    ReleaseReadersOnFailure& operator=(const ReleaseReadersOnFailure&) = delete;

  private:
    std::vector<std::string> paths_;
    int exceptionsAtStart_;
};

}  // namespace fwprune
