#include "graph_files/label_table.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <numeric>

#include "common/huge_pages.h"
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
// found by every cross-build. The bytes left over after the whole words are, in a string of eight
// bytes or more, the eight that end it (the length hashed first sets them apart), so that they
// are one load, or one register where the bytes are being made.
std::uint64_t hashStart(std::size_t length, bool packed) {
    return 0x9e3779b97f4a7c15u ^ (length << 1 | (packed ? 1u : 0u));
}

std::uint64_t hashWord(std::uint64_t h, std::uint64_t word) {
    h = (h ^ word) * 0xbf58476d1ce4e5b9u;
    return h ^ (h >> 29);
}

std::uint64_t hashEnd(std::uint64_t h, std::uint64_t tail) {
    h = (h ^ tail) * 0x94d049bb133111ebu;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdu;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53u;
    return h ^ (h >> 33);
}

std::uint64_t hashBytes(const unsigned char* p, std::size_t length, bool packed) {
    std::uint64_t h = hashStart(length, packed);
    const bool words = length >= 8;
    for (; length >= 8; p += 8, length -= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, 8);
        h = hashWord(h, word);
    }
    std::uint64_t tail = 0;
    if (words && length > 0) {
        std::memcpy(&tail, p + length - 8, 8);
    } else {
        std::memcpy(&tail, p, length);
    }
    return hashEnd(h, tail);
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

// Whether a[0, length) equals b[0, length): a label's bytes compared in words where it has
// eight or more (the last word overlapping the one before), which is most labels and cheaper
// than a call.
bool sameBytes(const unsigned char* a, const unsigned char* b, std::size_t length) {
    if (length < 8) return std::memcmp(a, b, length) == 0;
    const auto word = [](const unsigned char* p) {
        std::uint64_t value;
        std::memcpy(&value, p, 8);
        return value;
    };
    std::uint64_t differ = word(a + length - 8) ^ word(b + length - 8);
    for (std::size_t i = 0; i + 8 < length; i += 8) differ |= word(a + i) ^ word(b + i);
    return differ == 0;
}

// Copies length bytes of a label: in words where it has eight or more (the last word overlapping
// the one before), which is most labels and cheaper than a call.
void copyBytes(unsigned char* to, const unsigned char* from, std::size_t length) {
    if (length < 8) {
        std::memcpy(to, from, length);
        return;
    }
    for (std::size_t i = 0; i + 8 < length; i += 8) std::memcpy(to + i, from + i, 8);
    std::memcpy(to + length - 8, from + length - 8, 8);
}

inline void prefetch(const void* p) {
#if defined(__GNUC__) || defined(__clang__)
    __builtin_prefetch(p);
#else
    (void)p;
#endif
}

#if defined(__SSE2__)
// The low eight bytes of v: one move on x86-64, two on 32-bit x86, which has no 64-bit one.
inline std::uint64_t lowWord(__m128i v) {
#if defined(__x86_64__) || defined(_M_X64)
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(v));
#else
    return static_cast<std::uint32_t>(_mm_cvtsi128_si32(v)) |
           std::uint64_t{static_cast<std::uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(v, 4)))} << 32;
#endif
}
#endif

