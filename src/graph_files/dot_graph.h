// DOT files: the digraph language of graph drawing tools, read into edge records and written back
// as the same text with the edges that did not survive taken out.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/graphs.h"
#include "common/progress.h"
#include "graph_files/file_io.h"
#include "graph_files/label_table.h"

namespace fwprune {

namespace dot {
struct Block;
}

// A digraph as read: its text, its nodes (numbered in order of first appearance, labelled by
// their names, quotes and escapes resolved) and its edges, one record per edge the statements
// make, in the order they make them: `a -> b -> c` makes a->b and b->c, `{a b} -> c` makes a->c
// and b->c, and edges inside subgraphs and clusters count like any other.
struct DotGraph {
    DotGraph();
    DotGraph(DotGraph&&) noexcept;
    DotGraph& operator=(DotGraph&&) noexcept;
    ~DotGraph();

    std::string path;
    std::string text;
    EdgeRecords graph;
    LabelTable labels;
    std::unique_ptr<dot::Block> body;  // the statements, as spans of text
};

// Reads the single digraph of a DOT file: names, numerals, quoted strings (with \" escapes,
// backslash-newline continuations and + concatenation) and HTML strings as IDs; node, edge and
// graph attribute statements; subgraphs and clusters; comments (//, /* */, and lines starting
// with #). Throws a Format error naming the file, line and column for a syntax error, for an
// undirected graph ("graph") or edge ("--"), and for a second graph in the file.
DotGraph readDotGraph(const std::string& path, const ProgressFunction& progress = {});
DotGraph parseDotGraph(std::string text, const std::string& path);

// Writes the graph's text back with only the edges in kept (sorted, unique records of its node
// numbers): statements that make no other edge are copied as they were; a statement that makes
// an edge not kept is replaced by its operands (so its nodes stay where they were declared) and
// the edges it made that are kept, each with the statement's attributes.
void writeDotGraph(const DotGraph& graph, const std::vector<std::uint64_t>& kept, OutputFile& file);

// Writes a plain digraph of the kept edges (sorted records of the labels' node numbers), for a
// graph that was not read from DOT.
void writePlainDotGraph(const LabelTable& labels, const std::vector<std::uint64_t>& kept,
                        OutputFile& file);

// A label as a DOT ID: as it is when it is a plain name or numeral and not a keyword, else quoted
// with its quotes escaped.
std::string dotId(std::string_view label);

}  // namespace fwprune
