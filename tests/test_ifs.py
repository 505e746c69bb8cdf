import inspect

import pytest

import pagewright
from pagewright import ifs


class Recorder:
    def __init__(self):
        self.written = []

    def tex(self, text):
        self.written.append(text)


@pytest.mark.parametrize("call, expected", [
    (lambda: ifs.texif("\\foo", "A", "B"), "\\ifx \\foo\\undefined B\\else A\\fi"),
    (lambda: ifs.texif(cmd=1, use=2, otherwise=3), "\\ifx 1\\undefined 3\\else 2\\fi"),
    (lambda: ifs.makeupcmd("x"), "\\ifx \\x\\undefined \\newcommand{\\x}{x}\\else \\fi\n"),
    (lambda: ifs.safecmd("a_b:c.d-e"), "abcde"),
    (lambda: ifs.safecmd("0123456789"), "ZOtTfFsSEN"),
    (lambda: ifs.safecmd("a b/c"), "a b/c"),
    (lambda: ifs.safecmd(""), ""),
    (lambda: ifs.safecmd("fig-1.a"), "figOa"),
])
def test_texts(call, expected):
    assert call() == expected


def test_makecmd_writes_the_definition_and_returns_the_invocation():
    frag = Recorder()
    assert ifs.makecmd(frag, "fig-1.a") == "\\figOa"
    assert ifs.makecmd(frag, "fig-1.a") == "\\figOa"
    definition = "\\ifx \\figOa\\undefined \\newcommand{\\figOa}{figOa}\\else \\fi\n"
    assert frag.written == [definition, definition]


def test_makecmd_on_empty_label():
    frag = Recorder()
    assert ifs.makecmd(frag, "") == "\\"
    assert frag.written == ["\\ifx \\\\undefined \\newcommand{\\}{}\\else \\fi\n"]


@pytest.mark.parametrize("value, error", [(5, AttributeError), (b"a-b", TypeError)])
def test_safecmd_rejects_what_has_no_str_replace(value, error):
    with pytest.raises(error):
        ifs.safecmd(value)


def test_makecmd_looks_up_tex_after_safecmd_and_before_makeupcmd(monkeypatch):
    events = []
    monkeypatch.setattr(ifs, "safecmd", lambda s: events.append("safecmd") or s)
    monkeypatch.setattr(ifs, "makeupcmd", lambda name: events.append("makeupcmd") or name)
    with pytest.raises(AttributeError):
        ifs.makecmd(object(), "x")
    assert events == ["safecmd"]

    class Frag:
        @property
        def tex(self):
            events.append("tex")
            return lambda text: events.append("wrote " + text)

    assert ifs.makecmd(Frag(), "y") == "\\y"
    assert events == ["safecmd", "safecmd", "tex", "makeupcmd", "wrote y"]


def test_makeupcmd_uses_the_current_texif(monkeypatch):
    monkeypatch.setattr(ifs, "texif", lambda cmd, use, otherwise: "|".join((cmd, use, otherwise)))
    assert ifs.makeupcmd("q") == "\\q||\\newcommand{\\q}{q}\n"


def test_namespace_and_signatures():
    assert [n for n in vars(ifs) if not n.startswith("_")] == [
        "texif", "makeupcmd", "makecmd", "safecmd"]
    assert str(inspect.signature(ifs.texif)) == "(cmd, use, otherwise)"
    assert str(inspect.signature(ifs.makecmd)) == "(frag, desired)"
    for name in ("texif", "makeupcmd", "makecmd", "safecmd"):
        assert getattr(ifs, name).__doc__ is None
        assert getattr(pagewright, name) is getattr(ifs, name)
