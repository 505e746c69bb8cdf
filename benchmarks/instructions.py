"""Instructions per operation and per workload unit, counted with callgrind:
repeatable whatever else the machine is doing, unlike wall-clock timings.

Beside each block operation stands its floor: the same loop over objects
of floor.cpp, which do no work but are made, entered and freed as the
library's are, so what remains is the library's own work.

Each operation runs in a loop inside a function, as the workloads run them;
its count is the difference between two loop lengths, so it includes the
loop and nothing else. A workload's count per unit (a section of W1, a row
of W2, ...) is the difference between two sizes of its timed region: both
runs make and keep the same inputs, so that only the timed region differs
(not, say, the collection of the inputs at exit).

Run: PYTHON benchmarks/instructions.py [--json FILE]   (needs valgrind; PYTHON
is an interpreter that has pagewright, such as .venv/3.11/bin/python)
"""

import json
import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

OPERATION = """
import sys
import pagewright
PROSE = %(prose)r
def main(rounds):
    env = pagewright.LatexEnvironment(pagewright.LatexContext())
    with env.tabular(%(alignment)r) as table:
        for _ in range(rounds):
%(body)s
main(int(sys.argv[1]))
"""

FLOOR = """
import sys
sys.path.insert(0, %(where)r)
import floor
def main(rounds):
    table = floor.table()
    if True:
        for _ in range(rounds):
%(body)s
main(int(sys.argv[1]))
"""

# Each operation as the body of a loop; `table` is an open table of the
# alignment given, `env` an environment.
OPERATIONS = [
    ("with t.row() as r: r.cell_tex(x)", ["l"],
     "with table.row() as row:\n    row.cell_tex('x')"),
    ("with r.cell() as c: c.text(s) in a one-column row", ["l"],
     "with table.row() as row:\n    with row.cell() as c:\n        c.text('a_b')"),
    ("a row of four cell blocks", ["l", "l", "r", "l"],
     "with table.row() as row:\n"
     "    for x in ('row 1', 'name_1', '$3', 'ok {1}'):\n"
     "        with row.cell() as cell:\n"
     "            cell.text(x)"),
    ("row_tex with six cells", ["l"] * 6,
     "table.row_tex('17', '2024-03-05', 'widget', '4', '12.50', '50.00')"),
    ("text() of 200 characters", ["l"], "env.text(PROSE)"),
]

WORKLOAD = """
import sys
sys.path.insert(0, %(here)r)
import workloads
size = int(sys.argv[1])
data = workloads.PREPARE[%(name)r](%(most)d)
workloads.WORKLOADS[%(name)r](data[:size])
"""

# (workload, its unit, the two sizes counted)
WORKLOADS = [
    ("W1", "section", 10, 20),
    ("W2", "row", 2_000, 4_000),
    ("W4", "string", 2_000, 4_000),
    ("W5", "figure", 300, 600),
    ("W6", "document", 300, 600),
]


def instructions(source, argument):
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        # A fixed hash seed: dict lookups cost what their collisions cost.
        result = subprocess.run(
            ["valgrind", "--tool=callgrind", "--callgrind-out-file=" + out,
             sys.executable, "-c", source, str(argument)],
            capture_output=True, text=True, check=True,
            env=dict(os.environ, PYTHONHASHSEED="0"))
    return int(re.search(r"Collected : (\d+)", result.stderr).group(1))


def per_unit(source, low, high):
    return (instructions(source, high) - instructions(source, low)) / (high - low)


def indent(body):
    return "".join("            " + line + "\n" for line in body.splitlines())


def build_floor(directory):
    """floor.cpp built for this interpreter into `directory`."""
    import sysconfig
    target = os.path.join(directory, "floor" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(["g++", "-O2", "-shared", "-fPIC", "-I" + sysconfig.get_paths()["include"],
                    os.path.join(HERE, "floor.cpp"), "-o", target], check=True)


def main():
    sys.path.insert(0, HERE)
    from workloads import PROSE
    results = {}
    with tempfile.TemporaryDirectory() as where:
        build_floor(where)
        for name, alignment, body in OPERATIONS:
            source = OPERATION % {"prose": PROSE, "alignment": alignment, "body": indent(body)}
            results[name] = per_unit(source, 1_000, 11_000)
            line = "%-55s %7.0f instructions" % (name, results[name])
            if "with" in body:
                floor = per_unit(FLOOR % {"where": where, "body": indent(body)}, 1_000, 11_000)
                results[name + " (floor)"] = floor
                line += "  (floor %.0f, library %.0f)" % (floor, results[name] - floor)
            print(line, flush=True)
    # Compiled once beforehand, so that both sizes import the workloads alike.
    subprocess.run([sys.executable, "-c", "import workloads"], cwd=HERE, check=True)
    for name, unit, low, high in WORKLOADS:
        source = WORKLOAD % {"here": HERE, "name": name, "most": high}
        label = "%s per %s (timed region)" % (name, unit)
        results[label] = per_unit(source, low, high)
        print("%-55s %7.0f instructions" % (label, results[label]), flush=True)
    if "--json" in sys.argv:
        with open(sys.argv[sys.argv.index("--json") + 1], "w") as f:
            json.dump({"python": sys.version.split()[0], "instructions": results}, f, indent=1)


if __name__ == "__main__":
    main()
