#!/usr/bin/env python3
"""Times fwprune against peer tools on the same input files and checks they agree.

Every tool runs file to file (read input, compute, write output) as a separate
process; the median wall time of --repeats runs is reported.  See README.md.
"""

import argparse
import importlib.util
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import time
import zlib
from dataclasses import dataclass, field

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
PEERS = os.path.join(HERE, "peers")
sys.path.insert(0, PEERS)

# Debian packages: name -> check that it is already present.
APT_PEERS = {
    # Boost Graph headers, for the boost::transitive_reduction driver.
    "libboost-graph-dev": lambda: os.path.exists("/usr/include/boost/graph/transitive_reduction.hpp"),
    # Graphviz, whose `tred` command is a reduction peer.
    "graphviz": lambda: shutil.which("tred") is not None,
    # Compiler for the two C++ peer drivers.
    "g++": lambda: shutil.which("g++") is not None,
}
# PyPI packages (module name == package name).
PIP_PEERS = [
    "numpy",     # input generation, the vectorised minimax peer, result checks
    "networkx",  # networkx.transitive_reduction peer
]

# Growth of each job's cost with n, used to predict whether the next size
# would blow the time cap (fixed out-degree: ~n*m = n^2; fixed p or dense: n^3).
GROWTH = {"deg": 2.0, "p": 3.0, "matrix": 3.0, "history": 2.0, "local": 2.0, "deps": 2.0}
# Measured growth beats the model once data leaves the caches, so a peer is
# skipped when its prediction exceeds cap / HEADROOM rather than the cap.
HEADROOM = 1.5


# --------------------------------------------------------------------------- setup

def ensure_peers(no_install):
    missing_apt = [pkg for pkg, present in APT_PEERS.items() if not present()]
    missing_pip = [m for m in PIP_PEERS if importlib.util.find_spec(m) is None]
    if not missing_apt and not missing_pip:
        return
    if no_install:
        sys.exit(f"missing peers (apt: {missing_apt}, pip: {missing_pip}); rerun without --no-install")
    if missing_apt:
        sudo = [] if os.geteuid() == 0 else ["sudo"]
        env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
        print(f"installing Debian packages: {' '.join(missing_apt)}", flush=True)
        subprocess.run(sudo + ["apt-get", "update"], check=True, env=env, stdout=subprocess.DEVNULL)
        subprocess.run(sudo + ["apt-get", "install", "-y", "--no-install-recommends"] + missing_apt,
                       check=True, env=env, stdout=subprocess.DEVNULL)
    if missing_pip:
        print(f"installing PyPI packages: {' '.join(missing_pip)}", flush=True)
        subprocess.run([sys.executable, "-m", "pip", "install", "--quiet"] + missing_pip, check=True)
        importlib.invalidate_caches()


def build_cpp_peers(build_dir):
    """Compiles the C++ drivers once; rebuilds only when a source is newer."""
    os.makedirs(build_dir, exist_ok=True)
    header = os.path.join(PEERS, "edge_io.hpp")
    binaries = {}
    for name in ("boost_tred", "minimax_loop"):
        src = os.path.join(PEERS, name + ".cpp")
        out = os.path.join(build_dir, name)
        newest = max(os.path.getmtime(src), os.path.getmtime(header))
        if not os.path.exists(out) or os.path.getmtime(out) < newest:
            print(f"compiling {name} (-O3 -march=native)", flush=True)
            subprocess.run(["g++", "-std=c++17", "-O3", "-march=native", "-o", out, src], check=True)
        binaries[name] = out
    return binaries


# --------------------------------------------------------------------------- inputs

@dataclass
class Input:
    name: str
    job: str        # "reduce" or "weighted"
    family: str     # inputs of one family grow only in n; caps carry over within it
    growth: str     # key of GROWTH
    n: int
    param: float    # out-degree, edge probability, or unused
    path: str = ""
    dot_path: str = ""
    edges_in: int = 0


MATRIX_KINDS = ("mixed", "uniform", "symmetric")


