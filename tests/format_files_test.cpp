// The labelled edge lists, .npy matrices and DOT files, each against a plain writer of the format
// written here.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/error.h"
#include "graph_files/dot_graph.h"
#include "graph_files/labelled_edge_list.h"
#include "graph_files/npy_matrix.h"
#include "test_support.h"

namespace fwprune {
namespace {

using testing::readText;
using testing::ScratchDir;
using testing::writeText;

// Labels that stress each dialect: hashes (kept packed), digits, blanks, quotes, commas, line
// ends (CSV only), non-ASCII bytes, and uppercase hexadecimal (kept as text).
std::vector<std::string> randomLabels(std::mt19937& rng, int count, TableDialect dialect) {
    std::set<std::string> seen;
    std::vector<std::string> labels;
    const std::string pieces[] = {"a", "0", "9f", "Z", " ", "\xc3\xa9", "x y", "#", "AB"};
    const std::string csvPieces[] = {",", "\"", "\r\n", "\n", "\"\""};
    while (static_cast<int>(labels.size()) < count) {
        std::string label;
        const int kind = static_cast<int>(rng() % 4);
        if (kind == 0) {
            for (int i = 0; i < 40; ++i) label += "0123456789abcdef"[rng() % 16];
        } else if (kind == 1) {
            label = std::to_string(rng() % 1000);
        } else {
            const int length = 1 + static_cast<int>(rng() % 4);
            for (int i = 0; i < length; ++i) {
                label += dialect == TableDialect::Csv && rng() % 3 == 0 ? csvPieces[rng() % 5]
                                                                        : pieces[rng() % 9];
            }
        }
        // A TSV line starting with '#' is a comment.
        if (dialect == TableDialect::Tsv && label[0] == '#') label.insert(0, "n");
        if (seen.insert(label).second) labels.push_back(label);
    }
    return labels;
}

TEST(LabelledEdgeList, ReadsAndWritesBackWhatAPlainWriterWrote) {
    std::mt19937 rng(20);
    ScratchDir dir;
    for (const TableDialect dialect : {TableDialect::Tsv, TableDialect::Csv}) {
        for (int round = 0; round < 6; ++round) {
            const bool header = round % 2 == 1;
            const bool extras = round >= 2;
            const std::vector<std::string> labels = randomLabels(rng, 30, dialect);
            const char separator = dialect == TableDialect::Tsv ? '\t' : ',';
            const auto field = [&](const std::string& label) {
                std::string out;
                // Quote some fields that need no quotes: the reader must take both.
                if (dialect == TableDialect::Csv &&
                    (rng() % 3 == 0 || label.find_first_of(",\"\r\n") != std::string::npos)) {
                    out += '"';
                    for (const char c : label)
                        out += c == '"' ? std::string("\"\"") : std::string(1, c);
                    return out + '"';
                }
                return label;
            };
            std::string text;
            // Blank lines, of carriage returns too, are skipped, before the header as anywhere.
            const char* const blanks[] = {"\n", "\r\n", "\r\r\n"};
            if (header)
                text += std::string(blanks[round % 3]) + field("from") + separator + "to\r\n";
            // The expected outcome: numbers by first appearance, the first extras of each edge.
            std::map<std::string, std::uint32_t> number;
            std::vector<std::string> byNumber;
            std::map<std::uint64_t, std::string> firstExtra;
            std::vector<std::uint64_t> records;
            // Some records repeat the source of the record before, as source or as target.
            std::string previous = labels[0];
            for (int e = 0; e < 120; ++e) {
                if (dialect == TableDialect::Tsv && rng() % 10 == 0) text += "# a comment\n";
                if (rng() % 15 == 0) text += blanks[rng() % 3];
                const std::string s = rng() % 4 == 0 ? previous : labels[rng() % labels.size()];
                const std::string t = rng() % 4 == 0 ? previous : labels[rng() % labels.size()];
                previous = s;
                for (const std::string* l : {&s, &t}) {
                    if (number.emplace(*l, byNumber.size()).second) byNumber.push_back(*l);
                }
                const std::uint64_t record = std::uint64_t{number[s]} << 32 | number[t];
                records.push_back(record);
                std::string extra;
                if (extras && rng() % 2 == 0) {
                    extra = std::string(1, separator) + field(labels[rng() % labels.size()]) +
                            separator + "7";
                }
                firstExtra.emplace(record, extra);
                text += field(s) + separator + field(t) + extra + (rng() % 2 ? "\r\n" : "\n");
            }
            const std::string path = dir.file(dialect == TableDialect::Tsv ? "g.tsv" : "g.csv");
            writeText(path, text);
            const LabelledEdgeList list = readLabelledEdgeList(path, dialect, header);
            ASSERT_EQ(list.graph.records, records) << text;
            ASSERT_EQ(list.graph.n, static_cast<std::int64_t>(byNumber.size()));
            for (std::uint32_t i = 0; i < byNumber.size(); ++i) {
                ASSERT_EQ(list.labels.label(i), byNumber[i]);
            }
            // Written back: the header, then each distinct edge once in number order, with the
            // first record's extra columns.
            std::vector<std::uint64_t> kept(records);
            std::sort(kept.begin(), kept.end());
            kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
            writeLabelledEdges(list, kept, dir.file("out"));
            std::string expected;
            if (header) expected += list.header + "\n";
            for (const std::uint64_t r : kept) {
                const auto plain = [&](const std::string& label) {
                    std::string out;
                    appendTableField(out, label, dialect);
                    return out;
                };
                expected += plain(byNumber[r >> 32]) + separator +
                            plain(byNumber[r & 0xffffffffu]) + firstExtra[r] + "\n";
            }
            const std::string written = readText(dir.file("out"));
            ASSERT_EQ(written, expected);
            // And what was written reads back to the same graph.
            const LabelledEdgeList again = readLabelledEdgeList(dir.file("out"), dialect, header);
            std::vector<std::string> keptLabels, againLabels;
            for (const std::uint64_t r : kept) {
                keptLabels.push_back(byNumber[r >> 32] + "->" + byNumber[r & 0xffffffffu]);
            }
            for (const std::uint64_t r : again.graph.records) {
                againLabels.push_back(again.labels.label(r >> 32) + "->" +
                                      again.labels.label(r & 0xffffffffu));
            }
            ASSERT_EQ(againLabels, keptLabels);
        }
    }
}

// Labels of hexadecimal digits are kept packed, sixteen or (up to 64 digits) all at a time where
// the processor allows: a hash with any one byte replaced, cut to any length around those, must
// come back as it went in, under a number of its own, whether read one at a time or in a batch.
TEST(LabelTable, GivesBackEveryLabelNearAHash) {
    const std::string hash = "0123456789abcdef0fedcba9876543210a1b2c3d4e5f60718293a4b5c6d7e8f9";
    std::vector<std::string> labels;
    for (std::size_t at = 0; at < hash.size(); ++at) {
        for (int byte = 1; byte < 256; ++byte) {
            std::string label = hash;
            label[at] = static_cast<char>(byte);
            labels.push_back(label.substr(0, 40));
            labels.push_back(label.substr(0, 14 + at % 52));
            if (byte % 3 == 0) labels.push_back(label + (byte % 2 ? "0a" : ""));
        }
    }
    std::map<std::string, std::uint32_t> number;  // by first appearance
    for (const std::string& label : labels) {
        number.emplace(label, static_cast<std::uint32_t>(number.size()));
    }
    LabelTable one;
    for (const std::string& label : labels) {
        const std::uint32_t node = one.intern(label);
        ASSERT_EQ(node, number[label]) << label;
        ASSERT_EQ(one.label(node), label);
    }
    // In batches of several sizes (labels met again in later batches, shards growing within a
    // batch), on one thread and on two; then, the hash table freed, built again from the labels.
    // Every fifth label is added again as a repeat of one of the last few added.
    LabelBatch batch;
    std::vector<std::string> inBatch;  // the batch's labels, place by place
    std::size_t recent[4] = {};        // places of the last labels added
    for (std::size_t i = 0; i < labels.size(); ++i) {
        recent[i % 4] = batch.size();
        batch.add(labels[i]);
        inBatch.push_back(labels[i]);
        if (i % 5 == 0) {
            const std::size_t earlier = recent[(i - i / 5 % 4) % 4];
            batch.addRepeat(earlier);
            inBatch.push_back(inBatch[earlier]);
        }
    }
    const std::size_t ends[] = {7, 3000, 3001, 11000, inBatch.size()};
    for (const int threads : {1, 2}) {
        ThreadPool pool(threads);
        LabelTable batched;
        std::vector<std::uint32_t> nodes(inBatch.size());
        std::size_t from = 0;
        for (const std::size_t to : ends) {
            batched.internBatch(batch, from, to, nodes.data() + from, &pool);
            from = to;
        }
        for (std::size_t i = 0; i < inBatch.size(); ++i) {
            ASSERT_EQ(nodes[i], number[inBatch[i]]) << inBatch[i];
            ASSERT_EQ(batched.label(nodes[i]), inBatch[i]);
        }
        batched.releaseLookup();
        for (const std::string& label : labels) ASSERT_EQ(batched.intern(label), number[label]);
        ASSERT_EQ(batched.size(), number.size());
    }
}

// A large table is read in parts on a pool's workers, and from a file in pieces that records
// straddle: the labels, records and extra columns, the text written back (on the pool too) and the
// first fault's message must be those of reading it in one part.
TEST(LabelledEdgeList, ReadsInPartsOnAPoolAsInOnePart) {
    std::mt19937 rng(21);
    // Pieces of less than a part, and of a few parts.
    const std::size_t pieces[] = {300007, (std::size_t{5} << 20) + 7};
    for (const TableDialect dialect : {TableDialect::Tsv, TableDialect::Csv}) {
        const std::vector<std::string> labels = randomLabels(rng, 40000, TableDialect::Tsv);
        const char separator = dialect == TableDialect::Tsv ? '\t' : ',';
        std::string text = std::string("from") + separator + "to\n";
        // Records of the text's second half have extra columns: the first part has none. Some
        // repeat the source before, as its next edge or the next link of a chain.
        std::string source = labels[0];
        for (int e = 0; text.size() < (std::size_t{6} << 20); ++e) {
            if (dialect == TableDialect::Tsv && rng() % 50 == 0) text += "# a comment\n";
            const std::string before = source;
            source = rng() % 2 == 0 ? before : labels[rng() % labels.size()];
            text += source + separator + (rng() % 4 == 0 ? before : labels[rng() % labels.size()]);
            if (text.size() > (std::size_t{3} << 20) && rng() % 3 == 0)
                text += std::string(1, separator) + "x";
            text += rng() % 2 ? "\r\n" : "\n";
        }
        ScratchDir dir;
        const std::string path = dir.file("in");
        writeText(path, text);
        std::vector<std::string> written;
        const auto writeBack = [&](const LabelledEdgeList& list, ThreadPool& pool) {
            std::vector<std::uint64_t> kept(list.graph.records);
            std::sort(kept.begin(), kept.end());
            kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
            OutputFile file(dir.file("out"));
            writeLabelledEdges(list.labels, dialect, kept, file, &list.header, &list.extras, {},
                               pool);
            file.commit();
            written.push_back(readText(dir.file("out")));
        };
        for (const int threads : {1, 3}) {
            ThreadPool pool(threads);
            const LabelledEdgeList list = parseLabelledEdgeList(text, "t", dialect, true, pool);
            writeBack(list, pool);
            if (threads == 1) continue;
            for (const std::size_t piece : pieces) {
                const LabelledEdgeList read =
                    readLabelledEdgeList(path, dialect, true, {}, pool, piece);
                ASSERT_EQ(read.graph.records, list.graph.records) << "pieces of " << piece;
                writeBack(read, pool);
            }
        }
        for (const std::string& other : written) ASSERT_EQ(other, written[0]);
        // A fault in the last part, and one in the first with another in the last.
        for (const double at : {0.9, 0.2}) {
            std::string bad = text;
            const std::size_t line = bad.find('\n', static_cast<std::size_t>(at * bad.size()));
            bad.insert(line + 1, "lonely\n");
            if (at < 0.5) bad.insert(bad.size() - 10, "\nlast\n");
            writeText(path, bad);
            std::string messages[3];
            for (const int threads : {1, 3}) {
                ThreadPool pool(threads);
                try {
                    parseLabelledEdgeList(bad, path, dialect, true, pool);
                } catch (const Error& error) {
                    messages[threads == 1 ? 0 : 1] = error.what();
                }
                if (threads == 1) continue;
                try {
                    readLabelledEdgeList(path, dialect, true, {}, pool, pieces[0]);
                } catch (const Error& error) {
                    messages[2] = error.what();
                }
            }
            ASSERT_NE(messages[0], "");
            ASSERT_EQ(messages[1], messages[0]);
            ASSERT_EQ(messages[2], messages[0]);
        }
    }
}

// The .npy bytes of matrix m in the given layout, written the way numpy lays them out.
std::string npyBytes(const std::vector<double>& m, int n, int itemBytes, bool bigEndian,
                     bool fortran, int version) {
    std::string header = std::string("{'descr': '") + (bigEndian ? '>' : '<') + 'f' +
                         std::to_string(itemBytes) +
                         "', 'fortran_order': " + (fortran ? "True" : "False") + ", 'shape': (" +
                         std::to_string(n) + ", " + std::to_string(n) + "), }";
    const std::size_t lengthBytes = version == 1 ? 2 : 4;
    while ((8 + lengthBytes + header.size() + 1) % 64 != 0) header += ' ';
    header += '\n';
    std::string out = "\x93NUMPY";
    out += static_cast<char>(version);
    out += '\0';
    for (std::size_t i = 0; i < lengthBytes; ++i)
        out += static_cast<char>(header.size() >> (8 * i));
    out += header;
    for (int a = 0; a < n; ++a) {
        for (int b = 0; b < n; ++b) {
            const double v = fortran ? m[b * n + a] : m[a * n + b];
            unsigned char bytes[8];
            if (itemBytes == 4) {
                const float f = static_cast<float>(v);
                std::memcpy(bytes, &f, 4);
            } else {
                std::memcpy(bytes, &v, 8);
            }
            if (bigEndian) std::reverse(bytes, bytes + itemBytes);
            out.append(reinterpret_cast<const char*>(bytes), itemBytes);
        }
    }
    return out;
}

TEST(NpyMatrix, ReadsEveryLayoutAsTheTextReaderConvertsAndWritesFloat32Back) {
    std::mt19937 rng(8);
    ScratchDir dir;
    for (const int n : {0, 1, 3, 70, 130}) {
        std::vector<double> m(static_cast<std::size_t>(n) * n);
        const double specials[] = {0.1,       -0.0,
                                   2.0,       1e-40,
                                   1e-320,    3.4028235677973366e38,
                                   -INFINITY, NAN,
                                   -NAN,      0.30000000000000004};
        for (double& v : m) {
            v = rng() % 4 == 0 ? specials[rng() % 10]
                               : std::uniform_real_distribution<double>(-2, 2)(rng);
        }
        for (const int itemBytes : {4, 8}) {
            for (const bool bigEndian : {false, true}) {
                for (const bool fortran : {false, true}) {
                    const int version = 1 + static_cast<int>(rng() % 3);
                    const std::string path = dir.file("m.npy");
                    writeText(path, npyBytes(m, n, itemBytes, bigEndian, fortran, version));
                    const WeightMatrix read = readNpyMatrix(path, 2);
                    ASSERT_EQ(read.n, n);
                    for (std::size_t i = 0; i < m.size(); ++i) {
                        // float32 elements are the double's float; float64 ones round once.
                        const float want = static_cast<float>(m[i]);
                        ASSERT_EQ(std::memcmp(&read.cells[i], &want, 4), 0)
                            << "cell " << i << " of n=" << n << " bytes=" << itemBytes;
                    }
                    writeNpyMatrix(read, dir.file("out.npy"));
                    EXPECT_EQ(readText(dir.file("out.npy")), npyBytes(m, n, 4, false, false, 1));
                }
            }
        }
    }
}

}  // namespace
}  // namespace fwprune

