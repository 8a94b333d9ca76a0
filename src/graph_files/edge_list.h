// Edge-list files: records of three whitespace-separated tokens, "source word target", written
// one per line as "%d edge %d\n".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/parallel.h"
#include "common/progress.h"
#include "graph_files/node_counts.h"

namespace fwprune {

// Reads the edge records of the file at path, front to back in pieces of pieceBytes, so memory
// follows the records kept (8 bytes each), not the file. n is the largest node number in either
// position plus one; a record with a negative node number is not kept, though its other number
// still counts toward n. Node numbers read as atoi reads them (a token that is not a number is 0,
// a number followed by other characters is that number).
// Throws an Error naming the file (and line) for a file that cannot be read, a node token longer
// than 11 characters, a node number beyond 32 bits or a file that ends inside a record. With
// strict set, a node token that is not wholly a decimal integer is an error too.
// Large pieces are parsed in parallel chunks on the workers' pool.
// progress hears the share of the file parsed, per piece and chunk, when its size is known.
// Pieces of a few MiB: each is read twice, counted then parsed, and one this small is still in
// the caches for the second pass; the first piece, read before any work can start, is short.
constexpr std::size_t kEdgeListPieceBytes = std::size_t{4} << 20;
EdgeRecords readEdgeRecords(const std::string& path, bool strict = false, Workers workers = {},
                            std::size_t pieceBytes = kEdgeListPieceBytes,
                            const ProgressFunction& progress = {});

// The same, on text already in memory (still parsed in pieces); path only names the source in
// error messages.
EdgeRecords parseEdgeRecords(std::string_view text, const std::string& path, bool strict = false,
                             Workers workers = {}, std::size_t pieceBytes = kEdgeListPieceBytes,
                             const ProgressFunction& progress = {});

// The n x n matrix of the records: TooLarge naming the file beyond FWPRUNE_MAX_DENSE_NODES,
// OutOfMemory when it cannot be allocated.
ByteAdjacencyMatrix adjacencyMatrixOf(const EdgeRecords& graph, const std::string& path);

// readEdgeRecords and parseEdgeRecords, then adjacencyMatrixOf.
ByteAdjacencyMatrix readEdgeList(const std::string& path, bool strict = false,
                                 Workers workers = {});
ByteAdjacencyMatrix parseEdgeList(std::string_view text, const std::string& path,
                                  bool strict = false, Workers workers = {});

// Writes one "%d edge %d\n" line per record; records must be sorted and unique. Replaced whole, or
// left as it was. progress hears the share of records written.
void writeSortedEdges(const std::vector<std::uint64_t>& records, const std::string& path,
                      Workers workers = {}, const ProgressFunction& progress = {});
// The same into a file the caller commits (with others, all or none).
class OutputFile;
void writeSortedEdges(const std::vector<std::uint64_t>& records, OutputFile& file,
                      Workers workers = {}, const ProgressFunction& progress = {});

// A record for every non-zero cell, ordered by source and then target: what writeSortedEdges
// takes to write a matrix.
std::vector<std::uint64_t> edgeRecordsOf(const ByteAdjacencyMatrix& matrix);

}  // namespace fwprune
