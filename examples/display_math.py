"""Recipe: display math.

Mathematics is raw TeX: `tex` writes it unchanged, while `text` would escape
the `$`, `^` and `_` it needs. The amsmath package gives `align`.
"""

import sys

import pagewright
from pagewright import envs


def write(doc: pagewright.LatexDocument) -> None:
    doc.use_package("amsmath")
    doc.tex("\\section*{Display math}\n")
    doc.text("The sum of the first n squares, where n_max = 10:")
    doc.tex("\n\\[ \\sum_{k=1}^{n} k^2 = \\frac{n(n+1)(2n+1)}{6} \\]\n")
    doc.text("An aligned pair of equations, numbered:")
    doc.tex(envs.env("align", "\ne^{i\\pi} + 1 &= 0 \\\\\n"
                              "\\int_0^1 x^2\\,dx &= \\tfrac{1}{3}\n"))
    doc.text("Inline math goes through tex() too: ")
    doc.tex("$a^2 + b^2 = c^2$.\n")


def main(directory: str) -> None:
    tex_file = "%s/display_math.tex" % directory
    with pagewright.latex_document(tex_file) as doc:
        write(doc)
    pagewright.compile_tex(tex_file)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "out")
