// Node labels: the strings a labelled file names its nodes by, numbered densely in order of first
// appearance, so the engines work on node numbers 0, 1, ... and the writers print the labels back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

    LabelTable() = default;
    // A table whose label of node i is its decimal number, for writing a graph read with node
    // numbers in a labelled format. It holds no labels and takes none.
    static LabelTable numbers() {
        LabelTable table;
        table.numbers_ = true;
        return table;
    }
    LabelTable(LabelTable&&) = default;
    LabelTable& operator=(LabelTable&&) = default;

    // The number of label, numbering it next when it is new. Throws std::length_error past
    // kMaxLabels labels and std::bad_alloc when memory runs out.
    std::uint32_t intern(std::string_view label);

    // intern() of the batch's labels from, from + 1, ... to - 1 in that order, into nodes[0],
    // nodes[1], ... Faster than one at a time: it fetches the hash-table slots and stored labels
    // of the labels a few places ahead while it compares the current one, so their cache misses
    // overlap.
    void internBatch(const LabelBatch& batch, std::size_t from, std::size_t to,
                     std::uint32_t* nodes);

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
    static constexpr unsigned kPlaceChunkBits = 20;

    const unsigned char* const& place(std::uint32_t node) const {
        return placeChunks_[node >> kPlaceChunkBits][node & ((1u << kPlaceChunkBits) - 1)];
    }
    Stored stored(std::uint32_t node) const;
    std::uint32_t findOrAdd(const LabelKey& key);
    const unsigned char* store(const LabelKey& key);
    void growSlots(std::size_t forLabels);
    std::size_t slotOf(std::uint64_t hash) const { return hash >> (64 - slotBits_); }

    static constexpr std::size_t kBlockBytes = std::size_t{4} << 20;
    // Each block is reserved at its full size and only appended to, so it never moves, and its
    // memory is touched only as labels fill it.
    std::vector<std::vector<unsigned char>> blocks_;
    // Where each label's length prefix starts, in chunks of 2^20, so that growing never copies.
    std::vector<std::vector<const unsigned char*>> placeChunks_;
    std::size_t count_ = 0;
    std::vector<std::uint32_t> slots_;  // node + 1 by hash, 0 when free; a power of two
    std::vector<std::uint8_t> tags_;    // 8 more bits of each slot's hash
    unsigned slotBits_ = 0;
    std::vector<unsigned char> scratch_;  // the packed form of the label intern() looks up
    bool numbers_ = false;
};

}  // namespace fwprune
