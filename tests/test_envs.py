import inspect

import pytest

import pagewright
from pagewright import envs


@pytest.mark.parametrize("call, expected", [
    (lambda: envs.env("center", "x"), "\\begin{center}x\\end{center}"),
    (lambda: envs.env("minipage", "x", "3cm"), "\\begin{minipage}{3cm}x\\end{minipage}"),
    (lambda: envs.env("center", "x", ""), "\\begin{center}x\\end{center}"),
    (lambda: envs.env("center", "x", 0), "\\begin{center}x\\end{center}"),
    (lambda: envs.env(name="a", content="b", param="c"), "\\begin{a}{c}b\\end{a}"),
    (lambda: envs.minipage("", "x"), "\\begin{minipage}x\\end{minipage}"),
    (lambda: envs.minipage("5cm", "x"), "\\begin{minipage}{5cm}x\\end{minipage}"),
    (lambda: envs.verbatim("a\nb"), "\\begin{verbatim}a\nb\\end{verbatim}"),
    (lambda: envs.enclose("textbf", "x"), "\\textbf{x}"),
    (lambda: envs.emph(3), "\\emph{3}"),
    (lambda: envs.small("x"), "{\\small{x}}"),
    (lambda: envs.footnotesize("x"), "{\\footnotesize{x}}"),
    (lambda: envs.texttt("x"), "\\texttt{x}"),
    (lambda: envs.verbatim_soft("a_b{c}"), "\\texttt{a\\_b\\{c\\}}"),
    (lambda: envs.color_rgb("x", (1, 0, 0.5)), "{\\color[rgb]{1,0,0.5}x}"),
    (lambda: envs.color_rgb("x", [0.1, 0.2, 0.3, 0.4]), "{\\color[rgb]{0.1,0.2,0.3}x}"),
    (lambda: envs.color_rgb("x", {0: "r", 1: "g", 2: "b"}), "{\\color[rgb]{r,g,b}x}"),
    (lambda: envs.fbox("x"), "\\fbox{x}"),
    (lambda: envs.hspace("2em"), "\\hspace{2em}"),
    (lambda: envs.protect(""), "{}"),
    (lambda: envs.protect("%d"), "{%d}"),
    (lambda: envs.enclose("a", ("b",)), "\\a{('b',)}"),
])
def test_fragments(call, expected):
    assert call() == expected


@pytest.mark.parametrize("call, error", [
    (lambda: envs.env("center", 5), TypeError),
    (lambda: envs.verbatim(None), TypeError),
    (lambda: envs.minipage("1cm", b"x"), TypeError),
    (lambda: envs.color_rgb("x", (1, 2)), IndexError),
    (lambda: envs.color_rgb("x", 5), TypeError),
    (lambda: envs.protect((1, 2)), TypeError),
    (lambda: envs.hspace((1, 2)), TypeError),
    (lambda: envs.env("a"), TypeError),
    (lambda: envs.emph("a", "b"), TypeError),
])
def test_host_errors_propagate(call, error):
    with pytest.raises(error):
        call()


def test_composites_use_the_current_module_functions(monkeypatch):
    monkeypatch.setattr(envs, "enclose", lambda name, content: "<%s:%s>" % (name, content))
    monkeypatch.setattr(envs, "latex_escape", str.upper)
    assert envs.texttt("x") == "<texttt:x>"
    assert envs.small("x") == "{<small:x>}"
    assert envs.verbatim_soft("ab") == "<texttt:AB>"
    monkeypatch.setattr(envs, "protect", lambda content: "[%s]" % content)
    assert envs.color_rgb("x", "rgb") == "[\\color[rgb]{r,g,b}x]"
    calls = []
    monkeypatch.setattr(envs, "env", lambda *args, **kw: calls.append((args, kw)) or "")
    envs.minipage("2cm", "x")
    envs.verbatim("y")
    assert calls == [(("minipage", "x"), {"param": "2cm"}), (("verbatim", "y"), {})]


@pytest.fixture
def envs_namespace():
    """The module namespace, restored afterwards in its original order."""
    namespace = vars(envs)
    saved = dict(namespace)
    yield namespace
    namespace.clear()
    namespace.update(saved)


def test_missing_sibling_is_a_name_error(envs_namespace):
    del envs_namespace["enclose"]
    with pytest.raises(NameError, match="name 'enclose' is not defined"):
        envs.fbox("x")


def test_namespace_and_signatures():
    names = [n for n in vars(envs) if not n.startswith("_")]
    assert names == ["latex_escape", "env", "minipage", "verbatim", "enclose", "protect", "small",
                     "footnotesize", "texttt", "emph", "verbatim_soft", "color_rgb", "fbox",
                     "hspace"]
    assert envs.latex_escape is pagewright.utils.latex_escape is pagewright.latex_escape
    assert str(inspect.signature(envs.env)) == "(name, content, param=None)"
    assert str(inspect.signature(envs.color_rgb)) == "(x, col)"
    for name in names[1:]:
        function = getattr(envs, name)
        assert function.__doc__ is None
        assert function.__module__ == "pagewright.envs"
        assert getattr(pagewright, name) is function
