// Weight-matrix files: n lines of n numbers, n fixed by the number of tokens on the first line.
#pragma once

#include <string>
#include <string_view>

#include "common/parallel.h"
#include "common/progress.h"
#include "graph_files/file_io.h"
#include "graph_files/node_counts.h"
#include "graph_files/number_text.h"

namespace fwprune {

// Reads the matrix at path. n is the number of tokens on the first line (tokens separated by
// blanks and tabs; a carriage return right before the line end belongs to the line end); then
// n*n values are read in row-major order, line breaks ignored, each converted exactly as atof
// converts it and rounded to float. Values after the n*n-th are ignored.
// Throws an Error naming the file when it cannot be read, holds fewer than n*n values,
// or is too large for the cell count or for memory. With strict set, a token that is not wholly a
// number (as strtod reads numbers, "inf" and "nan" included) is an error naming its line.
// The file is read in blocks of 4 MiB, so the reader holds the matrix and two blocks of text;
// large files are parsed in parallel chunks on the workers' pool.
// progress hears the share of the file parsed, per block and chunk, when its size is known.
WeightMatrix readWeightMatrix(const std::string& path, bool strict = false, Workers workers = {},
                              const ProgressFunction& progress = {});

namespace detail {
// readWeightMatrix reading blockBytes at a time (tests use a few bytes, so that tokens, line ends
// and the first line straddle blocks).
WeightMatrix readWeightMatrix(const std::string& path, bool strict, Workers workers,
                              std::size_t blockBytes, const ProgressFunction& progress = {});
}  // namespace detail

// The same, on text already in memory; path only names the source in error messages.
WeightMatrix parseWeightMatrix(std::string_view text, const std::string& path, bool strict = false,
                               Workers workers = {}, const ProgressFunction& progress = {});

// Writes each row on one line, values in C's "%e" form with a three-digit exponent
// ("2.000000e-001"), one space apart; infinities and NaNs as printf spells them. Whole or not at
// all. Formats on the workers' pool.
void writeWeightMatrix(const WeightMatrix& matrix, const std::string& path, Workers workers = {});

// Writes "%d edge %d\n" for every cell that is not WEIGHT_ABSENT (NaN cells included), ordered by
// source and then target. Whole or not at all.
void writeWeightEdgeList(const WeightMatrix& matrix, const std::string& path, Workers workers = {});

// The same two writers into files the caller commits, so that a job can complete both outputs
// before either replaces its target. progress hears the share of rows written.
void writeWeightMatrix(const WeightMatrix& matrix, OutputFile& file, Workers workers,
                       const ProgressFunction& progress = {});
void writeWeightEdgeList(const WeightMatrix& matrix, OutputFile& file, Workers workers,
                         const ProgressFunction& progress = {});

}  // namespace fwprune
