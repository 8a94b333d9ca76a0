#include "graph_files/whole_file.h"

#include <algorithm>

#include "common/error.h"
#include "graph_files/file_io.h"

namespace fwprune {

std::string readWholeFile(const std::string& path, const ProgressFunction& progress) {
    InputFile file(path);
    std::string bytes;
    std::size_t held = 0;
    reportingOutOfMemory(
        Status::TooLarge, [&] { return describeAt(path, "does not fit in memory"); },
        [&] {
            for (;;) {
                // The size of a regular file, or doubling for a stream.
                bytes.resize(std::max({held * 2, file.sizeHint() + 1, std::size_t{1} << 16}));
                const std::size_t got = file.readInto(&bytes[held], bytes.size() - held);
                held += got;
                if (got == 0) break;
                if (progress && file.sizeHint() > 0) {
                    progress(std::min(1.0, double(held) / double(file.sizeHint())));
                }
            }
        });
    bytes.resize(held);
    return bytes;
}

}  // namespace fwprune
