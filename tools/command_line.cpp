#include "command_line.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdlib>
#include <string>

#include "cli_errors.h"

namespace fwprune::cli {
namespace {

// Read as a matrix cell is read, to double and then rounded to float, so that the same text gives
// the same float in both places; and like a cell, any number is taken: "nan", "inf", and a value
// beyond a float's range (1e39 is infinity), whose meaning the thresholds' comparisons define.
float parseThreshold(const std::string& option, const std::string& text) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        throw usageError(option + ": '" + text + "' is not a number", "weakest-link");
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size()) {
        throw usageError(option + ": '" + text + "' is not a number", "weakest-link");
    }
    return static_cast<float>(value);
}

int parseThreads(const std::string& text) {
    constexpr long kMaxThreads = FWPRUNE_MAX_THREADS;
    const bool digits =
        !text.empty() && text.size() <= 6 &&
        std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    const long value = digits ? std::strtol(text.c_str(), nullptr, 10) : -1;
    if (value < 0 || value > kMaxThreads) {
        throw usageError("--threads: '" + text + "' is not a whole number from 0 to " +
                         std::to_string(kMaxThreads));
    }
    return static_cast<int>(value);
}

// Each option's words and the values they stand for, in the order the help lists them: the one
// table both the reading of an option and the naming of a value use.
template <typename Value>
struct Word {
    const char* word;
    Value value;
};

constexpr Word<fwpruneBackend> kBackends[] = {{"auto", FWPRUNE_BACKEND_AUTO},
                                              {"gpu", FWPRUNE_BACKEND_GPU},
                                              {"cpu", FWPRUNE_BACKEND_CPU},
                                              {"emulated", FWPRUNE_BACKEND_EMULATED}};
constexpr Word<fwpruneRoute> kRoutes[] = {{"auto", FWPRUNE_ROUTE_AUTO},
                                          {"sweeps", FWPRUNE_ROUTE_SWEEPS},
                                          {"sparse", FWPRUNE_ROUTE_SPARSE},
                                          {"ordered", FWPRUNE_ROUTE_ORDERED}};
constexpr Word<fwpruneCycles> kCycles[] = {{"drop", FWPRUNE_CYCLES_DROP},
                                           {"condense", FWPRUNE_CYCLES_CONDENSE}};
constexpr Word<fwpruneFileFormat> kFormats[] = {
    {"auto", FWPRUNE_FORMAT_AUTO}, {"native", FWPRUNE_FORMAT_NATIVE}, {"tsv", FWPRUNE_FORMAT_TSV},
    {"csv", FWPRUNE_FORMAT_CSV},   {"dot", FWPRUNE_FORMAT_DOT},       {"npy", FWPRUNE_FORMAT_NPY}};

// The value `text` names, or a usage error that lists the words the option takes.
template <typename Value, std::size_t N>
Value parseWord(const Word<Value> (&table)[N], const std::string& option, const std::string& text,
                const std::string& command = "") {
    std::string words;
    for (const Word<Value>& entry : table) {
        if (text == entry.word) return entry.value;
        words += (words.empty() ? "" : ", ") + std::string(entry.word);
    }
    throw usageError(option + ": '" + text + "' is not one of " + words, command);
}

template <typename Value, std::size_t N>
const char* wordFor(const Word<Value> (&table)[N], Value value) {
    for (const Word<Value>& entry : table) {
        if (entry.value == value) return entry.word;
    }
    return "unknown";
}

