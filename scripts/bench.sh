#!/usr/bin/env bash
# Measures pagewright on the six document-building workloads of benchmarks/
# against the floor (the same output written line by line into io.StringIO)
# and against PyLaTeX, prints one table and writes the results as JSON.
#
#   scripts/bench.sh [--json PATH]   full run (default JSON: out/bench.json)
#   scripts/bench.sh --quick         smoke test: tiny sizes, every workload in
#                                    child processes with and without the fast
#                                    paths; fails if any output differs
#
# The environment is .venv/bench: a Release build of this checkout, the two
# stand-in packages from vendor/ and, for the full run only, PyLaTeX from PyPI
# (a comparison, never a dependency of the library). The build directory
# build/bench is kept, so a second run only rebuilds what changed.
# PW_BENCH_PYTHON=/path/to/python skips the set-up and uses that interpreter,
# which must already have pagewright installed (e.g. .venv/3.11/bin/python).
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) quick=1 ;;
        *) args+=("$1") ;;
    esac
    shift
done

# The interpreter of a Python version: pyenv's if it has one, else PATH's.
find_python() {
    local version=$1
    if command -v pyenv >/dev/null; then
        local candidate
        for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
            [ -x "$candidate" ] && { echo "$candidate"; return; }
        done
    fi
    command -v "python$version" || { echo "bench: no Python $version found" >&2; exit 1; }
}

setup_venv() {
    local venv=.venv/bench
    [ -x "$venv/bin/python" ] || "$(find_python 3.11)" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q scikit-build-core cmake ninja setuptools wheel
    "$venv/bin/python" -m pip install -q --no-deps --no-build-isolation ./vendor/vantor_commons ./vendor/pactum
    "$venv/bin/python" -m pip install -q --no-deps --no-build-isolation --force-reinstall \
        -C cmake.build-type=Release -C build-dir=build/bench .
    [ $quick -eq 1 ] || "$venv/bin/python" -m pip install -q pylatex==1.4.2
    echo "$venv/bin/python"
}

if [ -n "${PW_BENCH_PYTHON:-}" ]; then
    python=$PW_BENCH_PYTHON
else
    python=$(setup_venv | tail -n 1)
fi

if [ $quick -eq 1 ]; then
    exec "$python" -m benchmarks --quick "${args[@]}"
fi
exec "$python" -m benchmarks "${args[@]}"
