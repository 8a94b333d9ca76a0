// Writes a text file row by row, formatting batches of rows in parallel and writing each batch in
// order, so the text is never held whole. The caller commits the file.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <future>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/aligned_memory.h"
#include "common/cancel.h"
#include "common/huge_pages.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "common/threads.h"
#include "graph_files/file_io.h"

namespace fwprune {

// Text appended through a raw pointer, for formatters that write many short records: room(bytes)
// gives where up to that many bytes may be written, commit(end) takes what was written up to end.
// Growing never zero-fills, and clear() keeps the memory for the next batch.
class TextBuffer {
  public:
    char* room(std::size_t bytes) {
        if (capacity_ - size_ < bytes) grow(size_ + bytes);
        return data_.get() + size_;
    }
    void commit(const char* end) { size_ = static_cast<std::size_t>(end - data_.get()); }
    std::string_view text() const { return {data_.get(), size_}; }
    void clear() { size_ = 0; }
    // Room for bytes in all, taken at once: growing step by step would copy the text and touch
    // fresh memory at every step. Memory not written to is never touched.
    void reserve(std::size_t bytes) {
        if (capacity_ < bytes) grow(bytes);
    }

  private:
    void grow(std::size_t needed) {
        const std::size_t capacity = std::max({needed, 2 * capacity_, std::size_t{4096}});
        AlignedArray<char> larger(capacity, false);
        adviseHugePages(larger.get(), capacity);
        if (size_ > 0) std::memcpy(larger.get(), data_.get(), size_);
        data_ = std::move(larger);
        capacity_ = capacity;
    }

