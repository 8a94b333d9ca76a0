#!/usr/bin/env bash
# Builds the libFuzzer targets in fuzz/ with clang-14 (ASan + UBSan) and runs each for SECONDS
# (default 60) from its seed corpus. Fails on the first target that finds a crash, a sanitizer
# report, a timeout or an out-of-memory; the reproducer is kept under the build directory.
#   scripts/fuzz.sh [SECONDS]
# FWPRUNE_FUZZ_BUILD overrides the build directory (default build-fuzz/ inside the checkout).
# FWPRUNE_FUZZ_SEED sets libFuzzer's seed (default 1), so a run that fails can be repeated as it
# went; give another to explore elsewhere.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="${FWPRUNE_FUZZ_BUILD:-$root/build-fuzz}"
seed="${FWPRUNE_FUZZ_SEED:-1}"

"$root/scripts/install-deps.sh" --clang

CC=clang-14 CXX=clang++-14 cmake -S "$root/fuzz" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(edge_list_parser edge_list_chunks weight_matrix_parser weight_matrix_chunks reduction_pipeline
    weakest_link_pipeline labelled_edge_list dot_graph npy_matrix)
ninja -C "$build" "${targets[@]/#/fuzz_}"

failed=0
for target in "${targets[@]}"; do
    # Fuzz on a copy, so that the inputs libFuzzer adds never land in the seed corpus.
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/$target"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    cp "$root/fuzz/corpus/$target/"* "$corpus/"
    echo "== fuzz_$target for ${seconds}s"
    if ! "$build/fuzz_$target" "$corpus" -max_total_time="$seconds" -seed="$seed" -max_len=4096 -timeout=20 \
        -rss_limit_mb=4096 -malloc_limit_mb=2048 -print_final_stats=1 \
        -artifact_prefix="$artifacts/" >"$build/$target.log" 2>&1; then
        echo "fuzz_$target found a fault; reproducer in $artifacts:" >&2
        ls "$artifacts" >&2
        tail -60 "$build/$target.log" >&2
        failed=$((failed + 1))
    else
        grep -E "^stat::number_of_executed_units|^Done" "$build/$target.log" || true
    fi
done
echo "fuzz: $((${#targets[@]} - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
