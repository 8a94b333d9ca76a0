#!/usr/bin/env python3
"""Times fwprune's reduction against the pruned-search yardstick on sparse graphs of many
shapes, under several node numberings, at 1x, 2x, 4x and 8x sizes, and checks they agree.

Every tool runs file to file as its own process; the best of --repeats runs (wall time) and
the CPU time (user + system) of that run are reported.  See README.md.
"""

import argparse
import os
import resource
import subprocess
import sys
import time

import compare_peers as cp

# Shapes: name -> (generator, what 1x means).  Each generator returns (src, dst, n) with every
# edge going from a lower to a higher number (histories: from child to parent, in time order,
# so every edge goes down), in the order a tool would list them.
SHAPES = {}


def shape(name, doc):
    def register(fn):
        SHAPES[name] = (fn, doc)
        return fn
    return register


@shape("chain-leaves", "a chain of 25k nodes, each with 8 leaves numbered after the chain")
def chain_leaves(scale, rng):
    import numpy as np
    c = 25_000 * scale
    chain = np.arange(c - 1)
    node = np.repeat(np.arange(c), 8)
    leaf = c + np.arange(8 * c)
    return np.concatenate([chain, node]), np.concatenate([chain + 1, leaf]), 9 * c


@shape("star-chains", "a hub with edges to 64 chains of 4000 nodes")
def star_chains(scale, rng):
    import numpy as np
    k, length = 64, 4000 * scale
    heads = 1 + np.arange(k) * length
    inner = (1 + np.arange(k * length)).reshape(k, length)[:, :-1].ravel()
    return np.concatenate([np.zeros(k, dtype=np.int64), inner]), np.concatenate([heads, inner + 1]), 1 + k * length


@shape("bipartite", "250 layers of 32 nodes, each layer's nodes all joined to the next layer's")
def bipartite(scale, rng):
    import numpy as np
    w, layers = 32, 250 * scale
    layer, p, q = np.meshgrid(np.arange(layers - 1), np.arange(w), np.arange(w), indexing="ij")
    a, b = (layer * w + p).ravel(), ((layer + 1) * w + q).ravel()
    return a, b, w * layers


@shape("chain-shortcuts", "a chain of 200k nodes and 50k random shortcuts along it")
def chain_shortcuts(scale, rng):
    import numpy as np
    n = 200_000 * scale
    s = rng.integers(0, n, size=(2, 50_000 * scale))
    lo, hi = s.min(axis=0), s.max(axis=0)
    ok = hi - lo > 1
    chain = np.arange(n - 1)
    src, dst = np.concatenate([chain, lo[ok]]), np.concatenate([chain + 1, hi[ok]])
    order = np.lexsort((dst, src))
    return src[order], dst[order], n


@shape("hub", "a hub with an edge to each of 80k nodes of a local DAG (2 sources a node)")
def hub(scale, rng):
    import numpy as np
    n = 80_000 * scale
    src, dst = cp.local_dag(n, 2, rng)
    everyone = np.arange(1, n + 1)
    return np.concatenate([np.zeros(n, dtype=np.int64), src + 1]), np.concatenate([everyone, dst + 1]), n + 1


@shape("local", "a random local DAG of 25k nodes, 10 sources a node, 98% from the 300 before")
def local(scale, rng):
    n = 25_000 * scale
    src, dst = cp.local_dag(n, 10, rng)
    return src, dst, n


@shape("history", "a version history of 220k commits, edges child -> parent")
def history(scale, rng):
    n = 220_000 * scale
    src, dst = cp.version_history(n, rng)
    return src, dst, n


@shape("deps", "a package-dependency graph, 60k packages, 250k edges, cycles")
def deps(scale, rng):
    n = 60_000 * scale
    # Generated with shuffled labels already; that stands for names in alphabetical order.
    src, dst = cp.dependencies(n, 250_000 * scale, rng)
    return src, dst, n


# Numberings: how the file numbers the generated nodes.
NUMBERINGS = ("order", "reversed", "shuffled", "relabelled", "spread", "firstseen")


