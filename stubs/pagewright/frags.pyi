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
) -> AbstractContextManager[LatexDocument]: ...
def latex_fragment(
    filename_or_stream: StrPath | SupportsWrite[str], graphics_path: str | None = None
) -> AbstractContextManager[LatexEnvironment]: ...
