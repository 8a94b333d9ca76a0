// A reader of our own: the DOT libraries packaged for Debian are parts of graph drawing suites
// (their parser builds the suite's whole graph model, and would tie the library to it), and what
// the reduction needs is small: the edges the statements make, and where each statement lies in
// the text so that the writer can copy everything else as it was.
#include "graph_files/dot_graph.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "common/cancel.h"
#include "common/error.h"
#include "graph_files/text_tokens.h"
#include "graph_files/whole_file.h"

namespace fwprune {
namespace dot {

struct Span {
    std::size_t begin = 0;
    std::size_t end = 0;
};

struct Statement;

// A statement list between braces.
struct Block {
    Span span;  // the text between the braces
    std::vector<Statement> statements;
};

struct Operand {
    Span span;                            // a node ID with its port, or a subgraph
    std::unique_ptr<Statement> subgraph;  // null for a node
    std::vector<std::uint32_t> nodes;     // the node, or every node of the subgraph
};

struct Statement {
    enum class Kind { Edge, Subgraph, Other } kind = Kind::Other;
    Span span;
    std::unique_ptr<Block> body;    // Subgraph
    std::vector<Operand> operands;  // Edge
    Span attributes;                // Edge: from the first '[' to the last ']', or empty
    // The edge records this statement makes, nested ones first: [firstEdge, ownEdges) come from
    // subgraphs among its operands, [ownEdges, endEdge) from its own edge operators.
    std::size_t firstEdge = 0, ownEdges = 0, endEdge = 0;
};

}  // namespace dot

DotGraph::DotGraph() = default;
DotGraph::DotGraph(DotGraph&&) noexcept = default;
DotGraph& DotGraph::operator=(DotGraph&&) noexcept = default;
DotGraph::~DotGraph() = default;

namespace {

using dot::Block;
using dot::Operand;
using dot::Span;
using dot::Statement;

enum class Token {
    Id,
    LeftBrace,
    RightBrace,
    LeftBracket,
    RightBracket,
    Equals,
    Semicolon,
    Comma,
    Colon,
    Arrow,
    UndirectedEdge,
    Plus,
    End
};

bool isIdStart(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80;
}
bool isIdChar(unsigned char c) {
    return isIdStart(c) || (c >= '0' && c <= '9');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

bool equalsKeyword(std::string_view word, const char* keyword) {
    if (word.size() != std::strlen(keyword)) return false;
    for (std::size_t i = 0; i < word.size(); ++i) {
        char c = word[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != keyword[i]) return false;
    }
    return true;
}

class DotParser {
  public:
    DotParser(DotGraph& graph) : g_(graph), text_(graph.text) {}

    void parseFile() {
        next();
        if (isKeyword("strict")) next();
        if (isKeyword("graph")) {
            failHere("an undirected graph ('graph'); only a 'digraph' has edges to reduce");
        }
        if (!isKeyword("digraph")) failHere("expected 'digraph' at the start of the graph");
        next();
        if (token_ == Token::Id) next();
        if (token_ != Token::LeftBrace) failHere("expected '{' to open the graph");
        g_.body = std::make_unique<Block>();
        parseBlock(*g_.body);
        next();
        if (token_ != Token::End) {
            failHere(
                "a second graph, or text after the graph's closing '}'; a file holds one "
                "graph");
        }
    }

  private:
    // --- tokens ---
    [[noreturn]] void failAt(std::size_t offset, const std::string& what) const {
        long long line = 1;
        std::size_t lineStart = 0;
        for (std::size_t i = 0; i < offset && i < text_.size(); ++i) {
            if (text_[i] == '\n') {
                ++line;
                lineStart = i + 1;
            }
        }
        fail(Status::Format, g_.path + ":" + std::to_string(line) + ":" +
                                 std::to_string(offset - lineStart + 1) + ": " + what);
    }
    [[noreturn]] void failHere(const std::string& what) const {
        failAt(tokenStart_, what + (token_ == Token::End ? " (found the end of the file)"
                                                         : ", found " + shown()));
    }
    std::string shown() const {
        return quoteToken(text_.substr(tokenStart_, tokenEnd_ - tokenStart_));
    }

    void skipSpaceAndComments() {
        for (;;) {
            while (at_ < text_.size() && isTokenSeparator(text_[at_])) ++at_;
            if (at_ >= text_.size()) return;
            if (text_[at_] == '#' && (at_ == 0 || lineStartsAt(at_))) {
                while (at_ < text_.size() && text_[at_] != '\n') ++at_;
            } else if (text_.compare(at_, 2, "//") == 0) {
                while (at_ < text_.size() && text_[at_] != '\n') ++at_;
            } else if (text_.compare(at_, 2, "/*") == 0) {
                const std::size_t close = text_.find("*/", at_ + 2);
                if (close == std::string::npos) failAt(at_, "a comment '/*' is not closed");
                at_ = close + 2;
            } else {
                return;
            }
        }
    }
    // Whether only blanks stand before offset on its line (a '#' there starts a line that a C
    // preprocessor left).
    bool lineStartsAt(std::size_t offset) const {
        for (std::size_t i = offset; i > 0; --i) {
            const char c = text_[i - 1];
            if (c == '\n') return true;
            if (c != ' ' && c != '\t' && c != '\r') return false;
        }
        return true;
    }

    void next() {
        previousEnd_ = tokenEnd_;
        skipSpaceAndComments();
        tokenStart_ = at_;
        quoted_ = false;
        if (at_ >= text_.size()) {
            token_ = Token::End;
            tokenEnd_ = at_;
            return;
        }
        const char c = text_[at_];
        const auto single = [&](Token t) {
            token_ = t;
            tokenEnd_ = ++at_;
        };
        switch (c) {
            case '{':
                return single(Token::LeftBrace);
            case '}':
                return single(Token::RightBrace);
            case '[':
                return single(Token::LeftBracket);
            case ']':
                return single(Token::RightBracket);
            case '=':
                return single(Token::Equals);
            case ';':
                return single(Token::Semicolon);
            case ',':
                return single(Token::Comma);
            case ':':
                return single(Token::Colon);
            case '+':
                return single(Token::Plus);
            default:
                break;
        }
        if (text_.compare(at_, 2, "->") == 0 || text_.compare(at_, 2, "--") == 0) {
            token_ = text_[at_ + 1] == '>' ? Token::Arrow : Token::UndirectedEdge;
            tokenEnd_ = at_ += 2;
            return;
        }
        token_ = Token::Id;
        if (c == '"') return readQuoted();
        if (c == '<') return readHtml();
        if (isIdStart(static_cast<unsigned char>(c))) {
            while (at_ < text_.size() && isIdChar(static_cast<unsigned char>(text_[at_]))) ++at_;
        } else if (c == '-' || c == '.' || isDigit(c)) {
            std::size_t i = at_ + (c == '-' ? 1 : 0);
            const std::size_t digitsStart = i;
            while (i < text_.size() && isDigit(text_[i])) ++i;
            if (i < text_.size() && text_[i] == '.') {
                ++i;
                while (i < text_.size() && isDigit(text_[i])) ++i;
            }
            if (i == digitsStart || (i == digitsStart + 1 && text_[digitsStart] == '.')) {
                failAt(at_, "unexpected character " + quoteToken(text_.substr(at_, 1)));
            }
            at_ = i;
        } else {
            failAt(at_, "unexpected character " + quoteToken(text_.substr(at_, 1)));
        }
        tokenEnd_ = at_;
        value_.assign(text_, tokenStart_, tokenEnd_ - tokenStart_);
    }

    void readQuoted() {
        quoted_ = true;
        value_.clear();
        std::size_t i = at_ + 1;
        for (;;) {
            if (i >= text_.size()) failAt(at_, "a quoted string is not closed");
            const char c = text_[i];
            if (c == '"') break;
            if (c == '\\' && i + 1 < text_.size()) {
                const char d = text_[i + 1];
                if (d == '"') {
                    value_ += '"';
                    i += 2;
                    continue;
                }
                // A backslash before a line end continues the string on the next line.
                if (d == '\n' || (d == '\r' && i + 2 < text_.size() && text_[i + 2] == '\n')) {
                    i += d == '\n' ? 2 : 3;
                    continue;
                }
                value_ += c;
                value_ += d;
                i += 2;
                continue;
            }
            value_ += c;
            ++i;
        }
        tokenEnd_ = at_ = i + 1;
    }

    void readHtml() {
        int depth = 0;
        std::size_t i = at_;
        for (;; ++i) {
            if (i >= text_.size()) failAt(at_, "an HTML string '<' is not closed by '>'");
            if (text_[i] == '<') ++depth;
            if (text_[i] == '>' && --depth == 0) break;
        }
        tokenEnd_ = at_ = i + 1;
        value_.assign(text_, tokenStart_, tokenEnd_ - tokenStart_);
    }

    bool isKeyword(const char* keyword) const {
        return token_ == Token::Id && !quoted_ && text_[tokenStart_] != '<' &&
               equalsKeyword(value_, keyword);
    }

    // An ID, with quoted strings joined by '+'; leaves the token after it current.
    std::string readId() {
        if (token_ != Token::Id) failHere("expected an ID");
        std::string id = value_;
        const bool joinable = quoted_;
        next();
        while (joinable && token_ == Token::Plus) {
            next();
            if (token_ != Token::Id || !quoted_) failHere("expected a quoted string after '+'");
            id += value_;
            next();
        }
        return id;
    }

    // --- statements ---
    std::uint32_t nodeNamed(const std::string& name) {
        try {
            return reportingOutOfMemory(
                Status::TooLarge,
                [&] {
                    return describeAt(g_.path, "not enough memory for the nodes of " +
                                                   std::to_string(g_.labels.size()));
                },
                [&] { return g_.labels.intern(name); });
        } catch (const std::length_error&) {
            fail(Status::TooLarge, describeAt(g_.path, "more than 2147483647 nodes"));
        }
    }

    // The statements up to the closing '}' (current on return); the current token is the '{'.
    void parseBlock(Block& block) {
        block.span.begin = tokenEnd_;
        next();
        while (token_ != Token::RightBrace) {
            if (token_ == Token::End) failHere("expected '}' to close a '{'");
            block.statements.emplace_back();
            parseStatement(block.statements.back());
            if (token_ == Token::Semicolon) next();
        }
        block.span.end = tokenStart_;
        pollCancelled();
    }

    void parseAttributes() {
        while (token_ == Token::LeftBracket) {
            next();
            while (token_ != Token::RightBracket) {
                readId();
                if (token_ == Token::Equals) {
                    next();
                    readId();
                }
                if (token_ == Token::Semicolon || token_ == Token::Comma) next();
                if (token_ == Token::End) failHere("expected ']' to close an attribute list");
            }
            next();
        }
    }

    // A subgraph: [subgraph [ID]] '{' statements '}'; the current token is its first.
    void parseSubgraph(Statement& s) {
        s.kind = Statement::Kind::Subgraph;
        s.span.begin = tokenStart_;
        s.firstEdge = g_.graph.records.size();
        if (isKeyword("subgraph")) {
            next();
            if (token_ == Token::Id) readId();
        }
        if (token_ != Token::LeftBrace) failHere("expected '{' to open a subgraph");
        s.body = std::make_unique<Block>();
        parseBlock(*s.body);
        s.span.end = tokenEnd_;
        s.ownEdges = s.endEdge = g_.graph.records.size();
        next();
    }

    // The nodes a subgraph's statements name, each once, in order of first mention.
    void collectNodes(const Block& block, std::vector<std::uint32_t>& nodes) const {
        for (const Statement& s : block.statements) {
            if (s.kind == Statement::Kind::Subgraph) collectNodes(*s.body, nodes);
            for (const Operand& o : s.operands) {
                for (const std::uint32_t v : o.nodes) {
                    if (std::find(nodes.begin(), nodes.end(), v) == nodes.end()) nodes.push_back(v);
                }
            }
        }
    }

    void parseOperand(Operand& o) {
        o.span.begin = tokenStart_;
        if (token_ == Token::LeftBrace || isKeyword("subgraph")) {
            o.subgraph = std::make_unique<Statement>();
            parseSubgraph(*o.subgraph);
            collectNodes(*o.subgraph->body, o.nodes);
        } else {
            if (isKeyword("node") || isKeyword("edge") || isKeyword("graph") ||
                isKeyword("digraph") || isKeyword("strict")) {
                failHere("expected a node ID (a keyword names a node only in quotes)");
            }
            o.nodes.push_back(nodeNamed(readId()));
            // A port: ':' ID [':' ID].
            for (int part = 0; part < 2 && token_ == Token::Colon; ++part) {
                next();
                readId();
            }
        }
        o.span.end = previousEnd_;
    }

    void parseStatement(Statement& s) {
        s.span.begin = tokenStart_;
        s.firstEdge = g_.graph.records.size();
        if (token_ == Token::UndirectedEdge || token_ == Token::Arrow) {
            failHere("expected a statement");
        }
        if ((isKeyword("graph") || isKeyword("node") || isKeyword("edge"))) {
            next();
            if (token_ != Token::LeftBracket) failHere("expected '[' after an attribute keyword");
            parseAttributes();
            s.span.end = previousEnd_;
            s.ownEdges = s.endEdge = s.firstEdge;
            return;
        }
        if (token_ == Token::Id && !isKeyword("subgraph")) {
            // ID '=' ID sets a graph attribute.
            const std::size_t save = at_;
            const Token saveToken = token_;
            const std::size_t saveStart = tokenStart_, saveEnd = tokenEnd_;
            const std::size_t savePrevious = previousEnd_;
            const std::string saveValue = value_;
            const bool saveQuoted = quoted_;
            readId();
            if (token_ == Token::Equals) {
                next();
                readId();
                s.span.end = previousEnd_;
                s.ownEdges = s.endEdge = s.firstEdge;
                return;
            }
            at_ = save;
            token_ = saveToken;
            tokenStart_ = saveStart;
            tokenEnd_ = saveEnd;
            value_ = saveValue;
            quoted_ = saveQuoted;
            previousEnd_ = savePrevious;
        }
        s.operands.emplace_back();
        parseOperand(s.operands.back());
        if (token_ != Token::Arrow && token_ != Token::UndirectedEdge) {
            // A node statement, or a subgraph standing alone.
            Operand only = std::move(s.operands.back());
            s.operands.clear();
            if (only.subgraph) {
                Statement sub = std::move(*only.subgraph);
                sub.firstEdge = s.firstEdge;
                sub.ownEdges = sub.endEdge = g_.graph.records.size();
                s = std::move(sub);
                return;
            }
            s.operands.push_back(std::move(only));
            parseAttributes();
            s.span.end = previousEnd_;
            s.kind = Statement::Kind::Other;
            s.ownEdges = s.endEdge = g_.graph.records.size();
            // A node statement keeps its operand so that its node counts; it makes no edge.
            return;
        }
        while (token_ == Token::Arrow || token_ == Token::UndirectedEdge) {
            if (token_ == Token::UndirectedEdge) {
                failHere("an undirected edge '--' in a digraph; use '->'");
            }
            next();
            s.operands.emplace_back();
            parseOperand(s.operands.back());
        }
        s.kind = Statement::Kind::Edge;
        s.span.end = s.operands.back().span.end;
        if (token_ == Token::LeftBracket) {
            s.attributes.begin = tokenStart_;
            parseAttributes();
            s.attributes.end = previousEnd_;
            s.span.end = previousEnd_;
        }
        s.ownEdges = g_.graph.records.size();
        reportingOutOfMemory(
            Status::TooLarge,
            [&] {
                return describeAt(g_.path, "not enough memory for " +
                                               std::to_string(g_.graph.records.size()) + " edges");
            },
            [&] {
                for (std::size_t p = 0; p + 1 < s.operands.size(); ++p) {
                    for (const std::uint32_t u : s.operands[p].nodes) {
                        for (const std::uint32_t v : s.operands[p + 1].nodes) {
                            g_.graph.records.push_back(std::uint64_t{u} << 32 | v);
                        }
                    }
                }
            });
        s.endEdge = g_.graph.records.size();
    }

    DotGraph& g_;
    const std::string& text_;
    std::size_t at_ = 0;
    Token token_ = Token::End;
    std::size_t tokenStart_ = 0, tokenEnd_ = 0;
    std::size_t previousEnd_ = 0;  // the end of the token before the current one
    std::string value_;
    bool quoted_ = false;
};

}  // namespace

DotGraph parseDotGraph(std::string text, const std::string& path) {
    DotGraph g;
    g.path = path;
    g.text = std::move(text);
    DotParser(g).parseFile();
    g.graph.n = static_cast<std::int64_t>(g.labels.size());
    return g;
}

DotGraph readDotGraph(const std::string& path, const ProgressFunction& progress) {
    DotGraph g = parseDotGraph(readWholeFile(path, progressPart(progress, 0, 0.5)), path);
    if (progress) progress(1.0);
    return g;
}

std::string dotId(std::string_view label) {
    const auto plainName = [&] {
        if (label.empty() || !isIdStart(static_cast<unsigned char>(label[0]))) return false;
        for (const char c : label)
            if (!isIdChar(static_cast<unsigned char>(c))) return false;
        for (const char* k : {"node", "edge", "graph", "digraph", "subgraph", "strict"})
            if (equalsKeyword(label, k)) return false;
        return true;
    };
    const auto numeral = [&] {
        std::size_t i = !label.empty() && label[0] == '-' ? 1 : 0;
        std::size_t digits = 0, dots = 0;
        for (; i < label.size(); ++i) {
            if (isDigit(label[i]))
                ++digits;
            else if (label[i] == '.' && dots == 0)
                ++dots;
            else
                return false;
        }
        return digits > 0;
    };
    if (plainName() || numeral()) return std::string(label);
    // An HTML string was kept with its brackets.
    if (label.size() >= 2 && label.front() == '<' && label.back() == '>') return std::string(label);
    std::string out = "\"";
    for (std::size_t i = 0; i < label.size(); ++i) {
        // A backslash already escaping a quote stays; a bare quote gets one.
        if (label[i] == '"') out += '\\';
        out += label[i];
    }
    return out + "\"";
}

namespace {

class DotWriter {
  public:
    DotWriter(const DotGraph& g, const std::vector<std::uint64_t>& kept, OutputFile& file)
        : g_(g), file_(file) {
        survives_.resize(g.graph.records.size());
        for (std::size_t i = 0; i < survives_.size(); ++i) {
            survives_[i] = std::binary_search(kept.begin(), kept.end(), g.graph.records[i]);
        }
        // Kept edges that no statement makes: a condensed component's cycle may join nodes the
        // input never joined directly. They go at the end of the graph's body.
        std::vector<std::uint64_t> made = g.graph.records;
        std::sort(made.begin(), made.end());
        for (const std::uint64_t e : kept) {
            if (std::binary_search(made.begin(), made.end(), e)) continue;
            added_ += ' ';
            added_ += dotId(g.labels.label(static_cast<std::uint32_t>(e >> 32)));
            added_ += " -> ";
            added_ += dotId(g.labels.label(static_cast<std::uint32_t>(e)));
            added_ += ';';
        }
    }