def input_plan(quick, with_p4000, matrix_sizes=None, matrix_kinds=("mixed",)):
    dag_sizes = [1000] if quick else [1000, 2000, 4000]
    p_sizes = [1000] if quick else ([1000, 2000, 4000] if with_p4000 else [1000, 2000])
    mat_sizes = matrix_sizes or ([512, 1024] if quick else [512, 1024, 2048, 4096])
    plan = []
    for d in (4, 32):
        plan += [Input(f"dag-deg{d}-n{n}", "reduce", f"deg{d}", "deg", n, d) for n in dag_sizes]
    plan += [Input(f"dag-p0.1-n{n}", "reduce", "p0.1", "p", n, 0.1) for n in p_sizes]
    # The sparse graphs people reduce: (a) a version history, (b) a random local DAG, (c) a
    # package dependency graph with cycles.
    plan += [Input("deps-n60000", "reduce", "deps", "deps", 60_000, 250_000)]
    if not quick:
        plan += [Input("history-n1000000", "reduce", "history", "history", 1_000_000, 0),
                 Input("local-n100000", "reduce", "local", "local", 100_000, 10)]
    # Weight matrices: "mixed" keeps a sizeable set of surviving cells (see weight_matrix);
    # "uniform" is plain uniform weights in [0, 1); "symmetric" the same mirrored across the
    # diagonal (distance and correlation matrices), which the ordered route answers with a
    # spanning tree.
    for kind in matrix_kinds:
        stem = "matrix" if kind == "mixed" else kind
        plan += [Input(f"{stem}-n{n}", "weighted", stem, "matrix", n, 0) for n in mat_sizes]
    return plan


def rng_for(seed, name):
    import numpy as np
    return np.random.default_rng([seed, zlib.crc32(name.encode())])


def random_dag(inp, rng):
    """Edges (src, dst) of a random DAG whose topological order is hidden by
    shuffling node numbers, so no tool gets a pre-sorted graph."""
    import numpy as np
    n = inp.n
    if inp.growth == "p":
        # Each forward pair of the hidden order is an edge with probability p.
        a, b = np.nonzero(np.triu(rng.random((n, n), dtype=np.float32) < inp.param, k=1))
    else:
        # Exactly n*d distinct forward pairs, uniformly chosen.
        m = int(n * inp.param)
        keys = np.empty(0, dtype=np.int64)
        while keys.size < m:
            x = rng.integers(0, n, size=2 * m)
            y = rng.integers(0, n, size=2 * m)
            ok = x != y
            lo, hi = np.minimum(x[ok], y[ok]), np.maximum(x[ok], y[ok])
            keys = np.unique(np.concatenate([keys, lo.astype(np.int64) * n + hi]))
        keys = rng.permutation(keys)[:m]
        a, b = keys // n, keys % n
    label = rng.permutation(n)
    order = rng.permutation(a.size)  # record order carries no hint either
    return label[a][order], label[b][order]


def version_history(n, rng):
    """Commits numbered in time order, edges child -> parent: a main line, up to 16 branches
    forking from recent main commits and merging back, and a fifth of merges bringing in a
    commit the main line already has (a redundant parent)."""
    import numpy as np
    src = np.empty(2 * n, dtype=np.int64)
    dst = np.empty(2 * n, dtype=np.int64)
    m, main, branches, recent = 0, 0, [], [0]
    draws, picks = rng.random(n), rng.integers(0, 1 << 30, size=n)
    for c in range(1, n):
        x, p = draws[c], int(picks[c])
        if x < 0.04 and len(branches) < 16:
            branches.append(recent[-1 - p % min(len(recent), 30)])
            src[m], dst[m] = c, main
            m, main = m + 1, c
            recent.append(c)
        elif x < 0.55 or not branches:
            src[m], dst[m] = c, main
            m, main = m + 1, c
            recent.append(c)
        elif x < 0.93:
            b = p % len(branches)
            src[m], dst[m] = c, branches[b]
            m, branches[b] = m + 1, c
        else:
            tip = branches.pop(p % len(branches))
            if (p >> 8) % 5 == 0:
                tip = recent[-1 - (p >> 12) % min(len(recent), 50)]
            src[m], dst[m], src[m + 1], dst[m + 1] = c, main, c, tip
            m, main = m + 2, c
            recent.append(c)
        if len(recent) > 64:
            del recent[:32]
    return src[:m], dst[:m]


