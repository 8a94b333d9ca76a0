// The CPU weakest-link engine against a literal, unblocked run of the sweep rule, compared bit for
// bit on every instruction set this machine can run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "cpu/cpu_engine.h"
#include "cpu/weakest_link_internal.h"
#include "reference_models.h"

namespace {

using fwprune::cpu::InstructionSet;

float floatOf(std::uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

std::uint32_t bitsOf(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

// The reference on a matrix whose rows lie stride floats apart; the padding is left alone.
void referencePrune(float* m, std::size_t n, std::size_t stride, float lower, float upper) {
    std::vector<float> dense(n * n);
    for (std::size_t i = 0; i < n; ++i) std::copy_n(m + i * stride, n, dense.data() + i * n);
    dense =
        fwprune::testing::referenceWeakestLink(std::move(dense), static_cast<int>(n), lower, upper);
    for (std::size_t i = 0; i < n; ++i) std::copy_n(dense.data() + i * n, n, m + i * stride);
}

struct Thresholds {
    float lower;
    float upper;
};

// How often each kind of special cell appears, in percent; the rest are ordinary weights.
struct Mix {
    int nan = 4;
    int negative = 10;
    int zero = 4;
    int held = 20;  // in [0, lower]
    int special = 8;
    // Ordinary weights form a minimax-closed matrix (cell (i, j) is the widest gap between the
    // points of i and j on a line), so that no path beats a direct edge and many tie with it:
    // only the special cells cause replacements, and a wrong one shows in the result. Otherwise
    // ordinary weights are independent and nearly every takesPart cell ends replaced.
    bool closed = false;
};

constexpr std::uint32_t kSentinel = 0x7fc0dead;  // a NaN with a payload, outside the matrix

// n rows of `stride` floats, followed by a guard of sentinels.
struct Buffer {
    std::size_t n;
    std::size_t stride;
    std::vector<float> cells;
};

constexpr std::size_t kGuard = 64;

Buffer makeMatrix(std::size_t n, std::size_t stride, Thresholds t, const Mix& mix,
                  std::uint32_t seed) {
    Buffer b{n, stride, std::vector<float>(n * stride + kGuard, floatOf(kSentinel))};
    std::mt19937 rng(seed);
    // Rank of each row's point on the line, and the gap after each rank.
    std::vector<std::size_t> rank(n);
    for (std::size_t i = 0; i < n; ++i) rank[i] = i;
    std::shuffle(rank.begin(), rank.end(), rng);
    std::vector<float> gap(n);
    std::uniform_real_distribution<float> gapWeight(0.0f, 2.0f);
    for (float& g : gap) g = (rng() & 7u) == 0 ? 1.0f : gapWeight(rng);  // with exact ties
    const auto closedWeight = [&](std::size_t i, std::size_t j) {
        float widest = 0.0f;
        for (std::size_t r = std::min(rank[i], rank[j]); r < std::max(rank[i], rank[j]); ++r) {
            widest = std::max(widest, gap[r]);
        }
        return widest;
    };
    std::uniform_int_distribution<int> percent(0, 99);
    std::uniform_real_distribution<float> weight(0.0f, 3.0f);
    std::uniform_int_distribution<std::uint32_t> payload(1, 0x3fffff);
    std::uniform_int_distribution<std::uint32_t> subnormal(1, 0x7fffff);
    const float heldTop = t.lower >= 0.0f ? t.lower : 0.0f;
    std::uniform_real_distribution<float> heldWeight(0.0f, heldTop);
    const float specials[] = {std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              t.lower,
                              t.upper,
                              2.0f,
                              -2.0f,
                              std::nextafter(t.lower, 10.0f),
                              std::nextafter(t.upper, -10.0f)};
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
            int roll = percent(rng);
            float v;
            if ((roll -= mix.nan) < 0) {
                // Quiet and signalling NaNs of both signs, with payloads.
                const std::uint32_t sign = (rng() & 1u) << 31;
                const std::uint32_t quiet = (rng() & 1u) << 22;
                v = floatOf(sign | 0x7f800000u | quiet | payload(rng));
            } else if ((roll -= mix.negative) < 0) {
                v = (rng() & 3u) == 0 ? -floatOf(subnormal(rng)) : -weight(rng);
            } else if ((roll -= mix.zero) < 0) {
                v = (rng() & 1u) ? -0.0f : 0.0f;
            } else if ((roll -= mix.held) < 0) {
                v = (rng() & 3u) == 0 ? floatOf(subnormal(rng)) : heldWeight(rng);
            } else if ((roll -= mix.special) < 0) {
                v = specials[rng() % (sizeof specials / sizeof specials[0])];
            } else {
                v = mix.closed ? closedWeight(i, j) : weight(rng);
            }
            b.cells[i * stride + j] = v;
        }
        // Padding between rows must survive untouched.
        for (std::size_t j = n; j < stride; ++j) b.cells[i * stride + j] = floatOf(kSentinel ^ j);
    }
    return b;
}

std::string describeMismatch(const Buffer& expected, const Buffer& actual) {
    for (std::size_t x = 0; x < expected.cells.size(); ++x) {
        const std::uint32_t e = bitsOf(expected.cells[x]);
        const std::uint32_t a = bitsOf(actual.cells[x]);
        if (e != a) {
            std::ostringstream out;
            out << "first difference at row " << x / expected.stride << ", column "
                << x % expected.stride << ": expected bits 0x" << std::hex << e << ", got 0x" << a;
            return out.str();
        }
    }
    return "no difference";
}

bool sameBits(const Buffer& a, const Buffer& b) {
    return a.cells.size() == b.cells.size() &&
           std::memcmp(a.cells.data(), b.cells.data(), a.cells.size() * sizeof(float)) == 0;
}

// The reference result, computed once per input and shared by the instruction sets and thread
// counts.
const Buffer& expectedFor(const Buffer& input, Thresholds t) {
    static std::map<std::vector<std::uint32_t>, Buffer> cache;
    std::vector<std::uint32_t> key(input.cells.size() + 4);
    std::memcpy(key.data(), input.cells.data(), input.cells.size() * sizeof(float));
    key[input.cells.size()] = static_cast<std::uint32_t>(input.n);
    key[input.cells.size() + 1] = static_cast<std::uint32_t>(input.stride);
    key[input.cells.size() + 2] = bitsOf(t.lower);
    key[input.cells.size() + 3] = bitsOf(t.upper);
    auto found = cache.find(key);
    if (found == cache.end()) {
        Buffer expected = input;
        referencePrune(expected.cells.data(), input.n, input.stride, t.lower, t.upper);
        found = cache.emplace(std::move(key), std::move(expected)).first;
    }
    return found->second;
}

std::string instructionSetName(InstructionSet isa) {
    switch (isa) {
        case InstructionSet::Portable:
            return "Portable";
        case InstructionSet::Avx2:
            return "Avx2";
        case InstructionSet::Avx512:
            return "Avx512";
    }
    return "Unknown";
}

}  // namespace

