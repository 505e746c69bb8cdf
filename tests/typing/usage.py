"""Type-checked with `mypy --strict` against the installed stubs: every
construct of the package, with the types its calls give back. The
`type: ignore` lines are misuses the stubs must reject; --strict reports an
ignore that is not needed, so a stub that grew too permissive fails too.

Run as a script it writes and compiles a document in a temporary directory.
"""

import io
import pathlib
import sys
import tempfile
from contextlib import AbstractContextManager

from typing_extensions import assert_type

import pagewright
from pagewright import envs, ifs, utils
from pagewright.compile_latex import clean_temporary_files, compile_tex, run_pdflatex
from pagewright.context import LatexContext, UsePackage, dict_to_latex_option_string
from pagewright.document import LatexDocument
from pagewright.environment import LatexEnvironment, make_options_string
from pagewright.figure import Figure, StructureError, SubFigure
from pagewright.file_utils import make_sure_dir_exists
from pagewright.frags import latex_document, latex_fragment
from pagewright.structures import BadTex
from pagewright.tabular import Tabular


def text_functions() -> list[str]:
    parts = [
        utils.latex_escape("50% of $x_1$"),
        envs.env("center", "x", param="2"),
        envs.minipage("3cm", "x"),
        envs.verbatim("x"),
        envs.enclose("textbf", "x"),
        envs.protect("x"),
        envs.small("x"),
        envs.footnotesize("x"),
        envs.texttt("x"),
        envs.emph("x"),
        envs.verbatim_soft("a_b"),
        envs.color_rgb("x", (0.1, 0.2, 0.3)),
        envs.fbox("x"),
        envs.hspace("1em"),
        ifs.texif("\\foo", "A", "B"),
        ifs.makeupcmd("foo"),
        ifs.safecmd("fig-1.a"),
        make_options_string(width="3cm", keepaspectratio=True, angle=None),
        dict_to_latex_option_string({"margin": "1in"}),
    ]
    stream = io.StringIO()
    with utils.begin_end(stream, "center", "t") as same:
        assert_type(same, io.StringIO)
        same.write("x")
    return parts


def rejected(doc: LatexDocument) -> None:
    """Never called: calls that fail at run time and must fail the type check."""
    envs.latex_escape(3)  # type: ignore[arg-type]
    doc.text(3)  # type: ignore[arg-type]
    doc.tabular("lr")  # type: ignore[arg-type]
    doc.tabular(["l"], env="array")  # type: ignore[arg-type]
    with doc.figure() as fig:
        fig.subfigure(caption=None)  # type: ignore[arg-type]
    pagewright.compile_tex(3)  # type: ignore[arg-type]


def write_body(doc: LatexDocument, png: bytes) -> None:
    doc.fullpage()
    doc.use_package("xcolor")
    doc.use_package("geometry", {"margin": "1in"})
    doc.context.require_package("longtable")
    doc.text("escaped_text ")
    doc.tex("$x$\n")
    doc.color(0.5, 0.5, 0.5)
    doc.color("0.1", "0.2", "0.3")
    doc.hfill()
    doc.vfill()
    doc.hspace("1em")
    doc.vspace("1em")
    doc.parbreak()
    doc.linebreak()
    doc.medskip()
    doc.footnotesize()
    doc.rule("1cm", "1pt", color="black")
    doc.input("chapter")
    doc.lstlisting("print(1)\n", language="Python")
    doc.tabular_simple([[1, 2], [3, 4]], ["a", "b"], ["x", "y"], write_col_desc=False)
    name: str = doc.save_graphics_data(png, pagewright.MIME_PNG, "raw")
    doc.graphics_data(png, pagewright.MIME_PNG, width="3cm", keepaspectratio=True)
    doc.graphics_data(name, pagewright.MIME_PLAIN, gid="notes")
    doc.textattachfile("data.csv", "a,b\n", "data")
    ifs.makecmd(doc, "fig-1")

    with doc.figure(caption="Images", label="fig:i", placement="h", double=False) as fig:
        assert_type(fig, Figure)
        with fig.subfigure(caption="One", label="fig:one") as sub:
            assert_type(sub, SubFigure)
            sub.graphics_data(png, pagewright.MIME_PNG)
        try:
            fig.figure()
        except StructureError:
            pass
    with doc.tabular(["l", "r"]) as table:
        assert_type(table, Tabular)
        table.hline()
        table.row_tex("a", "1")
        with table.row() as row:
            assert_type(row, Tabular.Row)
            row.cell_tex("b")
            with row.cell() as cell:
                assert_type(cell, LatexEnvironment)
                cell.text("2")
        table.hline()
    long: AbstractContextManager[Tabular] = doc.longtable(["r", "p{5cm}"])
    with long as rows:
        rows.row_tex("1", "one")
        rows.endhead()
        with rows.row() as row:
            row.multicolumn_tex(2, "l", "both")
    with doc.minipage("0.5\\textwidth", "t", fbox=True) as box:
        box.text("framed")
    with doc.minipage_bottom("3cm") as box:
        box.text("bottom")
    with doc.fbox("2pt") as box:
        box.text("fbox")
    with doc.tightbox() as box:
        box.text("tight")
    with doc.resizebox("0.5\\linewidth") as box:
        box.text("scaled")
    with doc.mbox("3cm", "l") as box:
        box.text("mbox")


def by_hand() -> str:
    root = LatexContext(graphics_path=".")
    child: LatexContext = root.child()
    file_id: str = child.generate_file_id()
    root.use_package("caption")
    package: UsePackage = root.packages["caption"]
    buffer = io.StringIO()
    package.dump_preamble(buffer)
    root.dump_preamble(buffer)
    figure = Figure("caption", "fig:x", "t", root.child(), False)
    figure.dump(root)
    SubFigure("sub", None, root.child()).dump(root)
    table = Tabular(["l"], root.child())
    table.row_tex("x")
    table.dump(root)
    Tabular.Row(1, root).cell_tex()
    document = LatexDocument("article", "11pt", ".")
    document.dump_stream(buffer)
    return file_id + root.f.getvalue() + buffer.getvalue() + root.preamble.getvalue()


def main(directory: pathlib.Path) -> None:
    png = b"\x89PNG\r\n\x1a\n"
    version: str = pagewright.__version__ + pagewright.__date__
    make_sure_dir_exists(directory / "out")
    with latex_document(directory / "out" / "doc.tex", graphics_path=str(directory / "out")) as doc:
        assert_type(doc, LatexDocument)
        doc.text(version)
        doc.text(" ".join(text_functions()))
    with latex_fragment(io.StringIO()) as frag:
        assert_type(frag, LatexEnvironment)
        frag.tex(by_hand())
    with pagewright.latex_document(io.StringIO(), str(directory), "report", "a4paper") as report:
        write_body(report, png)
    try:
        compile_tex(directory / "out" / "doc.tex", cwd=None)
    except BadTex as error:
        print(error, getattr(error, "__notes__", []))
        raise
    run_pdflatex("doc", str(directory / "out"))
    clean_temporary_files(str(directory / "out" / "doc"))


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as temporary:
        main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else temporary))