def renumber(src, dst, n, numbering, rng):
    import numpy as np
    if numbering == "order":
        return src, dst
    if numbering == "reversed":
        return n - 1 - src, n - 1 - dst
    if numbering == "shuffled":
        label = rng.permutation(n)
        order = rng.permutation(src.size)  # the records' order carries no hint either
        return label[src][order], label[dst][order]
    if numbering == "relabelled":
        # Numbers given at random (ids from a database), the records still in the order a tool
        # lists them.
        label = rng.permutation(n)
        return label[src], label[dst]
    if numbering == "firstseen":
        # In order of first appearance in the records, source before target, as a labelled
        # file numbers its nodes (a history listed child, parent: every edge down but the first).
        both = np.stack([src, dst], axis=1).ravel()
        nodes, first = np.unique(both, return_index=True)
        label = np.full(n, -1, dtype=np.int64)
        label[nodes[np.argsort(first)]] = np.arange(nodes.size)
        unseen = label < 0
        label[unseen] = nodes.size + np.arange(int(unseen.sum()))
        return label[src], label[dst]
    # spread: the same order, numbers drawn from 0 .. 2^31 - 1
    label = np.sort(rng.choice(2 ** 31 - 1, size=n, replace=False)) if n < 2 ** 24 else \
        np.unique(rng.integers(0, 2 ** 31 - 1, size=n + n // 8))[:n]
    assert label.size == n
    return label[src], label[dst]


def write_edges(path, src, dst):
    """Writes "%d edge %d" lines quickly: numpy formats the numbers, one join writes them."""
    import numpy as np
    def write(f):
        for at in range(0, src.size, 1 << 20):  # in pieces, so that 20M edges fit in memory
            piece = np.char.add(np.char.add(src[at:at + (1 << 20)].astype(str), " edge "),
                                dst[at:at + (1 << 20)].astype(str))
            f.write("\n".join(piece.tolist()) + "\n")
    cp.write_atomically(path, write)


def prepare(shape_name, scale, numbering, data_dir, seed):
    path = os.path.join(data_dir, f"{shape_name}-x{scale}-{numbering}-s{seed}.edges")
    if not os.path.exists(path):
        rng = cp.rng_for(seed, f"{shape_name}-x{scale}")
        src, dst, n = SHAPES[shape_name][0](scale, rng)
        src, dst = renumber(src, dst, n, numbering, cp.rng_for(seed, f"{shape_name}-x{scale}-{numbering}"))
        write_edges(path, src, dst)
    return path


def run(argv, cap):
    """(wall seconds, CPU seconds) of one run, or raises."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    t0 = time.perf_counter()
    proc = subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=cap)
    wall = time.perf_counter() - t0
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if proc.returncode != 0:
        raise RuntimeError(f"{argv[0]} exit {proc.returncode}: {proc.stderr.decode(errors='replace')[-300:]}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return wall, cpu


def best_of(argv, repeats, cap, slow):
    """(least wall time, least CPU time) of the runs: on a shared machine the CPU time is the
    steadier figure."""
    walls, cpus = [], []
    for _ in range(repeats):
        wall, cpu = run(argv, cap)
        walls.append(wall)
        cpus.append(cpu)
        if wall > slow:
            break
    return min(walls), min(cpus)


def show(timing, cap):
    return f"> {cap:g}" if timing == "capped" else f"{timing[0]:.3f} ({timing[1]:.3f})"


def speedup(fw, ys, cap, which=0):
    """Yardstick / fwprune, on wall (which=0) or CPU time (which=1)."""
    if fw == "capped":
        return "-"
    if ys == "capped":
        return f"> {cap / fw[0]:.0f}×" if which == 0 else "-"
    ratio = ys[which] / max(fw[which], 1e-3)
    return f"{ratio:.1f}×" if ratio < 10 else f"{ratio:.0f}×"


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--fwprune", default=os.path.join(cp.REPO, "build", "bin", "fwprune"))
    ap.add_argument("--fwprune-arg", action="append", default=[], metavar="ARG")
    ap.add_argument("--shapes", default=",".join(SHAPES), help="comma-separated, default all")
    ap.add_argument("--numberings", default=",".join(NUMBERINGS), help="comma-separated, default all")
    ap.add_argument("--scales", default="1,2,4,8", help="size multiples (default %(default)s)")
    ap.add_argument("--repeats", type=int, default=3, help="runs per tool and input; the best is reported")
    ap.add_argument("--cap", type=float, default=60.0, help="per-run time cap; past it a tool skips larger sizes")
    ap.add_argument("--slow", type=float, default=5.0, help="runs longer than this are not repeated")
    ap.add_argument("--seed", type=int, default=20240601)
    ap.add_argument("--workdir", default="/tmp/fwprune-bench")
    ap.add_argument("--out", default=os.path.join(cp.HERE, "out", "sparse_shapes.md"))
    args = ap.parse_args()

    fwprune = os.path.abspath(args.fwprune)
    if not os.access(fwprune, os.X_OK):
        sys.exit(f"fwprune not found at {fwprune}; build it or pass --fwprune PATH")
    data_dir = os.path.join(args.workdir, "shapes")
    out_dir = os.path.join(args.workdir, "shapes-out")
    os.makedirs(data_dir, exist_ok=True)
    os.makedirs(out_dir, exist_ok=True)
    yardstick = os.path.join(args.workdir, "build", "pruned_search")
    source = os.path.join(cp.PEERS, "pruned_search.cpp")
    if not os.path.exists(yardstick) or os.path.getmtime(yardstick) < max(
            os.path.getmtime(source), os.path.getmtime(os.path.join(cp.PEERS, "edge_io.hpp"))):
        os.makedirs(os.path.dirname(yardstick), exist_ok=True)
        print("compiling pruned_search (-O3 -march=native)", flush=True)
        subprocess.run(["g++", "-std=c++17", "-O3", "-march=native", "-o", yardstick, source], check=True)

    shapes = args.shapes.split(",")
    numberings = args.numberings.split(",")
    scales = [int(s) for s in args.scales.split(",")]
    unknown = set(shapes) - set(SHAPES) | set(numberings) - set(NUMBERINGS)
    if unknown:
        sys.exit(f"unknown shape or numbering: {', '.join(sorted(unknown))}")
    capped = set()
    rows, problems = [], []
    for name in shapes:
        for numbering in numberings:
            for scale in scales:
                path = prepare(name, scale, numbering, data_dir, args.seed)
                with open(path, "rb") as f:
                    edges = sum(chunk.count(b"\n") for chunk in iter(lambda: f.read(1 << 24), b""))
                mine = os.path.join(out_dir, "fwprune.edges")
                theirs = os.path.join(out_dir, "yardstick.edges")

                def timed(tool, argv):
                    # A tool past the cap skips the larger sizes of this shape and numbering.
                    if (tool, name, numbering) in capped:
                        return "capped"
                    try:
                        return best_of(argv, args.repeats, args.cap, args.slow)
                    except subprocess.TimeoutExpired:
                        capped.add((tool, name, numbering))
                        return "capped"

                fw = timed("fwprune", [fwprune, "reduce", path, mine] + args.fwprune_arg)
                ys = timed("yardstick", [yardstick, path, theirs])
                if fw != "capped" and ys != "capped":
                    with open(mine, "rb") as a, open(theirs, "rb") as b:
                        if a.read() != b.read():
                            problems.append(f"{name} x{scale} {numbering}: outputs differ")
                rows.append((name, numbering, scale, edges, fw, ys))
                print(f"{name:16} {numbering:9} x{scale:<2} {edges:>10} edges  fwprune {show(fw, args.cap)}  "
                      f"yardstick {show(ys, args.cap)}  {speedup(fw, ys, args.cap)} wall, "
                      f"{speedup(fw, ys, args.cap, 1)} CPU", flush=True)

    head = ["shape", "numbering", "size", "edges", "fwprune s (CPU s)", "yardstick s (CPU s)",
            "speed-up wall", "speed-up CPU", "fwprune CPU ns/edge"]
    lines = ["# fwprune against the pruned-search yardstick", "",
             f"Machine: {cp.cpu_name()}, {os.cpu_count()} cores; load average {os.getloadavg()[0]:.1f} at the end. "
             f"Least wall time and least CPU time (user + system, in brackets) of {args.repeats} file-to-file "
             f"runs; cap {args.cap:g} s.", "",
             "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for name, numbering, scale, edges, fw, ys in rows:
        lines.append("| " + " | ".join([
            name, numbering, f"{scale}x", str(edges), show(fw, args.cap), show(ys, args.cap),
            speedup(fw, ys, args.cap), speedup(fw, ys, args.cap, 1),
            "-" if fw == "capped" else f"{1e9 * fw[1] / max(edges, 1):.0f}"]) + " |")
    lines += ["", "Shapes at 1x: " + "; ".join(f"{k}: {v[1]}" for k, v in SHAPES.items()) + "."]
    if problems:
        lines += ["", "**Problems:**", ""] + [f"- {p}" for p in problems]
    report = "\n".join(lines) + "\n"
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(report)
    print()
    print(report)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
