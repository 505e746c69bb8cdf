"""The library's objects keep their attributes natively, yet behave as
instances of Python classes do under the interpreter's own attribute
protocol, and the names the library looks up at call time are honoured
when rebound."""
import contextlib
import copy
import io
import os
import pickle
import sys
import types
import weakref

import pytest

import pagewright
from pagewright import LatexContext, LatexDocument, LatexEnvironment
from pagewright import context as context_module
from pagewright import document as document_module
from pagewright import environment as environment_module
from pagewright import figure as figure_module
from pagewright import file_utils as file_utils_module
from pagewright import frags as frags_module
from pagewright import tabular as tabular_module
from pagewright.figure import Figure, SubFigure
from pagewright.tabular import Tabular

# Each native kind, made as its class makes it, with its attributes in
# binding order.
KINDS = {
    "context": (lambda: LatexContext("g"),
                ["f", "preamble", "graphics_path", "parent", "count", "packages"]),
    "environment": (lambda: LatexEnvironment(LatexContext()), ["context"]),
    "document": (lambda: LatexDocument(), ["context", "document_class", "class_options"]),
    "table": (lambda: Tabular(["l", "r"], LatexContext()),
              ["env", "ncols", "alignment", "context"]),
    "row": (lambda: Tabular.Row(2, LatexContext()), ["ncols", "col", "cols", "context"]),
    "figure": (lambda: Figure("c", "l", "t", LatexContext(), False),
               ["caption", "label", "context", "placement", "double"]),
    "subfigure": (lambda: SubFigure("c", "l", LatexContext()), ["caption", "label", "context"]),
}


def plain(value):
    """A value as copies of it compare: buffers by their text, contexts by
    their attributes."""
    if isinstance(value, io.StringIO):
        return value.getvalue()
    if isinstance(value, LatexContext):
        return {k: plain(v) for k, v in vars(value).items()}
    if isinstance(value, dict):
        return {k: vars(v) for k, v in value.items()}
    return value


@pytest.mark.parametrize("kind", KINDS)
def test_generic_attribute_protocol(kind):
    make, order = KINDS[kind]
    cls = type(make())

    class Logged(cls):
        seen = []

        def __setattr__(self, name, value):
            Logged.seen.append(name)
            super().__setattr__(name, value)

    obj = Logged.__new__(Logged)
    obj.__init__(*{"context": ("g",), "environment": (LatexContext(),), "document": (),
                   "table": (["l", "r"], LatexContext()), "row": (2, LatexContext()),
                   "figure": ("c", "l", "t", LatexContext(), False),
                   "subfigure": ("c", "l", LatexContext())}[kind])
    assert Logged.seen == order and list(vars(obj)) == order

    native = make()
    for name in order:
        assert object.__getattribute__(native, name) is getattr(native, name)
    object.__setattr__(native, "extra", 1)
    weakref.ref(native)
    del native.extra
    native.later = 2
    assert list(vars(native)) == order + ["later"]
    delattr(native, order[0])
    assert list(vars(native)) == order[1:] + ["later"]


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy,
                                   lambda obj: pickle.loads(pickle.dumps(obj))],
                         ids=["copy", "deepcopy", "pickle"])
@pytest.mark.parametrize("kind", KINDS)
def test_copies(kind, clone):
    obj = KINDS[kind][0]()
    if kind == "row":
        obj.cell_tex("a")
    twin = clone(obj)
    assert type(twin) is type(obj)
    assert {k: plain(v) for k, v in vars(twin).items()} == \
        {k: plain(v) for k, v in vars(obj).items()}


def test_a_row_made_by_its_table_copies_with_its_cells():
    env = LatexEnvironment(LatexContext())
    with env.tabular(["l", "l"]) as table:
        with table.row() as row:
            row.cell_tex("a")
            with row.cell() as cell:
                cell.tex("b")
            for twin in (copy.copy(row), pickle.loads(pickle.dumps(row))):
                assert (twin.ncols, twin.col, twin.cols) == (2, 2, ["a", "b"])


