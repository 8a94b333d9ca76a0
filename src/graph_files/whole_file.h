// A file read whole into memory, for the formats whose readers need all of the text at once.
#pragma once

#include <string>

#include "common/progress.h"

namespace fwprune {

// The bytes of the file at path (a regular file, or a stream read to its end). Throws an Io
// error naming the file when it cannot be read, TooLarge when it does not fit in memory.
// progress hears the share of a regular file read.
std::string readWholeFile(const std::string& path, const ProgressFunction& progress = {});

}  // namespace fwprune
