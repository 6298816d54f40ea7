#!/usr/bin/env bash
# The lint step, first and fast: clang-format over the C++ sources, ruff's checks and format over
# the Python ones, and mypy --strict over the package's sources. The pinned tools come from the
# package index into build/venv-lint. `--fix` rewrites the files instead of only checking them.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

venv=${VARNHOLD_LINT_VENV:-build/venv-lint}
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/python" -m pip install -q -r scripts/lint-requirements.txt

mapfile -t cpp < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' \
    'fuzz/*.cpp' 'fuzz/*.hpp')
python_paths=(python tests bench scripts)

if [ "${1:-}" = "--fix" ]; then
    "$venv/bin/clang-format" -i "${cpp[@]}"
    "$venv/bin/ruff" check --fix "${python_paths[@]}"
    "$venv/bin/ruff" format "${python_paths[@]}"
    exit 0
fi
"$venv/bin/clang-format" --dry-run -Werror "${cpp[@]}"
"$venv/bin/ruff" check "${python_paths[@]}"
"$venv/bin/ruff" format --check "${python_paths[@]}"
"$venv/bin/mypy" --config-file pyproject.toml
echo "lint: clean"
