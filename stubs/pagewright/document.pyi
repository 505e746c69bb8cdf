import os as os

from _typeshed import StrPath, SupportsWrite

from .context import LatexContext as LatexContext
from .environment import LatexEnvironment as LatexEnvironment
from .file_utils import make_sure_dir_exists as make_sure_dir_exists

__all__ = ["LatexDocument"]

class LatexDocument(LatexEnvironment):
    """A whole LaTeX document: an environment on a new root context, with a class line.

    Every writer method of LatexEnvironment writes into its body.
    `dump_stream` writes the complete source: the document-class line, one
    `\\usepackage` line per requested package in order of first request, the
    graphicx line and graphics path, the preamble, and the body between
    `\\begin{document}` and `\\end{document}`. `latex_document` makes one
    and writes it when its block ends.
    """

    document_class: str
    class_options: str
    def __init__(
        self, document_class: str = "article", class_options: str = "", graphics_path: str = "."
    ) -> None: ...
    def dump_stream(self, f: SupportsWrite[str]) -> None:
        """Write the complete document source to `f`."""

    def fullpage(self) -> None:
        """Request the fullpage package (smaller margins)."""

    def write_to_file(self, filename: StrPath) -> None:
        """Write the complete document source to `filename`, creating its directory."""
