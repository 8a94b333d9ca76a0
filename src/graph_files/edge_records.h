// The "%d edge %d\n" record writer that both edge-list writers share.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>

#include "graph_files/file_io.h"

namespace fwprune {

// Writes a record for every cell of an n x n matrix for which keep(i, j) holds, ordered by source
// and then target, to path (whole or not at all).
template <typename Keep>
void writeEdgeRecords(std::int64_t n, const std::string& path, Keep&& keep) {
    OutputFile file(path);
    constexpr std::size_t kFlushAt = std::size_t{1} << 22;
    std::string buffer;
    buffer.reserve(kFlushAt + 64);
    for (std::int64_t i = 0; i < n; ++i) {
        char source[24];
        const std::size_t sourceLength =
            static_cast<std::size_t>(std::to_chars(source, source + sizeof source, i).ptr - source);
        for (std::int64_t j = 0; j < n; ++j) {
            if (!keep(i, j)) continue;
            char line[64];
            char* p = std::copy(source, source + sourceLength, line);
            p = std::copy_n(" edge ", 6, p);
            p = std::to_chars(p, line + sizeof line, j).ptr;
            *p++ = '\n';
            buffer.append(line, static_cast<std::size_t>(p - line));
        }
        if (buffer.size() >= kFlushAt) {
            file.write(buffer);
            buffer.clear();
        }
    }
    file.write(buffer);
    file.commit();
}

}  // namespace fwprune
