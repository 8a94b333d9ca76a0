#include "graph_files/label_table.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <stdexcept>
#include <string>

namespace fwprune {
namespace {

// A 64-bit hash of a byte string: words folded in by multiplication, then the finalizer of
// MurmurHash3, which spreads every input bit over the top bits that pick a slot. Written here
// rather than taken from a library because it is a dozen lines and the library would have to be
// found by every cross-build.
std::uint64_t hashBytes(const unsigned char* p, std::size_t length, bool packed) {
    std::uint64_t h = 0x9e3779b97f4a7c15u ^ (length << 1 | (packed ? 1u : 0u));
    for (; length >= 8; p += 8, length -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = (h ^ word) * 0xbf58476d1ce4e5b9u;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, length);
    h = (h ^ tail) * 0x94d049bb133111ebu;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdu;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53u;
    return h ^ (h >> 33);
}

// The value of a lowercase hexadecimal digit, or 16 and more for any other byte.
struct HexTable {
    unsigned char value[256] = {};
    constexpr HexTable() {
        for (int c = 0; c < 256; ++c) value[c] = 0xff;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<unsigned char>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<unsigned char>(c - 'a' + 10);
    }
};
constexpr HexTable kHex{};

// Length prefix (see store): (bytes kept << 1 | packed), seven bits a byte, low bits first.

std::uint8_t tagOf(std::uint64_t hash) {
    return static_cast<std::uint8_t>(hash);
}

inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

// The kept form of label (packed into buffer when it is lowercase hexadecimal) and its hash.
LabelKey keyOf(std::string_view label, unsigned char* buffer) {
    const auto* const text = reinterpret_cast<const unsigned char*>(label.data());
    // Lowercase hexadecimal of even length is looked up and kept packed.
    bool packed = !label.empty() && label.size() % 2 == 0;
    for (std::size_t i = 0; packed && i < label.size(); i += 2) {
        const unsigned high = kHex.value[text[i]];
        const unsigned low = kHex.value[text[i + 1]];
        packed = (high | low) < 16;
        buffer[i / 2] = static_cast<unsigned char>(high << 4 | low);
    }
    LabelKey key{packed ? buffer : text, packed ? label.size() / 2 : label.size(), packed, 0};
    key.hash = hashBytes(key.bytes, key.length, packed);
    return key;
}

}  // namespace

void LabelBatch::prepare(const std::string_view* labels, std::size_t count) {
    std::size_t packedBytes = 0;
    for (std::size_t i = 0; i < count; ++i) packedBytes += labels[i].size() / 2 + 1;
    scratch_.resize(packedBytes);
    keys_.resize(count);
    unsigned char* buffer = scratch_.data();
    for (std::size_t i = 0; i < count; ++i) {
        keys_[i] = keyOf(labels[i], buffer);
        buffer += labels[i].size() / 2 + 1;
    }
}

void LabelBatch::clear() {
    scratch_.clear();
    keys_.clear();
}

LabelTable::Stored LabelTable::stored(std::uint32_t node) const {
    const unsigned char* p = place(node);
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char byte = *p++;
        value |= std::uint64_t{byte & 0x7fu} << shift;
        if (byte < 0x80) break;
    }
    return Stored{p, static_cast<std::size_t>(value >> 1), (value & 1) != 0};
}

const unsigned char* LabelTable::store(const LabelKey& key) {
    unsigned char prefix[10];
    std::size_t prefixBytes = 0;
    std::uint64_t value = std::uint64_t{key.length} << 1 | (key.packed ? 1u : 0u);
    for (; value >= 0x80; value >>= 7)
        prefix[prefixBytes++] = static_cast<unsigned char>(value | 0x80);
    prefix[prefixBytes++] = static_cast<unsigned char>(value);
    const std::size_t need = prefixBytes + key.length;
    if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < need) {
        // A label longer than a block gets a block of its own size.
        blocks_.emplace_back();
        blocks_.back().reserve(std::max(need, kBlockBytes));
    }
    std::vector<unsigned char>& block = blocks_.back();
    const std::size_t at = block.size();
    block.insert(block.end(), prefix, prefix + prefixBytes);
    block.insert(block.end(), key.bytes, key.bytes + key.length);
    return block.data() + at;
}

void LabelTable::growSlots(std::size_t forLabels) {
    unsigned bits = 10;
    while ((std::size_t{1} << bits) * 7 < forLabels * 10) ++bits;
    std::vector<std::uint32_t>().swap(slots_);
    std::vector<std::uint8_t>().swap(tags_);
    slots_.assign(std::size_t{1} << bits, 0);
    tags_.assign(slots_.size(), 0);
    slotBits_ = bits;
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t node = 0; node < count_; ++node) {
        const Stored s = stored(node);
        const std::uint64_t hash = hashBytes(s.bytes, s.length, s.packed);
        std::size_t i = slotOf(hash);
        while (slots_[i] != 0) i = (i + 1) & mask;
        slots_[i] = node + 1;
        tags_[i] = tagOf(hash);
    }
}

