// The ordered route's method for any matrix without NaN: cells in ascending magnitude, each group
// of equal magnitude answered before its own legs are inserted (a leg equal to v does not beat v),
// with reachability kept as bit rows and updated as legs are inserted. Strongly connected
// components are merged as they form and share one row; once a single component holds every node,
// every cell still to come is beaten, and the rest of the matrix is never sorted. Inserting u -> v
// ORs v's row into the row of each component that reaches u but not v; each such OR adds at least
// one bit, so the work is at most n^2 row ORs of n bits (n^3 / 64 words) however the weights fall,
// and on random weights a few hundred thousand events settle everything.
#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/cancel.h"
#include "common/progress.h"
#include "common/radix_sort.h"
#include "common/union_find.h"
#include "cpu/weakest_link_ordered_shared.h"

namespace fwprune::cpu::ordered {
namespace {

// Reachability among the legs inserted so far. Nodes in one strongly connected component share
// their component leader's rows:
//   reach.row(c): the nodes reachable from c by one or more legs, written out;
//   reachedBy.row(y): the leaders c whose written-out reach has y (bits of former leaders go stale
//   and are masked out by isLeader).
// One component, the hub, is the first to hold n / kHubShare nodes; on random weights it becomes
// the giant component that ends up holding every node, and it stays the leader of every component
// it merges with. A leader that reaches the hub is
// marked `hubbed` and its reach is its row together with the hub's row, so that when the hub
// reaches more, the many leaders that reach it need no update at all: without the hub each of them
// would take every new node of the hub's reach into its own row, which costs about n^3 / 64 word
// operations, and a transposed bit of reachedBy each, on random weights. So, for every leader c,
//     reaches(c) = reach.row(c), together with reach.row(hub) when c is hubbed;
// the hub itself is never hubbed and its row is always written out.
// Components only ever merge; the magnitude of each merge is kept (a JoinOrder of the members), so
// that a question whose two ends already shared a component at its time is answered at the end
// instead of being recorded as it comes.
class Closure {
  public:
    explicit Closure(std::size_t n)
        : n_(n),
          reach_(std::int64_t(n), std::int64_t(n)),
          reachedBy_(std::int64_t(n), std::int64_t(n)),
          words_(static_cast<std::size_t>(reach_.words())),
          isLeader_(words_, 0),
          hubbed_(words_, 0),
          from_(words_),
          candidates_(words_),
          hubSize_(std::max<std::size_t>(2, n / kHubShare)),
          leader_(n),
          size_(n, 1),
          tail_(n),
          next_(n),
          joinAfter_(n, kNoMagnitude),
          selfJoin_(n, kNoMagnitude) {
        for (std::size_t x = 0; x < n; ++x) {
            leader_[x] = tail_[x] = static_cast<std::uint32_t>(x);
            next_[x] = kNoNode;
            setBit(isLeader_.data(), x);
        }
    }

    // Whether i reaches j, when the two are not in one component (true) or when they are (false:
    // that answer follows from the join order).
    bool reachesAcross(std::size_t i, std::size_t j) {
        const std::uint32_t c = find(static_cast<std::uint32_t>(i));
        if (size_[c] > 1 && find(static_cast<std::uint32_t>(j)) == c) return false;
        return reaches(c, j);
    }

    // Every node reaches every node: each question still to come is beaten.
    bool complete() { return n_ >= 2 && size_[find(0)] == n_; }

