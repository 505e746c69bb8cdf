import shutil
import struct
import subprocess
import zlib

import pytest

import pagewright.environment as environment
from pagewright.context import LatexContext
from pagewright.environment import (
    MIME_JPG, MIME_PLAIN, MIME_PNG, LatexEnvironment, make_options_string)


@pytest.fixture
def env(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    return LatexEnvironment(LatexContext("."))


def body(env):
    return env.context.f.getvalue()


def tiny_png():
    def chunk(kind, payload):
        data = kind + payload
        return struct.pack(">I", len(payload)) + data + struct.pack(">I", zlib.crc32(data))

    header = struct.pack(">IIBBBBB", 1, 1, 8, 0, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(b"\x00\x80")) + chunk(b"IEND", b""))


@pytest.mark.parametrize("params, expected", [
    ({}, ""),
    ({"angle": None}, ""),
    ({"width": "3cm", "keepaspectratio": True, "angle": None, "clip": False},
     "width=3cm,keepaspectratio,clip=False"),
    ({"key": 1}, "key=1"),
    ({"b": 2, "a": True}, "b=2,a"),
])
def test_make_options_string(params, expected):
    assert make_options_string(**params) == expected


def test_graphics_data_fresh_context(env, tmp_path):
    assert env.graphics_data("pixels", MIME_PNG) is None
    assert (tmp_path / "file0.png").read_text() == "pixels"
    assert body(env) == "\\includegraphics[]{file0}%\n"
    assert env.context.count == 1


def test_graphics_data_options_and_name_replacement(env, tmp_path):
    env.graphics_data("jpeg", MIME_JPG, "fig.v1/a", width="3cm", keepaspectratio=True)
    assert (tmp_path / "fig_v1:a.jpg").read_text() == "jpeg"
    assert body(env) == "\\includegraphics[width=3cm,keepaspectratio]{fig_v1:a}%\n"
    assert env.context.count == 0


def test_child_contexts_share_the_root_counter(env, tmp_path):
    child = LatexEnvironment(env.context.child())
    env.graphics_data("a", MIME_PNG)
    child.graphics_data("b", MIME_PNG)
    env.graphics_data("c", MIME_PNG, gid="named")
    assert env.context.count == 2
    assert child.context.f.getvalue() == "\\includegraphics[]{file1}%\n"
    assert (tmp_path / "file1.png").read_text() == "b"


def test_graphics_data_with_non_string_gid(env, tmp_path):
    with pytest.raises(AttributeError):
        env.graphics_data("x", MIME_PNG, 7)
    assert list(tmp_path.iterdir()) == []
    assert env.context.count == 0


def test_graphics_data_uses_overrides_and_passes_keywords_in_order(env, monkeypatch):
    calls = []

    class Recording(LatexEnvironment):
        def save_graphics_data(self, *args):
            calls.append(("save", args))

    def options(**params):
        calls.append(("options", list(params.items())))
        return "OPTS"

    monkeypatch.setattr(environment, "make_options_string", options)
    Recording(env.context).graphics_data(mime=MIME_PNG, scale=2, data="d", gid="g.1", angle=None)
    assert calls == [("save", ("d", MIME_PNG, "g_1")), ("options", [("scale", 2), ("angle", None)])]
    assert body(env) == "\\includegraphics[OPTS]{g_1}%\n"


def test_failing_options_leave_the_file(env, tmp_path, monkeypatch):
    def options(**params):
        raise RuntimeError("no options")

    monkeypatch.setattr(environment, "make_options_string", options)
    with pytest.raises(RuntimeError):
        env.graphics_data("x", MIME_PNG, "kept")
    assert (tmp_path / "kept.png").exists()
    assert body(env) == ""


@pytest.mark.parametrize("mime, gid, expected", [
    (MIME_PLAIN, "file3", "./file3.txt"),
    (MIME_JPG, "photo", "./photo.jpg"),
    (MIME_PNG, "plot", "./plot.png"),
])
def test_save_graphics_data_suffixes(env, mime, gid, expected):
    assert env.save_graphics_data("data", mime, gid) == expected
    with open(expected) as saved:
        assert saved.read() == "data"
    assert body(env) == ""


