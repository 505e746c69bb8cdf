#!/usr/bin/env bash
# Runs every script under examples/ (each writes its document into
# out/examples/ and compiles it with pdflatex), checks that no PDF shows an
# unresolved reference, then type-checks examples/ and the typed usage file
# with `mypy --strict` against pagewright's stubs.
#
# The examples' own environment, .venv/examples, holds matplotlib and pandas
# (with pandas' stubs); pagewright never depends on them. pagewright comes
# from the repaired wheel of scripts/wheel.sh when there is one, else it is
# built from this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/logged.sh
start_log examples

python=$(scripts/setup.sh --python)
venv=.venv/examples
echo "examples: setting up $venv (log: $LOG)"
[ -x "$venv/bin/python" ] || logged "$python" -m venv "$venv"
logged "$venv/bin/python" -m pip install --upgrade pip
logged "$venv/bin/python" -m pip install matplotlib pandas pandas-stubs mypy typing_extensions setuptools wheel
logged "$venv/bin/python" -m pip install --no-deps --no-build-isolation ./vendor/vantor_commons ./vendor/pactum
tag=$("$venv/bin/python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
wheel=$(ls dist/wheelhouse/pagewright-*-"$tag"-*manylinux*.whl 2>/dev/null | head -n 1 || true)
if [ -n "$wheel" ]; then
    logged "$venv/bin/python" -m pip install --no-deps --force-reinstall "$wheel"
else
    logged "$venv/bin/python" -m pip install scikit-build-core cmake ninja
    logged "$venv/bin/python" -m pip install --no-deps --no-build-isolation --force-reinstall .
fi

mkdir -p out/examples
for example in examples/*.py; do
    echo "== example $example"
    "$venv/bin/python" "$example" out/examples >/dev/null
done
pdfs=$(ls out/examples/*.pdf | wc -l)
echo "examples: $pdfs PDFs in out/examples"
# A reference that did not resolve prints as "??".
for pdf in out/examples/*.pdf; do
    if pdftotext "$pdf" - | grep -qF '??'; then
        echo "examples: $pdf shows an unresolved reference (??)" >&2
        exit 1
    fi
done

echo "== mypy --strict examples/ tests/typing/usage.py"
"$venv/bin/python" -m mypy --strict --no-incremental examples/ tests/typing/usage.py