    // Inserts the leg u -> v of the given magnitude.
    void insert(std::uint32_t u, std::uint32_t v, std::uint32_t magnitude) {
        const std::uint32_t cu = find(u);
        const std::uint32_t cv = find(v);
        if (cu == cv || reaches(cu, v)) return;
        // New pairs: (every leader reaching u, and cu) x (v and everything v reaches). Leaders
        // that already reach v already reach all of it; hubbed leaders that reach u through the
        // hub gain it through the hub's row when the hub is among those leaders.
        const bool hubReachesU = hub_ != kNoNode && (hub_ == cu || reaches(hub_, u));
        const bool hubReachesV = hub_ != kNoNode && (hub_ == cv || reaches(hub_, v));
        // v's reach leads to the hub's (then a leader gaining it becomes hubbed, and the hub's row
        // itself need not be written into its row).
        const bool vToHub = hub_ != kNoNode && (cv == hub_ || isHubbed(cv));
        const std::uint64_t* const toU = reachedBy_.row(u);
        const std::uint64_t* const toV = reachedBy_.row(v);
        const std::uint64_t* const fromV = reach_.row(cv);
        const std::uint64_t* const fromHub = hub_ != kNoNode ? reach_.row(hub_) : nullptr;
        // Hubbed leaders reach v when the hub does, and gain v through the hub when it reaches u.
        const bool skipHubbed = hubReachesV || hubReachesU;
        for (std::size_t w = 0; w < words_; ++w) {
            from_[w] = cv == hub_ ? 0 : fromV[w];
            candidates_[w] = toU[w] & isLeader_[w] & ~toV[w] & (skipHubbed ? ~hubbed_[w] : ~0ull);
        }
        if (cv != hub_) setBit(from_.data(), v);
        // Rows are ORed only where from_ has bits: few words while the components are small.
        fromWords_.clear();
        for (std::size_t w = 0; w < words_; ++w) {
            if (from_[w] != 0) fromWords_.push_back(static_cast<std::uint32_t>(w));
        }
        if (!(skipHubbed && isHubbed(cu))) setBit(candidates_.data(), cu);
        // Leaders reaching u, for the cycle below: those whose row has u, and, when the hub
        // reaches u, the hub and every hubbed leader.
        const bool cycle = reaches(cv, u);
        if (cycle) {
            for (std::size_t w = 0; w < words_; ++w) {
                joining_[w] = (toU[w] | (hubReachesU ? hubbed_[w] : 0)) & isLeader_[w];
            }
            setBit(joining_.data(), cu);
            if (hubReachesU) setBit(joining_.data(), hub_);
        }
        if (hubReachesU && !hubReachesV) {
            // The hub gains v's reach, and with it every hubbed leader. v's reach cannot hold the
            // hub's own (that would make the hub reach v), so from_ is all of it.
            clearBit(candidates_.data(), hub_);
            addReach(hub_);
        }
        forEachSetBit(candidates_.data(), std::int64_t(words_), [&](std::int64_t leader) {
            const auto c = static_cast<std::uint32_t>(leader);
            if (c == hub_) return;  // reaches v already, or gained it above
            addReach(c, isHubbed(c) ? fromHub : nullptr);
            if (vToHub || (hub_ != kNoNode && testBit(reach_.row(c), hub_))) {
                setBit(hubbed_.data(), c);
            }
        });
        if (cycle) {
            // u -> v closes cycles: every leader that reaches u and is reachable from v joins one
            // component, whose reach is now cv's. The hub, when it is among them, stays the
            // leader: its row already holds that reach (it gained cv's above, or reached v
            // before), and the nodes it absorbs one by one never copy its row.
            if (size_[cv] == 1) selfJoin_[cv] = magnitude;
            const bool hubJoins = hub_ != kNoNode && hub_ != cv && testBit(joining_.data(), hub_) &&
                                  (vToHub || testBit(fromV, hub_));
            const std::uint32_t into = hubJoins ? hub_ : cv;
            for (std::size_t w = 0; w < words_; ++w) {
                const std::uint64_t reachable =
                    fromV[w] | (vToHub && fromHub != nullptr ? fromHub[w] : 0);
                const std::uint64_t joining = joining_[w] & isLeader_[w] & reachable;
                forEachSetBit(joining, std::int64_t(w) * kWordBits, [&](std::int64_t member) {
                    const auto x = static_cast<std::uint32_t>(member);
                    if (x != into) join(x, into, magnitude);
                });
            }
            if (leader_[cv] == cv && cv != into) join(cv, into, magnitude);
            if (hub_ == kNoNode && size_[into] >= hubSize_) makeHub(into);
        }
    }

    // The members of every component in join order, components one after another.
    JoinOrder joinOrder() const {
        JoinOrder joins(n_);
        for (std::uint32_t c = 0; c < n_; ++c) {
            if (leader_[c] != c) continue;
            for (std::uint32_t x = c; x != kNoNode; x = next_[x]) joins.append(x, joinAfter_[x]);
        }
        return joins;
    }

