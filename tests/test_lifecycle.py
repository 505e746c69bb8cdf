"""Managers are single use, and stay whole when the Python code their own set-up or
closing work calls tries to enter or leave them again; the library's internal types
cannot be built from Python; long chains are freed and climbed without deep C
recursion, and weak references die with their objects; the extension loads in the main
interpreter only."""

import contextlib
import gc
import inspect
import io
import os
import re
import sys
import weakref

import pytest

import pagewright
from pagewright.context import LatexContext, UsePackage
from pagewright.figure import Figure, SubFigure
from pagewright.tabular import Tabular

BUSY = "generator already executing"


class Probe:
    """When armed, calls the manager's __exit__ and __enter__ from inside the library's
    own work, once, and records what each call raised."""

    def __init__(self):
        self.manager = self.phase = None
        self.seen = []

    def arm(self, manager, phase):
        self.manager, self.phase = manager, phase

    def __call__(self):
        manager, self.manager = self.manager, None
        if manager is None:
            return
        for call in (lambda: manager.__exit__(None, None, None), manager.__enter__):
            try:
                call()
                self.seen.append((self.phase, None))
            except ValueError as error:
                self.seen.append((self.phase, str(error)))


class HookStream(io.StringIO):
    def __init__(self, probe):
        super().__init__()
        self.probe = probe

    def write(self, text):
        self.probe()
        return super().write(text)


class HookContext(LatexContext):
    def __init__(self, probe):
        super().__init__()
        self.probe = probe
        self.f = HookStream(probe)
        self.preamble = HookStream(probe)

    def child(self):
        self.probe()
        return super().child()


# Each maker opens the blocks around the one under test and yields its manager.
def around_env(make):
    def scene(env, stream, probe):
        yield make(env, stream)
    return scene


def in_table(env, stream, probe):
    with env.tabular(["l"]) as table:
        table.context = HookContext(probe)
        yield table.row()


def in_row(env, stream, probe):
    with env.tabular(["l"]) as table, table.row() as row:
        row.context = HookContext(probe)
        yield row.cell()


def in_figure(env, stream, probe):
    with env.figure("c", "l") as figure:
        figure.context = HookContext(probe)
        yield figure.subfigure("s", "l")


SCENES = {
    "begin_end": around_env(lambda env, stream: pagewright.begin_end(stream, "x", "o")),
    "latex_document": around_env(lambda env, stream: pagewright.latex_document(stream)),
    "latex_fragment": around_env(lambda env, stream: pagewright.latex_fragment(stream)),
    "minipage": around_env(lambda env, stream: env.minipage("1cm")),
    "framed minipage": around_env(lambda env, stream: env.minipage("1cm", fbox=True)),
    "minipage_bottom": around_env(lambda env, stream: env.minipage_bottom("1cm")),
    "fbox": around_env(lambda env, stream: env.fbox()),
    "resizebox": around_env(lambda env, stream: env.resizebox("1cm")),
    "mbox": around_env(lambda env, stream: env.mbox("1cm", "c")),
    "tightbox": around_env(lambda env, stream: env.tightbox()),
    "figure": around_env(lambda env, stream: env.figure("c", "l")),
    "tabular": around_env(lambda env, stream: env.tabular(["l", "r"])),
    "subfigure": in_figure,
    "row": in_table,
    "cell": in_row,
}


def run_scene(scene, probe, armed):
    root = HookContext(probe)
    stream = HookStream(probe)
    env = pagewright.LatexEnvironment(root)
    for manager in scene(env, stream, probe):
        if armed:
            probe.arm(manager, "enter")
        with manager as target:
            with pytest.raises(RuntimeError):
                manager.__enter__()
            if hasattr(target, "tex"):
                target.tex("body")
            if armed:
                probe.arm(manager, "close")
        probe.arm(None, None)
        with pytest.raises(RuntimeError):
            manager.__enter__()
        assert manager.__exit__(None, None, None) is False
    return root.preamble.getvalue() + root.f.getvalue() + stream.getvalue()


@pytest.mark.parametrize("name", SCENES)
def test_reentering_a_busy_manager_raises_and_changes_nothing(name):
    reference = run_scene(SCENES[name], Probe(), armed=False)
    probe = Probe()
    assert run_scene(SCENES[name], probe, armed=True) == reference
    assert ("close", BUSY) in probe.seen
    assert {message for _, message in probe.seen} == {BUSY}


