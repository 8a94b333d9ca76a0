"""Slow, obviously-correct versions of both jobs, and readers/writers for the two file formats,
written independently of the library so that the tests compare against something else."""

import math

import numpy as np


def transitive_reduction(adjacency):
    """Keeps edge (i, j) when no walk of two or more edges leads from i to j."""
    edge = np.asarray(adjacency) != 0
    n = edge.shape[0]
    # reach[i][j]: a walk of one or more edges from i to j (Warshall's closure).
    reach = [[bool(edge[i, j]) for j in range(n)] for i in range(n)]
    for k in range(n):
        for i in range(n):
            if reach[i][k]:
                for j in range(n):
                    if reach[k][j]:
                        reach[i][j] = True
    result = np.zeros((n, n), dtype=np.uint8)
    for i in range(n):
        for j in range(n):
            bypassed = any(edge[i, k] and reach[k][j] for k in range(n))
            result[i, j] = edge[i, j] and not bypassed
    return result


def _fmax(a, b):
    # C's fmax: a NaN operand yields the other one.
    if math.isnan(a):
        return b
    if math.isnan(b):
        return a
    return max(a, b)


def weakest_link_reduction(weights, lower, upper):
    m = [[float(x) for x in row] for row in np.asarray(weights, dtype=np.float32)]
    lower = float(np.float32(lower))
    upper = float(np.float32(upper))
    n = len(m)
    for k in range(n):
        for i in range(n):
            abs_ik = abs(m[i][k])
            for j in range(n):
                v = m[i][j]
                if v > lower or v < 0:
                    w = _fmax(abs_ik, abs(m[k][j]))
                    if w < abs(v):
                        m[i][j] = -w
    result = np.array(m, dtype=np.float32).reshape(n, n)
    result[np.signbit(result) | (result >= np.float32(upper))] = np.float32(2.0)
    return result


def write_edge_list(path, adjacency):
    rows, cols = np.nonzero(np.asarray(adjacency))
    with open(path, "w") as f:
        for i, j in zip(rows.tolist(), cols.tolist()):
            f.write(f"{i} edge {j}\n")


def read_edge_list(path):
    edges = set()
    with open(path) as f:
        for line in f:
            source, word, target = line.split()
            assert word == "edge"
            edges.add((int(source), int(target)))
    return edges


def write_weight_matrix(path, weights):
    with open(path, "w") as f:
        for row in np.asarray(weights, dtype=np.float32):
            # Nine significant digits name a float32 exactly.
            f.write(" ".join("%.8e" % float(x) for x in row) + "\n")


def read_weight_matrix(path):
    with open(path) as f:
        rows = [[float(token) for token in line.split()] for line in f if line.strip()]
    return np.array(rows, dtype=np.float32).reshape(len(rows), len(rows))


def edges_of(matrix):
    rows, cols = np.nonzero(matrix)
    return set(zip(rows.tolist(), cols.tolist()))


def random_digraph(rng, n, density, acyclic=False, self_loops=0.0):
    cells = rng.random((n, n)) < density
    if acyclic:
        cells = np.triu(cells, 1)
        order = rng.permutation(n)
        cells = cells[np.ix_(order, order)]
    else:
        np.fill_diagonal(cells, rng.random(n) < self_loops)
    return cells.astype(np.uint8)


def random_weights(rng, n, special=True):
    """Values on a coarse grid, so that paths tie with edges, with absent cells and a zero
    diagonal as the files hold them, and (optionally) the values that need care: NaN, -0.0,
    infinities and negatives."""
    m = (rng.integers(0, 9, size=(n, n)) / 8.0).astype(np.float32)
    m[rng.random((n, n)) < 0.25] = 2.0
    if special and n:
        pool = np.array([np.nan, -0.0, np.inf, -np.inf, -0.25, -1.5, 1e-40], dtype=np.float32)
        picks = rng.random((n, n)) < 0.06
        m[picks] = rng.choice(pool, size=int(picks.sum()))
    np.fill_diagonal(m, 0.0)
    return m


def same_floats(a, b):
    """Equal shapes and cells, NaN equal to NaN, and -0.0 told from 0.0."""
    a = np.asarray(a)
    b = np.asarray(b)
    return (
        a.shape == b.shape
        and np.array_equal(a, b, equal_nan=True)
        and np.array_equal(np.signbit(a), np.signbit(b))
    )
