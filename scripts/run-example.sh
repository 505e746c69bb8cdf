#!/usr/bin/env bash
# Sets up, then runs the example report: writes out/report.tex and compiles
# it to out/report.pdf. The set-up's own output goes to .venv/logs/setup.log.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh 3.11
exec .venv/3.11/bin/python examples/report.py "$@"