@pytest.mark.parametrize("name", SCENES)
def test_leaving_a_manager_that_was_never_entered_does_nothing(name):
    def run(leave):
        probe = Probe()
        root, stream = HookContext(probe), HookStream(probe)
        for manager in SCENES[name](pagewright.LatexEnvironment(root), stream, probe):
            if leave:
                assert manager.__exit__(None, None, None) is False
                assert manager.__exit__(KeyError, KeyError("x"), None) is False
        return root.preamble.getvalue() + root.f.getvalue() + stream.getvalue()

    assert run(leave=True) == run(leave=False)


def enter_and_leave(manager, style):
    if style == "with":
        with manager as page:
            page.tex("@")
    elif style == "exit_stack":
        with contextlib.ExitStack() as stack:
            stack.enter_context(manager).tex("@")
    elif style == "unbound":
        type(manager).__enter__(manager).tex("@")
        assert type(manager).__exit__(manager, None, None, None) is False
    else:  # the bound methods outlive every other reference to the manager
        enter, leave = manager.__enter__, manager.__exit__
        del manager
        enter().tex("@")
        assert leave(None, None, None) is False


@pytest.mark.parametrize("style", ["exit_stack", "unbound", "bound_kept"])
def test_a_manager_entered_and_left_any_way_writes_the_same(style):
    def run(style):
        out = io.StringIO()
        with pagewright.latex_fragment(out) as frag:
            enter_and_leave(frag.minipage("1cm"), style)
        return out.getvalue()

    assert run(style) == run("with")


@pytest.mark.parametrize("call", [
    lambda m: m.__enter__(1),
    lambda m: m.__enter__(x=1),
    lambda m: m.__exit__(None),
    lambda m: m.__exit__(None, None, None, x=1),
    lambda m: type(m).__enter__(),
    lambda m: type(m).__exit__(3, None, None, None),
    lambda m: type(m).__enter__.__get__(3),
])
def test_manager_methods_refuse_bad_calls_and_stay_usable(call):
    env = pagewright.LatexEnvironment(LatexContext())
    manager = env.fbox()
    with pytest.raises(TypeError):
        call(manager)
    enter_and_leave(manager, "with")
    assert env.context.f.getvalue().count("@") == 1


def test_bound_manager_methods_compare_as_builtin_methods_and_are_collected():
    env = pagewright.LatexEnvironment(LatexContext())
    one, other = env.fbox(), env.fbox()
    assert one.__exit__ == one.__exit__ and hash(one.__exit__) == hash(one.__exit__)
    assert one.__exit__ != other.__exit__ and one.__enter__ != one.__exit__
    assert one.__exit__.__self__ is one and type(one).__exit__.__get__(None, type(one)) is type(one).__exit__
    # A cycle through a bound method: manager -> box -> bound __exit__ -> manager.
    box = one.__enter__()
    box.leave = one.__exit__
    died = []
    ref = weakref.ref(one, died.append)
    del one, box
    gc.collect()
    assert died and ref() is None


def test_closing_the_block_from_its_own_frame_flag():
    env = pagewright.LatexEnvironment(LatexContext())
    seen = []

    class Flag:
        def __bool__(self):
            try:
                manager.__exit__(None, None, None)
            except ValueError as error:
                seen.append(str(error))
            return False

    manager = env.minipage("1cm", fbox=Flag())
    with manager as page:
        page.tex("x")
    assert seen == [BUSY]
    assert env.context.f.getvalue() == "\\begin{minipage}[]{1cm}%\nx\\end{minipage}%\n"


def internal_types():
    yield type(pagewright.begin_end(io.StringIO(), "x"))
    yield type(pagewright.begin_end)
    yield from {type(finder) for finder in sys.meta_path
                if type(finder).__module__.startswith("pagewright")}


@pytest.mark.parametrize("internal", list(internal_types()), ids=lambda t: t.__name__)
def test_internal_types_cannot_be_built_from_python(internal):
    message = "cannot create '%s' instances" % internal.__name__
    with pytest.raises(TypeError, match=re.escape(message)):
        internal()
    with pytest.raises(TypeError):
        object.__new__(internal)


LIBRARY_CLASSES = [LatexContext, pagewright.LatexEnvironment, pagewright.LatexDocument,
                   Tabular, Tabular.Row, Figure, SubFigure, UsePackage]


