#!/usr/bin/env bash
# Checks `cmake --install` the way a user meets it, for the shared library (from build/, made by
# scripts/build.sh when missing) and for a static one (build-static/, CPU only):
#   - installs into a fresh prefix, and checks the files, the SONAME and the program's run path;
#   - builds tests/install_consumer with find_package and with pkg-config, and runs both;
#   - moves the prefix elsewhere and runs the program and the pkg-config consumer from there;
#   - uninstalls through install_manifest.txt and checks that nothing is left;
# then builds the consumer with the sources added by add_subdirectory, as a parent project would.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" --install-check
work="$root/build-install-check"
rm -rf "$work"
mkdir -p "$work"
fail() {
  echo "check-install: $*" >&2
  exit 1
}

[ -x "$root/build/bin/fwprune" ] || "$root/scripts/build.sh"
cmake -S "$root" -B "$root/build-static" -DCMAKE_BUILD_TYPE=Release -DFWPRUNE_BUILD_SHARED=OFF \
  -DFWPRUNE_ENABLE_CUDA=OFF -DFWPRUNE_BUILD_TESTS=OFF >/dev/null
cmake --build "$root/build-static" -j"$(nproc)" --target fwprune fwprune_cli >/dev/null

version="$(sed -n 's/^#define FWPRUNE_VERSION_STRING "\(.*\)"$/\1/p' "$root/include/fwprune.h")"
expected_reduction="$(cat <<'EOF'
0 edge 1
0 edge 2
1 edge 3
2 edge 3
3 edge 4
5 edge 6
EOF
)"

check_variant() {  # name build-dir
  local name="$1" build="$2"
  local prefix="$work/$name/prefix" moved="$work/$name/moved"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  [ -f "$prefix/include/fwprune.h" ] || fail "$name: no header"
  [ -x "$prefix/bin/fwprune" ] || fail "$name: no program"
  [ -f "$prefix/share/man/man1/fwprune.1" ] || fail "$name: no manual page"
  [ -f "$prefix/lib/cmake/fwprune/fwpruneConfig.cmake" ] || fail "$name: no CMake package"
  [ -f "$prefix/lib/pkgconfig/fwprune.pc" ] || fail "$name: no pkg-config file"
  local pkg_flags=()
  if [ "$name" = shared ]; then
    local soname
    soname="$(objdump -p "$prefix/lib/libfwprune.so.$version" | awk '$1 == "SONAME" { print $2 }')"
    case "$version" in
      0.*) [ "$soname" = "libfwprune.so.${version%.*}" ] || fail "SONAME $soname for $version" ;;
      *) [ "$soname" = "libfwprune.so.${version%%.*}" ] || fail "SONAME $soname for $version" ;;
    esac
    [[ "$(objdump -p "$prefix/bin/fwprune")" =~ R(UN)?PATH\ +\$ORIGIN/\.\./lib($'\n') ]] ||
      fail "the installed program's run path is not \$ORIGIN/../lib"
  else
    [ -f "$prefix/lib/libfwprune.a" ] || fail "static: no libfwprune.a"
    pkg_flags=(--static)
  fi

  # find_package, as a CMake project would.
  cmake -S "$root/tests/install_consumer" -B "$work/$name/cmake-consumer" \
    -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
  cmake --build "$work/$name/cmake-consumer" >/dev/null
  "$work/$name/cmake-consumer/consumer"
  # pkg-config, as a Makefile would.
  PKG_CONFIG_PATH="$prefix/lib/pkgconfig" make -s -C "$root/tests/install_consumer" \
    OUT="$work/$name/consumer-pkg-config" PKG_CONFIG_FLAGS="${pkg_flags[*]}" \
    LDFLAGS="-Wl,-rpath,'\$\$ORIGIN/prefix/lib'"
  # The consumer finds the library beside it through a relative run path, so that it still runs
  # once the prefix has moved.
  "$work/$name/consumer-pkg-config"

  # A moved prefix still works: the run paths and the pkg-config file are relative.
  mkdir -p "$moved"
  cp -a "$prefix" "$moved/prefix"
  cp "$work/$name/consumer-pkg-config" "$moved/"
  "$moved/consumer-pkg-config"
  [ "$("$moved/prefix/bin/fwprune" reduce "$root/examples/dag.txt" -)" = "$expected_reduction" ] ||
    fail "$name: the moved program gave a different reduction of examples/dag.txt"
  [ "$(PKG_CONFIG_PATH="$moved/prefix/lib/pkgconfig" pkg-config --variable=includedir fwprune)" \
    -ef "$moved/prefix/include" ] || fail "$name: pkg-config's prefix does not follow the file"

  cmake --build "$build" --target uninstall >/dev/null
  local left
  left="$(find "$prefix" -type f -o -type l -o -type d -name fwprune)"
  [ -z "$left" ] || fail "$name: left after uninstall: $left"
  echo "check-install: $name library installs, is found by CMake and pkg-config, and uninstalls"
}

check_variant shared "$root/build"
check_variant static "$root/build-static"

# From the sources, as a parent project's subdirectory, with the caller's BUILD_SHARED_LIBS.
cmake -S "$root/tests/install_consumer" -B "$work/subdirectory" -DFWPRUNE_SOURCE_DIR="$root" \
  -DBUILD_SHARED_LIBS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$work/subdirectory" -j"$(nproc)" >/dev/null
[ -f "$work/subdirectory/fwprune/libfwprune.a" ] || fail "BUILD_SHARED_LIBS=OFF built no libfwprune.a"
"$work/subdirectory/consumer"
echo "check-install: add_subdirectory builds the library alone and links it"