    void write() {
        const std::size_t close = g_.body->span.end;
        emitBlockIn(Span{0, close}, *g_.body);
        if (!added_.empty()) {
            out_ += added_;
            out_ += ' ';
        }
        copy(close, g_.text.size());
        flush(true);
    }

  private:
    bool changed(const Statement& s) const {
        for (std::size_t i = s.firstEdge; i < s.endEdge; ++i)
            if (!survives_[i]) return true;
        return false;
    }

    void copy(std::size_t begin, std::size_t end) {
        out_.append(g_.text, begin, end - begin);
        flush(false);
    }
    void flush(bool all) {
        if (all || out_.size() >= (std::size_t{8} << 20)) {
            file_.write(out_);
            out_.clear();
        }
    }

    // The text of `outer`, with the changed statements of block (which lies inside it) rewritten.
    void emitBlockIn(Span outer, const Block& block) {
        std::size_t cursor = outer.begin;
        for (const Statement& s : block.statements) {
            if (!changed(s)) continue;
            copy(cursor, s.span.begin);
            emitChanged(s);
            cursor = s.span.end;
            // The replacement may end in a name where the statement ended in a bracket: keep it
            // apart from a name that follows.
            if (cursor < g_.text.size() && !out_.empty() &&
                isIdChar(static_cast<unsigned char>(out_.back())) &&
                !isTokenSeparator(g_.text[cursor])) {
                out_ += ' ';
            }
        }
        copy(cursor, outer.end);
    }

