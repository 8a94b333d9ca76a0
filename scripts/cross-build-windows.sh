#!/usr/bin/env bash
# Cross-compiles fwprune.dll for 64-bit and 32-bit Windows with MinGW-w64 (CPU engine and
# stand-in; the GPU variant is built on Windows with the CUDA toolkit, see README) and checks that
# both entry operations are exported under their plain names.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-i686-posix)
if [ ${#need[@]} -gt 0 ]; then
  sudo_cmd=""; [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${need[@]}"
fi

for arch in x86_64 i686; do
  build="$root/build-windows-$arch"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-w64-$arch.cmake" \
    -DFWPRUNE_ENABLE_CUDA=OFF -DFWPRUNE_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j"$(nproc)" --target fwprune
  dll="$(find "$build" -name 'libfwprune*.dll' -o -name 'fwprune*.dll' | head -n 1)"
  exports="$("$arch-w64-mingw32-objdump" -p "$dll")"
  for symbol in runTransitiveReduction runWeakestLinkReduction runTransitiveReductionChecked \
                runWeakestLinkReductionChecked fwpruneRunTransitiveReductionChecked \
                fwpruneRunWeakestLinkReductionChecked fwpruneGetLastErrorMessage; do
    if ! grep -qE "\] $symbol\$" <<<"$exports"; then
      echo "cross-build-windows: $dll does not export $symbol" >&2
      exit 1
    fi
  done
  echo "cross-build-windows: $arch: $dll exports the C API"
done
