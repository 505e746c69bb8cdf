from typing import Protocol

class _TexWriter(Protocol):
    def tex(self, tex: str, /) -> object: ...

def texif(cmd: str, use: str, otherwise: str) -> str:
    """`\\ifx cmd\\undefined otherwise\\else use\\fi`: `otherwise` runs when `cmd` is undefined."""

def makeupcmd(name: str) -> str:
    """A line that defines `\\name` to print its own name, unless it is defined already."""

def makecmd(frag: _TexWriter, desired: str) -> str:
    """Write the definition of the command made from `desired` through `frag.tex` and return `\\command`."""

def safecmd(s: str) -> str:
    """`s` with `-`, `_`, `:` and `.` removed and each digit replaced by a letter (0 to Z, 1 to O, ...)."""
