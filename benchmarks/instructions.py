"""Instructions per row-and-cell round, counted with callgrind: repeatable
whatever else the machine is doing, unlike wall-clock timings.

Run: .venv/bench/bin/python benchmarks/instructions.py   (needs valgrind;
scripts/bench.sh sets up .venv/bench)
"""

import os
import re
import subprocess
import sys
import tempfile

ROUND = """
import sys
import pagewright
env = pagewright.LatexEnvironment(pagewright.LatexContext())
with env.tabular(["l", "r", "r"]) as table:
    for _ in range(int(sys.argv[1])):
        with table.row() as row:
            row.cell_tex("x")
"""


def instructions(rounds):
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
             os.path.realpath(sys.executable), "-c", ROUND, str(rounds)],
            capture_output=True, text=True, check=True)
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def main():
    low, high = 1_000, 11_000
    per_round = (instructions(high) - instructions(low)) / (high - low)
    print("row + cell_tex: %.0f instructions per round" % per_round)


if __name__ == "__main__":
    main()
