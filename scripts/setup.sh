#!/usr/bin/env bash
# Installs everything pagewright needs on a fresh Debian machine: the TeX
# engine and PDF tools from Debian's packages, then one virtual environment
# per Python version under .venv/ holding the two stand-in packages from
# vendor/, the test tools and pagewright itself, built from this checkout.
#
#   scripts/setup.sh [VERSION ...]      default: 3.11
#   PW_SANITIZE=1 scripts/setup.sh asan  a 3.11 build with the sanitizers
set -euo pipefail
cd "$(dirname "$0")/.."

install_system_packages() {
    local missing=()
    command -v pdflatex >/dev/null || missing+=(texlive-latex-base texlive-latex-recommended texlive-latex-extra)
    command -v pdftotext >/dev/null || missing+=(poppler-utils)
    command -v g++ >/dev/null || missing+=(g++)
    [ ${#missing[@]} -eq 0 ] && return
    echo "setup: installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# The interpreter of a Python version: pyenv's if it has one, else PATH's.
find_python() {
    local version=$1
    if command -v pyenv >/dev/null; then
        local candidate
        for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
            [ -x "$candidate" ] && { echo "$candidate"; return; }
        done
    fi
    command -v "python$version" || { echo "setup: no Python $version found" >&2; exit 1; }
}

# make_venv NAME VERSION [pip install options for pagewright]
make_venv() {
    local name=$1 version=$2
    shift 2
    local venv=".venv/$name"
    [ -x "$venv/bin/python" ] || "$(find_python "$version")" -m venv "$venv"
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q scikit-build-core cmake ninja pytest setuptools wheel
    "$venv/bin/python" -m pip install -q --no-deps --no-build-isolation ./vendor/vantor_commons ./vendor/pactum
    "$venv/bin/python" -m pip install -q --no-deps --no-build-isolation --force-reinstall "$@" .
    echo "setup: $venv ready"
}

install_system_packages
[ $# -gt 0 ] || set -- 3.11
for target in "$@"; do
    case "$target" in
        asan) make_venv asan 3.11 -C cmake.define.PW_SANITIZE=ON -C cmake.build-type=Debug ;;
        *) make_venv "$target" "$target" ;;
    esac
done