def local_dag(n, degree, rng):
    """Each node draws `degree` sources, 98% from the 300 nodes just before it, 2% from
    anywhere before it."""
    import numpy as np
    v = np.repeat(np.arange(1, n), degree)
    back = rng.integers(1, 301, size=v.size)
    far = rng.random(v.size) < 0.02
    back[far] = rng.integers(1, n, size=int(far.sum()))
    back = np.minimum(back, v)
    return v - back, v


def dependencies(n, m, rng):
    """Package -> dependency edges, about m of them: out-degrees from a power law, popular
    (early) packages depended on most, 0.3% of edges reversed to close cycles; labels shuffled."""
    import numpy as np
    k = np.minimum(rng.zipf(2.2, size=n), 200)
    k = np.maximum(1, (k * (m / k.sum())).astype(np.int64))
    v = np.repeat(np.arange(n), k)
    v = v[v > 0]
    u = (v * rng.random(v.size) ** 3).astype(np.int64)
    back = rng.random(v.size) < 0.003
    u[back], v[back] = v[back], u[back]
    label = rng.permutation(n)
    return label[v], label[u]


def sparse_graph(inp, rng):
    if inp.growth == "history":
        return version_history(inp.n, rng)
    if inp.growth == "local":
        return local_dag(inp.n, int(inp.param), rng)
    return dependencies(inp.n, int(inp.param), rng)


def weight_matrix(n, lower, rng):
    """Dense float32 weights in (0,1), diagonal 0.  Most cells lie in (L,1) and
    about one cell per two rows in (0,L]: the cells at or below L that are
    never pruned then stay too sparse to connect the graph, so many cells
    above L survive too and the outputs depend on the whole computation (with
    plain uniform weights and L=0.1 every cell above L gets pruned)."""
    import numpy as np
    one = np.float32(1)
    low_l = np.float32(lower)
    m = low_l + (one - low_l) * rng.random((n, n), dtype=np.float32)
    np.clip(m, np.nextafter(low_l, one), np.nextafter(one, np.float32(0)), out=m)
    low = rng.random((n, n)) < 0.5 / n
    m[low] = low_l * (one - rng.random(int(low.sum()), dtype=np.float32))
    np.fill_diagonal(m, 0)
    return m


def write_atomically(path, writer):
    tmp = path + ".tmp"
    with open(tmp, "w", newline="\n") as f:
        writer(f)
    os.replace(tmp, path)


def prepare_input(inp, data_dir, seed, lower):
    """Generates the input file (cached by name and seed) and, for reductions,
    the DOT copy that tred reads; conversion is not part of any timing."""
    import numpy as np
    import textio
    stem = os.path.join(data_dir, f"{inp.name}-s{seed}")
    if inp.job == "reduce":
        inp.path, inp.dot_path = stem + ".edges", stem + ".dot"
        if not (os.path.exists(inp.path) and os.path.exists(inp.dot_path)):
            make = random_dag if inp.growth in ("p", "deg") else sparse_graph
            src, dst = make(inp, rng_for(seed, inp.name))
            write_atomically(inp.path, lambda f: f.write(textio.format_edges(src, dst)))
            write_atomically(inp.dot_path, lambda f: f.write(
                "digraph G {\n" + "".join(f"{s} -> {t};\n" for s, t in zip(src.tolist(), dst.tolist())) + "}\n"))
        src, dst = textio.read_edges(inp.path)
        inp.edges_in = int(src.size)
        inp.n = int(max(src.max(), dst.max())) + 1
    else:
        mixed = inp.family == "matrix"
        inp.path = stem + (f"-L{lower:g}.mat" if mixed else ".mat")
        if not os.path.exists(inp.path):
            rng = rng_for(seed, inp.name)
            if mixed:
                m = weight_matrix(inp.n, lower, rng)
            else:
                m = rng.random((inp.n, inp.n), dtype=np.float32)
                if inp.family == "symmetric":
                    m = np.triu(m) + np.triu(m, 1).T
            fmt = " ".join(["%.9g"] * inp.n) + "\n"
            write_atomically(inp.path, lambda f: [f.write(fmt % tuple(row.tolist())) for row in m])
        inp.edges_in = inp.n * inp.n


# --------------------------------------------------------------------------- tools

@dataclass
class Tool:
    name: str
    job: str
    kind: str                        # "fwprune", "edges" (writes edge list), "dot", "weighted"
    argv: object                     # callable(inp, outdir) -> (argv, stdout path or None)
    is_subject: bool = False


