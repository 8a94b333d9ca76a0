// Transitive reduction of a byte adjacency matrix on the CPU.
//
// Result cell (i, j) is 1 iff (i, j) is an edge and j is not reachable from i by a walk of two or
// more edges. With R the reachability relation of walks of one or more edges, that is
// A AND NOT (A x R). Two methods compute it; both keep one bit matrix (n^2 / 8 bytes) beside the
// caller's matrix plus O(threads * n) scratch.
//
// Warshall method: pack A into bit rows, close them under a cache-blocked Warshall sweep, then for
// every row OR together the closed rows of its successors and clear those cells.
//
// Topological method: collapse strongly connected components (iterative Tarjan, so deep graphs
// cannot overflow the stack), then build reachability rows component by component from the sinks
// upwards. A node's successors are visited in topological order; a successor that is already
// reachable from an earlier one is exactly a redundant edge, and its row need not be ORed in,
// so the work is proportional to the size of the reduction instead of the closure. That makes it
// the faster method on every input measured, and the one reduceTransitively takes.

#include "cpu/instruction_set.h"

#if FWPRUNE_X86
#include <immintrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "common/aligned_memory.h"
#include "common/cancel.h"
#include "common/parallel.h"
#include "common/threads.h"
#include "cpu/cpu_engine.h"
#include "cpu/transitive_reduction_internal.h"

namespace fwprune::cpu {
namespace {

using Word = std::uint64_t;
constexpr std::int64_t kWordBits = 64;
// Bit rows are padded to whole 64-byte lines (8 words) and line-aligned, so the vector kernels
// never need a tail loop and ranges can be tracked in lines.
constexpr std::int64_t kLineWords = 8;

std::int64_t wordsFor(std::int64_t bits) {
    return (bits + kWordBits - 1) / kWordBits;
}
std::int64_t lineStride(std::int64_t bits) {
    return (wordsFor(bits) + kLineWords - 1) / kLineWords * kLineWords;
}

bool testBit(const Word* row, std::int64_t j) {
    return (row[j / kWordBits] >> (j % kWordBits)) & 1u;
}
void setBit(Word* row, std::int64_t j) {
    row[j / kWordBits] |= Word{1} << (j % kWordBits);
}

// Line-aligned rows of bits; contents start undefined unless zeroed.
class BitRows {
  public:
    BitRows(std::int64_t rows, std::int64_t bitsPerRow, bool zeroed)
        : stride_(lineStride(bitsPerRow)),
          data_(static_cast<std::size_t>(rows) * static_cast<std::size_t>(stride_), zeroed) {}
    std::int64_t stride() const { return stride_; }
    Word* row(std::int64_t i) { return data_.get() + i * stride_; }
    const Word* row(std::int64_t i) const { return data_.get() + i * stride_; }

