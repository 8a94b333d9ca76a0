#!/usr/bin/env bash
# Installs what building and testing need, from Debian's packages, when it is missing.
#   cmake, g++      the build
#   libgtest-dev    the tests (GoogleTest)
#   libbenchmark-dev  the micro-benchmarks (only with --bench)
#   clang-14, libclang-rt-14-dev, ninja-build
#                   the sanitizer and fuzzing builds (only with --clang)
# nvcc is optional: without it the library builds for the CPU only.
set -euo pipefail

packages=()
command -v cmake >/dev/null 2>&1 || packages+=(cmake)
command -v g++ >/dev/null 2>&1 || packages+=(g++)
command -v make >/dev/null 2>&1 || packages+=(make)
[ -f /usr/include/gtest/gtest.h ] || packages+=(libgtest-dev)
if [ "${1:-}" = "--bench" ]; then
  [ -f /usr/include/benchmark/benchmark.h ] || packages+=(libbenchmark-dev)
fi
if [ "${1:-}" = "--clang" ]; then
  command -v clang++-14 >/dev/null 2>&1 || packages+=(clang-14)
  command -v ninja >/dev/null 2>&1 || packages+=(ninja-build)
  # The sanitizer and libFuzzer runtimes.
  ls /usr/lib/llvm-14/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
    packages+=(libclang-rt-14-dev)
fi

if [ ${#packages[@]} -gt 0 ]; then
  echo "installing: ${packages[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${packages[@]}"
fi