    // The magnitude at which i joined a component of more than one node (kNoMagnitude if never).
    std::uint32_t selfJoin(std::size_t i) const { return selfJoin_[i]; }

  private:
    static constexpr std::uint32_t kNoNode = 0xffffffffu;
    // The hub is the first component to hold n / kHubShare nodes.
    static constexpr std::size_t kHubShare = 256;

    std::uint32_t find(std::uint32_t x) { return findLeader(leader_, x); }

    bool isHubbed(std::uint32_t c) const { return testBit(hubbed_.data(), c); }

    // Whether leader c reaches node y.
    bool reaches(std::uint32_t c, std::size_t y) const {
        return testBit(reach_.row(c), y) || (isHubbed(c) && testBit(reach_.row(hub_), y));
    }

    // Leader c's row takes the bits of from_ (at the words listed in fromWords_), but for those
    // of `known` (the hub's row, for a hubbed leader, which reaches them through it).
    void addReach(std::uint32_t c, const std::uint64_t* known = nullptr) {
        std::uint64_t* const row = reach_.row(c);
        for (const std::uint32_t w : fromWords_) {
            const std::uint64_t fresh = from_[w] & ~row[w] & (known ? ~known[w] : ~0ull);
            if (fresh == 0) continue;
            row[w] |= fresh;
            forEachSetBit(fresh, std::int64_t(w) * kWordBits,
                          [&](std::int64_t y) { setBit(reachedBy_.row(y), c); });
        }
    }

    // Leader c's component, the first to grow to hubSize_, becomes the hub: every leader whose
    // row holds c reaches the hub from now on.
    void makeHub(std::uint32_t c) {
        hub_ = c;
        const std::uint64_t* const toHub = reachedBy_.row(c);
        for (std::size_t w = 0; w < words_; ++w) hubbed_[w] |= toHub[w] & isLeader_[w];
        clearBit(hubbed_.data(), c);
    }

    // Component x joins component c: its members follow c's.
    void join(std::uint32_t x, std::uint32_t c, std::uint32_t magnitude) {
        if (size_[x] == 1) selfJoin_[x] = magnitude;
        next_[tail_[c]] = x;
        joinAfter_[tail_[c]] = magnitude;
        tail_[c] = tail_[x];
        leader_[x] = c;
        size_[c] += size_[x];
        clearBit(isLeader_.data(), x);
        clearBit(hubbed_.data(), x);
    }

    std::size_t n_;
    BitRows reach_;
    BitRows reachedBy_;
    std::size_t words_;
    std::vector<std::uint64_t> isLeader_;
    std::vector<std::uint64_t> hubbed_;
    std::vector<std::uint64_t> from_;
    std::vector<std::uint64_t> candidates_;
    std::vector<std::uint64_t> joining_ = std::vector<std::uint64_t>(words_);
    std::vector<std::uint32_t> fromWords_;  // the words of from_ that are not zero
    std::uint32_t hub_ = kNoNode;
    std::size_t hubSize_;
    std::vector<std::uint32_t> leader_;
    std::vector<std::size_t> size_;
    // Members of each component as a list from its leader: next_, and the list's tail_.
    std::vector<std::uint32_t> tail_;
    std::vector<std::uint32_t> next_;
    std::vector<std::uint32_t> joinAfter_;  // join weight between a member and the next
    std::vector<std::uint32_t> selfJoin_;
};

// One cell as the sorting sees it: magnitude, whether it is a question, row, column.
using Event = std::uint64_t;
constexpr int kMagnitudeShift = 33;
Event eventOf(std::uint32_t magnitude, bool question, std::size_t i, std::size_t j) {
    return (std::uint64_t{magnitude} << kMagnitudeShift) | (std::uint64_t{question} << 32) |
           (i << 16) | j;
}
std::uint32_t magnitudeOf(Event e) {
    return static_cast<std::uint32_t>(e >> kMagnitudeShift);
}
bool isQuestion(Event e) {
    return (e >> 32) & 1u;
}
std::uint32_t rowOf(Event e) {
    return static_cast<std::uint32_t>(e >> 16) & 0xffffu;
}
std::uint32_t columnOf(Event e) {
    return static_cast<std::uint32_t>(e) & 0xffffu;
}

// Batches larger than this are sorted in parallel before they are processed.
constexpr std::size_t kSortAheadFrom = std::size_t{1} << 20;

// Sorts events by the low `bits` bits of their magnitude (the rest is equal within a bucket). The
// order among equal magnitudes does not matter: a group's questions are all answered before any of
// its legs is inserted. On the calling thread, it asks the caller whether to stop as it goes.
void sortByMagnitude(Event* events, std::size_t count, int bits, Event* scratch) {
    radixSort(events, count, kMagnitudeShift, kMagnitudeShift + bits, scratch,
              [] { pollCancelled(); });
}

class OrderedPruning {
  public:
    OrderedPruning(const Matrix& m, const Thresholds& t, ThreadPool& pool, const RowChunks& chunks,
                   const Progress& progress, const detail::OrderedOptions& options,
                   const LightSample& sample)
        : m_(m),
          t_(t),
          pool_(pool),
          chunks_(chunks),
          progress_(progress),
          closure_(side(m)),
          beaten_(std::int64_t(side(m)), std::int64_t(side(m))),
          // The largest batch sorted at once: a sixteenth of the matrix's cells, and at least
          // 4 Mi events. As 8-byte events with as much room again to sort them, that is a quarter
          // of the matrix's bytes, so that the closure adds at most about 35% of the matrix with
          // its three bit matrices (3n^2/8 bytes): 17% of the input and an output of its size.
          capacity_(options.batchCapacity > 0
                        ? options.batchCapacity
                        : std::max<std::size_t>(side(m) * side(m) / 16, std::size_t{1} << 22)),
          // The first batch: enough for random weights to join every node into one component
          // (about n ln n legs), so that one pass usually settles the matrix.
          target_(options.firstBatch > 0 ? options.firstBatch
                                         : std::min(capacity_, joiningLegs(side(m)))),
          firstBatch_(target_),
          sample_(sample) {}