// The kept form of label (packed into buffer when it is lowercase hexadecimal) into key; returns
// its hash. Written field by field where the key is kept: a key returned whole and copied there
// would be read back in wider loads than it was stored in, which wait for the stores before them,
// and those wait on the cache misses of a batch's keys.
std::uint64_t makeKey(std::string_view label, unsigned char* buffer, LabelKey& key) {
    const auto* const text = reinterpret_cast<const unsigned char*>(label.data());
    // Lowercase hexadecimal of even length is looked up and kept packed.
    bool packed = !label.empty() && label.size() % 2 == 0;
    std::size_t i = 0;
#if defined(__SSE2__)
    // Sixteen digits at a time: each byte's value as a digit and as a letter a-f, kept where it
    // is one, then the pairs of nibbles of each 16-bit lane joined into a byte.
    // The packed words are hashed as they are made: reading them back from the buffer just
    // written would wait on the stores.
    const __m128i nine = _mm_set1_epi8(9), five = _mm_set1_epi8(5);
    std::uint64_t word = 0;
    const auto packSixteen = [&](std::size_t at) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + at));
        const __m128i digit = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
        const __m128i letter = _mm_sub_epi8(bytes, _mm_set1_epi8('a'));
        const __m128i isDigit = _mm_cmpeq_epi8(_mm_min_epu8(digit, nine), digit);
        const __m128i isLetter = _mm_cmpeq_epi8(_mm_min_epu8(letter, five), letter);
        const __m128i value =
            _mm_or_si128(_mm_and_si128(digit, isDigit),
                         _mm_and_si128(_mm_add_epi8(letter, _mm_set1_epi8(10)), isLetter));
        // A lane holds its first digit in its low byte and its second in its high byte.
        const __m128i joined =
            _mm_or_si128(_mm_and_si128(_mm_slli_epi16(value, 4), _mm_set1_epi16(0x00f0)),
                         _mm_srli_epi16(value, 8));
        const __m128i packedBytes = _mm_packus_epi16(joined, _mm_setzero_si128());
        _mm_storel_epi64(reinterpret_cast<__m128i*>(buffer + at / 2), packedBytes);
        word = lowWord(packedBytes);
        return _mm_movemask_epi8(_mm_or_si128(isDigit, isLetter)) == 0xffff;
    };
    if (packed && label.size() >= 16) {
        std::uint64_t h = hashStart(label.size() / 2, true);
        for (; packed && i + 16 <= label.size(); i += 16) {
            packed = packSixteen(i);
            h = hashWord(h, word);
        }
        // The last digits: the sixteen that end the label, some packed again.
        std::uint64_t tail = 0;
        if (packed && i < label.size()) {
            packed = packSixteen(label.size() - 16);
            tail = word;
        }
        if (packed) {
            key.bytes = buffer;
            key.size = (label.size() / 2) << 1 | 1;
            return hashEnd(h, tail);
        }
        i = label.size();
    }
#endif
    for (; packed && i < label.size(); i += 2) {
        const unsigned high = kHex.value[text[i]];
        const unsigned low = kHex.value[text[i + 1]];
        packed = (high | low) < 16;
        buffer[i / 2] = static_cast<unsigned char>(high << 4 | low);
    }
    const std::size_t length = packed ? label.size() / 2 : label.size();
    key.bytes = packed ? buffer : text;
    key.size = length << 1 | (packed ? 1u : 0u);
    return hashBytes(key.bytes, length, packed);
}

}  // namespace

void LabelBatch::add(std::string_view label) {
    makeRoom();
    const std::size_t need = label.size() / 2 + 1;
    if (blocks_.empty() || blocks_[block_].room - blocks_[block_].used < need) {
        if (!blocks_.empty()) ++block_;
        const std::size_t room = std::max(kBlockBytes, need);
        if (block_ == blocks_.size()) {
            blocks_.emplace_back(room);
        } else if (blocks_[block_].room < need) {
            blocks_[block_] = ByteBlock(room);
        }
        blocks_[block_].used = 0;
    }
    ByteBlock& block = blocks_[block_];
    LabelKey& key = keys_.emplace_back();
    hashes_.push_back(makeKey(label, block.end(), key));
    block.used += need;
    looked_.push_back(static_cast<std::uint32_t>(earlier_.size()));
    earlier_.push_back(kAdded);
}

void LabelBatch::clear() {
    if (!blocks_.empty()) blocks_[0].used = 0;
    block_ = 0;
    keys_.clear();
    earlier_.clear();
    looked_.clear();
    hashes_.clear();
}

LabelTable::LabelTable() : shards_(std::size_t{1} << kShardBits) {}

// An entry: its node (4 bytes, as the machine orders them), then (bytes kept << 1 | packed),
// seven bits a byte, low bits first, then the bytes.
std::uint32_t LabelTable::nodeAt(const unsigned char* entry) {
    std::uint32_t node;
    std::memcpy(&node, entry, sizeof node);
    return node;
}

void LabelTable::setNode(unsigned char* entry, std::uint32_t node) {
    std::memcpy(entry, &node, sizeof node);
}

