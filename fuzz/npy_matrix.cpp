// Arbitrary bytes through the .npy reader: it returns a square matrix or throws an input error
// naming the file; the matrix written as .npy reads back bit for bit.
#include "graph_files/npy_matrix.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "fuzz_support.h"

using namespace fwprune;
using namespace fwprune::fuzzing;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const std::optional<WeightMatrix> matrix =
        readOrInputError([&] { return parseNpyMatrix(bytes, "fuzz.txt", 2); });
    if (!matrix) return 0;
    require(matrix->cells.size() == std::size_t(matrix->n) * std::size_t(matrix->n), "n*n cells");
    const std::string path = scratchFile("matrix.npy");
    writeNpyMatrix(*matrix, path);
    const WeightMatrix reread = readNpyMatrix(path, 1);
    require(reread.n == matrix->n && std::memcmp(reread.cells.data(), matrix->cells.data(),
                                                 matrix->cells.size() * sizeof(float)) == 0,
            "the written matrix reads back bit for bit");
    return 0;
}