    // Returns false, with the matrix untouched, when it holds a NaN.
    bool run() {
        const std::uint32_t below =
            sample_.target == target_ ? sample_.magnitude : lightMagnitude(m_, t_, target_);
        const FirstPass first = gatherFirstBatch(below);
        if (first.hasNaN) return false;
        if (first.largestQuestion == kNoMagnitude) {
            cutRows(m_, t_, pool_);
            return true;
        }
        if (!first.overflow) {
            // Every cell that takes part at or below `below` is in the batch: in ascending
            // magnitude they are the whole of the closure up to there. Legs above the largest
            // question beat nothing.
            events_ = batch_.size();
            // The batch's second half is the sort's scratch.
            batch_.resize(2 * events_);
            sortByMagnitude(batch_.data(), events_, 31, batch_.data() + events_);
            std::size_t useful = events_;
            while (useful > 0 && magnitudeOf(batch_[useful - 1]) > first.largestQuestion) --useful;
            processEvents(batch_.data(), useful);
            floor_ = below + 1;
            target_ = std::min(capacity_, target_ * 4);
        }
        std::vector<Event>().swap(batch_);
        if (!complete_ && floor_ <= first.largestQuestion) {
            // The rest in batches, by the histogram of what remains.
            const ChunkCounts counts = histogram(0, 31, kTopShift, kTopBuckets);
            const std::size_t lastBucket = first.largestQuestion >> kTopShift;
            for (const auto& count : counts) {
                for (std::size_t b = 0; b <= lastBucket; ++b) events_ += count[b];
            }
            processRange(0, kTopShift, lastBucket + 1, counts);
        }
        finishWithJoins(
            m_, t_, pool_, closure_.joinOrder(), &beaten_,
            [&](std::size_t i) { return closure_.selfJoin(i); }, progressPart(progress_, 0.5, 1));
        return true;
    }