  private:
    std::int64_t stride_;
    AlignedArray<Word> data_;
};

// ---------------------------------------------------------------------------------------------
// Kernels. Counts passed to the OR kernels are whole lines and pointers are line-aligned.

struct Kernels {
    void (*orMany)(Word* dst, const Word* const* srcs, std::int64_t sources, std::int64_t words);
    // out bit j = (bytes[j] != 0) for j < n; the remaining words up to `words` are cleared.
    void (*pack)(const std::uint8_t* bytes, std::int64_t n, Word* out, std::int64_t words);
    // bytes[j] = bit j of bits, for j < n.
    void (*unpack)(const Word* bits, std::int64_t n, std::uint8_t* bytes);
};

// Eight bytes to eight bits, bit b set when byte b is non-zero.
Word nonZeroBytes(Word x) {
    constexpr Word kLow7 = 0x7F7F7F7F7F7F7F7FULL;
    const Word high = (((x & kLow7) + kLow7) | x) & ~kLow7;
    // Each byte's top bit lands on bit 56 + b; the partial products never overlap.
    return (high * 0x0002040810204081ULL) >> 56;
}

void packTail(const std::uint8_t* bytes, std::int64_t from, std::int64_t n, Word* out,
              std::int64_t words) {
    for (std::int64_t w = from / kWordBits; w < words; ++w) out[w] = 0;
    for (std::int64_t j = from; j < n; ++j)
        if (bytes[j] != 0) setBit(out, j);
}

void orManyPortable(Word* dst, const Word* const* srcs, std::int64_t sources, std::int64_t words) {
    for (std::int64_t w = 0; w < words; w += kLineWords) {
        Word acc[kLineWords];
        for (std::int64_t l = 0; l < kLineWords; ++l) acc[l] = dst[w + l];
        for (std::int64_t s = 0; s < sources; ++s)
            for (std::int64_t l = 0; l < kLineWords; ++l) acc[l] |= srcs[s][w + l];
        for (std::int64_t l = 0; l < kLineWords; ++l) dst[w + l] = acc[l];
    }
}

void packPortable(const std::uint8_t* bytes, std::int64_t n, Word* out, std::int64_t words) {
    const std::int64_t full = n / kWordBits;
    for (std::int64_t w = 0; w < full; ++w) {
        Word bits = 0;
        for (int b = 0; b < 8; ++b) {
            Word chunk;
            std::memcpy(&chunk, bytes + w * kWordBits + 8 * b, sizeof chunk);
            bits |= nonZeroBytes(chunk) << (8 * b);
        }
        out[w] = bits;
    }
    packTail(bytes, full * kWordBits, n, out, words);
}

void unpackPortable(const Word* bits, std::int64_t n, std::uint8_t* bytes) {
    for (std::int64_t j = 0; j < n; ++j)
        bytes[j] = static_cast<std::uint8_t>((bits[j / kWordBits] >> (j % kWordBits)) & 1u);
}

#if FWPRUNE_X86
__attribute__((target("avx2"))) void orManyAvx2(Word* dst, const Word* const* srcs,
                                                std::int64_t sources, std::int64_t words) {
    std::int64_t w = 0;
    for (; w + 32 <= words; w += 32) {
        __m256i a[8];
        for (int l = 0; l < 8; ++l)
            a[l] = _mm256_load_si256(reinterpret_cast<const __m256i*>(dst + w) + l);
        for (std::int64_t s = 0; s < sources; ++s) {
            const auto* src = reinterpret_cast<const __m256i*>(srcs[s] + w);
            for (int l = 0; l < 8; ++l) a[l] = _mm256_or_si256(a[l], _mm256_load_si256(src + l));
        }
        for (int l = 0; l < 8; ++l)
            _mm256_store_si256(reinterpret_cast<__m256i*>(dst + w) + l, a[l]);
    }
    for (; w < words; w += kLineWords) {
        __m256i a0 = _mm256_load_si256(reinterpret_cast<const __m256i*>(dst + w));
        __m256i a1 = _mm256_load_si256(reinterpret_cast<const __m256i*>(dst + w) + 1);
        for (std::int64_t s = 0; s < sources; ++s) {
            const auto* src = reinterpret_cast<const __m256i*>(srcs[s] + w);
            a0 = _mm256_or_si256(a0, _mm256_load_si256(src));
            a1 = _mm256_or_si256(a1, _mm256_load_si256(src + 1));
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(dst + w), a0);
        _mm256_store_si256(reinterpret_cast<__m256i*>(dst + w) + 1, a1);
    }
}

__attribute__((target("avx2"))) void packAvx2(const std::uint8_t* bytes, std::int64_t n, Word* out,
                                              std::int64_t words) {
    const std::int64_t full = n / kWordBits;
    const __m256i zero = _mm256_setzero_si256();
    for (std::int64_t w = 0; w < full; ++w) {
        const auto* p = reinterpret_cast<const __m256i*>(bytes + w * kWordBits);
        const auto lo = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p), zero)));
        const auto hi = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_loadu_si256(p + 1), zero)));
        out[w] = ~(Word{lo} | (Word{hi} << 32));
    }
    packTail(bytes, full * kWordBits, n, out, words);
}

__attribute__((target("avx2"))) void unpackAvx2(const Word* bits, std::int64_t n,
                                                std::uint8_t* bytes) {
    // Byte b of the output takes bit b % 8 of source byte b / 8.
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2,
                                            2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i select = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ULL));
    const __m256i one = _mm256_set1_epi8(1);
    const std::int64_t full = n / 32;
    for (std::int64_t h = 0; h < full; ++h) {
        const auto half = static_cast<std::uint32_t>(bits[h / 2] >> (32 * (h % 2)));
        __m256i v = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(half)), spread);
        v = _mm256_and_si256(_mm256_cmpeq_epi8(_mm256_and_si256(v, select), select), one);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes + 32 * h), v);
    }
    for (std::int64_t j = full * 32; j < n; ++j)
        bytes[j] = static_cast<std::uint8_t>((bits[j / kWordBits] >> (j % kWordBits)) & 1u);
}

