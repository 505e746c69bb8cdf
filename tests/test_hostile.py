"""Hostile programs: the library must survive callbacks that tear its objects down.

Random programs over the whole public API (random_programs.py) run in this process with
hostile values and callbacks everywhere the library calls back into Python: a stream's
write, an argument's protocols, a method overridden by a Python subclass or on the
object itself, a replaced module global, a key planted in an instance dict whose __eq__
runs during the library's own lookups, or a finalizer that the collector runs at an
allocation. Each callback first runs an action of its plan: replace or delete the
attributes of the objects in play, swap their instance dicts or classes, enter or exit
blocks (the one being set up too), write into the buffers, drop the references that kept
objects alive, collect garbage, or raise. Blocks are entered and exited in any order.

The oracle is that nothing crashes (run under the sanitizers by scripts/hostile.sh and
scripts/test.sh), that every error is a Python exception other than SystemError, that a
buffer's text is a str and that a finished document is whole. PW_HOSTILE_EXAMPLES sets
the number of programs (default 300); PW_HOSTILE_SEED repeats a run; PW_HOSTILE_TRACE=1
prints each step to stderr as it runs, so that the program behind a crash can be read off.

The second test replays, one small program each, the crashes these programs have found.
"""

import contextlib
import gc
import os
import textwrap

import pytest
from hypothesis import HealthCheck, Verbosity, given, seed, settings

from pagewright import LatexDocument, LatexEnvironment
from pagewright.context import LatexContext
from pagewright.tabular import Tabular
from random_programs import Run, churn, plant_first, programs

EXAMPLES = int(os.environ.get("PW_HOSTILE_EXAMPLES", "300"))
TRACE = os.environ.get("PW_HOSTILE_TRACE") == "1"


@contextlib.contextmanager
def standard_descriptors_kept():
    """A hostile integer used as a file name opens descriptor 0, 1 or 2, and closing the
    file closes it: each is put back after the program (the sanitizers report on 2)."""
    saved = [os.dup(fd) for fd in range(3)]
    try:
        yield
    finally:
        for fd, copy in enumerate(saved):
            os.dup2(copy, fd)
            os.close(copy)


def test_hostile_programs(tmp_path, monkeypatch, record_property):
    monkeypatch.chdir(tmp_path)  # the files that documents and graphics write
    counts = [0, 0]  # programs run, steps taken

    @settings(max_examples=EXAMPLES, deadline=None, database=None,
              suppress_health_check=list(HealthCheck), verbosity=Verbosity.normal)
    @given(programs(survival=True))
    def check(program):
        run = Run(trace=TRACE)
        with standard_descriptors_kept():
            failures = run.program(program)
            counts[0] += 1
            counts[1] += run.steps
            listing = "\n".join(run.log)
            run.close()
        assert not failures, "%s\n%s" % (listing, "\n".join(failures))

    if "PW_HOSTILE_SEED" in os.environ:
        check = seed(int(os.environ["PW_HOSTILE_SEED"]))(check)
    with standard_descriptors_kept():
        check()
        gc.collect()  # files the programs left open are closed here
    record_property("programs", counts[0])
    print("hostile: %d programs, %d steps, fast paths %s" % (
        counts[0], counts[1], "off" if os.environ.get("PAGEWRIGHT_NO_FAST_PATHS") else "on"))


# ----------------------------------------------------------------------------------------
# The crashes found, each as a small program with what it must do instead. plant(obj,
# name, action) puts a key first in obj's dict that hashes as `name` and runs `action`
# the first time a lookup compares it; allocating(function, action) runs `action` from a
# finalizer inside function().

def plant(obj, name, action):
    class Key:
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            if calls:
                calls.pop()()
            return False

    calls = []
    plant_first(vars(obj), Key())
    calls.append(action)


def replace_dict(obj, **entries):
    """obj.__dict__ = entries, the old dict really freed."""
    entries = dict(entries)
    churn()
    obj.__dict__ = entries


def allocating(function, action):
    """function(), with `action` run by a finalizer at its first allocation of an object
    that the collector tracks (the collector runs there, as the allocation passes a
    threshold of one)."""

    class Garbage:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            action()

    threshold = gc.get_threshold()
    gc.collect()
    Garbage()
    gc.set_threshold(1)
    try:
        return function()
    finally:
        gc.set_threshold(*threshold)


REPRODUCERS = {
    # Escaping empty text into a fresh body copied nothing to a null pointer.
    "empty text": """
        env = LatexEnvironment(LatexContext())
        env.text('')
        env.text('a_')
        assert env.context.f.getvalue() == 'a\\\\_'
    """,
    # An instance dict read directly, replaced by a key's __eq__ during the lookup.
    "writer's context": """
        old = LatexContext()
        env = LatexEnvironment(old)
        plant(env, 'context', lambda: replace_dict(env, context=LatexContext()))
        env.tex('x')
        assert old.f.getvalue() == 'x' and env.context.f.getvalue() == ''
    """,
    "use_package's context": """
        env = LatexEnvironment(LatexContext())
        plant(env, 'context', lambda: replace_dict(env))
        env.use_package('p')
    """,
    "row's cells": """
        row = Tabular.Row(2, LatexContext())
        plant(row, 'cols', lambda: replace_dict(row, col=0, ncols=2, cols=[]))
        row.cell_tex('a')
    """,
    "row's room for a cell": """
        row = Tabular.Row(2, LatexContext())
        plant(row, 'ncols', lambda: replace_dict(row, col=0, ncols=2, cols=[],
                                                 context=LatexContext()))
        with row.cell() as cell:
            cell.tex('a')
        assert row.cols == ['a']
    """,
    "float's own dump": """
        doc = LatexDocument()
        with pytest.raises(AttributeError):  # the figure lost its attributes
            with doc.figure('c') as fig:
                plant(fig, 'dump', lambda: replace_dict(fig))
    """,
    "parent's own use_package": """
        root = LatexContext()
        vars(root)
        child = root.child()
        plant(root, 'use_package', lambda: replace_dict(root, parent=None, packages={}))
        child.use_package('p')
    """,
    # The collector, run by an allocation, lets a finalizer take a context out of its
    # native state while the library works on it.
    "child of a context": """
        ctx = LatexContext('g')
        child = allocating(ctx.child, lambda: vars(ctx))
        assert child.parent is ctx and child.graphics_path == 'g'
    """,
    "buffer read twice": """
        ctx = LatexContext()
        stream = allocating(lambda: ctx.f, lambda: vars(ctx))
        assert ctx.f is stream
    """,
    "dict made twice": """
        ctx = LatexContext()
        LatexEnvironment(ctx).tex('hello')
        names = allocating(lambda: sorted(vars(ctx)), lambda: vars(ctx))
        assert names == ['count', 'f', 'graphics_path', 'packages', 'parent', 'preamble']
        assert ctx.f.getvalue() == 'hello'
    """,
}


@pytest.mark.parametrize("source", REPRODUCERS.values(), ids=REPRODUCERS)
def test_hostile_reproducers(source):
    namespace = dict(globals())
    exec(compile(textwrap.dedent(source), "<reproducer>", "exec"), namespace)
