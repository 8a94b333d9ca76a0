// Parse and format rates of the two text formats, in bytes of text per second, and the
// labelled and .npy formats beside them. Files go to
// $FWPRUNE_BENCH_DIR when set (a tmpfs such as /dev/shm takes the disk out of the writing
// figures), else /tmp.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "common/parallel.h"
#include "graph_files/edge_list.h"
#include "graph_files/file_io.h"
#include "graph_files/npy_matrix.h"
#include "graph_files/text_tokens.h"
#include "graph_files/weight_matrix.h"
#include "pipelines/pipelines.h"

namespace {

std::string benchFile(const char* name) {
    const char* const dir = std::getenv("FWPRUNE_BENCH_DIR");
    return std::string(dir && *dir ? dir : "/tmp") + "/" + name;
}

// The size of a benchmark's output file, which is then removed.
std::int64_t takeFileSize(const std::string& path) {
    const auto size = static_cast<std::int64_t>(std::filesystem::file_size(path));
    std::filesystem::remove(path);
    return size;
}

std::string matrixText(int n) {
    std::mt19937 random(1);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    fwprune::WeightMatrix m;
    m.n = n;
    m.cells.resize(std::size_t(n) * n);
    for (float& v : m.cells) v = unit(random);
    const std::string path = benchFile("fwprune-bench-matrix.txt");
    fwprune::writeWeightMatrix(m, path);
    std::FILE* file = std::fopen(path.c_str(), "rb");
    std::string text;
    char buffer[1 << 16];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        text.append(buffer, got);
    std::fclose(file);
    std::remove(path.c_str());
    return text;
}

void ParseWeightMatrix(benchmark::State& state) {
    const std::string text = matrixText(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            fwprune::parseWeightMatrix(text, "bench", false, static_cast<int>(state.range(1))));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(ParseWeightMatrix)
    ->Args({2048, 1})
    ->Args({2048, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// From a file, as the job reads it: in blocks, the next read while the pool parses.
void ReadWeightMatrix(benchmark::State& state) {
    const std::string text = matrixText(static_cast<int>(state.range(0)));
    const std::string path = benchFile("fwprune-bench-in.txt");
    {
        std::FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(text.data(), 1, text.size(), file);
        std::fclose(file);
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            fwprune::readWeightMatrix(path, false, static_cast<int>(state.range(1))));
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
    std::remove(path.c_str());
}
BENCHMARK(ReadWeightMatrix)
    ->Args({2048, 1})
    ->Args({2048, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void WriteWeightMatrix(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    fwprune::WeightMatrix m = fwprune::parseWeightMatrix(matrixText(n), "bench");
    const std::string path = benchFile("fwprune-bench-out.txt");
    for (auto _ : state) fwprune::writeWeightMatrix(m, path, static_cast<int>(state.range(1)));
    state.SetBytesProcessed(state.iterations() * takeFileSize(path));
}
BENCHMARK(WriteWeightMatrix)
    ->Args({2048, 1})
    ->Args({2048, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// The floor beside the matrix rows above: a plain pass over the same text on the same threads,
// reading every byte (argument 0: the parser's floor) or copying the text into batches that are
// written to a file as the writer's are (1: the writer's floor). Arguments: n, 0 or 1, threads.
void MatrixTextFloor(benchmark::State& state) {
    const std::string text = matrixText(static_cast<int>(state.range(0)));
    const bool write = state.range(1) != 0;
    fwprune::ThreadPool pool(static_cast<int>(state.range(2)));
    const std::string path = benchFile("fwprune-bench-floor.txt");
    constexpr std::int64_t kBatch = std::int64_t{8} << 20;
    const auto size = static_cast<std::int64_t>(text.size());
    std::vector<std::string> buffers(static_cast<std::size_t>(pool.size()));
    for (auto _ : state) {
        if (!write) {
            std::vector<long long> feeds(buffers.size(), 0);
            pool.parallelFor(0, size, [&](std::int64_t lo, std::int64_t hi, int worker) {
                feeds[static_cast<std::size_t>(worker)] =
                    fwprune::countLineFeeds(text.data() + lo, text.data() + hi);
            });
            benchmark::DoNotOptimize(feeds);
            continue;
        }
        fwprune::OutputFile file(path);
        for (std::int64_t first = 0; first < size; first += kBatch * pool.size()) {
            const std::int64_t last = std::min(size, first + kBatch * pool.size());
            for (std::string& buffer : buffers) buffer.clear();
            pool.parallelFor(first, last, [&](std::int64_t lo, std::int64_t hi, int worker) {
                buffers[static_cast<std::size_t>(worker)].assign(text.data() + lo,
                                                                 static_cast<std::size_t>(hi - lo));
            });
            for (const std::string& buffer : buffers) file.write(buffer);
        }
        file.commit();
    }
    if (write) std::remove(path.c_str());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(MatrixTextFloor)
    ->Args({2048, 0, 2})
    ->Args({2048, 1, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Records of a random graph with edge probability p, ordered by source and target or, with
// `shuffled`, in random order (as files written by other tools often are).
std::string edgeListText(int n, double p, bool shuffled = false) {
    std::mt19937 random(2);
    std::bernoulli_distribution edge(p);
    std::vector<std::string> records;
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            if (edge(random)) records.push_back(std::to_string(i) + " edge " + std::to_string(j));
        }
    }
    if (shuffled) std::shuffle(records.begin(), records.end(), random);
    std::string text;
    for (const std::string& record : records) text += record + "\n";
    return text;
}

// Arguments: n, and 1 for shuffled records. Into the records the jobs keep, on every thread.
void ParseEdgeList(benchmark::State& state) {
    const std::string text = edgeListText(static_cast<int>(state.range(0)), 0.1, state.range(1));
    for (auto _ : state) benchmark::DoNotOptimize(fwprune::parseEdgeRecords(text, "bench"));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(ParseEdgeList)
    ->Args({4000, 0})
    ->Args({4000, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Sorted records as the sparse route writes them. Arguments: n, threads.
void WriteSortedEdges(benchmark::State& state) {
    std::vector<std::uint64_t> records =
        fwprune::parseEdgeRecords(edgeListText(static_cast<int>(state.range(0)), 0.1), "bench")
            .records;
    const std::string path = benchFile("fwprune-bench-sorted-edges.txt");
    for (auto _ : state) fwprune::writeSortedEdges(records, path, static_cast<int>(state.range(1)));
    state.SetBytesProcessed(state.iterations() * takeFileSize(path));
}
BENCHMARK(WriteSortedEdges)
    ->Args({4000, 1})
    ->Args({4000, 2})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// A version history of m commits (each names its parent, every eighth also an older one) as
// native text with the commits' numbers and as TSV with 40-digit hexadecimal hashes, the same
// graph either way: the labelled formats' cost beside the native one's, file to file.
std::string commitHash(std::uint64_t commit) {
    std::string hash;
    for (int part = 0; part < 3; ++part) {
        std::uint64_t x = (commit + 1) * 0x9e3779b97f4a7c15u + part;
        x ^= x >> 31;
        x *= 0xbf58476d1ce4e5b9u;
        x ^= x >> 29;
        char digits[17];
        std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(x));
        hash += digits;
    }
    return hash.substr(0, 40);
}

const std::string& historyFile(bool labelled) {
    static const std::string paths[2] = {benchFile("fwprune-bench-history.txt"),
                                         benchFile("fwprune-bench-history.tsv")};
    static bool written = false;
    if (!written) {
        constexpr std::uint64_t kCommits = 1000000;
        std::mt19937 random(3);
        std::FILE* text = std::fopen(paths[0].c_str(), "wb");
        std::FILE* tsv = std::fopen(paths[1].c_str(), "wb");
        for (std::uint64_t c = 1; c < kCommits; ++c) {
            std::uint64_t parents[2] = {c - 1, c >= 20 && c % 8 == 0 ? c - 1 - random() % 19 : c};
            for (const std::uint64_t p : parents) {
                if (p == c) continue;
                std::fprintf(text, "%llu edge %llu\n", static_cast<unsigned long long>(c),
                             static_cast<unsigned long long>(p));
                std::fprintf(tsv, "%s\t%s\n", commitHash(c).c_str(), commitHash(p).c_str());
            }
        }
        std::fclose(text);
        std::fclose(tsv);
        written = true;
    }
    return paths[labelled ? 1 : 0];
}

// Argument: 0 for node numbers, 1 for hexadecimal labels. Items are edges read.
void ReduceHistoryFile(benchmark::State& state) {
    const std::string& input = historyFile(state.range(0) != 0);
    const std::string output =
        benchFile(state.range(0) ? "fwprune-bench-reduced.tsv" : "fwprune-bench-reduced.txt");
    fwprune::RunOptions options;
    options.inputFormat = fwprune::FileFormat::Auto;
    options.outputFormat = fwprune::FileFormat::Auto;
    fwprune::RunStats stats;
    options.stats = &stats;
    for (auto _ : state) fwprune::runTransitiveReductionPipeline(input, output, options);
    state.SetItemsProcessed(state.iterations() * stats.edgesIn);
    state.counters["read_s"] = stats.seconds[0];
    state.counters["reduce_s"] = stats.seconds[1];
    state.counters["write_s"] = stats.seconds[2];
    std::remove(output.c_str());
}
BENCHMARK(ReduceHistoryFile)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same matrix as text and as float32 .npy, read (argument 0) and written (1); bytes are the
// file's.
void NpyBesideText(benchmark::State& state, bool npy, bool write) {
    const int n = 2048;
    const std::string text = matrixText(n);
    const fwprune::WeightMatrix m = fwprune::parseWeightMatrix(text, "bench");
    const std::string path = benchFile(npy ? "fwprune-bench-m.npy" : "fwprune-bench-m.txt");
    npy ? fwprune::writeNpyMatrix(m, path) : fwprune::writeWeightMatrix(m, path);
    const auto bytes = static_cast<std::int64_t>(std::filesystem::file_size(path));
    for (auto _ : state) {
        if (write) {
            npy ? fwprune::writeNpyMatrix(m, path) : fwprune::writeWeightMatrix(m, path, 2);
        } else {
            benchmark::DoNotOptimize(npy ? fwprune::readNpyMatrix(path, 2)
                                         : fwprune::readWeightMatrix(path, false, 2));
        }
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["cells_per_s"] =
        benchmark::Counter(double(state.iterations()) * n * n, benchmark::Counter::kIsRate);
    std::remove(path.c_str());
}
BENCHMARK_CAPTURE(NpyBesideText, read_text, false, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(NpyBesideText, read_npy, true, false)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(NpyBesideText, write_text, false, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK_CAPTURE(NpyBesideText, write_npy, true, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
