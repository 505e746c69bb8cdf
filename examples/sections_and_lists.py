"""Recipe: sections, itemize and enumerate lists.

pagewright has no section or list writer of its own: `tex` writes
\\section and \\subsection, and a list is a LaTeX environment, so `envs.env`
builds it as a string and `tex` writes it; item texts go through
`latex_escape` when they are plain text.
"""

import sys

import pagewright
from pagewright import envs, latex_escape


def items(texts: list[str]) -> str:
    return "".join("\\item %s\n" % latex_escape(text) for text in texts)


def write(doc: pagewright.LatexDocument) -> None:
    doc.tex("\\section{Shopping}\n")
    doc.text("Plain text is escaped: 5_000 items cost $12. ")
    doc.parbreak()
    doc.tex(envs.env("itemize", "\n" + items(["apples", "pears_2kg", "oranges at $2 {each}"])))
    doc.tex("\\subsection{Steps}\n")
    doc.tex(envs.env("enumerate", "\n" + items(["wash", "peel", "eat"])))
    doc.tex("\\subsection*{An unnumbered section}\n")
    doc.text("Nested lists are environments inside items.")


def main(directory: str) -> None:
    tex_file = "%s/sections_and_lists.tex" % directory
    with pagewright.latex_document(tex_file) as doc:
        write(doc)
    pagewright.compile_tex(tex_file)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "out")
