import contextlib
import inspect
import shutil
import subprocess

import pytest

import pagewright
from pagewright.context import LatexContext
from pagewright.environment import LatexEnvironment

from helpers import RecordingBuffer, class_body


@pytest.fixture
def env():
    return LatexEnvironment(LatexContext())


def figure_text(env, body="BODY\n", **options):
    with env.figure(**options) as fig:
        fig.tex(body)
    return env.context.f.getvalue()


def test_figure_module_is_loaded_lazily_and_bound_to_the_package(run_python):
    run_python("""
        import sys
        import pagewright
        from pagewright.context import LatexContext
        from pagewright.environment import LatexEnvironment
        assert "pagewright.figure" not in sys.modules
        assert "figure" not in vars(pagewright)
        manager = LatexEnvironment(LatexContext()).figure()
        assert "pagewright.figure" not in sys.modules
        with manager as fig:
            assert "pagewright.figure" in sys.modules
            assert pagewright.figure is sys.modules["pagewright.figure"]
            assert type(fig) is pagewright.figure.Figure
    """)


def test_a_method_replaced_before_the_module_loads_is_honoured_by_its_classes(run_python):
    """The figure classes are made when the module first loads, from
    LatexEnvironment as it is then: a method replaced on it before that is
    the one a figure's own call runs."""
    run_python("""
        import sys
        from pagewright.context import LatexContext
        from pagewright.environment import LatexEnvironment
        def logged(self, name, options=None):
            self.context.f.write("<%s>" % name)
        LatexEnvironment.use_package = logged
        assert "pagewright.figure" not in sys.modules
        with LatexEnvironment(LatexContext()).figure("A") as fig:
            with fig.subfigure("L") as sub:
                sub.tex("z")
            assert fig.context.f.getvalue().startswith("<caption><subfig>")
    """)


def test_figure_module_imports_directly(run_python):
    run_python("""
        import pagewright.figure as figure
        from pagewright.figure import Figure, SubFigure, StructureError
        assert Figure.__module__ == "pagewright.figure"
    """)


def test_module_names_and_classes():
    import pagewright.figure as module
    assert [n for n in vars(module) if not n.startswith("__")] == [
        "LatexEnvironment", "begin_end", "Figure", "StructureError", "SubFigure"]
    assert module.LatexEnvironment is LatexEnvironment
    assert module.begin_end is pagewright.utils.begin_end
    assert module.__doc__ is None
    assert class_body(module.Figure, dunders=["__init__"]) == [
        "__init__", "figure", "dump"]
    assert class_body(module.SubFigure, dunders=["__init__"]) == [
        "__init__", "figure", "subfigure", "dump"]
    assert module.Figure.__bases__ == (LatexEnvironment,)
    assert module.SubFigure.__bases__ == (LatexEnvironment,)
    assert module.StructureError.__bases__ == (Exception,)
    assert module.StructureError.__module__ == "pagewright.figure"
    assert module.StructureError.__doc__ is None
    assert str(inspect.signature(module.Figure)) == "(caption, label, placement, context, double)"
    assert str(inspect.signature(module.SubFigure)) == "(caption, label, context)"


def test_figure_with_caption_and_label(env):
    assert figure_text(env, caption="A", label="fig:a") == (
        "\\begin{figure}[t]%\n\\captionsetup[subfloat]{}\nBODY\n"
        "\\caption{\\label{fig:a}A}\n\\end{figure}%\n")


@pytest.mark.parametrize("options, expected", [
    ({}, "\\begin{figure}[t]%\n\\captionsetup[subfloat]{}\n\\end{figure}%\n"),
    ({"double": True, "caption": "A"},
     "\\begin{figure*}[t]%\n\\captionsetup[subfloat]{}\n\\caption{A}\n\\end{figure*}%\n"),
    ({"double": 1}, "\\begin{figure*}[t]%\n\\captionsetup[subfloat]{}\n\\end{figure*}%\n"),
    ({"placement": ""}, "\\begin{figure}%\n\\captionsetup[subfloat]{}\n\\end{figure}%\n"),
    ({"placement": None}, "\\begin{figure}%\n\\captionsetup[subfloat]{}\n\\end{figure}%\n"),
    ({"placement": "htbp"},
     "\\begin{figure}[htbp]%\n\\captionsetup[subfloat]{}\n\\end{figure}%\n"),
    ({"caption": ""}, "\\begin{figure}[t]%\n\\captionsetup[subfloat]{}\n\\caption{}\n"
                      "\\end{figure}%\n"),
    ({"caption": "", "label": "fig:a"},
     "\\begin{figure}[t]%\n\\captionsetup[subfloat]{}\n\\caption{\\label{fig:a}}\n"
     "\\end{figure}%\n"),
    ({"label": "fig:a"},
     "\\begin{figure}[t]%\n\\captionsetup[subfloat]{}\n\\label{fig:a}\\end{figure}%\n"),
    ({"caption": "50% of $x_1$", "label": "a_b"},
     "\\begin{figure}[t]%\n\\captionsetup[subfloat]{}\n\\caption{\\label{a_b}50% of $x_1$}\n"
     "\\end{figure}%\n"),
])
def test_figure_texts(env, options, expected):
    assert figure_text(env, body="", **options) == expected


