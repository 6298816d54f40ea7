#!/usr/bin/env bash
# Builds the portable wheel: cp39-abi3, tagged manylinux_2_17_x86_64 (alias manylinux2014).
# Usage: scripts/build-wheel.sh [output folder, default build/wheelhouse]; prints the wheel's path
# as its last line.
#
# The compiler is clang from the ziglang package, targeting the C library interface of glibc 2.17
# and linking its own C++ runtime statically, so the module needs nothing newer than glibc 2.17
# whatever the build machine runs. auditwheel then checks that and writes the platform tag.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
out=${1:-build/wheelhouse}
plat=manylinux_2_17_x86_64
if [ "$(uname -m)" != x86_64 ]; then
    echo "the portable wheel is built on x86_64 only, not on $(uname -m)" >&2
    exit 1
fi

source scripts/tools-venv.sh
# The zig binary itself: pip's isolated build hides the tools' site-packages from a Python launcher.
VARNHOLD_ZIG=$("$tools/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
export VARNHOLD_ZIG

raw=build/wheel-raw
rm -rf "$raw" "$out"
# A build folder of its own: CMake refuses to switch compilers inside the default one.
CMAKE_ARGS="-DCMAKE_CXX_COMPILER=$PWD/scripts/toolchain/zig-c++" \
    python3 -m pip wheel . --no-deps -q -w "$raw" --config-settings=build-dir=build/portable
"$tools/auditwheel" repair --plat "$plat" --only-plat -w "$out" "$raw"/varnhold-*.whl >&2
wheel=$(ls "$out"/varnhold-*.whl)
tags=${wheel##*/varnhold-*-cp39-abi3-}
case ".${tags%.whl}." in
    *.manylinux_2_17_x86_64.*) ;;
    *) echo "the wheel is not tagged cp39-abi3 $plat: $wheel" >&2; exit 1 ;;
esac
case ".${tags%.whl}." in
    *.manylinux2014_x86_64.*) ;;
    *) echo "the wheel lacks the manylinux2014 alias: $wheel" >&2; exit 1 ;;
esac
echo "$wheel"
