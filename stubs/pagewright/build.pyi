from typing import Iterable, NamedTuple

from _typeshed import StrPath

__all__ = ["BuildResult", "build_pdf", "build_pdfs"]

class BuildResult(NamedTuple):
    """What a build made: the PDF's path and the number of pdflatex runs it took."""

    pdf: str
    passes: int

def build_pdf(
    filename: StrPath,
    cwd: StrPath | None = None,
    *,
    max_passes: int = 5,
    timeout: float | None = None,
    reproducible: bool = False,
    keep_aux: bool = False,
) -> BuildResult:
    """Build a PDF whose references, contents and table widths have settled.

    Runs pdflatex on the file as compile_tex does (same command line,
    working directory and base name), and again while the log asks for a
    rerun or the table of contents changed, at most `max_passes` times
    (then a RuntimeWarning names what still asked). Each run is stopped
    after `timeout` seconds. Removes the .aux and .log unless `keep_aux`,
    prints nothing. `reproducible=True` gives the same bytes for the same
    source. A failed run raises BadTex with compile_tex's message and notes.
    """

def build_pdfs(
    filenames: Iterable[StrPath],
    *,
    jobs: int | None = None,
    cwd: StrPath | None = None,
    max_passes: int = 5,
    timeout: float | None = None,
    reproducible: bool = False,
    keep_aux: bool = False,
) -> list[BuildResult]:
    """Build many PDFs at once, `jobs` at a time (default: the number of CPUs).

    Each file is built with build_pdf and the same options; the results
    come in input order. Two files with the same directory and base name
    are refused with ValueError before anything runs. Failures do not stop
    the others: they are raised together at the end, as an ExceptionGroup
    (on Python 3.10, the first one with a note listing the rest).
    """
