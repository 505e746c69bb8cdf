"""Recipe: footnotes.

A footnote is raw TeX: `tex` writes \\footnote{...} right after the word it
belongs to, with no space between them, and plain text inside it goes
through `latex_escape`. LaTeX numbers the notes and sets them at the foot
of the page in a single run.
"""

import sys

import pagewright
from pagewright import latex_escape


def footnote(text: str) -> str:
    return "\\footnote{%s}" % latex_escape(text)


def write(doc: pagewright.LatexDocument) -> None:
    doc.tex("\\section*{Footnotes}\n")
    doc.text("Revenue grew by a tenth")
    doc.tex(footnote("Measured against the same quarter last year, in $."))
    doc.text(" while costs held steady")
    doc.tex(footnote("Costs exclude the one-off move, about $40k."))
    doc.text(".")
    doc.parbreak()
    # A mark in a table or a box, where a plain \footnote is lost: the mark
    # goes in the cell, the text after the table.
    with doc.tabular(["l", "r"]) as table:
        table.row_tex("North\\footnotemark", "1250")
    doc.tex("\\footnotetext{%s}\n" % latex_escape("North includes the islands."))


def main(directory: str) -> None:
    tex_file = "%s/footnotes.tex" % directory
    with pagewright.latex_document(tex_file) as doc:
        write(doc)
    pagewright.compile_tex(tex_file)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "out")