LabelTable::Stored LabelTable::storedAt(const unsigned char* entry) {
    const unsigned char* p = entry + 4;
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char byte = *p++;
        value |= std::uint64_t{byte & 0x7fu} << shift;
        if (byte < 0x80) break;
    }
    return Stored{p, static_cast<std::size_t>(value >> 1), (value & 1) != 0};
}

unsigned char* LabelTable::add(Shard& shard, std::size_t at, const LabelKey& key,
                               std::uint64_t hash, std::uint32_t node) {
    // Linear probing stays short up to 75% full. The table grows before it changes, so that
    // running out of memory leaves it as it was.
    if ((shard.count + 1) * 4 > shard.slots.size() * 3) {
        growShard(shard, 2 * (shard.count + 1));
        at = probe(shard, key, hash);
    }
    const std::uint64_t lengthValue = key.size;
    const std::size_t length = key.length();
    std::size_t lengthBytes = 1;
    for (std::uint64_t rest = lengthValue; rest >= 0x80; rest >>= 7) ++lengthBytes;
    const std::size_t need = 4 + lengthBytes + length;
    auto& blocks = shard.blocks;
    if (blocks.empty() || blocks.back().room > kBlockBytes ||
        blocks.back().room - blocks.back().used < need) {
        if (blocks.size() >= kMaxBlocks) throw std::length_error("too many labels");
        const std::size_t size =
            blocks.empty() ? kFirstBlockBytes : std::min(kBlockBytes, 2 * blocks.back().room);
        blocks.emplace_back(std::max(need, size));
    }
    ByteBlock& block = blocks.back();
    const std::size_t offset = block.used;
    unsigned char* p = block.end();
    std::memcpy(p, &node, 4);
    p += 4;
    std::uint64_t value = lengthValue;
    for (; value >= 0x80; value >>= 7) *p++ = static_cast<unsigned char>(value | 0x80);
    *p++ = static_cast<unsigned char>(value);
    copyBytes(p, key.bytes, length);
    block.used += need;
    const std::uint64_t ref = std::uint64_t{blocks.size() - 1} << kOffsetBits | offset;
    shard.slots[at] = tagOf(hash) | (ref + 1);
    ++shard.count;
    shard.longest = std::max(shard.longest, key.packed() ? 2 * length : length);
    return block.bytes.get() + offset;
}

std::size_t LabelTable::probe(const Shard& shard, const LabelKey& key, std::uint64_t hash) {
    const std::size_t size = shard.slots.size();
    const std::uint64_t tag = tagOf(hash);
    std::size_t i = homeOf(shard, hash);
    for (;; i = i + 1 == size ? 0 : i + 1) {
        const std::uint64_t slot = shard.slots[i];
        if (slot == 0) return i;
        if ((slot & ~kRefMask) != tag) continue;
        const Stored s = storedAt(entryOf(shard, slot));
        if (s.length == key.length() && s.packed == key.packed() &&
            sameBytes(s.bytes, key.bytes, s.length)) {
            return i;
        }
    }
}

void LabelTable::growShard(Shard& shard, std::size_t forLabels) {
    const std::size_t size = std::max<std::size_t>(16, forLabels * 4 / 3 + 1);
    if (size <= shard.slots.size()) return;
    Shard grown;
    grown.slots = hugePageVector<std::uint64_t>(size, 0);
    for (const std::uint64_t slot : shard.slots) {
        if (slot == 0) continue;
        const Stored s = storedAt(entryOf(shard, slot));
        const std::uint64_t hash = hashBytes(s.bytes, s.length, s.packed);
        std::size_t i = homeOf(grown, hash);
        while (grown.slots[i] != 0) i = i + 1 == size ? 0 : i + 1;
        grown.slots[i] = slot;
    }
    shard.slots = std::move(grown.slots);
}

void LabelTable::buildLookup() {
    if (lookup_) return;
    for (Shard& shard : shards_) {
        growShard(shard, std::max<std::size_t>(shard.count, 1));
        // The entries, block after block, each ref with the hash of its label.
        for (std::size_t b = 0; b < shard.blocks.size(); ++b) {
            const unsigned char* const block = shard.blocks[b].bytes.get();
            for (std::size_t offset = 0; offset < shard.blocks[b].used;) {
                const Stored s = storedAt(block + offset);
                const std::uint64_t hash = hashBytes(s.bytes, s.length, s.packed);
                std::size_t i = homeOf(shard, hash);
                while (shard.slots[i] != 0) i = i + 1 == shard.slots.size() ? 0 : i + 1;
                shard.slots[i] = tagOf(hash) | ((b << kOffsetBits | offset) + 1);
                offset = static_cast<std::size_t>(s.bytes + s.length - block);
            }
        }
    }
    lookup_ = true;
}

