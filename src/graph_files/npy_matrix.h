// Weight matrices as NumPy .npy files: a short header (magic, version, a Python dict literal
// naming the element type, the memory order and the shape) followed by the raw elements.
#pragma once

#include <string>
#include <string_view>

#include "common/graphs.h"
#include "common/parallel.h"
#include "common/progress.h"
#include "graph_files/file_io.h"

namespace fwprune {

// Reads a square matrix of float32 or float64 elements (format versions 1 to 3, either byte order,
// C or Fortran order). Each element becomes a float as a number of the text format does: widened
// to double, then rounded to float. The file is mapped into memory where the system allows, and
// converted from there on the workers' pool. Throws an Error naming the
// file for a file that is not .npy, an element type other than float32 or float64 (integers,
// complex numbers, objects, records), a shape that is not square, a payload shorter or longer than
// the shape says, and TooLarge past the dense limit.
WeightMatrix readNpyMatrix(const std::string& path, Workers workers = {},
                           const ProgressFunction& progress = {});

// The same on the bytes of a file held in memory; path only names them in messages.
WeightMatrix parseNpyMatrix(std::string_view bytes, const std::string& path, Workers workers = {},
                            const ProgressFunction& progress = {});

// Writes the matrix as a float32, little-endian, C-order .npy file (format version 1.0).
void writeNpyMatrix(const WeightMatrix& matrix, OutputFile& file,
                    const ProgressFunction& progress = {});
void writeNpyMatrix(const WeightMatrix& matrix, const std::string& path);

}  // namespace fwprune
