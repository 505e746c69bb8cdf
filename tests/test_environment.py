import inspect
import io
import typing

import pytest

import pagewright
from pagewright import environment as envmod
from pagewright.context import LatexContext
from pagewright.environment import LatexEnvironment, make_options_string
from pagewright.utils import latex_escape

from helpers import class_body


@pytest.fixture
def env():
    return LatexEnvironment(LatexContext())


def body(env):
    return env.context.f.getvalue()


@pytest.mark.parametrize("write, expected", [
    (lambda e: e.hfill(), "\\hfill\\ \n"),
    (lambda e: e.vfill(), "\\vfill\\ \n"),
    (lambda e: e.parbreak(), "\\par%\n"),
    (lambda e: e.linebreak(), "\\\\"),
    (lambda e: e.pagebreak(), "\\pagebreak\\ \n"),
    (lambda e: e.medskip(), "\\medskip%%\n"),
    (lambda e: e.footnotesize(), "\\footnotesize%%\n"),
    (lambda e: e.hspace(3), "\\hspace{3}"),
    (lambda e: e.hspace(("1cm",)), "\\hspace{1cm}"),
    (lambda e: e.vspace(size="2pt"), "\\vspace{2pt}"),
    (lambda e: e.input("chap.tex"), "\\input{chap.tex}\n"),
    (lambda e: e.color(1, 0, 0.5), "\\color[rgb]{1,0,0.5}"),
    (lambda e: e.rule("1cm", "2pt"), "{\\color{gray}\\rule{1cm}{2pt}}%\n"),
    (lambda e: e.rule("1cm", "2pt", "red"), "{\\color{red}\\rule{1cm}{2pt}}%\n"),
    (lambda e: e.rule(height="2pt", width="1cm", color="%d"),
     "{\\color{%d}\\rule{1cm}{2pt}}%\n"),
    (lambda e: e.text("50% & more_{x}"), latex_escape("50% & more_{x}")),
    (lambda e: e.text(""), ""),
    (lambda e: e.tex("50% & more"), "50% & more"),
])
def test_writers(env, write, expected):
    assert write(env) is None
    assert body(env) == expected


def test_writes_continue_the_line(env):
    env.hfill()
    env.vfill()
    env.hspace("1em")
    env.tex("x")
    assert body(env) == "\\hfill\\ \n\\vfill\\ \n\\hspace{1em}x"


@pytest.mark.parametrize("write, error", [
    (lambda e: e.hspace(("1cm", "2cm")), TypeError),
    (lambda e: e.vspace(()), TypeError),
    (lambda e: e.tex(5), TypeError),
    (lambda e: e.text(None), AttributeError),
    (lambda e: e.rule("1cm"), TypeError),
    (lambda e: e.color(1, 2), TypeError),
])
def test_failing_writes_leave_buffer_unchanged(env, write, error):
    env.tex("kept")
    with pytest.raises(error):
        write(env)
    assert body(env) == "kept"


def test_missing_context_is_attribute_error():
    class Bare(LatexEnvironment):
        def __init__(self):
            pass

    with pytest.raises(AttributeError):
        Bare().hfill()


def test_two_environments_share_a_buffer():
    c = LatexContext()
    a, b = LatexEnvironment(c), LatexEnvironment(c)
    a.tex("1")
    b.tex("2")
    a.tex("3")
    assert c.f.getvalue() == "123"


def test_constructor_does_not_touch_context():
    sentinel = object()
    e = LatexEnvironment(sentinel)
    assert e.context is sentinel and vars(e) == {"context": sentinel}
    assert LatexEnvironment(context=sentinel).context is sentinel


def test_context_and_buffer_looked_up_on_each_call(env):
    env.tex("a")
    first = env.context
    env.context = LatexContext()
    env.tex("b")
    env.context.f = io.StringIO()
    env.tex("c")
    assert (first.f.getvalue(), env.context.f.getvalue()) == ("a", "c")


class Recorder:
    def __init__(self):
        self.calls = []

    def use_package(self, *args):
        self.calls.append(args)
        return "ignored"


@pytest.mark.parametrize("options", [None, {}, 0, ""])
def test_use_package_empty_options(options):
    ctx = Recorder()
    env = LatexEnvironment(ctx)
    assert env.use_package("graphicx", options) is None
    (name, passed), = ctx.calls
    assert name == "graphicx" and passed == {} and passed is not options


