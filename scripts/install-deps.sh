#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when it is missing. Runs
# apt-get as root, or through sudo for a user.
#   scripts/install-deps.sh [--python] [--debian-python] [--install-check] [--aarch64] [--wine] [--bench] [--clang]
#   cmake, g++, make  the build
#   libgtest-dev    the tests (GoogleTest)
#   libjemalloc2    the command line's allocator, which keeps freed memory for reuse (the
#                   build goes on without it)
#   python3, python3-venv, python3-dev
#                   the Python package and its tests: an interpreter, a virtual environment
#                   with pip (Debian keeps venv's ensurepip apart), the headers the extension
#                   module compiles against (only with --python)
#   python3-numpy, python3-scipy, python3-networkx, python3-pytest
#                   the system's own versions of what the package uses, which CI tests it
#                   against besides the newest from PyPI (only with --debian-python)
#   pkgconf         pkg-config, for the installed-library check (only with --install-check)
#   g++-aarch64-linux-gnu, qemu-user
#                   the aarch64 cross-build and running its tests (only with --aarch64)
#   wine, wine64, wine32:i386 (adds the i386 architecture)
#                   running the Windows DLLs (only with --wine; wine32 is optional: without it
#                   only the 64-bit DLL runs)
#   libbenchmark-dev  the micro-benchmarks (only with --bench)
#   clang-14, libclang-rt-14-dev, ninja-build
#                   the sanitizer and fuzzing builds (only with --clang)
# nvcc is optional: without it the library builds for the CPU only.
set -euo pipefail

python=0 debian_python=0 install_check=0 aarch64=0 wine=0 bench=0 clang=0
for flag in "$@"; do
  case "$flag" in
    --python) python=1 ;;
    --debian-python) debian_python=1 ;;
    --install-check) install_check=1 ;;
    --aarch64) aarch64=1 ;;
    --wine) wine=1 ;;
    --bench) bench=1 ;;
    --clang) clang=1 ;;
    *) echo "install-deps: unknown option '$flag'" >&2; exit 2 ;;
  esac
done

packages=()
command -v cmake >/dev/null 2>&1 || packages+=(cmake)
command -v g++ >/dev/null 2>&1 || packages+=(g++)
command -v make >/dev/null 2>&1 || packages+=(make)
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
ls /usr/lib/*/libjemalloc.so.2 >/dev/null 2>&1 || packages+=(libjemalloc2)
if [ "$python" -eq 1 ]; then
  if ! command -v python3 >/dev/null 2>&1; then
    packages+=(python3 python3-venv python3-dev)
  else
    python3 -c 'import ensurepip' >/dev/null 2>&1 || packages+=(python3-venv)
    python3 -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
      packages+=(python3-dev)
  fi
fi
if [ "$debian_python" -eq 1 ]; then
  for module in numpy scipy networkx pytest; do
    /usr/bin/python3 -c "import $module" >/dev/null 2>&1 || packages+=("python3-$module")
  done
fi
if [ "$install_check" -eq 1 ]; then
  command -v pkg-config >/dev/null 2>&1 || packages+=(pkgconf)
fi
if [ "$aarch64" -eq 1 ]; then
  command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 || packages+=(g++-aarch64-linux-gnu)
  command -v qemu-aarch64 >/dev/null 2>&1 || packages+=(qemu-user)
  [ -f /usr/src/googletest/CMakeLists.txt ] || packages+=(googletest)
fi
optional=()
if [ "$wine" -eq 1 ]; then
  command -v wine >/dev/null 2>&1 || packages+=(wine wine64)
  dpkg -s wine32:i386 >/dev/null 2>&1 || optional+=(wine32:i386)
fi
if [ "$bench" -eq 1 ]; then
  [ -f /usr/include/benchmark/benchmark.h ] || packages+=(libbenchmark-dev)
fi
if [ "$clang" -eq 1 ]; then
  command -v clang++-14 >/dev/null 2>&1 || packages+=(clang-14)
  command -v ninja >/dev/null 2>&1 || packages+=(ninja-build)
  # The sanitizer and libFuzzer runtimes.
  ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    packages+=(libclang-rt-14-dev)
fi

sudo_cmd=()
if [ $((${#packages[@]} + ${#optional[@]})) -gt 0 ] && [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null 2>&1; then
    echo "install-deps: run as root, or install sudo, to install: ${packages[*]} ${optional[*]}" >&2
    exit 1
  fi
  sudo_cmd=(sudo)
fi
if [ ${#optional[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${sudo_cmd[@]}" dpkg --add-architecture i386
fi
if [ $((${#packages[@]} + ${#optional[@]})) -gt 0 ]; then
  echo "installing: ${packages[*]}${optional[*]:+ (optional: ${optional[*]})}"
  "${sudo_cmd[@]}" apt-get update -qq
fi
if [ ${#packages[@]} -gt 0 ]; then
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${packages[@]}"
fi
if [ ${#optional[@]} -gt 0 ]; then
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${optional[@]}" ||
    echo "install-deps: could not install ${optional[*]}; going on without" >&2
fi
