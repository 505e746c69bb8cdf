import inspect
import io
import os
import pathlib
import resource
import shutil
import stat
import subprocess
from contextlib import contextmanager

import pytest

import pagewright
from pagewright import document as docmod
from pagewright import file_utils, frags
from pagewright.context import LatexContext
from pagewright.document import LatexDocument
from pagewright.environment import LatexEnvironment
from pagewright.file_utils import make_sure_dir_exists
from pagewright.frags import latex_document, latex_fragment

from helpers import class_body

EMPTY = ("\\documentclass[]{article}\n\\usepackage{graphicx}\n\\graphicspath{{./}}\n"
         "\\begin{document}\n\\end{document}\n")


def dumped(doc):
    out = io.StringIO()
    doc.dump_stream(out)
    return out.getvalue()


class Recording:
    def __init__(self):
        self.writes = []

    def write(self, text):
        self.writes.append(text)


# ------------------------------------------------------------------ document

def test_empty_document():
    doc = LatexDocument()
    assert dumped(doc) == EMPTY
    assert dumped(doc) == EMPTY
    recording = Recording()
    doc.dump_stream(recording)
    assert len(recording.writes) == 7


def test_document_assembly_order():
    doc = LatexDocument("report", "a4paper,12pt", graphics_path="img")
    doc.fullpage()
    doc.fullpage()
    doc.use_package("graphicx")
    doc.context.preamble.write("\\newcommand{\\x}{1}\n")
    doc.context.child().use_package("caption")
    doc.text("a_b")
    assert dumped(doc) == (
        "\\documentclass[a4paper,12pt]{report}\n"
        "\\usepackage[]{fullpage}\n\\usepackage[]{graphicx}\n\\usepackage[]{caption}\n"
        "\\usepackage{graphicx}\n\\graphicspath{{img/}}\n"
        "\\newcommand{\\x}{1}\n\\begin{document}\na\\_b\\end{document}\n")


def test_document_attributes_and_surface():
    doc = LatexDocument(class_options="x")
    assert list(vars(doc)) == ["context", "document_class", "class_options"]
    assert (doc.document_class, doc.class_options) == ("article", "x")
    assert type(doc.context) is LatexContext and doc.context.graphics_path == "."
    assert isinstance(doc, LatexEnvironment)
    assert class_body(LatexDocument) == [
        "dump_stream", "fullpage", "write_to_file"]
    assert LatexDocument.__doc__ is None and LatexDocument.dump_stream.__doc__ is None
    assert LatexDocument.fullpage.__doc__ == "Use the fullpage package."
    assert LatexDocument.write_to_file.__doc__ == (
        "Writes to a file, making sure the directory exists.")
    assert str(inspect.signature(LatexDocument)) == (
        "(document_class='article', class_options='', graphics_path='.')")


def test_document_subclass():
    class Mine(LatexDocument):
        def __init__(self):
            super().__init__(graphics_path="g")
            self.note = "n"

        def dump_stream(self, f):
            f.write("custom")

    m = Mine()
    m.tex("x")
    assert vars(m)["note"] == "n" and m.context.graphics_path == "g"
    out = io.StringIO()
    with latex_document(out) as doc:
        pass
    assert type(doc) is LatexDocument


def test_module_names():
    assert [n for n in vars(docmod) if not n.startswith("__")] == [
        "os", "make_sure_dir_exists", "LatexEnvironment", "LatexContext", "LatexDocument"]
    assert docmod.__all__ == ["LatexDocument"]
    assert [n for n in vars(file_utils) if not n.startswith("__")] == [
        "os", "make_sure_dir_exists"]
    assert file_utils.__all__ == ["make_sure_dir_exists"]
    assert [n for n in vars(frags) if not n.startswith("__")] == [
        "LatexEnvironment", "LatexContext", "LatexDocument", "make_sure_dir_exists",
        "contextmanager", "os", "latex_document", "latex_fragment"]
    assert frags.LatexDocument is pagewright.LatexDocument is LatexDocument
    assert pagewright.latex_document is latex_document
    assert docmod.make_sure_dir_exists is frags.make_sure_dir_exists is make_sure_dir_exists
    assert latex_document.__doc__ is None and latex_fragment.__doc__ is None
    assert str(inspect.signature(latex_document)) == (
        "(filename_or_stream, graphics_path=None, document_class='article', class_options='')")
    assert str(inspect.signature(latex_fragment)) == "(filename_or_stream, graphics_path=None)"


def test_write_to_file(tmp_path):
    target = tmp_path / "a" / "b" / "doc.tex"
    doc = LatexDocument()
    doc.write_to_file(str(target))
    assert target.read_text() == EMPTY
    doc.tex("more")
    doc.write_to_file(str(target))
    assert "more\\end{document}" in target.read_text()


def test_failed_write_to_file_leaves_no_file(tmp_path):
    class Failing(LatexDocument):
        def dump_stream(self, f):
            f.write("partial")
            raise ValueError("stop")

    with pytest.raises(ValueError, match="stop"):
        Failing().write_to_file(str(tmp_path / "doc.tex"))
    assert list(tmp_path.iterdir()) == []


