import pathlib
import re
import shutil
import subprocess
import sys

import pytest

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "report.py"

needs_engine = pytest.mark.skipif(
    not (shutil.which("pdflatex") and shutil.which("pdftotext")),
    reason="pdflatex and pdftotext are needed")


@needs_engine
def test_example_report_compiles_to_a_pdf_showing_its_content(tmp_path):
    result = subprocess.run([sys.executable, str(EXAMPLE)], cwd=tmp_path,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
    out = tmp_path / "out"
    pdf = out / "report.pdf"
    assert pdf.exists()
    assert {"report.tex", "report.pdf", "sales.csv", "file0.png", "file1.png"} <= {
        p.name for p in out.iterdir()}
    assert not (out / "report.aux").exists() and not (out / "report.log").exists()
    assert result.stdout == "wrote out/report.pdf (3 pdflatex runs)\n"
    text = subprocess.run(["pdftotext", "-layout", str(pdf), "-"], capture_output=True,
                          text=True, check=True).stdout
    # The contents and the references have settled.
    assert "??" not in text
    assert re.search(r"Contents\s+1 Sales by region\s+1\s+2 Units per quarter", text), text
    assert re.search(r"Figure 1 shows two images drawn by the script;\s+section 1 has the sales "
                     r"by region and section 5 the weekly log, from page 2\.", text), text
    for shown in ["Quarterly sales report", "region grew by a tenth this quarter",
                  "under $3,000 per week", "Two images drawn by the script",
                  "Colour gradient", "Units per region", "Sales by region", "Total revenue",
                  "60646.50", "Units per quarter", "framed minipage", "Framed box", "scaled to half the line width",
                  "The raw figures are attached", "Encodes an RGB image as PNG",
                  "Week 52: "]:
        assert shown in text, shown
