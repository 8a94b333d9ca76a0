#include "graph_files/label_table.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
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
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen digits at a time: each byte's value as a digit and as a letter a-f, kept where it
    // is one, then the pairs of nibbles of each 16-bit lane joined into a byte.
    const __m128i nine = _mm_set1_epi8(9), five = _mm_set1_epi8(5);
    for (; packed && i + 16 <= label.size(); i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
        const __m128i digit = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
        const __m128i letter = _mm_sub_epi8(bytes, _mm_set1_epi8('a'));
        const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, nine), digit);
        const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, five), letter);
        packed = _mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) == 0xffff;
        const __m128i value =
            _mm_or_si128(_mm_and_si128(digit, isDigit),
                         _mm_and_si128(_mm_add_epi8(letter, _mm_set1_epi8(10)), isLetter));
        // A lane holds its first digit in its low byte and its second in its high byte.
        const __m128i joined =
            _mm_or_si128(_mm_and_si128(_mm_slli_epi16(value, 4), _mm_set1_epi16(0x00f0)),
                         _mm_srli_epi16(value, 8));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(buffer + i / 2),
                         _mm_packus_epi16(joined, _mm_setzero_si128()));
    }
#endif
    for (; packed && i < label.size(); i += 2) {
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

LabelTable::LabelTable() : shards_(std::size_t{1} << kShardBits) {}

LabelTable::Stored LabelTable::storedAt(const unsigned char* p) {
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char byte = *p++;
        value |= std::uint64_t{byte & 0x7fu} << shift;
        if (byte < 0x80) break;
    }
    return Stored{p, static_cast<std::size_t>(value >> 1), (value & 1) != 0};
}

const unsigned char* LabelTable::store(Shard& shard, const LabelKey& key) {
    unsigned char prefix[10];
    std::size_t prefixBytes = 0;
    std::uint64_t value = std::uint64_t{key.length} << 1 | (key.packed ? 1u : 0u);
    for (; value >= 0x80; value >>= 7)
        prefix[prefixBytes++] = static_cast<unsigned char>(value | 0x80);
    prefix[prefixBytes++] = static_cast<unsigned char>(value);
    const std::size_t need = prefixBytes + key.length;
    auto& blocks = shard.blocks;
    if (blocks.empty() || blocks.back().capacity() - blocks.back().size() < need) {
        const std::size_t size =
            blocks.empty() ? kFirstBlockBytes : std::min(kBlockBytes, 2 * blocks.back().capacity());
        // A label longer than a block gets a block of its own size.
        blocks.emplace_back();
        blocks.back().reserve(std::max(need, size));
    }
    std::vector<unsigned char>& block = blocks.back();
    const std::size_t at = block.size();
    block.insert(block.end(), prefix, prefix + prefixBytes);
    block.insert(block.end(), key.bytes, key.bytes + key.length);
    return block.data() + at;
}

std::size_t LabelTable::probe(const Shard& shard, const LabelKey& key) const {
    const std::size_t mask = shard.slots.size() - 1;
    const std::uint8_t tag = tagOf(key.hash);
    std::size_t i = slotOf(shard, key.hash);
    for (; shard.slots[i] != 0; i = (i + 1) & mask) {
        if (shard.tags[i] != tag) continue;
        const Stored s = storedAt(placeOf(shard, shard.slots[i]));
        if (s.length == key.length && s.packed == key.packed &&
            std::memcmp(s.bytes, key.bytes, key.length) == 0) {
            return i;
        }
    }
    return i;
}

void LabelTable::growShard(Shard& shard, std::size_t forLabels) {
    unsigned bits = 4;
    while ((std::size_t{1} << bits) * 7 < forLabels * 10) ++bits;
    if (bits <= shard.bits) return;
    std::vector<std::uint32_t> slots(std::size_t{1} << bits, 0);
    std::vector<std::uint8_t> tags(slots.size(), 0);
    const std::size_t mask = slots.size() - 1;
    Shard grown;
    grown.bits = bits;
    for (const std::uint32_t slot : shard.slots) {
        if (slot == 0) continue;
        const Stored s = storedAt(placeOf(shard, slot));
        const std::uint64_t hash = hashBytes(s.bytes, s.length, s.packed);
        std::size_t i = slotOf(grown, hash);
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = slot;
        tags[i] = tagOf(hash);
        if ((slot & kFresh) != 0) shard.fresh[slot & ~kFresh].slot = i;
    }
    shard.slots = std::move(slots);
    shard.tags = std::move(tags);
    shard.bits = bits;
}

