from io import StringIO as StringIO
from typing import Dict as Dict

from _typeshed import SupportsWrite
from typing_extensions import disjoint_base as _disjoint_on_every_version

from ._layout import disjoint_base

__all__ = ["LatexContext"]

@disjoint_base
class UsePackage:
    name: str
    options: Dict[str, str]
    def __init__(self, name: str, options: Dict[str, str] | None = None) -> None: ...
    def dump_preamble(self, f: SupportsWrite[str]) -> None: ...

def dict_to_latex_option_string(d: Dict[str, str]) -> str: ...

# Its native text buffers give it a layout of its own on every version.
@_disjoint_on_every_version
class LatexContext:
    f: StringIO
    preamble: StringIO
    graphics_path: str
    parent: LatexContext | None
    count: int
    packages: Dict[str, UsePackage]
    def __init__(self, graphics_path: str = ".") -> None: ...
    def generate_file_id(self) -> str: ...
    def child(self) -> LatexContext: ...
    def dump_preamble(self, f: SupportsWrite[str]) -> None: ...
    def require_package(self, name: str) -> None: ...
    def use_package(self, name: str, options: Dict[str, str] | None = None) -> None: ...
