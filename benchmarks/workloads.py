"""The six document-building workloads, written with pagewright.

Each workload has a `prepare_*` function that builds its input (texts,
cell values) outside the timed region, and a function that takes that input,
builds the document and returns its final text. `SIZES` gives the size of one
full run; the quick smoke test uses `QUICK_SIZES`.
"""

import contextlib
import io

import pagewright

SIZES = {'W1': 3_000, 'W2': 400_000, 'W3': 20_000, 'W4': 80_000, 'W5': 10_000,
         'W6': 15_000, 'nested': 10_000}
QUICK_SIZES = {'W1': 3, 'W2': 50, 'W3': 20, 'W4': 40, 'W5': 5, 'W6': 4, 'nested': 30}

# 400 characters of prose with a few of the characters that text() escapes.
PARAGRAPH = (
    "Revenue in the northern region grew by 12 percent over the quarter, "
    "driven by the new_product line and a price change of $3 per unit. "
    "Costs stayed flat in {most} regions; the exception was the coastal "
    "office, where freight^2 rose sharply. We expect the trend to continue "
    "into the next quarter, with a margin near the target range set by "
    "the board at the start of the year, and small gains elsewhere. "
)
assert len(PARAGRAPH) == 400, len(PARAGRAPH)

# 199 characters of prose and a newline, for the escaping workload.
PROSE = (
    "The committee met on the second day and reviewed cost_items, {notes} and "
    "the figure of $12 per seat; one member asked whether x^2 growth was "
    "plausible, and the chair agreed to check the number again.\n"
)
assert len(PROSE) == 200, len(PROSE)

ALIGN_5 = ['l', 'r', 'r', 'r', 'r']
ALIGN_6 = ['r', 'l', 'l', 'r', 'r', 'r']
W2_HEADER = ('Id', 'Date', 'Item', 'Quantity', 'Price', 'Total')


# ---------------------------------------------------------------- inputs

def prepare_w1(sections):
    rows = [['Item %d' % j] + ['%d.%02d' % (j * k, k) for k in range(1, 5)]
            for j in range(20)]
    return [{
        'title': 'Section %d' % i,
        'section': '\\section{Section %d}\n' % i,
        'paragraph': PARAGRAPH,
        'rows': rows,
        'caption': 'Figure of section %d' % i,
        'label': 'fig:s%d' % i,
        'panels': ['Left panel of section %d.\n' % i, 'Right panel of section %d.\n' % i],
        'note': 'Note %d: totals are rounded_to cents.' % i,
    } for i in range(sections)]


def prepare_w2(rows):
    items = ['widget', 'gadget', 'sprocket', 'flange', 'gear', 'bolt']
    out = []
    for i in range(rows):
        quantity = i % 17 + 1
        price = (i % 97) + 0.5
        out.append(('%d' % i, '2024-%02d-%02d' % (i % 12 + 1, i % 28 + 1),
                    items[i % len(items)], '%d' % quantity, '%.2f' % price,
                    '%.2f' % (quantity * price)))
    return out


def prepare_w3(rows):
    return [('row %d' % i, 'name_%d' % i, '$%d' % (i * 3), 'ok {%d}' % (i % 7))
            for i in range(rows)]


def prepare_w4(strings):
    # Each string differs from the next so nothing can be cached per value.
    return ['%06d ' % i + PROSE[7:] for i in range(strings)]


def prepare_w5(figures):
    return ['Boxed text of figure %d, with value_%d.' % (i, i) for i in range(figures)]


def prepare_w6(documents):
    return [{
        'lines': ('Invoice %d for customer_%d.\n' % (i, i % 50),
                  'Amount due: $%d.%02d\n' % (i % 900, i % 100),
                  'Please pay within {30} days.\n'),
        'rows': (('Net', '%d.00' % (i % 500)), ('Tax', '%d.50' % (i % 40))),
    } for i in range(documents)]


def prepare_nested(depth):
    return depth


PREPARE = {'W1': prepare_w1, 'W2': prepare_w2, 'W3': prepare_w3, 'W4': prepare_w4,
           'W5': prepare_w5, 'W6': prepare_w6, 'nested': prepare_nested}


# ---------------------------------------------------------------- workloads