namespace fwprune::cpu {
// Names the instruction set in test output.
void PrintTo(InstructionSet isa, std::ostream* out) {
    *out << instructionSetName(isa);
}
}  // namespace fwprune::cpu

namespace {

class CpuWeakestLink : public ::testing::TestWithParam<std::tuple<InstructionSet, int>> {
  protected:
    void SetUp() override {
        if (!fwprune::cpu::instructionSetSupported(isa())) {
            GTEST_SKIP() << instructionSetName(isa()) << " cannot run on this CPU";
        }
    }
    InstructionSet isa() const { return std::get<0>(GetParam()); }
    int threads() const { return std::get<1>(GetParam()); }

    void expectMatchesReference(std::size_t n, std::size_t stride, Thresholds t, const Mix& mix,
                                std::uint32_t seed) {
        const Buffer input = makeMatrix(n, stride, t, mix, seed);
        const Buffer& expected = expectedFor(input, t);
        Buffer actual = input;
        fwprune::cpu::weakest_link::prune(isa(), actual.cells.data(), static_cast<std::int64_t>(n),
                                          stride, t.lower, t.upper, threads());
        EXPECT_TRUE(sameBits(expected, actual))
            << "n=" << n << " stride=" << stride << " lower=" << t.lower << " upper=" << t.upper
            << " seed=" << seed << ": " << describeMismatch(expected, actual);
    }
};

constexpr Thresholds kUsual{0.25f, 1.5f};

std::size_t paddedStride(std::size_t n) {
    return (n / 128 + 1) * 128;
}

TEST_P(CpuWeakestLink, MatchesReferenceOnEverySize) {
    const std::size_t sizes[] = {1, 2, 15, 16, 17, 63, 64, 65, 127, 128, 129, 255, 256, 257};
    for (const std::size_t n : sizes) {
        expectMatchesReference(n, n, kUsual, Mix{}, static_cast<std::uint32_t>(n));
    }
}

TEST_P(CpuWeakestLink, LeavesRowPaddingAndTheBufferTailUntouched) {
    const std::size_t sizes[] = {1, 17, 64, 65, 200, 257};
    for (const std::size_t n : sizes) {
        expectMatchesReference(n, paddedStride(n), kUsual, Mix{},
                               static_cast<std::uint32_t>(n + 7));
    }
}

TEST_P(CpuWeakestLink, MatchesReferenceAtASizeOfManyBlocks) {
    expectMatchesReference(1000, 1000, kUsual, Mix{}, 1000);
}

TEST_P(CpuWeakestLink, HandlesRowsWhoseOwnLegIsNaN) {
    // Many held NaNs: whole rows sweep with a NaN leg at column k, and NaN pivot legs meet them.
    Mix mix;
    mix.nan = 35;
    for (const std::size_t n : {33, 130}) {
        expectMatchesReference(n, paddedStride(n), kUsual, mix, 99);
    }
}

TEST_P(CpuWeakestLink, MatchesReferenceWhereFewCellsAreReplaced) {
    Mix mix;
    mix.closed = true;
    mix.held = 3;
    mix.negative = 3;
    mix.zero = 1;
    mix.special = 3;
    for (const std::size_t n : {17, 64, 100, 257}) {
        mix.nan = 2;
        expectMatchesReference(n, n, kUsual, mix, static_cast<std::uint32_t>(n + 1));
        mix.nan = 15;
        expectMatchesReference(n, paddedStride(n), kUsual, mix, static_cast<std::uint32_t>(n + 2));
    }
}

TEST_P(CpuWeakestLink, HandlesMostlyHeldCells) {
    // Held cells never change but carry the weight of their paths.
    Mix mix;
    mix.held = 70;
    expectMatchesReference(150, 150, kUsual, mix, 5);
}

TEST_P(CpuWeakestLink, HandlesUnusualThresholds) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const Thresholds cases[] = {
        {-1.0f, 1.5f},                 // every number takes part, +0.0 and -0.0 too
        {0.0f, 1.5f},                  // zeros are held
        {floatOf(0x00000005u), 1.0f},  // a subnormal lower threshold
        {nan, 1.5f},                   // only negatives take part
        {0.25f, nan},                  // no upper cut
        {1.0f, 0.5f},                  // upper below lower
        {0.25f, std::numeric_limits<float>::infinity()},
        {-std::numeric_limits<float>::infinity(), 2.0f},
    };
    std::uint32_t seed = 11;
    for (const Thresholds& t : cases) {
        expectMatchesReference(70, paddedStride(70), t, Mix{}, seed++);
    }
}

