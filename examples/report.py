"""The example report: writes out/report.tex with pagewright and builds
out/report.pdf with `build_pdf`, which runs pdflatex until the table of
contents and the cross-references have settled.

It shows a table of contents, numbered sections with references to them,
escaped text, a figure with two sub-figures holding PNG images that
the script draws itself, a table written row by row and cell by cell, a long
table, a simple fixed-layout table, a code listing, boxes and an attached CSV
file.
"""

import inspect
import pathlib
import struct
import sys
import zlib
from typing import Callable

import pagewright
from pagewright.build import build_pdf

SALES = [
    ("North", 1250, 18_400.5),
    ("South", 980, 12_210.0),
    ("East", 1430, 21_045.75),
    ("West", 615, 8_990.25),
]


Pixel = tuple[int, int, int]


def png(width: int, height: int, pixel: Callable[[int, int], Pixel]) -> bytes:
    """Encodes an RGB image as PNG; pixel(x, y) gives the (r, g, b) bytes."""

    def chunk(tag: bytes, data: bytes) -> bytes:
        crc = zlib.crc32(tag + data) & 0xFFFFFFFF
        return struct.pack(">I", len(data)) + tag + data + struct.pack(">I", crc)

    rows = b"".join(
        b"\x00" + bytes(c for x in range(width) for c in pixel(x, y)) for y in range(height))
    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(rows, 9)) + chunk(b"IEND", b""))


def gradient(x: int, y: int) -> Pixel:
    return (x * 4 % 256, y * 4 % 256, 160)


def bars(x: int, y: int) -> Pixel:
    height = [40, 28, 52, 18][min(x // 16, 3)]
    return (40, 90, 200) if 64 - y <= height and x % 16 < 12 else (250, 250, 250)


def write_title(doc: pagewright.LatexDocument) -> None:
    doc.tex("\\title{Quarterly sales report}\n\\author{pagewright example}\n"
            "\\date{}\n\\maketitle\n\\tableofcontents\n")
    doc.text("Sales in the north_east region grew by a tenth this quarter; "
             "costs stayed under $3,000 per week. ")
    doc.text("Paths such as C:\\data\\q3 and braces {like these} are escaped. ")
    doc.tex("Figure~\\ref{fig:images} shows two images drawn by the script; "
            "section~\\ref{sec:regions} has the sales by region and "
            "section~\\ref{sec:log} the weekly log, from page~\\pageref{sec:log}.\n")
    doc.parbreak()


def write_figure(doc: pagewright.LatexDocument) -> None:
    images = [("Colour gradient", "fig:gradient", png(64, 64, gradient)),
              ("Units per region", "fig:bars", png(64, 64, bars))]
    with doc.figure(caption="Two images drawn by the script", label="fig:images") as fig:
        for caption, label, data in images:
            with fig.subfigure(caption=caption, label=label) as sub:
                with sub.minipage("0.4\\textwidth") as box:
                    box.graphics_data(data, pagewright.MIME_PNG, width="\\linewidth")
            fig.hfill()


def write_sales_table(doc: pagewright.LatexDocument) -> None:
    doc.tex("\\section{Sales by region}\\label{sec:regions}\n")
    with doc.tabular(["l", "r", "r"]) as table:
        table.hline()
        table.row_tex("Region", "Units", "Revenue")
        table.hline()
        for region, units, revenue in SALES:
            with table.row() as row:
                row.cell_tex(region)
                with row.cell() as cell:
                    cell.text(str(units))
                row.cell_tex("%.2f" % revenue)
        with table.row() as row:
            row.multicolumn_tex(2, "l", "Total revenue")
            row.cell_tex("%.2f" % sum(revenue for _, _, revenue in SALES))
        table.hline()
    doc.parbreak()


def write_weekly_log(doc: pagewright.LatexDocument) -> None:
    doc.tex("\\section{Weekly log}\\label{sec:log}\n")
    with doc.longtable(["r", "p{10cm}"]) as log:
        log.hline()
        log.row_tex("Week", "Note")
        log.hline()
        log.endhead()
        for week in range(1, 53):
            log.row_tex(str(week), "Week %d: %d orders shipped" % (week, 40 + week * 3 % 17))
        log.hline()


def write_quarter_grid(doc: pagewright.LatexDocument) -> None:
    doc.tex("\\section{Units per quarter}\n")
    quarters = ["Q1", "Q2", "Q3", "Q4"]
    data = [[units // 4 + q * 10 for q in range(4)] for _, units, _ in SALES]
    doc.tabular_simple(data, [region for region, _, _ in SALES], quarters)
    doc.parbreak()


def write_listing(doc: pagewright.LatexDocument) -> None:
    doc.tex("\\section{The image encoder}\n")
    # A small typewriter face, and long lines broken at the margin instead
    # of running past it.
    doc.tex("\\lstset{basicstyle=\\ttfamily\\small, columns=fullflexible, keepspaces=true,\n"
            "  breaklines=true, postbreak=\\mbox{$\\hookrightarrow$\\space}}\n")
    doc.lstlisting(inspect.getsource(png), "Python")


def write_boxes(doc: pagewright.LatexDocument) -> None:
    doc.tex("\\section{Notes}\n")
    with doc.minipage("0.8\\textwidth", "t", fbox=True) as note:
        note.text("A framed minipage: figures are provisional until the audit closes.")
    doc.parbreak()
    doc.medskip()
    with doc.fbox() as framed:
        framed.tex("Framed box")
    doc.hspace("1em")
    with doc.resizebox("0.5\\linewidth") as scaled:
        scaled.text("This line is scaled to half the line width.")
    doc.parbreak()
    doc.rule("\\linewidth", "0.4pt")
    doc.parbreak()


def write_attachment(doc: pagewright.LatexDocument) -> None:
    rows = ["region,units,revenue"] + ["%s,%d,%.2f" % row for row in SALES]
    doc.text("The raw figures are attached: ")
    doc.textattachfile("sales.csv", "\n".join(rows) + "\n", "sales.csv")
    doc.parbreak()


def write_report(directory_name: str) -> pathlib.Path:
    directory = pathlib.Path(directory_name)
    tex_file = directory / "report.tex"
    # An absolute graphics directory: the engine runs inside `directory`,
    # and the attachment's path must resolve from there.
    with pagewright.latex_document(tex_file, graphics_path=str(directory.resolve())) as doc:
        doc.fullpage()
        for package in ("xcolor", "longtable", "attachfile"):
            doc.use_package(package)
        write_title(doc)
        write_figure(doc)
        write_sales_table(doc)
        write_quarter_grid(doc)
        write_boxes(doc)
        write_attachment(doc)
        write_listing(doc)
        write_weekly_log(doc)
    return tex_file


def main(argv: list[str]) -> None:
    directory = argv[1] if len(argv) > 1 else "out"
    tex_file = write_report(directory)
    result = build_pdf(tex_file)
    print("wrote %s (%d pdflatex runs)" % (result.pdf, result.passes))


if __name__ == "__main__":
    main(sys.argv)
