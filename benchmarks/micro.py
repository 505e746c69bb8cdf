"""Costs of single calls on the hot paths, in nanoseconds per operation.

Each case is a function `setup()` returning the callable to time; the table
objects stay open for the whole measurement, so their bodies grow, as in a
long document.
"""

import pagewright

from . import workloads


def _table(ncols):
    env = pagewright.LatexEnvironment(pagewright.LatexContext())
    return env.tabular(['l'] * ncols).__enter__()


def row_cell_tex():
    table = _table(1)

    def op():
        with table.row() as r:
            r.cell_tex('x')
    return op


def row_tex_six():
    table = _table(6)
    return lambda: table.row_tex('17', '2024-03-05', 'widget', '4', '12.50', '50.00')


def row_three_cells():
    table = _table(3)

    def op():
        with table.row() as r:
            r.cell_tex('x')
            r.cell_tex('y')
            r.multicolumn_tex(1, 'c', 'z')
    return op


def row_cell_block():
    table = _table(1)

    def op():
        with table.row() as r:
            with r.cell() as c:
                c.tex('x')
    return op


def escape_plain():
    text = 'Quarterly revenue grew in every region but one. ' * 4
    escape = pagewright.latex_escape
    return lambda: escape(text)


def escape_special():
    text = 'cost_{q3} = $x^2$ \\ total_{all} ' * 4
    escape = pagewright.latex_escape
    return lambda: escape(text)


def _env():
    return pagewright.LatexEnvironment(pagewright.LatexContext())


def env_text():
    env = _env()
    return lambda: env.text('a_b')


def env_text_prose():
    env = _env()
    text = workloads.PROSE
    return lambda: env.text(text)


def env_hspace():
    env = _env()
    return lambda: env.hspace('1em')


def env_hfill():
    env = _env()
    return env.hfill


# name: (setup, operations per timeit loop, target in ns or None)
CASES = {
    'with t.row() as r: r.cell_tex(x)': (row_cell_tex, 200_000, 200),
    'row_tex, six cells': (row_tex_six, 200_000, 120),
    'row + 2 cell_tex + multicolumn_tex': (row_three_cells, 100_000, None),
    'row + one cell block': (row_cell_block, 50_000, None),
    'latex_escape, 200 chars, no specials': (escape_plain, 200_000, None),
    'latex_escape, 128 chars, 40 escapes': (escape_special, 200_000, None),
    "env.text('a_b')": (env_text, 200_000, None),
    'env.text(200 chars of W4 prose)': (env_text_prose, 100_000, None),
    "env.hspace('1em')": (env_hspace, 200_000, None),
    'env.hfill()': (env_hfill, 200_000, None),
}
