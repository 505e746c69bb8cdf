"""Notes that say what to do: each error keeps its type and message and gains
notes that name the cause and the fix. The logs are the real engine's."""

import json
import os
import re
import shutil
import struct
import subprocess
import sys
import zlib

import pytest

import pagewright
import vantor_commons


def png_that_libpng_refuses():
    """An RGBA PNG whose image data is not zlib data: pdfTeX decodes such an
    image itself (it cannot copy one with alpha) and libpng stops it."""
    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data
                + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))
    header = struct.pack(">IIBBBBB", 4, 4, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", b"not zlib")
            + chunk(b"IEND", b""))


def compiled(write):
    """Writes a document with `write(doc)` (or the text `write`) and compiles it."""
    def trigger(tmp_path):
        tex = tmp_path / "doc.tex"
        if isinstance(write, str):
            tex.write_text(write)
        else:
            with pagewright.latex_document(str(tex)) as doc:
                write(doc)
        pagewright.compile_tex(str(tex))
    return trigger


def missing_file(tmp_path):
    pagewright.compile_tex("out/nothere.tex")


def coloured_caption(doc):
    with doc.figure(caption="\\textcolor{red}{Sales}") as fig:
        fig.tex("x\n")


def longtable(doc):
    with doc.longtable(["l"]) as table:
        table.row_tex("a")


def imported_without(kept):
    """Imports pagewright in a fresh interpreter whose path holds the extension
    file and, of the two outside packages, only `kept`; the child raises the
    import error again after printing it as JSON."""
    def trigger(tmp_path):
        os.symlink(pagewright.__file__, tmp_path / os.path.basename(pagewright.__file__))
        for package in kept:
            os.symlink(os.path.dirname(vantor_commons.__file__), tmp_path / package)
        code = ("import json\ntry:\n    import pagewright\nexcept ImportError as e:\n"
                "    print(json.dumps([type(e).__name__, e.args, e.__notes__]))\n")
        child = subprocess.run([sys.executable, "-S", "-c", code], cwd=tmp_path,
                               env=dict(os.environ, PYTHONPATH=str(tmp_path)),
                               capture_output=True, text=True, timeout=60, check=True)
        name, args, notes = json.loads(child.stdout)
        error = ModuleNotFoundError(*args)
        error.__notes__ = notes
        raise error
    return trigger


def log_note(first, location=None):
    lines = [first if first.startswith("!pdfTeX") else re.escape(first)]
    if location:
        lines.append(r"l\.\d+ " + re.escape(location))
    return "\n".join(lines + [r"log: .*/doc\.log"])


def package_note(used, package):
    return (re.escape(used) + " is defined by the LaTeX package %s, which the document does "
            r"not load: call use_package\('%s'\) on it when writing it" % (package, package))


OUTSIDE = (r"pagewright needs two packages that ship with its source: vantor_commons and "
           r"pactum\. Install them from the vendor/ directory .* never from a package index: "
           r"an unrelated package named pactum is published there\.")

engine = pytest.mark.skipif(shutil.which("pdflatex") is None, reason="pdflatex not installed")

CASES = [
    pytest.param(compiled(longtable), pagewright.BadTex, [
        log_note("! LaTeX Error: Environment longtable undefined.", "\\begin{longtable}"),
        package_note("\\begin{longtable}", "longtable")], marks=engine, id="longtable"),
    pytest.param(compiled(lambda doc: doc.rule("1cm", "1pt")), pagewright.BadTex, [
        log_note("! Undefined control sequence.", "{\\color"),
        package_note("\\color", "xcolor")], marks=engine, id="color"),
    pytest.param(compiled(coloured_caption),
                 pagewright.BadTex, [
        log_note("! Undefined control sequence.", "\\caption{\\textcolor{red}{Sales}}"),
        package_note("\\textcolor", "xcolor")], marks=engine, id="textcolor in an argument"),
    pytest.param(compiled(lambda doc: doc.textattachfile("a.csv", "1,2\n", "data")),
                 pagewright.BadTex, [
        log_note("! Undefined control sequence.", "\\textattachfile"),
        package_note("\\textattachfile", "attachfile")], marks=engine, id="attachfile"),
    pytest.param(compiled(lambda doc: doc.tex("Hello \\textbold{world}")), pagewright.BadTex, [
        log_note("! Undefined control sequence.", "Hello \\textbold")],
                 marks=engine, id="undefined command"),
    pytest.param(compiled("\\documentclass{article}\n\\begin{document}\nno end\n"),
                 pagewright.BadTex, [log_note("! Emergency stop.")],
                 marks=engine, id="emergency stop"),
    pytest.param(compiled(lambda doc: doc.graphics_data(png_that_libpng_refuses(),
                                                        pagewright.MIME_PNG)),
                 pagewright.BadTex, [
        log_note(r"!pdfTeX error: pdflatex \(file .*/file0\.png\): libpng: internal error")],
                 marks=engine, id="pdftex error"),
    pytest.param(missing_file, AssertionError, [
        r"file not found: out/nothere\.tex\nlooked for: (.*)/out/nothere\.tex\n"
        r"current directory: \1"], id="missing file"),
    pytest.param(imported_without([]), ModuleNotFoundError, [OUTSIDE], id="no vantor_commons"),
    pytest.param(imported_without(["vantor_commons"]), ModuleNotFoundError, [OUTSIDE],
                 id="no pactum"),
]


@pytest.mark.parametrize("trigger, error_type, notes", CASES)
def test_errors_carry_notes_that_say_what_to_do(tmp_path, monkeypatch, trigger, error_type,
                                                notes):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error_type) as raised:
        trigger(tmp_path)
    if error_type is pagewright.BadTex:
        assert raised.value.args == ("Could not compile 'doc'.",)
    elif error_type is AssertionError:
        assert raised.value.args == ()
    assert len(raised.value.__notes__) == len(notes), raised.value.__notes__
    for note, pattern in zip(raised.value.__notes__, notes):
        assert re.fullmatch(pattern, note, re.DOTALL), note
