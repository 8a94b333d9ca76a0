// Errors inside the library: an exception that carries a status and a complete message (file,
// line where one applies, what was wrong). The C entry points catch it and turn it into a status
// plus the calling thread's last error message.
#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <utility>

#include "fwprune.h"

namespace fwprune {

enum class Status {
    Ok = FWPRUNE_OK,
    InvalidArgument = FWPRUNE_ERROR_INVALID_ARGUMENT,
    Io = FWPRUNE_ERROR_IO,
    Format = FWPRUNE_ERROR_FORMAT,
    TooLarge = FWPRUNE_ERROR_TOO_LARGE,
    OutOfMemory = FWPRUNE_ERROR_OUT_OF_MEMORY,
    Device = FWPRUNE_ERROR_DEVICE,
    Internal = FWPRUNE_ERROR_INTERNAL,
    Cancelled = FWPRUNE_ERROR_CANCELLED,
};

class Error : public std::runtime_error {
  public:
    Error(Status status, const std::string& message, std::string path = {}, int systemError = 0)
        : std::runtime_error(message),
          status_(status),
          path_(std::move(path)),
          systemError_(systemError) {}
    Status status() const { return status_; }
    // The file a failed system call was about, and its errno; empty and 0 for other errors.
    const std::string& path() const { return path_; }
    int systemError() const { return systemError_; }

  private:
    Status status_;
    std::string path_;
    int systemError_;
};

[[noreturn]] void fail(Status status, const std::string& message);

// An Io error for a system call on path that failed with errorNumber: "path: what: <the system's
// text>", carrying the path and the number for callers that need them apart from the text.
[[noreturn]] void failSystem(const std::string& path, const std::string& what, int errorNumber);

// Runs work() and returns what it returns; a std::bad_alloc from it becomes an Error of status
// with the message describe() returns (called only then), so a short allocation says what the
// memory was for: "not enough memory for ...". Readers pass TooLarge: the input is what did not
// fit.
template <typename Describe, typename Work>
decltype(auto) reportingOutOfMemory(Status status, Describe&& describe, Work&& work) {
    try {
        return work();
    } catch (const std::bad_alloc&) {
        fail(status, describe());
    }
}
template <typename Describe, typename Work>
decltype(auto) reportingOutOfMemory(Describe&& describe, Work&& work) {
    return reportingOutOfMemory(Status::OutOfMemory, std::forward<Describe>(describe),
                                std::forward<Work>(work));
}

// "path: what" and "path:line: what", the forms compilers use, so editors can jump to the place.
std::string describeAt(const std::string& path, const std::string& what);
std::string describeAt(const std::string& path, long long line, const std::string& what);

// The message of errno after a failed system call, e.g. "No such file or directory".
std::string systemErrorText(int errorNumber);

}  // namespace fwprune
