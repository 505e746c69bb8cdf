"""Soak test: every public entry point of pagewright, called many times,
must not grow memory.

    python benchmarks/soak.py [--calls N] [--slow-calls N] [--only TEXT]

runs itself in two child processes at once, one with the fast paths and
one with PAGEWRIGHT_NO_FAST_PATHS=1, and prints one table. For each entry
point (a function, a method, a constructor, a `with` construct, or an error
path: wrong argument types, unknown keywords, a block that raises) it runs a
warm-up, then N calls (default 10**6) under tracemalloc, and reports:

- traced B/call: the growth of tracemalloc's traced memory, after a full
  collection, from the end of a traced warm-up to the end of the N calls,
  divided by N;
- RSS B/call: the growth of the process's resident set over the N calls,
  divided by N (pages, so noisy: it is reported, not judged per entry);
- ns: the time of a call under tracing, several times the time without.

The calls use fresh small objects: a new context, environment, table or
document every 100 calls, so that no buffer grows for ever. Files go to a
temporary directory, on a memory file system where there is one.
compile_tex, run_pdflatex and clean_temporary_files run with the module's
`subprocess` replaced by a stand-in returning a chosen exit status: every
call runs all of the library's code, but no TeX engine. The entry points
that spend most of their time outside the library (in the file system, or
in the stand-in packages' Python code) get a tenth of the calls
(--slow-calls); the others get N.

The run fails (exit 1) when
- an entry point's traced growth exceeds 0.01 bytes per call and 16 KiB in
  all (room for a cache filled, or a table rebuilt, once while tracing):
  any object kept by the library on a call is at least 16 bytes, so at
  10**6 calls this catches a leak on one call in 1,000;
- the process's resident set grows by more than 4 MiB from the end of the
  first warm-up to the end of the run: this catches memory taken outside
  the Python allocator at 4 bytes per call or more over 10**6 calls of one
  entry point;
- an entry point raises what it should not, or a child process dies;
- a public function or method of the twelve submodules has no entry here.
"""

import argparse
import contextlib
import gc
import importlib
import io
import itertools
import json
import os
import subprocess
import sys
import tempfile
import time
import tracemalloc

NO_FAST = 'PAGEWRIGHT_NO_FAST_PATHS'
MODULES = ['structures', 'compile_latex', 'envs', 'utils', 'ifs', 'context', 'environment',
           'file_utils', 'document', 'frags', 'figure', 'tabular']
FRESH_EVERY = 100
TRACED_PER_CALL = 0.01
TRACED_FLOOR = 16 * 1024
RSS_LIMIT = 4 * 1024 ** 2
PAGE = os.sysconf('SC_PAGE_SIZE')


# ---------------------------------------------------------------- entry points

class Entry:
    """`op(obj)` makes one call of the entry point `covers`, or one call of
    each of a group of `size` entry points; `make()` gives the fresh object
    it works on. With `error`, each call must raise it. A `slow` entry
    spends its time in the file system or in Python code outside the
    library, and gets fewer calls (--slow-calls)."""

    def __init__(self, label, covers, op, make=None, every=FRESH_EVERY, error=None, size=1,
                 slow=False):
        self.label, self.covers, self.make, self.every, self.size, self.slow = (
            label, covers, make, every, size, slow)
        self.op = op if error is None else raising(error, op)

    def run(self, n):
        op, make = self.op, self.make
        full, rest = divmod(n, self.every)
        for size in itertools.chain(itertools.repeat(self.every, full), [rest] if rest else []):
            obj = make() if make else None
            for _ in itertools.repeat(None, size):
                op(obj)


def raising(error, op):
    def call(obj):
        try:
            op(obj)
        except error:
            return
        raise AssertionError('no %s' % error.__name__)
    return call


