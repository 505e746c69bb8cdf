"""Recipe: a matplotlib figure saved from memory.

The plot is rendered into a bytes buffer, never to a file of your own;
`graphics_data` writes it into the document's graphics directory under a
generated name and writes the `\\includegraphics` line. Needs matplotlib
(installed in the examples' environment, not a dependency of pagewright).
"""

import io
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

import pagewright  # noqa: E402
from pagewright import compile_latex  # noqa: E402


def plot_png() -> bytes:
    figure, axes = plt.subplots(figsize=(4, 2.5), dpi=150)
    weeks = list(range(1, 13))
    axes.plot(weeks, [40 + 3 * w % 17 for w in weeks], marker="o")
    axes.set_xlabel("week")
    axes.set_ylabel("orders")
    figure.tight_layout()
    buffer = io.BytesIO()
    figure.savefig(buffer, format="png")
    plt.close(figure)
    return buffer.getvalue()


def main(directory: str) -> None:
    tex_file = "%s/matplotlib_figure.tex" % directory
    with pagewright.latex_document(tex_file) as doc:
        with doc.figure(caption="Orders per week", label="fig:orders") as fig:
            fig.graphics_data(plot_png(), pagewright.MIME_PNG, width="0.7\\linewidth")
        doc.text("Figure ")
        doc.tex("\\ref{fig:orders} was drawn by matplotlib in memory.\n")
    # \ref prints the figure's number from the second run on.
    compile_latex.run_pdflatex("matplotlib_figure", os.path.dirname(tex_file))
    pagewright.compile_tex(tex_file)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "out")
