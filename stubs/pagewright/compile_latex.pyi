import os as os
import subprocess as subprocess

from _typeshed import StrPath

from .structures import BadTex as BadTex

__all__ = ["compile_tex"]

def compile_tex(filename: StrPath, cwd: StrPath | None = None) -> None:
    """Run pdflatex once on a .tex file; raise BadTex if the run fails.

    The engine runs in `cwd` (default: the file's directory) on the file's
    name relative to it, without its suffix, with its input on the null
    device and its output discarded. After a successful run the names of
    the .aux and .log files are printed and those files removed; after a
    failed one both stay, and the BadTex carries the log's first error as
    a note. A missing file raises AssertionError.
    """

def run_pdflatex(basename: str, cwd: StrPath) -> None:
    """Run `pdflatex -halt-on-error -interaction=errorstopmode basename` once in `cwd`; raise BadTex if it fails."""

def clean_temporary_files(basename: str) -> None:
    """Print `basename`.aux and `basename`.log, one a line, and remove those that exist."""