def entries(tmp):
    from pagewright import compile_latex, context, envs, environment, figure, ifs, tabular
    from pagewright.context import LatexContext, UsePackage
    from pagewright.document import LatexDocument
    from pagewright.environment import LatexEnvironment
    from pagewright.figure import Figure, StructureError, SubFigure
    from pagewright.file_utils import make_sure_dir_exists
    from pagewright.frags import latex_document, latex_fragment
    from pagewright.structures import BadTex
    from pagewright.tabular import Tabular
    from pagewright.utils import begin_end, latex_escape

    Row = Tabular.Row
    text = 'Cost: 50% & more_{x} ~^\\ é€😀'
    out = io.StringIO

    def env():
        return LatexEnvironment(LatexContext(tmp))

    def ctx():
        context = LatexContext(tmp)
        context.use_package('a', {'k': 'v', 'flag': None})
        context.require_package('b')
        return context

    def table(env_name='tabular'):
        return Tabular(['l', 'r'], LatexContext(), env_name)

    def long_row():
        return Row(FRESH_EVERY, LatexContext())

    def doc():
        return LatexDocument('article', 'a4paper', tmp)

    def new_figure():
        return Figure('Cap', 'fig:a', 't', LatexContext(), False)

    def new_subfigure():
        return SubFigure('Sub', 'fig:s', LatexContext())

    def raise_inside(manager):
        with manager:
            raise KeyError

    def enter_twice(manager):
        with manager:
            pass
        with manager:
            pass

    def full_table(e):
        with e.tabular(['l', 'r']) as t:
            with t.row() as r:
                r.cell_tex('a')
                with r.cell() as c:
                    c.text(text)
            t.hline()
            t.row_tex('1', '2')

    def figure_with_subfigure(e):
        with e.figure(caption='c', label='l') as f:
            with f.subfigure(caption='s', label='t') as s:
                s.tex('x')

    good_tex, bad_tex, bad_log = (os.path.join(tmp, name)
                                  for name in ['good.tex', 'bad.tex', 'bad.log'])
    for name, content in [(good_tex, ''), (bad_tex, ''),
                          (bad_log, '! Undefined control sequence.\nl.3 \\foo\n')]:
        with open(name, 'w') as f:
            f.write(content)
    doc_file = os.path.join(tmp, 'out', 'doc.tex')
    fragment_file = os.path.join(tmp, 'out', 'fragment.tex')

    E = Entry
    yield from [
        # structures
        E('BadTex()', 'structures.BadTex', lambda _: BadTex('message')),
        # compile_latex, through the stand-in subprocess
        E('compile_tex, run succeeds', 'compile_latex.compile_tex',
          lambda _: compile_latex.compile_tex(good_tex), slow=True),
        E('compile_tex, run fails: BadTex with the log note', 'compile_latex.compile_tex',
          lambda _: compile_latex.compile_tex(bad_tex, tmp), error=BadTex, slow=True),
        E('compile_tex, missing file', 'compile_latex.compile_tex',
          lambda _: compile_latex.compile_tex(os.path.join(tmp, 'missing.tex')),
          error=AssertionError),
        E('run_pdflatex', 'compile_latex.run_pdflatex',
          lambda _: compile_latex.run_pdflatex('good', tmp), slow=True),
        E('clean_temporary_files', 'compile_latex.clean_temporary_files',
          lambda _: compile_latex.clean_temporary_files(os.path.join(tmp, 'nothing')),
          slow=True),
        # envs
        E('envs.env', 'envs.env', lambda _: envs.env('center', text, '[t]')),
        E('envs.minipage', 'envs.minipage', lambda _: envs.minipage('3cm', text)),
        E('envs.verbatim', 'envs.verbatim', lambda _: envs.verbatim(text)),
        E('envs.enclose', 'envs.enclose', lambda _: envs.enclose('textbf', text)),
        E('envs.protect', 'envs.protect', lambda _: envs.protect(text)),
        E('envs.small', 'envs.small', lambda _: envs.small(text)),
        E('envs.footnotesize', 'envs.footnotesize', lambda _: envs.footnotesize(text)),
        E('envs.texttt', 'envs.texttt', lambda _: envs.texttt(text)),
        E('envs.emph', 'envs.emph', lambda _: envs.emph(text)),
        E('envs.verbatim_soft', 'envs.verbatim_soft', lambda _: envs.verbatim_soft(text)),
        E('envs.color_rgb', 'envs.color_rgb', lambda _: envs.color_rgb(text, (1, 0, '0.5'))),
        E('envs.fbox', 'envs.fbox', lambda _: envs.fbox(text)),
        E('envs.hspace', 'envs.hspace', lambda _: envs.hspace('1cm')),
        E('envs.env, int content', 'envs.env', lambda _: envs.env('c', 3), error=TypeError),
        E('envs.verbatim_soft, int', 'envs.verbatim_soft', lambda _: envs.verbatim_soft(3),
          error=AttributeError),
        E('envs.color_rgb, short colour', 'envs.color_rgb', lambda _: envs.color_rgb('x', (1,)),
          error=IndexError),
        # utils
        E('latex_escape', 'utils.latex_escape', lambda _: latex_escape(text)),
        E('latex_escape, int', 'utils.latex_escape', lambda _: latex_escape(5),
          error=AttributeError),
        E('latex_escape, bytes', 'utils.latex_escape', lambda _: latex_escape(b'x'),
          error=TypeError),
        E('with begin_end(stream, name, dict)', 'utils.begin_end',
          lambda _: with_write(begin_end(out(), 'center', {'k': 'v'}))),
        E('with begin_end(...): raise', 'utils.begin_end',
          lambda _: raise_inside(begin_end(out(), 'center', 't')), error=KeyError),
        E('begin_end entered twice', 'utils.begin_end',
          lambda _: enter_twice(begin_end(out(), 'center')), error=RuntimeError),
        E('begin_end(int)', 'utils.begin_end',
          lambda _: begin_end(3, 'center').__enter__(), error=AttributeError),
        # ifs
        E('texif', 'ifs.texif', lambda _: ifs.texif('\\a', 'yes', 'no')),
        E('makeupcmd', 'ifs.makeupcmd', lambda _: ifs.makeupcmd('name2')),
        E('makecmd', 'ifs.makecmd', lambda e: ifs.makecmd(e, 'label_3'), make=env),
        E('safecmd', 'ifs.safecmd', lambda _: ifs.safecmd('a_b1-9')),
        E('makecmd, no tex method', 'ifs.makecmd', lambda _: ifs.makecmd(3, 'x'),
          error=AttributeError),
        # context
        E('LatexContext()', 'context.LatexContext', lambda _: LatexContext()),
        E('LatexContext(), f and preamble read', 'context.LatexContext',
          lambda _: read_buffers(LatexContext())),
        E('vars(LatexContext())', 'context.LatexContext', lambda _: vars(LatexContext())),
        E('LatexContext attributes get and set', 'context.LatexContext', native_attributes,
          make=LatexContext),
        E('LatexContext.child', 'context.LatexContext.child', lambda c: c.child(), make=ctx),
        E('LatexContext.generate_file_id', 'context.LatexContext.generate_file_id',
          lambda c: c.generate_file_id(), make=ctx),
        E('LatexContext.dump_preamble', 'context.LatexContext.dump_preamble',
          lambda c: c.dump_preamble(out()), make=ctx),
        E('LatexContext.require_package, from a child', 'context.LatexContext.require_package',
          lambda c: c.child().require_package('b'), make=ctx),
        E('LatexContext.use_package', 'context.LatexContext.use_package',
          lambda c: c.use_package('c', {'k': 'v'}), make=ctx),
        E('LatexContext.use_package, unhashable', 'context.LatexContext.use_package',
          lambda c: c.use_package([]), make=ctx, error=TypeError),
        E('UsePackage()', 'context.UsePackage', lambda _: UsePackage('a', {'k': 'v'})),
        E('UsePackage.dump_preamble', 'context.UsePackage.dump_preamble',
          lambda u: u.dump_preamble(out()), make=lambda: UsePackage('a', {'k': 'v', 'f': None})),
        E('UsePackage.dump_preamble, int stream', 'context.UsePackage.dump_preamble',
          lambda u: u.dump_preamble(3), make=lambda: UsePackage('a'), error=AttributeError),
        E('dict_to_latex_option_string', 'context.dict_to_latex_option_string',
          lambda _: context.dict_to_latex_option_string({'a': 'b', 'c': None})),
        # environment: writers
        E('LatexEnvironment()', 'environment.LatexEnvironment', lambda c: LatexEnvironment(c),
          make=LatexContext),
        E('make_options_string', 'environment.make_options_string',
          lambda _: environment.make_options_string(width='1cm', keep=True, drop=None)),
        *[E('LatexEnvironment.' + label, 'environment.LatexEnvironment.' + label.split('(')[0],
            op, make=env, error=error, slow=label.split('(')[0] in SLOW_WRITERS)
          for label, op, error in environment_calls(text)],
        # environment: constructs
        *[E('with LatexEnvironment.' + label, 'environment.LatexEnvironment.' + label.split('(')[0],
            op, make=env)
          for label, op in construct_calls()],
        E('with minipage(): raise', 'environment.LatexEnvironment.minipage',
          lambda e: raise_inside(e.minipage('1cm')), make=env, error=KeyError),
        E('minipage entered twice', 'environment.LatexEnvironment.minipage',
          lambda e: enter_twice(e.minipage('1cm')), make=env, error=RuntimeError),
        E('with tabular(str alignment)', 'environment.LatexEnvironment.tabular',
          lambda e: e.tabular('lr').__enter__(), make=env, error=AssertionError),
        E('a whole table', 'environment.LatexEnvironment.tabular', full_table, make=env),
        E('a figure with a sub-figure', 'environment.LatexEnvironment.figure',
          figure_with_subfigure, make=env),
        # document
        E('LatexDocument()', 'document.LatexDocument', lambda _: LatexDocument()),
        E('LatexDocument.dump_stream', 'document.LatexDocument.dump_stream',
          lambda d: d.dump_stream(out()), make=doc),
        E('LatexDocument.fullpage', 'document.LatexDocument.fullpage', lambda d: d.fullpage(),
          make=doc),
        E('LatexDocument.write_to_file', 'document.LatexDocument.write_to_file',
          lambda d: d.write_to_file(doc_file), make=doc, slow=True),
        E('LatexDocument.dump_stream, int stream', 'document.LatexDocument.dump_stream',
          lambda d: d.dump_stream(3), make=doc, error=AttributeError),
        # frags
        E('with latex_document(stream)', 'frags.latex_document',
          lambda _: with_body(latex_document(out(), tmp))),
        E('with latex_document(file)', 'frags.latex_document',
          lambda _: with_body(latex_document(doc_file)), slow=True),
        E('with latex_document(): raise', 'frags.latex_document',
          lambda _: raise_inside(latex_document(out())), error=KeyError),
        E('with latex_document(int)', 'frags.latex_document',
          lambda _: with_body(latex_document(3, tmp)), error=AttributeError),
        E('with latex_fragment(stream)', 'frags.latex_fragment',
          lambda _: with_body(latex_fragment(out(), tmp))),
        E('with latex_fragment(file)', 'frags.latex_fragment',
          lambda _: with_body(latex_fragment(fragment_file)), slow=True),
        E('with latex_fragment(): raise', 'frags.latex_fragment',
          lambda _: raise_inside(latex_fragment(out(), tmp)), error=KeyError),
        # file_utils
        E('make_sure_dir_exists', 'file_utils.make_sure_dir_exists',
          lambda _: make_sure_dir_exists(tmp)),
        E('make_sure_dir_exists, under a file', 'file_utils.make_sure_dir_exists',
          lambda _: make_sure_dir_exists(os.path.join(good_tex, 'd')), error=NotADirectoryError,
          slow=True),
        E('make_sure_dir_exists(None)', 'file_utils.make_sure_dir_exists',
          lambda _: make_sure_dir_exists(None), error=TypeError),
        # figure
        E('Figure()', 'figure.Figure', lambda c: Figure('Cap', 'fig:a', 't', c, True),
          make=LatexContext),
        E('Figure.figure', 'figure.Figure.figure', lambda f: f.figure(), make=new_figure,
          error=StructureError),
        E('Figure.dump', 'figure.Figure.dump', lambda f: f.dump(LatexContext()),
          make=new_figure),
        E('Figure.dump, int context', 'figure.Figure.dump', lambda f: f.dump(3),
          make=new_figure, error=AttributeError),
        E('StructureError()', 'figure.StructureError', lambda _: StructureError('x')),
        E('SubFigure()', 'figure.SubFigure', lambda c: SubFigure('Sub', 'fig:s', c),
          make=LatexContext),
        E('SubFigure.figure', 'figure.SubFigure.figure', lambda s: s.figure(),
          make=new_subfigure, error=StructureError),
        E('SubFigure.subfigure', 'figure.SubFigure.subfigure', lambda s: s.subfigure(),
          make=new_subfigure, error=StructureError),
        E('SubFigure.dump', 'figure.SubFigure.dump', lambda s: s.dump(LatexContext()),
          make=new_subfigure),
        E('with Figure.subfigure', 'environment.LatexEnvironment.subfigure',
          lambda f: with_body(f.subfigure('s', 'l')), make=new_figure),
        # tabular
        E('Tabular()', 'tabular.Tabular', lambda c: Tabular(['l', 'c', 'r'], c, 'longtable'),
          make=LatexContext),
        E('Tabular(), bad alignment', 'tabular.Tabular', lambda c: Tabular(['x'], c),
          make=LatexContext, error=AssertionError),
        E('Tabular.hline', 'tabular.Tabular.hline', lambda t: t.hline(), make=table),
        E('Tabular.endhead', 'tabular.Tabular.endhead', lambda t: t.endhead(),
          make=lambda: table('longtable')),
        E('with Tabular.row', 'tabular.Tabular.row', tabular_row, make=table),
        E('with Tabular.row: raise', 'tabular.Tabular.row', lambda t: raise_inside(t.row()),
          make=table, error=KeyError),
        E('Tabular.row_tex', 'tabular.Tabular.row_tex', lambda t: t.row_tex('1', text),
          make=table),
        E('Tabular.row_tex, too many', 'tabular.Tabular.row_tex',
          lambda t: t.row_tex('1', '2', '3'), make=table, error=Exception),
        E('Tabular.dump', 'tabular.Tabular.dump', lambda t: t.dump(LatexContext()),
          make=table),
        E('Tabular.Row()', 'tabular.Tabular.Row', lambda c: Row(2, c), make=LatexContext),
        E('Row.cell_tex', 'tabular.Tabular.Row.cell_tex', lambda r: r.cell_tex(text),
          make=long_row),
        E('Row.cell_tex, one too many', 'tabular.Tabular.Row.cell_tex',
          lambda r: r.cell_tex('x'), make=lambda: Row(0, LatexContext()), error=Exception),
        E('with Row.cell', 'tabular.Tabular.Row.cell', lambda r: with_body(r.cell()),
          make=long_row),
        E('Row.multicolumn_tex', 'tabular.Tabular.Row.multicolumn_tex',
          lambda r: r.multicolumn_tex(1, 'c', text), make=long_row),
    ]
    yield from unknown_keyword_groups(env, doc, new_figure, new_subfigure, table, long_row, ctx,
                                      lambda: UsePackage('a'))


