import os as os
import subprocess as subprocess

from _typeshed import StrPath

from .structures import BadTex as BadTex

__all__ = ["compile_tex"]

def compile_tex(filename: StrPath, cwd: StrPath | None = None) -> None: ...
def run_pdflatex(basename: str, cwd: StrPath) -> None: ...
def clean_temporary_files(basename: str) -> None: ...
