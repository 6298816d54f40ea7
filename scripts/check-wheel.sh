#!/usr/bin/env bash
# Checks a built wheel for publishing: abi3audit --strict (only the stable ABI of CPython 3.9)
# and auditwheel show (every symbol within the manylinux2014 policy). Fails on either.
# Usage: scripts/check-wheel.sh <wheel>
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
wheel=${1:?usage: scripts/check-wheel.sh <wheel>}
source scripts/tools-venv.sh

"$tools/abi3audit" --strict --report "$wheel"

report=$("$tools/auditwheel" show "$wheel" 2>&1)
printf '%s\n' "$report"
# auditwheel show exits 0 for any wheel it can read, so its verdict is read from the text.
if ! tr '\n' ' ' <<<"$report" | grep -qE 'is consistent with the +following platform tag: +"manylinux_2_17_x86_64"'; then
    echo "the wheel is not manylinux2014 (manylinux_2_17_x86_64) compatible" >&2
    exit 1
fi