__attribute__((target("avx512f"))) void orManyAvx512(Word* dst, const Word* const* srcs,
                                                     std::int64_t sources, std::int64_t words) {
    std::int64_t w = 0;
    for (; w + 64 <= words; w += 64) {
        __m512i a[8];
        for (int l = 0; l < 8; ++l) a[l] = _mm512_load_si512(dst + w + 8 * l);
        for (std::int64_t s = 0; s < sources; ++s) {
            const Word* src = srcs[s] + w;
            for (int l = 0; l < 8; ++l)
                a[l] = _mm512_or_si512(a[l], _mm512_load_si512(src + 8 * l));
        }
        for (int l = 0; l < 8; ++l) _mm512_store_si512(dst + w + 8 * l, a[l]);
    }
    for (; w < words; w += kLineWords) {
        __m512i a = _mm512_load_si512(dst + w);
        for (std::int64_t s = 0; s < sources; ++s)
            a = _mm512_or_si512(a, _mm512_load_si512(srcs[s] + w));
        _mm512_store_si512(dst + w, a);
    }
}

__attribute__((target("avx512f,avx512bw"))) void packAvx512(const std::uint8_t* bytes,
                                                            std::int64_t n, Word* out,
                                                            std::int64_t words) {
    const std::int64_t used = wordsFor(n);
    for (std::int64_t w = 0; w < used; ++w) {
        const std::int64_t left = n - w * kWordBits;
        const __mmask64 inRange = left >= kWordBits ? ~__mmask64{0} : (__mmask64{1} << left) - 1;
        const __m512i v = _mm512_maskz_loadu_epi8(inRange, bytes + w * kWordBits);
        out[w] = _mm512_test_epi8_mask(v, v);
    }
    for (std::int64_t w = used; w < words; ++w) out[w] = 0;
}

__attribute__((target("avx512f,avx512bw"))) void unpackAvx512(const Word* bits, std::int64_t n,
                                                              std::uint8_t* bytes) {
    const __m512i one = _mm512_set1_epi8(1);
    const std::int64_t used = wordsFor(n);
    for (std::int64_t w = 0; w < used; ++w) {
        const std::int64_t left = n - w * kWordBits;
        const __mmask64 inRange = left >= kWordBits ? ~__mmask64{0} : (__mmask64{1} << left) - 1;
        _mm512_mask_storeu_epi8(bytes + w * kWordBits, inRange,
                                _mm512_maskz_mov_epi8(bits[w], one));
    }
}

#endif  // FWPRUNE_X86

using detail::ReductionMethod;
using detail::ReductionOptions;

Kernels kernelsFor(InstructionSet isa) {
    if (!instructionSetSupported(isa))
        throw std::invalid_argument(
            "reduceTransitively: instruction set not supported by this CPU");
    switch (isa) {
#if FWPRUNE_X86
        case InstructionSet::Avx512:
            return {orManyAvx512, packAvx512, unpackAvx512};
        case InstructionSet::Avx2:
            return {orManyAvx2, packAvx2, unpackAvx2};
#endif
        default:
            return {orManyPortable, packPortable, unpackPortable};
    }
}

void orInto(const Kernels& k, Word* dst, const Word* src, std::int64_t words) {
    k.orMany(dst, &src, 1, words);
}

// ---------------------------------------------------------------------------------------------
// Warshall method.

