import importlib
import os
import subprocess
import sys

import pagewright

SUBMODULES = ["compile_latex", "context", "document", "environment", "envs", "figure",
              "file_utils", "frags", "ifs", "structures", "tabular", "utils"]


def test_the_stub_directory_beside_the_extension_does_not_shadow_it():
    # The stubs live in the package's search directory, which has no
    # __init__.py: the package and every submodule still come from the
    # extension file.
    stubs = pagewright.__path__[0]
    assert pagewright.__file__.endswith(".so")
    assert os.path.dirname(pagewright.__file__) == os.path.dirname(stubs)
    assert not os.path.exists(os.path.join(stubs, "__init__.py"))
    shipped = set(os.listdir(stubs))
    expected = {"py.typed", "__init__.pyi", "_layout.pyi", "build.pyi"} | {
        n + ".pyi" for n in SUBMODULES}
    assert shipped == expected
    for name in SUBMODULES + ["build"]:
        module = importlib.import_module("pagewright." + name)
        assert module.__spec__.origin == pagewright.__file__
        assert type(module.__spec__.loader).__name__ == "SubmoduleImporter"


def test_the_typed_usage_file_runs(tmp_path):
    # The file that mypy --strict checks against the stubs also runs: the
    # calls it types are calls that work.
    usage = os.path.join(os.path.dirname(__file__), "typing", "usage.py")
    result = subprocess.run([sys.executable, usage, str(tmp_path)], cwd=tmp_path,
                            capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=120)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out" / "doc.pdf").exists()