def test_use_package_passes_options_object(env):
    opts = {"margin": "1in"}
    env.use_package("geometry", opts)
    assert env.context.packages["geometry"].options is opts


class Own(LatexEnvironment):
    def __init__(self, context):
        self.context = context
        self.extra = 1


@pytest.mark.parametrize("write, expected", [
    (lambda e: e.medskip(), "\\medskip%%\n"),
    (lambda e: e.hspace("1em"), "\\hspace{1em}"),
    (lambda e: e.color(0, 1, 0), "\\color[rgb]{0,1,0}"),
    (lambda e: e.rule("1cm", "1pt"), "{\\color{gray}\\rule{1cm}{1pt}}%\n"),
    (lambda e: e.text("a_b"), "a\\_b"),
    (lambda e: e.input("f"), "\\input{f}\n"),
])
def test_subclass_setting_context_itself(write, expected):
    e = Own(LatexContext())
    write(e)
    assert e.context.f.getvalue() == expected
    e.use_package("p")
    assert list(e.context.packages) == ["p"]
    assert vars(e)["extra"] == 1


def test_subclass_override_is_used():
    class Loud(LatexEnvironment):
        def tex(self, tex):
            super().tex(tex.upper())

    e = Loud(LatexContext())
    e.tex("x")
    assert body(e) == "X"


def test_class_surface():
    methods = class_body(LatexEnvironment)
    assert methods == [
        "color", "hfill", "vfill", "hspace", "vspace", "parbreak", "linebreak", "pagebreak",
        "rule", "text", "tabular_simple", "tex", "input", "use_package", "figure", "tabular",
        "longtable", "textattachfile", "save_graphics_data", "graphics_data", "minipage",
        "minipage_bottom", "fbox", "resizebox", "medskip", "footnotesize", "mbox",
        "tightbox", "lstlisting", "subfigure"]
    assert LatexEnvironment.__doc__ is None
    assert LatexEnvironment.use_package.__annotations__ == {"options": typing.Dict[str, str]}


@pytest.mark.parametrize("name, doc", [
    ("text", "\n        Writes the text on the stream (it will be escaped, use\n"
             "        :py:func:`tex` for raw TeX.\n        "),
    ("tex", "Writes raw TeX string."),
    ("tabular_simple", "Writes a tabular environment with very simple options."),
    ("minipage_bottom",
     "A minipage which will align the bottom with the current\n        baseline.\n        "),
    ("mbox", "Position: c, l, r."),
    ("tightbox", "Fbox with no margin"),
    ("hfill", None),
    ("rule", None),
    ("use_package", None),
    ("input", None),
])
def test_docstrings(name, doc):
    assert getattr(LatexEnvironment, name).__doc__ == doc


@pytest.mark.parametrize("name, params", [
    ("color", "(r, g, b)"),
    ("hfill", "()"),
    ("hspace", "(size)"),
    ("rule", "(width, height, color='gray')"),
    ("text", "(t)"),
    ("tex", "(tex)"),
    ("input", "(filename)"),
    ("use_package", "(name, options=None)"),
    ("tabular_simple", "(data, row_desc, col_desc, write_col_desc=True)"),
    ("figure", "(caption=None, label=None, placement='t', double=False)"),
    ("mbox", "(width='', position='c')"),
    ("graphics_data", "(data, mime, gid=None, **params)"),
])
def test_signatures(env, name, params):
    assert str(inspect.signature(getattr(env, name))) == params


def test_module_names():
    public = [n for n in vars(envmod) if not n.startswith("__")]
    assert public == ["Dict", "latex_escape", "contextmanager", "mimetypes", "os", "pact",
                      "MIME_PNG", "MIME_JPG", "MIME_PLAIN", "LatexEnvironment",
                      "make_options_string"]
    assert (envmod.MIME_PNG, envmod.MIME_JPG, envmod.MIME_PLAIN) == (
        "image/png", "image/jpeg", "text/plain")
    assert pagewright.LatexEnvironment is LatexEnvironment
    assert str(inspect.signature(LatexEnvironment)) == "(context)"


@pytest.mark.parametrize("kwargs, expected", [
    ({}, ""),
    ({"a": None}, ""),
    ({"width": "3cm", "keepaspectratio": True, "angle": None, "clip": False},
     "width=3cm,keepaspectratio,clip=False"),
    ({"key": 1}, "key=1"),
    ({"t": (1, 2)}, "t=(1, 2)"),
])
def test_make_options_string(kwargs, expected):
    assert make_options_string(**kwargs) == expected
