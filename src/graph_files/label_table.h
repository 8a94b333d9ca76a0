// Node labels: the strings a labelled file names its nodes by, numbered densely in order of first
// appearance, so the engines work on node numbers 0, 1, ... and the writers print the labels back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "common/aligned_memory.h"
#include "common/parallel.h"

namespace fwprune {

// A label in the form a LabelTable keeps and looks it up by (its hash is kept apart).
struct LabelKey {
    const unsigned char* bytes;
    std::size_t size;  // bytes kept << 1 | packed (two hexadecimal digits to a byte)
    std::size_t length() const { return size >> 1; }
    bool packed() const { return (size & 1) != 0; }
};

// Bytes appended to a block of fixed room that never moves, so that what is kept there may be
// pointed at. Its memory is touched only as it fills.
struct ByteBlock {
    explicit ByteBlock(std::size_t bytes) : bytes(bytes, false), room(bytes) {}
    unsigned char* end() { return bytes.get() + used; }
    AlignedArray<unsigned char> bytes;
    std::size_t room;
    std::size_t used = 0;
};

// Labels made ready for numbering: each one's kept form and hash. Making a batch reads nothing but
// the labels, so several threads may each make one at once; numbering them is the table's work,
// and keeps their order. The labels must outlive the batch.
class LabelBatch {
  public:
    LabelBatch() = default;
    LabelBatch(const LabelBatch&) = delete;
    LabelBatch& operator=(const LabelBatch&) = delete;
    LabelBatch(LabelBatch&&) noexcept = default;
    LabelBatch& operator=(LabelBatch&&) noexcept = default;

    // The most places a batch holds: its lists of places are 32-bit.
    static constexpr std::size_t kMostPlaces = 0xfffffffeu;

    // Adds label at the end of the batch. Throws std::length_error past kMostPlaces.
    void add(std::string_view label);
    // Adds the label at place `earlier` (< size()) again: it is numbered as that one, without
    // being made ready or looked up. A run of records that repeat a node (a source's edges, a
    // chain) costs a comparison with the label before instead of a lookup. earlier must be a
    // place added by add().
    void addRepeat(std::size_t earlier) {
        makeRoom();
        earlier_.push_back(static_cast<std::uint32_t>(earlier));
    }
    std::size_t size() const { return earlier_.size(); }
    // Empties the batch, keeping its memory for the next labels.
    void clear();

  private:
    friend class LabelTable;
    void makeRoom() const {
        if (earlier_.size() >= kMostPlaces) throw std::length_error("too many labels in a batch");
    }
    // Packed forms (the keys point into them), kept across clear().
    static constexpr std::size_t kBlockBytes = std::size_t{1} << 20;
    std::vector<ByteBlock> blocks_;
    std::size_t block_ = 0;  // the block being filled
    // The labels added by add(), in order: their keys, their places, and their hashes apart, which
    // the lookups scan for the labels of their shards.
    std::vector<LabelKey> keys_;
    std::vector<std::uint32_t> looked_;
    std::vector<std::uint64_t> hashes_;
    // By place: the place a repeat repeats, kAdded for a label added by add().
    static constexpr std::uint32_t kAdded = 0xffffffffu;
    std::vector<std::uint32_t> earlier_;
};

// Labels by node number, and the hash table that finds a label's number. Labels are kept in
// blocks of bytes, each as an entry: its node number, a short length prefix, then the label; a
// label of lowercase hexadecimal digits (commit and content hashes) is kept packed two digits to a
// byte, so a 40-digit hash costs 25 bytes and 8 more for its place. A slot of the hash table
// (8 bytes, at most 75% full) holds 24 bits of its label's hash and where its entry is, so a
// lookup reads one slot and, only when the hash bits match, the entry it names; the hash table is
// needed only while labels are added, and releaseLookup() frees it.
class LabelTable {
  public:
    // The most labels a table holds: node numbers must fit the edge records' 31 bits.
    static constexpr std::uint32_t kMaxLabels = 0x7fffffffu;

