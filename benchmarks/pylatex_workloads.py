"""The same documents written with PyLaTeX 1.4.2, the way its users write them.

PyLaTeX is installed only into the benchmark environment (scripts/bench.sh);
it is a point of comparison, never a dependency of pagewright. Each function
takes the input of the matching workload in `workloads` and returns the
document's text. PyLaTeX escapes more characters and wraps some constructs
differently (a `subfigure` environment instead of `\\subfloat`, for one), so
the texts are not equal to pagewright's, only the same documents.
"""

from pylatex import (Command, Document, FBox, Figure, Label, LongTable, Marker,
                     MiniPage, NoEscape, Section, SubFigure, Tabular, escape_latex)
from pylatex.base_classes.containers import Fragment

from .workloads import W2_HEADER


def w1_report(sections):
    doc = Document()
    for s in sections:
        with doc.create(Section(s['title'], label=False)) as sec:
            sec.append(s['paragraph'])
            with sec.create(Tabular('lrrrr')) as table:
                table.add_hline()
                for cells in s['rows']:
                    table.add_row(cells)
                table.add_hline()
            with sec.create(Figure(position='t')) as fig:
                for panel in s['panels']:
                    with fig.create(SubFigure(width=NoEscape(r'0.45\linewidth'))) as sub:
                        with sub.create(MiniPage(width=NoEscape(r'0.95\linewidth'),
                                                 pos='t')) as page:
                            page.append(panel)
                fig.add_caption(s['caption'])
                fig.append(Label(Marker(s['label'][4:], 'fig')))
            sec.append(FBox(data=s['note']))
            sec.append(Command('par'))
    return doc.dumps()


def w2_longtable(rows):
    doc = Document()
    with doc.create(LongTable('rllrrr')) as table:
        table.add_hline()
        table.add_row(W2_HEADER)
        table.add_hline()
        table.end_table_header()
        for r in rows:
            table.add_row(r)
        table.add_hline()
    return doc.dumps()


def w3_rows(rows):
    frag = Fragment()
    with frag.create(Tabular('llrl')) as table:
        for cells in rows:
            table.add_row(cells)
    return frag.dumps()


def w4_escaping(strings):
    for s in strings:
        escape_latex(s)
    frag = Fragment()
    for s in strings:
        frag.append(s)
    return frag.dumps()


def w6_small_documents(documents):
    texts = []
    for d in documents:
        doc = Document()
        for line in d['lines']:
            doc.append(line)
        with doc.create(Tabular('lr')) as table:
            for row in d['rows']:
                table.add_row(row)
        texts.append(doc.dumps())
    return ''.join(texts)


WORKLOADS = {'W1': w1_report, 'W2': w2_longtable, 'W3': w3_rows,
             'W4': w4_escaping, 'W6': w6_small_documents}
