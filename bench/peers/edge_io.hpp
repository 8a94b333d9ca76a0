// Edge-list reading/writing shared by the C++ peer drivers, so that every
// peer pays the same (fast, allocation-light) I/O cost as a native tool would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace bench_io {

inline std::string read_file(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) throw std::runtime_error(std::string("cannot open ") + path);
    std::string data;
    char buf[1 << 16];
    size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, got);
    std::fclose(f);
    return data;
}

// Parses "%d edge %d" records; returns pairs and sets n = largest id + 1.
inline std::vector<std::pair<int, int>> read_edges(const char* path, int& n) {
    const std::string text = read_file(path);
    std::vector<std::pair<int, int>> edges;
    const char* p = text.c_str();
    const char* end = p + text.size();
    n = 0;
    auto skip_space = [&] {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n')) ++p;
    };
    auto read_int = [&]() -> int {
        skip_space();
        if (p >= end || *p < '0' || *p > '9') throw std::runtime_error("bad edge record");
        long v = 0;
        while (p < end && *p >= '0' && *p <= '9') v = v * 10 + (*p++ - '0');
        return static_cast<int>(v);
    };
    for (;;) {
        skip_space();
        if (p >= end) break;
        const int s = read_int();
        skip_space();
        if (end - p < 4 || std::string(p, 4) != "edge") throw std::runtime_error("bad edge record");
        p += 4;
        const int t = read_int();
        edges.emplace_back(s, t);
        // Node numbers reach 2^31 - 1, where one more would overflow.
        n = static_cast<int>(std::min<long>(std::max<long>(n, std::max(s, t) + 1L), INT32_MAX));
    }
    return edges;
}

// Writes pairs as "%d edge %d\n" after sorting and de-duplicating them.
inline void write_edges(const char* path, std::vector<std::pair<int, int>> edges) {
    std::sort(edges.begin(), edges.end());
    edges.erase(std::unique(edges.begin(), edges.end()), edges.end());
    FILE* f = std::fopen(path, "wb");
    if (!f) throw std::runtime_error(std::string("cannot create ") + path);
    std::string out;
    out.reserve(1 << 20);
    char line[48];
    for (const auto& e : edges) {
        const int len = std::snprintf(line, sizeof line, "%d edge %d\n", e.first, e.second);
        out.append(line, static_cast<size_t>(len));
        if (out.size() > (1 << 20)) {
            std::fwrite(out.data(), 1, out.size(), f);
            out.clear();
        }
    }
    std::fwrite(out.data(), 1, out.size(), f);
    if (std::fclose(f) != 0) throw std::runtime_error(std::string("write failed: ") + path);
}

}  // namespace bench_io
