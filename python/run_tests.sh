#!/usr/bin/env bash
# Installs the Python package into a fresh virtual environment with `pip install .` and runs its
# tests. The C++ library is compiled inside pip install (with the GPU kernels when nvcc is found).
#
#   python/run_tests.sh [--debian] [WORK_DIR]
#
# WORK_DIR (default: build/python under the repository, or $FWPRUNE_PYTHON_WORK_DIR; with
# --debian, build/python-debian) holds the virtual environment. $PYTHON picks the interpreter
# (default python3, 3.9 or newer). Extra pytest arguments may follow in $PYTEST_ARGS.
#
# By default numpy, scipy and networkx are the newest from PyPI. With --debian they are the
# system's own (Debian's python3-numpy, python3-scipy, python3-networkx, python3-pytest, installed
# by scripts/install-deps.sh), seen through a virtual environment of /usr/bin/python3 made with
# --system-site-packages: the oldest versions the package declares it works with are the ones a
# Debian user has.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
debian=0
if [ "${1:-}" = "--debian" ]; then
  debian=1
  shift
fi
if [ "$debian" -eq 1 ]; then
  work="${1:-$root/build/python-debian}"
  python=/usr/bin/python3
  "$root/scripts/install-deps.sh" --python --debian-python
else
  work="${1:-${FWPRUNE_PYTHON_WORK_DIR:-$root/build/python}}"
  python="${PYTHON:-python3}"
  if [ -z "${PYTHON:-}" ]; then
    # Debian's python3 keeps venv (with pip) and the headers in separate packages.
    "$root/scripts/install-deps.sh" --python
  fi
fi
venv="$work/venv"
if ! "$python" -c 'import sys; sys.exit(sys.version_info < (3, 9))' 2>/dev/null; then
  echo "run_tests.sh: $python is missing or older than 3.9; set PYTHON" >&2
  exit 1
fi
mkdir -p "$work"
# A fresh environment each run: nothing left from an earlier install can hide a packaging fault.
rm -rf "$venv"
vpython="$venv/bin/python"
export PIP_DISABLE_PIP_VERSION_CHECK=1
if [ "$debian" -eq 1 ]; then
  "$python" -m venv --system-site-packages "$venv"
  "$vpython" -c 'import numpy, scipy, networkx, pytest
print("run_tests.sh: the system\x27s numpy", numpy.__version__, "scipy", scipy.__version__,
      "networkx", networkx.__version__)'
else
  "$python" -m venv "$venv"
  # tqdm: progress=True draws through it when installed; the tests cover it and the plain bar.
  # pandas and pyarrow: the labelled edge tables transitive_reduction takes.
  "$vpython" -m pip install -q pytest numpy networkx scipy tqdm pandas pyarrow
fi

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
