from typing import Sequence

from .utils import latex_escape as latex_escape

def env(name: str, content: str, param: str | None = None) -> str:
    """`\\begin{name}{param}content\\end{name}`; no `{param}` when `param` is empty."""

def minipage(width: str, content: str) -> str:
    """A minipage environment of that width around `content`."""

def verbatim(content: str) -> str:
    """A verbatim environment around `content`, with no newline added."""

def enclose(name: str, content: str) -> str:
    """`\\name{content}`."""

def protect(content: str) -> str:
    """`{content}`: a group that keeps a font or colour change inside it."""

def small(content: str) -> str:
    """`{\\small{content}}`."""

def footnotesize(content: str) -> str:
    """`{\\footnotesize{content}}`."""

def texttt(content: str) -> str:
    """`\\texttt{content}`, unescaped."""

def emph(content: str) -> str:
    """`\\emph{content}`."""

def verbatim_soft(content: str) -> str:
    """`\\texttt{...}` of `content` passed through latex_escape."""

def color_rgb(x: str, col: Sequence[float | str]) -> str:
    """`{\\color[rgb]{r,g,b}x}` from the first three items of `col`; needs the xcolor package."""

def fbox(x: str) -> str:
    """`\\fbox{x}`."""

def hspace(x: str) -> str:
    """`\\hspace{x}`."""
