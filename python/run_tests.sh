#!/usr/bin/env bash
# Installs the Python package into a fresh virtual environment with `pip install .` and runs its
# tests. The C++ library is compiled inside pip install (with the GPU kernels when nvcc is found).
#
#   python/run_tests.sh [WORK_DIR]
#
# WORK_DIR (default: build/python under the repository, or $FWPRUNE_PYTHON_WORK_DIR) holds the
# virtual environment. $PYTHON picks the interpreter (default python3, 3.9 or newer).
# Extra pytest arguments may follow in $PYTEST_ARGS.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
work="${1:-${FWPRUNE_PYTHON_WORK_DIR:-$root/build/python}}"
python="${PYTHON:-python3}"
venv="$work/venv"

if [ -z "${PYTHON:-}" ]; then
  # Debian's python3 keeps venv (with pip) and the headers in separate packages.
  "$root/scripts/install-deps.sh" --python
fi
if ! "$python" -c 'import sys; sys.exit(sys.version_info < (3, 9))' 2>/dev/null; then
  echo "run_tests.sh: $python is missing or older than 3.9; set PYTHON" >&2
  exit 1
fi
mkdir -p "$work"
# A fresh environment each run: nothing left from an earlier install can hide a packaging fault.
rm -rf "$venv"
"$python" -m venv "$venv"
vpython="$venv/bin/python"
export PIP_DISABLE_PIP_VERSION_CHECK=1

# tqdm: progress=True draws through it when installed; the tests cover it and the plain bar.
"$vpython" -m pip install -q pytest numpy networkx scipy tqdm

start=$(date +%s)
"$vpython" -m pip install -q "$root"
echo "run_tests.sh: pip install . took $(( $(date +%s) - start )) s"

# Run from outside the tree so that `import fwprune` finds the installed package, not the
# sources in python/fwprune (which lack the compiled module).
cd "$work"
start=$(date +%s)
set +e
# shellcheck disable=SC2086
"$vpython" -m pytest -p no:cacheprovider -ra --tb=short "$root/python/tests" ${PYTEST_ARGS:-}
status=$?
set -e
echo "run_tests.sh: pytest took $(( $(date +%s) - start )) s"
if [ "$status" -eq 5 ]; then
  echo "run_tests.sh: pytest collected no tests" >&2
  exit 1
fi
exit "$status"