# Peers that cannot take an input: None, or why not. Boost and networkx accept DAGs only;
# tred reduces cyclic graphs by other rules. Boost keeps n^2 bits of reachability and networkx a
# descendant set per node, so graphs past these sizes would exhaust this machine's memory.
def unsuited(tool, inp):
    if tool.name in ("boost", "networkx", "tred") and inp.growth == "deps":
        return "n/a (cycles)"
    if tool.name == "boost" and inp.n > 150_000:
        return f"n/a ({inp.n ** 2 / 8e9:.0f} GB)"
    if tool.name == "networkx" and inp.n > 150_000:
        return "n/a (memory)"
    if tool.name == "release" and inp.job == "reduce" and inp.n > 46340:
        return "n/a (over 46340 nodes)"
    return None


def make_tools(fwprune, extra, binaries, lower, upper, baseline=None):
    py = sys.executable
    lo, up = repr(float(lower)), repr(float(upper))

    def out(d, f):
        return os.path.join(d, f)

    release = []
    if baseline:
        # An earlier fwprune as one more peer, to quote figures against the last release.
        release = [
            Tool("release", "reduce", "edges",
                 lambda i, d: ([baseline, "reduce", i.path, out(d, "release.edges")], None)),
            Tool("release", "weighted", "weighted",
                 lambda i, d: ([baseline, "weakest-link", i.path, out(d, "release.edges"),
                                out(d, "release.mat"), "--lower", lo, "--upper", up], None)),
        ]
    return release + [
        Tool("fwprune", "reduce", "edges",
             lambda i, d: ([fwprune, "reduce", i.path, out(d, "fwprune.edges")] + extra, None), True),
        Tool("boost", "reduce", "edges",
             lambda i, d: ([binaries["boost_tred"], i.path, out(d, "boost.edges")], None)),
        Tool("networkx", "reduce", "edges",
             lambda i, d: ([py, os.path.join(PEERS, "nx_reduce.py"), i.path, out(d, "networkx.edges")], None)),
        Tool("tred", "reduce", "dot",
             lambda i, d: (["tred", i.dot_path], out(d, "tred.dot"))),
        Tool("fwprune", "weighted", "weighted",
             lambda i, d: ([fwprune, "weakest-link", i.path, out(d, "fwprune.edges"), out(d, "fwprune.mat"),
                            "--lower", lo, "--upper", up] + extra, None), True),
        # The same binary held to the n sweeps, to show what the ordered route saves.
        Tool("sweeps", "weighted", "weighted",
             lambda i, d: ([fwprune, "weakest-link", i.path, out(d, "sweeps.edges"), out(d, "sweeps.mat"),
                            "--lower", lo, "--upper", up, "--route", "sweeps"] + extra, None)),
        Tool("numpy", "weighted", "weighted",
             lambda i, d: ([py, os.path.join(PEERS, "np_minimax.py"), i.path, out(d, "numpy.edges"),
                            out(d, "numpy.mat"), "--lower", lo, "--upper", up], None)),
        Tool("c++ loop", "weighted", "weighted",
             lambda i, d: ([binaries["minimax_loop"], i.path, out(d, "c++ loop.edges"), out(d, "c++ loop.mat"),
                            "--lower", lo, "--upper", up], None)),
    ]


@dataclass
class Cell:
    status: str = "ok"       # ok, timeout, skipped, failed
    times: list = field(default_factory=list)
    note: str = ""

    @property
    def median(self):
        return statistics.median(self.times) if self.times else None


def run_once(argv, stdout_path, cap):
    """Wall time of one run, or raises subprocess.TimeoutExpired / RuntimeError."""
    with open(stdout_path or os.devnull, "wb") as so:
        t0 = time.perf_counter()
        proc = subprocess.run(argv, stdout=so, stderr=subprocess.PIPE, timeout=cap)
        elapsed = time.perf_counter() - t0
    if proc.returncode != 0:
        err = proc.stderr.decode(errors="replace").strip().splitlines()
        raise RuntimeError(f"exit {proc.returncode}: {err[-1] if err else ''}")
    return elapsed