def read_buffers(c):
    return c.f, c.preamble


def native_attributes(c):
    c.count = c.count + 1
    c.graphics_path = c.graphics_path
    c.parent = c.parent


def with_body(manager):
    with manager as target:
        target.tex('x')


def with_write(manager):
    with manager as stream:
        stream.write('x')


def tabular_row(t):
    with t.row() as r:
        r.cell_tex('a')
        r.cell_tex('b')


# The writers that save files; graphics_data also checks its arguments
# with the stand-in contract package, in Python.
SLOW_WRITERS = {'textattachfile', 'save_graphics_data', 'graphics_data'}


def environment_calls(text):
    """(label, op, expected error) for the writer methods of an environment."""
    return [
        ('color', lambda e: e.color(1, 0, 0.5), None),
        ('hfill', lambda e: e.hfill(), None),
        ('vfill', lambda e: e.vfill(), None),
        ('hspace', lambda e: e.hspace('1cm'), None),
        ('hspace(two-tuple)', lambda e: e.hspace(('1cm', '2cm')), TypeError),
        ('vspace', lambda e: e.vspace('1cm'), None),
        ('parbreak', lambda e: e.parbreak(), None),
        ('linebreak', lambda e: e.linebreak(), None),
        ('pagebreak', lambda e: e.pagebreak(), None),
        ('rule', lambda e: e.rule('1cm', '2pt', 'red'), None),
        ('text', lambda e: e.text(text), None),
        ('text(int)', lambda e: e.text(5), AttributeError),
        ('tabular_simple', lambda e: e.tabular_simple([[1, '2%']], ['a'], ['x', 'y']), None),
        ('tabular_simple(int)', lambda e: e.tabular_simple(3, 3, 3), TypeError),
        ('tex', lambda e: e.tex(text), None),
        ('tex(int)', lambda e: e.tex(5), TypeError),
        ('input', lambda e: e.input('chapter'), None),
        ('use_package', lambda e: e.use_package('p', {'k': 'v'}), None),
        ('textattachfile', lambda e: e.textattachfile('data.csv', 'a,b\n', 'the data'), None),
        ('save_graphics_data', lambda e: e.save_graphics_data(b'\x89PNG', 'image/png', 'g'),
         None),
        ('graphics_data', lambda e: e.graphics_data('x', 'text/plain', width='3cm', keep=True),
         None),
        ('graphics_data(unknown MIME type)', lambda e: e.graphics_data('x', 'no/such'),
         Exception),
        ('medskip', lambda e: e.medskip(), None),
        ('footnotesize', lambda e: e.footnotesize(), None),
        ('lstlisting', lambda e: e.lstlisting('x = 1\n', 'Python'), None),
        ('lstlisting(int)', lambda e: e.lstlisting(5), TypeError),
    ]


