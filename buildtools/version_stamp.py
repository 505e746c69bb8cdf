"""pagewright's version, stamped with the minute of the build.

A local metadata provider for scikit-build-core (see pyproject.toml). The
version is the major and minor number from pyproject.toml followed by a
ten-digit UTC stamp, YYMMDDHHMM: "1.0.2612091626". The minute is that of
SOURCE_DATE_EPOCH when it is set, else that of the newest file the build
reads: what SOURCE_DATE_EPOCH stands for. It is not the clock's, because a
front end such as pip asks for the metadata and then builds the wheel in
two processes, and the backend refuses a wheel whose version differs from
the metadata it gave first: a clock would do so whenever a minute ends in
between. A build from an sdist keeps the version its PKG-INFO records.

CMake receives this version as SKBUILD_PROJECT_VERSION_FULL and derives
both pagewright.__version__ and pagewright.__date__ from it, so the
distribution's version, the module's version and its date are one value.
"""

from __future__ import annotations

import email.parser
import os
import pathlib
import time
from typing import Any, Mapping


# What the build reads, relative to the project's root.
SOURCES = ["CMakeLists.txt", "pyproject.toml", "buildtools", "src", "stubs"]


def newest_source() -> float:
    newest = 0.0
    for source in map(pathlib.Path, SOURCES):
        files = [source] if source.is_file() else (
            p for p in source.rglob("*") if p.is_file() and "__pycache__" not in p.parts)
        newest = max([newest, *(p.stat().st_mtime for p in files)])
    return newest


def build_minute() -> time.struct_time:
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    return time.gmtime(int(epoch) if epoch else newest_source())


def sdist_version() -> str | None:
    pkg_info = pathlib.Path("PKG-INFO")
    if not pkg_info.is_file():
        return None
    return email.parser.HeaderParser().parsestr(pkg_info.read_text(encoding="utf-8"))["Version"]


def dynamic_metadata(settings: Mapping[str, Any], project: Mapping[str, Any]) -> dict[str, str]:
    version = sdist_version()
    if version is None:
        version = "%s.%s" % (settings["major-minor"], time.strftime("%y%m%d%H%M", build_minute()))
    return {"version": version}
