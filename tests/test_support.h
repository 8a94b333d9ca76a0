// Helpers shared by the tests: scratch files, random graphs, and plain references of both jobs
// written for clarity rather than speed.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "reference_models.h"

namespace fwprune::testing {

// A directory that exists for the life of one test.
class ScratchDir {
  public:
    ScratchDir() {
        static std::atomic<int> counter{0};
        path_ = std::filesystem::temp_directory_path() /
                ("fwprune-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(path_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

  private:
    std::filesystem::path path_;
};

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline bool fileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

// A random 0/1 matrix with the given edge probability; self-loops and cycles included.
inline std::vector<std::uint8_t> randomAdjacency(int n, double density, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::bernoulli_distribution edge(density);
    std::vector<std::uint8_t> cells(static_cast<std::size_t>(n) * n);
    for (auto& cell : cells) cell = edge(random) ? 1 : 0;
    return cells;
}

inline float signallingNaN() {
    const std::uint32_t bits = 0x7fa00000u;
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Random weights with every value that exercises a rule: NaN of both signs (quiet and
// signalling), -0.0, negatives, subnormals, infinities, 2.0 cells, zeros, and cells equal to
// either threshold.
inline std::vector<float> randomWeights(int n, float lower, float upper, std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 41);
    const float specials[] = {std::nanf(""), -std::nanf(""),  -0.0f,           0.0f, -0.5f, 1e-40f,
                              -1e-40f,       INFINITY,        -INFINITY,       2.0f, lower, upper,
                              -lower,        signallingNaN(), -signallingNaN()};
    std::vector<float> m(static_cast<std::size_t>(n) * n);
    for (float& v : m) {
        const int choice = pick(random);
        v = choice < 15 ? specials[choice] : unit(random);
    }
    return m;
}

inline bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace fwprune::testing
