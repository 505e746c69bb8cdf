#!/usr/bin/env bash
# Installs everything pagewright needs on a fresh Debian machine: the TeX
# engine, PDF tools and compiler from Debian's packages, then one virtual
# environment per Python version under .venv/ holding the two stand-in
# packages from vendor/, the test tools and pagewright itself, built from
# this checkout.
#
#   scripts/setup.sh [TARGET ...]    default: 3.11
#     3.10 3.11 3.12 3.13            that CPython version (pyenv's, else PATH's)
#     all                            every one of those four the machine has
#     asan                           a 3.11 build (or the first available version)
#                                    with AddressSanitizer and UndefinedBehaviorSanitizer
#   scripts/setup.sh --versions      prints the versions the machine has, one a line
#   scripts/setup.sh --python        prints the interpreter other scripts build
#                                    tool environments with: 3.11's, else the first
#   scripts/setup.sh --test-tools    prints the test tools, one a line
#
# It prints a line for each environment it makes; what the installers and the
# build print goes to .venv/logs/setup.log, and is shown when a step fails.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/logged.sh
use_log setup

SUPPORTED=(3.10 3.11 3.12 3.13)
# typing_extensions: tests/typing/usage.py imports it at run time.
TEST_TOOLS=(pytest hypothesis mypy typing_extensions)

apt_install() {
    [ $# -gt 0 ] || return 0
    echo "setup: installing $* from Debian's packages" >&2
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    if [ -z "${APT_UPDATED:-}" ]; then
        logged $sudo apt-get update -qq
        APT_UPDATED=1
    fi
    logged env DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$@"
}

install_system_packages() {
    local missing=()
    command -v pdflatex >/dev/null || missing+=(texlive-latex-base texlive-latex-recommended texlive-latex-extra)
    command -v pdftoppm >/dev/null || missing+=(poppler-utils)
    command -v g++ >/dev/null || missing+=(g++)
    apt_install "${missing[@]}"
}

# The interpreter of a Python version: pyenv's if it has one, else PATH's;
# nothing when the machine has neither.
find_python() {
    local version=$1 candidate
    if command -v pyenv >/dev/null; then
        for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
            [ -x "$candidate" ] && { echo "$candidate"; return 0; }
        done
    fi
    candidate=$(command -v "python$version" 2>/dev/null) || return 0
    # pyenv's shim answers for every version it knows of, installed or not.
    "$candidate" -c '' 2>/dev/null && echo "$candidate"
    return 0
}

available_versions() {
    local version
    for version in "${SUPPORTED[@]}"; do
        [ -n "$(find_python "$version")" ] && echo "$version"
    done
    return 0
}

# Debian splits venv/ensurepip and the C headers off its own interpreter.
ensure_venv_and_headers() {
    local python=$1 version=$2 missing=()
    "$python" -c 'import ensurepip' 2>/dev/null || missing+=("python$version-venv")
    "$python" -c 'import os, sysconfig; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
        || missing+=("python$version-dev")
    apt_install "${missing[@]}"
}

# make_venv NAME VERSION [pip install options for pagewright]
make_venv() {
    local name=$1 version=$2
    shift 2
    local venv=".venv/$name" python
    python=$(find_python "$version")
    [ -n "$python" ] || { echo "setup: no CPython $version on this machine" >&2; exit 1; }
    ensure_venv_and_headers "$python" "$version"
    echo "setup: building $venv (log: $LOG)"
    [ -x "$venv/bin/python" ] || logged "$python" -m venv "$venv"
    logged "$venv/bin/python" -m pip install --upgrade pip
    logged "$venv/bin/python" -m pip install scikit-build-core cmake ninja setuptools wheel "${TEST_TOOLS[@]}"
    logged "$venv/bin/python" -m pip install --no-deps --no-build-isolation ./vendor/vantor_commons ./vendor/pactum
    logged "$venv/bin/python" -m pip install --no-deps --no-build-isolation --force-reinstall "$@" .
    # The installed version, read without loading the extension (the
    # sanitizer build loads only with its runtime preloaded).
    echo "setup: $venv ready: $("$venv/bin/python" -c 'import importlib.metadata as m, platform; print("pagewright", m.version("pagewright"), "on CPython", platform.python_version())')"
}

# 3.11 where the machine has it (Debian 12's own), else the first supported;
# ready to make virtual environments with.
default_python() {
    local python version=3.11
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        version=$(available_versions | head -n 1)
        [ -n "$version" ] || { echo "setup: none of CPython ${SUPPORTED[*]} found" >&2; exit 1; }
        python=$(find_python "$version")
    fi
    ensure_venv_and_headers "$python" "$version"
    echo "$python"
}

case "${1:-}" in
    --versions) available_versions; exit 0 ;;
    --python) default_python; exit 0 ;;
    --test-tools) printf '%s\n' "${TEST_TOOLS[@]}"; exit 0 ;;
esac

start_log setup
install_system_packages
[ $# -gt 0 ] || set -- 3.11
mapfile -t AVAILABLE < <(available_versions)
[ ${#AVAILABLE[@]} -gt 0 ] || { echo "setup: none of CPython ${SUPPORTED[*]} found" >&2; exit 1; }
for target in "$@"; do
    case "$target" in
        all)
            for version in "${AVAILABLE[@]}"; do make_venv "$version" "$version"; done ;;
        asan)
            sanitized=$("$(default_python)" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
            make_venv asan "$sanitized" -C cmake.define.PW_SANITIZE=ON -C cmake.build-type=Debug ;;
        *) make_venv "$target" "$target" ;;
    esac
done
