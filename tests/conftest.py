import os
import subprocess
import sys
import textwrap

import pytest


@pytest.fixture
def run_python(tmp_path):
    """Runs code in a fresh interpreter; extra_path entries come first on sys.path."""

    def run(code, extra_path=(), check=True):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(
            [*map(str, extra_path), *filter(None, [env.get("PYTHONPATH")])])
        result = subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)], cwd=tmp_path, env=env,
            stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120)
        if check and result.returncode != 0:
            raise AssertionError("subprocess failed:\n" + result.stderr)
        return result

    return run
