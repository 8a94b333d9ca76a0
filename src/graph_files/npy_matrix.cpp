#include "graph_files/npy_matrix.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "common/cancel.h"
#include "common/error.h"
#include "common/parallel.h"
#include "graph_files/node_counts.h"
#include "graph_files/text_tokens.h"
#include "graph_files/whole_file.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fwprune {
namespace {

constexpr char kMagic[] = "\x93NUMPY";
constexpr std::size_t kMagicLength = 6;

bool hostIsLittleEndian() {
    const std::uint16_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

// What the header says.
struct NpyLayout {
    std::size_t dataOffset = 0;
    int itemBytes = 0;  // 4 or 8
    bool littleEndian = true;
    bool fortranOrder = false;
    std::int64_t n = 0;
};

// The header's dict literal, as numpy writes it: {'descr': '<f4', 'fortran_order': False,
// 'shape': (3, 3), }. Strings, booleans and tuples of integers are all it holds.
class HeaderDict {
  public:
    HeaderDict(std::string_view text, const std::string& path) : text_(text), path_(path) {}

    NpyLayout read() {
        NpyLayout layout;
        bool haveDescr = false, haveOrder = false, haveShape = false;
        std::vector<std::int64_t> shape;
        std::string descr;
        expect('{');
        for (;;) {
            skipBlanks();
            if (peek() == '}') break;
            const std::string key = readString();
            expect(':');
            skipBlanks();
            if (key == "descr") {
                if (peek() == '[') bad("holds records (a structured type), not floats");
                descr = readString();
                haveDescr = true;
            } else if (key == "fortran_order") {
                layout.fortranOrder = readBool();
                haveOrder = true;
            } else if (key == "shape") {
                shape = readTuple();
                haveShape = true;
            } else {
                bad("has an unknown header key " + quoteToken(key));
            }
            skipBlanks();
            if (peek() == ',') {
                ++at_;
                continue;
            }
            if (peek() != '}') bad("has a malformed header");
        }
        ++at_;
        skipBlanks();
        if (at_ != text_.size()) bad("has a malformed header");
        if (!haveDescr || !haveOrder || !haveShape) {
            bad("has a header without 'descr', 'fortran_order' or 'shape'");
        }
        readDescr(descr, layout);
        if (shape.size() != 2) {
            bad("holds a " + std::to_string(shape.size()) + "-D array, not a square matrix");
        }
        if (shape[0] != shape[1]) {
            bad("holds a " + std::to_string(shape[0]) + " x " + std::to_string(shape[1]) +
                " matrix, which is not square");
        }
        layout.n = shape[0];
        return layout;
    }

  private:
    [[noreturn]] void bad(const std::string& what) const {
        fail(Status::Format, describeAt(path_, "is not a weight matrix: the .npy file " + what));
    }
    char peek() const { return at_ < text_.size() ? text_[at_] : '\0'; }
    void skipBlanks() {
        while (at_ < text_.size() && (text_[at_] == ' ' || text_[at_] == '\t' ||
                                      text_[at_] == '\n' || text_[at_] == '\r'))
            ++at_;
    }
    void expect(char c) {
        skipBlanks();
        if (peek() != c) bad("has a malformed header");
        ++at_;
    }
    std::string readString() {
        skipBlanks();
        const char quote = peek();
        if (quote != '\'' && quote != '"') bad("has a malformed header");
        const std::size_t end = text_.find(quote, at_ + 1);
        if (end == std::string_view::npos) bad("has a malformed header");
        std::string s(text_.substr(at_ + 1, end - at_ - 1));
        at_ = end + 1;
        return s;
    }
    bool readBool() {
        if (text_.substr(at_, 4) == "True") {
            at_ += 4;
            return true;
        }
        if (text_.substr(at_, 5) == "False") {
            at_ += 5;
            return false;
        }
        bad("has a malformed header");
    }
    std::vector<std::int64_t> readTuple() {
        std::vector<std::int64_t> values;
        expect('(');
        for (;;) {
            skipBlanks();
            if (peek() == ')') break;
            std::int64_t v = 0;
            std::size_t digits = 0;
            for (; at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9'; ++at_, ++digits) {
                if (v > (std::int64_t{1} << 40)) bad("has a shape too large to hold");
                v = v * 10 + (text_[at_] - '0');
            }
            if (digits == 0) bad("has a malformed shape");
            if (peek() == 'L') ++at_;  // written by Python 2
            values.push_back(v);
            skipBlanks();
            if (peek() == ',') {
                ++at_;
                continue;
            }
            if (peek() != ')') bad("has a malformed shape");
        }
        ++at_;
        return values;
    }
    void readDescr(const std::string& descr, NpyLayout& layout) const {
        std::size_t i = 0;
        char order = '=';
        if (!descr.empty() &&
            (descr[0] == '<' || descr[0] == '>' || descr[0] == '=' || descr[0] == '|'))
            order = descr[i++];
        const char kind = i < descr.size() ? descr[i++] : '\0';
        const std::string size = descr.substr(std::min(i, descr.size()));
        // The element size in bits, as numpy names types ("int32"); a size that is no small
        // number is shown as written.
        const bool smallSize = !size.empty() && size.size() <= 3 &&
                               size.find_first_not_of("0123456789") == std::string::npos;
        const std::string bits = smallSize ? std::to_string(std::stoi(size) * 8) : "(" + size + ")";
        const auto name = [&]() -> std::string {
            switch (kind) {
                case 'f':
                    return "float" + bits;
                case 'i':
                    return "int" + bits;
                case 'u':
                    return "uint" + bits;
                case 'c':
                    return "complex" + bits;
                case 'b':
                    return "bool";
                case 'O':
                    return "object";
                case 'U':
                case 'S':
                    return "string";
                case 'M':
                case 'm':
                    return "date and time";
                default:
                    return quoteToken(descr);
            }
        };
        if (kind != 'f' || (size != "4" && size != "8")) {
            bad("holds " + name() + " values; a weight matrix holds float32 or float64");
        }
        layout.itemBytes = size == "4" ? 4 : 8;
        layout.littleEndian = order == '<' || (order != '>' && hostIsLittleEndian());
    }

    std::string_view text_;
    const std::string& path_;
    std::size_t at_ = 0;
};

NpyLayout readLayout(std::string_view bytes, const std::string& path) {
    const auto notNpy = [&](const std::string& what) {
        fail(Status::Format, describeAt(path, "is not a weight matrix: " + what));
    };
    if (bytes.size() < kMagicLength + 4 || bytes.substr(0, kMagicLength) != kMagic) {
        notNpy("it does not start as a .npy file does");
    }
    const auto major = static_cast<unsigned char>(bytes[6]);
    const auto minor = static_cast<unsigned char>(bytes[7]);
    if (major < 1 || major > 3 || minor != 0) {
        notNpy(".npy format version " + std::to_string(major) + "." + std::to_string(minor) +
               " is not 1.0, 2.0 or 3.0");
    }
    std::size_t headerLength = 0;
    std::size_t lengthBytes = major == 1 ? 2 : 4;
    if (bytes.size() < 8 + lengthBytes) notNpy("the .npy header is cut short");
    for (std::size_t i = 0; i < lengthBytes; ++i) {
        headerLength |= std::size_t{static_cast<unsigned char>(bytes[8 + i])} << (8 * i);
    }
    const std::size_t headerStart = 8 + lengthBytes;
    if (bytes.size() - headerStart < headerLength) notNpy("the .npy header is cut short");
    NpyLayout layout = HeaderDict(bytes.substr(headerStart, headerLength), path).read();
    layout.dataOffset = headerStart + headerLength;
    return layout;
}

std::uint64_t byteSwapped(std::uint64_t v, int bytes) {
    std::uint64_t out = 0;
    for (int i = 0; i < bytes; ++i) out |= ((v >> (8 * i)) & 0xff) << (8 * (bytes - 1 - i));
    return out;
}

// Element `index` of the payload, as a float by way of double.
template <int ItemBytes, bool Swap>
inline float elementAt(const char* data, std::size_t index) {
    if constexpr (ItemBytes == 4) {
        std::uint32_t bits;
        std::memcpy(&bits, data + 4 * index, 4);
        if constexpr (Swap) bits = static_cast<std::uint32_t>(byteSwapped(bits, 4));
        // Widening to double and rounding back changes a float only when it is a signalling
        // NaN, which becomes quiet; compilers fold the two conversions away, so it is done here.
        if ((bits & 0x7f800000u) == 0x7f800000u && (bits & 0x007fffffu) != 0) bits |= 0x00400000u;
        float value;
        std::memcpy(&value, &bits, 4);
        return value;
    } else {
        std::uint64_t bits;
        std::memcpy(&bits, data + 8 * index, 8);
        if constexpr (Swap) bits = byteSwapped(bits, 8);
        double value;
        std::memcpy(&value, &bits, 8);
        return static_cast<float>(value);
    }
}

// Rows [begin, end) of the matrix from the payload: straight in C order; in Fortran order the
// payload's columns are the matrix's rows, taken a tile at a time to keep both sides in cache.
template <int ItemBytes, bool Swap>
void convertRows(const char* data, bool fortran, std::size_t n, float* cells, std::size_t begin,
                 std::size_t end) {
    if (!fortran) {
        for (std::size_t i = begin * n; i < end * n; ++i)
            cells[i] = elementAt<ItemBytes, Swap>(data, i);
        return;
    }
    constexpr std::size_t kTile = 64;
    for (std::size_t i0 = begin; i0 < end; i0 += kTile) {
        const std::size_t i1 = std::min(end, i0 + kTile);
        for (std::size_t j0 = 0; j0 < n; j0 += kTile) {
            const std::size_t j1 = std::min(n, j0 + kTile);
            for (std::size_t j = j0; j < j1; ++j)
                for (std::size_t i = i0; i < i1; ++i)
                    cells[i * n + j] = elementAt<ItemBytes, Swap>(data, j * n + i);
        }
    }
}

#if !defined(_WIN32)
// A file mapped read-only, unmapped when done.
class MappedFile {
  public:
    explicit MappedFile(const std::string& path) {
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) failSystem(path, "cannot open", errno);
        struct stat info {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
            void* const p = ::mmap(nullptr, static_cast<std::size_t>(info.st_size), PROT_READ,
                                   MAP_PRIVATE, fd, 0);
            if (p != MAP_FAILED) {
                data_ = static_cast<const char*>(p);
                size_ = static_cast<std::size_t>(info.st_size);
            }
        }
        ::close(fd);
    }
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
    }
    bool mapped() const { return data_ != nullptr; }
    std::string_view bytes() const { return {data_, size_}; }

