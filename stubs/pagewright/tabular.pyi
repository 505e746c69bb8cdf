from contextlib import AbstractContextManager
from contextlib import contextmanager as contextmanager
from typing import ClassVar

from typing_extensions import disjoint_base as _disjoint_on_every_version

from .context import LatexContext
from .environment import LatexEnvironment as LatexEnvironment

class Tabular(LatexEnvironment):
    allowed: ClassVar[list[str]]
    envs: ClassVar[list[str]]
    env: str
    ncols: int
    alignment: list[str]
    def __init__(
        self, alignment: list[str], context: LatexContext, env: str = "tabular"
    ) -> None: ...
    def hline(self) -> None: ...
    def endhead(self) -> None: ...

    # Its native fields give it a layout of its own on every version.
    @_disjoint_on_every_version
    class Row:
        ncols: int
        col: int
        cols: list[str]
        context: LatexContext
        def __init__(self, ncols: int, context: LatexContext) -> None: ...
        def cell_tex(self, tex: str = "") -> None: ...
        def cell(self) -> AbstractContextManager[LatexEnvironment]: ...
        def multicolumn_tex(self, n: int, align: str, tex: str) -> None: ...

    def row(self) -> AbstractContextManager[Tabular.Row]: ...
    def row_tex(self, *cols: str) -> None: ...
    def dump(self, main_context: LatexContext) -> None: ...