def construct_calls():
    """(label, op) for the `with` constructs of an environment."""
    def block(method, *args, **kwargs):
        def op(e):
            with getattr(e, method)(*args, **kwargs) as target:
                body(target)
        return op
    return [
        ('figure', block('figure', caption='c', label='l', placement='h', double=True)),
        ('tabular', block('tabular', ['l', 'r'], 'longtable')),
        ('longtable', block('longtable', ['l'])),
        ('minipage', block('minipage', '3cm', 'b', True)),
        ('minipage_bottom', block('minipage_bottom', '3cm')),
        ('fbox', block('fbox', '2pt')),
        ('resizebox', block('resizebox', '\\linewidth')),
        ('mbox', block('mbox', '3cm', 'r')),
        ('tightbox', block('tightbox')),
        ('subfigure', block('subfigure', 'caption', 'label')),
    ]


def body(target):
    target.tex('x')


def unknown_keyword_groups(*makers):
    """Entry points called with a keyword they do not take, in groups: one
    for the functions and classes of the modules, one for the methods of
    each class (on an object that `makers` make)."""
    targets = {type(maker()): maker for maker in makers}
    functions = [f for _, name, f in public_functions() if name not in KEYWORDS_TAKEN]
    functions += [cls for _, cls in public_classes()]
    yield Entry('functions and classes (%d), unknown keyword' % len(functions), None,
                lambda _: call_each(functions), size=len(functions))
    for cls, maker in targets.items():
        methods = [getattr(cls, name) for name in public_methods(cls)
                   if cls.__name__ + '.' + name not in KEYWORDS_TAKEN]
        yield Entry('%s.* (%d), unknown keyword' % (cls.__name__, len(methods)), None,
                    lambda obj, methods=methods: call_each(methods, obj), make=maker,
                    size=len(methods))


