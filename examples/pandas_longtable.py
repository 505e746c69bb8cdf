"""Recipe: a pandas DataFrame as a longtable that breaks across pages.

Column alignments follow the dtypes (numbers right, text left); the header
row repeats on every page after `endhead`. Cell texts go out unescaped, so
text columns are passed through `latex_escape`. Needs pandas (installed in
the examples' environment, not a dependency of pagewright).
"""

import sys

import pandas as pd

import pagewright
from pagewright import latex_escape


def sample() -> pd.DataFrame:
    return pd.DataFrame({
        "order": range(1, 121),
        "customer": ["client_%d" % (n % 7) for n in range(120)],
        "amount": [round(10.5 + n * 3.25 % 97, 2) for n in range(120)],
    })


def write_frame(doc: pagewright.LatexDocument, frame: pd.DataFrame) -> None:
    doc.use_package("longtable")
    alignment = ["r" if pd.api.types.is_numeric_dtype(dtype) else "l" for dtype in frame.dtypes]
    with doc.longtable(alignment) as table:
        table.hline()
        table.row_tex(*(latex_escape(str(name)) for name in frame.columns))
        table.hline()
        table.endhead()
        for row in frame.itertuples(index=False):
            table.row_tex(*(latex_escape(str(value)) for value in row))
        table.hline()


def main(directory: str) -> None:
    tex_file = "%s/pandas_longtable.tex" % directory
    with pagewright.latex_document(tex_file) as doc:
        doc.tex("\\section*{Orders}\n")
        write_frame(doc, sample())
    pagewright.compile_tex(tex_file)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "out")
