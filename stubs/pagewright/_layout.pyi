# The native classes whose instances have a C layout of their own: from
# CPython 3.12 on, two of them cannot be bases of one class (their layouts
# conflict); before 3.12 they can.
import sys
from typing import TypeVar

_T = TypeVar("_T")

if sys.version_info >= (3, 12):
    from typing_extensions import disjoint_base as disjoint_base
else:
    def disjoint_base(cls: _T) -> _T: ...
