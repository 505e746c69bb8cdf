#!/usr/bin/env bash
# A long run of the hostile programs (tests/test_hostile.py) against the build
# with AddressSanitizer and UndefinedBehaviorSanitizer (.venv/asan, made by
# `scripts/setup.sh asan`), once with the fast paths and once without them,
# one mode after the other. Prints how many programs each mode ran.
#
#   scripts/hostile.sh [EXAMPLES]    default 2000 programs per mode
#
# PW_HOSTILE_SEED=N repeats a run; PW_HOSTILE_TRACE=1 prints each step, so
# that the program behind a crash can be read off the end of the output.
set -euo pipefail
cd "$(dirname "$0")/.."

examples=${1:-2000}
python=.venv/asan/bin/python
[ -x "$python" ] || { echo "hostile: no $python; run scripts/setup.sh asan" >&2; exit 1; }

# The interpreter's allocator goes through malloc with its debug hooks: freed
# objects are filled with a pattern and handed to the sanitizer, so a pointer
# left to one fails where it is used, in the interpreter's code too.
run() {
    env "$@" PW_HOSTILE_EXAMPLES="$examples" PYTHONMALLOC=malloc_debug \
        LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
        ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$python" -m pytest -q -s -p no:cacheprovider tests/test_hostile.py -k programs
}

failed=0
echo "== fast paths on"
run || failed=1
echo "== fast paths off (PAGEWRIGHT_NO_FAST_PATHS=1)"
run PAGEWRIGHT_NO_FAST_PATHS=1 || failed=1
exit $failed
