// Whole-file reading and all-or-nothing writing for the graph files.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace fwprune {

// The whole content of the file at path. Throws an Io error naming the file when it cannot be
// opened or read (a directory, a missing file, no permission).
std::string readWholeFile(const std::string& path);

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
    std::string path_;
    std::FILE* file_ = nullptr;
    std::size_t sizeHint_ = 0;
};

// A file being written: bytes go to a temporary file beside the target, which replaces the target
// only on commit(). Destroying an uncommitted OutputFile removes the temporary file, so a failure
// anywhere leaves the target as it was. A process killed mid-write leaves at most a stray
// temporary file, never a half-written target.
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
    void discard() noexcept;

    std::string path_;
    std::string temporaryPath_;
    int descriptor_ = -1;
};

}  // namespace fwprune