@pytest.mark.parametrize("label, expected", [
    ("", "\\caption{C}"), (None, "\\caption{C}"), (0, "\\caption{C}"),
    (3, "\\caption{\\label{3}C}"), (("k",), "\\caption{\\label{k}C}"),
])
def test_label_is_tested_for_truth(env, label, expected):
    assert expected + "\n" in figure_text(env, caption="C", label=label)


def test_default_figure_requests_caption_and_copies_its_preamble(env):
    env.context.preamble = RecordingBuffer()
    with env.figure() as fig:
        assert list(env.context.packages) == ["caption"]
        assert fig.context.parent is env.context
    assert env.context.preamble.writes == [""]
    with env.figure() as fig:
        fig.context.preamble.write("\\newcommand{\\y}{2}\n")
    assert env.context.preamble.writes == ["", "\\newcommand{\\y}{2}\n"]


def test_figure_attributes_in_constructor_order(env):
    with env.figure("A", "L", "h", True) as fig:
        assert list(vars(fig)) == ["caption", "label", "context", "placement", "double"]
        assert vars(fig) == {"caption": "A", "label": "L", "context": fig.context,
                             "placement": "h", "double": True}


def test_subfigures_inside_a_figure(env):
    with env.figure("A", "fig:a") as fig:
        fig.tex("\\centering\n")
        with fig.subfigure("L", "fig:l") as sub:
            sub.tex("X")
        with fig.subfigure() as sub:
            sub.tex("Y")
        assert env.context.f.getvalue() == ""
    assert env.context.f.getvalue() == (
        "\\begin{figure}[t]%\n\\captionsetup[subfloat]{}\n\\centering\n"
        "\\subfloat[\\label{fig:l}L]{%\nX}% subfloat\n\\subfloat[]{%\nY}% subfloat\n"
        "\\caption{\\label{fig:a}A}\n\\end{figure}%\n")
    assert list(env.context.packages) == ["caption", "subfig"]


def test_subfigure_directly_on_an_environment(env):
    with env.subfigure(caption="S") as sub:
        assert list(env.context.packages) == ["caption", "subfig"]
        sub.tex("Z")
        sub.context.preamble.write("dropped")
    assert env.context.f.getvalue() == "\\subfloat[S]{%\nZ}% subfloat\n"
    assert env.context.preamble.getvalue() == ""
    assert list(vars(sub)) == ["caption", "label", "context"]


def test_subfigure_caption_none_is_written_as_text(env):
    from pagewright.figure import SubFigure
    SubFigure(None, "", LatexContext()).dump(env.context)
    assert env.context.f.getvalue() == "\\subfloat[None]{%\n}% subfloat\n"


@pytest.mark.parametrize("refuse", [
    lambda fig, sub: fig.figure(),
    lambda fig, sub: fig.figure("x", label="y", nonsense=1),
    lambda fig, sub: sub.figure(1, 2, 3),
    lambda fig, sub: sub.subfigure(caption="x"),
])
def test_nesting_is_refused_at_the_call(env, refuse):
    from pagewright.figure import StructureError
    with env.figure("A") as fig:
        with fig.subfigure("S") as sub:
            before = dict(env.context.packages), fig.context.f.getvalue()
            with pytest.raises(StructureError) as caught:
                refuse(fig, sub)
            assert caught.value.args == ("Cannot nest figures; use sub().",)
            assert (dict(env.context.packages), fig.context.f.getvalue()) == before
            sub.tex("s")
    assert env.context.f.getvalue() == (
        "\\begin{figure}[t]%\n\\captionsetup[subfloat]{}\n\\subfloat[S]{%\ns}% subfloat\n"
        "\\caption{A}\n\\end{figure}%\n")


def test_boxes_inside_a_figure_accept_figures(env):
    with env.figure("outer") as fig:
        with fig.minipage("3cm") as page:
            with page.figure("inner") as inner:
                inner.tex("i")
    text = env.context.f.getvalue()
    assert text.count("\\begin{figure}") == 2
    assert "\\begin{minipage}[]{3cm}%\n\\begin{figure}[t]%\n" in text