  private:
    // Answers every question and inserts every leg of buckets [0, buckets) of the range that
    // starts at magnitude lo, with buckets 2^shift magnitudes wide, in ascending magnitude,
    // unless the closure completes on the way. Consecutive buckets are gathered and sorted in
    // batches; a bucket too big for one batch is split again by a histogram of its own, and a
    // single magnitude too big for one batch is streamed.
    void processRange(std::uint32_t lo, int shift, std::size_t buckets, const ChunkCounts& counts) {
        std::vector<std::size_t> total(buckets, 0);
        for (const auto& count : counts) {
            for (std::size_t b = 0; b < buckets; ++b) total[b] += count[b];
        }
        std::size_t b = 0;
        while (b < buckets && !complete_) {
            const std::uint32_t bucketLo = lo + (static_cast<std::uint32_t>(b) << shift);
            if (total[b] > capacity_) {
                if (shift == 0) {
                    streamMagnitude(bucketLo);
                } else {
                    const int subShift = std::max(0, shift - 12);
                    const std::size_t subBuckets = std::size_t{1} << (shift - subShift);
                    processRange(bucketLo, subShift, subBuckets,
                                 histogram(bucketLo, shift, subShift, subBuckets));
                }
                ++b;
                continue;
            }
            std::size_t e = b;
            std::size_t size = 0;
            while (e < buckets && total[e] <= capacity_ - size && size < target_)
                size += total[e++];
            if (size > 0) sortAndProcess(lo, shift, b, e, counts);
            target_ = std::min(capacity_, target_ * 4);
            b = e;
        }
    }

    // Counts per chunk of the cells that take part with magnitude in [lo, lo + 2^shift), in
    // buckets 2^subShift wide.
    ChunkCounts histogram(std::uint32_t lo, int shift, int subShift, std::size_t buckets) const {
        ChunkCounts counts(chunks_.count(), std::vector<std::uint32_t>(buckets, 0));
        chunks_.forEachRow([&](std::size_t c, std::size_t i) {
            std::uint32_t* const count = counts[c].data();
            const CellBits* const row = cellsOf(m_, i);
            for (std::size_t j = 0; j < side(m_); ++j) {
                const std::uint32_t offset = (row[j] & kMagnitudeBits) - lo;
                if ((offset >> shift) == 0 && remains(i, j, row[j])) ++count[offset >> subShift];
            }
        });
        return counts;
    }

    // Gathers the cells of buckets [b, e) into their buckets' places, sorts each bucket, and
    // processes the events in order.
    void sortAndProcess(std::uint32_t lo, int shift, std::size_t b, std::size_t e,
                        const ChunkCounts& counts) {
        std::vector<std::vector<std::size_t>> cursor(chunks_.count(),
                                                     std::vector<std::size_t>(e - b));
        std::vector<std::size_t> bucketStart(e - b + 1, 0);
        std::size_t at = 0;
        for (std::size_t k = b; k < e; ++k) {
            bucketStart[k - b] = at;
            for (std::size_t c = 0; c < chunks_.count(); ++c) {
                cursor[c][k - b] = at;
                at += counts[c][k];
            }
        }
        bucketStart[e - b] = at;
        // Events, then as much room again for sorting them (each bucket in its own part of it).
        // A batch larger than the last gets a new array, the old one freed first, so that the two
        // are never held at once.
        if (batch_.capacity() < 2 * at) std::vector<Event>().swap(batch_);
        batch_.resize(2 * at);
        const std::uint32_t first = lo + (static_cast<std::uint32_t>(b) << shift);
        const std::uint64_t span = std::uint64_t{e - b} << shift;
        Event* const out = batch_.data();
        chunks_.forEachRow([&](std::size_t c, std::size_t i) {
            std::size_t* const next = cursor[c].data();
            const CellBits* const row = cellsOf(m_, i);
            for (std::size_t j = 0; j < side(m_); ++j) {
                const std::uint32_t bits = row[j];
                const std::uint32_t offset = (bits & kMagnitudeBits) - first;
                if (offset >= span || !remains(i, j, bits)) continue;
                out[next[offset >> shift]++] =
                    eventOf(bits & kMagnitudeBits, t_.question(bits), i, j);
            }
        });
        // A small batch is sorted bucket by bucket as it is processed, so that the buckets past
        // the point where the closure completes are never sorted; a large one is sorted in
        // parallel first.
        const bool sortAhead = shift > 0 && at > kSortAheadFrom && pool_.size() > 1;
        if (sortAhead) {
            detail::sortBuckets(out, bucketStart, kMagnitudeShift, kMagnitudeShift + shift, pool_,
                                out + at);
        }
        for (std::size_t k = 0; k < e - b && !complete_; ++k) {
            const std::size_t size = bucketStart[k + 1] - bucketStart[k];
            if (shift > 0 && !sortAhead) {
                sortByMagnitude(out + bucketStart[k], size, shift, out + at + bucketStart[k]);
            }
            processEvents(out + bucketStart[k], size);
        }
    }