def test_save_graphics_data_creates_missing_directories(tmp_path):
    env = LatexEnvironment(LatexContext(str(tmp_path / "a" / "b")))
    path = env.save_graphics_data("x", MIME_PNG, "g")
    assert path == str(tmp_path / "a" / "b" / "g.png")
    assert (tmp_path / "a" / "b" / "g.png").read_text() == "x"


def test_empty_directory_part_is_the_current_directory(env, tmp_path):
    bare = LatexEnvironment(LatexContext(""))
    assert bare.save_graphics_data("x", MIME_PNG, "g") == "g.png"
    bare.textattachfile("notes.txt", "n", "notes")
    assert (tmp_path / "g.png").read_text() == "x"
    assert (tmp_path / "notes.txt").read_text() == "n"
    assert bare.context.f.getvalue() == "\\textattachfile{notes.txt}{notes}%\n"


def test_textattachfile_example(env, tmp_path):
    env.context.graphics_path = "out"
    assert env.textattachfile("data.csv", "a,b\n1,2\n", "see data") is None
    assert (tmp_path / "out" / "data.csv").read_text() == "a,b\n1,2\n"
    assert body(env) == "\\textattachfile{out/data.csv}{see data}%\n"


BINARY = b"\x89\x00\r\n\xff"


@pytest.mark.parametrize("data", [BINARY, bytearray(BINARY), memoryview(BINARY)])
def test_binary_data_is_written_unchanged(env, tmp_path, data):
    env.graphics_data(data, MIME_PNG, "bin")
    env.textattachfile("attached.bin", data, "bin")
    assert (tmp_path / "bin.png").read_bytes() == BINARY
    assert (tmp_path / "attached.bin").read_bytes() == BINARY


@pytest.mark.parametrize("data, error", [
    (5, TypeError),
    (["x"], TypeError),
    (None, TypeError),
    (memoryview(b"abcdef")[::2], BufferError),
])
def test_unwritable_data_creates_nothing(env, tmp_path, data, error):
    env.context.graphics_path = "sub"
    with pytest.raises(error):
        env.graphics_data(data, MIME_PNG, "g")
    with pytest.raises(error):
        env.textattachfile("t.bin", data, "t")
    assert list(tmp_path.iterdir()) == []
    assert body(env) == ""


def test_existing_file_is_overwritten(env, tmp_path):
    (tmp_path / "g.png").write_text("old contents")
    env.save_graphics_data("new", MIME_PNG, "g")
    assert (tmp_path / "g.png").read_text() == "new"


def test_unknown_mime_type_is_refused_before_any_file(env, tmp_path):
    env.context.graphics_path = "sub"
    with pytest.raises(ValueError, match="application/x-unknown-kind"):
        env.graphics_data("x", "application/x-unknown-kind")
    assert list(tmp_path.iterdir()) == []
    assert body(env) == ""


@pytest.mark.skipif(shutil.which("pdflatex") is None, reason="pdflatex not installed")
def test_document_with_graphics_listing_and_table_compiles(tmp_path):
    context = LatexContext(str(tmp_path / "figs"))
    env = LatexEnvironment(context)
    env.graphics_data(tiny_png(), MIME_PNG, width="1cm")
    env.graphics_data(tiny_png(), MIME_PNG, "plot.v2", height="5mm", keepaspectratio=True)
    env.lstlisting("for i in range(3):\n    print(i)\n", "Python")
    env.tabular_simple([[1, 2], [3, 4]], ["first", "second"], ["x", "y"])
    env.textattachfile("data.csv", "a,b\n", "the data")
    packages = "".join("\\usepackage{%s}\n" % name for name in context.packages)
    source = (
        "\\documentclass{article}\n" + packages + "\\usepackage{graphicx}\n"
        "\\usepackage{attachfile}\n\\graphicspath{{figs/}}\n"
        + context.preamble.getvalue() + "\\begin{document}\n"
        + context.f.getvalue() + "\\end{document}\n")
    (tmp_path / "doc.tex").write_text(source)
    run = subprocess.run(
        ["pdflatex", "-halt-on-error", "-interaction=nonstopmode", "doc.tex"],
        cwd=tmp_path, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT, timeout=120)
    assert run.returncode == 0, run.stdout.decode(errors="replace")[-3000:]
    assert (tmp_path / "doc.pdf").stat().st_size > 0
    log = (tmp_path / "doc.log").read_text(errors="replace")
    assert "file0.png Graphic file (type png)" in log
    assert "plot_v2.png Graphic file (type png)" in log
