import io
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

import pagewright
from pagewright import LatexContext, LatexEnvironment
from pagewright.tabular import Tabular

from helpers import class_body

ROW_END = "\\\\ \n "


@pytest.fixture
def env():
    return LatexEnvironment(LatexContext())


def body(env):
    return env.context.f.getvalue()


def fill_example(table):
    table.hline()
    with table.row() as row:
        row.cell_tex("a")
        with row.cell() as cell:
            cell.tex("b")
    table.row_tex("1", "2")
    table.hline()


@pytest.mark.parametrize("opener", ["tabular", "longtable"])
def test_example_table(env, opener):
    with getattr(env, opener)(["l", "r"]) as table:
        fill_example(table)
    assert body(env) == (
        "\\begin{%s}{lr}\n\\hline\na & b\\\\ \n 1 & 2\\\\ \n \\hline\n\\end{%s}\n"
        % (opener, opener)
    )


def test_table_body_stays_in_child_until_block_ends(env):
    with env.tabular(["l"]) as table:
        table.row_tex("x")
        assert body(env) == ""
        assert table.context.parent is env.context
        assert table.context.f.getvalue() == "x" + ROW_END


@pytest.mark.parametrize("alignment", ["lr", ("l", "r")])
def test_alignment_must_be_a_list(env, alignment):
    with pytest.raises(AssertionError) as caught:
        with env.tabular(alignment):
            pass
    assert caught.value.args == ()
    assert body(env) == ""


@pytest.mark.parametrize("alignment", [["l", "|", "r"], ["l|"], [">{\\bfseries}l"], ["{c}"]])
def test_refused_column_carries_the_whole_list(env, alignment):
    with pytest.raises(AssertionError) as caught:
        with env.tabular(alignment):
            pass
    assert len(caught.value.args) == 1
    assert caught.value.args[0] is alignment


@pytest.mark.parametrize(
    "alignment, spec",
    [(["p{3cm}", "l"], "p{3cm}l"), (["c{"], "c{"), (["l{x}", "r"], "l{x}r")],
)
def test_accepted_columns_are_written_unchanged(env, alignment, spec):
    with env.tabular(alignment) as table:
        assert table.ncols == len(alignment)
        assert table.alignment is alignment
    assert body(env) == "\\begin{tabular}{%s}\n\\end{tabular}\n" % spec


def test_unknown_environment(env):
    with pytest.raises(AssertionError) as caught:
        with env.tabular(["l"], env="array"):
            pass
    assert caught.value.args == ()


def test_non_string_column_entry_raises_type_error(env):
    with pytest.raises(TypeError):
        with env.tabular(["l", 3]):
            pass


def test_allowed_and_envs_are_read_from_the_module_class(env, monkeypatch):
    monkeypatch.setattr(Tabular, "allowed", Tabular.allowed + ["X"])
    monkeypatch.setattr(Tabular, "envs", Tabular.envs + ["array"])
    with env.tabular(["X"], env="array"):
        pass
    assert body(env) == "\\begin{array}{X}\n\\end{array}\n"

    class Wider(Tabular):
        allowed = ["Y"]

    with pytest.raises(AssertionError):
        Wider(["Y"], LatexContext())


def test_empty_specification(env):
    with env.tabular([]) as table:
        with table.row() as row:
            # The message stays as it is; a note gives the counts.
            counts = "\nthe table has 0 columns and this row already holds 0 cells$"
            with pytest.raises(Exception, match="^Too many columns" + counts):
                row.cell_tex("a")
            with pytest.raises(Exception, match="^Too many columns" + counts):
                with row.cell():
                    pytest.fail("cell block must not run")
    assert body(env) == "\\begin{tabular}{}\n" + ROW_END + "\\end{tabular}\n"


def test_full_row_keeps_its_cells(env):
    with env.tabular(["l", "l"]) as table:
        with table.row() as row:
            row.cell_tex("a")
            row.cell_tex("b")
            with pytest.raises(Exception) as caught:
                row.cell_tex("c")
            assert type(caught.value) is Exception
            assert caught.value.args == ("Too many columns",)
            assert caught.value.__notes__ == [
                "the table has 2 columns and this row already holds 2 cells"]
    assert table.context.f.getvalue() == "a & b" + ROW_END


def test_cell_tex_default_is_empty(env):
    with env.tabular(["l", "l"]) as table:
        with table.row() as row:
            row.cell_tex()
            row.cell_tex(tex="x")
    assert table.context.f.getvalue() == " & x" + ROW_END


