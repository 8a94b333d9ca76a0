#!/usr/bin/env python3
"""Weakest-link pruning in memory through Python, at the sizes gene co-expression and connectome
matrices come in: uniform float32 weights in [0, 1.5), lower 0.001, upper 0.5, symmetric and
asymmetric. For each matrix, in a process of its own: the call's wall time, its CPU time (user +
system, all threads), and the memory it adds at its peak beyond the array it returns, against the
input and the output together (the floor of any call that returns a new array).

usage: weakest_link_in_memory.py [--sizes 2048,4096,...] [--kinds asymmetric,symmetric]
                                 [--threads 2] [--repeat 3]
"""
import argparse
import resource
import subprocess
import sys
import time


def resident_bytes(field):
    """VmRSS (resident now) or VmHWM (the peak since the last reset) of this process."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def one_run(n, kind, threads, seed):
    import numpy as np

    import fwprune

    rng = np.random.default_rng(seed)
    weights = rng.random((n, n), dtype=np.float32)
    weights *= np.float32(1.5)
    if kind == "symmetric":
        tile = 2048
        for i in range(0, n, tile):
            for j in range(0, i, tile):
                weights[j : j + tile, i : i + tile] = weights[i : i + tile, j : j + tile].T
            block = weights[i : i + tile, i : i + tile]
            block[...] = np.tril(block) + np.tril(block, -1).T
    # The peak from here on: the input, the returned array, and what the call adds.
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
    resident = resident_bytes("VmRSS")
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    result = fwprune.weakest_link_reduction(weights, 0.001, 0.5, threads=threads)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    peak = resident_bytes("VmHWM")
    assert result.shape == (n, n)
    print(f"{wall:.3f} {cpu:.3f} {peak - resident}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="2048,4096,8192,16384")
    parser.add_argument("--kinds", default="asymmetric,symmetric")
    parser.add_argument("--threads", type=int, default=2)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--one", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.one:
        one_run(int(args.one[0]), args.one[1], args.threads, int(args.one[2]))
        return
    print("| n | kind | matrix | wall (best) | CPU time (best) | added at peak beyond the output | "
          "that against input + output |")
    print("| --- | --- | --- | --- | --- | --- | --- |")
    for n in (int(s) for s in args.sizes.split(",")):
        for kind in args.kinds.split(","):
            runs = []
            for r in range(args.repeat):
                out = subprocess.run(
                    [sys.executable, __file__, "--threads", str(args.threads), "--one", str(n),
                     kind, str(n + r)],
                    check=True, capture_output=True, text=True).stdout.split()
                runs.append((float(out[0]), float(out[1]), int(out[2])))
            matrix = 4 * n * n
            wall = min(r[0] for r in runs)
            cpu = min(r[1] for r in runs)
            extra = max(r[2] for r in runs) - matrix
            print(f"| {n} | {kind} | {matrix / 1e9:.2f} GB | {wall:.2f} s | {cpu:.2f} s | "
                  f"{extra / 1e6:.0f} MB | {100.0 * extra / (2 * matrix):.1f}% |", flush=True)


if __name__ == "__main__":
    main()
