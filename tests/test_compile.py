import inspect
import json
import os
import shutil
import signal
import subprocess
import sys
import textwrap

import pytest

import pagewright
from pagewright import compile_latex
from pagewright.structures import BadTex

FAKE_ENGINE = """#!{python}
import json, os, signal, sys
with open(os.environ["FAKE_ENGINE_LOG"], "a") as log:
    log.write(json.dumps({{"argv": sys.argv[1:], "cwd": os.getcwd(),
                          "stdin": os.readlink("/proc/self/fd/0")}}) + "\\n")
print("engine chatter on stdout")
print("engine chatter on stderr", file=sys.stderr)
status = os.environ.get("FAKE_ENGINE_STATUS", "0")
if status == "kill":
    os.kill(os.getpid(), signal.SIGKILL)
sys.exit(int(status))
"""

real_engine = pytest.mark.skipif(shutil.which("pdflatex") is None, reason="pdflatex not installed")


class FakeEngine:
    """A `pdflatex` first on PATH that records each run and exits with a chosen status."""

    def __init__(self, directory, monkeypatch):
        self.log = directory / "runs.jsonl"
        self.monkeypatch = monkeypatch
        bin_dir = directory / "bin"
        bin_dir.mkdir()
        script = bin_dir / "pdflatex"
        script.write_text(FAKE_ENGINE.format(python=sys.executable))
        script.chmod(0o755)
        monkeypatch.setitem(os.environ, "PATH", "%s:%s" % (bin_dir, os.environ["PATH"]))
        monkeypatch.setitem(os.environ, "FAKE_ENGINE_LOG", str(self.log))

    def exit_with(self, status):
        self.monkeypatch.setitem(os.environ, "FAKE_ENGINE_STATUS", str(status))

    def runs(self):
        if not self.log.exists():
            return []
        return [json.loads(line) for line in self.log.read_text().splitlines()]


@pytest.fixture
def engine(tmp_path, monkeypatch):
    return FakeEngine(tmp_path, monkeypatch)


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    work = tmp_path / "work"
    (work / "out").mkdir(parents=True)
    monkeypatch.chdir(work)
    return work


ARGS = ["-halt-on-error", "-interaction=errorstopmode"]


def test_runs_in_the_file_directory_and_cleans_up(engine, workdir, capfd):
    (workdir / "out" / "report.tex").write_text("x")
    (workdir / "out" / "report.aux").write_text("x")
    (workdir / "out" / "report.pdf").write_text("x")
    assert compile_latex.compile_tex("out/report.tex") is None
    assert engine.runs() == [{"argv": ARGS + ["report"], "cwd": str(workdir / "out"),
                              "stdin": os.devnull}]
    assert capfd.readouterr() == ("out/report.aux\nout/report.log\n", "")
    assert sorted(os.listdir(workdir / "out")) == ["report.pdf", "report.tex"]


def test_bare_file_name_runs_in_the_current_directory(engine, workdir, capsys):
    (workdir / "report.tex").write_text("x")
    (workdir / "report.log").write_text("x")
    compile_latex.compile_tex("report.tex")
    assert engine.runs() == [{"argv": ARGS + ["report"], "cwd": str(workdir),
                              "stdin": os.devnull}]
    assert capsys.readouterr().out == "report.aux\nreport.log\n"
    assert not (workdir / "report.log").exists()


@pytest.mark.parametrize("filename, cwd, basename, run_dir", [
    ("a/b/doc.tex", "a", "b/doc", "a"),
    ("x.y.tex", ".", "x.y", "."),
    ("out/noext", None, "noext", "out"),
])
def test_base_name_relative_to_the_working_directory(engine, workdir, capsys,
                                                     filename, cwd, basename, run_dir):
    path = workdir / filename
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text("x")
    compile_latex.compile_tex(str(path), cwd=None if cwd is None else str(workdir / cwd))
    [run] = engine.runs()
    assert run["argv"] == ARGS + [basename]
    assert run["cwd"] == os.path.realpath(workdir / run_dir)
    expected = os.path.join(str(workdir / run_dir), basename)
    assert capsys.readouterr().out == "%s.aux\n%s.log\n" % (expected, expected)


@pytest.mark.parametrize("status", [1, 2, "kill"])
def test_failed_run_raises_and_keeps_the_files(engine, workdir, capfd, status):
    engine.exit_with(status)
    (workdir / "out" / "report.tex").write_text("x")
    (workdir / "out" / "report.log").write_text("x")
    with pytest.raises(BadTex) as raised:
        compile_latex.compile_tex("out/report.tex")
    assert raised.value.args == ("Could not compile 'report'.",)
    assert isinstance(raised.value, Exception)
    assert capfd.readouterr() == ("", "")
    assert (workdir / "out" / "report.log").exists()


def test_missing_file_runs_nothing(engine, workdir, capsys):
    with pytest.raises(AssertionError) as raised:
        compile_latex.compile_tex("out/missing.tex")
    assert raised.value.args == ()
    assert engine.runs() == []
    assert capsys.readouterr().out == ""


def test_engine_not_on_path(tmp_path, workdir, monkeypatch, capsys):
    monkeypatch.setitem(os.environ, "PATH", str(tmp_path / "nowhere"))
    (workdir / "out" / "report.tex").write_text("x")
    with pytest.raises(FileNotFoundError):
        compile_latex.compile_tex("out/report.tex")
    assert capsys.readouterr().out == ""


def test_compile_tex_uses_the_current_module_functions(workdir, monkeypatch):
    calls = []
    monkeypatch.setattr(compile_latex, "run_pdflatex", lambda *a, **k: calls.append(("run", a, k)))
    monkeypatch.setattr(compile_latex, "clean_temporary_files",
                        lambda *a, **k: calls.append(("clean", a, k)))
    (workdir / "out" / "report.tex").write_text("x")
    compile_latex.compile_tex("out/report.tex")
    assert calls == [("run", ("report", "out"), {}), ("clean", ("out/report",), {})]


