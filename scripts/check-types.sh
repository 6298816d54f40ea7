#!/usr/bin/env bash
# Checks the types that the wheel ships, in a fresh virtual environment holding only that
# wheel and mypy:
#   1. mypy --strict accepts a user's script that calls every public function of
#      varnhold_core and varnhold (so the stub package is found for the extension module);
#   2. mypy --strict reports an error on every line of a script of deliberately wrong calls,
#      and on no other line;
#   3. stubtest finds the stub and the inline types in step with the installed modules.
# Usage: scripts/check-types.sh WHEEL   (PYTHON selects the interpreter, python3 by default)
set -euo pipefail

if [ $# -ne 1 ] || [ ! -f "$1" ]; then
    echo "usage: $0 WHEEL" >&2
    exit 2
fi
wheel=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
python=${PYTHON:-python3}

printf '\n==== types (mypy --strict and stubtest) with %s\n' "$("$python" --version)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$python" -m venv "$work/venv"
"$work/venv/bin/pip" install -q "$wheel" mypy
# Run from an empty folder so that only the installed wheel can be found.
cd "$work"

cat > good.py <<'EOF'
from collections.abc import Sequence

import varnhold
import varnhold_core


def bare_round_trip() -> bytes:
    key: bytes = varnhold_core.generate_key()
    shamir: list[str] = varnhold_core.shamir_split(key, 3, 5)
    planes: list[str] = varnhold_core.blakley_split(secret=key, k=3, n=5)
    chosen: Sequence[str] = tuple(shamir[:3])
    assert varnhold_core.blakley_combine(planes[1:4], 3) == key
    return varnhold_core.shamir_combine(chosen, k=3)


def safe_round_trip() -> bytes:
    key: bytes = varnhold.generate_key()
    shares: list[str] = varnhold.split(key, 3, 5)
    limit: int = varnhold.MAX_SHARES
    assert limit >= 5
    planes: list[str] = varnhold.split(key, 2, 3, scheme="blakley")
    report: varnhold.ShareReport = varnhold.check(shares, k=None)
    ok: bool = report.ok
    scheme: varnhold.Scheme | None = report.scheme
    for status in report.shares:
        state: varnhold.ShareState = status.state
        number: int | None = status.number
        position: int = status.position
        reason: str | None = status.reason
        print(state, number, position, reason)
    print(ok, scheme, report.k, report.set_id, report.count, report.problem, varnhold.__version__)
    extra: str = varnhold.new_share(shares[:3], index=7)
    fresh: list[str] = varnhold.refresh(iter(shares), k=3)
    try:
        varnhold.combine(fresh[:2])
    except varnhold.ShareError as error:
        positions: tuple[int, ...] = error.positions
        why: str = error.reason
        print(positions, why)
    assert varnhold.combine(planes[:2]) == key
    assert varnhold.combine(fresh) == key
    return varnhold.combine([extra, *shares[:2]])


if __name__ == "__main__":
    assert len(bare_round_trip()) == 32
    assert len(safe_round_trip()) == 32
EOF

# Every line marked "# wrong" must draw an error, and nothing else may.
cat > wrong.py <<'EOF'
import varnhold
import varnhold_core

key = varnhold_core.generate_key()
varnhold_core.shamir_split("not bytes", 3, 5)  # wrong
varnhold_core.blakley_split(key, "3", 5)  # wrong
varnhold_core.shamir_combine([b"1:00"], 3)  # wrong
varnhold_core.blakley_combine(["a"])  # wrong
text: str = varnhold_core.generate_key()  # wrong
varnhold.split("not bytes", 3, 5)  # wrong
varnhold.split(key, 3, 5, scheme="other")  # wrong
varnhold.combine([b"share"])  # wrong
varnhold.check(["share"], k="3")  # wrong
varnhold.refresh(["share"], 3)  # wrong
count: int = varnhold.new_share(["share"])  # wrong
EOF

"$work/venv/bin/python" -m mypy --strict --no-incremental good.py
"$work/venv/bin/python" good.py >/dev/null

expected=$(grep -n '# wrong$' wrong.py | cut -d: -f1 | sort -n | tr '\n' ' ')
set +e
"$work/venv/bin/python" -m mypy --strict --no-incremental wrong.py > wrong.out 2>&1
status=$?
set -e
reported=$(grep -E '^wrong\.py:[0-9]+: error:' wrong.out | cut -d: -f2 | sort -n -u | tr '\n' ' ')
if [ "$status" -ne 1 ] || [ "$reported" != "$expected" ]; then
    cat wrong.out >&2
    echo "mypy should report errors on lines $expected and only there; it reported $reported" >&2
    exit 1
fi
echo "mypy --strict rejects each deliberately wrong call (lines $expected)"

"$work/venv/bin/python" -m mypy.stubtest varnhold_core varnhold
echo "types: all checks passed"
