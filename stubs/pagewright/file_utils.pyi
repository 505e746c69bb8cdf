import os as os

from _typeshed import StrOrBytesPath

__all__ = ["make_sure_dir_exists"]

def make_sure_dir_exists(d: StrOrBytesPath) -> None:
    """Create the directory `d` with its missing parents, unless it exists."""