def test_class_assignment_keeps_attributes_and_is_honoured_by_the_library():
    ctx = LatexContext()
    env = LatexEnvironment(ctx)
    other = LatexContext()

    class Redirected(LatexEnvironment):
        @property
        def context(self):
            return other

    env.tex("a")
    env.__class__ = Redirected
    env.tex("b")
    env.__class__ = LatexEnvironment
    env.tex("c")
    assert (ctx.f.getvalue(), other.f.getvalue()) == ("ac", "b")
    assert vars(env) == {"context": ctx}


def test_init_run_again_keeps_extras_and_takes_effect_mid_write():
    first, second = LatexContext(), LatexContext()
    env = LatexEnvironment(first)
    env.extra = 1

    class Reinit:
        def __str__(self):
            env.__init__(second)
            return "1cm"

    env.hspace(Reinit())  # the body was looked up before __str__ ran
    env.tex("x")
    assert (first.f.getvalue(), second.f.getvalue()) == ("\\hspace{1cm}", "x")
    assert vars(env) == {"context": second, "extra": 1}

    table = Tabular(["l"], first)
    table.extra = 2
    table.__init__(["l", "r"], second, env="longtable")
    assert vars(table) == {"env": "longtable", "ncols": 2, "alignment": ["l", "r"],
                           "context": second, "extra": 2}


@pytest.mark.parametrize("touch", ["preamble", "f"])
def test_python_code_mid_write_that_reads_another_buffer_loses_no_text(touch):
    ctx = LatexContext()
    env = LatexEnvironment(ctx)

    class Size:
        def __str__(self):
            getattr(ctx, touch).write("P")
            return "1cm"

    env.hspace(Size())
    expected = {"preamble": ("\\hspace{1cm}", "P"), "f": ("P\\hspace{1cm}", "")}[touch]
    assert (ctx.f.getvalue(), ctx.preamble.getvalue()) == expected


class Swallow(LatexEnvironment):
    """Boxes whose manager swallows a ValueError raised in their block."""

    @contextlib.contextmanager
    def fbox(self, sep="1pt"):
        try:
            yield self
        except ValueError:
            pass

    @contextlib.contextmanager
    def minipage(self, width, align="", fbox=False):
        try:
            yield self
        except ValueError:
            pass


@pytest.mark.parametrize("compose", [
    lambda env: env.tightbox(),
    lambda env: LatexEnvironment.minipage(env, "1cm", fbox=True),
    lambda env: env.minipage_bottom("1cm"),
], ids=["tightbox", "framed minipage", "minipage_bottom"])
def test_compositions_honour_a_box_that_swallows_the_exception(compose):
    env = Swallow(LatexContext())
    with compose(env):
        raise ValueError("swallowed by the inner box")


def recording(function, calls):
    def wrapper(*args, **kwargs):
        calls.append(function.__name__)
        return function(*args, **kwargs)
    return wrapper


def recording_os(calls):
    path = types.SimpleNamespace(**{name: recording(getattr(os.path, name), calls)
                                    for name in ("dirname", "exists", "join")})
    return types.SimpleNamespace(path=path, makedirs=recording(os.makedirs, calls),
                                 getcwd=recording(os.getcwd, calls))


def subclass(base):
    return lambda calls: type("Mine" + base.__name__, (base,), {})


class MineStringIO(io.StringIO):
    pass


class MineTabular(Tabular):
    class Row(Tabular.Row):
        pass


def box(env, tmp):
    with env.fbox() as inner:
        return type(inner).__name__


def cell(env, tmp):
    with env.tabular(["l"]) as table, table.row() as row, row.cell() as inner:
        return type(inner).__name__


def table_class(env, tmp):
    with env.tabular(["l"]) as table:
        return type(table).__name__


def row_class(env, tmp):
    with env.tabular(["l"]) as table, table.row() as row:
        return type(row).__qualname__


def child(env, tmp):
    return type(env.context.child()).__name__


def document_context(env, tmp):
    return type(LatexDocument().context).__name__


def fragment(env, tmp):
    with pagewright.latex_fragment(io.StringIO()) as frag:
        return type(frag).__name__, type(frag.context).__name__


def document(env, tmp):
    with pagewright.latex_document(io.StringIO()) as doc:
        return type(doc).__name__