// Closes `bits` (row i = successors of i) under reachability, in place.
void closeWarshall(BitRows& bits, std::int64_t n, ThreadPool& pool, const Kernels& k,
                   std::int64_t requestedBlock, const std::function<void(double)>& progress) {
    const std::int64_t stride = bits.stride();
    // A block's pivot rows are re-read for every other row, so they should stay in the core's L2.
    constexpr std::int64_t kPivotBudgetBytes = 512 * 1024;
    const std::int64_t block =
        requestedBlock > 0
            ? (requestedBlock + kWordBits - 1) / kWordBits * kWordBits
            : std::clamp<std::int64_t>(kPivotBudgetBytes /
                                           (stride * static_cast<std::int64_t>(sizeof(Word))) /
                                           kWordBits * kWordBits,
                                       kWordBits, 16 * kWordBits);
    std::vector<std::vector<const Word*>> sources(static_cast<std::size_t>(pool.size()),
                                                  std::vector<const Word*>(block));

    for (std::int64_t k0 = 0; k0 < n; k0 += block) {
        pollCancelled();
        const std::int64_t k1 = std::min(n, k0 + block);
        // The pivot rows must see each other in sweep order, so they go first and serially.
        for (std::int64_t p = k0; p < k1; ++p) {
            const Word* pivot = bits.row(p);
            for (std::int64_t r = k0; r < k1; ++r)
                if (r != p && testBit(bits.row(r), p)) orInto(k, bits.row(r), pivot, stride);
        }
        // Every other row ORs in the final pivot rows of the bits it had on entering the block.
        // A pivot bit gained meanwhile comes from a pivot row that already contains that pivot's
        // whole row, so using the entry bits loses nothing.
        pool.parallelFor(0, n, [&](std::int64_t begin, std::int64_t end, int worker) {
            auto& src = sources[static_cast<std::size_t>(worker)];
            for (std::int64_t i = begin; i < end; ++i) {
                if (i >= k0 && i < k1) continue;
                Word* row = bits.row(i);
                std::int64_t count = 0;
                for (std::int64_t w = k0 / kWordBits; w < wordsFor(k1); ++w)
                    for (Word m = row[w]; m != 0; m &= m - 1)
                        src[static_cast<std::size_t>(count++)] =
                            bits.row(w * kWordBits + __builtin_ctzll(m));
                if (count > 0) k.orMany(row, src.data(), count, stride);
            }
        });
        if (progress) progress(static_cast<double>(k1) / static_cast<double>(n));
    }
}

// The closure and the product take about the same time; each is half of the progress.
void warshallMethod(std::uint8_t* matrix, std::int64_t n, ThreadPool& pool, const Kernels& k,
                    BitRows& bits, std::int64_t sweepBlock,
                    const std::function<void(double)>& progress) {
    closeWarshall(bits, n, pool, k, sweepBlock, [&](double f) {
        if (progress) progress(f / 2);
    });
    const std::int64_t stride = bits.stride();
    const auto threads = static_cast<std::size_t>(pool.size());
    BitRows adjacency(static_cast<std::int64_t>(threads), n, false);
    BitRows beyond(static_cast<std::int64_t>(threads), n, false);
    std::vector<std::vector<const Word*>> sources(threads, std::vector<const Word*>(kWordBits));

    pool.parallelFor(0, n, [&](std::int64_t begin, std::int64_t end, int worker) {
        Word* a = adjacency.row(worker);
        Word* t = beyond.row(worker);
        auto& src = sources[static_cast<std::size_t>(worker)];
        for (std::int64_t i = begin; i < end; ++i) {
            std::uint8_t* cells = matrix + i * n;
            k.pack(cells, n, a, stride);
            std::fill(t, t + stride, Word{0});
            // t collects what the successors reach. A successor already in t adds nothing: its
            // closed row is contained in the row that reached it.
            for (std::int64_t w = 0; w < wordsFor(n); ++w) {
                std::int64_t count = 0;
                for (Word m = a[w] & ~t[w]; m != 0; m &= m - 1)
                    src[static_cast<std::size_t>(count++)] =
                        bits.row(w * kWordBits + __builtin_ctzll(m));
                if (count > 0) k.orMany(t, src.data(), count, stride);
            }
            for (std::int64_t w = 0; w < wordsFor(n); ++w) a[w] &= ~t[w];
            k.unpack(a, n, cells);
            // The calling thread's share of the rows stands for everyone's.
            if (worker == 0 && progress && (i - begin) % 64 == 63) {
                progress(0.5 + 0.5 * static_cast<double>(i + 1 - begin) /
                                   static_cast<double>(end - begin));
            }
        }
    });
}

// ---------------------------------------------------------------------------------------------
// Topological method.

struct Components {
    std::vector<std::int32_t> position;  // node -> position; edges never go to a lower position
    std::vector<std::int32_t> node;      // position -> node
    std::vector<std::int32_t> first;     // position -> lowest position of its component
    std::vector<std::uint8_t> cyclic;    // position -> lies on a cycle (incl. a self-loop)
    // Components as [first, last] position ranges, sinks first.
    std::vector<std::pair<std::int32_t, std::int32_t>> order;
};