void LabelTable::buildLookup() {
    if (lookup_) return;
    for (Shard& shard : shards_) growShard(shard, std::max<std::size_t>(shard.count, 1));
    for (std::uint32_t node = 0; node < count_; ++node) {
        const Stored s = stored(node);
        const std::uint64_t hash = hashBytes(s.bytes, s.length, s.packed);
        Shard& shard = shards_[shardOf(hash)];
        std::size_t i = slotOf(shard, hash);
        while (shard.slots[i] != 0) i = (i + 1) & (shard.slots.size() - 1);
        shard.slots[i] = node + 1;
        shard.tags[i] = tagOf(hash);
    }
    lookup_ = true;
}

void LabelTable::addPlaces(std::size_t count) {
    while (count > placeChunks_.size() << kPlaceChunkBits) {
        placeChunks_.emplace_back();
        placeChunks_.back().reserve(std::size_t{1} << kPlaceChunkBits);
    }
    for (std::size_t chunk = count_ >> kPlaceChunkBits; chunk < placeChunks_.size(); ++chunk) {
        const std::size_t end =
            std::min(count - (chunk << kPlaceChunkBits), std::size_t{1} << kPlaceChunkBits);
        if (placeChunks_[chunk].size() < end) placeChunks_[chunk].resize(end);
    }
}

std::uint32_t LabelTable::findOrAdd(const LabelKey& key) {
    buildLookup();
    Shard& shard = shards_[shardOf(key.hash)];
    const std::size_t i = probe(shard, key);
    if (shard.slots[i] != 0) return shard.slots[i] - 1;
    if (count_ >= kMaxLabels) throw std::length_error("too many labels");
    addPlaces(count_ + 1);
    const auto node = static_cast<std::uint32_t>(count_);
    place(node) = store(shard, key);
    ++count_;
    shard.slots[i] = node + 1;
    shard.tags[i] = tagOf(key.hash);
    // Linear probing stays short up to 70% full.
    if (++shard.count * 10 > shard.slots.size() * 7) growShard(shard, 2 * shard.count);
    return node;
}

std::uint32_t LabelTable::intern(std::string_view label) {
    if (scratch_.size() < label.size() / 2 + 1) scratch_.resize(label.size() / 2 + 1);
    return findOrAdd(keyOf(label, scratch_.data()));
}

void LabelTable::lookUpShards(const LabelKey* keys, std::size_t count, std::size_t shardFrom,
                              std::size_t shardTo, std::uint32_t* nodes,
                              std::vector<std::size_t>& mine) {
    mine.clear();
    for (std::size_t i = 0; i < count; ++i) {
        const std::size_t shard = shardOf(keys[i].hash);
        if (shard >= shardFrom && shard < shardTo) mine.push_back(i);
    }
    // Three stages ahead of the label being looked up: its slot's cache line is fetched, then
    // the place its slot names, then the stored label there. Only hints: the lookup itself reads
    // the table as it is then.
    constexpr std::size_t kSlotAhead = 16, kPlaceAhead = 8, kLabelAhead = 4;
    const std::size_t mineCount = mine.size();
    for (std::size_t k = 0; k < mineCount; ++k) {
        if (k + kSlotAhead < mineCount) {
            const LabelKey& ahead = keys[mine[k + kSlotAhead]];
            const Shard& shard = shards_[shardOf(ahead.hash)];
            const std::size_t slot = slotOf(shard, ahead.hash);
            prefetch(&shard.slots[slot]);
            prefetch(&shard.tags[slot]);
        }
        for (const std::size_t ahead : {kPlaceAhead, kLabelAhead}) {
            if (k + ahead >= mineCount) continue;
            const LabelKey& key = keys[mine[k + ahead]];
            const Shard& shard = shards_[shardOf(key.hash)];
            const std::uint32_t slot = shard.slots[slotOf(shard, key.hash)];
            if (slot == 0) continue;
            if (ahead == kPlaceAhead && (slot & kFresh) == 0) prefetch(&place(slot - 1));
            if (ahead == kLabelAhead) prefetch(placeOf(shard, slot));
        }
        const std::size_t i = mine[k];
        const LabelKey& key = keys[i];
        Shard& shard = shards_[shardOf(key.hash)];
        const std::size_t at = probe(shard, key);
        const std::uint32_t slot = shard.slots[at];
        if (slot != 0 && (slot & kFresh) == 0) {
            nodes[i] = slot - 1;
            continue;
        }
        if (slot != 0) {
            freshOf_[i] = slot & ~kFresh;
            continue;
        }
        firstNew_[i] = 1;
        freshOf_[i] = static_cast<std::uint32_t>(shard.fresh.size());
        if (shard.fresh.size() >= kFresh) throw std::length_error("too many labels");
        shard.fresh.push_back(Fresh{store(shard, key), at, i});
        shard.slots[at] = kFresh | freshOf_[i];
        shard.tags[at] = tagOf(key.hash);
        if (++shard.count * 10 > shard.slots.size() * 7) growShard(shard, 2 * shard.count);
    }
}