void LabelTable::makePlaceRoom(std::size_t labels) {
    constexpr std::size_t kChunk = std::size_t{1} << kPlaceChunkBits;
    while (placeChunks_.size() * kChunk < labels) {
        // Filled place by place, never read before: not zeroed. On small pages: each is cleared
        // just before it is filled, while a huge page's clearing sweeps the caches of the
        // numbering at work.
        placeChunks_.emplace_back(kChunk, false);
    }
}

std::uint32_t LabelTable::intern(std::string_view label) {
    if (scratch_.size() < label.size() / 2 + 1) scratch_.resize(label.size() / 2 + 1);
    LabelKey key;
    const std::uint64_t hash = makeKey(label, scratch_.data(), key);
    buildLookup();
    Shard& shard = shards_[shardOf(hash)];
    const std::size_t at = probe(shard, key, hash);
    if (shard.slots[at] != 0) return nodeAt(entryOf(shard, shard.slots[at]));
    if (count_ >= kMaxLabels) throw std::length_error("too many labels");
    const auto node = static_cast<std::uint32_t>(count_);
    makePlaceRoom(count_ + 1);
    place(node) = add(shard, at, key, hash, node);
    ++count_;
    return node;
}

std::size_t LabelTable::lookUpShards(const LabelBatch& batch, std::size_t from, std::size_t first,
                                     std::size_t last, std::size_t shardFrom, std::size_t shardTo,
                                     std::uint32_t* nodes, std::vector<std::uint32_t>& mine,
                                     bool entries) {
    // The labels of those shards, without a branch: a label's shard is no better than a coin
    // toss. Repeats are not among them: internBatch numbers them.
    const std::uint64_t* const hashes = batch.hashes_.data();
    if (mine.size() < last - first) mine.resize(last - first);
    std::size_t mineCount = 0;
    for (std::size_t j = first; j < last; ++j) {
        mine[mineCount] = static_cast<std::uint32_t>(j);
        mineCount += static_cast<std::size_t>(shardOf(hashes[j]) - shardFrom < shardTo - shardFrom);
    }
    // Two stages ahead of the label being looked up: its slot's cache line is fetched, then the
    // entry its slot names when the hash bits match (when asked: see internBatch). Only hints:
    // the lookup itself reads the table as it is then.
    constexpr std::size_t kSlotAhead = 32, kEntryAhead = 8;
    std::size_t held = 0;
    for (std::size_t k = 0; k < mineCount; ++k) {
        if (k + kSlotAhead < mineCount) {
            const std::size_t j = mine[k + kSlotAhead];
            const Shard& shard = shards_[shardOf(hashes[j])];
            prefetch(&shard.slots[homeOf(shard, hashes[j])]);
            prefetch(&batch.keys_[j]);
            prefetch(&batch.looked_[j]);
        }
        if (entries && k + kEntryAhead < mineCount) {
            const std::uint64_t ahead = hashes[mine[k + kEntryAhead]];
            const Shard& shard = shards_[shardOf(ahead)];
            const std::uint64_t slot = shard.slots[homeOf(shard, ahead)];
            if (slot != 0 && tagMatches(slot, ahead)) prefetch(entryOf(shard, slot));
        }
        const LabelKey& key = batch.keys_[mine[k]];
        const std::uint64_t hash = hashes[mine[k]];
        const std::size_t i = batch.looked_[mine[k]] - from;
        Shard& shard = shards_[shardOf(hash)];
        const std::size_t at = probe(shard, key, hash);
        if (shard.slots[at] != 0) {
            // A label the table held has its number; one this batch added names its first place.
            nodes[i] = nodeAt(entryOf(shard, shard.slots[at]));
            held += nodes[i] < kFresh ? 1 : 0;
            continue;
        }
        nodes[i] = kNew;
        added_[i] = add(shard, at, key, hash, kFresh | static_cast<std::uint32_t>(i));
    }
    return held;
}