def test_write_to_file_in_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    LatexDocument().write_to_file("doc.tex")
    assert (tmp_path / "doc.tex").read_text() == EMPTY


# ---------------------------------------------------------------- file_utils

def test_make_sure_dir_exists(tmp_path):
    target = tmp_path / "x" / "y"
    assert make_sure_dir_exists(str(target)) is None
    assert target.is_dir()
    make_sure_dir_exists(str(target))
    plain = tmp_path / "file"
    plain.write_text("keep")
    make_sure_dir_exists(str(plain))
    assert plain.read_text() == "keep"


@pytest.mark.parametrize("empty", ["", b""])
def test_empty_directory_is_current_directory(tmp_path, monkeypatch, empty):
    monkeypatch.chdir(tmp_path)
    assert make_sure_dir_exists(empty) is None
    assert list(tmp_path.iterdir()) == []


def test_directory_created_by_another_process(tmp_path, monkeypatch):
    # The directory appears between the existence test and the creation.
    target = tmp_path / "raced"
    target.mkdir()
    monkeypatch.setattr(os.path, "exists", lambda path: False)
    make_sure_dir_exists(str(target))
    assert target.is_dir()


# ------------------------------------------------------- all-or-nothing writes

def document_writer(path, text):
    doc = LatexDocument()
    doc.tex(text)
    doc.write_to_file(str(path))


def frags_writer(manager):
    def write(path, text):
        with manager(str(path)) as writer:
            writer.tex(text)
    return write


def data_writer(path, data):
    LatexEnvironment(LatexContext(str(path.parent))).textattachfile(path.name, data, "t")


@contextmanager
def file_size_limit(limit):
    # Writes past the limit fail with EFBIG (Python ignores SIGXFSZ), as a
    # full disk fails them.
    soft, hard = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, hard))
    try:
        yield
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, (soft, hard))


@pytest.mark.parametrize("write, data, error", [
    (document_writer, "body \ud800", UnicodeEncodeError),
    (frags_writer(latex_document), "body \ud800", UnicodeEncodeError),
    (frags_writer(latex_fragment), "body \ud800", UnicodeEncodeError),
    (data_writer, "text \ud800", UnicodeEncodeError),
    (data_writer, bytes(1 << 20), OSError),
], ids=["write_to_file", "latex_document", "latex_fragment", "data-text", "data-binary"])
def test_failed_write_keeps_the_old_file(tmp_path, write, data, error):
    target = tmp_path / "doc.tex"
    old = "old \u20ac\n".encode() * 100
    target.write_bytes(old)
    with file_size_limit(1 << 16), pytest.raises(error):
        write(target, data)
    assert target.read_bytes() == old
    assert list(tmp_path.iterdir()) == [target]


def test_write_through_link_keeps_mode_and_new_file_gets_mode_of_open(tmp_path):
    target = tmp_path / "real.tex"
    target.write_text("old")
    target.chmod(0o604)
    link = tmp_path / "link.tex"
    link.symlink_to(target)
    umask = os.umask(0o027)
    try:
        LatexDocument().write_to_file(str(link))
        LatexDocument().write_to_file(tmp_path / "new.tex")
        open(tmp_path / "by_open", "w").close()
    finally:
        os.umask(umask)
    assert link.is_symlink() and target.read_text() == EMPTY
    assert stat.S_IMODE(target.stat().st_mode) == 0o604
    assert (tmp_path / "new.tex").stat().st_mode == (tmp_path / "by_open").stat().st_mode
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "by_open", "link.tex", "new.tex", "real.tex"]
    # A file with another hard link is written in place, so both names see it.
    os.link(target, tmp_path / "hard.tex")
    doc = LatexDocument()
    doc.tex("shared")
    doc.write_to_file(str(tmp_path / "hard.tex"))
    assert target.read_text() == dumped(doc)


# --------------------------------------------------------------------- frags

def test_document_to_stream_uses_current_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    out = io.StringIO()
    with latex_document(out, document_class="book", class_options="o") as doc:
        doc.tex("body\n")
        assert out.getvalue() == ""
    assert (doc.document_class, doc.class_options) == ("book", "o")
    assert out.getvalue() == (
        "\\documentclass[o]{book}\n\\usepackage{graphicx}\n"
        "\\graphicspath{{%s/}}\n\\begin{document}\nbody\n\\end{document}\n" % os.getcwd())
    assert list(tmp_path.iterdir()) == []


def test_document_to_file_creates_its_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with latex_document("out/sub/doc.tex") as doc:
        assert (tmp_path / "out" / "sub").is_dir()
        assert not (tmp_path / "out" / "sub" / "doc.tex").exists()
        doc.tex("x")
    assert doc.context.graphics_path == "out/sub"
    assert "\\graphicspath{{out/sub/}}\n" in (tmp_path / "out/sub/doc.tex").read_text()