    LabelTable();
    // A table whose label of node i is its decimal number, for writing a graph read with node
    // numbers in a labelled format. It holds no labels and takes none.
    static LabelTable numbers() {
        LabelTable table;
        table.shards_.clear();
        table.numbers_ = true;
        return table;
    }
    LabelTable(LabelTable&&) = default;
    LabelTable& operator=(LabelTable&&) = default;

    // The number of label, numbering it next when it is new. Throws std::length_error past
    // kMaxLabels labels and std::bad_alloc when memory runs out.
    std::uint32_t intern(std::string_view label);

    // intern() of the batch's labels from, from + 1, ... to - 1 in that order, into nodes[0],
    // nodes[1], ... A repeat of a place p before from takes nodes[p - from], which must hold its
    // number by then (the places before from were numbered into the same array). The hash table is
    // split in shards by hash, each of which one worker of the pool (when there is one) looks up
    // and fills; the labels new to the table are then numbered in order of their first place in the
    // batch, so the numbers are those of intern() one at a time however many workers there are.
    void internBatch(const LabelBatch& batch, std::size_t from, std::size_t to,
                     std::uint32_t* nodes, ThreadPool* pool = nullptr);

    // Sizes the hash table for `labels` labels in all, so that it need not grow (and rehash)
    // until then; the pool's workers (when there is one) size its shards.
    void reserve(std::size_t labels, ThreadPool* pool = nullptr);

    // Frees the hash table; a later intern() builds it again.
    void releaseLookup();

    std::size_t size() const { return count_; }
    // The length of the longest label: room enough for any one of them.
    std::size_t longestLabel() const;

    // Appends the label of node `node` (< size()) to out.
    void appendLabel(std::uint32_t node, std::string& out) const;
    // The length of the label of node, and the label written at out (room for that many bytes),
    // returning its end.
    std::size_t labelLength(std::uint32_t node) const;
    char* writeLabel(std::uint32_t node, char* out) const;
    std::string label(std::uint32_t node) const;
    // A hint that the label of node will be written soon: its place is fetched when bytes is
    // false, its entry (the place must be at hand by then) when it is true.
    void prefetchLabel(std::uint32_t node, bool bytes) const;

  private:
    struct Stored {
        const unsigned char* bytes;
        std::size_t length;  // bytes kept
        bool packed;         // two hexadecimal digits to a byte
    };
    // One part of the hash table, and the entries of the labels it holds. A slot holds 24 bits of
    // the label's hash << 40 | (ref + 1), where ref is block << kOffsetBits | offset of its entry;
    // 0 when free. Each on cache lines of its own: the workers fill different shards at once.
    struct alignas(64) Shard {
        std::vector<std::uint64_t> slots;
        std::size_t count = 0;    // labels held
        std::size_t longest = 0;  // the length of the longest label held
        std::vector<ByteBlock> blocks;
    };
    static constexpr unsigned kShardBits = 4;
    // An entry's node while the batch that added it is numbered: kFresh | its first place.
    static constexpr std::uint32_t kFresh = 0x80000000u;
    // The mark of a batch's place that holds a label's first appearance, until it is numbered.
    static constexpr std::uint32_t kNew = 0xffffffffu;
    static constexpr unsigned kPlaceChunkBits = 20;
    static constexpr unsigned kOffsetBits = 24;
    // A shard's first block holds 4 KiB of entries, each next one twice as much, up to 16 MiB
    // (what an entry's offset reaches). A block is reserved at its full size and only appended
    // to, so it never moves, and its memory is touched only as labels fill it. A label longer
    // than that has a block of its own.
    static constexpr std::size_t kFirstBlockBytes = std::size_t{4} << 10;
    static constexpr std::size_t kBlockBytes = std::size_t{1} << kOffsetBits;
    static constexpr std::uint64_t kRefMask = (std::uint64_t{1} << 40) - 1;
    static constexpr std::size_t kMaxBlocks = (std::size_t{1} << (40 - kOffsetBits)) - 1;

