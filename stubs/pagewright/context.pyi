from io import StringIO as StringIO
from typing import Dict as Dict

from _typeshed import SupportsWrite
from typing_extensions import disjoint_base as _disjoint_on_every_version

from ._layout import disjoint_base

__all__ = ["LatexContext"]

@disjoint_base
class UsePackage:
    """One entry of a document's package table: a package name and its options."""

    name: str
    options: Dict[str, str]
    def __init__(self, name: str, options: Dict[str, str] | None = None) -> None: ...
    def dump_preamble(self, f: SupportsWrite[str]) -> None:
        """Write the line `\\usepackage[options]{name}` to `f`."""

def dict_to_latex_option_string(d: Dict[str, str]) -> str:
    """The options of one package as the text between the brackets of `\\usepackage`."""

# Its native text buffers give it a layout of its own on every version.
@_disjoint_on_every_version
class LatexContext:
    """Where text collects: a body buffer `f`, a `preamble` buffer, a graphics directory and packages.

    A root context (made by a document or a fragment) holds the package
    table and the file-name counter; `child()` makes a context with empty
    buffers of its own whose package requests and file names climb to the
    root, so a whole document has one package table. Nested constructs
    collect their text in a child and hand it up when their block ends.
    """

    f: StringIO
    preamble: StringIO
    graphics_path: str
    parent: LatexContext | None
    count: int
    packages: Dict[str, UsePackage]
    def __init__(self, graphics_path: str = ".") -> None: ...
    def generate_file_id(self) -> str:
        """A new file name stem from the root's counter: "file0", "file1", ..."""

    def child(self) -> LatexContext:
        """A new context with empty buffers, the same graphics directory and this one as parent."""

    def dump_preamble(self, f: SupportsWrite[str]) -> None:
        """Write one `\\usepackage` line per package of the table to `f`, in order of first request."""

    def require_package(self, name: str) -> None:
        """Request a package without options; at the root, a package already requested keeps its options."""

    def use_package(self, name: str, options: Dict[str, str] | None = None) -> None:
        """Request a package; a repeated request keeps its place and takes the latest options."""