def test_explicit_graphics_path_does_not_create_file_directory(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(FileNotFoundError):
        with latex_document("missing/doc.tex", graphics_path="figs"):
            pass
    assert (tmp_path / "figs").is_dir() and not (tmp_path / "missing").exists()


@pytest.mark.parametrize("writer", [latex_document, latex_fragment])
def test_bare_file_name_in_current_directory(tmp_path, monkeypatch, writer):
    monkeypatch.chdir(tmp_path)
    with writer("doc.tex") as w:
        w.tex("x")
    assert w.context.graphics_path == ""
    assert (tmp_path / "doc.tex").read_text().endswith("x" if writer is latex_fragment
                                                       else "x\\end{document}\n")


@pytest.mark.parametrize("writer", [latex_document, latex_fragment])
def test_path_object_destination(tmp_path, monkeypatch, writer):
    monkeypatch.chdir(tmp_path)
    with writer(pathlib.Path("out/doc.tex")) as w:
        w.text("50% of $x_1$")
    assert w.context.graphics_path == "out"
    assert "50% of \\$x\\_1\\$" in (tmp_path / "out" / "doc.tex").read_text()


@pytest.mark.parametrize("gains", ["class", "base"])
def test_stream_class_that_gains_fspath_later_is_a_path(tmp_path, monkeypatch, gains):
    monkeypatch.chdir(tmp_path)

    class Base(io.StringIO):
        pass

    class Stream(Base):
        pass

    first = Stream()
    with latex_document(first):
        pass
    assert first.getvalue().startswith("\\documentclass")
    setattr(Stream if gains == "class" else Base, "__fspath__", lambda self: "out/doc.tex")
    second = Stream()
    with latex_document(second):
        pass
    assert second.getvalue() == ""
    assert (tmp_path / "out" / "doc.tex").read_text().startswith("\\documentclass")


def test_done_when_example(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with pagewright.latex_document(pathlib.Path("out/doc.tex")) as doc:
        doc.text("50% of $x_1$")
        doc.fullpage()
    assert (tmp_path / "out/doc.tex").read_text() == (
        "\\documentclass[]{article}\n\\usepackage[]{fullpage}\n\\usepackage{graphicx}\n"
        "\\graphicspath{{out/}}\n\\begin{document}\n50% of \\$x\\_1\\$\\end{document}\n")


class MarksTheStream(str):
    """A text that, when formatted, first writes a mark into the stream the
    document is being written to."""
    stream = None

    def __str__(self):
        MarksTheStream.stream.write("<mark>")
        return str.__str__(self)


@pytest.mark.parametrize("where", ["document_class", "class_options", "graphics_path", "option"])
def test_python_code_run_while_a_document_is_written_sees_what_came_before(where):
    def dumped_with(value):
        doc = LatexDocument(**{k: value for k in [where] if k != "option"})
        doc.use_package("pkg", {"k": value} if where == "option" else None)
        doc.text("body")
        out = MarksTheStream.stream = io.StringIO()
        doc.dump_stream(out)
        return out.getvalue()

    plain = dumped_with("VALUE").splitlines(keepends=True)
    line = next(i for i, text in enumerate(plain) if "VALUE" in text)
    plain.insert(line, "<mark>")
    assert dumped_with(MarksTheStream("VALUE")) == "".join(plain)


def test_fragment_writes_body_only_in_one_write():
    out = Recording()
    with latex_fragment(out, graphics_path="g") as env:
        env.tex("\\section{A}\n")
        env.use_package("amsmath")
        env.context.preamble.write("pre")
        env.tex("text")
    assert type(env) is LatexEnvironment
    assert env.context.graphics_path == "g"
    assert out.writes == ["\\section{A}\ntext"]


@pytest.mark.parametrize("writer", [latex_document, latex_fragment])
def test_raising_body_writes_nothing(tmp_path, writer):
    existing = tmp_path / "old.tex"
    existing.write_text("old")
    missing = tmp_path / "new.tex"
    stream = Recording()
    for destination in (str(existing), missing, stream):
        with pytest.raises(KeyError):
            with writer(destination):
                raise KeyError("body")
    assert existing.read_text() == "old"
    assert not missing.exists()
    assert stream.writes == []


@pytest.mark.parametrize("writer", [latex_document, latex_fragment])
def test_single_use(writer):
    manager = writer(io.StringIO())
    assert type(manager) is type(pagewright.begin_end(io.StringIO(), "x"))
    with manager:
        pass
    with pytest.raises(RuntimeError):
        with manager:
            pass


def test_bytes_destination_is_a_stream():
    with pytest.raises(AttributeError):
        with latex_fragment(b"doc.tex"):
            pass


@pytest.mark.skipif(shutil.which("pdflatex") is None, reason="needs pdflatex")
def test_document_compiles(tmp_path):
    with latex_document(str(tmp_path / "doc.tex")) as doc:
        doc.fullpage()
        doc.use_package("xcolor")
        doc.text("Cost: 50 \\ $x_1$ {braces}")
        doc.parbreak()
        doc.rule("1cm", "2pt")
        doc.medskip()
    result = subprocess.run(
        ["pdflatex", "-interaction=nonstopmode", "-halt-on-error", "doc.tex"],
        cwd=tmp_path, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout[-2000:]
    assert (tmp_path / "doc.pdf").stat().st_size > 0
