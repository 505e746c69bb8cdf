import os as os

from _typeshed import StrPath, SupportsWrite

from .context import LatexContext as LatexContext
from .environment import LatexEnvironment as LatexEnvironment
from .file_utils import make_sure_dir_exists as make_sure_dir_exists

__all__ = ["LatexDocument"]

class LatexDocument(LatexEnvironment):
    document_class: str
    class_options: str
    def __init__(
        self, document_class: str = "article", class_options: str = "", graphics_path: str = "."
    ) -> None: ...
    def dump_stream(self, f: SupportsWrite[str]) -> None: ...
    def fullpage(self) -> None: ...
    def write_to_file(self, filename: StrPath) -> None: ...
