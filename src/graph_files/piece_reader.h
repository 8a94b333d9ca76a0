// The block loop every text reader shares: a file read front to back in pieces, the unfinished
// record at the end of each piece carried to the front of the next, and the next piece read while
// the current one is parsed.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <future>
#include <new>
#include <optional>
#include <string_view>
#include <utility>

#include "common/aligned_memory.h"
#include "common/huge_pages.h"
#include "graph_files/file_io.h"

namespace fwprune {

// What a consumer of readPieces returns to stop reading before the end of the file.
constexpr std::size_t kStopReading = static_cast<std::size_t>(-1);

namespace detail {

// Pieces from this size on are read while the one before is parsed.
constexpr std::size_t kReadAheadFrom = std::size_t{1} << 20;

// Fills out with up to bytes of the file, fewer only at its end; returns the bytes read.
inline std::size_t readFully(InputFile& file, char* out, std::size_t bytes) {
    std::size_t held = 0;
    while (held < bytes) {
        const std::size_t got = file.readInto(out + held, bytes - held);
        if (got == 0) break;
        held += got;
    }
    return held;
}

}  // namespace detail

// Reads the file in pieces of pieceBytes (of its size, when it is smaller) and hands each to
// consume(text, atEnd), which returns how many bytes at the front of text it took, or
// kStopReading. The rest is carried over to the front of the next piece; atEnd says that text runs
// to the end of the file, and then the call is the last. When the text carried over outgrows a
// piece (a record longer than a piece), tooLong(carried) is called first, which may throw, and the
// pieces double. The buffers (two, each with room for a piece and the text carried in front of it)
// are not zero-filled: first touching memory costs as much as parsing it.
template <typename Consume, typename TooLong>
void readPieces(InputFile& file, std::size_t pieceBytes, Consume&& consume, TooLong&& tooLong) {
    std::size_t room = std::max<std::size_t>(
        1, file.sizeHint() > 0 ? std::min(pieceBytes, file.sizeHint() + 1) : pieceBytes);
    std::optional<AlignedArray<char>> buffers[2];
    // Large buffers are mapped 2 MiB at a time: their first touch is most of reading a file
    // that the page cache holds.
    const auto makeBuffer = [](std::optional<AlignedArray<char>>& buffer, std::size_t bytes) {
        buffer.emplace(bytes, false);
        adviseHugePages(buffer->get(), bytes);
    };
    makeBuffer(buffers[0], 2 * room);
    int current = 0;
    std::size_t carried = 0;  // the text at buffers[current] + room - carried
    std::size_t got = detail::readFully(file, buffers[0]->get() + room, room);
    bool atEnd = got < room;
    for (;;) {
        char* const text = buffers[current]->get() + room - carried;
        const std::size_t size = carried + got;
        std::optional<AlignedArray<char>>& next = buffers[1 - current];
        if (!atEnd && !next) makeBuffer(next, 2 * room);
        char* const into = atEnd ? nullptr : next->get() + room;
        const auto readNext = [&file, into, room] { return detail::readFully(file, into, room); };
        // Small pieces (in tests, or a small file) are read in turn: a thread to read each would
        // cost more than it saves.
        std::future<std::size_t> reading;
        if (!atEnd && room >= detail::kReadAheadFrom)
            reading = std::async(std::launch::async, readNext);
        // Should consume throw, the future waits for the read before the buffers go.
        const std::size_t used = consume(std::string_view(text, size), atEnd);
        if (used == kStopReading || atEnd) return;
        got = reading.valid() ? reading.get() : readNext();
        atEnd = got < room;
        carried = size - used;
        if (carried <= room) {
            std::memcpy(next->get() + room - carried, text + used, carried);
        } else {
            tooLong(std::string_view(text + used, carried));
            // The text carried is at most the room in front and a piece: twice the room holds it.
            const std::size_t larger = 2 * room;
            AlignedArray<char> grown(2 * larger, false);
            std::memcpy(grown.get() + larger - carried, text + used, carried);
            std::memcpy(grown.get() + larger, next->get() + room, got);
            next.emplace(std::move(grown));
            buffers[current].reset();
            room = larger;
        }
        current = 1 - current;
    }
}

// readPieces from the file's pages mapped into memory rather than copied into buffers, where the
// file can be mapped: each piece's text runs from where the last one's use ended to pieceBytes
// past the last one's end. When consume takes nothing of a piece (a record longer than it),
// tooLong(text) is called, as readPieces calls it, and the pieces double, so that a long record
// is looked at a bounded number of times. Returns false, having read nothing, when the file
// cannot be mapped; throws std::bad_alloc when a later piece cannot be.
template <typename Consume, typename TooLong>
bool readMappedPieces(InputFile& file, std::size_t pieceBytes, Consume&& consume,
                      TooLong&& tooLong) {
    MappedInput mapped(file);
    if (mapped.size() == 0) return false;
    pieceBytes = std::max<std::size_t>(pieceBytes, 1);
    for (std::size_t at = 0, end = 0;;) {
        end = std::min(mapped.size(), end + pieceBytes);
        const std::string_view text = mapped.map(at, end);
        if (text.empty()) {
            if (at == 0) return false;
            throw std::bad_alloc();
        }
        const bool atEnd = end == mapped.size();
        const std::size_t used = consume(text, atEnd);
        if (used == kStopReading || atEnd) return true;
        if (used == 0) {
            tooLong(text);
            pieceBytes *= 2;
        }
        at += used;
    }
}

}  // namespace fwprune
