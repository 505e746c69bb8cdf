import os as os
from contextlib import AbstractContextManager
from contextlib import contextmanager as contextmanager

from _typeshed import StrPath, SupportsWrite

from .context import LatexContext as LatexContext
from .document import LatexDocument as LatexDocument
from .environment import LatexEnvironment as LatexEnvironment
from .file_utils import make_sure_dir_exists as make_sure_dir_exists

# A str or path object names a file (its directory is created and is the
# default graphics directory); anything else is a stream to write into.
def latex_document(
    filename_or_stream: StrPath | SupportsWrite[str],
    graphics_path: str | None = None,
    document_class: str = "article",
    class_options: str = "",
) -> AbstractContextManager[LatexDocument]:
    """Yield a new LatexDocument; when the block ends normally, write the whole document.

    The destination is a file name or a text stream. For a file name the
    graphics directory defaults to the file's directory and is created;
    for a stream it defaults to the current directory. When the block
    raises, nothing is written.
    """

def latex_fragment(
    filename_or_stream: StrPath | SupportsWrite[str], graphics_path: str | None = None
) -> AbstractContextManager[LatexEnvironment]:
    """Yield a LatexEnvironment on a new root context; when the block ends normally, write its body only.

    No class line, package lines, preamble or document frame: the text is
    meant for `\\input` into another document. Package requests made inside
    are collected and never written. Destination and graphics directory as
    for latex_document.
    """
