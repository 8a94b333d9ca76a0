#!/usr/bin/env bash
# Builds fwprune and runs both jobs on the bundled examples.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
fwprune="$root/build/bin/fwprune"
out="$root/build/example-output"
mkdir -p "$out"

echo "== transitive reduction of examples/dag.txt"
cat "$root/examples/dag.txt"
"$fwprune" reduce "$root/examples/dag.txt" "$out/dag-reduced.txt"
echo "-- surviving edges ($out/dag-reduced.txt):"
cat "$out/dag-reduced.txt"

echo
echo "== weakest-link pruning of examples/weights.txt (lower 0.1, upper 1.0)"
cat "$root/examples/weights.txt"
"$fwprune" weakest-link "$root/examples/weights.txt" "$out/weights-edges.txt" \
  "$out/weights-pruned.txt" --lower 0.1 --upper 1.0
echo "-- pruned matrix ($out/weights-pruned.txt):"
cat "$out/weights-pruned.txt"
echo "-- edges not absent ($out/weights-edges.txt):"
cat "$out/weights-edges.txt"
