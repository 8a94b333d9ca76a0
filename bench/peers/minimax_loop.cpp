// Peer: the weakest-link pruning rule as a plain triple loop, file to file.
// Usage: minimax_loop INPUT EDGES MATRIX --lower L --upper U
// Deliberately unoptimised beyond what the compiler does with -O3 -march=native:
// it is the "obvious C++" baseline. Must be built without -ffast-math so that
// fmaxf's NaN rule and float32 comparisons stay exact.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "edge_io.hpp"

namespace {

std::vector<float> read_matrix(const char* path, int& n) {
    const std::string text = bench_io::read_file(path);
    // n is the number of tokens on the first line.
    const size_t eol = text.find('\n');
    const std::string first = text.substr(0, eol);
    n = 0;
    for (size_t i = 0; i < first.size();) {
        while (i < first.size() && (first[i] == ' ' || first[i] == '\t' || first[i] == '\r')) ++i;
        if (i >= first.size()) break;
        ++n;
        while (i < first.size() && first[i] != ' ' && first[i] != '\t' && first[i] != '\r') ++i;
    }
    std::vector<float> m(static_cast<size_t>(n) * static_cast<size_t>(n));
    const char* p = text.c_str();
    for (auto& v : m) {
        char* next = nullptr;
        v = std::strtof(p, &next);
        if (next == p) throw std::runtime_error("matrix has too few values");
        p = next;
    }
    return m;
}

// "%e" with a three-digit exponent, as the tool under test prints it.
size_t format_value(float v, char* out) {
    char tmp[48];
    int len = std::snprintf(tmp, sizeof tmp, "%e", static_cast<double>(v));
    const char* e = std::strchr(tmp, 'e');
    if (e && std::strlen(e + 2) == 2) {  // e+dd -> e+0dd
        const size_t head = static_cast<size_t>(e - tmp) + 2;
        std::memcpy(out, tmp, head);
        out[head] = '0';
        std::memcpy(out + head + 1, e + 2, 2);
        return head + 3;
    }
    std::memcpy(out, tmp, static_cast<size_t>(len));
    return static_cast<size_t>(len);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8 || std::strcmp(argv[4], "--lower") != 0 || std::strcmp(argv[6], "--upper") != 0) {
        std::fprintf(stderr, "usage: %s INPUT EDGES MATRIX --lower L --upper U\n", argv[0]);
        return 2;
    }
    try {
        const float lower = std::strtof(argv[5], nullptr);
        const float upper = std::strtof(argv[7], nullptr);
        int n = 0;
        std::vector<float> m = read_matrix(argv[1], n);
        const size_t N = static_cast<size_t>(n);

        for (size_t k = 0; k < N; ++k) {
            const float* rk = &m[k * N];
            for (size_t i = 0; i < N; ++i) {
                float* ri = &m[i * N];
                const float abs_ik = std::fabs(ri[k]);
                for (size_t j = 0; j < N; ++j) {
                    const float v = ri[j];
                    if (v > lower || v < 0.0f) {
                        const float w = fmaxf(abs_ik, std::fabs(rk[j]));
                        if (w < std::fabs(v)) ri[j] = -w;
                    }
                }
            }
        }
        for (auto& v : m)
            if (std::signbit(v) || upper <= v) v = 2.0f;

        std::vector<std::pair<int, int>> kept;
        std::string out;
        out.reserve(N * N * 14 + N);
        char cell[48];
        for (size_t i = 0; i < N; ++i) {
            for (size_t j = 0; j < N; ++j) {
                const float v = m[i * N + j];
                if (v != 2.0f) kept.emplace_back(static_cast<int>(i), static_cast<int>(j));
                if (j) out.push_back(' ');
                out.append(cell, format_value(v, cell));
            }
            out.push_back('\n');
        }
        FILE* f = std::fopen(argv[3], "wb");
        if (!f) throw std::runtime_error(std::string("cannot create ") + argv[3]);
        std::fwrite(out.data(), 1, out.size(), f);
        if (std::fclose(f) != 0) throw std::runtime_error("write failed");
        bench_io::write_edges(argv[2], std::move(kept));
    } catch (const std::exception& ex) {
        std::fprintf(stderr, "minimax_loop: %s\n", ex.what());
        return 1;
    }
    return 0;
}