def test_multicolumn(env):
    with env.tabular(["l", "l", "l"]) as table:
        with table.row() as row:
            row.multicolumn_tex(2, "c", "x")
            row.cell_tex("y")
        with table.row() as row:
            row.cell_tex("a")
            row.cell_tex("b")
            with pytest.raises(Exception) as caught:
                row.multicolumn_tex(2, "c", "x")
            assert caught.value.args == ("Too many columns (ncols=3,n=2,cur=2)",)
        with table.row() as row:
            row.cell_tex("a")
            row.multicolumn_tex(n=2, align="r|", tex="$x_1$")
            assert (row.col, row.cols) == (3, ["a", "\\multicolumn{2}{r|}{$x_1$}"])
    assert table.context.f.getvalue() == (
        "\\multicolumn{2}{c}{x} & y" + ROW_END + "a & b" + ROW_END
        + "a & \\multicolumn{2}{r|}{$x_1$}" + ROW_END
    )


def add_by_block(row):
    with row.cell() as cell:
        cell.text("x")


@pytest.mark.parametrize("start, add, col", [
    (0, [lambda row: row.multicolumn_tex(-1, "c", "x")], -1),
    (0, [lambda row, n=n: row.multicolumn_tex(n, "c", "x") for n in (-1, -(2**63))], -1 - 2**63),
    (2**63 - 1, [lambda row: row.cell_tex("x")], 2**63),
    (2**63 - 1, [add_by_block], 2**63),
])
def test_columns_count_as_python_ints_past_the_machine_range(env, start, add, col):
    with env.tabular(["l", "l", "l"]) as table:
        with table.row() as row:
            row.col = start
            for step in add:
                step(row)
            assert row.col == col and len(row.cols) == len(add)


@pytest.mark.parametrize(
    "cells, written",
    [(("a",), "a" + ROW_END), ((), ROW_END), (("1", "2"), "1 & 2" + ROW_END)],
)
def test_row_tex(env, cells, written):
    with env.tabular(["l", "l"]) as table:
        table.row_tex(*cells)
    assert table.context.f.getvalue() == written


# A row's cells as blocks (their text written with tex()), as cell_tex, and
# looks at `cols` between them: one-byte, wide, empty and long texts.
ROWS_OF_CELLS = [
    ["a", "bc", "", "d"],
    ["a", "é", "b"],
    ["€", "a", "b"],
    ["x" * 300, "y" * 200, "z"],
    ["a", ("tex", "b"), "c"],
    [("tex", "a"), ("tex", "x" * 300), "b"],
    [("tex", "a"), ("tex", "é"), ("tex", "b")],
    ["a", "look", "b", "look", "😀"],
    ["", ""],
]


@pytest.mark.parametrize("cells", ROWS_OF_CELLS)
def test_a_row_joins_its_cells_in_order(env, cells):
    written = []
    with env.tabular(["l"] * len(cells)) as table:
        with table.row() as row:
            for cell in cells:
                if cell == "look":
                    assert row.cols == written
                elif isinstance(cell, tuple):
                    row.cell_tex(cell[1])
                    written.append(cell[1])
                else:
                    with row.cell() as block:
                        block.tex(cell)
                    written.append(cell)
    # Compared as encoded: a str made with too narrow a kind compares equal.
    assert body(table).encode() == (" & ".join(written) + ROW_END).encode()


def test_row_tex_too_many_cells(env):
    with env.tabular(["l", "l"]) as table:
        with pytest.raises(Exception) as caught:
            table.row_tex("a", "b", "c")
        assert caught.value.args == ("Got 3 cols instead of 2 expected.",)
        with pytest.raises(TypeError):
            table.row_tex("a", 5)
        with pytest.raises(TypeError):
            table.row_tex(cols="a")
    assert table.context.f.getvalue() == ""


def test_row_with_more_entries_than_columns(env):
    with env.tabular(["l", "l"]) as table:
        with pytest.raises(Exception) as caught:
            with table.row() as row:
                row.cell_tex("a")
                row.cell_tex("b")
                row.cols.append("c")
        assert caught.value.args == ("Bad number of columns (found 3, required 2)",)
        with pytest.raises(Exception) as caught:
            with table.row() as row:
                for _ in range(3):
                    row.multicolumn_tex(0, "c", "x")
                assert row.col == 0
        assert caught.value.args == ("Bad number of columns (found 1, required 2)",)
        table.row_tex("ok")
    assert table.context.f.getvalue() == "ok" + ROW_END