def test_module_surface():
    public = [n for n in vars(compile_latex) if not n.startswith("__") or n == "__all__"]
    assert public == ["os", "subprocess", "BadTex", "__all__", "compile_tex", "run_pdflatex",
                      "clean_temporary_files"]
    assert compile_latex.__all__ == ["compile_tex"]
    assert compile_latex.BadTex is BadTex is pagewright.BadTex
    assert BadTex.__bases__ == (Exception,)
    assert BadTex.__module__ == "pagewright.structures" and BadTex.__doc__ is None
    assert compile_latex.compile_tex.__doc__ == "Raises BadTex if the file is not compilable."
    assert str(inspect.signature(compile_latex.compile_tex)) == "(filename, cwd=None)"
    assert str(inspect.signature(compile_latex.run_pdflatex)) == "(basename, cwd)"
    assert compile_latex.clean_temporary_files.__doc__ is None
    assert not hasattr(pagewright, "run_pdflatex")


def compile_in_child(tex_path, timeout=60):
    """compile_tex in a fresh interpreter whose standard input is a pipe that
    stays open and empty, as a terminal nobody types into; returns the exit
    status (3 for BadTex). Fails the test if the run has not ended in time."""
    code = textwrap.dedent("""
        import sys, pagewright
        try:
            pagewright.compile_tex(sys.argv[1])
        except pagewright.BadTex as error:
            print(error)
            sys.exit(3)
    """)
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(pagewright.__file__)))
    child = subprocess.Popen([sys.executable, "-c", code, str(tex_path)], env=env,
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        child.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(child.pid, signal.SIGKILL)
        child.wait()
        pytest.fail("the engine was left waiting for input")
    finally:
        child.stdin.close()
    return child.returncode, child.stdout.read().decode()


def test_engine_input_is_the_null_device_even_when_stdin_is_open(engine, workdir):
    (workdir / "out" / "report.tex").write_text("x")
    assert compile_in_child(workdir / "out" / "report.tex")[0] == 0
    assert engine.runs()[0]["stdin"] == os.devnull


@real_engine
def test_real_engine_compiles_a_document(tmp_path, capsys):
    tex = tmp_path / "doc.tex"
    tex.write_text("\\documentclass{article}\\begin{document}Hello\\end{document}\n")
    compile_latex.compile_tex(str(tex))
    assert (tmp_path / "doc.pdf").stat().st_size > 0
    assert not (tmp_path / "doc.aux").exists() and not (tmp_path / "doc.log").exists()
    assert capsys.readouterr().out == "%s.aux\n%s.log\n" % (tmp_path / "doc", tmp_path / "doc")


@real_engine
def test_real_engine_failure_raises_bad_tex_with_the_first_error_as_a_note(tmp_path, capsys):
    tex = tmp_path / "bad.tex"
    tex.write_text("\\documentclass{article}\n\\begin{document}\nfine\n"
                   "\\nosuchcommand{}\\alsomissing\n\\end{document}\n")
    with pytest.raises(BadTex) as caught:
        compile_latex.compile_tex(str(tex))
    assert caught.value.args == ("Could not compile 'bad'.",)
    assert caught.value.__notes__ == ["! Undefined control sequence.\nl.4 \\nosuchcommand\n"
                                      "log: %s" % (tmp_path / "bad.log")]
    assert (tmp_path / "bad.log").exists()
    assert capsys.readouterr().out == ""


def write_log(directory, content):
    if content is None:
        return
    if content == "directory":
        (directory / "report.log").mkdir()
    else:
        (directory / "report.log").write_bytes(content)


@pytest.mark.parametrize("log", [
    None,
    "directory",
    b"\xff\xfe! Undefined control sequence.\nl.4 \\x\n",
    b"This is pdfTeX\nno error line here\nl.4 \\x\n",
])
def test_a_log_without_a_readable_error_adds_no_note(engine, workdir, log):
    (workdir / "out" / "report.tex").write_text("x")
    write_log(workdir / "out", log)
    engine.exit_with(1)
    with pytest.raises(BadTex) as caught:
        compile_latex.compile_tex("out/report.tex")
    assert caught.value.args == ("Could not compile 'report'.",)
    assert not hasattr(caught.value, "__notes__")


@pytest.mark.parametrize("log, note", [
    (b"! LaTeX Error: File `x.sty' not found.\r\n\r\nl.3 \\usepackage\r\n",
     "! LaTeX Error: File `x.sty' not found.\nl.3 \\usepackage"),
    # a location line after the next error is not this error's
    (b"(./report.tex\n! Emergency stop.\n! Second.\nl.9 x\n", "! Emergency stop."),
    (b"\xc3\xa9\n! Missing $ inserted.\nl.12 caf\xc3\xa9 $x\n", "! Missing $ inserted.\nl.12 caf\u00e9 $x"),
])
def test_the_note_takes_the_first_error_and_its_location(engine, workdir, log, note):
    (workdir / "out" / "report.tex").write_text("x")
    write_log(workdir / "out", log)
    engine.exit_with(1)
    with pytest.raises(BadTex) as caught:
        compile_latex.compile_tex("out/report.tex")
    assert caught.value.__notes__ == [note + "\nlog: %s" % (workdir / "out" / "report.log")]


@real_engine
def test_real_engine_asking_for_a_missing_input_ends(tmp_path):
    tex = tmp_path / "asks.tex"
    tex.write_text("\\documentclass{article}\\begin{document}\\input{nosuchfile}\\end{document}\n")
    assert compile_in_child(tex) == (3, "Could not compile 'asks'.\n")
