#!/usr/bin/env bash
# Runs every test of varnhold on a fresh machine, installing what it needs. The steps, in order,
# are listed in `steps` below; each is one function here or one script beside it. Naming steps
# on the command line runs only those (scripts/run-tests.sh wheel python_tests).
#   lint           clang-format, ruff and mypy --strict with pinned versions (scripts/lint.sh)
#   tools          GoogleTest, CMake, Ninja, g++, and age and ssh-keygen for the interoperability
#                  tests of varnhold.age, from apt-get when missing
#   cpp_tests      the C++ unit tests of the core
#   cpp_sanitized  the same tests under AddressSanitizer and UndefinedBehaviorSanitizer
#   wheel          the portable wheel (scripts/build-wheel.sh): cp39-abi3, manylinux_2_17_x86_64
#   wheel_checks   abi3audit --strict and auditwheel's manylinux2014 check (scripts/check-wheel.sh)
#   python_tests   the Python tests against that same wheel on every supported CPython
#   native_checks  short fuzz runs, memcheck of the C++ and Python tests, the constant-flow check
#                  (scripts/check-native.sh), in CPython 3.11's test environment
#   type_checks    mypy --strict and stubtest against the wheel in a fresh environment
#                  (scripts/check-types.sh), on the newest CPython
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
jobs=$(nproc 2>/dev/null || echo 2)
build=build/ci
# Every CPython the wheel supports; each must be present (or installable with pyenv).
python_versions=(3.9 3.10 3.11 3.12 3.13)
steps=(lint tools cpp_tests cpp_sanitized wheel wheel_checks python_tests native_checks type_checks)

step() { printf '\n==== %s\n' "$*"; }

tools() {
    local missing=()
    [ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    command -v cmake >/dev/null || missing+=(cmake)
    command -v g++ >/dev/null || missing+=(g++)
    command -v ninja >/dev/null || missing+=(ninja-build)
    command -v age >/dev/null || missing+=(age)
    command -v ssh-keygen >/dev/null || missing+=(openssh-client)
    if [ ${#missing[@]} -gt 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    fi
}

lint() {
    bash scripts/lint.sh
}

cpp_tests() {
    cmake -S . -B "$build/cpp" -G Ninja -DVARNHOLD_BUILD_MODULE=OFF -DVARNHOLD_BUILD_TESTS=ON >/dev/null
    cmake --build "$build/cpp" -j "$jobs"
    "$build/cpp/varnhold_cpp_tests"
}

cpp_sanitized() {
    cmake -S . -B "$build/cpp-sanitized" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVARNHOLD_BUILD_MODULE=OFF -DVARNHOLD_BUILD_TESTS=ON -DVARNHOLD_SANITIZE=ON >/dev/null
    cmake --build "$build/cpp-sanitized" -j "$jobs"
    ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
        "$build/cpp-sanitized/varnhold_cpp_tests"
}

wheel() {
    wheel=$(bash scripts/build-wheel.sh "$build/wheelhouse" | tail -n 1)
    echo "built $wheel"
}

# The wheel of the wheel step, or of an earlier run when that step is not run now.
built_wheel() {
    [ -n "${wheel:-}" ] || wheel=$(ls "$build"/wheelhouse/varnhold-*.whl)
}

wheel_checks() {
    built_wheel
    bash scripts/check-wheel.sh "$wheel"
}

pyenv_root=$( (command -v pyenv >/dev/null && pyenv root) || echo "${PYENV_ROOT:-$HOME/.pyenv}")

# Prints the interpreter of the newest installed CPython $1.x; installs one with pyenv if there
# is none, and fails with a clear message if that is impossible.
python_of() {
    local series=$1 version
    version=$(ls "$pyenv_root/versions" 2>/dev/null | grep -E "^${series//./\\.}\.[0-9]+$" |
        sort -V | tail -n 1) || true
    if [ -z "$version" ]; then
        echo "CPython $series is not installed under $pyenv_root; installing it with pyenv" >&2
        if ! command -v pyenv >/dev/null || ! pyenv install --skip-existing "$series" >&2; then
            echo "CPython $series is missing and could not be installed" >&2
            return 1
        fi
        version=$(ls "$pyenv_root/versions" | grep -E "^${series//./\\.}\.[0-9]+$" | sort -V | tail -n 1)
    fi
    echo "$pyenv_root/versions/$version/bin/python3"
}

python_tests() {
    local series python venv actual
    built_wheel
    for series in "${python_versions[@]}"; do
        python=$(python_of "$series")
        actual=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
        [ "$actual" = "$series" ] || { echo "$python is CPython $actual, not $series" >&2; return 1; }
        step "Python tests on CPython $("$python" -c 'import platform; print(platform.python_version())')"
        venv="$build/venv-$series"
        rm -rf "$venv"
        "$python" -m venv "$venv"
        # The test tools are the package's `test` extra.
        "$venv/bin/pip" install -q "$wheel[test]"
        # Run from the tests folder so that only the installed wheel can be imported.
        (cd tests/python && "../../$venv/bin/python" -m pytest -q -p no:cacheprovider)
    done
}

# The memcheck pass over the Python tests runs on CPython 3.11: 3.13 leaves its interned strings
# allocated at exit, thousands of definite leaks with no frame of ours that would bury a real one.
memcheck_python=3.11

native_checks() {
    local venv="$build/venv-$memcheck_python"
    [ -x "$venv/bin/python" ] || { echo "run python_tests first: $venv is missing" >&2; return 1; }
    bash scripts/check-native.sh "$venv/bin/python"
}

type_checks() {
    built_wheel
    PYTHON=$(python_of "${python_versions[-1]}") bash scripts/check-types.sh "$wheel"
}

[ $# -eq 0 ] || steps=("$@")
for name in "${steps[@]}"; do
    step "$name"
    "$name"
done
echo
echo "all tests passed"
