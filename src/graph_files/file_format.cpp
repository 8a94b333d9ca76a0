#include "graph_files/file_format.h"

#include <cctype>

namespace fwprune {

FileFormat formatOfPath(const std::string& path, FileFormat requested) {
    if (requested != FileFormat::Auto) return requested;
    const std::size_t dot = path.find_last_of("./\\");
    if (dot == std::string::npos || path[dot] != '.') return FileFormat::Native;
    std::string extension = path.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (extension == "tsv") return FileFormat::Tsv;
    if (extension == "csv") return FileFormat::Csv;
    if (extension == "dot" || extension == "gv") return FileFormat::Dot;
    if (extension == "npy") return FileFormat::Npy;
    return FileFormat::Native;
}

const char* formatName(FileFormat format) {
    switch (format) {
        case FileFormat::Auto:
            return "auto";
        case FileFormat::Native:
            return "native";
        case FileFormat::Tsv:
            return "tsv";
        case FileFormat::Csv:
            return "csv";
        case FileFormat::Dot:
            return "dot";
        case FileFormat::Npy:
            return "npy";
    }
    return "unknown";
}

}  // namespace fwprune