    void processEvents(const Event* events, std::size_t count) {
        for (std::size_t g = 0; g < count && !complete_;) {
            const std::uint32_t magnitude = magnitudeOf(events[g]);
            std::size_t h = g;
            while (h < count && magnitudeOf(events[h]) == magnitude) ++h;
            for (std::size_t x = g; x < h; ++x) {
                if (isQuestion(events[x])) answer(rowOf(events[x]), columnOf(events[x]));
            }
            for (std::size_t x = g; x < h; ++x) {
                const std::uint32_t i = rowOf(events[x]);
                const std::uint32_t j = columnOf(events[x]);
                if (i != j) closure_.insert(i, j, magnitude);
            }
            afterGroup(h - g);
            g = h;
        }
    }

    // One magnitude holding more cells than a batch: its questions in one pass, then its legs in
    // another.
    void streamMagnitude(std::uint32_t magnitude) {
        std::size_t cells = 0;
        for (std::size_t i = 0; i < side(m_); ++i) {
            pollCancelled();
            const CellBits* const row = cellsOf(m_, i);
            for (std::size_t j = 0; j < side(m_); ++j) {
                if ((row[j] & kMagnitudeBits) == magnitude && t_.question(row[j])) answer(i, j);
            }
        }
        for (std::size_t i = 0; i < side(m_); ++i) {
            pollCancelled();
            const CellBits* const row = cellsOf(m_, i);
            for (std::size_t j = 0; j < side(m_); ++j) {
                if ((row[j] & kMagnitudeBits) != magnitude || !remains(i, j, row[j])) continue;
                ++cells;
                if (i != j) {
                    closure_.insert(static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(j),
                                    magnitude);
                }
            }
        }
        afterGroup(cells);
    }

    void answer(std::size_t i, std::size_t j) {
        if (closure_.reachesAcross(i, j)) setBit(beaten_.row(i), j);
    }

    void afterGroup(std::size_t cells) {
        // Once complete, every question still to come has its two ends in one component.
        if (closure_.complete()) complete_ = true;
        done_ += cells;
        if (done_ >= nextPoll_) {
            pollCancelled();
            nextPoll_ = done_ + 64;
        }
        // The events are the first half of the progress. Most matrices complete the closure
        // within about a first batch of them, so the share told is the larger of the events
        // done and done / (done + first batch), which is a half after one batch.
        if (progress_ && done_ >= nextReport_) {
            const double done = static_cast<double>(done_);
            const double share = std::max(events_ > 0 ? done / double(events_) : 1.0,
                                          done / (done + double(firstBatch_)));
            progress_(0.5 * std::min(1.0, share));
            nextReport_ = done_ + std::max<std::size_t>(std::min(events_, firstBatch_) / 100, 1);
        }
    }

    // Whether a cell is still to be processed: it takes part, and lies at or above floor_.
    bool remains(std::size_t i, std::size_t j, std::uint32_t bits) const {
        return (bits & kMagnitudeBits) >= floor_ && takesPart(t_, i, j, bits);
    }

    // What the first pass over the matrix tells: whether it holds a NaN, and the largest question
    // (kNoMagnitude when there is none); and whether the cells at or below the first batch's
    // magnitude were more than a batch holds (then batch_ is empty).
    struct FirstPass {
        bool hasNaN = false;
        std::uint32_t largestQuestion = kNoMagnitude;
        bool overflow = false;
    };

