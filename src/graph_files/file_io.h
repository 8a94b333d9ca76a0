// Whole-file reading and all-or-nothing writing for the graph files.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fwprune {

// The whole content of the file at path. Throws an Io error naming the file when it cannot be
// opened or read (a directory, a missing file, no permission).
std::string readWholeFile(const std::string& path);

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