def test_short_row_is_written_as_is(env):
    with env.tabular(["l", "l", "l"]) as table:
        with table.row() as row:
            row.cell_tex("a")
    assert table.context.f.getvalue() == "a" + ROW_END


def test_non_string_cell_fails_at_row_end(env):
    with env.tabular(["l", "l"]) as table:
        with pytest.raises(TypeError):
            with table.row() as row:
                row.cell_tex("a")
                row.cell_tex(5)
    assert table.context.f.getvalue() == ""


def test_raising_cell_adds_nothing(env):
    with env.tabular(["l", "l"]) as table:
        with table.row() as row:
            with pytest.raises(KeyError):
                with row.cell() as cell:
                    cell.tex("lost")
                    raise KeyError("x")
            assert (row.col, row.cols) == (0, [])
            row.cell_tex("kept")
    assert table.context.f.getvalue() == "kept" + ROW_END


def test_raising_row_and_table_blocks_write_nothing(env):
    error = ValueError("boom")
    with pytest.raises(ValueError) as caught:
        with env.tabular(["l"]) as table:
            with pytest.raises(ValueError):
                with table.row() as row:
                    row.cell_tex("lost")
                    raise ValueError
            table.row_tex("kept")
            raise error
    assert caught.value is error
    assert table.context.f.getvalue() == "kept" + ROW_END
    assert body(env) == ""


def test_preamble_moves_up_in_order(env):
    env.context.preamble.write("outer;")
    with env.tabular(["l"]) as table:
        table.context.preamble.write("table;")
        with table.row() as row:
            with row.cell() as cell:
                cell.context.preamble.write("cell;")
                cell.tex("x")
                assert cell.context.parent is table.context
        assert table.context.preamble.getvalue() == "table;cell;"
        assert env.context.preamble.getvalue() == "outer;"
    assert env.context.preamble.getvalue() == "outer;table;cell;"


def test_rules_after_a_row_follow_its_trailing_space(env):
    with env.longtable(["l"]) as table:
        table.row_tex("a")
        table.hline()
        table.endhead()
    assert table.context.f.getvalue() == "a" + ROW_END + "\\hline\n\\endhead\n"


class CountingContext(LatexContext):
    children = 0

    def child(self):
        CountingContext.children += 1
        return super().child()


def test_unentered_longtable_creates_no_context():
    env = LatexEnvironment(CountingContext())
    CountingContext.children = 0
    manager = env.longtable(["l"])
    assert CountingContext.children == 0
    assert body(env) == ""
    with manager:
        pass
    assert CountingContext.children == 1


def test_longtable_goes_through_tabular():
    class Recording(LatexEnvironment):
        def tabular(self, alignment, env="tabular"):
            return (alignment, env)

    alignment = ["l"]
    assert Recording(LatexContext()).longtable(alignment) == (alignment, "longtable")


def test_dump_on_a_table_built_by_hand():
    table = Tabular(["c", "p{1cm}"], LatexContext(), env="longtable")
    assert vars(table) == {
        "env": "longtable", "ncols": 2, "alignment": ["c", "p{1cm}"], "context": table.context,
    }
    table.context.preamble.write("P")
    table.text("x_1")
    table.row_tex("a")
    main = LatexContext()
    table.dump(main_context=main)
    assert main.preamble.getvalue() == "P"
    assert main.f.getvalue() == (
        "\\begin{longtable}{cp{1cm}}\nx\\_1a" + ROW_END + "\\end{longtable}\n"
    )


def test_row_objects():
    context = LatexContext()
    row = Tabular.Row(2, context)
    assert vars(row) == {"ncols": 2, "col": 0, "cols": [], "context": context}
    assert Tabular.Row.__qualname__ == "Tabular.Row"
    assert Tabular.Row.__bases__ == (object,)


def test_rebound_row_class_is_used(env, monkeypatch):
    class Row(Tabular.Row):
        made = 0

        def __init__(self, ncols, context):
            Row.made += 1
            super().__init__(ncols, context)

    monkeypatch.setattr(Tabular, "Row", Row)
    with env.tabular(["l"]) as table:
        with table.row() as row:
            row.cell_tex("x")
    assert type(row) is Row and Row.made == 1


