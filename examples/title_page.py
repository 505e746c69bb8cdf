"""Recipe: a title, the authors and a date, set by \\maketitle.

pagewright has no title writer: \\title, \\author and \\date are raw TeX
written with `tex`, before \\maketitle typesets them. Plain text inside
them goes through `latex_escape`; \\and separates authors, \\thanks adds a
footnote to one. An empty \\date{} leaves the date out, and \\today is the
day of the run.
"""

import sys

import pagewright
from pagewright import latex_escape


def write(doc: pagewright.LatexDocument) -> None:
    title = latex_escape("Quarterly report: costs under $3,000")
    doc.tex("\\title{%s}\n" % title)
    doc.tex("\\author{Ada Lovelace\\thanks{Sales office, Leeds.} \\and Charles Babbage}\n")
    doc.tex("\\date{\\today}\n")
    doc.tex("\\maketitle\n")
    doc.tex(pagewright.env("abstract", "\nSales grew by a tenth; costs held steady.\n"))
    doc.text("The body begins after the title block.")


def main(directory: str) -> None:
    tex_file = "%s/title_page.tex" % directory
    with pagewright.latex_document(tex_file) as doc:
        write(doc)
    pagewright.compile_tex(tex_file)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "out")