// An upper threshold at or below zero cuts every number, so the threshold pass stores into every
// lane it covers; with the lower threshold at or above the upper one nothing is held back. At
// every row length modulo the vector widths, lanes past a row's end must stay untouched.
TEST_P(CpuWeakestLink, CutsEverythingWithoutTouchingPastTheRows) {
    const Thresholds cases[] = {{0.25f, 0.0f}, {0.25f, -1.0f}, {0.5f, 0.5f}, {-0.5f, -0.0f}};
    std::uint32_t seed = 40;
    for (std::size_t n = 1; n <= 33; ++n) {
        for (const Thresholds& t : cases) {
            expectMatchesReference(n, n % 2 ? n : paddedStride(n), t, Mix{}, seed++);
        }
    }
}

#if defined(__x86_64__) || defined(__i386__)
TEST_P(CpuWeakestLink, IgnoresTheCallersFlushToZeroMode) {
    // With a subnormal lower threshold, subnormal cells take part and their order decides.
    const Thresholds t{floatOf(0x00000005u), 1.0f};
    Mix mix;
    mix.held = 50;
    const Buffer input = makeMatrix(90, 90, t, mix, 4);
    const Buffer& expected = expectedFor(input, t);
    Buffer actual = input;
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved | 0x8040u);  // FTZ | DAZ
    fwprune::cpu::weakest_link::prune(isa(), actual.cells.data(), 90, 90, t.lower, t.upper,
                                      threads());
    const unsigned after = _mm_getcsr();
    _mm_setcsr(saved);
    EXPECT_EQ(after, saved | 0x8040u) << "the caller's mode must be restored";
    EXPECT_TRUE(sameBits(expected, actual)) << describeMismatch(expected, actual);
}
#endif

