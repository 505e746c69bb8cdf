import shutil
import subprocess

import pytest

import pagewright
from pagewright.context import LatexContext
from pagewright.environment import LatexEnvironment

EXAMPLE_HEADER = (
    " & \\makebox[1cm]{x} & \\makebox[1cm]{y} \\tabularnewline\n"
    "\\hline\n"
    "\\hline\n"
)
EXAMPLE_ROWS = (
    "\\makebox[5cm][r]{a} & \\makebox[1cm]{1} & \\makebox[1cm]{2} \\tabularnewline\n"
    "\\hline\n"
    "\\makebox[5cm][r]{b} & \\makebox[1cm]{3} & \\makebox[1cm]{4} \\tabularnewline\n"
    "\\hline\n"
)


@pytest.fixture
def env():
    return LatexEnvironment(LatexContext("."))


def body(env):
    return env.context.f.getvalue()


@pytest.mark.parametrize("header_flag, header", [
    ({}, EXAMPLE_HEADER),
    ({"write_col_desc": True}, EXAMPLE_HEADER),
    ({"write_col_desc": False}, ""),
    ({"write_col_desc": 0}, ""),
    ({"write_col_desc": "yes"}, EXAMPLE_HEADER),
])
def test_tabular_simple_example(env, header_flag, header):
    assert env.tabular_simple([[1, 2], [3, 4]], ["a", "b"], ["x", "y"], **header_flag) is None
    assert body(env) == (
        "\\begin{tabular}{|l||r|r|}\n\\hline\n" + header + EXAMPLE_ROWS + "\\end{tabular}\n")


def test_no_columns_gives_bare_header(env):
    env.tabular_simple([[]], ["a"], [])
    assert body(env) == (
        "\\begin{tabular}{|l||}\n\\hline\n"
        " \\tabularnewline\n\\hline\n\\hline\n"
        "\\makebox[5cm][r]{a} \\tabularnewline\n\\hline\n"
        "\\end{tabular}\n")


def test_rows_follow_row_labels_not_data(env):
    env.tabular_simple([[1], [2], [3]], [], ["x"], write_col_desc=False)
    assert body(env) == "\\begin{tabular}{|l||r|}\n\\hline\n\\end{tabular}\n"


def test_ragged_rows_keep_their_own_values(env):
    env.tabular_simple([[1, 2, 3], []], iter(["a", "b"]), ["x", "y"], write_col_desc=False)
    assert body(env).splitlines()[2:5] == [
        "\\makebox[5cm][r]{a} & \\makebox[1cm]{1} & \\makebox[1cm]{2} & \\makebox[1cm]{3}"
        " \\tabularnewline",
        "\\hline",
        "\\makebox[5cm][r]{b} \\tabularnewline",
    ]


def test_data_is_indexed_by_row_position(env):
    env.tabular_simple({0: ("p",), 1: ("q",)}, ["a", "b"], [], write_col_desc=False)
    assert "{a} & \\makebox[1cm]{p} " in body(env)
    assert "{b} & \\makebox[1cm]{q} " in body(env)


def test_cells_are_not_escaped_and_one_tuples_spread(env):
    env.tabular_simple([["50%", ("x_1",)]], ["a & b"], ["#_"])
    text = body(env)
    assert "\\makebox[1cm]{#_}" in text
    assert "\\makebox[5cm][r]{a & b} & \\makebox[1cm]{50%} & \\makebox[1cm]{x_1} " in text


def test_column_labels_without_length_write_nothing(env):
    with pytest.raises(TypeError):
        env.tabular_simple([[1]], ["a"], iter(["x"]))
    assert body(env) == ""


def test_short_data_keeps_written_rows(env):
    with pytest.raises(IndexError):
        env.tabular_simple([[1]], ["a", "b"], ["x"])
    text = body(env)
    assert text.endswith("\\makebox[5cm][r]{a} & \\makebox[1cm]{1} \\tabularnewline\n\\hline\n")
    assert "{b}" not in text and "\\end{tabular}" not in text


def test_unformattable_cell_drops_its_row(env):
    with pytest.raises(TypeError):
        env.tabular_simple([[(1, 2)]], ["a"], ["x"], write_col_desc=False)
    assert body(env) == "\\begin{tabular}{|l||r|}\n\\hline\n"


@pytest.mark.parametrize("args, opening", [
    (("x = 1\n",), "\\begin{lstlisting}[]\n"),
    (("x = 1\n", None), "\\begin{lstlisting}[]\n"),
    (("int x;\n", "TeX"), "\\begin{lstlisting}[language=TeX]\n"),
    (("x", ""), "\\begin{lstlisting}[language=]\n"),
    (("x", ("C",)), "\\begin{lstlisting}[language=C]\n"),
])
def test_lstlisting_forms(env, args, opening):
    assert env.lstlisting(*args) is None
    assert body(env) == opening + args[0] + "\\end{lstlisting}%\n"
    package = env.context.packages["listings"]
    assert package.options == {}


def test_lstlisting_code_is_written_unchanged(env):
    env.lstlisting(code="a_b % & \\x")
    assert body(env) == "\\begin{lstlisting}[]\na_b % & \\x\\end{lstlisting}%\n"


def test_lstlisting_requests_through_own_method(env):
    class Recording(LatexEnvironment):
        def use_package(self, name, options=None):
            self.requested = (name, options)

    recording = Recording(env.context)
    recording.lstlisting("x\n")
    assert recording.requested == ("listings", None)
    assert "listings" not in env.context.packages


def test_lstlisting_bad_language_requests_and_writes_nothing(env):
    with pytest.raises(TypeError):
        env.lstlisting("x", ("a", "b"))
    assert body(env) == ""
    assert "listings" not in env.context.packages


@pytest.mark.skipif(not (shutil.which("pdflatex") and shutil.which("pdftotext")),
                    reason="pdflatex and pdftotext are needed")
def test_lstlisting_shows_every_line_of_code(tmp_path):
    with pagewright.latex_document(str(tmp_path / "listing.tex")) as doc:
        doc.lstlisting("FIRSTLINE = 1\nSECONDLINE = 2\n")
    pagewright.compile_tex(str(tmp_path / "listing.tex"))
    text = subprocess.run(["pdftotext", str(tmp_path / "listing.pdf"), "-"],
                          capture_output=True, text=True, check=True).stdout
    assert "FIRSTLINE = 1" in text and "SECONDLINE = 2" in text