namespace fwprune {
namespace {

TEST(DotGraph, ReadsTheLanguageAndWritesBackOnlyTheKeptEdges) {
    const std::string text =
        "/* a build graph */\n"
        "# 1 \"deps.gv\"\n"
        "strict digraph \"G\" {\n"
        "  graph [rankdir=LR]; node [shape=box]\n"
        "  edge [color=gray] // defaults\n"
        "  a -> b -> c [label=\"x\\\"y\"];\n"
        "  \"a\" -> c\n"
        "  subgraph cluster_0 { label=\"lib\"; d; e -> f:p:n }\n"
        "  {a b} -> d\n"
        "  -1.5 -> <<b>html</b>>; \"lo\" + \"ng\" -> long\n"
        "}\n";
    const DotGraph g = parseDotGraph(text, "g.gv");
    std::vector<std::string> edges;
    for (const std::uint64_t r : g.graph.records) {
        edges.push_back(g.labels.label(r >> 32) + ">" + g.labels.label(r & 0xffffffffu));
    }
    const std::vector<std::string> expected = {
        "a>b", "b>c", "a>c", "e>f", "a>d", "b>d", "-1.5><<b>html</b>>", "long>long"};
    EXPECT_EQ(edges, expected);
    EXPECT_EQ(g.graph.n, 9);  // a b c d e f -1.5 <<b>html</b>> long
    // Keep all but a->c and a->d.
    std::vector<std::uint64_t> kept;
    for (const std::uint64_t r : g.graph.records) {
        const std::string e = g.labels.label(r >> 32) + ">" + g.labels.label(r & 0xffffffffu);
        if (e != "a>c" && e != "a>d") kept.push_back(r);
    }
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    ScratchDir dir;
    {
        OutputFile file(dir.file("out.gv"));
        writeDotGraph(g, kept, file);
        file.commit();
    }
    std::string want = text;
    const auto replace = [&](const std::string& from, const std::string& to) {
        want.replace(want.find(from), from.size(), to);
    };
    replace("\"a\" -> c", "\"a\"; c");
    replace("{a b} -> d", "{a b}; d; b -> d");
    EXPECT_EQ(readText(dir.file("out.gv")), want);
    // What was written reads back with the kept edges.
    const DotGraph again = parseDotGraph(readText(dir.file("out.gv")), "out.gv");
    std::vector<std::uint64_t> againSorted = again.graph.records;
    std::sort(againSorted.begin(), againSorted.end());
    EXPECT_EQ(againSorted, kept);
}

TEST(DotGraph, RefusesUndirectedGraphsAndNamesTheLineAndColumnOfASyntaxError) {
    const std::pair<const char*, const char*> cases[] = {
        {"graph { a -- b }", "g.gv:1:1: an undirected graph"},
        {"digraph {\n  a -- b }", "g.gv:2:5: an undirected edge '--'"},
        {"digraph {\n a -> }", "g.gv:2:7: expected an ID"},
        {"digraph { a -> b [color=red }", "g.gv:1:29: expected an ID"},
        {"digraph { \"open }", "g.gv:1:11: a quoted string is not closed"},
        {"digraph { a } digraph { b }", "g.gv:1:15: a second graph"},
        {"digraph { /* a }", "g.gv:1:11: a comment '/*' is not closed"},
        {"digraph { a -> b; ! }", "g.gv:1:19: unexpected character '!'"},
    };
    for (const auto& [text, message] : cases) {
        try {
            parseDotGraph(text, "g.gv");
            ADD_FAILURE() << text;
        } catch (const Error& e) {
            EXPECT_EQ(e.status(), Status::Format);
            EXPECT_EQ(std::string(e.what()).rfind(message, 0), 0u) << e.what();
        }
    }
}

}  // namespace
}  // namespace fwprune