// First j >= from set in both rows, or -1.
std::int64_t nextCommonBit(const Word* row, const Word* mask, std::int64_t words,
                           std::int64_t from) {
    std::int64_t w = from / kWordBits;
    if (w >= words) return -1;
    Word m = row[w] & mask[w] & (~Word{0} << (from % kWordBits));
    while (m == 0) {
        if (++w >= words) return -1;
        m = row[w] & mask[w];
    }
    return w * kWordBits + __builtin_ctzll(m);
}

// Tarjan's algorithm with an explicit frame stack. Components come out sinks first; positions
// are handed out from the top down so that they end up in topological order.
Components condense(const BitRows& adjacency, std::int64_t n) {
    Components c;
    c.position.assign(static_cast<std::size_t>(n), 0);
    c.node.assign(static_cast<std::size_t>(n), 0);
    c.first.assign(static_cast<std::size_t>(n), 0);
    c.cyclic.assign(static_cast<std::size_t>(n), 0);
    std::vector<std::int32_t> index(static_cast<std::size_t>(n), -1);
    std::vector<std::int32_t> low(static_cast<std::size_t>(n), 0);
    // Nodes not yet placed in a component: unvisited or still open. A successor outside this set
    // can change nothing, and on dense graphs most successors are, so they are skipped a word at
    // a time.
    std::vector<Word> unplaced(static_cast<std::size_t>(wordsFor(n)), 0);
    for (std::int64_t j = 0; j < n; ++j) setBit(unplaced.data(), j);
    std::vector<std::int32_t> open;
    open.reserve(static_cast<std::size_t>(n));
    struct Frame {
        std::int32_t v;
        std::int64_t cursor;
    };
    std::vector<Frame> frames;
    frames.reserve(static_cast<std::size_t>(n));
    const std::int64_t words = wordsFor(n);
    std::int32_t counter = 0;
    std::int64_t placed = 0;

    auto discover = [&](std::int32_t v) {
        index[v] = low[v] = counter++;
        open.push_back(v);
        frames.push_back({v, 0});
    };
    for (std::int32_t root = 0; root < n; ++root) {
        if (index[root] >= 0) continue;
        discover(root);
        while (!frames.empty()) {
            const std::int32_t v = frames.back().v;
            const std::int64_t w =
                nextCommonBit(adjacency.row(v), unplaced.data(), words, frames.back().cursor);
            if (w >= 0) {
                frames.back().cursor = w + 1;
                if (index[w] < 0)
                    discover(static_cast<std::int32_t>(w));
                else
                    low[v] = std::min(low[v], index[w]);
                continue;
            }
            frames.pop_back();
            if (low[v] == index[v]) {
                const auto last = static_cast<std::int32_t>(n - 1 - placed);
                std::int32_t x;
                do {
                    x = open.back();
                    open.pop_back();
                    unplaced[static_cast<std::size_t>(x / kWordBits)] &=
                        ~(Word{1} << (x % kWordBits));
                    const auto p = static_cast<std::int32_t>(n - 1 - placed++);
                    c.position[x] = p;
                    c.node[p] = x;
                } while (x != v);
                const auto first = static_cast<std::int32_t>(n - placed);
                const bool cyclic = first != last || testBit(adjacency.row(v), v);
                for (std::int32_t p = first; p <= last; ++p) {
                    c.first[p] = first;
                    c.cyclic[p] = cyclic;
                }
                c.order.emplace_back(first, last);
            }
            if (!frames.empty()) low[frames.back().v] = std::min(low[frames.back().v], low[v]);
        }
    }
    return c;
}

void awaitFlag(const std::atomic<std::uint8_t>& flag) {
    for (int spins = 0; flag.load(std::memory_order_acquire) == 0; ++spins)
        if (spins >= 64) std::this_thread::yield();
}

