# Cross-compiling for Linux on 64-bit Arm with Debian's aarch64-linux-gnu
# compiler (package g++-aarch64-linux-gnu), against the CPython of an arm64
# tree: a directory holding Debian's python3.X and libpython3.X-dev for
# arm64, unpacked (scripts/aarch64.sh makes one in build/aarch64/sysroot).
#
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake ...
#     PW_AARCH64_SYSROOT   the tree (also from the environment);
#                          default build/aarch64/sysroot
#     PW_PYTHON_VERSION    the CPython version, default 3.11
#     PW_PYTHON_INCLUDE    its headers, default the tree's usr/include/python3.X
#
# The C library and libstdc++ come from the cross compiler's own tree; only
# the interpreter's headers come from the arm64 tree.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)

if(NOT PW_AARCH64_SYSROOT)
  if(DEFINED ENV{PW_AARCH64_SYSROOT})
    set(PW_AARCH64_SYSROOT "$ENV{PW_AARCH64_SYSROOT}")
  else()
    get_filename_component(PW_AARCH64_SYSROOT "${CMAKE_CURRENT_LIST_DIR}/../build/aarch64/sysroot" ABSOLUTE)
  endif()
endif()
if(NOT PW_PYTHON_VERSION)
  set(PW_PYTHON_VERSION 3.11)
endif()
if(NOT PW_PYTHON_INCLUDE)
  set(PW_PYTHON_INCLUDE "${PW_AARCH64_SYSROOT}/usr/include/python${PW_PYTHON_VERSION}")
endif()
# try_compile projects read this file again: hand them the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PW_AARCH64_SYSROOT PW_PYTHON_VERSION PW_PYTHON_INCLUDE)

# Debian's pyconfig.h includes <aarch64-linux-gnu/python3.X/pyconfig.h>, so
# the tree's usr/include is searched too, after the compiler's own headers
# (its C library must not be taken for the cross compiler's). This is an
# initial value: flags given in CXXFLAGS are kept beside it, a
# CMAKE_CXX_FLAGS given on the command line replaces it.
string(APPEND CMAKE_CXX_FLAGS_INIT " -idirafter ${PW_AARCH64_SYSROOT}/usr/include")

set(CMAKE_FIND_ROOT_PATH "${PW_AARCH64_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindPython would otherwise take the host's python3.X-config and headers.
# A cross build does not run the interpreter, so the extension's suffix is
# set here: the file must be named as an arm64 interpreter looks for it.
string(REPLACE "." "" _pw_nodot "${PW_PYTHON_VERSION}")
set(Python_ROOT_DIR "${PW_AARCH64_SYSROOT}/usr")
set(Python_INCLUDE_DIR "${PW_PYTHON_INCLUDE}")
set(Python_SOABI "cpython-${_pw_nodot}-aarch64-linux-gnu" CACHE STRING
    "the extension suffix of an aarch64 CPython, without the dots and .so")
unset(_pw_nodot)