// Applies one option; returns false when `name` is not an option at all.
bool applyOption(CommandLine& line, const std::string& name,
                 const std::optional<std::string>& value) {
    if (name == "--backend") {
        line.backend = parseWord(kBackends, name, *value);
    } else if (name == "--route") {
        line.route = parseWord(kRoutes, name, *value);
    } else if (name == "--cycles") {
        line.cycles = parseWord(kCycles, name, *value, "reduce");
        line.cyclesGiven = true;
    } else if (name == "--removed") {
        if (value->empty()) throw usageError("--removed needs a file name");
        line.removed = *value;
    } else if (name == "--threads") {
        line.threads = parseThreads(*value);
    } else if (name == "--lower") {
        line.lower = parseThreshold(name, *value);
    } else if (name == "--upper") {
        line.upper = parseThreshold(name, *value);
    } else if (name == "--input-format") {
        line.inputFormat = parseWord(kFormats, name, *value);
    } else if (name == "--output-format") {
        line.outputFormat = parseWord(kFormats, name, *value);
    } else if (name == "--header") {
        line.header = true;
    } else if (name == "--stats") {
        line.stats = true;
    } else if (name == "--strict") {
        line.strict = true;
    } else if (name == "-q" || name == "--quiet") {
        line.quiet = true;
    } else if (name == "-h" || name == "--help") {
        line.help = true;
    } else if (name == "--version") {
        line.version = true;
    } else {
        return false;
    }
    return true;
}

bool takesValue(const std::string& name) {
    return name == "--backend" || name == "--route" || name == "--threads" || name == "--lower" ||
           name == "--upper" || name == "--cycles" || name == "--removed" ||
           name == "--input-format" || name == "--output-format";
}

}  // namespace

const char* backendName(fwpruneBackend backend) {
    return wordFor(kBackends, backend);
}

const char* routeName(fwpruneRoute route) {
    return wordFor(kRoutes, route);
}

CommandLine parseCommandLine(int argc, char** argv) {
    CommandLine line;
    std::optional<Failure> firstError;
    bool optionsEnded = false;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);  // includes "-", standard input or output
            continue;
        }
        const std::size_t equals = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, equals);
        std::optional<std::string> value;
        if (equals != std::string::npos) value = arg.substr(equals + 1);
        try {
            if (takesValue(name) && !value) {
                if (i + 1 >= argc) throw usageError(name + " needs a value");
                value = argv[++i];
            } else if (!takesValue(name) && value) {
                throw usageError(name + " takes no value");
            }
            if (!applyOption(line, name, value)) throw usageError("unknown option '" + arg + "'");
        } catch (const Failure& failure) {
            if (!firstError) firstError = failure;
        }
    }
    if (!positional.empty()) {
        line.command = positional.front();
        line.files.assign(positional.begin() + 1, positional.end());
    }
    if (line.help || line.version) return line;
    if (firstError) throw *firstError;
    return line;
}

void validateCommand(const CommandLine& line) {
    if (line.command.empty()) throw usageError("no command given");
    if (line.removed && *line.removed == "-" &&
        std::find(line.files.begin() + (line.files.empty() ? 0 : 1), line.files.end(), "-") !=
            line.files.end()) {
        throw usageError("--removed - and an output file '-' would mix on standard output");
    }
    if (line.command == "reduce") {
        if (line.files.size() != 2) {
            throw usageError("reduce takes two files, INPUT and OUTPUT; got " +
                                 std::to_string(line.files.size()),
                             "reduce");
        }
        if (line.route == FWPRUNE_ROUTE_ORDERED) {
            throw usageError(
                "--route ordered belongs to weakest-link; reduce takes auto, "
                "sweeps or sparse",
                "reduce");
        }
        if (line.lower || line.upper) {
            throw usageError(std::string("reduce takes no ") + (line.lower ? "--lower" : "--upper"),
                             "reduce");
        }
    } else if (line.command == "weakest-link") {
        if (line.files.size() != 3) {
            throw usageError("weakest-link takes three files, INPUT, EDGES and MATRIX; got " +
                                 std::to_string(line.files.size()),
                             "weakest-link");
        }
        if (line.route == FWPRUNE_ROUTE_SPARSE) {
            throw usageError(
                "--route sparse belongs to reduce; weakest-link takes auto, "
                "sweeps or ordered",
                "weakest-link");
        }
        if (line.cyclesGiven) throw usageError("--cycles belongs to reduce", "weakest-link");
        if (!line.lower) throw usageError("weakest-link needs --lower L", "weakest-link");
        if (!line.upper) throw usageError("weakest-link needs --upper U", "weakest-link");
    } else {
        throw usageError("unknown command '" + line.command + "'; the commands are reduce and " +
                         "weakest-link");
    }
}

}  // namespace fwprune::cli