def time_tool(tool, inp, outdir, args, history):
    """Runs one tool on one input; history[(tool, family)] = (n, seconds or None if over cap)."""
    reason = unsuited(tool, inp)
    if reason:
        return Cell("skipped", note=reason)
    key = (tool.name, inp.family)
    prev = history.get(key)
    if prev:
        prev_n, prev_t = prev
        if prev_t is None:
            return Cell("skipped", note="skipped (>cap)")
        # The sweeps cost n^3 whatever the edge count; fwprune itself is bounded by the same.
        growth = 3.0 if tool.is_subject or tool.name in ("release", "sweeps") else GROWTH[inp.growth]
        est = prev_t * (inp.n / prev_n) ** growth
        if est > args.cap / HEADROOM:
            history[key] = (inp.n, None)
            return Cell("skipped", note=f"skipped (>cap, est. {est:.0f} s)")
    cell = Cell()
    for rep in range(args.repeats):
        for stale in os.listdir(outdir):
            if stale.startswith(tool.name + "."):
                os.remove(os.path.join(outdir, stale))
        argv, stdout_path = tool.argv(inp, outdir)
        try:
            cell.times.append(run_once(argv, stdout_path, args.cap))
        except subprocess.TimeoutExpired:
            history[key] = (inp.n, None)
            return Cell("timeout", note=f"> {args.cap:g} (cap)")
        except (RuntimeError, OSError) as ex:
            return Cell("failed", note=f"FAILED ({ex})")
        # One run is enough for slow cells: its noise is small relative to it.
        if cell.times[-1] > args.slow:
            break
    history[key] = (inp.n, cell.median)
    return cell


# --------------------------------------------------------------------------- checks

EDGE_LINE = re.compile(rb"(\d+) edge (\d+)\n")
E_TOKEN = rb"(?:-?\d\.\d{6}e[+-]\d{3}|-?nan|-?inf)"


def edge_keys(path, n, strict):
    """Sorted int64 keys src*n+dst; with strict, also enforces the exact
    output format (one "%d edge %d" per line, sorted, no duplicates)."""
    import numpy as np
    import textio
    problems = []
    if strict:
        with open(path, "rb") as f:
            data = f.read()
        if EDGE_LINE.sub(b"", data):
            problems.append("lines not of the form '%d edge %d\\n'")
    src, dst = textio.read_edges(path)
    keys = src * n + dst
    if strict and keys.size and not np.all(keys[1:] > keys[:-1]):
        problems.append("not sorted by source then target, or duplicated")
    return np.unique(keys), problems


def dot_keys(path, n):
    import numpy as np
    with open(path, "rb") as f:
        pairs = re.findall(rb"^\s*\"?(\d+)\"?\s*->\s*\"?(\d+)\"?", f.read(), flags=re.M)
    keys = np.array([int(s) * n + int(t) for s, t in pairs], dtype=np.int64)
    return np.unique(keys), []


def describe_diff(a, b, n, name_a, name_b):
    import numpy as np
    only_a, only_b = np.setdiff1d(a, b), np.setdiff1d(b, a)
    show = lambda k: ", ".join(f"{x // n}->{x % n}" for x in k[:5].tolist())
    return (f"{only_a.size} edges only in {name_a} ({show(only_a)}), "
            f"{only_b.size} only in {name_b} ({show(only_b)})")


def matrix_format_problems(path, n):
    line_re = re.compile(rb"(?:" + E_TOKEN + rb" ){%d}" % (n - 1) + E_TOKEN)
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    else:
        return ["missing final LF"]
    if len(lines) != n:
        return [f"{len(lines)} lines, expected {n}"]
    bad = [i for i, line in enumerate(lines) if not line_re.fullmatch(line)]
    return [f"{len(bad)} lines not in '%e' 3-digit-exponent format (first: line {bad[0] + 1})"] if bad else []