    void emitStatement(const Statement& s) {
        if (changed(s)) {
            emitChanged(s);
        } else {
            copy(s.span.begin, s.span.end);
        }
    }

    void emitChanged(const Statement& s) {
        if (s.kind == Statement::Kind::Subgraph) {
            emitBlockIn(s.span, *s.body);
            return;
        }
        // An edge statement: its operands stand alone, then the edges it made that are kept.
        const char* separator = "";
        for (const Operand& o : s.operands) {
            out_ += separator;
            separator = "; ";
            if (o.subgraph) {
                emitStatement(*o.subgraph);
            } else {
                copy(o.span.begin, o.span.end);
            }
        }
        std::size_t edge = s.ownEdges;
        for (std::size_t p = 0; p + 1 < s.operands.size(); ++p) {
            const Operand& left = s.operands[p];
            const Operand& right = s.operands[p + 1];
            for (const std::uint32_t u : left.nodes) {
                for (const std::uint32_t v : right.nodes) {
                    if (!survives_[edge++]) continue;
                    out_ += "; ";
                    endpoint(left, u);
                    out_ += " -> ";
                    endpoint(right, v);
                    if (s.attributes.end > s.attributes.begin) {
                        out_ += ' ';
                        copy(s.attributes.begin, s.attributes.end);
                    }
                }
            }
        }
    }

    // A node operand as written (its port included); a node of a subgraph by its name.
    void endpoint(const Operand& o, std::uint32_t node) {
        if (!o.subgraph) {
            copy(o.span.begin, o.span.end);
        } else {
            out_ += dotId(g_.labels.label(node));
        }
    }

    const DotGraph& g_;
    OutputFile& file_;
    std::vector<bool> survives_;
    std::string out_;
    std::string added_;  // statements for the kept edges no statement makes
};

}  // namespace

void writeDotGraph(const DotGraph& graph, const std::vector<std::uint64_t>& kept,
                   OutputFile& file) {
    DotWriter(graph, kept, file).write();
}

void writePlainDotGraph(const LabelTable& labels, const std::vector<std::uint64_t>& kept,
                        OutputFile& file) {
    std::string out = "digraph {\n";
    for (const std::uint64_t e : kept) {
        out += "  ";
        out += dotId(labels.label(static_cast<std::uint32_t>(e >> 32)));
        out += " -> ";
        out += dotId(labels.label(static_cast<std::uint32_t>(e)));
        out += ";\n";
        if (out.size() >= (std::size_t{8} << 20)) {
            file.write(out);
            out.clear();
        }
    }
    out += "}\n";
    file.write(out);
}

}  // namespace fwprune
