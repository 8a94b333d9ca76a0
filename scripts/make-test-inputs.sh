#!/usr/bin/env bash
# Writes a few deterministic random inputs of a few hundred nodes into DIR, for checks that run
# two builds of fwprune on the same files and compare the output bytes (cross-test-aarch64.sh,
# cross-test-windows.sh):
#   dag-300.txt        a DAG with shuffled node numbers, about 3000 edges, some duplicated
#   cyclic-200.txt     a digraph with cycles and self-loops
#   sparse-3000.txt    400 edges among node numbers up to 3000
#   weights-300.txt    a dense 300 x 300 weight matrix: values in [-0.3, 1.2], absent 2.0s, values
#                      at the thresholds 0.1 and 0.9, subnormals, -0, infinities and NaNs
#   weights-64.txt     a 64 x 64 matrix of small integers over 10 (many ties)
#   scripts/make-test-inputs.sh DIR
set -euo pipefail
out="$1"
mkdir -p "$out"

awk 'BEGIN {
  srand(11); n = 300
  for (i = 0; i < n; i++) label[i] = i
  for (i = n - 1; i > 0; i--) { j = int(rand() * (i + 1)); t = label[i]; label[i] = label[j]; label[j] = t }
  for (e = 0; e < 3000; e++) {
    a = int(rand() * n); b = int(rand() * n); if (a == b) continue
    if (a > b) { t = a; a = b; b = t }
    printf "%d edge %d\n", label[a], label[b]
  }
}' >"$out/dag-300.txt"

awk 'BEGIN {
  srand(12); n = 200
  for (i = 0; i < n; i++) for (j = 0; j < n; j++) if (rand() < 0.02 || (i == j && rand() < 0.05))
    printf "%d to %d\n", i, j
}' >"$out/cyclic-200.txt"

awk 'BEGIN {
  srand(13)
  for (e = 0; e < 400; e++) printf "%d e %d\n", int(rand() * 3000), int(rand() * 3000)
}' >"$out/sparse-3000.txt"

awk 'BEGIN {
  srand(14); n = 300
  split("0.1 0.9 1e-40 -1e-40 -0 inf -inf nan -nan 2.0 1.0000001", special, " ")
  for (i = 0; i < n; i++) {
    line = ""
    for (j = 0; j < n; j++) {
      r = rand()
      if (i == j) v = "0"
      else if (r < 0.15) v = "2.0"
      else if (r < 0.17) v = special[1 + int(rand() * 11)]
      else v = sprintf("%.9g", -0.3 + 1.5 * rand())
      line = line (j ? " " : "") v
    }
    print line
  }
}' >"$out/weights-300.txt"

awk 'BEGIN {
  srand(15); n = 64
  for (i = 0; i < n; i++) {
    line = ""
    for (j = 0; j < n; j++) line = line (j ? "\t" : "") (i == j ? 0 : int(rand() * 10) / 10)
    print line
  }
}' >"$out/weights-64.txt"
