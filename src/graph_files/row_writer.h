// Writes a text file row by row, formatting batches of rows in parallel and writing each batch in
// order, so the text is never held whole. The caller commits the file.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <future>
#include <string>
#include <string_view>
#include <vector>

#include "common/cancel.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "graph_files/file_io.h"

namespace fwprune {

// formatRow(i, out) appends the text of row i to out. bytesPerRow is an estimate used to size
// batches (about 8 MiB of text per thread and batch). progress hears the share of rows written
// after each batch.
template <typename FormatRow>
void writeRows(OutputFile& file, std::int64_t rows, std::size_t bytesPerRow, int threads,
               FormatRow&& formatRow, const ProgressFunction& progress = {}) {
    constexpr std::size_t kBatchBytesPerThread = std::size_t{8} << 20;
    // Small outputs are not worth starting threads for (about 0.1 ms each).
    const bool parallel = static_cast<std::size_t>(rows) * bytesPerRow > (std::size_t{1} << 20);
    ThreadPool pool(parallel ? threads : 1);
    std::vector<std::string> buffers(static_cast<std::size_t>(pool.size()));
    std::int64_t rowsPerBatch =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(kBatchBytesPerThread * buffers.size() /
                                                            std::max<std::size_t>(bytesPerRow, 1)));
    // Someone watching sees at least a few steps, however small the output.
    if (progress) rowsPerBatch = std::min(rowsPerBatch, std::max<std::int64_t>(1, rows / 16));
    for (std::int64_t first = 0; first < rows; first += rowsPerBatch) {
        const std::int64_t last = std::min(rows, first + rowsPerBatch);
        pool.parallelFor(first, last, [&](std::int64_t lo, std::int64_t hi, int worker) {
            std::string& out = buffers[static_cast<std::size_t>(worker)];
            for (std::int64_t i = lo; i < hi; ++i) formatRow(i, out);
        });
        // Chunks go to workers in ascending order, so writing the buffers in worker order keeps
        // the rows in order.
        for (std::string& buffer : buffers) {
            file.write(buffer);
            buffer.clear();
        }
        if (progress) progress(static_cast<double>(last) / static_cast<double>(rows));
    }
}

// The same for rows whose text has a known bound: formatRow(i, out) writes the text of row i at
// out, which has room for maxBytesPerRow bytes, and returns its end. The batch buffers are sized
// once, so no row pays for growing or clearing a string, and there are two sets of them: one
// batch is written to the file while the pool formats the next.
template <typename FormatRow>
void writeBoundedRows(OutputFile& file, std::int64_t rows, std::size_t maxBytesPerRow, int threads,
                      FormatRow&& formatRow, const ProgressFunction& progress = {}) {
    constexpr std::size_t kBatchBytesPerThread = std::size_t{8} << 20;
    if (rows <= 0 || maxBytesPerRow == 0) return;
    const bool parallel = static_cast<std::size_t>(rows) * maxBytesPerRow > (std::size_t{1} << 20);
    ThreadPool pool(parallel ? threads : 1);
    const auto workers = static_cast<std::size_t>(pool.size());
    std::int64_t rowsPerWorker =
        std::max<std::int64_t>(1, static_cast<std::int64_t>(kBatchBytesPerThread / maxBytesPerRow));
    // Someone watching sees at least a few steps, however small the output.
    if (progress) {
        rowsPerWorker =
            std::min(rowsPerWorker,
                     std::max<std::int64_t>(1, rows / 16 / static_cast<std::int64_t>(workers)));
    }
    const std::int64_t rowsPerBatch = rowsPerWorker * static_cast<std::int64_t>(workers);
    struct Batch {
        std::vector<std::vector<char>> buffers;
        std::vector<std::size_t> used;
    };
    Batch batches[2];
    std::future<void> writing;
    for (std::int64_t first = 0, number = 0; first < rows; first += rowsPerBatch, ++number) {
        Batch& batch = batches[number % 2];
        if (batch.buffers.empty()) {
            batch.buffers.resize(workers);
            batch.used.assign(workers, 0);
            for (auto& buffer : batch.buffers) {
                buffer.resize(static_cast<std::size_t>(std::min(rowsPerWorker, rows)) *
                              maxBytesPerRow);
            }
        }
        const std::int64_t last = std::min(rows, first + rowsPerBatch);
        pool.parallelFor(first, last, [&](std::int64_t lo, std::int64_t hi, int worker) {
            char* const start = batch.buffers[static_cast<std::size_t>(worker)].data();
            char* out = start;
            for (std::int64_t i = lo; i < hi; ++i) out = formatRow(i, out);
            batch.used[static_cast<std::size_t>(worker)] = static_cast<std::size_t>(out - start);
        });
        if (writing.valid()) writing.get();
        pollCancelled();
        // Chunks go to workers in ascending order, so writing the buffers in worker order keeps
        // the rows in order.
        writing = std::async(std::launch::async, [&file, &batch] {
            for (std::size_t w = 0; w < batch.buffers.size(); ++w) {
                file.write(std::string_view(batch.buffers[w].data(), batch.used[w]));
                batch.used[w] = 0;
            }
        });
        if (progress && first > 0) progress(static_cast<double>(first) / static_cast<double>(rows));
    }
    writing.get();
    if (progress) progress(1.0);
}

// Appends "%d edge %d\n" records of one source row, formatting the source once.
class EdgeRecordFormatter {
  public:
    explicit EdgeRecordFormatter(std::int64_t source) {
        char* p = std::to_chars(prefix_, prefix_ + 24, source).ptr;
        p = std::copy_n(" edge ", 6, p);
        prefixLength_ = static_cast<std::size_t>(p - prefix_);
    }
    void append(std::int64_t target, std::string& out) const {
        char line[64];
        char* p = std::copy(prefix_, prefix_ + prefixLength_, line);
        p = std::to_chars(p, line + sizeof line, target).ptr;
        *p++ = '\n';
        out.append(line, static_cast<std::size_t>(p - line));
    }

  private:
    char prefix_[32];
    std::size_t prefixLength_ = 0;
};

// Writes a record for every cell of an n x n matrix for which keep(i, j) holds, ordered by
// source and then target.
template <typename Keep>
void writeEdgeRecords(std::int64_t n, OutputFile& file, int threads, Keep&& keep,
                      const ProgressFunction& progress = {}) {
    writeRows(
        file, n, static_cast<std::size_t>(n) / 4 + 16, threads,
        [&](std::int64_t i, std::string& out) {
            const EdgeRecordFormatter records(i);
            for (std::int64_t j = 0; j < n; ++j) {
                if (keep(i, j)) records.append(j, out);
            }
        },
        progress);
}

}  // namespace fwprune
