"""Escape throughput: `latex_escape` and `LatexEnvironment.text` on prose of
400 to 40,000 characters, one-byte and two-byte text, in characters per
microsecond (best of five runs, wall clock).

The chunked escaping against the character loop is two builds of this
checkout, one configured with PW_SCALAR_ESCAPE=ON:

    pip install -C cmake.define.PW_SCALAR_ESCAPE=ON .    (or -DPW_SCALAR_ESCAPE=ON)
    python benchmarks/escape.py
"""

import os
import sys
import timeit

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import pagewright  # noqa: E402
from workloads import PROSE  # noqa: E402

SIZES = [400, 4_000, 40_000]
# The same prose with one character that makes the whole str two bytes wide.
TEXTS = {"one-byte": PROSE, "two-byte": PROSE[:-1] + "\u2014"}


def rate(statement, setup, size):
    """Characters per microsecond, best of five runs of about 0.1 s."""
    number = max(1, 4_000_000 // size)
    times = timeit.repeat(statement, setup, number=number, repeat=5, globals=globals())
    return size * number / min(times) / 1e6


def main():
    print("%-10s %8s %14s %14s" % ("text", "chars", "latex_escape", "text()"))
    for kind, prose in TEXTS.items():
        for size in SIZES:
            text = (prose * (size // len(prose) + 1))[:size]
            escape = rate("latex_escape(text)", "latex_escape = pagewright.latex_escape; text = %r"
                          % text, size)
            write = rate("env.text(text)",
                         "env = pagewright.LatexEnvironment(pagewright.LatexContext()); text = %r"
                         % text, size)
            print("%-10s %8d %9.0f ch/us %9.0f ch/us" % (kind, size, escape, write))


if __name__ == "__main__":
    main()
