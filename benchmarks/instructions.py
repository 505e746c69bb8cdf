"""Instructions per operation, counted with callgrind: repeatable whatever
else the machine is doing, unlike wall-clock timings. Each count includes
the loop around the operation.

Run: .venv/bench/bin/python benchmarks/instructions.py   (needs valgrind;
scripts/bench.sh sets up .venv/bench)
"""

import os
import re
import subprocess
import sys
import tempfile

SETUP = """
import sys
import pagewright
PROSE = %r
def main(rounds):
    env = pagewright.LatexEnvironment(pagewright.LatexContext())
"""

# Each operation as the body of a loop of `rounds` rounds; `table` is an
# open one-column (six-column for row_tex) table.
OPERATIONS = [
    ("with row.cell() as c: c.text(s) in a one-column row", ["l"],
     "with table.row() as row:\n    with row.cell() as c:\n        c.text('a_b')"),
    ("with t.row() as r: r.cell_tex(x)", ["l"],
     "with table.row() as row:\n    row.cell_tex('x')"),
    ("row_tex with six cells", ["l"] * 6,
     "table.row_tex('17', '2024-03-05', 'widget', '4', '12.50', '50.00')"),
    ("text() of 200 characters", ["l"], "env.text(PROSE)"),
]


def program(alignment, body):
    from workloads import PROSE
    loop = "    with env.tabular(%r) as table:\n        for _ in range(rounds):\n" % alignment
    lines = "".join("            " + line + "\n" for line in body.splitlines())
    return SETUP % PROSE + loop + lines + "main(int(sys.argv[1]))\n"


def instructions(source, rounds):
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
             sys.executable, "-c", source, str(rounds)],
            capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def main():
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    low, high = 1_000, 11_000
    for name, alignment, body in OPERATIONS:
        source = program(alignment, body)
        per_round = (instructions(source, high) - instructions(source, low)) / (high - low)
        print("%-55s %7.0f instructions" % (name, per_round))


if __name__ == "__main__":
    main()
