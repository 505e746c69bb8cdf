#!/usr/bin/env bash
# Sets up and runs every check of pagewright:
#   - the wheel: two reproducible builds, auditwheel repair, the example
#     report from the repaired wheel on a PATH without build tools;
#   - every example under examples/, compiled, and `mypy --strict` on them;
#   - the guide's picture of the example report, rendered from the real PDF;
#   - the benchmarks' quick run: the same output with and without the fast
#     paths;
#   - stubtest of the type stubs and the test suite on each of CPython 3.10,
#     3.11, 3.12 and 3.13 that the machine has (pyenv's or PATH's; the ones it
#     lacks are named and skipped; at least one must be there);
#   - the suite once more with the native fast paths switched off;
#   - Linux on 64-bit Arm (scripts/aarch64.sh all): a cross build, one
#     against CPython 3.10's headers, the aarch64 wheel (reproducible,
#     repaired, running the example report), and the suite in both modes
#     under emulation; it runs beside the other steps (each is one process,
#     and the machine has two cores) and its log is printed at the end;
#   - the hostile programs against a build with AddressSanitizer and
#     UndefinedBehaviorSanitizer, with the native fast paths switched off;
#   - the suite against that build.
# Arguments are passed on to pytest. Every step runs; the script exits
# non-zero if any of them failed.
set -euo pipefail
cd "$(dirname "$0")/.."

failed=()
step() {
    local name=$1
    shift
    echo
    echo "== [${SECONDS}s] $name"
    "$@" || failed+=("$name")
}

# Only the public C API: no private _Py functions or macros in our sources.
private_api() {
    if grep -rnE '\b_Py[A-Za-z]' src/; then
        echo "private CPython API used (above)" >&2
        return 1
    fi
    echo "no private CPython API in src/"
}
step "public C API only" private_api

mapfile -t versions < <(scripts/setup.sh --versions)
for version in 3.10 3.11 3.12 3.13; do
    [[ " ${versions[*]} " == *" $version "* ]] || echo "test: CPython $version not on this machine, skipped"
done
if [ ${#versions[@]} -eq 0 ]; then
    echo "test: none of CPython 3.10-3.13 found" >&2
    exit 1
fi
scripts/setup.sh all asan

step "wheel: reproducible build, manylinux repair, install without build tools" bash scripts/wheel.sh
# After the x86-64 wheel, which starts by clearing dist/.
mkdir -p out
aarch64_start=$SECONDS
bash scripts/aarch64.sh all "$@" > out/aarch64.log 2>&1 &
aarch64_pid=$!
step "examples and mypy --strict" bash scripts/examples.sh
step "the guide's picture of the example report" bash scripts/docs-images.sh out/docs-images
# The quick benchmark compares the output with and without the fast paths,
# on an interpreter that setup.sh has just given pagewright.
bench_python=.venv/3.11/bin/python
[ -x "$bench_python" ] || bench_python=".venv/${versions[0]}/bin/python"
step "benchmarks (quick): the same output with and without the fast paths" \
    env PW_BENCH_PYTHON="$bench_python" bash scripts/bench.sh --quick
for version in "${versions[@]}"; do
    step "stubtest on CPython $version" ".venv/$version/bin/python" -m mypy.stubtest pagewright --allowlist stubs/allowlist.txt
done

# The test runs come last, so that the output ends with pytest's summary.
for version in "${versions[@]}"; do
    step "tests on CPython $version" ".venv/$version/bin/python" -m pytest -q -p no:cacheprovider "$@"
done

# The switch is read once at import: the whole suite runs on the generic paths.
fast_off=3.11
[ -x ".venv/$fast_off/bin/python" ] || fast_off=${versions[0]}
step "tests on CPython $fast_off with PAGEWRIGHT_NO_FAST_PATHS=1" \
    env PAGEWRIGHT_NO_FAST_PATHS=1 ".venv/$fast_off/bin/python" -m pytest -q -p no:cacheprovider "$@"

# The hostile programs once more under the sanitizers, on the generic paths,
# with the interpreter's allocator on malloc and its debug hooks, so that a
# pointer left to a freed object fails where it is used (scripts/hostile.sh
# runs the same, longer and in both modes). -s: a sanitizer's report must
# reach the log even when it ends the process.
hostile_generic() {
    LD_PRELOAD="$(g++ -print-file-name=libasan.so)" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PYTHONMALLOC=malloc_debug \
        PAGEWRIGHT_NO_FAST_PATHS=1 PW_HOSTILE_EXAMPLES=300 \
        .venv/asan/bin/python -m pytest -q -s -p no:cacheprovider tests/test_hostile.py
}
step "hostile programs under the sanitizers with PAGEWRIGHT_NO_FAST_PATHS=1" hostile_generic

sanitized() {
    local asan_runtime
    asan_runtime=$(g++ -print-file-name=libasan.so)
    LD_PRELOAD="$asan_runtime" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PW_SANITIZED=1 \
        .venv/asan/bin/python -m pytest -q -p no:cacheprovider "$@"
}
step "tests under AddressSanitizer and UndefinedBehaviorSanitizer" sanitized "$@"

aarch64() {
    local status=0
    wait "$aarch64_pid" || status=$?
    echo "(begun at ${aarch64_start}s, beside the steps above)"
    cat out/aarch64.log
    return $status
}
step "Linux on 64-bit Arm: tree, cross builds, wheel, the suite under emulation in both modes" aarch64

if [ ${#failed[@]} -gt 0 ]; then
    echo
    printf 'test: FAILED: %s\n' "${failed[@]}"
    exit 1
fi