TEST_P(CpuWeakestLink, EmptyMatrixIsANoOp) {
    std::vector<float> guard(4, floatOf(kSentinel));
    fwprune::cpu::weakest_link::prune(isa(), guard.data(), 0, 0, 0.25f, 1.5f, threads());
    for (const float v : guard) EXPECT_EQ(bitsOf(v), kSentinel);
}

INSTANTIATE_TEST_SUITE_P(InstructionSetsAndThreads, CpuWeakestLink,
                         ::testing::Combine(::testing::Values(InstructionSet::Portable,
                                                              InstructionSet::Avx2,
                                                              InstructionSet::Avx512),
                                            ::testing::Values(1, 2)),
                         [](const ::testing::TestParamInfo<std::tuple<InstructionSet, int>>& info) {
                             return instructionSetName(std::get<0>(info.param)) + "_" +
                                    std::to_string(std::get<1>(info.param)) + "threads";
                         });

TEST(CpuWeakestLinkEntry, DefaultInstructionSetMatchesReferenceWithMoreThreadsThanRows) {
    const std::size_t n = 3;
    Buffer input = makeMatrix(n, 5, kUsual, Mix{}, 3);
    const Buffer& expected = expectedFor(input, kUsual);
    for (const int threads : {0, 8}) {
        Buffer actual = input;
        fwprune::cpu::pruneWeakestLinks(actual.cells.data(), n, 5, kUsual.lower, kUsual.upper,
                                        threads);
        EXPECT_TRUE(sameBits(expected, actual)) << describeMismatch(expected, actual);
    }
}

TEST(CpuWeakestLinkEntry, DefaultInstructionSetMatchesReferenceOnARandomMatrix) {
    Buffer input = makeMatrix(300, 300, kUsual, Mix{}, 300);
    const Buffer& expected = expectedFor(input, kUsual);
    Buffer actual = input;
    fwprune::cpu::pruneWeakestLinks(actual.cells.data(), 300, 300, kUsual.lower, kUsual.upper, 0);
    EXPECT_TRUE(sameBits(expected, actual)) << describeMismatch(expected, actual);
}

TEST(CpuWeakestLinkEntry, RejectsAStrideShorterThanARow) {
    std::vector<float> cells(16, 1.0f);
    EXPECT_THROW(fwprune::cpu::pruneWeakestLinks(cells.data(), 4, 3, 0.25f, 1.5f, 1),
                 std::invalid_argument);
}

}  // namespace
