#!/usr/bin/env bash
# Keeps the house style from drifting: the C++ and CUDA sources must be as clang-format leaves
# them (with the repo's .clang-format), the project's own code must build without a warning
# (-Wall -Wextra as errors, CPU build), and the Python must pass ruff's pyflakes checks and mypy.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/install-deps.sh" --python >/dev/null
command -v clang-format >/dev/null 2>&1 || {
  sudo_cmd=""; [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq clang-format
}

mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.cu' '*.c')
unformatted=()
for file in "${sources[@]}"; do
  clang-format --dry-run -Werror "$file" >/dev/null 2>&1 || unformatted+=("$file")
done
if [ ${#unformatted[@]} -gt 0 ]; then
  echo "check-style: not formatted (run clang-format -i on them):" >&2
  printf '  %s\n' "${unformatted[@]}" >&2
  exit 1
fi
echo "check-style: ${#sources[@]} C/C++/CUDA files formatted"

cmake -S "$root" -B "$root/build-werror" -DCMAKE_BUILD_TYPE=Release -DFWPRUNE_ENABLE_CUDA=OFF \
  -DFWPRUNE_WARNINGS_AS_ERRORS=ON >/dev/null
cmake --build "$root/build-werror" -j"$(nproc)" >"$root/build-werror/build.log" 2>&1 || {
  grep -E 'error|warning' "$root/build-werror/build.log" | head -40 >&2
  echo "check-style: the build with warnings as errors failed" >&2
  exit 1
}
echo "check-style: the project's own code builds with warnings as errors"

# ruff over the sources; mypy over the installed package, whose compiled module brings its stub.
venv="$root/build-werror/lint-venv"
rm -rf "$venv"
python3 -m venv "$venv"
export PIP_DISABLE_PIP_VERSION_CHECK=1
"$venv/bin/pip" install -q ruff mypy numpy
"$venv/bin/ruff" check --config "$root/pyproject.toml" python bench
"$venv/bin/pip" install -q "$root"
(cd "$venv" && "$venv/bin/mypy" --config-file "$root/pyproject.toml" -p fwprune)
