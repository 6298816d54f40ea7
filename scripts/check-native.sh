#!/usr/bin/env bash
# The heavy native checks, run by scripts/run-tests.sh after the wheel's Python tests:
#   1. every libFuzzer target of fuzz/ for a short bounded time (clang, AddressSanitizer and
#      UndefinedBehaviorSanitizer), failing on any finding;
#   2. the C++ unit tests under valgrind's memcheck (without the heavy random-trial tests): any
#      error or definite leak fails;
#   3. a subset of the Python tests under memcheck that calls every function and error path of
#      the module: any report with a frame in the module, or any definite leak, fails;
#   4. the constant-flow harness under memcheck: any report outside the reviewed list fails, and
#      a deliberate branch on a marked byte must be reported.
# Usage: scripts/check-native.sh PYTHON, where PYTHON has the wheel, pytest and hypothesis
# installed (or set VARNHOLD_PYTHON). VARNHOLD_FUZZ_SECONDS sets the time per target (30).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
python=${1:-${VARNHOLD_PYTHON:-}}
[ -n "$python" ] || { echo "usage: $0 PYTHON (with the wheel installed)" >&2; exit 2; }
python=$(cd "$(dirname "$python")" && pwd)/$(basename "$python")
fuzz_seconds=${VARNHOLD_FUZZ_SECONDS:-30}
build=${VARNHOLD_NATIVE_BUILD:-build/native-checks}
jobs=2

step() { printf '\n==== %s\n' "$*"; }

step "native check tools"
missing=()
command -v clang++ >/dev/null || missing+=(clang)
command -v valgrind >/dev/null || missing+=(valgrind)
[ -f /usr/include/valgrind/memcheck.h ] || missing+=(valgrind)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

step "fuzz targets, ${fuzz_seconds} s each"
cmake -S . -B "$build/fuzz" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVARNHOLD_BUILD_MODULE=OFF -DVARNHOLD_FUZZ=ON >/dev/null
cmake --build "$build/fuzz" -j "$jobs"
run_fuzzer() {  # name: runs fuzz_<name> on a scratch copy of its seeds; the seeds stay as they are
    local name=$1 work="$build/fuzz-work/$1"
    rm -rf "$work"
    mkdir -p "$work"
    if "$build/fuzz/fuzz/fuzz_$name" -dict=fuzz/varnhold.dict -max_total_time="$fuzz_seconds" \
        -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$work/" \
        "$work" "fuzz/corpus/$name" >"$work.log" 2>&1; then
        echo "fuzz_$name: $(grep -E '^stat::number_of_executed_units' "$work.log" | cut -d: -f4 | tr -d ' ') runs," \
            "$(grep -oE 'cov: [0-9]+' "$work.log" | tail -n 1)"
    else
        echo "fuzz_$name FAILED; the input is under $work/" >&2
        tail -n 40 "$work.log" >&2
        return 1
    fi
}
targets=()
for source in fuzz/fuzz_*.cpp; do targets+=("$(basename "$source" .cpp | sed 's/^fuzz_//')"); done
status=0
# Two targets at a time: one per core.
for ((i = 0; i < ${#targets[@]}; i += 2)); do
    pids=()
    for name in "${targets[@]:i:2}"; do run_fuzzer "$name" & pids+=($!); done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
[ "$status" -eq 0 ] || exit 1

step "C++ unit tests and constant-flow harness under memcheck"
cmake -S . -B "$build/memcheck" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVARNHOLD_BUILD_MODULE=OFF \
    -DVARNHOLD_BUILD_TESTS=ON -DVARNHOLD_BUILD_CONSTANT_FLOW=ON >/dev/null
cmake --build "$build/memcheck" -j "$jobs"
# The random-trial property tests (10^4 sets each), the exhaustive single-error sweep and the v2
# check's exhaustive and random error sweeps would take minutes under memcheck and exercise no
# code path the other tests miss; they run at full count in the plain C++ test pass. VARNHOLD_MEMCHECK_GTEST_FILTER overrides the selection.
valgrind -q --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
    "$build/memcheck/varnhold_cpp_tests" --gtest_brief=1 \
    --gtest_filter="${VARNHOLD_MEMCHECK_GTEST_FILTER:--SafeProperties.*:Envelope.ExhaustiveSingleErrorsAreAllDetected:ShareLengths/TextCheckGuarantee.*}"

harness="$build/memcheck/tests/constant_flow/varnhold_constant_flow"
valgrind -q --error-exitcode=1 --suppressions=tests/constant_flow/constant_flow.supp "$harness"
if valgrind -q --error-exitcode=1 --suppressions=tests/constant_flow/constant_flow.supp \
    "$harness" --self-test >/dev/null 2>&1; then
    echo "the constant-flow check missed a branch on a marked byte" >&2
    exit 1
fi
echo "constant-flow check: no unreviewed report; the deliberate one was caught"

step "Python tests under memcheck"
log="$build/memcheck-python.log"
# Plain malloc, so that memcheck sees every object the module allocates or frees.
(cd tests/python && PYTHONMALLOC=malloc valgrind --leak-check=full --show-leak-kinds=definite \
    --errors-for-leak-kinds=definite --num-callers=40 --suppressions=interpreter.supp \
    --log-file="../../$log" "$python" -m pytest -q -p no:cacheprovider \
    ${VARNHOLD_MEMCHECK_TESTS:-test_binding.py test_conversion.py test_shamir.py test_blakley.py})
"$python" - "$log" <<'PY'
import re, sys
text = open(sys.argv[1]).read()
# A record starts at a report line and runs to the next blank "==pid==" line.
records = re.split(r"\n==\d+== \n", text)
bad = [r for r in records
       if re.search(r"definitely lost in", r)
       or (re.search(r"(Conditional jump|Use of uninitialised|Invalid (read|write|free)|"
                     r"Mismatched free|Syscall param|overlap)", r)
           and re.search(r"varnhold", r))]
for record in bad:
    print(record, file=sys.stderr)
print(f"memcheck over the Python tests: {len(bad)} report(s) involving the module or leaking")
sys.exit(1 if bad else 0)
PY
