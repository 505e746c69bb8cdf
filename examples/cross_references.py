"""Recipe: labels and references to sections, equations, figures and pages.

\\label marks a place; \\ref prints its number, \\eqref the number of an
equation in parentheses (from amsmath) and \\pageref its page. A figure's
`label` argument writes its \\label for you. LaTeX learns the numbers in
one run and prints them in the next, through the .aux file, which
`compile_tex` removes after its run: so a first run with `run_pdflatex`
writes the .aux, and `compile_tex` then runs again, reads it, and cleans
up. Without the first run every reference prints as "??".
"""

import os
import sys

import pagewright
from pagewright import compile_latex, envs


def write(doc: pagewright.LatexDocument) -> None:
    doc.use_package("amsmath")
    doc.tex("\\section{Growth}\\label{sec:growth}\n")
    doc.text("Revenue follows a compound rate:")
    doc.tex(envs.env("equation", "\n\\label{eq:growth} R_n = R_0 (1 + g)^n\n"))
    with doc.figure(caption="Revenue by quarter", label="fig:revenue") as fig:
        fig.tex("\\centering\\fbox{chart}\n")
    doc.tex("\\section{Outlook}\n")
    doc.tex("Section~\\ref{sec:growth} gives the rate in equation~\\eqref{eq:growth}, "
            "plotted in figure~\\ref{fig:revenue} on page~\\pageref{fig:revenue}.\n")


def main(directory: str) -> None:
    tex_file = "%s/cross_references.tex" % directory
    with pagewright.latex_document(tex_file) as doc:
        write(doc)
    # The same run as compile_tex's: the base name, in the file's directory.
    compile_latex.run_pdflatex("cross_references", os.path.dirname(tex_file))
    pagewright.compile_tex(tex_file)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "out")
