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

// Labels by node number, and the hash table that finds a label's number. Labels are kept in
// blocks of bytes, each behind a short length prefix; a label of lowercase hexadecimal digits
// (commit and content hashes) is kept packed two digits to a byte, so a 40-digit hash costs 21
// bytes, 8 more for its place and about 8 for its hash-table slot.
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

    std::size_t size() const { return places_.size(); }

    // Appends the label of node `node` (< size()) to out.
    void appendLabel(std::uint32_t node, std::string& out) const;
    std::string label(std::uint32_t node) const;

    // Forgets the first `count` labels and numbers the rest from 0 (for a header row read as an
    // edge before it was known to be one).
    void dropFirst(std::size_t count);

  private:
    struct Stored {
        const unsigned char* bytes;
        std::size_t length;  // bytes kept
        bool packed;         // two hexadecimal digits to a byte
    };
    Stored stored(std::uint32_t node) const;
    const unsigned char* store(const unsigned char* bytes, std::size_t length, bool packed);
    void growSlots();

    static constexpr std::size_t kBlockBytes = std::size_t{4} << 20;
    std::vector<std::unique_ptr<unsigned char[]>> blocks_;
    std::size_t blockUsed_ = kBlockBytes;       // bytes used in blocks_.back()
    std::vector<const unsigned char*> places_;  // where each label's length prefix starts
    std::vector<std::uint32_t> slots_;          // node + 1 by hash, 0 when free; power of two
    unsigned slotBits_ = 0;
    std::vector<unsigned char> scratch_;  // the packed form of the label being looked up
    bool numbers_ = false;
};

}  // namespace fwprune