def check_agreement(inp, tools, cells, outdir, log):
    """Returns a list of problems; every tool that produced output is compared
    with the subject (or, without it, with the first peer that ran)."""
    import numpy as np
    import textio
    ran = [t for t in tools if cells[t.name].status == "ok"]
    problems = []
    results = {}
    kept = None
    in_keys = edge_keys(inp.path, inp.n, strict=False)[0] if inp.job == "reduce" else None
    for t in ran:
        base = os.path.join(outdir, t.name)
        if t.job == "reduce":
            keys, probs = (dot_keys(base + ".dot", inp.n) if t.kind == "dot"
                           else edge_keys(base + ".edges", inp.n, strict=True))
            problems += [f"{t.name}: {p}" for p in probs]
            if not np.isin(keys, in_keys).all():
                problems.append(f"{t.name}: output has edges that are not in the input")
            results[t.name] = keys
            kept = keys.size if kept is None else kept
        else:
            keys, probs = edge_keys(base + ".edges", inp.n, strict=True)
            problems += [f"{t.name}: EDGES {p}" for p in probs]
            problems += [f"{t.name}: MATRIX {p}" for p in matrix_format_problems(base + ".mat", inp.n)]
            results[t.name] = (keys, base)
            kept = keys.size if kept is None else kept
    if len(ran) < 2:
        return problems, kept
    ref = ran[0]
    for t in ran[1:]:
        if t.job == "reduce":
            if not np.array_equal(results[ref.name], results[t.name]):
                problems.append(f"{ref.name} vs {t.name}: "
                                f"{describe_diff(results[ref.name], results[t.name], inp.n, ref.name, t.name)}")
            continue
        (ka, base_a), (kb, base_b) = results[ref.name], results[t.name]
        if not np.array_equal(ka, kb):
            problems.append(f"{ref.name} vs {t.name}: EDGES differ: {describe_diff(ka, kb, inp.n, ref.name, t.name)}")
        if not filecmp_fast(base_a + ".mat", base_b + ".mat"):
            ma, mb = textio.read_matrix(base_a + ".mat"), textio.read_matrix(base_b + ".mat")
            if ma.shape != mb.shape:
                problems.append(f"{ref.name} vs {t.name}: MATRIX shapes {ma.shape} vs {mb.shape}")
            elif not np.allclose(ma, mb, rtol=1e-6, atol=0, equal_nan=True):
                bad = ~np.isclose(ma, mb, rtol=1e-6, atol=0, equal_nan=True)
                i, j = map(int, np.argwhere(bad)[0])
                problems.append(f"{ref.name} vs {t.name}: MATRIX differs in {int(bad.sum())} cells "
                                f"(first [{i}][{j}]: {ma[i, j]!r} vs {mb[i, j]!r})")
            else:
                log(f"    note: {ref.name} and {t.name} MATRIX text differs but values agree")
    return problems, kept


def filecmp_fast(a, b):
    import filecmp
    return filecmp.cmp(a, b, shallow=False)


# --------------------------------------------------------------------------- report

def fmt_time(cell):
    if cell is None:
        return ""
    if cell.status != "ok":
        return cell.note if cell.status != "failed" else "FAILED"
    t = cell.median
    s = f"{t:.3f}" if t < 10 else f"{t:.1f}"
    return s + ("¹" if len(cell.times) == 1 else "")


def fmt_speedup(subject, peer, cap):
    if subject is None or peer is None or subject.status != "ok":
        return ""
    fw = subject.median
    if peer.status == "ok":
        r = peer.median / fw
        return f"{r:.2g}×" if r < 10 else f"{r:.0f}×"
    if peer.status in ("timeout", "skipped") and not peer.note.startswith("n/a"):
        return f"> {cap / fw:.0f}×"
    return ""


