#!/usr/bin/env bash
# Runs the Windows DLLs for real: cross-builds them (scripts/cross-build-windows.sh) and a small C
# driver (tests/windows_driver.c) with MinGW-w64, then, under Wine, the driver loads each DLL and
# calls runTransitiveReduction and runWeakestLinkReduction on the examples and on random inputs
# of a few hundred nodes. Every output must equal, byte for byte, the Linux program's (build/,
# made by scripts/build.sh when missing).
# 32-bit Windows needs Debian's wine32 (i386); where it cannot be installed only the 64-bit DLL
# runs, and the script says so. The Wine prefix lives in build-windows-wine/.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$root/build-windows-wine"

"$root/scripts/install-deps.sh" --wine
"$root/scripts/cross-build-windows.sh"
[ -x "$root/build/bin/fwprune" ] || "$root/scripts/build.sh"

arches=(x86_64)
if dpkg -s wine32:i386 >/dev/null 2>&1; then
  arches+=(i686)
else
  echo "cross-test-windows: wine32 (i386) is not installed: the 32-bit DLL is built but not run" >&2
fi

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEARCH=win64
# No Mono or Gecko: nothing here needs them, and their installers would ask.
export WINEDLLOVERRIDES="mscoree,mshtml="
start=$SECONDS
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$work"
  wineboot --init >/dev/null 2>&1 </dev/null
  wineserver --wait
fi
echo "cross-test-windows: Wine prefix ready in $((SECONDS - start)) s"

inputs="$work/inputs"
outputs="$work/outputs"
rm -rf "$outputs"
"$root/scripts/make-test-inputs.sh" "$inputs"
cp "$root"/examples/*.txt "$inputs/"
graphs=(dag.txt dag-300.txt cyclic-200.txt sparse-3000.txt)
matrices=(weights.txt weights-300.txt weights-64.txt)

windows_path() { local path="${1//\//\\}"; echo "Z:$path"; }

for arch in linux "${arches[@]}"; do
  out="$outputs/$arch"
  mkdir -p "$out"
  if [ "$arch" = linux ]; then
    for graph in "${graphs[@]}"; do
      "$root/build/bin/fwprune" reduce "$inputs/$graph" "$out/${graph%.txt}.reduced" --quiet
    done
    for matrix in "${matrices[@]}"; do
      "$root/build/bin/fwprune" weakest-link "$inputs/$matrix" "$out/${matrix%.txt}.edges" \
        "$out/${matrix%.txt}.matrix" --lower 0.1 --upper 0.9 --quiet
    done
    continue
  fi
  build="$root/build-windows-$arch"
  "$arch-w64-mingw32-gcc-posix" -O2 -Wall -Wextra -Werror -static "$root/tests/windows_driver.c" \
    -o "$build/windows_driver.exe"
  dll="$(find "$build" -name 'fwprune*.dll' | head -n 1)"
  jobs=()
  for graph in "${graphs[@]}"; do
    jobs+=(reduce "$(windows_path "$inputs/$graph")" "$(windows_path "$out/${graph%.txt}.reduced")")
  done
  for matrix in "${matrices[@]}"; do
    jobs+=(weakest-link "$(windows_path "$inputs/$matrix")" \
      "$(windows_path "$out/${matrix%.txt}.edges")" "$(windows_path "$out/${matrix%.txt}.matrix")" \
      0.1 0.9)
  done
  start=$SECONDS
  wine "$build/windows_driver.exe" "$(windows_path "$dll")" "${jobs[@]}" </dev/null
  echo "cross-test-windows: $arch under Wine took $((SECONDS - start)) s"
  compared=0
  for file in "$outputs/linux"/*; do
    cmp "$file" "$out/${file##*/}"
    compared=$((compared + 1))
  done
  echo "cross-test-windows: $arch: $compared outputs equal the Linux build's byte for byte"
done
wineserver --wait
