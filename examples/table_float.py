"""Recipe: a table float with a caption, centred.

`figure` writes a figure float; a table float is LaTeX's `table`
environment around a `tabular`, written with `tex` before and after the
table's block. \\centering centres everything after it up to the end of
the float, and \\caption inside a `table` is numbered as a table. Captions
are raw TeX: plain text in them goes through `latex_escape`. \\label comes
after \\caption, so that \\ref prints the table's number (resolved by a
second run, as in cross_references.py).
"""

import os
import sys

import pagewright
from pagewright import compile_latex, latex_escape

SALES = [("North", 1250, 18_400.5), ("South", 980, 12_210.0), ("East {with the islands}", 1430, 21_045.75)]


def write(doc: pagewright.LatexDocument) -> None:
    doc.tex("\\begin{table}[t]\n\\centering\n")
    with doc.tabular(["l", "r", "r"]) as table:
        table.hline()
        table.row_tex("Region", "Units", "Revenue")
        table.hline()
        for region, units, revenue in SALES:
            table.row_tex(latex_escape(region), str(units), "%.2f" % revenue)
        table.hline()
    doc.tex("\\caption{%s}\\label{tab:sales}\n\\end{table}\n"
            % latex_escape("Sales by region, in $"))
    doc.tex("Table~\\ref{tab:sales} lists the sales by region.\n")


def main(directory: str) -> None:
    tex_file = "%s/table_float.tex" % directory
    with pagewright.latex_document(tex_file) as doc:
        write(doc)
    compile_latex.run_pdflatex("table_float", os.path.dirname(tex_file))
    pagewright.compile_tex(tex_file)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "out")