@pytest.mark.parametrize("open_float", [
    lambda e: e.figure("A", "l"),
    lambda e: e.subfigure("A", "l"),
])
def test_a_raising_block_writes_nothing_of_the_float(env, open_float):
    env.tex("kept")
    error = RuntimeError("boom")
    with pytest.raises(RuntimeError) as caught:
        with open_float(env) as fig:
            fig.tex("lost")
            fig.context.preamble.write("lost")
            raise error
    assert caught.value is error
    assert env.context.f.getvalue() == "kept"
    assert env.context.preamble.getvalue() == ""
    assert "caption" in env.context.packages


def test_a_failure_inside_dump_leaves_the_begin_line(env):
    with pytest.raises(TypeError):
        with env.figure("A", label=("a", "b")) as fig:
            fig.tex("B\n")
    assert env.context.f.getvalue() == "\\begin{figure}[t]%\n\\captionsetup[subfloat]{}\nB\n"


def test_figure_built_by_hand_and_dumped(env):
    from pagewright.figure import Figure
    context = LatexContext()
    fig = Figure(caption=None, label=None, placement="b", context=context, double=False)
    assert context.f.getvalue() == "" and env.context.f.getvalue() == ""
    fig.tex("hand\n")
    fig.dump(main_context=env.context)
    fig.dump(env.context)
    once = "\\begin{figure}[b]%\n\\captionsetup[subfloat]{}\nhand\n\\end{figure}%\n"
    assert env.context.f.getvalue() == once * 2
    with pytest.raises(TypeError):
        Figure("A", "l", "t", context)


def test_python_subclasses_of_the_floats():
    from pagewright.figure import Figure, SubFigure

    class Numbered(Figure):
        def __init__(self, number, context):
            super().__init__("Figure %d" % number, "fig:%d" % number, "h", context, False)
            self.number = number

    class Quiet(SubFigure):
        def dump(self, main_context):
            main_context.f.write("[quiet]")

    outer = LatexEnvironment(LatexContext())
    fig = Numbered(7, outer.context.child())
    assert list(vars(fig)) == ["caption", "label", "context", "placement", "double", "number"]
    sub = Quiet("q", None, fig.context.child())
    sub.tex("ignored")
    sub.dump(fig.context)
    fig.dump(outer.context)
    assert outer.context.f.getvalue() == (
        "\\begin{figure}[h]%\n\\captionsetup[subfloat]{}\n[quiet]"
        "\\caption{\\label{fig:7}Figure 7}\n\\end{figure}%\n")
    with pytest.raises(Exception, match="Cannot nest"):
        fig.figure()


def test_figure_deep_inside_boxes(env):
    depth = 300
    with contextlib.ExitStack() as stack:
        inner = env
        for _ in range(depth):
            inner = stack.enter_context(inner.mbox())
        fig = stack.enter_context(inner.figure("deep"))
        fig.tex("d")
    text = env.context.f.getvalue()
    assert text.count("\\mbox[][c]{%\n") == depth
    assert "d\\caption{deep}\n\\end{figure}%\n" + "}%\n" * depth == text[text.index("d\\caption"):]


@pytest.mark.skipif(shutil.which("pdflatex") is None, reason="pdflatex is not installed")
def test_generated_floats_and_boxes_compile(tmp_path):
    env = LatexEnvironment(LatexContext())
    with env.figure("Two panels", "fig:panels", placement="h") as fig:
        fig.tex("\\centering\n")
        with fig.subfigure("Left", "fig:left") as sub:
            with sub.minipage("3cm", "t", fbox=True) as page:
                page.tex("framed text\n")
        with fig.subfigure("Right") as sub:
            with sub.resizebox("2cm") as box:
                box.tex("scaled")
    with env.minipage_bottom("4cm") as page:
        with page.mbox() as box:
            box.tex("boxed")
        with page.tightbox() as box:
            box.tex("tight")
    with env.figure(double=True) as fig:
        fig.tex("wide\n")
    packages = "".join("\\usepackage{%s}\n" % name for name in env.context.packages)
    source = ("\\documentclass{article}\n" + packages + "\\usepackage{graphicx}\n"
              + env.context.preamble.getvalue() + "\\begin{document}\n"
              + env.context.f.getvalue() + "\\end{document}\n")
    (tmp_path / "doc.tex").write_text(source)
    result = subprocess.run(["pdflatex", "-interaction=nonstopmode", "-halt-on-error", "doc.tex"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout[-3000:]
    assert (tmp_path / "doc.pdf").stat().st_size > 0