def w1_report(sections):
    buf = io.StringIO()
    with pagewright.latex_document(buf, graphics_path='.') as doc:
        for s in sections:
            doc.tex(s['section'])
            doc.text(s['paragraph'])
            with doc.tabular(ALIGN_5) as table:
                table.hline()
                for cells in s['rows']:
                    with table.row() as row:
                        row.cell_tex(cells[0])
                        row.cell_tex(cells[1])
                        row.cell_tex(cells[2])
                        row.cell_tex(cells[3])
                        row.cell_tex(cells[4])
                table.hline()
            with doc.figure(caption=s['caption'], label=s['label']) as fig:
                for panel in s['panels']:
                    with fig.subfigure() as sub:
                        with sub.minipage('0.95\\linewidth', 't') as page:
                            page.tex(panel)
            with doc.fbox() as box:
                box.text(s['note'])
            doc.parbreak()
    return buf.getvalue()


def w2_longtable(rows):
    buf = io.StringIO()
    with pagewright.latex_document(buf, graphics_path='.') as doc:
        doc.use_package('longtable')
        with doc.longtable(ALIGN_6) as table:
            table.hline()
            table.row_tex(*W2_HEADER)
            table.hline()
            table.endhead()
            for r in rows:
                table.row_tex(*r)
            table.hline()
    return buf.getvalue()


def w3_cell_blocks(rows):
    buf = io.StringIO()
    with pagewright.latex_fragment(buf, graphics_path='.') as frag:
        with frag.tabular(['l', 'l', 'r', 'l']) as table:
            for cells in rows:
                with table.row() as row:
                    for x in cells:
                        with row.cell() as cell:
                            cell.text(x)
    return buf.getvalue()


def w4_escaping(strings):
    # The escaping function on every string, then the escaping writer on
    # every string; only the writer's output is the workload's text.
    escape = pagewright.latex_escape
    for s in strings:
        escape(s)
    buf = io.StringIO()
    with pagewright.latex_fragment(buf, graphics_path='.') as frag:
        for s in strings:
            frag.text(s)
    return buf.getvalue()


def w5_nesting(texts):
    buf = io.StringIO()
    with pagewright.latex_document(buf, graphics_path='.') as doc:
        for t in texts:
            with doc.figure() as fig:
                with fig.subfigure() as sub:
                    with sub.minipage('0.5\\linewidth') as page:
                        with page.fbox() as box:
                            box.text(t)
    return buf.getvalue()


def w6_small_documents(documents):
    texts = []
    for d in documents:
        buf = io.StringIO()
        with pagewright.latex_document(buf, graphics_path='.') as doc:
            line1, line2, line3 = d['lines']
            doc.text(line1)
            doc.text(line2)
            doc.text(line3)
            with doc.tabular(['l', 'r']) as table:
                row1, row2 = d['rows']
                table.row_tex(*row1)
                table.row_tex(*row2)
        texts.append(buf.getvalue())
    return ''.join(texts)


def nested_minipages(depth):
    """`depth` minipages nested in one another around one line of text."""
    buf = io.StringIO()
    with pagewright.latex_fragment(buf, graphics_path='.') as frag:
        with contextlib.ExitStack() as stack:
            env = frag
            for _ in range(depth):
                env = stack.enter_context(env.minipage('0.5\\linewidth'))
            env.text('The innermost line of text.\n')
    return buf.getvalue()


WORKLOADS = {'W1': w1_report, 'W2': w2_longtable, 'W3': w3_cell_blocks,
             'W4': w4_escaping, 'W5': w5_nesting, 'W6': w6_small_documents,
             'nested': nested_minipages}


# ---------------------------------------------------------------- floor

def floor_input(name, text):
    """The lines the floor writes: one list per document (several for W6)."""
    if name == 'W6':
        docs = text.split('\\end{document}\n')
        assert docs[-1] == ''
        return [(d + '\\end{document}\n').splitlines(keepends=True) for d in docs[:-1]]
    return [text.splitlines(keepends=True)]


def floor(documents):
    """Writes each document's lines into a new io.StringIO, one write per line."""
    texts = []
    for lines in documents:
        buf = io.StringIO()
        write = buf.write
        for line in lines:
            write(line)
        texts.append(buf.getvalue())
    return ''.join(texts)