  private:
    const char* data_ = nullptr;
    std::size_t size_ = 0;
};
#endif

}  // namespace

WeightMatrix parseNpyMatrix(std::string_view bytes, const std::string& path, Workers workers,
                            const ProgressFunction& progress) {
    const NpyLayout layout = readLayout(bytes, path);
    const std::int32_t cells = checkedCellCount(layout.n, path);
    const std::size_t payload = bytes.size() - layout.dataOffset;
    const std::size_t expected = static_cast<std::size_t>(cells) * layout.itemBytes;
    if (payload != expected) {
        fail(Status::Format,
             describeAt(path, "holds " + std::to_string(payload) +
                                  " bytes of elements where its header's shape (" +
                                  std::to_string(layout.n) + ", " + std::to_string(layout.n) +
                                  ") needs " + std::to_string(expected)));
    }
    WeightMatrix matrix;
    matrix.n = static_cast<std::int32_t>(layout.n);
    reportingOutOfMemory(
        [&] {
            return describeAt(
                path, "not enough memory for a matrix of " + std::to_string(layout.n) + " nodes");
        },
        [&] { matrix.cells.resize(static_cast<std::size_t>(cells)); });
    const char* const data = bytes.data() + layout.dataOffset;
    const bool swap = layout.littleEndian != hostIsLittleEndian();
    const auto n = static_cast<std::size_t>(layout.n);
    const auto convert = [&](std::size_t begin, std::size_t end) {
        float* const out = matrix.cells.data();
        if (layout.itemBytes == 4) {
            swap ? convertRows<4, true>(data, layout.fortranOrder, n, out, begin, end)
                 : convertRows<4, false>(data, layout.fortranOrder, n, out, begin, end);
        } else {
            swap ? convertRows<8, true>(data, layout.fortranOrder, n, out, begin, end)
                 : convertRows<8, false>(data, layout.fortranOrder, n, out, begin, end);
        }
    };
    // Rows in slices, so that progress and cancellation are heard while a large file converts.
    ThreadPool serial(1);
    ThreadPool& pool = expected >= (std::size_t{4} << 20) ? workers.pool() : serial;
    const std::size_t slice = std::max<std::size_t>(1, (std::size_t{16} << 20) / (4 * n + 1));
    for (std::size_t row = 0; row < n; row += slice) {
        const std::size_t last = std::min(n, row + slice);
        pool.parallelFor(static_cast<std::int64_t>(row), static_cast<std::int64_t>(last),
                         [&](std::int64_t b, std::int64_t e, int) {
                             convert(static_cast<std::size_t>(b), static_cast<std::size_t>(e));
                         });
        if (progress) progress(double(last) / double(n));
        pollCancelled();
    }
    return matrix;
}