void LabelTable::internBatch(const LabelBatch& batch, std::size_t from, std::size_t to,
                             std::uint32_t* nodes, ThreadPool* pool) {
    // A first place must fit below kFresh, and kFresh | place must not be kNew.
    constexpr std::size_t kMostPlaces = std::size_t{1} << 30;
    for (; to - from > kMostPlaces; from += kMostPlaces, nodes += kMostPlaces) {
        internBatch(batch, from, from + kMostPlaces, nodes, pool);
    }
    buildLookup();
    const std::uint32_t* const earlierOf = batch.earlier_.data() + from;
    const std::size_t count = to - from;
    if (added_.size() < count) added_.resize(count);
    const std::size_t workers = pool == nullptr ? 1 : static_cast<std::size_t>(pool->size());
    mine_.resize(workers);
    held_.assign(workers, 0);
    // The labels to look up: those added at places [from, to).
    const auto& looked = batch.looked_;
    const auto first = static_cast<std::size_t>(
        std::lower_bound(looked.begin(), looked.end(), from) - looked.begin());
    const auto last = static_cast<std::size_t>(
        std::lower_bound(looked.begin() + static_cast<std::ptrdiff_t>(first), looked.end(), to) -
        looked.begin());
    if (workers == 1) {
        held_[0] =
            lookUpShards(batch, from, first, last, 0, shards_.size(), nodes, mine_[0], entries_);
    } else {
        pool->parallelFor(0, static_cast<std::int64_t>(shards_.size()),
                          [&](std::int64_t lo, std::int64_t hi, int worker) {
                              const auto w = static_cast<std::size_t>(worker);
                              held_[w] += lookUpShards(
                                  batch, from, first, last, static_cast<std::size_t>(lo),
                                  static_cast<std::size_t>(hi), nodes, mine_[w], entries_);
                          });
    }
    // Fetching entries ahead pays when labels recur long after they first appear, as in a
    // graph of scattered edges; in a history, where a label recurs a few records after it
    // first appears, its entry is still in cache, and the stage's extra load for every label
    // costs a sixth of the lookups' time. So the next batch fetches them only when at least
    // one label in sixteen of this one was held before it.
    entries_ = std::accumulate(held_.begin(), held_.end(), std::size_t{0}) * 16 >= count;
    // The new labels take the next numbers in order of their first places, which every later
    // place of them then copies. Each stretch of the batch counts its first places, then numbers
    // them from where the stretches before it end; last, the other places copy their numbers.
    const std::size_t stretches = std::min(workers, std::max<std::size_t>(count / 4096, 1));
    const auto eachStretch = [&](const auto& body) {
        const auto run = [&](std::size_t s) {
            body(s, count * s / stretches, count * (s + 1) / stretches);
        };
        if (stretches == 1) {
            run(0);
            return;
        }
        pool->parallelFor(0, static_cast<std::int64_t>(stretches),
                          [&](std::int64_t lo, std::int64_t hi, int) {
                              for (std::int64_t s = lo; s < hi; ++s) {
                                  run(static_cast<std::size_t>(s));
                              }
                          });
    };
    // A repeat takes what its earlier place got: a number, or the first place of a new label
    // (the earlier place itself when that is it). Earlier places are never repeats, and the
    // lookups have settled them, so the stretches may read them across their bounds.
    starts_.assign(stretches + 1, 0);
    eachStretch([&](std::size_t s, std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            if (earlierOf[i] == LabelBatch::kAdded) continue;
            const std::ptrdiff_t earlier =
                static_cast<std::ptrdiff_t>(earlierOf[i]) - static_cast<std::ptrdiff_t>(from);
            const std::uint32_t node = nodes[earlier];
            nodes[i] = node == kNew ? kFresh | static_cast<std::uint32_t>(earlier) : node;
        }
        starts_[s + 1] = static_cast<std::size_t>(std::count(nodes + lo, nodes + hi, kNew));
    });
    starts_[0] = count_;
    for (std::size_t s = 0; s < stretches; ++s) starts_[s + 1] += starts_[s];
    if (starts_[stretches] > kMaxLabels) throw std::length_error("too many labels");
    makePlaceRoom(starts_[stretches]);
    eachStretch([&](std::size_t s, std::size_t lo, std::size_t hi) {
        auto next = static_cast<std::uint32_t>(starts_[s]);
        for (std::size_t i = lo; i < hi; ++i) {
            if (nodes[i] != kNew) continue;
            setNode(added_[i], next);
            place(next) = added_[i];
            nodes[i] = next++;
        }
    });
    count_ = starts_[stretches];
    eachStretch([&](std::size_t, std::size_t lo, std::size_t hi) {
        for (std::size_t i = lo; i < hi; ++i) {
            if (nodes[i] >= kFresh) nodes[i] = nodes[nodes[i] & ~kFresh];
        }
    });
}

