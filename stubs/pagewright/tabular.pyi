from contextlib import AbstractContextManager
from contextlib import contextmanager as contextmanager
from typing import ClassVar

from typing_extensions import disjoint_base as _disjoint_on_every_version

from .context import LatexContext
from .environment import LatexEnvironment as LatexEnvironment

class Tabular(LatexEnvironment):
    """A tabular or longtable being written, as yielded by `tabular()` and `longtable()`.

    Columns are given as a list of `l`, `r`, `c` or `p{width}`; anything
    else raises AssertionError. Rows come from `row_tex` or from `row()`
    blocks; no row takes more cells than there are columns (a plain
    Exception). When its block ends, the table is written into the
    enclosing block. Cell texts are never escaped.
    """

    allowed: ClassVar[list[str]]
    envs: ClassVar[list[str]]
    env: str
    ncols: int
    alignment: list[str]
    def __init__(
        self, alignment: list[str], context: LatexContext, env: str = "tabular"
    ) -> None: ...
    def hline(self) -> None:
        """Write `\\hline`: a rule across the table."""

    def endhead(self) -> None:
        """Write `\\endhead`: the rows above repeat on every page of a longtable."""

    # Its native fields give it a layout of its own on every version.
    @_disjoint_on_every_version
    class Row:
        """One row being built from cells, as yielded by `Tabular.row()`.

        Each cell method adds one cell (or `n` columns); one cell too many
        raises Exception("Too many columns") at once. The row is written,
        its cells joined with ` & `, when its block ends.
        """

        ncols: int
        col: int
        cols: list[str]
        context: LatexContext
        def __init__(self, ncols: int, context: LatexContext) -> None: ...
        def cell_tex(self, tex: str = "") -> None:
            """Add a cell of ready-made LaTeX, unescaped."""

        def cell(self) -> AbstractContextManager[LatexEnvironment]:
            """Yield an environment whose text becomes the next cell when the block ends."""

        def multicolumn_tex(self, n: int, align: str, tex: str) -> None:
            """Add `\\multicolumn{n}{align}{tex}`, a cell spanning `n` columns."""

    def row(self) -> AbstractContextManager[Tabular.Row]:
        """Yield a Row; when the block ends its cells are written as one row."""

    def row_tex(self, *cols: str) -> None:
        """Write one row from ready-made cell texts, unescaped; more texts than columns raise Exception."""

    def dump(self, main_context: LatexContext) -> None:
        """Write `\\begin{env}{columns}`, the body and `\\end{env}` into `main_context`."""
