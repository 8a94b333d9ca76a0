#!/usr/bin/env bash
# Cross-builds fwprune for aarch64 Linux with Debian's g++-aarch64-linux-gnu (CUDA off), runs the
# C++ test suite under qemu-user, and checks that the aarch64 program writes the same bytes as
# the x86-64 one (build/, made by scripts/build.sh when missing) on the examples and on random
# inputs of a few hundred nodes, on every route.
# GoogleTest is built for aarch64 from the sources Debian's libgtest-dev ships.
# Build folders: build-aarch64/ (FWPRUNE_AARCH64_BUILD overrides it).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FWPRUNE_AARCH64_BUILD:-$root/build-aarch64}"
toolchain="$root/cmake/toolchains/aarch64-linux-gnu.cmake"
jobs="$(nproc)"

"$root/scripts/install-deps.sh" --aarch64
[ -x "$root/build/bin/fwprune" ] || "$root/scripts/build.sh"

start=$SECONDS
gtest="$build/googletest-install"
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$build/googletest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
  cmake --build "$build/googletest" -j"$jobs" >/dev/null
  cmake --install "$build/googletest" >/dev/null
fi
cmake -S "$root" -B "$build/fwprune" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_BUILD_TYPE=Release -DFWPRUNE_ENABLE_CUDA=OFF \
  -DGTest_DIR="$gtest/lib/cmake/GTest" >/dev/null
cmake --build "$build/fwprune" -j"$jobs" >/dev/null
echo "cross-test-aarch64: built in $((SECONDS - start)) s"

# Under qemu the largest-graph test only repeats, slowly, what the native run checks; and a cap
# on the address space (ulimit -v, RLIMIT_AS) cannot work where the emulator itself reserves
# the guest's, nor can a weighing of a run's peak memory that the emulator's own memory blurs.
start=$SECONDS
ctest --test-dir "$build/fwprune" --output-on-failure -j"$jobs" \
  -E 'LargestGraphThatFitsTheCellCountIsAccepted|EngineErrorsExitWithFour|MemoryExhaustion|InputThatCannotHoldItsGraph|MemoryFollowsTheData|LabelFilePastTheMemoryLimit'
echo "cross-test-aarch64: tests under qemu took $((SECONDS - start)) s"

# The same bytes as x86-64.
inputs="$build/inputs"
outputs="$build/outputs"
rm -rf "$outputs"
mkdir -p "$outputs/x86_64" "$outputs/aarch64"
"$root/scripts/make-test-inputs.sh" "$inputs"
cp "$root"/examples/*.txt "$inputs/"
aarch64=(qemu-aarch64 -L /usr/aarch64-linux-gnu "$build/fwprune/bin/fwprune")
native=("$root/build/bin/fwprune")
compared=0
run_both() {  # name arguments... (OUT stands for the output folder)
  local name="$1"
  shift
  local arch program args argument
  for arch in x86_64 aarch64; do
    if [ "$arch" = x86_64 ]; then program=("${native[@]}"); else program=("${aarch64[@]}"); fi
    args=()
    for argument in "$@"; do args+=("${argument//OUT/$outputs/$arch}"); done
    "${program[@]}" "${args[@]}" --backend cpu --threads 2 --quiet
  done
  for file in "$outputs/x86_64/$name".*; do
    cmp "$file" "$outputs/aarch64/${file##*/}"
    compared=$((compared + 1))
  done
}
for graph in dag.txt dag-300.txt cyclic-200.txt sparse-3000.txt; do
  for route in auto sweeps sparse; do
    run_both "${graph%.txt}-$route" reduce "$inputs/$graph" "OUT/${graph%.txt}-$route.reduced" \
      --route "$route"
  done
done
for matrix in weights.txt weights-300.txt weights-64.txt; do
  for route in auto sweeps ordered; do
    run_both "${matrix%.txt}-$route" weakest-link "$inputs/$matrix" \
      "OUT/${matrix%.txt}-$route.edges" "OUT/${matrix%.txt}-$route.matrix" \
      --lower 0.1 --upper 0.9 --route "$route"
  done
done
echo "cross-test-aarch64: $compared outputs of aarch64 and x86-64 are byte-identical"
