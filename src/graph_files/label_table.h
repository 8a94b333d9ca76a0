// Node labels: the strings a labelled file names its nodes by, numbered densely in order of first
// appearance, so the engines work on node numbers 0, 1, ... and the writers print the labels back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/parallel.h"

namespace fwprune {

// A label in the form a LabelTable keeps and looks it up by, and its hash.
struct LabelKey {
    const unsigned char* bytes;
    std::size_t length;
    bool packed;  // two hexadecimal digits to a byte
    std::uint64_t hash;
};

// Labels made ready for numbering: each one's kept form and hash. Making a batch reads nothing but
// the labels, so several threads may each make one at once; numbering them is the table's work,
// and keeps their order. The labels must outlive the batch.
class LabelBatch {
  public:
    void prepare(const std::string_view* labels, std::size_t count);
    std::size_t size() const { return keys_.size(); }
    void clear();

  private:
    friend class LabelTable;
    std::vector<unsigned char> scratch_;  // packed forms
    std::vector<LabelKey> keys_;
};

// Labels by node number, and the hash table that finds a label's number. Labels are kept in
// blocks of bytes, each behind a short length prefix; a label of lowercase hexadecimal digits
// (commit and content hashes) is kept packed two digits to a byte, so a 40-digit hash costs 21
// bytes and 8 more for its place. The hash table (5 bytes a slot, at most 70% full) is needed only
// while labels are added, and releaseLookup() frees it.
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
    // nodes[1], ... The hash table is split in shards by hash, each of which one worker of the
    // pool (when there is one) looks up and fills; the labels new to the table are then numbered
    // in order of their first place in the batch, so the numbers are those of intern() one at a
    // time however many workers there are.
    void internBatch(const LabelBatch& batch, std::size_t from, std::size_t to,
                     std::uint32_t* nodes, ThreadPool* pool = nullptr);

    // Sizes the hash table for `labels` labels in all, so that it need not grow (and rehash)
    // until then.
    void reserve(std::size_t labels);

    // Frees the hash table; a later intern() builds it again.
    void releaseLookup();

    std::size_t size() const { return count_; }

    // Appends the label of node `node` (< size()) to out.
    void appendLabel(std::uint32_t node, std::string& out) const;
    // The length of the label of node, and the label written at out (room for that many bytes),
    // returning its end.
    std::size_t labelLength(std::uint32_t node) const;
    char* writeLabel(std::uint32_t node, char* out) const;
    std::string label(std::uint32_t node) const;

  private:
    struct Stored {
        const unsigned char* bytes;
        std::size_t length;  // bytes kept
        bool packed;         // two hexadecimal digits to a byte
    };
    // A label a batch adds, until the batch's new labels are numbered.
    struct Fresh {
        const unsigned char* place;
        std::size_t slot;
        std::size_t first;  // its first place in the batch
    };
    // One part of the hash table, and the labels it holds. A slot holds node + 1, or kFresh | i
    // for fresh[i]; 0 when free. The slots are a power of two.
    struct Shard {
        std::vector<std::uint32_t> slots;
        std::vector<std::uint8_t> tags;  // 8 more bits of each slot's hash
        unsigned bits = 0;
        std::size_t count = 0;  // labels held, the fresh ones too
        std::vector<std::vector<unsigned char>> blocks;
        std::vector<Fresh> fresh;
    };
    static constexpr unsigned kShardBits = 6;
    static constexpr std::uint32_t kFresh = 0x80000000u;
    static constexpr unsigned kPlaceChunkBits = 20;
    // A shard's first block holds 4 KiB of labels, each next one twice as much, up to 4 MiB. A
    // block is reserved at its full size and only appended to, so it never moves, and its memory
    // is touched only as labels fill it.
    static constexpr std::size_t kFirstBlockBytes = std::size_t{4} << 10;
    static constexpr std::size_t kBlockBytes = std::size_t{4} << 20;

    const unsigned char* const& place(std::uint32_t node) const {
        return placeChunks_[node >> kPlaceChunkBits][node & ((1u << kPlaceChunkBits) - 1)];
    }
    const unsigned char*& place(std::uint32_t node) {
        return placeChunks_[node >> kPlaceChunkBits][node & ((1u << kPlaceChunkBits) - 1)];
    }
    static Stored storedAt(const unsigned char* place);
    Stored stored(std::uint32_t node) const { return storedAt(place(node)); }
    const unsigned char* placeOf(const Shard& shard, std::uint32_t slot) const {
        return (slot & kFresh) != 0 ? shard.fresh[slot & ~kFresh].place : place(slot - 1);
    }
    static std::size_t shardOf(std::uint64_t hash) { return hash >> (64 - kShardBits); }
    static std::size_t slotOf(const Shard& shard, std::uint64_t hash) {
        return (hash << kShardBits) >> (64 - shard.bits);
    }
    // The slot that holds key in shard, or the free slot where it would go.
    std::size_t probe(const Shard& shard, const LabelKey& key) const;
    std::uint32_t findOrAdd(const LabelKey& key);
    static const unsigned char* store(Shard& shard, const LabelKey& key);
    void growShard(Shard& shard, std::size_t forLabels);
    void buildLookup();
    void addPlaces(std::size_t count);
    // Looks up the keys[0, count) whose shards are [shardFrom, shardTo), adding those not found
    // as fresh; mine collects their places.
    void lookUpShards(const LabelKey* keys, std::size_t count, std::size_t shardFrom,
                      std::size_t shardTo, std::uint32_t* nodes, std::vector<std::size_t>& mine);
    // Gives the fresh labels of those shards their numbers, which nodes holds at their first
    // places, and every other place of them the same.
    void settleShards(const LabelKey* keys, std::size_t shardFrom, std::size_t shardTo,
                      std::uint32_t* nodes, const std::vector<std::size_t>& mine);

    std::vector<Shard> shards_;
    bool lookup_ = false;  // the shards' slots are built
    // Where each label's length prefix starts, in chunks of 2^20, so that growing never copies.
    std::vector<std::vector<const unsigned char*>> placeChunks_;
    std::size_t count_ = 0;
    // While a batch is numbered: which of its places are a label's first, and which fresh label
    // each place of a fresh label names.
    std::vector<std::uint8_t> firstNew_;
    std::vector<std::uint32_t> freshOf_;
    std::vector<std::vector<std::size_t>> mine_;  // by worker
    std::vector<unsigned char> scratch_;          // the packed form of the label intern() looks up
    bool numbers_ = false;
};

}  // namespace fwprune
