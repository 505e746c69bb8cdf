#!/usr/bin/env bash
# Regenerates the pictures of the guide from real output: writes and
# compiles the example report, then renders its first page with pdftoppm
# into docs/images/report-page1.png.
#
#   scripts/docs-images.sh [DIRECTORY]    default: docs/images
set -euo pipefail
cd "$(dirname "$0")/.."
images=${1:-docs/images}
mkdir -p "$images"

version=$("$(scripts/setup.sh --python)" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
[ -x ".venv/$version/bin/python" ] || scripts/setup.sh "$version"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
".venv/$version/bin/python" examples/report.py "$work" >/dev/null
pdftoppm -f 1 -l 1 -r 100 -png -singlefile "$work/report.pdf" "$images/report-page1"
echo "docs-images: $images/report-page1.png from $(basename "$work")/report.pdf"