# The functions that take any keyword.
KEYWORDS_TAKEN = {'make_options_string', 'LatexEnvironment.graphics_data', 'Figure.figure',
                  'SubFigure.figure', 'SubFigure.subfigure'}


def call_each(functions, *args):
    for function in functions:
        try:
            function(*args, no_such_keyword=1)
        except TypeError:
            continue
        raise AssertionError('%s took an unknown keyword' % function.__qualname__)


# ---------------------------------------------------------------- the public surface

def public_functions():
    """(module, name, function) for each public function defined in a submodule."""
    for module_name in MODULES:
        module = importlib.import_module('pagewright.' + module_name)
        for name, value in vars(module).items():
            if (not name.startswith('_') and callable(value) and not isinstance(value, type)
                    and getattr(value, '__module__', None) == module.__name__):
                yield module_name, name, value


def public_classes():
    for module_name in MODULES:
        module = importlib.import_module('pagewright.' + module_name)
        for name, value in vars(module).items():
            if (not name.startswith('_') and isinstance(value, type)
                    and value.__module__ == module.__name__):
                yield module_name + '.' + name, value
                for inner_name, inner in vars(value).items():
                    if isinstance(inner, type) and not inner_name.startswith('_'):
                        yield module_name + '.' + name + '.' + inner_name, inner