void LabelTable::settleShards(const LabelKey* keys, std::size_t shardFrom, std::size_t shardTo,
                              std::uint32_t* nodes, const std::vector<std::size_t>& mine) {
    for (const std::size_t i : mine) {
        // Places of labels the table held, and first places, have their numbers.
        if (freshOf_[i] == kFresh || firstNew_[i] != 0) continue;
        nodes[i] = nodes[shards_[shardOf(keys[i].hash)].fresh[freshOf_[i]].first];
    }
    for (std::size_t s = shardFrom; s < shardTo; ++s) {
        Shard& shard = shards_[s];
        for (const Fresh& fresh : shard.fresh) {
            const std::uint32_t node = nodes[fresh.first];
            place(node) = fresh.place;
            shard.slots[fresh.slot] = node + 1;
        }
        shard.fresh.clear();
    }
}

void LabelTable::internBatch(const LabelBatch& batch, std::size_t from, std::size_t to,
                             std::uint32_t* nodes, ThreadPool* pool) {
    buildLookup();
    const LabelKey* const keys = batch.keys_.data() + from;
    const std::size_t count = to - from;
    firstNew_.assign(count, 0);
    freshOf_.assign(count, kFresh);
    const std::size_t workers = pool == nullptr ? 1 : static_cast<std::size_t>(pool->size());
    mine_.resize(workers);
    const auto eachShards = [&](const auto& body) {
        const auto shards = static_cast<std::int64_t>(shards_.size());
        if (workers == 1) {
            body(std::size_t{0}, shards_.size(), mine_[0]);
            return;
        }
        pool->parallelFor(0, shards, [&](std::int64_t lo, std::int64_t hi, int worker) {
            body(static_cast<std::size_t>(lo), static_cast<std::size_t>(hi),
                 mine_[static_cast<std::size_t>(worker)]);
        });
    };
    eachShards([&](std::size_t lo, std::size_t hi, std::vector<std::size_t>& mine) {
        lookUpShards(keys, count, lo, hi, nodes, mine);
    });
    // The new labels take the next numbers in order of their first places.
    std::size_t next = count_;
    for (std::size_t i = 0; i < count; ++i) {
        if (firstNew_[i] == 0) continue;
        if (next >= kMaxLabels) throw std::length_error("too many labels");
        nodes[i] = static_cast<std::uint32_t>(next++);
    }
    addPlaces(next);
    count_ = next;
    eachShards([&](std::size_t lo, std::size_t hi, std::vector<std::size_t>& mine) {
        settleShards(keys, lo, hi, nodes, mine);
    });
}

void LabelTable::reserve(std::size_t labels) {
    buildLookup();
    // Shards fill alike (the hash spreads labels evenly); a tenth more leaves room for chance.
    const std::size_t perShard = labels / shards_.size() + labels / shards_.size() / 10 + 16;
    for (Shard& shard : shards_) growShard(shard, perShard);
}

void LabelTable::releaseLookup() {
    for (Shard& shard : shards_) {
        std::vector<std::uint32_t>().swap(shard.slots);
        std::vector<std::uint8_t>().swap(shard.tags);
        std::vector<Fresh>().swap(shard.fresh);
        shard.bits = 0;
    }
    std::vector<unsigned char>().swap(scratch_);
    std::vector<std::uint8_t>().swap(firstNew_);
    std::vector<std::uint32_t>().swap(freshOf_);
    std::vector<std::vector<std::size_t>>().swap(mine_);
    lookup_ = false;
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
