#!/usr/bin/env bash
# Sets up and runs the whole test suite on CPython 3.11 and 3.10, then once
# more against a build with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh 3.11 3.10 asan

status=0
for version in 3.11 3.10; do
    echo "== tests on CPython $version"
    ".venv/$version/bin/python" -m pytest -q -p no:cacheprovider "$@" || status=1
done

echo "== tests under AddressSanitizer and UndefinedBehaviorSanitizer"
asan_runtime=$(g++ -print-file-name=libasan.so)
LD_PRELOAD="$asan_runtime" ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 PW_SANITIZED=1 \
    .venv/asan/bin/python -m pytest -q -p no:cacheprovider "$@" || status=1
exit $status
