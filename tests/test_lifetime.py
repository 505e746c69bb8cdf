"""Lifetimes and threads: reference cycles through the library's objects are
collected, and documents built on several threads at once come out as they
do one after the other."""

import gc
import sys
import threading
import time
import weakref

import pytest

import pagewright
from pagewright.context import LatexContext, UsePackage
from pagewright.document import LatexDocument
from pagewright.environment import LatexEnvironment
from pagewright.figure import Figure, SubFigure
from pagewright.tabular import Tabular


class Holder:
    """A stream, or any attribute value, that refers to another object."""

    def __init__(self, target=None):
        self.target = target

    def write(self, text):
        pass


# ------------------------------------------------------------------ cycles
#
# Each builder makes a reference cycle through library objects and drops it,
# passing `mark` the objects to watch (with no argument it makes a plain
# object, to watch what the cycle holds).

def context_attribute_is_itself(mark):
    context = mark(LatexContext())
    context.itself = context


def context_is_its_own_parent(mark):
    context = mark(LatexContext(mark()))
    context.parent = context


def parent_and_child_cycle(mark):
    root = mark(LatexContext(mark()))
    child = mark(root.child())
    root.parent = child


def context_in_its_package_table(mark):
    context = mark(LatexContext())
    context.packages["itself"] = context


def contexts_in_each_others_streams(mark):
    root = mark(LatexContext())
    child = mark(root.child())
    child.f = mark(Holder(root))
    root.preamble = mark(Holder(child))


def environment_on_its_context(mark):
    env = mark(LatexEnvironment(mark(LatexContext())))
    env.context.environment = env


def environment_in_a_context_field(mark):
    env = mark(LatexEnvironment(LatexContext()))
    env.context.graphics_path = env


def package_refers_to_itself(mark):
    package = mark(UsePackage("p", {"k": "v"}))
    package.options["itself"] = package


def manager_in_its_stream(mark):
    stream = mark(Holder())
    stream.target = mark(pagewright.begin_end(stream, "n"))


def document_manager_in_its_stream(mark):
    stream = mark(Holder())
    stream.target = mark(pagewright.latex_document(stream, "g"))
    stream.target.__enter__().tex("left open")


def entered_box_holds_its_manager(mark):
    env = LatexEnvironment(LatexContext())
    manager = mark(env.minipage("1cm"))
    inner = mark(manager.__enter__())
    inner.manager = manager


def open_cell_holds_its_managers(mark):
    table_manager = LatexEnvironment(LatexContext()).tabular(["l"])
    table = table_manager.__enter__()
    row_manager = table.row()
    row = row_manager.__enter__()
    cell_manager = row.cell()
    cell = cell_manager.__enter__()
    cell.managers = [table_manager, row_manager, cell_manager]
    for obj in table, row, cell, table.context, row.context, cell.context:
        mark(obj)


def open_subfigure_holds_its_managers(mark):
    figure_manager = LatexEnvironment(LatexContext()).figure("c")
    figure = figure_manager.__enter__()
    sub_manager = figure.subfigure("s")
    sub = sub_manager.__enter__()
    sub.managers = [figure_manager, sub_manager]
    mark(figure)
    mark(sub)


CYCLES = [context_attribute_is_itself, context_is_its_own_parent, parent_and_child_cycle,
          context_in_its_package_table, contexts_in_each_others_streams, environment_on_its_context,
          environment_in_a_context_field, package_refers_to_itself, manager_in_its_stream,
          document_manager_in_its_stream, entered_box_holds_its_manager,
          open_cell_holds_its_managers, open_subfigure_holds_its_managers]
OBJECTS = [
    ("Tabular", lambda: Tabular(["l", "r"], LatexContext())),
    ("Row", lambda: Tabular.Row(2, LatexContext())),
    ("Figure", lambda: Figure("c", "l", "t", LatexContext(), False)),
    ("SubFigure", lambda: SubFigure("c", "l", LatexContext())),
    ("LatexDocument", LatexDocument),
]


def holds_itself(make):
    def build(mark):
        obj = mark(make())
        obj.itself = obj
    return build


class Marker:
    pass


@pytest.mark.parametrize(
    "build", CYCLES + [holds_itself(make) for _, make in OBJECTS],
    ids=[build.__name__ for build in CYCLES] + [name + "_holds_itself" for name, _ in OBJECTS])
def test_cycles_are_collected(build):
    freed, watching = [], []

    def mark(obj=None):
        obj = Marker() if obj is None else obj
        watching.append(weakref.ref(obj, freed.append))
        return obj

    enabled = gc.isenabled()
    gc.disable()
    try:
        build(mark)
        # Only the collector can free a cycle: nothing may be gone yet.
        assert freed == []
        gc.collect()
    finally:
        if enabled:
            gc.enable()
    assert watching and len(freed) == len(watching)


# ------------------------------------------------------------------ threads

# The library calls these two back in the middle of its own work (writing a
# table, dumping a document); each lets the other threads run there.

class Label:
    """A table value whose str() is Python code."""

    def __init__(self, text):
        self.text = text

    def __str__(self):
        time.sleep(0)
        return self.text


class Chunks:
    """An output stream written from Python code."""

    def __init__(self):
        self.chunks = []

    def write(self, text):
        time.sleep(0)
        self.chunks.append(text)


def build_document(n):
    out = Chunks()
    with pagewright.latex_document(out, "img/%d" % n, "report", "a4paper") as doc:
        doc.use_package("geometry", {"margin": "%dcm" % n, "flag": None})
        doc.fullpage()
        for section in range(3):
            doc.tex("\\section{Part %d.%d}\n" % (n, section))
            doc.text("Costs of 50%% & more_%d {x} ~^\\ é€😀 " % n * 3)
            with doc.tabular(["l", "r", "p{3cm}"]) as table:
                table.hline()
                for row in range(4):
                    with table.row() as r:
                        r.cell_tex(str(row))
                        r.multicolumn_tex(1, "c", "%d_%d" % (n, row))
                        with r.cell() as cell:
                            cell.text("cell & %d_%d" % (n, row))
                table.row_tex("a", "b%d" % n, "c")
            with doc.figure(caption="Figure %d" % n, label="fig:%d" % n) as figure:
                for sub in range(2):
                    with figure.subfigure(caption="sub %d" % sub, label="s%d" % n) as s:
                        s.text("subfigure_%d" % sub)
            with doc.minipage("0.5\\linewidth", "t", fbox=True) as box:
                with box.fbox() as inner:
                    inner.text("boxed_%d" % n)
                with box.mbox("3cm") as inner:
                    inner.tex("m%d" % n)
            with doc.tightbox() as box:
                box.lstlisting("print(%d)\n" % n, "Python")
            doc.tabular_simple([[Label("%d%%" % n), 2]], ["r_%d" % n], ["x", Label("y")])
    return "".join(out.chunks)


THREADS = 8
ROUNDS = 6


def test_threads_build_what_one_thread_builds():
    expected = {n: build_document(n) for n in range(THREADS * ROUNDS)}
    assert len(set(expected.values())) == len(expected)
    barrier = threading.Barrier(THREADS)
    results, errors = {}, []

    def work(first):
        try:
            barrier.wait()
            for n in range(first, THREADS * ROUNDS, THREADS):
                results[n] = build_document(n)
        except BaseException as error:
            errors.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert errors == []
    assert results == expected