def test_class_level_descriptor_is_honoured(env, monkeypatch):
    seen = []

    def get(self):
        return self.__dict__["_col"]

    def put(self, value):
        seen.append(value)
        self.__dict__["_col"] = value

    with env.tabular(["l", "l"]) as table:
        with table.row() as row:
            row.cell_tex("a")
        monkeypatch.setattr(Tabular.Row, "col", property(get, put), raising=False)
        with table.row() as row:
            row.cell_tex("b")
            row.cell_tex("c")
        monkeypatch.undo()
        with table.row() as row:
            row.cell_tex("d")
    assert seen == [0, 1, 2]
    assert table.context.f.getvalue() == "a" + ROW_END + "b & c" + ROW_END + "d" + ROW_END


def test_module_layout():
    import pagewright.tabular as module

    public = [name for name in vars(module) if not name.startswith("__")]
    assert public == ["contextmanager", "LatexEnvironment", "Tabular"]
    assert module.LatexEnvironment is pagewright.LatexEnvironment
    assert module.__doc__ is None and not hasattr(module, "__all__")
    assert issubclass(Tabular, LatexEnvironment)
    body_order = class_body(Tabular)
    assert body_order == ["allowed", "envs", "hline", "endhead", "Row", "row", "row_tex", "dump"]
    assert (Tabular.allowed, Tabular.envs) == (["c", "r", "l", "p"], ["tabular", "longtable"])
    rows = class_body(Tabular.Row)
    assert rows == ["cell_tex", "cell", "multicolumn_tex"]


def test_tabular_module_loads_on_first_table():
    script = textwrap.dedent(
        """
        import sys
        import pagewright
        assert 'pagewright.tabular' not in sys.modules
        env = pagewright.LatexEnvironment(pagewright.LatexContext())
        manager = env.tabular(['l'])
        assert 'pagewright.tabular' not in sys.modules
        with manager:
            assert 'pagewright.tabular' in sys.modules
        assert pagewright.tabular.Tabular.__module__ == 'pagewright.tabular'
        """
    )
    subprocess.run([sys.executable, "-c", script], check=True, env=dict(os.environ))


@pytest.mark.skipif(shutil.which("pdflatex") is None, reason="pdflatex not installed")
def test_tables_compile(env, tmp_path):
    with env.tabular(["l", "p{2cm}", "r"]) as table:
        table.hline()
        with table.row() as row:
            row.multicolumn_tex(2, "c", "head")
            with row.cell() as cell:
                cell.text("50 $")
        table.row_tex("1", "2", "3")
        table.hline()
    with env.longtable(["c", "c"]) as table:
        table.row_tex("h1", "h2")
        table.endhead()
        for i in range(3):
            table.row_tex(str(i), str(i * i))
    source = tmp_path / "table.tex"
    source.write_text(
        "\\documentclass{article}\n\\usepackage{longtable}\n\\begin{document}\n"
        + body(env) + "\\end{document}\n"
    )
    result = subprocess.run(
        ["pdflatex", "-interaction=nonstopmode", "-halt-on-error", source.name],
        cwd=tmp_path, capture_output=True, text=True,
    )
    assert result.returncode == 0, result.stdout[-2000:]
    assert (tmp_path / "table.pdf").exists()


@pytest.mark.parametrize("write", [
    lambda table: table.row_tex("a", "b"),
    lambda table: table.row_tex("a", 1),
    lambda table: table.row_tex(),
])
def test_row_tex_reads_the_context_once(env, write):
    class Counted(Tabular):
        reads = 0

        @property
        def context(self):
            Counted.reads += 1
            return self.__dict__["context"]

        @context.setter
        def context(self, value):
            self.__dict__["context"] = value

    table = Counted(["l", "l"], env.context.child())
    table.__dict__["context"].f  # a body that Python has read: not native
    try:
        write(table)
    except TypeError:
        pass
    assert Counted.reads == 1


def cell_preamble(cell):
    cell.context.preamble.write("PRE%\n")


def box_preamble(cell):
    with cell.mbox("1cm", "c") as box:
        box.context.preamble.write("PRE%\n")


@pytest.mark.parametrize("write", [cell_preamble, box_preamble])
def test_preamble_text_written_in_a_cell_reaches_the_document_preamble(write):
    buf = io.StringIO()
    with pagewright.latex_document(buf) as doc, doc.tabular(["l"]) as table:
        with table.row() as row, row.cell() as cell:
            write(cell)
            cell.tex("x")
    preamble, body = buf.getvalue().split("\\begin{document}")
    assert preamble.endswith("PRE%\n") and "PRE" not in body
