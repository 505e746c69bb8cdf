from contextlib import AbstractContextManager
from contextlib import contextmanager as contextmanager
from typing import Dict as Dict
from typing import Mapping, TypeVar

from _typeshed import SupportsWrite

_Stream = TypeVar("_Stream", bound=SupportsWrite[str])

def latex_escape(s: str) -> str: ...

# The `with` target is the stream itself. `options` is written with "%s":
# a str such as a float placement ("t", "htbp") goes in unchanged.
def begin_end(
    stream: _Stream, env_name: str, options: Mapping[str, str] | str | None = None
) -> AbstractContextManager[_Stream]: ...
