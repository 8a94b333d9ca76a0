"""Peer: networkx.transitive_reduction, file to file.

Usage: nx_reduce.py INPUT OUTPUT   (edge lists, "%d edge %d" per line)
"""

import sys


def main():
    import networkx as nx

    src, dst = sys.argv[1], sys.argv[2]
    g = nx.DiGraph()
    with open(src) as f:
        for line in f:
            parts = line.split()
            if parts:
                g.add_edge(int(parts[0]), int(parts[2]))
    kept = sorted(nx.transitive_reduction(g).edges())
    with open(dst, "w", newline="\n") as f:
        f.write("".join(f"{s} edge {t}\n" for s, t in kept))


if __name__ == "__main__":
    main()