def written(env, tmp):
    LatexDocument().write_to_file(str(tmp / "d" / "x.tex"))
    with pagewright.latex_document(str(tmp / "e" / "y.tex")):
        pass


def graphics(env, tmp):
    tmp.mkdir()
    env.context.graphics_path = str(tmp)
    env.graphics_data("x", pagewright.MIME_PNG, "g", width="1cm")
    return env.context.f.getvalue()


def text(env, tmp):
    env.text("a_b")
    return env.context.f.getvalue()


def packages(env, tmp):
    env.use_package("amsmath")
    out = io.StringIO()
    env.context.dump_preamble(out)
    return type(env.context.packages["amsmath"]).__name__, out.getvalue()


def figure(env, tmp):
    with env.figure(caption="c"):
        pass


def buffers(env, tmp):
    return type(LatexContext().f).__name__


EARLY = LatexContext()  # made before any name is rebound


def child_buffers(env, tmp):
    return type(EARLY.child().f).__name__


# (module, name, replacement(calls), action(env, tmp_path), what the action
# gives with the replacement: its result, or the calls it recorded)
REBOUND = [
    (environment_module, "LatexEnvironment", subclass(LatexEnvironment), box,
     "MineLatexEnvironment"),
    (tabular_module, "LatexEnvironment", subclass(LatexEnvironment), cell,
     "MineLatexEnvironment"),
    (tabular_module, "Tabular", lambda calls: MineTabular, row_class, "MineTabular.Row"),
    (sys.modules, "pagewright.tabular", lambda calls: types.SimpleNamespace(Tabular=MineTabular),
     table_class, "MineTabular"),
    (context_module, "LatexContext", subclass(LatexContext), child, "MineLatexContext"),
    (context_module, "StringIO", lambda calls: MineStringIO, buffers, "MineStringIO"),
    (context_module, "StringIO", lambda calls: MineStringIO, child_buffers, "MineStringIO"),
    (context_module, "UsePackage", subclass(context_module.UsePackage), packages,
     ("MineUsePackage", "\\usepackage[]{amsmath}\n")),
    (context_module, "dict_to_latex_option_string", lambda calls: lambda d: "o", packages,
     ("UsePackage", "\\usepackage[o]{amsmath}\n")),
    (document_module, "LatexContext", subclass(LatexContext), document_context,
     "MineLatexContext"),
    (frags_module, "LatexEnvironment", subclass(LatexEnvironment), fragment,
     ("MineLatexEnvironment", "LatexContext")),
    (frags_module, "LatexContext", subclass(LatexContext), fragment,
     ("LatexEnvironment", "MineLatexContext")),
    (frags_module, "LatexDocument", subclass(LatexDocument), document, "MineLatexDocument"),
    (document_module, "make_sure_dir_exists",
     lambda calls: recording(document_module.make_sure_dir_exists, calls), written,
     ["make_sure_dir_exists"]),
    (frags_module, "make_sure_dir_exists",
     lambda calls: recording(frags_module.make_sure_dir_exists, calls), written,
     ["make_sure_dir_exists"]),
    (file_utils_module, "os", recording_os, written, ["exists", "makedirs"] * 2),
    (document_module, "os", recording_os, written, ["dirname"]),
    (frags_module, "os", recording_os, written, ["dirname"]),
    (environment_module, "latex_escape", lambda calls: lambda s: s.upper(), text, "A_B"),
    (environment_module, "make_options_string", lambda calls: lambda **params: "o", graphics,
     "\\includegraphics[o]{g}%\n"),
    (figure_module, "begin_end", lambda calls: recording(pagewright.utils.begin_end, calls),
     figure, ["begin_end"]),
]


@pytest.mark.parametrize("module, name, replacement, action, expected", REBOUND,
                         ids=["%s.%s-%s" % (getattr(case[0], "__name__", "sys.modules").split(".")[-1],
                                            case[1], case[3].__name__) for case in REBOUND])