    AlignedArray<char> data_{0, false};
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

// Writes rows formatted a chunk at a time on the pool's workers: formatRows(lo, hi, out) appends
// the text of rows [lo, hi) to out; bytesPerRow estimates a row's text. Rows are formatted in
// batches of at most 8 MiB of text per worker, and at least a few, and there are two sets of batch
// buffers: one batch is written to the file while the pool formats the next. Memory follows the
// text: a worker's buffer grows to the rows it really gets, and an output of less than 512 KiB is
// formatted on the calling thread alone. progress hears the share of rows written after each
// batch.
template <typename FormatRows>
void writeRowChunks(OutputFile& file, std::int64_t rows, std::size_t bytesPerRow, ThreadPool& pool,
                    FormatRows&& formatRows, const ProgressFunction& progress = {}) {
    constexpr std::size_t kBatchBytesPerWorker = std::size_t{8} << 20;
    // About a millisecond of formatting: less is not worth handing to another thread.
    constexpr std::size_t kMinBytesPerWorker = std::size_t{256} << 10;
    constexpr std::size_t kFewBatches = 4;
    if (rows <= 0) return;
    bytesPerRow = std::max<std::size_t>(bytesPerRow, 1);
    const std::size_t totalBytes = static_cast<std::size_t>(rows) * bytesPerRow;
    const bool parallel = pool.size() > 1 && rows > 1 && totalBytes >= 2 * kMinBytesPerWorker;
    const auto workers = static_cast<std::size_t>(parallel ? pool.size() : 1);
    const std::size_t batchBytesPerWorker = std::min(
        kBatchBytesPerWorker, std::max(kMinBytesPerWorker, totalBytes / (kFewBatches * workers)));
    std::int64_t rowsPerBatch = std::max<std::int64_t>(
        1, static_cast<std::int64_t>(batchBytesPerWorker * workers / bytesPerRow));
    // Someone watching sees at least a few steps, however small the output.
    if (progress) rowsPerBatch = std::min(rowsPerBatch, std::max<std::int64_t>(1, rows / 16));
    std::vector<TextBuffer> batches[2] = {std::vector<TextBuffer>(workers),
                                          std::vector<TextBuffer>(workers)};
    // Chunks go to workers in ascending order, so writing the buffers in worker order keeps the
    // rows in order.
    const auto writeBatch = [&file](std::vector<TextBuffer>& buffers) {
        for (TextBuffer& buffer : buffers) {
            file.write(buffer.text());
            buffer.clear();
        }
    };
    std::future<void> writing;
    for (std::int64_t first = 0, number = 0; first < rows; first += rowsPerBatch, ++number) {
        std::vector<TextBuffer>& buffers = batches[number % 2];
        const std::int64_t last = std::min(rows, first + rowsPerBatch);
        if (parallel) {
            pool.parallelFor(first, last, [&](std::int64_t lo, std::int64_t hi, int worker) {
                TextBuffer& buffer = buffers[static_cast<std::size_t>(worker)];
                buffer.reserve(static_cast<std::size_t>(hi - lo) * bytesPerRow);
                formatRows(lo, hi, buffer);
            });
        } else {
            buffers[0].reserve(static_cast<std::size_t>(last - first) * bytesPerRow);
            formatRows(first, last, buffers[0]);
        }
        if (writing.valid()) writing.get();
        pollCancelled();
        if (progress && first > 0) progress(static_cast<double>(first) / static_cast<double>(rows));
        if (last == rows) {
            writeBatch(buffers);  // nothing left to format meanwhile
        } else {
            writing =
                std::async(std::launch::async, [&writeBatch, &buffers] { writeBatch(buffers); });
        }
    }
    if (progress) progress(1.0);
}

namespace detail {

// writeRowChunks on the workers' pool, started (when the workers bring none) with no more
// threads than there are 256 KiB of text.
template <typename FormatRows>
void writeRowBatches(OutputFile& file, std::int64_t rows, std::size_t bytesPerRow, Workers workers,
                     FormatRows&& formatRows, const ProgressFunction& progress) {
    constexpr std::size_t kMinBytesPerWorker = std::size_t{256} << 10;
    if (rows <= 0) return;
    const std::size_t totalBytes =
        static_cast<std::size_t>(rows) * std::max<std::size_t>(bytesPerRow, 1);
    const auto worthStarting = static_cast<std::int64_t>(
        std::min<std::size_t>(totalBytes / kMinBytesPerWorker, static_cast<std::size_t>(rows)));
    ThreadPool serial(1);
    ThreadPool& pool =
        worthStarting <= 1
            ? serial
            : workers.pool(static_cast<int>(std::min<std::int64_t>(worthStarting, kMaxThreads)));
    writeRowChunks(file, rows, bytesPerRow, pool, std::forward<FormatRows>(formatRows), progress);
}

}  // namespace detail

// Writes rows whose text formatRow(i, out) appends to a TextBuffer. bytesPerRow is an estimate
// used to size batches.
template <typename FormatRow>
void writeRows(OutputFile& file, std::int64_t rows, std::size_t bytesPerRow, Workers workers,
               FormatRow&& formatRow, const ProgressFunction& progress = {}) {
    detail::writeRowBatches(
        file, rows, bytesPerRow, std::move(workers),
        [&](std::int64_t lo, std::int64_t hi, TextBuffer& out) {
            for (std::int64_t i = lo; i < hi; ++i) formatRow(i, out);
        },
        progress);
}

// The same for rows whose text has a known bound: formatRow(i, out) writes the text of row i at
// out, which has room for maxBytesPerRow bytes, and returns its end. A worker makes room for its
// whole chunk at once, so no row pays for growing a buffer.
template <typename FormatRow>
void writeBoundedRows(OutputFile& file, std::int64_t rows, std::size_t maxBytesPerRow,
                      Workers workers, FormatRow&& formatRow,
                      const ProgressFunction& progress = {}) {
    if (maxBytesPerRow == 0) return;
    detail::writeRowBatches(
        file, rows, maxBytesPerRow, std::move(workers),
        [&](std::int64_t lo, std::int64_t hi, TextBuffer& out) {
            char* p = out.room(static_cast<std::size_t>(hi - lo) * maxBytesPerRow);
            for (std::int64_t i = lo; i < hi; ++i) p = formatRow(i, p);
            out.commit(p);
        },
        progress);
}

// Writes "%d edge %d\n" records of one source row, formatting the source once. A record of two
// non-negative 32-bit node numbers takes at most kMaxBytes.
class EdgeRecordFormatter {
  public:
    static constexpr std::size_t kMaxBytes = 10 + 6 + 10 + 1;

    explicit EdgeRecordFormatter(std::int64_t source) {
        char* p = std::to_chars(prefix_, prefix_ + 24, source).ptr;
        p = std::copy_n(" edge ", 6, p);
        prefixLength_ = static_cast<std::size_t>(p - prefix_);
    }
    // Writes the record at out, which has room for kMaxBytes, and returns its end.
    char* write(std::int64_t target, char* out) const {
        char* p = std::copy_n(prefix_, prefixLength_, out);
        p = std::to_chars(p, p + 10, target).ptr;
        *p++ = '\n';
        return p;
    }

  private:
    char prefix_[32];
    std::size_t prefixLength_ = 0;
};

// Writes a record for every cell of an n x n matrix for which keep(i, j) holds, ordered by
// source and then target.
template <typename Keep>
void writeEdgeRecords(std::int64_t n, OutputFile& file, Workers workers, Keep&& keep,
                      const ProgressFunction& progress = {}) {
    writeRows(
        file, n, static_cast<std::size_t>(n) / 4 + 16, std::move(workers),
        [&](std::int64_t i, TextBuffer& out) {
            const EdgeRecordFormatter records(i);
            for (std::int64_t j = 0; j < n; ++j) {
                if (keep(i, j))
                    out.commit(records.write(j, out.room(EdgeRecordFormatter::kMaxBytes)));
            }
        },
        progress);
}

}  // namespace fwprune
