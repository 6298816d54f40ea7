#!/usr/bin/env bash
# Proof that the portable wheel runs on an old system: builds a Debian 11 (bullseye) root file
# system with debootstrap, installs the wheel into its CPython 3.9 and runs the Python tests there.
# Slow (a few minutes the first time), so not part of scripts/run-tests.sh. Needs root.
# Usage: scripts/test-on-bullseye.sh [wheel]; without one, scripts/build-wheel.sh builds it.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
root=${VARNHOLD_BULLSEYE_ROOT:-build/bullseye-root}
mirror=${VARNHOLD_DEBIAN_MIRROR:-http://deb.debian.org/debian}

step() { printf '\n==== %s\n' "$*"; }

wheel=${1:-}
if [ -z "$wheel" ]; then
    step "portable wheel"
    wheel=$(bash scripts/build-wheel.sh | tail -n 1)
fi
echo "wheel: $wheel"

if ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap
fi

# A finished root file system is reused; a half-built one is started again.
if [ ! -f "$root/.varnhold-ready" ]; then
    step "debootstrap bullseye into $root from $mirror"
    rm -rf "$root"
    mkdir -p "$root"
    debootstrap --variant=minbase --include=python3,python3-venv \
        bullseye "$root" "$mirror"
    touch "$root/.varnhold-ready"
fi

mounted=()
cleanup() {
    local i
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount "${mounted[$i]}" || true; done
}
trap cleanup EXIT
for fs in proc dev; do
    if ! mountpoint -q "$root/$fs"; then
        mount --bind "/$fs" "$root/$fs"
        mounted+=("$root/$fs")
    fi
done

# The wheel and the tests go in fresh; nothing of the build machine's Python is visible inside.
rm -rf "$root/varnhold"
mkdir -p "$root/varnhold/tests"
cp "$wheel" "$root/varnhold/"
cp -r tests/python "$root/varnhold/tests/python"
cp -r docs "$root/varnhold/docs"  # the recovery script and the format document it is tested on
cp pyproject.toml "$root/varnhold/"  # the pytest settings
find "$root/varnhold/tests" -name __pycache__ -prune -exec rm -rf {} +

# The test tools are fetched here by a CPython 3.9 of this machine and installed inside from
# that folder, so the root file system needs no network access of its own.
python39=$(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.9.* 2>/dev/null | sort -V | tail -n 1)/bin/python3
[ -x "$python39" ] || python39=python3.9
"$python39" -m pip download -q -d "$root/varnhold/wheels" "$wheel[test]"

step "inside bullseye"
chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    /bin/bash -euo pipefail -c '
        grep PRETTY_NAME /etc/os-release
        ldd --version | head -n 1
        python3 --version
        rm -rf /varnhold/venv
        python3 -m venv /varnhold/venv
        # bullseye ships pip 20.3; a newer one reads the same tags, so keep the stock one.
        /varnhold/venv/bin/pip install -q --no-index --find-links /varnhold/wheels \
            "$(echo /varnhold/varnhold-*.whl)[test]"
        /varnhold/venv/bin/pip list 2>/dev/null | grep -iE "^(varnhold|pytest|hypothesis) "
        cd /varnhold/tests/python
        /varnhold/venv/bin/python -m pytest -q -p no:cacheprovider
    '
