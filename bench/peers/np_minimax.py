"""Peer: the weakest-link pruning rule in numpy, vectorised per pivot k.

Usage: np_minimax.py INPUT EDGES MATRIX --lower L --upper U

Bit-exact with the scalar rule: for pivot k, row k and column k cannot change
(w >= |v| there), so updating the whole matrix at once from the pivot's row and
column reads the same values the in-place scalar loop would.
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import textio  # noqa: E402


def prune(m, lower, upper):
    m = np.asarray(m, dtype=np.float32)
    lower, upper = np.float32(lower), np.float32(upper)
    # A cell is eligible iff (v > L or v < 0).  Updates only make eligible
    # cells negative, so eligibility never changes and is computed once.
    eligible = (m > lower) | (m < 0)
    a = np.abs(m)          # |m| for every cell, kept current
    w = np.empty_like(a)
    for k in range(a.shape[0]):
        # w = fmaxf(|m[i][k]|, |m[k][j]|); np.fmax has fmaxf's NaN rule.
        np.fmax(a[:, k, None], a[None, k, :], out=w)
        # "if w < |v|: v = -w" in magnitude form: fmin keeps |v| when w is NaN
        # and on ties, exactly like the strict comparison.
        np.fmin(a, w, out=w)
        np.copyto(a, w, where=eligible)
    # A cell ends with its sign bit set iff it started negative or was ever
    # lowered (each update strictly lowers |v| and sets the sign).
    lowered = eligible & (a < np.abs(m))
    final = np.where(lowered, -a, m)
    final[np.signbit(final) | (upper <= final)] = np.float32(2.0)
    return final


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("input")
    ap.add_argument("edges")
    ap.add_argument("matrix")
    ap.add_argument("--lower", type=float, required=True)
    ap.add_argument("--upper", type=float, required=True)
    args = ap.parse_args()
    final = prune(textio.read_matrix(args.input), args.lower, args.upper)
    textio.write_matrix(args.matrix, final)
    src, dst = np.nonzero(final != np.float32(2.0))  # row-major: already sorted
    with open(args.edges, "w", newline="\n") as f:
        f.write(textio.format_edges(src, dst))


if __name__ == "__main__":
    main()
