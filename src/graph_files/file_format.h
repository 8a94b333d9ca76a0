// Which format a file is in: asked for, or told by its name.
#pragma once

#include <string>

namespace fwprune {

// The values are the public header's fwpruneFileFormat.
enum class FileFormat { Auto = 0, Native = 1, Tsv = 2, Csv = 3, Dot = 4, Npy = 5 };

// requested unless it is Auto; then by the name's extension, in any case: .tsv, .csv, .dot or
// .gv, .npy; standard input or output ("-") and every other name are native text.
FileFormat formatOfPath(const std::string& path, FileFormat requested);

// Whether the format names nodes by labels rather than numbers.
inline bool isLabelled(FileFormat format) {
    return format == FileFormat::Tsv || format == FileFormat::Csv || format == FileFormat::Dot;
}

// "native", "tsv", "csv", "dot", "npy" (and "auto").
const char* formatName(FileFormat format);

}  // namespace fwprune