def test_rebound_names_are_honoured(module, name, replacement, action, expected, monkeypatch,
                                    tmp_path):
    # once before, so that nothing can be decided ahead
    action(LatexEnvironment(LatexContext()), tmp_path / "before")
    calls = []
    rebind = monkeypatch.setitem if isinstance(module, dict) else monkeypatch.setattr
    rebind(module, name, replacement(calls))
    result = action(LatexEnvironment(LatexContext()), tmp_path / "after")
    assert (calls if isinstance(expected, list) else result) == expected


def test_host_modules_are_looked_up_at_call_time(monkeypatch, tmp_path):
    env = LatexEnvironment(LatexContext(str(tmp_path)))
    seen = []

    class Types:
        @staticmethod
        def guess_extension(mime):
            seen.append(mime)
            return ".bin"

    monkeypatch.setattr(environment_module, "mimetypes", Types)
    assert env.save_graphics_data("d", "x/y", "g").endswith("g.bin") and seen == ["x/y"]


def test_a_list_subclass_alignment_is_iterated():
    class Checked(list):
        def __iter__(self):
            return iter(["l"])  # what the checks see

    table = Tabular(Checked(["?"]), LatexContext())
    assert table.ncols == 1
    env = LatexEnvironment(LatexContext())
    with env.tabular(Checked(["?"])):
        pass
    assert env.context.f.getvalue().startswith("\\begin{tabular}{l}\n")


def test_a_column_that_is_not_a_str_fails_the_dump_as_join_does():
    env = LatexEnvironment(LatexContext())
    with pytest.raises(TypeError, match="expected str instance, int found"):
        with env.tabular(["l"]) as table:
            table.alignment.append(3)


ROWS = {
    "long": ["x" * 3000, "é" * 2000],
    "wide": ["é", "€" * 200, "😀", "a"],
    "many": [str(i) for i in range(40)],
}


@pytest.mark.parametrize("cells", ROWS.values(), ids=ROWS)
@pytest.mark.parametrize("write", ["row_tex", "cell_tex", "cell"])
def test_long_wide_and_many_cell_rows(write, cells):
    env = LatexEnvironment(LatexContext())
    with env.tabular(["l"] * len(cells)) as table:
        if write == "row_tex":
            table.row_tex(*cells)
        else:
            with table.row() as row:
                for text in cells:
                    if write == "cell":
                        with row.cell() as cell:
                            cell.tex(text)
                    else:
                        row.cell_tex(text)
            assert row.cols == cells
    assert env.context.f.getvalue() == "\\begin{tabular}{%s}\n%s\\\\ \n \\end{tabular}\n" % (
        "l" * len(cells), " & ".join(cells))


class Shown(str):
    """A str whose % formatting shows something else."""

    def __str__(self):
        return "shown"


@pytest.mark.parametrize("write, expected", [
    (lambda env: env.hspace(Shown("x")), "\\hspace{shown}"),
    (lambda env: env.input(Shown("x")), "\\input{shown}\n"),
    (lambda env: env.rule(Shown("x"), "1pt"), "{\\color{gray}\\rule{shown}{1pt}}%\n"),
    (lambda env: env.lstlisting("c", Shown("x")),
     "\\begin{lstlisting}[language=shown]\nc\\end{lstlisting}%\n"),
])
def test_str_subclass_operands_are_formatted_with_their_str(write, expected):
    env = LatexEnvironment(LatexContext())
    write(env)
    assert env.context.f.getvalue() == expected


@pytest.mark.parametrize("open_box, expected", [
    (lambda env: env.fbox(Shown("x")), "{\\setlength\\fboxsep{shown}%\n\\fbox{%\n}% fbox\n}% setlength\n"),
    (lambda env: env.minipage(Shown("x"), Shown("y")), "\\begin{minipage}[shown]{shown}%\n\\end{minipage}%\n"),
    (lambda env: env.figure(placement=Shown("x")),
     "\\begin{figure}[shown]%\n\\captionsetup[subfloat]{}\n\\end{figure}%\n"),
    (lambda env: env.subfigure(Shown("x"), Shown("y")),
     "\\subfloat[\\label{shown}shown]{%\n}% subfloat\n"),
    (lambda env: env.tabular([Shown("l")], env=Shown("tabular")),
     "\\begin{shown}{l}\n\\end{shown}\n"),
    (lambda env: env.tabular(["l"], env=Shown("tabular")), "\\begin{shown}{l}\n\\end{shown}\n"),
])
def test_str_subclass_operands_of_constructs(open_box, expected):
    env = LatexEnvironment(LatexContext())
    with open_box(env):
        pass
    assert env.context.f.getvalue() == expected