def markdown_tables(rows, tools, cap):
    out = []
    for job, title in (("reduce", "Reduction: edge list in, surviving edges out"),
                       ("weighted", "Weakest-link pruning: weight matrix in, EDGES + MATRIX out")):
        job_rows = [r for r in rows if r[0].job == job]
        if not job_rows:
            continue
        names = [t.name for t in tools if t.job == job]
        peers = [t.name for t in tools if t.job == job and not t.is_subject]
        head = (["input", "n", "edges in", "edges out"] + [f"{x} (s)" for x in names]
                + [f"fwprune vs {p}" for p in peers])
        out += [f"### {title}", "", "| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
        for inp, cells, kept in job_rows:
            line = [inp.name, str(inp.n), str(inp.edges_in), "" if kept is None else str(kept)]
            line += [fmt_time(cells.get(x)) for x in names]
            line += [fmt_speedup(cells.get("fwprune"), cells.get(p), cap) for p in peers]
            out.append("| " + " | ".join(line) + " |")
        out.append("")
    return "\n".join(out)


def tool_versions(binaries):
    import networkx
    import numpy
    vers = {"numpy": numpy.__version__, "networkx": networkx.__version__}
    try:
        with open("/usr/include/boost/version.hpp") as f:
            m = re.search(r'BOOST_LIB_VERSION "([^"]+)"', f.read())
        vers["boost"] = m.group(1).replace("_", ".") if m else "?"
    except OSError:
        vers["boost"] = "?"
    dot = subprocess.run(["dot", "-V"], capture_output=True, text=True)
    m = re.search(r"version (\S+)", dot.stderr + dot.stdout)
    vers["graphviz"] = m.group(1) if m else "?"
    gxx = subprocess.run(["g++", "-dumpfullversion"], capture_output=True, text=True).stdout.strip()
    vers["g++"] = gxx
    return vers


def fwprune_backend(fwprune, extra, scratch):
    """Which backend fwprune picks with these arguments, from its --stats."""
    src, dst = os.path.join(scratch, "probe.edges"), os.path.join(scratch, "probe.out")
    with open(src, "w") as f:
        f.write("0 edge 1\n1 edge 2\n0 edge 2\n")
    try:
        proc = subprocess.run([fwprune, "reduce", src, dst, "--stats"] + extra,
                              capture_output=True, text=True, timeout=60)
        m = re.search(r"^backend\s+(\S+)", proc.stderr, flags=re.M)
        return m.group(1) if m else "unknown"
    except (OSError, subprocess.TimeoutExpired):
        return "unknown"


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            m = re.search(r"model name\s*:\s*(.*)", f.read())
        return m.group(1).strip() if m else platform.processor()
    except OSError:
        return platform.processor()


# --------------------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--fwprune", default=os.path.join(REPO, "build", "bin", "fwprune"),
                    help="fwprune binary (default: %(default)s)")
    ap.add_argument("--fwprune-arg", action="append", default=[], metavar="ARG",
                    help="extra argument for every fwprune run, e.g. --fwprune-arg=--backend=cpu (repeatable)")
    ap.add_argument("--quick", action="store_true",
                    help="smallest inputs only (n=1000 graphs, n=512/1024 matrices): ~2-3 minutes")
    ap.add_argument("--repeats", type=int, default=3, help="runs per tool and input; the median is reported")
    ap.add_argument("--slow", type=float, default=10.0,
                    help="a run longer than this many seconds is not repeated (default %(default)s)")
    ap.add_argument("--cap", type=float, default=120.0,
                    help="per-run time cap in seconds; a peer over it is skipped on larger inputs")
    ap.add_argument("--with-p4000", action="store_true",
                    help="also run the n=4000, p=0.1 graph (~800k edges; slow for every peer)")
    ap.add_argument("--only", choices=["reduce", "weighted"], help="run one job only")
    ap.add_argument("--inputs", metavar="REGEX", help="run only the inputs whose name matches")
    ap.add_argument("--baseline", metavar="FWPRUNE",
                    help="an earlier fwprune binary to time as one more peer (\"release\")")
    ap.add_argument("--peers", metavar="NAME,...",
                    help="time only these peers (fwprune always runs), e.g. release,sweeps")
    ap.add_argument("--matrix-sizes", metavar="N,N,...",
                    help="weight-matrix sizes (default 512,1024,2048,4096; 512,1024 with --quick)")
    ap.add_argument("--matrix-kinds", default="mixed", metavar="KIND,...",
                    help="weight matrices: mixed (default), uniform, symmetric, comma-separated")
    ap.add_argument("--lower", type=float, default=0.1, help="weakest-link --lower (default %(default)s)")
    ap.add_argument("--upper", type=float, default=0.9, help="weakest-link --upper (default %(default)s)")
    ap.add_argument("--seed", type=int, default=20240601, help="input generator seed")
    ap.add_argument("--workdir", default="/tmp/fwprune-bench",
                    help="scratch dir for inputs, outputs and the peer builds (default %(default)s)")
    ap.add_argument("--out", default=os.path.join(HERE, "out", "peers.md"), help="Markdown report path")
    ap.add_argument("--no-install", action="store_true", help="do not install missing peers")
    args = ap.parse_args()

    if not (os.path.isfile(args.fwprune) and os.access(args.fwprune, os.X_OK)):
        sys.exit(f"fwprune not found at {args.fwprune}; build it (cmake -S {REPO} -B <dir> -DCMAKE_BUILD_TYPE=Release "
                 f"&& cmake --build <dir>) or pass --fwprune PATH")
    ensure_peers(args.no_install)
    started = time.perf_counter()
    binaries = build_cpp_peers(os.path.join(args.workdir, "build"))
    data_dir = os.path.join(args.workdir, "data")
    os.makedirs(data_dir, exist_ok=True)

    fwprune = os.path.abspath(args.fwprune)
    baseline = os.path.abspath(args.baseline) if args.baseline else None
    tools = make_tools(fwprune, args.fwprune_arg, binaries, args.lower, args.upper, baseline)
    if args.peers:
        wanted = set(args.peers.split(","))
        tools = [t for t in tools if t.is_subject or t.name in wanted]
    backend = fwprune_backend(fwprune, args.fwprune_arg, args.workdir)
    load = os.getloadavg()[0]
    if load > 0.5:
        print(f"warning: load average {load:.1f} before starting; timings will be noisy", flush=True)
    sizes = [int(x) for x in args.matrix_sizes.split(",")] if args.matrix_sizes else None
    kinds = args.matrix_kinds.split(",")
    if not set(kinds) <= set(MATRIX_KINDS):
        sys.exit(f"--matrix-kinds: each of {', '.join(MATRIX_KINDS)}")
    plan = [i for i in input_plan(args.quick, args.with_p4000, sizes, kinds) if args.only in (None, i.job)
            and (not args.inputs or re.search(args.inputs, i.name))]
    log = lambda msg: print(msg, flush=True)

    history, rows, failures = {}, [], []
    for inp in plan:
        t0 = time.perf_counter()
        prepare_input(inp, data_dir, args.seed, args.lower)
        log(f"{inp.name}: n={inp.n}, {inp.edges_in} edges in (input ready in {time.perf_counter() - t0:.1f} s)")
        outdir = os.path.join(args.workdir, "out", inp.name)
        os.makedirs(outdir, exist_ok=True)
        job_tools = [t for t in tools if t.job == inp.job]
        cells = {}
        for tool in job_tools:
            cell = time_tool(tool, inp, outdir, args, history)
            cells[tool.name] = cell
            detail = ", ".join(f"{t:.3f}" for t in cell.times)
            log(f"  {tool.name:<9} {fmt_time(cell):>24}   [{detail}]")
            if cell.status == "failed":
                failures.append(f"{inp.name}: {tool.name} {cell.note}")
        problems, kept = check_agreement(inp, job_tools, cells, outdir, log)
        ran = sum(c.status == "ok" for c in cells.values())
        if ran < 2 and not problems:
            log(f"  nothing to compare: {ran} tool(s) finished")
        elif problems:
            for p in problems:
                log(f"  !!! PROBLEM on {inp.name}: {p}")
            failures += [f"{inp.name}: {p}" for p in problems]
        else:
            log(f"  agree: {ran} tools, {kept} edges out")
        rows.append((inp, cells, kept))
        shutil.rmtree(outdir, ignore_errors=True)  # outputs can be hundreds of MB

    vers = tool_versions(binaries)
    header = [
        "# fwprune vs peers",
        "",
        f"Machine: {cpu_name()}, {os.cpu_count()} cores. Median wall seconds of {args.repeats} file-to-file runs "
        f"(¹ = single run, taking over {args.slow:g} s); cap {args.cap:g} s per run. "
        f"Speed-up = peer time / fwprune time (\"> N×\" when the peer hit or was predicted past the cap).",
        f"fwprune: `{' '.join([os.path.basename(fwprune)] + args.fwprune_arg)}`, backend {backend}. "
        f"Load average at start: {load:.1f}.",
        f"Weakest-link runs use --lower {args.lower:g} --upper {args.upper:g}. Seed {args.seed}. "
        "Peers: " + ", ".join(f"{k} {v}" for k, v in vers.items()) + ".",
        "",
    ]
    report = "\n".join(header) + "\n" + markdown_tables(rows, tools, args.cap)
    if failures:
        report += "\n**Problems:**\n\n" + "\n".join(f"- {f}" for f in failures) + "\n"
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        f.write(report)
    print()
    print(report)
    print(f"written to {args.out}; total {time.perf_counter() - started:.0f} s")
    if failures:
        print(f"\n!!! {len(failures)} problem(s): tools failed or disagree (see above)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
