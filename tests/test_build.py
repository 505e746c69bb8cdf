"""pagewright.build with the real engine: documents settle, failures carry
compile_tex's notes, runs time out, builds are reproducible and run many at
a time."""

import shutil
import subprocess
import sys
import warnings

import pytest

import pagewright
from pagewright.build import BuildResult, build_pdf, build_pdfs

pytestmark = pytest.mark.skipif(
    not (shutil.which("pdflatex") and shutil.which("pdftotext")),
    reason="pdflatex and pdftotext are needed")


def document(body, packages=()):
    lines = ["\\documentclass{article}"] + ["\\usepackage{%s}" % p for p in packages]
    return "\n".join(lines + ["\\begin{document}", body, "\\end{document}", ""])


def pdf_text(pdf):
    return subprocess.run(["pdftotext", "-layout", str(pdf), "-"], capture_output=True,
                          text=True, check=True).stdout


def long_table():
    rows = "".join("%d & %s\\\\\n" % (i, "word " * (i % 13)) for i in range(120))
    return document("\\begin{longtable}{ll}\nN & Words\\\\ \\endhead\n%s\\end{longtable}" % rows,
                    ["longtable"])


@pytest.mark.parametrize("source, passes, shown", [
    (document("Hello."), 1, "Hello."),
    (document("\\section{Growth}\\label{sec:g}\nSee section~\\ref{sec:g} on page~"
              "\\pageref{sec:g}."), 2, "See section 1 on page 1."),
    # The log says nothing when only the table of contents changed.
    (document("\\tableofcontents\n\\section{Growth}\n\\section{Outlook}"), 2, "2 Outlook"),
    (long_table(), 2, "119 "),
], ids=["one run", "reference", "contents", "longtable"])
def test_a_document_settles(tmp_path, capfd, source, passes, shown):
    tex = tmp_path / "doc.tex"
    tex.write_text(source)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = build_pdf(str(tex))
    assert result == BuildResult(str(tmp_path / "doc.pdf"), passes)
    text = pdf_text(result.pdf)
    assert shown in text and "??" not in text
    assert not (tmp_path / "doc.aux").exists() and not (tmp_path / "doc.log").exists()
    assert capfd.readouterr() == ("", "")


def test_a_document_that_keeps_asking_warns_and_keeps_its_pdf(tmp_path):
    tex = tmp_path / "doc.tex"
    tex.write_text(document("\\section{A}\\label{a}\\ref{a}"))
    with pytest.warns(RuntimeWarning, match=r"has not settled after 1 run\(s\): LaTeX Warning: "
                      r"Label\(s\) may have changed\. Rerun to get cross-references right\."):
        result = build_pdf(str(tex), max_passes=1, keep_aux=True)
    assert result.passes == 1 and (tmp_path / "doc.pdf").exists()
    assert (tmp_path / "doc.aux").exists() and (tmp_path / "doc.log").exists()


def test_a_failing_run_raises_compile_tex_s_bad_tex_and_a_loop_times_out(tmp_path):
    bad = tmp_path / "bad.tex"
    bad.write_text(document("fine\n\\nosuchcommand"))
    with pytest.raises(pagewright.BadTex) as raised:
        build_pdf(str(bad), cwd=str(tmp_path))
    assert raised.value.args == ("Could not compile 'bad'.",)
    assert raised.value.__notes__ == ["! Undefined control sequence.\nl.4 \\nosuchcommand\n"
                                      "log: %s" % (tmp_path / "bad.log")]
    loop = tmp_path / "loop.tex"
    loop.write_text(document("\\def\\x{\\x}\\x"))
    with pytest.raises(pagewright.BadTex) as raised:
        build_pdf(str(loop), timeout=1)
    assert raised.value.args == ("Could not compile 'loop'.",)
    assert raised.value.__notes__[0] == ("pdflatex ran past the timeout of 1 seconds in run 1 "
                                         "and was stopped")


def test_reproducible_builds_are_byte_identical(tmp_path, monkeypatch):
    monkeypatch.delenv("SOURCE_DATE_EPOCH", raising=False)
    tex = tmp_path / "doc.tex"
    tex.write_text(document("Built \\today."))
    first = (tmp_path / build_pdf(str(tex), reproducible=True).pdf).read_bytes()
    assert (tmp_path / build_pdf(str(tex), reproducible=True).pdf).read_bytes() == first


def test_many_builds_return_in_order_and_raise_their_failures_together(tmp_path):
    names = []
    for n in range(8):
        tex = tmp_path / ("d%d" % n) / "report.tex"
        tex.parent.mkdir()
        tex.write_text(document("Report %d.%s" % (n, "\\broken" if n in (2, 5) else "")))
        names.append(str(tex))
    with pytest.raises(Exception) as raised:
        build_pdfs(names, jobs=3)
    if sys.version_info >= (3, 11):
        assert raised.type is ExceptionGroup
        assert raised.value.message == "2 of 8 documents failed to build"
        failures = raised.value.exceptions
    else:
        assert raised.type is pagewright.BadTex
        failures = [raised.value]
        assert raised.value.__notes__[-1].startswith("2 of 8 documents failed to build")
        assert "BadTex: Could not compile 'report'." in raised.value.__notes__[-1]
    assert all(type(e) is pagewright.BadTex for e in failures)
    assert "while building %r" % names[2] in failures[0].__notes__
    built = sorted(p.parent.name for p in tmp_path.glob("d*/report.pdf"))
    assert built == ["d0", "d1", "d3", "d4", "d6", "d7"]
    assert build_pdfs(names[:2]) == [BuildResult(n[:-4] + ".pdf", 1) for n in names[:2]]


def test_two_files_sharing_temporary_files_are_refused_before_anything_runs(tmp_path):
    (tmp_path / "a.tex").write_text(document("A"))
    (tmp_path / "a.ltx").write_text(document("B"))
    with pytest.raises(ValueError, match="same directory and base name"):
        build_pdfs([str(tmp_path / "a.tex"), str(tmp_path / "a.ltx")])
    assert not (tmp_path / "a.pdf").exists()


def test_the_module_is_not_part_of_the_package_namespace(run_python):
    result = run_python("""
        import sys, pagewright
        before = sorted(vars(pagewright))
        print('pagewright.build' in sys.modules)
        import pagewright.build
        print(sorted(set(vars(pagewright)) - set(before)), pagewright.build.__all__)
    """)
    assert result.stdout.split("\n")[:2] == [
        "False", "['build'] ['BuildResult', 'build_pdf', 'build_pdfs']"]
