#include "common/error.h"

#include <cstring>

namespace fwprune {

void fail(Status status, const std::string& message) {
    throw Error(status, message);
}

void failSystem(const std::string& path, const std::string& what, int errorNumber) {
    throw Error(Status::Io, describeAt(path, what + ": " + systemErrorText(errorNumber)), path,
                errorNumber);
}

std::string describeAt(const std::string& path, const std::string& what) {
    return path + ": " + what;
}

std::string describeAt(const std::string& path, long long line, const std::string& what) {
    return path + ":" + std::to_string(line) + ": " + what;
}

std::string systemErrorText(int errorNumber) {
    // strerror is not required to be thread-safe; strerror_r differs between libcs, so copy
    // from the GNU or XSI form, whichever this platform has.
    char buffer[256] = {};
#if defined(_WIN32)
    strerror_s(buffer, sizeof buffer, errorNumber);
    return buffer;
#elif defined(__GLIBC__) && defined(_GNU_SOURCE)
    return ::strerror_r(errorNumber, buffer, sizeof buffer);
#else
    ::strerror_r(errorNumber, buffer, sizeof buffer);
    return buffer;
#endif
}

}  // namespace fwprune
