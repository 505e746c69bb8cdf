from contextlib import AbstractContextManager
from contextlib import contextmanager as contextmanager
from typing import Dict as Dict
from typing import Mapping, TypeVar

from _typeshed import SupportsWrite

_Stream = TypeVar("_Stream", bound=SupportsWrite[str])

def latex_escape(s: str) -> str:
    """Escape backslash, braces, `_` and `$`; `^` becomes the accent `\\^`, and `%`, `&`, `#`, `~` stay."""

# The `with` target is the stream itself. `options` is written with "%s":
# a str such as a float placement ("t", "htbp") goes in unchanged.
def begin_end(
    stream: _Stream, env_name: str, options: Mapping[str, str] | str | None = None
) -> AbstractContextManager[_Stream]:
    """Write `\\begin{env_name}[options]%` on entering and `\\end{env_name}%` when the block ends normally.

    The `with` target is `stream` itself; what the block writes into it goes
    between the two lines. Empty options write no square brackets. When the
    block raises, the end line is not written.
    """
