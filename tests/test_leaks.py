"""Repeated calls, on success and on error paths, must not grow memory: a
reference the extension forgets to release shows up as traced allocations."""

import gc
import io
import tracemalloc

import pytest

import pagewright
from pagewright.context import LatexContext


def swallow(error, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except error:
        pass


def escape_cases():
    pagewright.latex_escape("a_b{c}\\ é€😀 $x^2$")
    swallow(AttributeError, pagewright.latex_escape, 5)
    swallow(TypeError, pagewright.latex_escape, b"x")


def begin_end_cases():
    stream = io.StringIO()
    with pagewright.begin_end(stream, "x", "t"):
        stream.write("y")
    swallow(ValueError, raise_inside, pagewright.begin_end(stream, "x"))


def raise_inside(manager):
    with manager:
        raise ValueError


def context_cases():
    root = LatexContext()
    child = root.child().child()
    child.use_package("a", {"k": "v", "flag": None})
    child.require_package("b")
    child.generate_file_id()
    root.dump_preamble(io.StringIO())
    swallow(TypeError, child.use_package, [])


def writer_cases():
    env = pagewright.LatexEnvironment(LatexContext())
    env.text("50% & x_1")
    env.rule("1cm", "2pt")
    env.color(1, 0, 0.5)
    env.hspace(("1cm",))
    env.hfill()
    swallow(TypeError, env.hspace, ("1cm", "2cm"))
    swallow(TypeError, env.tex, 5)
    env.lstlisting("x = 1\n", "Python")
    env.tabular_simple([[1, 2]], ["a"], ["x", "y"])
    pagewright.make_options_string(width="1cm", keep=True, drop=None)


def document_cases():
    with pagewright.latex_document(io.StringIO()) as doc:
        doc.fullpage()
        doc.text("x")
    with pagewright.latex_fragment(io.StringIO()) as env:
        env.tex("y")
    swallow(ValueError, raise_inside, pagewright.latex_document(io.StringIO()))


def construct_cases():
    env = pagewright.LatexEnvironment(LatexContext())
    with env.figure(caption="c", label="l") as fig:
        with fig.subfigure(caption="s") as sub:
            sub.tex("x")
        swallow(Exception, fig.figure)
    with env.minipage("3cm", "t", fbox=True) as box:
        with box.minipage_bottom("1cm") as inner:
            inner.tex("x")
    swallow(ValueError, raise_inside, env.tightbox())
    with env.tabular(["l", "r"]) as table:
        with table.row() as row:
            row.cell_tex("a")
            with row.cell() as cell:
                cell.text("b")
            swallow(Exception, row.cell_tex, "c")
        table.row_tex("1", "2")
        swallow(Exception, table.row_tex, "1", "2", "3")
    swallow(AssertionError, lambda: env.tabular("lr").__enter__())


@pytest.mark.parametrize("operation", [escape_cases, begin_end_cases, context_cases,
                                       writer_cases, document_cases, construct_cases])
def test_repeated_calls_do_not_grow_memory(operation):
    for _ in range(50):
        operation()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(500):
            operation()
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 20_000, growth
