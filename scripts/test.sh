#!/usr/bin/env bash
# Builds fwprune and runs every test: the C++ suites through CTest, then the Python package's
# tests against a fresh `pip install .`.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh"
(cd "$root/build" && ctest --output-on-failure -j"$(nproc)")
"$root/python/run_tests.sh"
