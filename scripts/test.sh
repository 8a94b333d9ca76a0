#!/usr/bin/env bash
# Builds fwprune and runs every test: the C++ suites through CTest, then the Python package's
# tests against a fresh `pip install .`.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
# --python: the interpreter, venv and headers the Python half needs, before anything is built.
"$root/scripts/build.sh" --python
(cd "$root/build" && ctest --output-on-failure -j"$(nproc)")
"$root/python/run_tests.sh"
