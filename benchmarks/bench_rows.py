"""Cost of the table hot paths: one row block with one cell per round.

Run with pytest-benchmark:
    PYTHONPATH=build python3 -m pytest -q benchmarks/bench_rows.py
or directly for a quick timeit summary:
    PYTHONPATH=build python3 benchmarks/bench_rows.py
"""
import timeit

import pagewright


def open_table(ncols=1):
    env = pagewright.LatexEnvironment(pagewright.LatexContext())
    manager = env.tabular(['l'] * ncols)
    return manager, manager.__enter__()


def row_with_cell_tex(table):
    with table.row() as r:
        r.cell_tex('x')


def row_with_three_cells(table):
    with table.row() as r:
        r.cell_tex('x')
        r.cell_tex('y')
        r.multicolumn_tex(1, 'c', 'z')


def row_tex(table):
    table.row_tex('x', 'y', 'z')


def row_with_cell_block(table):
    with table.row() as r:
        with r.cell() as c:
            c.tex('x')


CASES = {
    'row + cell_tex': (row_with_cell_tex, 1),
    'row + 2 cell_tex + multicolumn_tex': (row_with_three_cells, 3),
    'row_tex (3 cells)': (row_tex, 3),
    'row + cell block': (row_with_cell_block, 1),
}


def test_row_cell_tex(benchmark):
    _, table = open_table()
    benchmark(row_with_cell_tex, table)


def test_row_three_cells(benchmark):
    _, table = open_table(3)
    benchmark(row_with_three_cells, table)


def test_row_tex(benchmark):
    _, table = open_table(3)
    benchmark(row_tex, table)


def test_row_cell_block(benchmark):
    _, table = open_table()
    benchmark(row_with_cell_block, table)


def main():
    for name, (round_, ncols) in CASES.items():
        _, table = open_table(ncols)
        number = 100_000
        best = min(timeit.repeat(lambda: round_(table), number=number, repeat=5))
        print(f'{name:40s} {best / number * 1e9:8.0f} ns per round')


if __name__ == '__main__':
    main()