def replaced_buffer(monkeypatch):
    env, other = LatexEnvironment(LatexContext()), io.StringIO()
    monkeypatch.setattr(LatexContext, "f", property(lambda self: other))
    env.tex("x")
    return other.getvalue()


def replaced_context(monkeypatch):
    env, other = LatexEnvironment(LatexContext()), LatexContext()
    monkeypatch.setattr(LatexEnvironment, "context", property(lambda self: other))
    env.text("x")
    return other.f.getvalue()


def replaced_column_count(monkeypatch):
    table = Tabular(["l"], LatexContext())
    monkeypatch.setattr(Tabular, "ncols", property(lambda self: 2))
    table.row_tex("a", "b")
    return table.context.f.getvalue()


@pytest.mark.parametrize("replace, expected", [
    (replaced_buffer, "x"),
    (replaced_context, "x"),
    (replaced_column_count, "a & b\\\\ \n "),
])
def test_a_class_attribute_replaced_after_the_object_was_made_is_honoured(replace, expected,
                                                                          monkeypatch):
    assert replace(monkeypatch) == expected


def reclassed(obj):
    obj.__class__ = LatexEnvironment
    return obj


@pytest.mark.parametrize("read, expected", [
    (lambda: reclassed(Tabular(["l", "r"], LatexContext())).ncols, 2),
    (lambda: reclassed(Figure("c", "l", "t", LatexContext(), False)).caption, "c"),
    (lambda: vars(LatexEnvironment)["context"].__get__(
        SubFigure("c", "l", LatexContext("sub"))).graphics_path, "sub"),
], ids=["table", "figure", "base descriptor"])
def test_attributes_are_found_by_name_through_another_writer_class(read, expected):
    assert read() == expected


class Dying:
    """Calls `last` when it is freed."""

    def __init__(self, last):
        self.last = last

    def __del__(self):
        self.last()


def fresh(text):
    return "".join([text, ""])  # a str that nothing else holds


def remade_context(dying):
    ctx = LatexContext(dying(lambda: ctx.graphics_path))
    ctx.__init__("new")
    return "new"


def remade_environment(dying):
    env = LatexEnvironment(dying(lambda: env.context))
    env.__init__(LatexContext())
    return env.context


def remade_table(dying):
    table = Tabular(["l"], dying(lambda: table.context))
    table.__init__(["l"], LatexContext())
    return table.context


def remade_figure(dying):
    figure = Figure(dying(lambda: figure.caption), "l", "t", LatexContext(), False)
    figure.__init__("new", "l", "t", LatexContext(), False)
    return "new"


def remade_row(dying):
    row = Tabular.Row(4, LatexContext())

    def add_two():
        row.cell_tex(fresh("n1"))
        row.cell_tex(fresh("n2"))
        return row.cols

    row.cell_tex(dying(add_two))
    row.cell_tex(fresh("b"))
    row.__init__(4, row.context)
    return ["n1", "n2"]


@pytest.mark.parametrize("remade", [remade_context, remade_environment, remade_table,
                                    remade_figure, remade_row])
def test_init_run_again_releases_old_values_after_storing_new_ones(remade):
    # What an old value's finalizer sees, and what it adds, belongs to the new state.
    seen = []
    expected = remade(lambda look: Dying(lambda: seen.append(look())))
    assert seen == [expected]


def dumped_packages(out):
    ctx = LatexContext()
    ctx.use_package("a")
    ctx.dump_preamble(out)


def written_fragment(out):
    with pagewright.latex_fragment(out) as frag:
        frag.tex("x")


@pytest.mark.parametrize("write", [dumped_packages, written_fragment,
                                   lambda out: LatexDocument().dump_stream(out)])
def test_a_stream_with_its_own_write_is_written_through_it(write):
    out = io.StringIO()
    own = []
    out.write = own.append
    write(out)
    assert own and out.getvalue() == ""