// emit(worker, node, kept) hands over each node's surviving successors (none for a node on a
// cycle), in topological order, from the worker that settled it.
template <typename Emit>
void topologicalMethod(std::int64_t n, ThreadPool& pool, const Kernels& k, BitRows& bits,
                       const std::function<void(double)>& progress, Emit&& emit) {
    const Components comp = condense(bits, n);
    // `bits` row u keeps u's successors (by node) until u's component is processed. Then the row
    // of the component's first node is overwritten with the component's reachability: the
    // positions reachable from it by walks of one or more edges. Rows of other members just go
    // unused, so no second bit matrix is needed.
    const std::int64_t stride = bits.stride();
    const std::int64_t words = wordsFor(n);
    const auto threads = static_cast<std::size_t>(pool.size());
    const auto ready = std::make_unique<std::atomic<std::uint8_t>[]>(static_cast<std::size_t>(n));
    for (std::int64_t p = 0; p < n; ++p) ready[p].store(0, std::memory_order_relaxed);
    // Lines of each reachability row that may be non-zero; keyed by the component's first position.
    std::vector<std::int32_t> lineBegin(static_cast<std::size_t>(n), 0);
    std::vector<std::int32_t> lineEnd(static_cast<std::size_t>(n), 0);
    BitRows successors(static_cast<std::int64_t>(threads), n, true);
    std::vector<std::vector<std::int32_t>> survivors(threads);
    for (auto& s : survivors) s.reserve(static_cast<std::size_t>(n));
    std::atomic<std::int64_t> nextComponent{0};
    const auto componentCount = static_cast<std::int64_t>(comp.order.size());
    const auto reachRow = [&](std::int32_t firstPosition) {
        return bits.row(comp.node[firstPosition]);
    };

    // Components are claimed sinks first, so every row a worker waits for is already claimed by a
    // running worker whose own waits point further down: the waits cannot form a cycle.
    pool.parallelFor(0, pool.size(), [&](std::int64_t, std::int64_t, int worker) {
        Word* succ = successors.row(worker);
        auto& kept = survivors[static_cast<std::size_t>(worker)];
        std::int64_t nextReport = 1;
        for (;;) {
            const std::int64_t c = nextComponent.fetch_add(1, std::memory_order_relaxed);
            if (c >= componentCount) break;
            // Components claimed by all so far, told by the calling thread alone, about a
            // hundred times.
            if (worker == 0 && progress && c >= nextReport) {
                progress(static_cast<double>(c) / static_cast<double>(componentCount));
                nextReport = c + componentCount / 128 + 1;
            }
            const auto [first, last] = comp.order[static_cast<std::size_t>(c)];
            const bool cyclic = comp.cyclic[first] != 0;

            // Successors outside the component, re-indexed by position so that a word scan
            // visits them in topological order.
            for (std::int32_t p = first; p <= last; ++p) {
                const Word* a = bits.row(comp.node[p]);
                for (std::int64_t w = 0; w < words; ++w)
                    for (Word m = a[w]; m != 0; m &= m - 1) {
                        const std::int32_t q = comp.position[w * kWordBits + __builtin_ctzll(m)];
                        if (q > last) setBit(succ, q);
                    }
            }

            Word* r = reachRow(first);
            std::fill(r, r + stride, Word{0});
            std::int64_t begin = std::numeric_limits<std::int64_t>::max();
            std::int64_t end = 0;
            const auto include = [&](std::int64_t p) {
                setBit(r, p);
                begin = std::min(begin, p / (kWordBits * kLineWords));
                end = std::max(end, p / (kWordBits * kLineWords) + 1);
            };
            if (cyclic)
                for (std::int32_t p = first; p <= last; ++p) include(p);

            kept.clear();
            for (std::int64_t w = (last + 1) / kWordBits; w < words; ++w) {
                Word m = succ[w];
                succ[w] = 0;
                for (; m != 0; m &= m - 1) {
                    const std::int64_t q = w * kWordBits + __builtin_ctzll(m);
                    // Whatever can reach q comes earlier in this scan and has been merged, so q
                    // already in r means exactly that a longer walk implies the edge; and then
                    // q's own row is inside r too.
                    if (testBit(r, q)) continue;
                    if (!cyclic && comp.cyclic[q] == 0) kept.push_back(comp.node[q]);
                    const std::int32_t from = comp.first[q];
                    awaitFlag(ready[from]);
                    const std::int64_t lb = lineBegin[from];
                    const std::int64_t le = lineEnd[from];
                    if (lb < le) {
                        orInto(k, r + lb * kLineWords, reachRow(from) + lb * kLineWords,
                               (le - lb) * kLineWords);
                        begin = std::min(begin, lb);
                        end = std::max(end, le);
                    }
                    include(q);
                }
            }
            lineBegin[first] = static_cast<std::int32_t>(std::min(begin, end));
            lineEnd[first] = static_cast<std::int32_t>(end);
            ready[first].store(1, std::memory_order_release);

            for (std::int32_t p = first; p <= last; ++p) emit(worker, comp.node[p], kept);
        }
    });
}

}  // namespace