std::uint32_t LabelTable::findOrAdd(const LabelKey& key) {
    if (slotBits_ == 0) growSlots(2 * count_ + 1);
    const std::size_t mask = slots_.size() - 1;
    const std::uint8_t tag = tagOf(key.hash);
    std::size_t i = slotOf(key.hash);
    for (; slots_[i] != 0; i = (i + 1) & mask) {
        if (tags_[i] != tag) continue;
        const Stored s = stored(slots_[i] - 1);
        if (s.length == key.length && s.packed == key.packed &&
            std::memcmp(s.bytes, key.bytes, key.length) == 0) {
            return slots_[i] - 1;
        }
    }
    if (count_ >= kMaxLabels) throw std::length_error("too many labels");
    if ((count_ >> kPlaceChunkBits) == placeChunks_.size()) {
        placeChunks_.emplace_back();
        placeChunks_.back().reserve(std::size_t{1} << kPlaceChunkBits);
    }
    const auto node = static_cast<std::uint32_t>(count_);
    const unsigned char* const stored = store(key);
    placeChunks_.back().push_back(stored);
    ++count_;
    slots_[i] = node + 1;
    tags_[i] = tag;
    // Linear probing stays short up to 70% full.
    if (count_ * 10 > slots_.size() * 7) growSlots(2 * count_);
    return node;
}

std::uint32_t LabelTable::intern(std::string_view label) {
    if (scratch_.size() < label.size() / 2 + 1) scratch_.resize(label.size() / 2 + 1);
    return findOrAdd(keyOf(label, scratch_.data()));
}

void LabelTable::internBatch(const LabelBatch& batch, std::size_t from, std::size_t to,
                             std::uint32_t* nodes) {
    const LabelKey* const keys = batch.keys_.data();
    if (slotBits_ == 0) growSlots(2 * count_ + 1);
    // Three stages ahead of the label being numbered: its slot's cache line is fetched, then
    // the place its slot names, then the stored label there. Only hints: the lookup itself reads
    // the table as it is then.
    constexpr std::size_t kSlotAhead = 16, kPlaceAhead = 8, kLabelAhead = 4;
    for (std::size_t i = from; i < to; ++i) {
        if (i + kSlotAhead < to) {
            const std::size_t slot = slotOf(keys[i + kSlotAhead].hash);
            prefetch(&slots_[slot]);
            prefetch(&tags_[slot]);
        }
        if (i + kPlaceAhead < to) {
            const std::uint32_t s = slots_[slotOf(keys[i + kPlaceAhead].hash)];
            if (s != 0) prefetch(&place(s - 1));
        }
        if (i + kLabelAhead < to) {
            const std::uint32_t s = slots_[slotOf(keys[i + kLabelAhead].hash)];
            if (s != 0) prefetch(place(s - 1));
        }
        nodes[i - from] = findOrAdd(keys[i]);
    }
}

void LabelTable::reserve(std::size_t labels) {
    if (labels * 10 > slots_.size() * 7) growSlots(labels);
}

void LabelTable::releaseLookup() {
    std::vector<std::uint32_t>().swap(slots_);
    std::vector<std::uint8_t>().swap(tags_);
    std::vector<unsigned char>().swap(scratch_);
    slotBits_ = 0;
}

std::size_t LabelTable::labelLength(std::uint32_t node) const {
    if (numbers_) {
        std::size_t digits = 1;
        for (std::uint32_t rest = node; rest >= 10; rest /= 10) ++digits;
        return digits;
    }
    const Stored s = stored(node);
    return s.packed ? 2 * s.length : s.length;
}

char* LabelTable::writeLabel(std::uint32_t node, char* out) const {
    if (numbers_) return std::to_chars(out, out + 10, node).ptr;
    const Stored s = stored(node);
    if (!s.packed) return std::copy_n(reinterpret_cast<const char*>(s.bytes), s.length, out);
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < s.length; ++i) {
        *out++ = kDigits[s.bytes[i] >> 4];
        *out++ = kDigits[s.bytes[i] & 15];
    }
    return out;
}

void LabelTable::appendLabel(std::uint32_t node, std::string& out) const {
    const std::size_t at = out.size();
    out.resize(at + labelLength(node));
    writeLabel(node, &out[at]);
}

std::string LabelTable::label(std::uint32_t node) const {
    std::string out;
    appendLabel(node, out);
    return out;
}

}  // namespace fwprune
