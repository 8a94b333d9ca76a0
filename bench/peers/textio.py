"""Text formats shared by the Python peers and the checker.

Edge lists: one "%d edge %d" record per line.  Matrices: n lines of n
space-separated floats; output matrices use C's "%e" with a 3-digit exponent.
"""

import numpy as np


def read_edges(path):
    """Returns (src, dst) int64 arrays; a file with no records gives empty arrays."""
    with open(path, "rb") as f:
        tokens = f.read().split()
    if len(tokens) % 3 or any(t != b"edge" for t in tokens[1::3]):
        raise ValueError(f"{path}: not an edge list")
    return (np.array(tokens[0::3], dtype=np.int64),
            np.array(tokens[2::3], dtype=np.int64))


def format_edges(src, dst):
    return "".join(f"{s} edge {t}\n" for s, t in zip(src.tolist(), dst.tolist()))


def write_edges(path, src, dst):
    """Writes pairs sorted by source then target, each once."""
    order = np.lexsort((dst, src))
    src, dst = src[order], dst[order]
    if len(src):
        keep = np.ones(len(src), dtype=bool)
        keep[1:] = (src[1:] != src[:-1]) | (dst[1:] != dst[:-1])
        src, dst = src[keep], dst[keep]
    with open(path, "w", newline="\n") as f:
        f.write(format_edges(src, dst))


def read_matrix(path):
    """Reads an n x n float32 matrix; n is the token count of the first line."""
    with open(path, "rb") as f:
        data = f.read()
    n = len(data[: data.find(b"\n")].split())
    # Parsed via float64: inputs are written with "%.9g", which round-trips
    # float32 and sits far from any float32 rounding midpoint.
    values = np.array(data.split(), dtype=np.float64).astype(np.float32)
    if values.size != n * n:
        raise ValueError(f"{path}: expected {n * n} values, found {values.size}")
    return values.reshape(n, n)


def format_matrix_row(row):
    # Python's "%e" always prints float32 exponents with exactly 2 digits.
    line = " ".join(["%e"] * len(row)) % tuple(row.tolist())
    return line.replace("e+", "e+0").replace("e-", "e-0")


def write_matrix(path, m):
    with open(path, "w", newline="\n") as f:
        for row in m:
            f.write(format_matrix_row(row))
            f.write("\n")