@pytest.mark.parametrize("cls", LIBRARY_CLASSES, ids=lambda c: c.__qualname__)
def test_errors_name_library_types_as_python_names_its_classes(cls):
    obj = cls.__new__(cls)
    with pytest.raises(AttributeError,
                       match="^'%s' object has no attribute 'missing'$" % cls.__name__):
        obj.missing
    assert repr(obj).startswith("<%s.%s object at " % (cls.__module__, cls.__qualname__))


def bound_callables():
    context = LatexContext()
    env = pagewright.LatexEnvironment(context)
    owners = [pagewright, context, env, pagewright.LatexDocument(), Tabular(["l"], context),
              Tabular.Row(1, context), UsePackage("p")]
    for owner in owners:
        for name in sorted(dir(owner)):
            function = getattr(owner, name)
            if name.startswith("_") or not callable(function) or isinstance(function, type):
                continue
            try:
                parameters = list(inspect.signature(function).parameters.values())
            except (TypeError, ValueError):
                continue
            named = [p for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
            if named:
                yield pytest.param(function, named[0].name,
                                   id="%s.%s" % (type(owner).__name__, name))


@pytest.mark.parametrize("function, parameter", list(bound_callables()))
def test_an_argument_given_twice_is_refused(function, parameter):
    with pytest.raises(TypeError, match="multiple values for argument '%s'" % parameter):
        function("x", **{parameter: "y"})


def linked_box(env, previous):
    box = env.fbox().__enter__()
    box.context = previous
    return box


# Objects the library made for itself are freed by a shorter way, which
# only runs with the fast paths on (and is slow to build up without them).
native_only = pytest.mark.skipif(
    os.environ.get("PAGEWRIGHT_NO_FAST_PATHS", "") not in ("", "0"),
    reason="no native objects without the fast paths")


def linked_rows(table):
    def link(previous):
        row = table.row().__enter__()
        row.cell_tex(previous)
        return row
    return link


@pytest.mark.parametrize("links, count", [
    (lambda env: lambda previous: pagewright.begin_end(previous, "x"), 1_000_000),
    pytest.param(lambda env: lambda previous: (previous or env.context).child(), 1_000_000,
                 marks=native_only),
    pytest.param(lambda env: lambda previous: linked_box(env, previous), 1_000_000,
                 marks=native_only),
    pytest.param(lambda env: linked_rows(env.tabular(["l"]).__enter__()), 300_000,
                 marks=native_only),
], ids=["managers", "child contexts", "boxes", "rows through their cells"])
def test_a_million_nested_objects_are_freed(links, count):
    env = pagewright.LatexEnvironment(LatexContext())
    link = links(env)
    last = None
    for _ in range(count):
        last = link(last)
    del last


def entered(manager):
    with manager as target:
        return target


def run(manager):
    with manager:
        return manager


@pytest.mark.parametrize("make", [
    lambda env: run(env.fbox()),
    lambda env: entered(env.fbox()),
    lambda env: entered(env.fbox()).context,
    lambda env: entered(entered(env.tabular(["l"])).row()),
], ids=["manager", "box", "child context", "row"])
def test_a_weak_reference_dies_with_its_object(make):
    env = pagewright.LatexEnvironment(LatexContext())
    died = []
    ref = weakref.ref(make(env), died.append)
    later = make(env)  # may reuse the memory of the one freed
    assert died == [ref] and ref() is None and later is not None


@pytest.mark.parametrize("override", [False, True])
def test_a_long_chain_of_subclass_contexts_climbs_without_crashing(override):
    class Plain(LatexContext):
        pass

    class Overriding(LatexContext):
        def use_package(self, name, options=None):
            return super().use_package(name, options)

    kind = Overriding if override else Plain
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(1_000_000)
    try:
        context = root = kind()
        for _ in range(100_000):
            child = kind()
            child.parent = context
            context = child
        try:
            context.use_package("pkg")
        except RecursionError:
            assert override
        else:
            assert "pkg" in root.packages
    finally:
        sys.setrecursionlimit(limit)


def test_a_subinterpreter_is_refused_and_leaves_the_main_one_working(run_python, tmp_path):
    run_python("""
        import _testcapi
        code = '''
        try:
            import pagewright
        except ImportError as error:
            open('refused.txt', 'w').write(str(error))
        '''
        assert _testcapi.run_in_subinterp(code.replace(chr(10) + '        ', chr(10))) == 0
        import pagewright
        env = pagewright.LatexEnvironment(pagewright.LatexContext())
        env.text('a_b')
        assert env.context.f.getvalue() == 'a\\\\_b'
    """)
    assert "does not support loading in subinterpreters" in (tmp_path / "refused.txt").read_text()