namespace detail {

void reduceTransitively(std::uint8_t* matrix, std::int64_t n, int threads,
                        const ReductionOptions& options,
                        const std::function<void(double)>& progress) {
    const Kernels k = kernelsFor(options.isa);
    if (n <= 0) return;
    ThreadPool pool(
        static_cast<int>(std::min<std::int64_t>(n, resolveThreadCount(std::max(threads, 0)))));
    BitRows bits(n, n, false);
    pool.parallelFor(0, n, [&](std::int64_t begin, std::int64_t end, int) {
        for (std::int64_t i = begin; i < end; ++i)
            k.pack(matrix + i * n, n, bits.row(i), bits.stride());
    });
    if (options.method == ReductionMethod::Warshall)
        warshallMethod(matrix, n, pool, k, bits, options.sweepBlock, progress);
    else
        topologicalMethod(n, pool, k, bits, progress,
                          [&](int, std::int32_t node, const std::vector<std::int32_t>& kept) {
                              std::uint8_t* const cells = matrix + std::int64_t{node} * n;
                              std::memset(cells, 0, static_cast<std::size_t>(n));
                              for (const std::int32_t v : kept) cells[v] = 1;
                          });
}

}  // namespace detail

void reduceTransitively(std::uint8_t* matrix, std::int64_t n, int threads,
                        const std::function<void(double)>& progress) {
    detail::reduceTransitively(matrix, n, threads, detail::ReductionOptions{}, progress);
}

ReducedEdges reduceEdgeRecordsOnBits(const std::vector<std::uint64_t>& records, std::int64_t n,
                                     int threads, const EngineProgress& progress) {
    ReducedEdges result;
    if (n <= 0) return result;
    const Kernels k = kernelsFor(bestInstructionSet());
    ThreadPool pool(
        static_cast<int>(std::min<std::int64_t>(n, resolveThreadCount(std::max(threads, 0)))));
    BitRows bits(n, n, true);
    for (const std::uint64_t record : records) {
        setBit(bits.row(static_cast<std::int64_t>(record >> 32)),
               static_cast<std::int64_t>(record & 0xffffffffu));
    }
    const std::int64_t words = wordsFor(n);
    std::atomic<std::size_t> distinct{0};
    pool.parallelFor(0, n, [&](std::int64_t begin, std::int64_t end, int) {
        std::size_t count = 0;
        for (std::int64_t i = begin; i < end; ++i) {
            const Word* const row = bits.row(i);
            for (std::int64_t w = 0; w < words; ++w)
                count += std::size_t(__builtin_popcountll(row[w]));
        }
        distinct += count;
    });
    result.distinct = distinct;

    // Each node's survivors go to its worker's list in node order, put through a bit row (a pass
    // over n bits per node, n^2 / 64 words in all).
    struct Span {
        std::uint32_t worker = 0;
        std::size_t offset = 0;
        std::size_t count = 0;
    };
    std::vector<Span> spans(static_cast<std::size_t>(n));
    std::vector<std::vector<std::uint32_t>> targets(static_cast<std::size_t>(pool.size()));
    BitRows scratch(pool.size(), n, true);
    topologicalMethod(
        n, pool, k, bits, progress,
        [&](int worker, std::int32_t node, const std::vector<std::int32_t>& kept) {
            auto& out = targets[static_cast<std::size_t>(worker)];
            spans[static_cast<std::size_t>(node)] = {static_cast<std::uint32_t>(worker), out.size(),
                                                     kept.size()};
            if (kept.empty()) return;
            Word* const row = scratch.row(worker);
            for (const std::int32_t v : kept) setBit(row, v);
            for (std::int64_t w = 0; w < words; ++w) {
                for (Word m = row[w]; m != 0; m &= m - 1) {
                    out.push_back(static_cast<std::uint32_t>(w * kWordBits + __builtin_ctzll(m)));
                }
                row[w] = 0;
            }
        });
    std::size_t total = 0;
    for (const Span& span : spans) total += span.count;
    result.kept.reserve(total);
    for (std::int64_t u = 0; u < n; ++u) {
        const Span& span = spans[static_cast<std::size_t>(u)];
        const std::uint32_t* const list = targets[span.worker].data() + span.offset;
        for (std::size_t t = 0; t < span.count; ++t) {
            result.kept.push_back(std::uint64_t(u) << 32 | list[t]);
        }
    }
    return result;
}

}  // namespace fwprune::cpu