WeightMatrix readNpyMatrix(const std::string& path, Workers workers,
                           const ProgressFunction& progress) {
#if !defined(_WIN32)
    const MappedFile mapped(path);
    if (mapped.mapped()) return parseNpyMatrix(mapped.bytes(), path, std::move(workers), progress);
#endif
    // Not a regular file (a pipe), or no mapping: read it whole.
    return parseNpyMatrix(readWholeFile(path), path, std::move(workers), progress);
}

void writeNpyMatrix(const WeightMatrix& matrix, OutputFile& file,
                    const ProgressFunction& progress) {
    const std::string n = std::to_string(matrix.n);
    std::string header =
        "{'descr': '<f4', 'fortran_order': False, 'shape': (" + n + ", " + n + "), }";
    // Magic, version and length take 10 bytes; the header ends with a line feed, padded with
    // blanks so that the elements start on a multiple of 64 bytes.
    const std::size_t total = (10 + header.size() + 1 + 63) / 64 * 64;
    header.append(total - 10 - header.size() - 1, ' ');
    header += '\n';
    std::string start(kMagic, kMagicLength);
    start += '\x01';
    start += '\x00';
    start += static_cast<char>(header.size() & 0xff);
    start += static_cast<char>(header.size() >> 8);
    file.write(start + header);
    const std::size_t count = matrix.cells.size();
    constexpr std::size_t kBatch = std::size_t{2} << 20;  // cells
    std::vector<char> swapped;
    for (std::size_t at = 0; at < count; at += kBatch) {
        const std::size_t cells = std::min(kBatch, count - at);
        const char* bytes = reinterpret_cast<const char*>(matrix.cells.data() + at);
        if (!hostIsLittleEndian()) {
            swapped.resize(4 * cells);
            for (std::size_t i = 0; i < cells; ++i) {
                std::uint32_t bits;
                std::memcpy(&bits, bytes + 4 * i, 4);
                bits = static_cast<std::uint32_t>(byteSwapped(bits, 4));
                std::memcpy(&swapped[4 * i], &bits, 4);
            }
            bytes = swapped.data();
        }
        file.write(std::string_view(bytes, 4 * cells));
        if (progress) progress(double(at + cells) / double(count));
    }
}

void writeNpyMatrix(const WeightMatrix& matrix, const std::string& path) {
    OutputFile file(path);
    writeNpyMatrix(matrix, file);
    file.commit();
}

}  // namespace fwprune