def public_methods(cls):
    return [name for name, value in vars(cls).items()
            if not name.startswith('_') and callable(value) and not isinstance(value, type)]


def public_surface():
    names = {module + '.' + name for module, name, _ in public_functions()}
    for qualified, cls in public_classes():
        names.add(qualified)
        names.update(qualified + '.' + name for name in public_methods(cls))
    return names


# ---------------------------------------------------------------- measuring

def under_sanitizer():
    """AddressSanitizer's allocator holds freed memory back: the resident
    set then says nothing about leaks (the traced memory still does)."""
    return 'asan' in os.environ.get('LD_PRELOAD', '')


def rss():
    with open('/proc/self/statm') as statm:
        return int(statm.read().split()[1]) * PAGE


def measure(entry, calls):
    """The growth of traced memory and of the resident set over `calls`
    calls, from the end of a traced warm-up (which fills the caches that
    the calls use, allocated anew once tracing starts) to the end, and the
    seconds the calls took."""
    gc.collect()
    tracemalloc.start()
    entry.run(max(calls // 50, min(calls, 1000)))
    gc.collect()
    traced_before, _ = tracemalloc.get_traced_memory()
    rss_before = rss()
    started = time.perf_counter()
    entry.run(calls)
    seconds = time.perf_counter() - started
    gc.collect()
    traced = tracemalloc.get_traced_memory()[0] - traced_before
    tracemalloc.stop()
    return traced, rss() - rss_before, seconds


def measuring_overhead():
    """The bytes that measure() itself leaves traced (the numbers it keeps)."""
    return measure(Entry('nothing', None, lambda _: None), 1)[0]


def child_main(args):
    from pagewright import compile_latex

    started = time.perf_counter()
    rows, failures = [], []
    # A memory file system where there is one: overwriting a file on a disk
    # can take a millisecond, a thousand times the call around it.
    memory = '/dev/shm' if os.path.isdir('/dev/shm') else None
    with tempfile.TemporaryDirectory(dir=memory) as tmp, \
            contextlib.redirect_stdout(Discard()):
        compile_latex.subprocess = Subprocess
        chosen = list(entries(tmp))
        missing = public_surface() - {entry.covers for entry in chosen}
        failures += ['no entry for %s' % name for name in sorted(missing)]
        chosen = [entry for entry in chosen if not args.only or args.only in entry.label]
        for entry in chosen:
            try:
                entry.run(max(1, min(args.calls // 100, 10_000)))
            except Exception as error:
                failures.append('%s: %s: %s' % (entry.label, type(error).__name__, error))
        overhead = measuring_overhead()
        gc.collect()
        rss_start = rss()
        for entry in chosen:
            calls = args.slow_calls if entry.slow else args.calls
            try:
                traced, grown, seconds = measure(entry, calls)
            except Exception as error:
                failures.append('%s: %s: %s' % (entry.label, type(error).__name__, error))
                continue
            traced -= overhead
            n = calls * entry.size
            rows.append([entry.label, calls, traced / n, grown / n, seconds / n * 1e9])
            if traced > max(TRACED_PER_CALL * n, TRACED_FLOOR):
                failures.append('%s: %d bytes traced after %d calls' % (entry.label, traced, n))
        gc.collect()
        rss_end = rss()
    if rss_end - rss_start > RSS_LIMIT and not under_sanitizer():
        failures.append('resident set grew by %d bytes' % (rss_end - rss_start))
    json.dump({'rows': rows, 'failures': failures, 'rss_start': rss_start, 'rss_end': rss_end,
               'seconds': time.perf_counter() - started, 'python': sys.version.split()[0]},
              sys.stdout)
    return 0


class Discard:
    """A stream that keeps nothing (a file on os.devnull buffers what is
    printed, which tracing would count)."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


class Subprocess:
    """Stands in for the subprocess module in pagewright.compile_latex: the
    engine's run on a file named bad fails, every other run succeeds."""
    DEVNULL = subprocess.DEVNULL
    returncode = 0

    class Failed:
        returncode = 1

    @classmethod
    def run(cls, command, cwd, stdin, stdout, stderr):
        return cls.Failed if command[-1] == 'bad' else cls


# ---------------------------------------------------------------- the two modes

MODES = [('fast paths', False), ('generic', True)]


def parent_main(args):
    base = {k: v for k, v in os.environ.items() if k != NO_FAST}
    command = [sys.executable, os.path.abspath(__file__), '--child', '--calls', str(args.calls),
               '--slow-calls', str(args.slow_calls)] + (['--only', args.only] if args.only else [])
    procs = [subprocess.Popen(command, stdout=subprocess.PIPE,
                              env=dict(base, **{NO_FAST: '1'}) if generic else base)
             for _, generic in MODES]
    results, failed = [], False
    for (mode, _), proc in zip(MODES, procs):
        stdout, _ = proc.communicate()
        if proc.returncode != 0:
            print('%s: child process ended with status %d' % (mode, proc.returncode))
            failed = True
        results.append(json.loads(stdout) if proc.returncode == 0 else None)
    return 1 if report(results) or failed else 0


def report(results):
    """Prints the table of both modes; whether any run failed."""
    print('%-52s %9s' % ('per call', 'calls') +
          ''.join('  %-10s %8s %8s %7s' % (mode, 'traced B', 'RSS B', 'ns') for mode, _ in MODES))
    by_mode = [{row[0]: row for row in r['rows']} if r else {} for r in results]
    labels = list(dict.fromkeys(label for rows in by_mode for label in rows))
    for label in labels:
        calls = next(rows[label][1] for rows in by_mode if label in rows)
        cells = ['  %-10s %8.4f %8.3f %7.0f' % ('', *rows[label][2:]) if label in rows
                 else '  %-10s %8s %8s %7s' % ('', '-', '-', '-') for rows in by_mode]
        print('%-52s %9d%s' % (label[:52], calls, ''.join(cells)))
    failed = False
    for (mode, _), r in zip(MODES, results):
        if not r:
            continue
        print('%s (Python %s): max traced %.4f B/call, max RSS %.3f B/call, RSS %.1f MiB -> '
              '%.1f MiB, %.0f s' % (
                  mode, r['python'], max([row[2] for row in r['rows']], default=0),
                  max([row[3] for row in r['rows']], default=0), r['rss_start'] / 2 ** 20,
                  r['rss_end'] / 2 ** 20, r['seconds']))
        for failure in r['failures']:
            print('  FAIL %s' % failure)
            failed = True
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--calls', type=int, default=10 ** 6, help='calls per entry point')
    parser.add_argument('--slow-calls', type=int,
                        help='calls per entry point that writes files or runs the stand-in '
                             'engine (default: a tenth of --calls)')
    parser.add_argument('--only', help='only the entry points whose label holds this text')
    parser.add_argument('--child', action='store_true', help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.slow_calls is None:
        args.slow_calls = max(1, args.calls // 10)
    return child_main(args) if args.child else parent_main(args)


if __name__ == '__main__':
    sys.exit(main())
