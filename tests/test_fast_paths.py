"""The native fast paths change nothing that a program can observe.

Random programs over the whole API (random_programs.py) run twice in child processes
(random_programs.py as a script): once as they normally run and once with
PAGEWRIGHT_NO_FAST_PATHS=1, which turns every fast path off. Both runs must report the
same listing (every step, exception with its message, callback and call into Python),
the same looks, the same vars() of every object and the same files; and neither may
break the oracles of the hostile programs (no SystemError, buffers of str, whole
documents).

PW_FAST_PATH_EXAMPLES sets the number of programs (default 600); PW_FAST_PATH_SEED fixes
hypothesis's seed to repeat a run; PW_FAST_PATH_SHRINK=1 shrinks a failing batch to a
minimal program (two child processes per step: minutes). Without it a failure shows the
first program that differs, as run without the fast paths, with the difference.
"""

import difflib
import hashlib
import json
import os
import subprocess
import sys
import tempfile

import pytest
from hypothesis import HealthCheck, Phase, Verbosity, given, seed, settings
from hypothesis import strategies as st

from random_programs import END, programs

SWITCH = "PAGEWRIGHT_NO_FAST_PATHS"
CHILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "random_programs.py")
BATCH = 20
TOTAL = int(os.environ.get("PW_FAST_PATH_EXAMPLES", "600"))


class Child:
    """One child process that runs batches of programs in one mode."""

    def __init__(self, mode, directory):
        env = dict(os.environ, PYTHONHASHSEED="0")
        env.pop(SWITCH, None)
        if mode == "slow":
            env[SWITCH] = "1"
        self.mode = mode
        self.errors = open(os.path.join(directory, mode + ".log"), "w+")
        # a one-character name that no program writes: where a program cuts a path short,
        # the child can still make the two modes' paths equal
        workdir = os.path.join(directory, "\u00aa" if mode == "fast" else "\u00ba")
        self.process = subprocess.Popen(
            [sys.executable, CHILD, workdir], env=env,
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors, text=True)
        switch = self.process.stdout.readline()
        assert switch == ('"1"\n' if mode == "slow" else "null\n"), (mode, switch)

    def send(self, batch):
        try:
            self.process.stdin.write(json.dumps(batch) + "\n")
            self.process.stdin.flush()
        except BrokenPipeError:
            pass  # the child has died: receive() reports it

    def receive(self, batch):
        line = self.process.stdout.readline()
        if line:
            return json.loads(line)
        self.process.wait()
        self.errors.seek(0)
        errors = self.errors.read()
        last = [line for line in errors.splitlines() if line.startswith("batch ")][-1:]
        number = int(last[0].split()[-1]) if last else 0
        pytest.fail("the %s child failed (exit status %d) in program %d:\n%s\n%s" % (
            self.mode, self.process.returncode, number, batch[number], errors[-6000:]))

    def close(self):
        try:
            self.process.communicate(timeout=60)  # also drains an answer nobody waited for
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.process.kill()
            self.process.wait()
        self.errors.close()


def cut(line):
    return line if len(line) < 400 else line[:200] + " ... " + line[-150:]


def explain(number, fast, slow):
    """The program as it ran without the fast paths, and where the two runs part, with
    long lines cut around the change."""
    shown = [cut(line) for line in difflib.unified_diff(
        slow, fast, "without fast paths", "with fast paths", lineterm="", n=1)]
    for without, with_ in zip(slow, fast):
        if without != with_:
            at = next((i for i, (x, y) in enumerate(zip(without, with_)) if x != y),
                      min(len(without), len(with_)))
            shown.append("first difference, at character %d of the line:" % at)
            shown.append("  without: ...%s..." % without[max(0, at - 200):at + 200])
            shown.append("  with:    ...%s..." % with_[max(0, at - 200):at + 200])
            break
    listing = [cut(line) for line in slow[:slow.index(END)]]
    return "program %d behaves differently with fast paths:\n%s\n%s" % (
        number, "\n".join(listing[:200]), "\n".join(shown[:80]))


@pytest.mark.filterwarnings("ignore:Generating overly large repr")  # of a failing batch
def test_fast_paths_change_nothing(record_property):
    counted = []
    digest = hashlib.sha1()  # of the programs: a run repeated with its seed shows the same
    phases = [Phase.generate] + ([Phase.shrink] if os.environ.get("PW_FAST_PATH_SHRINK") else [])

    @settings(max_examples=max(1, -(-TOTAL // BATCH)), deadline=None, database=None,
              phases=phases, suppress_health_check=list(HealthCheck),
              verbosity=Verbosity.quiet)  # the assertion names the program; not the batch
    @given(st.lists(programs(), min_size=BATCH, max_size=BATCH))
    def check(batch):
        for child in children:  # both modes run the batch at the same time
            child.send(batch)
        fast, slow = [child.receive(batch) for child in children]
        counted.append(len(batch))
        digest.update(json.dumps(batch).encode())
        assert len(fast) == len(slow) == len(batch)
        for number, (one, other) in enumerate(zip(fast, slow)):
            if one != other:
                raise AssertionError(explain(number, one, other))
            failed = [line for line in one if line.startswith("FAILED ")]
            assert not failed, "program %d:\n%s" % (number, "\n".join(map(cut, one)))

    if "PW_FAST_PATH_SEED" in os.environ:
        check = seed(int(os.environ["PW_FAST_PATH_SEED"]))(check)
    memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None  # programs make many files
    with tempfile.TemporaryDirectory(prefix="pw-fast-paths-", dir=memory) as directory:
        children = [Child("fast", directory), Child("slow", directory)]
        try:
            check()
        finally:
            for child in children:
                child.close()
    record_property("programs", sum(counted))
    print("fast paths compared on %d programs (digest %s)" % (sum(counted),
                                                            digest.hexdigest()[:12]))