    const unsigned char* const& place(std::uint32_t node) const {
        return placeChunks_[node >> kPlaceChunkBits].get()[node & ((1u << kPlaceChunkBits) - 1)];
    }
    const unsigned char*& place(std::uint32_t node) {
        return placeChunks_[node >> kPlaceChunkBits].get()[node & ((1u << kPlaceChunkBits) - 1)];
    }
    static Stored storedAt(const unsigned char* entry);
    static std::uint32_t nodeAt(const unsigned char* entry);
    static void setNode(unsigned char* entry, std::uint32_t node);
    static const unsigned char* entryOf(const Shard& shard, std::uint64_t slot) {
        const std::uint64_t ref = (slot & kRefMask) - 1;
        return shard.blocks[ref >> kOffsetBits].bytes.get() + (ref & (kBlockBytes - 1));
    }
    static std::size_t shardOf(std::uint64_t hash) { return hash >> (64 - kShardBits); }
    // The slot a hash starts probing at: the 32 bits below the shard's, scaled to the slots.
    static std::size_t homeOf(const Shard& shard, std::uint64_t hash) {
        return static_cast<std::size_t>(
            (hash >> (32 - kShardBits) & 0xffffffffu) * shard.slots.size() >> 32);
    }
    // The slot's bits that tell labels apart before their bytes are compared: the hash's lowest.
    static std::uint64_t tagOf(std::uint64_t hash) { return hash << 40; }
    static bool tagMatches(std::uint64_t slot, std::uint64_t hash) {
        return (slot & ~kRefMask) == tagOf(hash);
    }
    // The slot that holds key (of that hash) in shard, or the free slot where it would go.
    static std::size_t probe(const Shard& shard, const LabelKey& key, std::uint64_t hash);
    // Adds key's entry, holding node, to shard at its free slot `at`; returns the entry.
    unsigned char* add(Shard& shard, std::size_t at, const LabelKey& key, std::uint64_t hash,
                       std::uint32_t node);
    static void growShard(Shard& shard, std::size_t forLabels);
    void buildLookup();
    // Room for the places of nodes up to labels - 1, made before they are added.
    void makePlaceRoom(std::size_t labels);
    // Looks up the labels the batch added at batch.looked_[first, last), those whose shards are
    // [shardFrom, shardTo), adding those not found; for such a label at place from + i, nodes[i]
    // gets the number of a label the table held, kFresh | the first place (less from) of one the
    // batch added, or kNew at that first place, where added_ holds its entry. mine is room for
    // those labels' indices in looked_; entries asks for the entries of labels found to be
    // fetched ahead. Returns how many of the labels were held by the table before the batch.
    std::size_t lookUpShards(const LabelBatch& batch, std::size_t from, std::size_t first,
                             std::size_t last, std::size_t shardFrom, std::size_t shardTo,
                             std::uint32_t* nodes, std::vector<std::uint32_t>& mine, bool entries);

    std::vector<Shard> shards_;
    bool lookup_ = false;  // the shards' slots are built
    // Where each label's entry starts, in chunks of 2^20, so that growing never copies.
    std::vector<AlignedArray<const unsigned char*>> placeChunks_;
    std::size_t count_ = 0;
    // While a batch is numbered: the entries added, at their labels' first places.
    std::vector<unsigned char*> added_;
    std::vector<std::size_t> starts_;               // the first number of each stretch's new labels
    std::vector<std::vector<std::uint32_t>> mine_;  // by worker
    std::vector<std::size_t> held_;                 // by worker: labels found held before
    bool entries_ = true;  // the next batch fetches the entries of labels found ahead
    std::vector<unsigned char> scratch_;  // the packed form of the label intern() looks up
    bool numbers_ = false;
};

}  // namespace fwprune