    // One pass: the census, and every cell that takes part with magnitude at or below `below`
    // gathered into batch_, unless there are more than capacity_.
    FirstPass gatherFirstBatch(std::uint32_t below) {
        const std::size_t chunks = chunks_.count();
        const std::size_t room = std::max<std::size_t>(capacity_ / chunks, 1);
        std::vector<std::vector<Event>> gathered(chunks);
        std::vector<unsigned char> nan(chunks, 0), full(chunks, 0);
        std::vector<std::uint32_t> largest(chunks, 0);  // largest question + 1; 0 for none
        const std::size_t n = side(m_);
        const Thresholds t = t_;  // in registers through the loop the compiler vectorises
        chunks_.forEachRow([&](std::size_t c, std::size_t i) {
            const CellBits* const row = cellsOf(m_, i);
            std::uint32_t nanSeen = 0;
            std::uint32_t top = largest[c];
            for (std::size_t j0 = 0; j0 < n; j0 += 64) {
                const std::size_t end = std::min(n, j0 + 64);
                std::uint32_t any = 0;
                for (std::size_t j = j0; j < end; ++j) {
                    const std::uint32_t bits = row[j];
                    nanSeen |= isNaN(bits & kMagnitudeBits);
                    top = std::max(top, t.question(bits) ? bits + 1 : 0u);
                    any |= (bits & kMagnitudeBits) <= below;
                }
                if (any == 0 || full[c]) continue;
                std::vector<Event>& out = gathered[c];
                for (std::size_t j = j0; j < end; ++j) {
                    const std::uint32_t bits = row[j];
                    if ((bits & kMagnitudeBits) > below || !takesPart(t_, i, j, bits)) continue;
                    if (out.size() == room) {
                        full[c] = 1;
                        std::vector<Event>().swap(out);
                        break;
                    }
                    out.push_back(eventOf(bits & kMagnitudeBits, t_.question(bits), i, j));
                }
            }
            nan[c] |= nanSeen;
            largest[c] = top;
        });
        FirstPass first;
        std::size_t total = 0;
        for (std::size_t c = 0; c < chunks; ++c) {
            first.hasNaN |= nan[c] != 0;
            first.overflow |= full[c] != 0;
            if (largest[c] > 0) {
                const std::uint32_t top = largest[c] - 1;
                first.largestQuestion = first.largestQuestion == kNoMagnitude
                                            ? top
                                            : std::max(first.largestQuestion, top);
            }
            total += gathered[c].size();
        }
        if (!first.overflow) {
            batch_.reserve(2 * total);  // with room to sort them
            for (std::vector<Event>& part : gathered) {
                batch_.insert(batch_.end(), part.begin(), part.end());
                std::vector<Event>().swap(part);
            }
        }
        return first;
    }

    const Matrix& m_;
    const Thresholds& t_;
    ThreadPool& pool_;
    const RowChunks& chunks_;
    const Progress& progress_;
    Closure closure_;
    BitRows beaten_;
    const std::size_t capacity_;
    std::size_t target_;
    const std::size_t firstBatch_;
    const LightSample sample_;
    std::vector<Event> batch_;
    bool complete_ = false;
    std::size_t events_ = 0;
    std::size_t done_ = 0;
    std::size_t nextReport_ = 0;
    std::size_t nextPoll_ = 0;
    std::uint32_t floor_ = 0;  // cells below this magnitude have been processed
};

}  // namespace

bool pruneByClosure(const Matrix& m, const Thresholds& t, ThreadPool& pool, const RowChunks& chunks,
                    const Progress& progress, const detail::OrderedOptions& options,
                    const LightSample& sample) {
    return OrderedPruning(m, t, pool, chunks, progress, options, sample).run();
}

}  // namespace fwprune::cpu::ordered

namespace fwprune::cpu::detail {

void sortBuckets(std::uint64_t* keys, const std::vector<std::size_t>& bucketStart, int lowBit,
                 int highBit, ThreadPool& pool, std::uint64_t* scratch) {
    struct Stopped {};
    const std::size_t buckets = bucketStart.empty() ? 0 : bucketStart.size() - 1;
    std::atomic<std::size_t> nextBucket{0};
    ordered::StopTogether stop(static_cast<std::size_t>(pool.size()));
    pool.parallelFor(0, pool.size(), [&](std::int64_t, std::int64_t, int worker) {
        const auto poll = [&] {
            if (stop.stopped(worker)) throw Stopped{};
        };
        stop.run(worker, [&] {
            try {
                // Buckets are handed out one at a time, so that the threads finish together
                // whatever their sizes.
                for (std::size_t k; (k = nextBucket.fetch_add(1)) < buckets;) {
                    radixSort(keys + bucketStart[k], bucketStart[k + 1] - bucketStart[k], lowBit,
                              highBit, scratch + bucketStart[k], poll);
                }
            } catch (const Stopped&) {
            }
        });
    });
}

}  // namespace fwprune::cpu::detail
