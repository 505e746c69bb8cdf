import mimetypes as mimetypes
import os as os
from contextlib import AbstractContextManager
from contextlib import contextmanager as contextmanager
from typing import Dict as Dict
from typing import Collection, Final, Iterable, Literal, Sequence

from typing_extensions import disjoint_base as _disjoint_on_every_version
from pactum import pact as pact  # type: ignore[import-untyped]

from .context import LatexContext
from .figure import Figure, SubFigure
from .tabular import Tabular
from .utils import latex_escape as latex_escape

MIME_PNG: Final = "image/png"
MIME_JPG: Final = "image/jpeg"
MIME_PLAIN: Final = "text/plain"

# Its writer fields give it a layout of its own on every version.
@_disjoint_on_every_version
class LatexEnvironment:
    """A writer bound to a context: every method appends LaTeX to `context.f`.

    The document, figures, tables, table cells and boxes are all
    environments. Writers append text in call order; the methods that
    return a context manager (`figure`, `tabular`, `minipage`, the boxes)
    yield a new environment on a child context and write the finished
    construct into this one when their block ends normally. Only `text`
    escapes; everything else goes out as given.
    """

    context: LatexContext
    def __init__(self, context: LatexContext) -> None: ...
    def color(self, r: float | str, g: float | str, b: float | str) -> None:
        """Write `\\color[rgb]{r,g,b}`: the colour of the text after it (needs xcolor)."""

    def hfill(self) -> None:
        """Write `\\hfill`: stretchable horizontal space."""

    def vfill(self) -> None:
        """Write `\\vfill`: stretchable vertical space."""

    def hspace(self, size: str) -> None:
        """Write `\\hspace{size}`."""

    def vspace(self, size: str) -> None:
        """Write `\\vspace{size}`."""

    def parbreak(self) -> None:
        """Write `\\par`: end the paragraph."""

    def linebreak(self) -> None:
        """Write `\\\\`: break the line (or end a table row)."""

    def pagebreak(self) -> None:
        """Write `\\pagebreak`."""

    def rule(self, width: str, height: str, color: str = "gray") -> None:
        """Write a coloured `\\rule{width}{height}` (needs xcolor)."""

    def text(self, t: str) -> None:
        """Write plain text, escaped: backslash, braces, `_` and `$` print as themselves.

        `^` becomes the accent `\\^` (a hat on the next letter); `%`, `&`,
        `#` and `~` are not escaped and act as LaTeX specials.
        """

    def tabular_simple(
        self,
        data: Sequence[Iterable[object]],
        row_desc: Iterable[object],
        col_desc: Collection[object],
        write_col_desc: bool = True,
    ) -> None:
        """Write a whole ruled table: a label column from `row_desc`, a header from `col_desc`, the rows of `data`."""

    def tex(self, tex: str) -> None:
        """Write raw LaTeX, unchanged."""

    def input(self, filename: str) -> None:
        """Write `\\input{filename}`."""

    def use_package(self, name: str, options: Dict[str, str] | None = None) -> None:
        """Request a LaTeX package for the document; each package is loaded once, where first requested."""

    def figure(
        self,
        caption: str | None = None,
        label: str | None = None,
        placement: str = "t",
        double: bool = False,
    ) -> AbstractContextManager[Figure]:
        """Yield a Figure; when the block ends, write the float with its caption and label.

        Requests the caption package. Caption and label are written
        unescaped, the label inside the caption. `double=True` writes
        `figure*` (across both columns). Figures do not nest.
        """

    def tabular(
        self, alignment: list[str], env: Literal["tabular", "longtable"] = "tabular"
    ) -> AbstractContextManager[Tabular]:
        """Yield a Tabular with one column per entry of `alignment` (`l`, `r`, `c`, `p{width}`).

        When the block ends, the table is written here. Cell texts are not
        escaped, and no row takes more cells than there are columns.
        """

    def longtable(self, alignment: list[str]) -> AbstractContextManager[Tabular]:
        """As `tabular`, writing a longtable that breaks across pages; request the longtable package."""

    def textattachfile(self, basename: str, data: str | bytes, text: str) -> None:
        """Save `data` as `basename` in the graphics directory and write `\\textattachfile` for it (needs attachfile)."""

    def save_graphics_data(self, data: str | bytes, mime: str, gid: str) -> str:
        """Save `data` in the graphics directory as `gid` with the suffix of `mime`; return the path."""

    def graphics_data(
        self, data: str | bytes, mime: str, gid: str | None = None, **params: object
    ) -> None:
        """Save image data as a file and write `\\includegraphics[params]{gid}` for it.

        Without `gid` the name is generated (file0, file1, ...). Keyword
        arguments become the options: `width="5cm"`, or `True` for a bare key.
        """

    def minipage(
        self, width: str, align: str = "", fbox: bool = False
    ) -> AbstractContextManager[LatexEnvironment]:
        """Yield an environment whose text is set in a minipage of that width; `fbox=True` frames it tightly."""

    def minipage_bottom(self, width: str) -> AbstractContextManager[LatexEnvironment]:
        """As `minipage`, aligning its bottom line with the current baseline."""

    def fbox(self, sep: str = "1pt") -> AbstractContextManager[LatexEnvironment]:
        """Yield an environment whose text is framed by `\\fbox`, `sep` from the frame."""

    def resizebox(self, width: str) -> AbstractContextManager[LatexEnvironment]:
        """Yield an environment whose text is scaled to `width` by `\\resizebox`."""

    def medskip(self) -> None:
        """Write `\\medskip`: a medium vertical space."""

    def footnotesize(self) -> None:
        """Write `\\footnotesize`: the text after it is set small."""

    def mbox(
        self, width: str = "", position: str = "c"
    ) -> AbstractContextManager[LatexEnvironment]:
        """Yield an environment whose text is set in an `\\mbox` (never broken across lines)."""

    def tightbox(self) -> AbstractContextManager[LatexEnvironment]:
        """As `fbox` with no margin between the frame and the text."""

    def lstlisting(self, code: str, language: str | None = None) -> None:
        """Write `code` as a listing in that language, verbatim; requests the listings package."""

    def subfigure(
        self, caption: str = "", label: str | None = None
    ) -> AbstractContextManager[SubFigure]:
        """Yield a SubFigure; when the block ends, write a `\\subfloat` with its caption and label.

        Requests the caption and subfig packages. Used inside a figure;
        sub-figures do not nest.
        """

# Keyword options for \includegraphics: True gives the bare key, None
# leaves the key out, every other value is written as key=value.
def make_options_string(**params: object) -> str:
    """`key=value` for each keyword argument, comma-separated; `True` gives the bare key, `None` leaves it out."""
