#!/usr/bin/env bash
# Runs every test of varnhold on a fresh machine, installing what it needs:
#   1. the C++ unit tests of the core, then the same tests under AddressSanitizer and
#      UndefinedBehaviorSanitizer;
#   2. one abi3 wheel, checked with abi3audit;
#   3. the Python tests against that same wheel on CPython 3.9 and on the newest CPython found.
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
jobs=$(nproc 2>/dev/null || echo 2)
build=build/ci

step() { printf '\n==== %s\n' "$*"; }

step "tools"
missing=()
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
command -v cmake >/dev/null || missing+=(cmake)
command -v g++ >/dev/null || missing+=(g++)
command -v ninja >/dev/null || missing+=(ninja-build)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

pyenv_root=$( (command -v pyenv >/dev/null && pyenv root) || echo "${PYENV_ROOT:-$HOME/.pyenv}")
python_of() {  # the newest installed CPython whose version starts with $1
    local version
    version=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E "^$1[0-9.]*$" | sort -V | tail -n 1)
    [ -n "$version" ] && echo "$pyenv_root/versions/$version/bin/python3"
}
python_oldest=$(python_of '3\.9\.') || { echo "CPython 3.9 not found under $pyenv_root" >&2; exit 1; }
python_newest=$(python_of '3\.[0-9]+\.') || { echo "no CPython under $pyenv_root" >&2; exit 1; }
build_python=$(command -v python3)

step "C++ unit tests"
cmake -S . -B "$build/cpp" -G Ninja -DVARNHOLD_BUILD_MODULE=OFF -DVARNHOLD_BUILD_TESTS=ON >/dev/null
cmake --build "$build/cpp" -j "$jobs"
"$build/cpp/varnhold_cpp_tests"

step "C++ unit tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B "$build/cpp-sanitized" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNHOLD_BUILD_MODULE=OFF -DVARNHOLD_BUILD_TESTS=ON -DVARNHOLD_SANITIZE=ON >/dev/null
cmake --build "$build/cpp-sanitized" -j "$jobs"
ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    "$build/cpp-sanitized/varnhold_cpp_tests"

step "wheel"
rm -rf "$build/dist"
"$build_python" -m pip wheel . --no-deps -w "$build/dist" -q
wheel=$(ls "$build/dist"/varnhold-*.whl)
echo "built $wheel"
case "$wheel" in *-cp39-abi3-*) ;; *) echo "the wheel is not tagged cp39-abi3" >&2; exit 1 ;; esac
"$build_python" -m venv "$build/venv-tools"
"$build/venv-tools/bin/pip" install -q abi3audit
"$build/venv-tools/bin/abi3audit" --strict --report "$wheel"

for python in "$python_oldest" "$python_newest"; do
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    step "Python tests on CPython $version"
    venv="$build/venv-$version"
    rm -rf "$venv"
    "$python" -m venv "$venv"
    "$venv/bin/pip" install -q "$wheel" pytest hypothesis
    # Run from the tests folder so that only the installed wheel can be imported.
    (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider)
done
PYTHON="$python_newest" bash scripts/check-types.sh "$wheel"
