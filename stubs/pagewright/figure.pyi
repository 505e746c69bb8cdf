from typing import Any, NoReturn

from .context import LatexContext
from .environment import LatexEnvironment as LatexEnvironment
from .utils import begin_end as begin_end

class StructureError(Exception): ...

class Figure(LatexEnvironment):
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
    def figure(self, *args: Any, **kwargs: Any) -> NoReturn: ...
    def dump(self, main_context: LatexContext) -> None: ...

class SubFigure(LatexEnvironment):
    caption: str
    label: str | None
    def __init__(self, caption: str, label: str | None, context: LatexContext) -> None: ...
    # Neither figures nor sub-figures nest in a sub-figure: raise StructureError.
    def figure(self, *args: Any, **kwargs: Any) -> NoReturn: ...
    def subfigure(self, *args: Any, **kwargs: Any) -> NoReturn: ...
    def dump(self, main_context: LatexContext) -> None: ...
