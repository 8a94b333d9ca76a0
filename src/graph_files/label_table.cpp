#include "graph_files/label_table.h"

#include <algorithm>
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

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Length prefix: (bytes kept << 1 | packed), seven bits a byte, low bits first.
std::size_t prefixLength(std::uint64_t value) {
    std::size_t n = 1;
    while (value >= 0x80) {
        value >>= 7;
        ++n;
    }
    return n;
}

}  // namespace

LabelTable::Stored LabelTable::stored(std::uint32_t node) const {
    const unsigned char* p = places_[node];
    std::uint64_t value = 0;
    for (unsigned shift = 0;; shift += 7) {
        const unsigned char byte = *p++;
        value |= std::uint64_t{byte & 0x7fu} << shift;
        if (byte < 0x80) break;
    }
    return Stored{p, static_cast<std::size_t>(value >> 1), (value & 1) != 0};
}

const unsigned char* LabelTable::store(const unsigned char* bytes, std::size_t length,
                                       bool packed) {
    const std::uint64_t prefix = std::uint64_t{length} << 1 | (packed ? 1u : 0u);
    const std::size_t need = prefixLength(prefix) + length;
    if (kBlockBytes - blockUsed_ < need) {
        // A label longer than a block gets a block of its own size.
        blocks_.push_back(std::make_unique<unsigned char[]>(std::max(need, kBlockBytes)));
        blockUsed_ = 0;
    }
    unsigned char* const start = blocks_.back().get() + blockUsed_;
    unsigned char* p = start;
    std::uint64_t value = prefix;
    for (; value >= 0x80; value >>= 7) *p++ = static_cast<unsigned char>(value | 0x80);
    *p++ = static_cast<unsigned char>(value);
    std::memcpy(p, bytes, length);
    blockUsed_ += need;
    return start;
}

void LabelTable::growSlots() {
    const unsigned bits = slotBits_ == 0 ? 10 : slotBits_ + 1;
    std::vector<std::uint32_t> slots(std::size_t{1} << bits, 0);
    const std::size_t mask = slots.size() - 1;
    for (std::uint32_t node = 0; node < places_.size(); ++node) {
        const Stored s = stored(node);
        std::size_t i = hashBytes(s.bytes, s.length, s.packed) >> (64 - bits);
        while (slots[i] != 0) i = (i + 1) & mask;
        slots[i] = node + 1;
    }
    slots_.swap(slots);
    slotBits_ = bits;
}

std::uint32_t LabelTable::intern(std::string_view label) {
    // Lowercase hexadecimal of even length is looked up and kept packed.
    bool packed = !label.empty() && label.size() % 2 == 0;
    const unsigned char* key = reinterpret_cast<const unsigned char*>(label.data());
    std::size_t length = label.size();
    if (packed) {
        if (scratch_.size() < label.size() / 2) scratch_.resize(label.size());
        for (std::size_t i = 0; i < label.size(); i += 2) {
            const int high = hexValue(label[i]);
            const int low = hexValue(label[i + 1]);
            if ((high | low) < 0) {
                packed = false;
                break;
            }
            scratch_[i / 2] = static_cast<unsigned char>(high << 4 | low);
        }
        if (packed) {
            key = scratch_.data();
            length = label.size() / 2;
        }
    }
    const std::uint64_t hash = hashBytes(key, length, packed);
    if (slotBits_ == 0) growSlots();
    const std::size_t mask = slots_.size() - 1;
    std::size_t i = hash >> (64 - slotBits_);
    for (; slots_[i] != 0; i = (i + 1) & mask) {
        const Stored s = stored(slots_[i] - 1);
        if (s.length == length && s.packed == packed && std::memcmp(s.bytes, key, length) == 0) {
            return slots_[i] - 1;
        }
    }
    if (places_.size() >= kMaxLabels) throw std::length_error("too many labels");
    const auto node = static_cast<std::uint32_t>(places_.size());
    places_.push_back(store(key, length, packed));
    slots_[i] = node + 1;
    // Linear probing stays short up to half full.
    if (places_.size() * 2 > slots_.size()) growSlots();
    return node;
}

void LabelTable::appendLabel(std::uint32_t node, std::string& out) const {
    if (numbers_) {
        out += std::to_string(node);
        return;
    }
    const Stored s = stored(node);
    if (!s.packed) {
        out.append(reinterpret_cast<const char*>(s.bytes), s.length);
        return;
    }
    static constexpr char kDigits[] = "0123456789abcdef";
    const std::size_t at = out.size();
    out.resize(at + 2 * s.length);
    char* p = &out[at];
    for (std::size_t i = 0; i < s.length; ++i) {
        *p++ = kDigits[s.bytes[i] >> 4];
        *p++ = kDigits[s.bytes[i] & 15];
    }
}

std::string LabelTable::label(std::uint32_t node) const {
    std::string out;
    appendLabel(node, out);
    return out;
}

void LabelTable::dropFirst(std::size_t count) {
    places_.erase(places_.begin(), places_.begin() + static_cast<std::ptrdiff_t>(count));
    slotBits_ = slotBits_ == 0 ? 0 : slotBits_ - 1;
    if (slotBits_ != 0) growSlots();
}

}  // namespace fwprune
