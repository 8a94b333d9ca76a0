// Edge-list files: records of three whitespace-separated tokens, "source word target", written
// one per line as "%d edge %d\n".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/progress.h"
#include "graph_files/graph_matrices.h"

namespace fwprune {

// Reads the edge list at path. n is the largest node number in either position plus one; a
// record with a negative node number sets no cell, though its other number still counts toward
// n. Node numbers read as atoi reads them (a token that is not a number is 0, a number followed
// by other characters is that number). Sets nodeCount and cellCount.
// Throws an Error naming the file (and line) for a file that cannot be read, a node token longer
// than 11 characters, a node number beyond 32 bits, a file that ends inside a record, or a graph
// too large for the cell count or for memory. With strict set, a node token that is not wholly a
// decimal integer is an error too.
// Large files are parsed in parallel chunks on `threads` threads (<= 0: every hardware thread).
// progress hears the share of the parsing done, per chunk.
ByteAdjacencyMatrix readEdgeList(const std::string& path, bool strict = false, int threads = 0,
                                 const ProgressFunction& progress = {});

// The same, on text already in memory; path only names the source in error messages. Up to
// keptRecordBytes of parsed records are kept between the sizing and filling passes; beyond that
// the text is parsed again.
constexpr std::size_t kKeptRecordBytes = std::size_t{32} << 20;
ByteAdjacencyMatrix parseEdgeList(std::string_view text, const std::string& path,
                                  bool strict = false, int threads = 0,
                                  std::size_t keptRecordBytes = kKeptRecordBytes,
                                  const ProgressFunction& progress = {});

// Writes one "%d edge %d\n" record for every non-zero cell, ordered by source and then target.
// The file at path is replaced whole, or left as it was when writing fails.
// threads <= 0 formats on every hardware thread. progress hears the share of rows written.
void writeEdgeList(const ByteAdjacencyMatrix& matrix, const std::string& path, int threads = 0,
                   const ProgressFunction& progress = {});

}  // namespace fwprune
