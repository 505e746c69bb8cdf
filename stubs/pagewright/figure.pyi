from typing import Any, NoReturn

from .context import LatexContext
from .environment import LatexEnvironment as LatexEnvironment
from .utils import begin_end as begin_end

class StructureError(Exception):
    """Raised on an attempt to nest a figure in a figure, or a sub-figure in a sub-figure."""

class Figure(LatexEnvironment):
    """A figure float, as yielded by `figure()`: write its content into it.

    When its block ends, `dump` writes `\\begin{figure}[placement]`, the
    body and `\\caption{\\label{label}caption}` (caption and label unescaped)
    into the enclosing block; `double=True` writes `figure*`. Sub-figures
    go inside with `subfigure()`; figures do not nest.
    """

    caption: str | None
    label: str | None
    placement: str
    double: bool
    def __init__(
        self,
        caption: str | None,
        label: str | None,
        placement: str,
        context: LatexContext,
        double: bool,
    ) -> None: ...
    # Figures do not nest: raises StructureError.
    def figure(self, *args: Any, **kwargs: Any) -> NoReturn:
        """Always raises StructureError: figures do not nest."""

    def dump(self, main_context: LatexContext) -> None:
        """Write the whole float into `main_context`."""

class SubFigure(LatexEnvironment):
    """One sub-figure of a figure, as yielded by `subfigure()`.

    When its block ends, `dump` writes `\\subfloat[\\label{label}caption]{...}`
    around its content into the enclosing figure. Neither figures nor
    sub-figures nest inside it.
    """

    caption: str
    label: str | None
    def __init__(self, caption: str, label: str | None, context: LatexContext) -> None: ...
    # Neither figures nor sub-figures nest in a sub-figure: raise StructureError.
    def figure(self, *args: Any, **kwargs: Any) -> NoReturn:
        """Always raises StructureError."""

    def subfigure(self, *args: Any, **kwargs: Any) -> NoReturn:
        """Always raises StructureError."""

    def dump(self, main_context: LatexContext) -> None:
        """Write the `\\subfloat` into `main_context`."""