void LabelTable::reserve(std::size_t labels, ThreadPool* pool) {
    buildLookup();
    // Shards fill alike (the hash spreads labels evenly); a twentieth more leaves room for chance.
    const std::size_t perShard = labels / shards_.size() + labels / shards_.size() / 20 + 16;
    // Fresh memory is slow to map on a virtual machine: the workers map their shards at once.
    const auto grow = [&](std::int64_t lo, std::int64_t hi, int) {
        for (std::int64_t s = lo; s < hi; ++s) {
            growShard(shards_[static_cast<std::size_t>(s)], perShard);
        }
    };
    const auto count = static_cast<std::int64_t>(shards_.size());
    if (pool == nullptr) {
        grow(0, count, 0);
    } else {
        pool->parallelFor(0, count, grow);
    }
}

void LabelTable::releaseLookup() {
    for (Shard& shard : shards_) std::vector<std::uint64_t>().swap(shard.slots);
    std::vector<unsigned char>().swap(scratch_);
    std::vector<unsigned char*>().swap(added_);
    std::vector<std::vector<std::uint32_t>>().swap(mine_);
    entries_ = true;
    lookup_ = false;
}

void LabelTable::prefetchLabel(std::uint32_t node, bool bytes) const {
    if (numbers_) return;
    if (bytes) {
        prefetch(place(node));
    } else {
        prefetch(&place(node));
    }
}

std::size_t LabelTable::longestLabel() const {
    if (numbers_) return 10;  // 2^32 - 1
    std::size_t longest = 0;
    for (const Shard& shard : shards_) longest = std::max(longest, shard.longest);
    return longest;
}

std::size_t LabelTable::labelLength(std::uint32_t node) const {
    if (numbers_) {
        std::size_t digits = 1;
        for (std::uint32_t rest = node; rest >= 10; rest /= 10) ++digits;
        return digits;
    }
    const Stored s = storedAt(place(node));
    return s.packed ? 2 * s.length : s.length;
}

char* LabelTable::writeLabel(std::uint32_t node, char* out) const {
    if (numbers_) return std::to_chars(out, out + 10, node).ptr;
    const Stored s = storedAt(place(node));
    if (!s.packed) return std::copy_n(reinterpret_cast<const char*>(s.bytes), s.length, out);
#if defined(__SSE2__)
    // Eight bytes at a time: their nibbles interleaved high first, each made a digit or a letter;
    // a longer label's last eight bytes overlap the ones before.
    const auto unpackEight = [&](std::size_t at) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s.bytes + at));
        const __m128i low = _mm_and_si128(bytes, _mm_set1_epi8(0x0f));
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), _mm_set1_epi8(0x0f));
        const __m128i nibbles = _mm_unpacklo_epi8(high, low);
        const __m128i letters =
            _mm_and_si128(_mm_cmpgt_epi8(nibbles, _mm_set1_epi8(9)), _mm_set1_epi8('a' - '0' - 10));
        const __m128i digits = _mm_add_epi8(_mm_add_epi8(nibbles, _mm_set1_epi8('0')), letters);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * at), digits);
    };
    if (s.length >= 8) {
        std::size_t i = 0;
        for (; i + 8 <= s.length; i += 8) unpackEight(i);
        if (i < s.length) unpackEight(s.length - 8);
        return out + 2 * s.length;
    }
#endif
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
