"""Random programs over pagewright's whole API, for the two randomised checks.

One description of the API drives both: the kinds of object with the attributes the
library reads from them and the methods it calls on them (KINDS), the constructs and
methods with the sorts of their arguments (OPENERS, BLOCKS, MADE, METHODS), the values
of each sort, plain, odd and hostile (SORTS), what a program may look at (LOOKS) and
replace in the library (PATCHES), and the actions of hostile callbacks (Run.act_*).
programs() draws programs for hypothesis; Run runs one.

- test_fast_paths.py runs programs in two child processes (this file as a script), with
  and without the fast paths, and compares what they did: the listing of the steps as
  run, with every exception and every call the library made into the program's Python
  code, what the program looked at, vars() of every object and the files.
- test_hostile.py runs them in its own process, for survival.
Every run keeps the oracles of survival: nothing crashes, no SystemError (a C function
that failed without setting an exception, or set one and succeeded), a buffer's text is
a str and a finished document is whole.

A program is a list of steps: a line of Python, a with-block over a body of steps (that
may end by raising), an object made by hand with a body that uses it, or a look at a
value. A step names the program's objects by placeholders (`env0`, `ctx2`), resolved as
it runs: index 0 is the innermost object of that kind in use (a with-target, an object
being made), then the others, latest first; so a program still means something after a
callback exited its blocks or dropped its objects. Each object a step makes is named
o1, o2, ...; the steps as run, with those names, form the listing that a failure shows.

A hostile value or callback carries a plan, a list of (action, number) pairs: each time
the library calls into it, it first runs the next action of its plan (exit or enter
blocks, drop objects, replace attributes, instance dicts, classes or methods, write into
buffers, patch the library, collect garbage, raise), then answers as a harmless value
would. Actions are also steps of their own.
"""

import builtins
import contextlib
import copy
import fcntl
import gc
import io
import json
import mimetypes
import os
import pickle
import re
import signal
import sys
import types
from functools import lru_cache

from hypothesis import strategies as st

import pagewright
from pagewright import LatexContext, LatexDocument, LatexEnvironment

WORLD = None  # the Run that is running: hostile callbacks act on it
R, O, K, P, STAR = "required", "optional", "keyword only", "positional only", "variadic"

# ----------------------------------------------------------------------------------------
# Values, as source text: (plain, odd, hostile). Plain programs take plain ones, hostile
# programs any; a hostile value carries a plan (PLAN).

HOSTILE = ["HStr('s_', PLAN)", "Hostile(PLAN)"]
SORTS = {
    "text": (["'x'", "'a_b'", "'50% & more'", "'\\\\a{b}^$'"],
             ["''", "'line\\n'", "'\\u00e9\\u20ac'", "'\\U0001f600'", "'\\ud800'", "MyStr('s_')",
              "'ab' * 2000", "'\\u20ac' * 2000 + 'x'", "'\\U0001f600' * 1000", "'y' * 5000", "3",
              "None", "1.5", "('a',)", "('a', 'b')", "['l']", "{}", "b'x'", "Raising('__str__')",
              "Raising('__bool__')", "Raising()", "2**70", "True"], HOSTILE),
    "size": (["'1cm'", "'0.5\\\\linewidth'"], ["''", "3", "('1cm',)", "('1cm', '2cm')", "None",
                                               "Raising('__str__')", "1.5", "MyInt(2)",
                                               "MyStr('2cm')"], HOSTILE),
    "flag": (["False", "True"], ["0", "1", "None", "''", "'x'", "Raising('__bool__')"],
             ["Hostile(PLAN)", "HInt(0, PLAN)"]),
    "int": (["2", "0", "1"], ["3", "-1", "True", "2**70", "'2'", "None", "1.5", "MyInt(1)"],
            ["HInt(2, PLAN)", "Hostile(PLAN)"]),
    "name": (["'pkg'", "'caption'", "'graphicx'"],
             ["'longtable'", "'b'", "['x']", "None", "3", "MyStr('pkg')"], HOSTILE),
    "options": (["None", "{}", "{'k': 'v'}"],
                ["{'k': None}", "{'a': 'b', 'c': None, 'd': 'e'}", "0", "''", "'opts'",
                 "Raising()", "{'k': 3}"],
                ["HDict({'k': 'v'}, PLAN)", "Hostile(PLAN)", "{'k': Hostile(PLAN)}"]),
    "packages": (["{}"], ["None", "{'x': 3}"], ["HDict({}, PLAN)", "Hostile(PLAN)"]),
    "alignment": (["['l', 'r']", "['c']", "['p{3cm}', 'l', 'c']", "['l', 'c', 'r', 'p{1cm}']"],
                  ["[]", "['l', '|', 'r']", "'lr'", "('l',)", "['c{']", "['x']", "[3]",
                   "[MyStr('l')]", "['{c}']", "None"],
                  ["HList(['l', 'c'], PLAN)", "[Hostile(PLAN)]", "[HStr('l', PLAN)]"]),
    "tabenv": (["'tabular'", "'longtable'"], ["'array'", "None", "['tabular']"], HOSTILE),
    "caption": (["'A'", "None"], ["''", "3", "('a', 'b')", "'50%_x'", "Raising('__str__')"],
                HOSTILE),
    "label": (["'fig:a'", "None"], ["''", "0", "3", "('a',)", "('a', 'b')",
                                    "Raising('__str__')"], HOSTILE),
    "placement": (["'t'", "''"], ["None", "'h!'", "('a',)", "('a', 'b')", "{'k': 'v'}", "0"],
                  HOSTILE),
    "align": (["'t'", "''"], ["'b'", "3", "None"], HOSTILE),
    "position": (["'c'", "'r'"], ["3"], HOSTILE),
    "path": (["'.'", "'g'"], ["'g/h'", "''", "None", "3"], HOSTILE),
    "stream": (["io.StringIO()", "Rec()", "`buf0`"],
               ["Rec('old text')", "Sink()", "Broken()", "3", "None"],
               ["HStream(PLAN)", "Hostile(PLAN)"]),
    "buffer": (["io.StringIO()", "Rec()"],
               ["io.StringIO('pre')", "Rec('pre')", "Sink()", "None", "Broken()", "`ctx1`.f"],
               ["HStream(PLAN)"]),
    "filename": (["'out/doc.tex'", "'out/deep/d.tex'"],
                 ["MyStr('out/s.tex')", "'doc.tex'", "b'out/b.tex'", "'out'"],
                 ["Hostile(PLAN)", "HStr('out/s.tex', PLAN)"]),
    "mime": (["pagewright.MIME_PLAIN", "pagewright.MIME_JPG"],
             ["pagewright.MIME_PNG", "'application/x-unknown-kind'", "None", "3"], HOSTILE),
    "gid": (["None", "'g'"], ["'fig.v1/a'", "'a/b'", "3", "''", "MyStr('s.t')"], HOSTILE),
    "basename": (["'data.csv'", "'sub/d.txt'"], ["'x.txt'", "''", "3"], HOSTILE),
    "data": (["[[1, 2], [3, 4]]", "[['a'], []]"],
             ["[]", "None", "{0: ['x%']}", "[['&', '%_'], ('t',)]", "[[Raising('__str__')]]",
              "[[('a', 'b')]]"], ["HList([HList(['a'], PLAN)], PLAN)", "Hostile(PLAN)"]),
    "cells": (["['a', 'b']", "['x', 'y']"],
              ["[]", "['r']", "'ab'", "None", "[('x',)]", "iter(['x'])", "('x', 'y', 'z')"],
              ["HList(['a', HStr('b', PLAN)], PLAN)", "Hostile(PLAN)"]),
    "cols": (["[]"], ["None", "('t',)", "['a', 3]"], ["HList([], PLAN)"]),
    "language": (["None", "'TeX'"], ["''", "3", "('a', 'b')"], HOSTILE),
    "classname": (["'article'", "'book'"], ["None", "3"], HOSTILE),
    "context": (["LatexContext()", "`env0`.context", "`ctx0`", "`ctx0`.child()"],
                ["None", "MyInt(3)"], ["Hostile(PLAN)"]),
}
SORTS["dest"] = tuple(a + b for a, b in zip(SORTS["filename"], SORTS["stream"]))
TEXTS = st.text(st.sampled_from("ab_{}^$\\%&#~ \n\u00e9\ud800\U0001f600"), max_size=6)

# ----------------------------------------------------------------------------------------
# The API. Each kind of object: where its class lives, the attributes the library reads
# from it (with their sorts) and the methods the library calls on the object itself.

KINDS = {
    "ctx": ("pagewright.context", "LatexContext",
            [("f", "buffer"), ("preamble", "buffer"), ("parent", "context"),
             ("graphics_path", "path"), ("count", "int"), ("packages", "packages")],
            ["child", "use_package", "generate_file_id", "dump_preamble", "require_package"]),
    "env": ("pagewright.environment", "LatexEnvironment", [("context", "context"), ("tag", "text")],
            ["tex", "text", "use_package", "fbox", "tightbox", "minipage", "save_graphics_data",
             "hfill"]),
    "doc": ("pagewright.document", "LatexDocument",
            [("document_class", "classname"), ("class_options", "text")], ["dump_stream"]),
    "tab": ("pagewright.tabular", "Tabular",
            [("ncols", "int"), ("alignment", "alignment"), ("env", "tabenv")],
            ["dump", "row_tex", "hline"]),
    "row": ("pagewright.tabular", "Tabular.Row", [("cols", "cols"), ("col", "int"),
                                                   ("ncols", "int"), ("context", "context"),
                                                   ("tag", "text")], ["cell_tex"]),
    "fig": ("pagewright.figure", "Figure", [("caption", "caption"), ("label", "label"),
                                            ("placement", "placement"), ("double", "flag")],
            ["dump"]),
    "sub": ("pagewright.figure", "SubFigure", [("caption", "caption"), ("label", "label")],
            ["dump"]),
    "pkg": ("pagewright.context", "UsePackage", [("name", "name"), ("options", "options")],
            ["dump_preamble"]),
}
BASE = {"doc": "env", "tab": "env", "fig": "env", "sub": "env"}
LIBRARY = ["doc", "tab", "fig", "sub", "row", "pkg", "env", "ctx"]  # the most specific first

# (kind of receiver, method, [(parameter, sort, how it may be passed)])
METHODS = [("env", name, params) for name, params in [
    ("tex", [("tex", "text", R)]), ("text", [("t", "text", R)]), ("hfill", []), ("vfill", []),
    ("parbreak", []), ("linebreak", []), ("pagebreak", []), ("medskip", []),
    ("footnotesize", []), ("hspace", [("size", "size", R)]), ("vspace", [("size", "size", R)]),
    ("color", [("r", "size", R), ("g", "size", R), ("b", "size", R)]),
    ("rule", [("width", "size", R), ("height", "size", R), ("color", "text", O)]),
    ("input", [("filename", "text", R)]),
    ("use_package", [("name", "name", R), ("options", "options", O)]),
    ("tabular_simple", [("data", "data", R), ("row_desc", "cells", R), ("col_desc", "cells", R),
                        ("write_col_desc", "flag", O)]),
    ("lstlisting", [("code", "text", R), ("language", "language", O)]),
    ("graphics_data", [("data", "text", R), ("mime", "mime", R), ("gid", "gid", O),
                       ("width", "size", K), ("keepaspectratio", "flag", K), ("angle", "int", K),
                       ("clip", "flag", K), ("height", "size", K)]),
    ("textattachfile", [("basename", "basename", R), ("data", "text", R), ("text", "text", R)]),
    ("save_graphics_data", [("data", "text", R), ("mime", "mime", R), ("gid", "gid", R)]),
    # the context's buffers, used directly as callers may
    ("context.f.write", [("s", "text", P)]), ("context.preamble.write", [("s", "text", P)]),
    ("context.f.seek", [("pos", "int", P)]), ("context.f.truncate", [("size", "int", P)]),
    ("context.f.close", []),
]] + [
    ("tab", "hline", []), ("tab", "endhead", []), ("tab", "row_tex", [("cols", "text", STAR)]),
    ("tab", "dump", [("main_context", "context", R)]),
    ("fig", "dump", [("main_context", "context", R)]),
    ("sub", "dump", [("main_context", "context", R)]),
    ("doc", "dump_stream", [("f", "stream", R)]), ("doc", "fullpage", []),
    ("doc", "write_to_file", [("filename", "filename", R)]),
    ("row", "cell_tex", [("tex", "text", O)]),
    ("row", "multicolumn_tex", [("n", "int", R), ("align", "text", R), ("tex", "text", R)]),
    ("ctx", "child", []), ("ctx", "generate_file_id", []),
    ("ctx", "use_package", [("name", "name", R), ("options", "options", O)]),
    ("ctx", "require_package", [("name", "name", R)]),
    ("ctx", "dump_preamble", [("f", "stream", R)]), ("pkg", "dump_preamble", [("f", "stream", R)]),
    ("buf", "getvalue", []), ("buf", "write", [("s", "text", P)]),
]
# What ends the use of an object made by hand.
# Writes of an object's whole text into a context or stream, which may be its own: repeated,
# they double it each round.
DOUBLING = {"dump", "dump_stream"}
FINISH = {"doc": ["dump_stream", "write_to_file"], "tab": ["dump"], "fig": ["dump"],
          "sub": ["dump"], "pkg": ["dump_preamble"], "ctx": ["dump_preamble", "generate_file_id"]}
# Context managers: (kind of receiver, method, parameters, kind of the with-target).
BLOCKS = [
    ("env", "minipage", [("width", "size", R), ("align", "align", O), ("fbox", "flag", O)], "env"),
    ("env", "figure", [("caption", "caption", O), ("label", "label", O),
                       ("placement", "placement", O), ("double", "flag", O)], "fig"),
    ("env", "tabular", [("alignment", "alignment", R), ("env", "tabenv", O)], "tab"),
    ("env", "subfigure", [("caption", "caption", O), ("label", "label", O)], "sub"),
    ("env", "fbox", [("sep", "size", O)], "env"),
    ("env", "longtable", [("alignment", "alignment", R)], "tab"),
    ("env", "minipage_bottom", [("width", "size", R)], "env"), ("env", "tightbox", [], "env"),
    ("env", "resizebox", [("width", "size", R)], "env"),
    ("env", "mbox", [("width", "size", O), ("position", "position", O)], "env"),
    ("tab", "row", [], "row"), ("row", "cell", [], "env"),
]
OPENERS = [  # the module's functions that make context managers
    ("pagewright.latex_document", [("filename_or_stream", "dest", R), ("graphics_path", "path", O),
                                   ("document_class", "classname", O),
                                   ("class_options", "text", O)], "doc"),
    ("pagewright.latex_fragment", [("filename_or_stream", "dest", R),
                                   ("graphics_path", "path", O)], "env"),
    ("pagewright.begin_end", [("stream", "stream", R), ("env_name", "text", R),
                              ("options", "options", O)], "buf"),
]
# Objects made by hand: (kind, constructor, parameters). Hostile<class> is the Python
# subclass of a library class whose overrides log their calls and strike.
MADE = [
    ("ctx", "LatexContext", [("graphics_path", "path", O)]),
    ("ctx", "HostileLatexContext", [("graphics_path", "path", O)]), ("ctx", "`ctx0`.child", []),
    ("env", "LatexEnvironment", [("context", "context", R)]),
    ("env", "HostileLatexEnvironment", [("context", "context", R)]),
    ("doc", "LatexDocument", [("document_class", "classname", O), ("class_options", "text", O),
                              ("graphics_path", "path", O)]),
    ("doc", "HostileLatexDocument", []),
    ("tab", "Tabular", [("alignment", "alignment", R), ("context", "context", R),
                        ("env", "tabenv", O)]),
    ("tab", "HostileTabular", [("alignment", "alignment", R), ("context", "context", R)]),
    ("row", "Row", [("ncols", "int", R), ("context", "context", R)]),
    ("fig", "Figure", [("caption", "caption", R), ("label", "label", R),
                       ("placement", "placement", R), ("context", "context", R),
                       ("double", "flag", R)]),
    ("sub", "SubFigure", [("caption", "caption", R), ("label", "label", R),
                          ("context", "context", R)]),
    ("pkg", "UsePackage", [("name", "name", R), ("options", "options", O)]),
    ("pkg", "HostileUsePackage", [("name", "name", R), ("options", "options", O)]),
]
REINIT = {"ctx": "", "doc": "", "env": "LatexContext()", "tab": "['l'], LatexContext()",
          "row": "2, LatexContext()", "fig": "'c', 'l', 't', LatexContext(), False",
          "sub": "'c', 'l', LatexContext()", "pkg": "'p'"}
LOOKS = [(kind, "`it`." + text) for kind, texts in [
    ("env", ["context.f.getvalue()", "context.f", "context.preamble.getvalue()",
             "context.packages", "context.parent", "context.generate_file_id()", "context.count"]),
    ("ctx", ["f.getvalue()", "parent", "generate_file_id()", "packages", "f",
             "preamble.getvalue()"]),
    ("row", ["cols", "col", "ncols"]), ("tab", ["ncols", "alignment", "env"]),
    ("fig", ["caption", "label"]), ("sub", ["caption", "label"]), ("buf", ["getvalue()"]),
] for text in texts] + [("row", "' & '.join(`it`.cols)")] + [("obj", text) for text in [
    "`it`", "vars(`it`)", "`it`.__dict__", "copy.copy(`it`)", "type(`it`)", "copy.deepcopy(`it`)",
    "pickle.loads(pickle.dumps(`it`))", "getattr(`it`, 'context', 'missing')",
    "sorted(m for m in sys.modules if m.startswith('pagewright'))"]]
# Replacements of module globals and class attributes that the library reads at call time.
PATCHES = ["patch(%s, %r, %s)" % entry for entry in [
    ("module('pagewright.tabular')", "Tabular", "HostileTabular"),
    ("module('pagewright.tabular')", "LatexEnvironment", "HostileLatexEnvironment"),
    ("module('pagewright.figure')", "Figure", "HostileFigure"),
    ("module('pagewright.figure')", "SubFigure", "HostileSubFigure"),
    ("module('pagewright.figure')", "begin_end", "fake_begin_end"),
    ("module('pagewright.figure')", "StructureError", "MyError"),
    ("Tabular", "allowed", "HList(['l', 'r', 'c', 'p', 'x'], standing())"),
    ("Tabular", "allowed", "['l']"), ("Tabular", "envs", "['tabular', 'array']"),
    ("Tabular", "Row", "HostileRow"),
    ("pagewright.environment", "LatexEnvironment", "HostileLatexEnvironment"),
    ("pagewright.environment", "make_options_string", "lambda **params: '|'.join(params)"),
    ("pagewright.environment", "latex_escape", "str.upper"),
    ("pagewright.environment", "os", "fake_os"),
    ("pagewright.environment", "mimetypes", "fake_mimetypes"),
    ("pagewright.environment", "MIME_PLAIN", "'image/png'"),
    ("pagewright.frags", "LatexDocument", "HostileLatexDocument"),
    ("pagewright.frags", "LatexContext", "HostileLatexContext"),
    ("pagewright.frags", "LatexEnvironment", "HostileLatexEnvironment"),
    ("pagewright.frags", "os", "fake_os"),
    ("pagewright.frags", "make_sure_dir_exists", "logged('make_sure_dir_exists', repr)"),
    ("pagewright.document", "LatexContext", "HostileLatexContext"),
    ("pagewright.document", "make_sure_dir_exists", "logged('make_sure_dir_exists', repr)"),
    ("pagewright.context", "UsePackage", "HostileUsePackage"),
    ("pagewright.context", "StringIO", "Rec"),
    ("pagewright.context", "dict_to_latex_option_string", "lambda **params: '|'.join(params)"),
    ("LatexEnvironment", "tex", "loud"), ("LatexEnvironment", "hfill", "loud"),
    ("LatexEnvironment", "use_package", "loud"),
    ("LatexEnvironment", "minipage", "LatexEnvironment.fbox"),
    ("LatexContext", "extra", "'class attribute'"), ("HostileLatexEnvironment", "hfill", "loud"),
    ("HostileLatexContext", "child", "LatexContext.child"),
    ("os.path", "join", "lambda a, *rest: real_join(a, *rest).replace('/', '//')"),
    ("os.path", "dirname", "logged('dirname', os.path.dirname)"),
    ("os.path", "exists", "logged('exists', os.path.exists)"),
    ("os", "makedirs", "logged('makedirs', os.makedirs)"), ("os", "getcwd", "fake_os.getcwd"),
    ("mimetypes", "guess_extension", "fake_mimetypes.guess_extension"),
    ("builtins", "open", "logged('open', open)"),
] + [(cls, name, "traced(%s, %r)" % (cls, name)) for cls, names in [
    ("LatexContext", KINDS["ctx"][3]), ("LatexDocument", ["dump_stream"]),
    ("LatexEnvironment", ["tex", "use_package", "save_graphics_data", "tightbox", "fbox",
                          "minipage"]),
    ("Tabular", ["dump", "row_tex"]), ("Row", ["cell_tex"]), ("Figure", ["dump"])]
    for name in names]] + ["patch(HostileLatexDocument, 'hfill')", "grow(Tabular.allowed, 'x')"]
# A class attribute in place of the descriptor of an attribute that objects hold natively
# hides it from the objects made before, with the fast paths only (the one difference of
# native attributes, which keep no dict to fall back on): such a patch comes only before
# a program makes objects.
FIRST_PATCHES = ["patch(LatexEnvironment, 'context', 'class attribute')"]
ORIGINAL = {}  # kind: the library's class, recorded when its module is first seen


def module(name):
    """Imports a module of the library and records its classes before anything replaces
    them (the library imports some of its modules only when first used)."""
    __import__(name)
    for kind, (where, path, _, _) in KINDS.items():
        if where == name and kind not in ORIGINAL:
            ORIGINAL[kind] = sys.modules[where]
            for part in path.split("."):
                ORIGINAL[kind] = getattr(ORIGINAL[kind], part)
    return sys.modules[name]


def classes_of(kinds):
    """The classes of the kinds given (a space between them), as far as a program can
    have objects of them: the library's own, whatever replaced them since."""
    found = ()
    for kind in kinds.split():
        if kind == "buf":
            found += (io.StringIO, HStream)
        elif kind == "obj":
            found += classes_of("ctx env row pkg")
        elif kind in ORIGINAL or KINDS[kind][0] in sys.modules and module(KINDS[kind][0]):
            found += (ORIGINAL[kind],)
    return found


def kinds_of(obj):
    return [kind for kind in LIBRARY if isinstance(obj, classes_of(kind))]


# ----------------------------------------------------------------------------------------
# Values and callbacks.

class Boom(Exception):
    """Raised on purpose: by a block's body, by a hostile callback."""

    @classmethod
    def throw(cls, number):
        raise cls(number)


MyError = type("MyError", (Exception,), {})


class Rec(io.StringIO):
    """A text buffer that also keeps each write as a separate item."""

    def __init__(self, initial=""):
        super().__init__(initial)
        self.writes = []

    def write(self, text):
        self.writes.append(text)
        return super().write(text)


class Sink:
    """A stream with write and nothing else."""

    def __init__(self):
        self.parts = []

    def write(self, text):
        self.parts.append(text)


class Broken:
    def write(self, text):
        raise OSError("disk full")


class MyStr(str):
    """A str subclass whose own methods show when they are used."""

    def __str__(self):
        return "<%s>" % str.__str__(self)

    def replace(self, old, new, count=-1):
        return MyStr(str.replace(self, old, new.upper(), count))


class MyInt(int):
    def __str__(self):
        return "int %d" % self


def churn():
    """Fills the interpreter's free lists, so that an object freed next is really freed
    and a pointer left to it shows up under the sanitizers."""
    junk = [({i: i}, [i], (i, None), float(i)) for i in range(100)]
    del junk


def strike(plan, subject=None):
    """Runs the next action of `plan` on the running program; `subject` is the object the
    callback belongs to, which the actions prefer. Only Boom (raised on purpose) and
    SystemError (a fault of the library) get out; other errors of an action are its own."""
    world = WORLD
    if world is None or not plan or world.depth >= 2:
        return
    name, number = plan.pop(0)
    world.depth += 1
    churn()
    try:
        world.act(name, subject, number)
    except (Boom, SystemError):
        raise
    except Exception as error:
        world.note(world.indent + 1, "(%s)" % error_text(error))
    finally:
        world.depth -= 1
        churn()


class Hostile:
    """A value whose every protocol strikes first, then answers as a harmless value."""

    def __init__(self, plan):
        self.plan = plan


def answering(name, answer):
    def protocol(self, *args):
        strike(self.plan)
        return iter([answer]) if name == "__iter__" else answer
    return protocol


# replace, items and index are what the library calls on a label, an option mapping and
# a column entry.
for _name, _answer in {
        "__str__": "h", "__repr__": "Hostile()", "__format__": "h", "__bool__": True,
        "__len__": 1, "__iter__": "h", "__getitem__": "h", "__contains__": True, "__eq__": False,
        "__hash__": 7, "__fspath__": "out/hostile.tex", "replace": "h", "items": (("k", "h"),),
        "__add__": 1, "__radd__": 1, "__gt__": False, "__lt__": False, "__index__": 1,
        "index": 0}.items():
    setattr(Hostile, _name, answering(_name, _answer))


def raiser(name):
    def protocol(self, *args):
        raise RuntimeError("no " + name.strip("_"))
    return protocol


def Raising(*protocols):
    """A value whose protocols given raise (its repr too with its str); none given: str,
    bool, len, iter, getitem and eq, and it is unhashable."""
    names = protocols or ("__str__", "__bool__", "__len__", "__iter__", "__getitem__", "__eq__")
    namespace = {name: raiser(name) for name in names + ("__repr__",) * ("__str__" in names)}
    namespace.update({} if protocols else {"__hash__": None})
    return type("Raising", (), namespace)()


def hostile_type(base, methods):
    """A subclass of a builtin type whose methods given strike first; the function
    returned makes one from a value and a plan."""

    def make(method):
        def hostile_method(self, *args):
            strike(self.plan)
            return getattr(base, method)(self, *args)
        return hostile_method

    namespace = {method: make(method) for method in methods}
    namespace["__repr__"] = lambda self: "H%s(%s)" % (base.__name__, base.__repr__(self))
    cls = type("Hostile" + base.__name__, (base,), namespace)

    def new(value, plan):
        made = cls(value)
        made.plan = plan
        return made
    return new


HStr = hostile_type(str, ["__eq__", "__hash__", "__str__", "__format__", "replace"])
HInt = hostile_type(int, ["__eq__", "__hash__", "__str__", "__format__", "__add__", "__radd__",
                          "__gt__", "__lt__", "__index__"])
HList = hostile_type(list, ["append", "__len__", "__iter__", "__contains__", "__getitem__",
                            "index"])
HDict = hostile_type(dict, ["items", "values", "__len__", "__contains__", "__setitem__"])


class HStream:
    """A stream whose write strikes first, then keeps the text."""

    def __init__(self, plan, subject=None):
        self.plan, self.subject, self.parts = plan, subject, []

    def write(self, text):
        strike(self.plan, self.subject)
        self.parts.append(text)
        return len(text) if isinstance(text, str) else 0

    def getvalue(self):
        strike(self.plan, self.subject)
        return "".join(p for p in self.parts if isinstance(p, str))

    def close(self):
        self.parts = None


class HKey:
    """A key planted in an instance dict: it hashes as `name`, so every lookup of that name
    (or of a name missing from the dict that lands on it) calls its __eq__."""

    def __init__(self, name, plan, subject):
        self.name, self.plan, self.subject = name, plan, subject

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        if not QUIET[0]:
            strike(self.plan, self.subject)
        return False

    def __repr__(self):
        return "HKey(%r)" % self.name


# CPython's own generic setattr and delattr hold the instance dict without a reference
# while they look the name up: a planted key that replaced the dict then would crash the
# interpreter itself, whoever called. The harness's own assignments are made quietly,
# and keys of the names that the library assigns on live objects (col, count) never
# replace the dict.
QUIET = [0]
ASSIGNED_BY_LIBRARY = ("col", "count")


def quietly(function, *args):
    QUIET[0] += 1
    try:
        return function(*args)
    finally:
        QUIET[0] -= 1


def plant_first(namespace, key):
    """Puts `key` first in the dict, so that lookups of its name probe it before the real
    entry."""
    entries = quietly(dict, namespace)
    namespace.clear()
    namespace[key] = None
    quietly(namespace.update, entries)


class Bomb:
    """Cyclic garbage whose finalizer strikes when the collector runs, which (with a low
    threshold) is at any allocation, inside the library's own code too."""

    def __init__(self, plan):
        self.plan, self.cycle = plan, self

    def __del__(self):
        try:
            strike(self.plan)
        except BaseException:  # noqa: B036 - nothing may leave a finalizer
            pass


def called(label, args=(), kwargs=None):
    """Logs a call of the library into the program's Python code."""
    if WORLD is not None:
        shown = [WORLD.name_of(a) for a in args]
        shown += ["%s=%s" % (k, WORLD.name_of(v)) for k, v in (kwargs or {}).items()]
        WORLD.note(WORLD.indent + 1, "call %s(%s)" % (label, ", ".join(shown)))


def standing():
    """The plan of the hostile subclasses, patches and finalizers."""
    return WORLD.standing if WORLD is not None else []


def traced(owner, name):
    """owner.name (owner a class or an object), wrapped to log each call and strike with
    the standing plan first."""
    original = getattr(owner, name)
    label = owner.__name__ if isinstance(owner, type) else WORLD.name_of(owner)

    def wrapper(*args, **kwargs):
        called("%s.%s" % (label, name), args, kwargs)
        strike(standing())
        return original(*args, **kwargs)
    return wrapper


def subclass_of(kind):
    """The Python subclass of a library class whose overrides log the call, strike with
    the standing plan and do what the base does. No new slots: objects of the base can be
    switched to it and back."""
    if kind not in SUBCLASSES:
        def override(name):
            def method(self, *args, **kwargs):
                called("%s.%s" % (cls.__name__, name), (self,) + args, kwargs)
                strike(standing(), self)
                return getattr(super(cls, self), name)(*args, **kwargs)
            return method

        base = classes_of(kind)[0]
        names = ["__init__"] + [n for k in (kind, BASE.get(kind)) if k for n in KINDS[k][3]]
        namespace = {name: override(name) for name in names if hasattr(base, name)}
        namespace.update(__slots__=(), **({"allowed": ["x", "l"]} if kind == "tab" else {}))
        cls = SUBCLASSES[kind] = type("Hostile" + base.__name__, (base,), namespace)
    return SUBCLASSES[kind]


SUBCLASSES = {}


def loud(self, *args, **kwargs):
    """Stands in for a writer method: shows its arguments in the body buffer."""
    self.context.f.write("!%d%s" % (len(args), "".join(sorted(kwargs))))


@contextlib.contextmanager
def fake_begin_end(stream, env_name, options=None):
    strike(standing())
    stream.write("<begin>")
    yield stream
    stream.write("<end>")


def logged(label, function):
    def wrapper(*args, **kwargs):
        called(label, args, kwargs)
        return function(*args, **kwargs)
    return wrapper


real_join, real_open, MISSING = os.path.join, builtins.open, object()
fake_os = types.SimpleNamespace(
    path=types.SimpleNamespace(join=lambda a, b: "%s+%s" % (a, b), dirname=os.path.dirname,
                               exists=os.path.exists, relpath=os.path.relpath,
                               splitext=os.path.splitext),
    makedirs=os.makedirs, getcwd=lambda: "cwd", unlink=os.unlink)
fake_mimetypes = types.SimpleNamespace(guess_extension=lambda mime: ".dat")


def patch(owner, name, value=MISSING):
    """Sets (or deletes) owner.name until the program ends."""
    before = vars(owner).get(name, MISSING)
    setattr(owner, name, value) if value is not MISSING else delattr(owner, name)
    WORLD.undo.append((owner, name, before))


def grow(items, item):
    """Appends to a list of the library in place, until the program ends."""
    items.append(item)
    WORLD.undo.append((items, None, item))


def act(name, subject, k, plan=()):
    """A step's action on one of the program's objects."""
    WORLD.act(name, subject, k, list(plan))


def enter(manager):
    return WORLD.enter(manager)


# ----------------------------------------------------------------------------------------
# Programs, as hypothesis draws them. The zero draw of every choice is the simplest one
# (the first entry of a menu, no optional extra), so a failing program shrinks towards
# fewer and plainer steps. A step is [kind, guarded, text, extra]: an exception leaves a
# guarded step only for the listing; extra is how many times a "do" runs, a "make"'s body,
# a "with"'s [body, number of the Boom it raises at the end, or None].

# What a plan's steps may be: those that free what the library holds come up more often.
# A finalizer runs when the collector does, which differs between the modes: only the
# survival run has them.
PLAN_STEPS = ["set", "delete", "read", "call", "reinit", "rebind", "swap_dict", "write",
              "swap_class", "override", "patch", "drop", "enter", "exit", "exit_raising",
              "collect", "raise", "swap_dict", "swap_dict", "swap_dict", "drop", "drop", "set",
              "reinit", "rebind", "exit"]
ONLY_SURVIVAL = ["bomb"]
MUTATIONS = ["set", "set", "delete", "read", "reinit", "rebind", "swap_dict", "write",
             "swap_class", "override", "call"]
TRAPS = ["plant", "plant", "stream", "set", "swap_class"]  # before the library works on it
FAULTS = ["missing", "extra", "unknown", "twice"]
INTEGERS = {}


def do(text, guard=False, times=1):
    return ["do", guard, text, times]


def with_step(text, body, raising=None, guard=False):
    return ["with", guard, text, [body, raising]]


class Builder:
    MAX_DEPTH = 5

    def __init__(self, draw, survival):
        self.draw, self.survival = draw, survival  # survival: any action, finalizers too
        self.striking = survival or self.chance(25)  # hostile values and callbacks
        self.hostile = self.striking or self.chance(50)  # odd values and wrong arguments
        self.patching = self.chance(30)
        self.budget = self.number(3, 25)
        self.scope = []  # kinds of the objects in use around the step being made
        self.looping = False

    def number(self, low, high):
        """An integer from low to high; the strategies are made once and reused (cheaper)."""
        if (low, high) not in INTEGERS:
            INTEGERS[low, high] = st.integers(low, high)
        return self.draw(INTEGERS[low, high])

    def choose(self, options):
        return options[self.number(0, len(options) - 1)]

    def chance(self, percent):
        """True with about this probability; false for the simplest draw (zero)."""
        return self.number(0, 99) >= 100 - percent

    def plan(self):
        steps = PLAN_STEPS + ONLY_SURVIVAL * self.survival
        return [(self.choose(steps), self.number(0, 11)) for _ in range(self.number(1, 4))]

    def value(self, sort):
        plain, odd, hostile = SORTS[sort]
        if self.striking and self.chance(40 if self.survival else 20):
            return self.choose(hostile).replace("PLAN", repr(self.plan()))
        if sort == "text" and self.chance(30):
            return repr(self.draw(TEXTS))
        return self.choose(plain if not self.hostile or self.chance(50) else plain + odd)

    def arguments(self, params):
        """Argument text for a call: some positional, the rest by keyword; sometimes with a
        required argument missing, one too many, an unknown keyword or one given twice."""
        if params and params[0][2] == STAR:
            return ", ".join(self.value(params[0][1]) for _ in range(self.number(0, 3)))
        fault = self.choose(FAULTS) if self.hostile and self.chance(12) else None
        used = [p for p in params if p[2] in (R, P) or self.chance(40)]
        if fault == "missing" and any(p[2] == R for p in used):
            used.remove([p for p in used if p[2] == R][-1])
        leading = 0
        while leading < len(used) and used[leading] is params[leading] and used[leading][2] != K:
            leading += 1
        positional = max(self.number(0, leading), sum(p[2] == P for p in used))
        pieces = [self.value(sort) for _, sort, _ in used[:positional]]
        pieces += ["%s=%s" % (name, self.value(sort)) for name, sort, _ in used[positional:]]
        if fault == "extra":
            pieces.insert(positional, self.value("text"))
        elif fault == "unknown":
            pieces.append("bogus=1")
        elif fault == "twice" and positional:
            pieces.append("%s=%s" % (params[0][0], self.value(params[0][1])))
        return ", ".join(pieces)

    def receiver(self, kind, stale=False):
        """A placeholder for an object of `kind`: the innermost one, or another (often in
        the survival run)."""
        stale = stale or self.survival and self.chance(30)
        if kind == "buf" and not stale:
            return self.choose(["`buf0`", "`env0`.context.f", "`env0`.context.preamble"])
        return "`%s%d`" % (kind, self.number(0, 7) if stale else 0)

    @staticmethod
    def applies(kind, target):
        return kind == target or BASE.get(target) == kind

    def program(self):
        # the survival run starts inside a document that the actions may exit
        steps = [do("enter(pagewright.latex_document(io.StringIO()))")] * self.survival
        if self.patching:  # a world with replaced parts from the start
            steps += [do(self.choose(PATCHES + FIRST_PATCHES)) for _ in range(self.number(1, 3))]
        while self.budget > 0:
            self.budget -= 1
            steps.append(self.top())
        return steps

    def top(self):
        kind = self.choose(["document", "fragment", "make", "document", "look", "odd calls",
                            "tour"] + ["patch", "tour"] * self.patching
                           + ["open", "action", "action", "arm"] * self.striking
                           + ["enter"] * 3 * self.survival)
        if kind in ("patch", "action"):
            return self.action(kind if kind == "patch" else None)
        if kind == "enter":
            return self.enter()
        if kind == "arm":  # the plan of the hostile subclasses, patches and finalizers
            return do("act('arm', None, 0, %r)" % self.plan())
        if kind == "look":
            return self.look("obj", stale=True)
        if kind == "make":
            return self.make()
        if kind == "tour":
            return self.tour()
        if kind == "odd calls":  # a run of writer calls with odd values, each one caught
            hostile, self.hostile = self.hostile, True
            body = [self.call("env", guard=True) for _ in range(self.number(1, 8))]
            self.hostile = hostile
            return with_step("pagewright.latex_fragment(%s)" % self.value("stream"), body)
        name, params, made = self.choose(OPENERS) if kind == "open" else OPENERS[kind != "document"]
        text = "%s(%s)" % (name, self.arguments(params))
        if kind == "open":  # a context manager for the actions to enter and exit
            return do(text)
        return with_step(text, *self.body(made))

    def body(self, kind, least=1):
        """The steps inside a block whose target is of `kind`, and how it ends."""
        self.scope.append(kind)
        steps = []
        for _ in range(self.number(0 if len(self.scope) > 1 else least, 4)):
            if self.budget <= 0:
                break
            self.budget -= 1
            steps.extend(self.statement())
        self.scope.pop()
        return steps, self.number(0, 9) if self.chance(4 if self.hostile else 1) else None

    def statement(self):
        target = self.scope[-1] if self.chance(80) else self.choose(self.scope)
        menu = (["call", "call", "block", "look"] if target == "row"
                else ["call", "block", "call", "block", "look"])
        if not self.looping:  # nothing whose cost can grow with each round
            menu += ["action"] * (1 + self.hostile) + ["make", "stale", "loop"]
            menu += ["patch"] * self.patching + ["trap", "action", "enter"] * self.striking
            menu += ["enter"] * 3 * self.survival  # as often as the old state machine did
        choice, guard = self.choose(menu), self.chance(50)
        deep = len(self.scope) > self.MAX_DEPTH
        if choice == "loop":  # repeated calls: caches warm up, buffers grow
            self.looping = True
            step = self.call(target, guard)
            self.looping = False
            step[3] = self.choose([3, 30, 100])
            return [step]
        if choice == "block" and not deep:
            return [self.block(target, guard)]
        if choice == "look":
            return [self.look(target, guard)]
        if choice in ("action", "patch"):
            subject = "`%s%d`" % (target, self.number(0, 3))
            return [self.action("patch" if choice == "patch" else None, subject, guard)]
        if choice == "make" and not deep:
            return [self.make(guard)]
        if choice == "stale":  # an object made earlier, perhaps after its block ended
            return [self.call(self.choose(LIBRARY), guard, stale=True)]
        if choice == "trap":  # a trap on the object, then a call that meets it
            traps = TRAPS + ONLY_SURVIVAL * self.survival
            return [do("act(%r, `%s0`, %d, %r)" % (self.choose(traps), target,
                                                   self.number(0, 63), self.plan()), True),
                    self.call(target, guard)]
        if choice == "enter":
            return [self.enter(guard)]
        return [self.call(target, guard)]

    def enter(self, guard=True):
        """Any context manager entered, or exited (entered or not), out of order."""
        return do("act(%r, `mgr%d`, 0)" % (self.choose(["enter", "exit", "exit_raising"]),
                                           self.number(0, 7)), guard)

    def call(self, target, guard=True, stale=False, names=None):
        kind, name, params = self.choose([m for m in METHODS if self.applies(m[0], target) and (
            names is None or m[1] in names) and not (self.looping and m[1] in DOUBLING)]
            or METHODS[:25])
        if kind == "ctx" and target != "ctx":
            receiver = self.receiver(BASE.get(target, target), stale) + ".context"
        else:
            receiver = self.receiver(kind, stale)
        return do("%s.%s(%s)" % (receiver, name, self.arguments(params)), guard)

    def block(self, target, guard):
        kind, name, params, made = self.choose(
            [b for b in BLOCKS if self.applies(b[0], target)] or BLOCKS[:10])
        text = "%s.%s(%s)" % (self.receiver(kind), name, self.arguments(params))
        if self.striking and self.chance(20):  # made and left for the actions
            return do(text, guard)
        return with_step(text, *self.body(made), guard=guard)

    def look(self, target, guard=True, stale=False):
        _, text = self.choose([entry for entry in LOOKS if entry[0] == "obj"
                               or self.applies(entry[0], target)])
        return ["look", guard, text.replace("`it`", self.receiver(target, stale)), None]

    def action(self, name=None, subject=None, guard=True):
        """An action on an object of the program (none for those that need none)."""
        name = name or self.choose(MUTATIONS + ["drop", "collect", "raise"] * self.striking)
        if name in ("patch", "drop", "collect", "raise"):
            subject = "None"
        return do("act(%r, %s, %d)" % (name, subject or "`obj%d`" % self.number(0, 7),
                                       self.number(0, 1000)), guard)

    def make(self, guard=True):
        """An object made by hand, used, and its use ended."""
        kind, constructor, params = self.choose(MADE)
        if self.hostile and "`" not in constructor and self.chance(10):  # no initialiser
            text = "%s.__new__(%s)" % (constructor, constructor)
        else:
            text = "%s(%s)" % (constructor, self.arguments(params))
        steps, _ = self.body(kind, least=0)
        steps.append(self.call(kind, names=FINISH[kind]) if kind in FINISH else self.look(kind))
        return ["make", guard, text, steps]

    def tour(self):
        """A plain document that uses every construct once, so that whatever the program
        replaced meets every place where the library calls it."""

        def w(text, kind, *body):  # sometimes a method that the library calls is replaced
            subject = "`%s0`%s" % (kind, self.choose(["", ".context"]))
            override = [self.action("override", subject)] if self.chance(30) else []
            return with_step(text, override + list(body))

        return w(
            "pagewright.latex_document(%s)" % self.value("stream"), "doc",
            w("`doc0`.minipage_bottom('1cm')", "env", do("`env0`.tex('x')")),
            w("`doc0`.minipage('1cm', 't', fbox=True)", "env", do("`env0`.text('y_')")),
            w("`doc0`.figure('A', 'fig:a')", "fig",
              w("`fig0`.subfigure('L')", "sub", do("`sub0`.tex('z')"))),
            w("`doc0`.tabular(['l', 'r'])", "tab", do("`tab0`.hline()"),
              do("`tab0`.row_tex('1', '2')"),
              w("`tab0`.row()", "row", do("`row0`.cell_tex('a')"),
                w("`row0`.cell()", "env", do("`env0`.text('b')")))),
            w("`doc0`.resizebox('1cm')", "env",
              do("`env0`.graphics_data('d', pagewright.MIME_PLAIN)")),
            w("`doc0`.mbox()", "env", do("`env0`.lstlisting('code')")),
            do("`doc0`.graphics_data('d', pagewright.MIME_PLAIN)"), do("`doc0`.fullpage()"))


@st.composite
def programs(draw, survival=False):
    return Builder(draw, survival).program()


# ----------------------------------------------------------------------------------------
# Running a program.

PLACEHOLDER = re.compile(r"`([a-z]+)(\d*)`")
ADDRESS = re.compile(r"0x[0-9a-fA-F]+")
TEMPORARY = re.compile(r"\.[0-9a-f]{12}\.tmp")  # the random part of a temporary file's name
MODE_DIRECTORIES = ("\u00aa", "\u00ba")  # the name of the working directory of each mode
END = "-- end of the listing"


def error_text(error):
    try:
        message = str(error)
    except Exception as inner:
        message = "<str failed: %s>" % type(inner).__name__
    return "%s: %s" % (type(error).__qualname__, message)


class Names(dict):
    """The local names of a step: its objects, then the library's classes (Row is
    Tabular.Row) and their hostile subclasses, found when first used, so that modules
    load as the program needs them."""

    def __missing__(self, name):
        for kind, (where, path, _, _) in KINDS.items():
            if name in (path.split(".")[-1], "Hostile" + path.split(".")[-1]):
                module(where)
                return subclass_of(kind) if name.startswith("Hostile") else ORIGINAL[kind]
        raise KeyError(name)


NAMESPACE = {name: value for name, value in globals().items() if not name.startswith("_")}


@lru_cache(maxsize=4096)
def compiled(source):
    try:
        return compile(source, "<step>", "eval")
    except SyntaxError:
        return compile(source, "<step>", "exec")


class Run:
    """One program as it runs; compare=True keeps what the mode comparison needs."""

    def __init__(self, compare=False, trace=False, workdir="."):
        self.objects, self.managers = [], []  # the program's objects and context managers
        self.entered = []  # the managers entered by actions and not yet exited
        self.scope = []  # the with-targets and objects being made, innermost last
        self.names = {}  # id: (name, the object kept so that ids stay unique, or None)
        self.log, self.failures, self.undo, self.standing = [], [], [], []
        self.compare, self.trace = compare, trace
        self.threshold, self.depth, self.indent, self.steps, self.count = None, 0, 0, 0, 0
        self.renderer = Renderer(self.names, workdir) if compare else None

    def note(self, indent, text):
        line = "    " * indent + text
        line = self.renderer.clean(line) if self.compare else line
        self.log.append(line)
        if self.trace:
            print(line, file=sys.stderr, flush=True)

    def name_of(self, value):
        """A short name for a value that does not touch it (no vars(), no attributes)."""
        if value is None or type(value) in (bool, int, float, str, bytes):
            # Cleaned before it is cut short, which could split what cleaning replaces.
            text = self.renderer.clean(ascii(value)) if self.compare else ascii(value)
            return text if len(text) < 60 else text[:40] + "...%d" % len(text)
        if id(value) not in self.names:
            self.names[id(value)] = ("x%d" % len(self.names), value if self.compare else None)
        return self.names[id(value)][0]

    def register(self, value):
        """Names a new object of the program and keeps it for the steps after."""
        if isinstance(value, classes_of("obj buf")):
            pool = self.objects
        elif hasattr(type(value), "__exit__") and hasattr(type(value), "__enter__"):
            pool = self.managers
        else:
            return None
        if not any(value is known for known in pool):
            pool.append(value)
            self.count += 1
            self.names[id(value)] = ("o%d" % self.count, value if self.compare else None)
        return self.names[id(value)][0]

    def pick(self, kinds, k):
        if kinds == "mgr":
            pool = self.managers[::-1]
        else:
            pool, classes = [], classes_of(kinds)
            for obj in self.scope[::-1] + self.objects[::-1]:
                if isinstance(obj, classes) and not any(obj is known for known in pool):
                    pool.append(obj)
        if not pool:
            raise LookupError("no " + kinds)
        return pool[k % len(pool)]

    def subject(self, subject, k, kinds="obj"):
        """Mostly the callback's own object, if it is of those kinds."""
        return subject if isinstance(subject, classes_of(kinds)) and k % 4 != 3 else self.pick(
            kinds, k // 4)

    @staticmethod
    def choose(options, k):
        return options[k % len(options)]

    def resolve(self, text, it=None):
        names = Names()

        def replace(match):
            obj = it if match.group(1) == "it" else self.pick(match.group(1), int(match.group(2)))
            names[self.name_of(obj)] = obj
            return self.name_of(obj)
        return PLACEHOLDER.sub(replace, text), names

    def evaluate(self, text, it=None):
        source, names = self.resolve(text, it)
        return eval(compiled(source), NAMESPACE, names)

    def value(self, sort, k, plan=()):
        """A value of the sort (a hostile one only with a plan), as text and as made."""
        plain, odd, hostile = SORTS[sort]
        text = self.choose(plain + odd + (hostile if plan else []), k).replace("PLAN", repr(plan))
        return text, self.evaluate(text)

    def enter(self, manager):
        target = manager.__enter__()
        self.entered.append(manager)
        self.register(target)
        return target

    def look(self, text, it=None):
        source, names = self.resolve(text, it)
        value = eval(compiled(source), NAMESPACE, names)
        if source.endswith(".getvalue()") and type(value) is not str:
            self.failures.append("%s gave %r, not a str" % (source, type(value)))
        if self.compare:
            self.note(self.indent + 1, "= " + self.renderer.render(value, "look%d" % len(self.log)))
        self.register(value)

    # -- the actions: (subject, number, plan); a callback's subject is its own object -----

    def act(self, name, subject, k, plan=()):
        self.note(self.indent + 1, ("strike %s %d on %s" % (name, k, self.name_of(subject)))
                  if self.depth else "%s %d" % (name, k))
        (self.ACTIONS.get(name) or getattr(type(self), "act_" + name))(self, subject, k, plan)

    def act_set(self, subject, k, plan):
        """Replaces an attribute that the library reads (hostile only with a plan)."""
        obj = self.subject(subject, k)
        name, sort = self.choose([a for kind in kinds_of(obj) for a in KINDS[kind][2]], k)
        text, value = self.value(sort, k // 3, plan)
        self.note(self.indent + 1, "%s.%s = %s" % (self.name_of(obj), name, text))
        vars(obj).__setitem__(name, value) if k % 5 == 4 else quietly(setattr, obj, name, value)

    def act_delete(self, subject, k, plan):
        obj = self.subject(subject, k)
        name = self.choose([a for kind in kinds_of(obj) for a in KINDS[kind][2]], k)[0]
        self.note(self.indent + 1, "del %s.%s" % (self.name_of(obj), name))
        vars(obj).pop(name, None) if k % 3 == 2 else quietly(delattr, obj, name)

    def act_read(self, subject, k, plan):
        """Reads what turns native state into Python objects, or copies."""
        obj = self.subject(subject, k)
        self.look(self.choose([t for kind, t in LOOKS if isinstance(obj, classes_of(kind))], k),
                  obj)

    def act_call(self, subject, k, plan):
        """Calls back into the library, with plain arguments."""
        obj = self.subject(subject, k, "obj buf")
        _, name, params = self.choose([m for m in METHODS if isinstance(obj, classes_of(m[0]))], k)
        args = [self.choose(SORTS[sort][0], k) for _, sort, how in params if how in (R, P)]
        self.evaluate("`it`.%s(%s)" % (name, ", ".join(args)), obj)

    def act_reinit(self, subject, k, plan):
        """Runs the initialiser again on a live object."""
        obj = self.subject(subject, k)
        quietly(self.evaluate, "`it`.__init__(%s)" % REINIT[kinds_of(obj)[0]], obj)

    def act_rebind(self, subject, k, plan):
        obj = self.subject(subject, k, "env row")
        text = ["LatexContext()", "`ctx%d`" % (k // 3), "None"][k % 3]
        quietly(setattr, obj, "context", self.evaluate(text))

    def act_swap_dict(self, subject, k, plan):
        """Replaces or empties an instance dict: the old one may be freed mid-lookup."""
        obj = self.subject(subject, k)
        self.note(self.indent + 1, "swap the dict of %s (%d)" % (self.name_of(obj), k % 6))
        if k % 6 == 1:
            return vars(obj).clear()
        replacement = dict(vars(obj)) if k % 2 else {}
        churn()  # the old dict is really freed, not kept for reuse
        obj.__dict__ = replacement

    def act_write(self, subject, k, plan):
        """Writes into buffers while the library works on them: they grow or go away."""
        obj = self.subject(subject, k, "env ctx")
        text = self.choose(["`it`.tex('z' * 5000)", "`it`.context.f.write('\\U0001f600')",
                            "`it`.context.f.truncate(0)", "`it`.context.f.close()",
                            "`it`.context.preamble.write('p' * 70000)", "`it`.context.f.seek(0)",
                            "`it`.context.f.seek(`it`.context.f.tell() // 2)",
                            "`it`.context.f.truncate(1)"], k)
        if isinstance(obj, LatexContext):
            text = text.replace("`it`.tex(", "`it`.f.write(").replace(".context.", ".")
        self.evaluate(text, obj)

    def act_swap_class(self, subject, k, plan):
        """Switches an object to the hostile subclass of its class, or back."""
        obj = self.subject(subject, k)
        kind = kinds_of(obj)[0]
        cls = classes_of(kind)[0] if type(obj) is subclass_of(kind) else subclass_of(kind)
        self.note(self.indent + 1, "%s.__class__ = %s" % (self.name_of(obj), cls.__name__))
        obj.__class__ = cls

    def act_override(self, subject, k, plan):
        """Replaces, on the object itself, a method that the library calls on it."""
        obj = self.subject(subject, k)
        name = self.choose([n for kind in kinds_of(obj) for n in KINDS[kind][3]], k)
        how = self.choose(["traced", "loud", "None"], k // 5)
        self.note(self.indent + 1, "%s.%s = %s" % (self.name_of(obj), name, how))
        quietly(setattr, obj, name, {"traced": lambda: traced(obj, name), "None": lambda: None,
                                     "loud": lambda: types.MethodType(loud, obj)}[how]())

    def act_patch(self, subject, k, plan):
        """Replaces a module global or class attribute that the library reads at call time."""
        self.note(self.indent + 1, self.choose(PATCHES, k))
        self.evaluate(self.choose(PATCHES, k))

    def act_plant(self, subject, k, plan):
        """Plants a key first in the instance dict of an object (or of its context), named
        as one that the library looks up there."""
        obj = self.subject(subject, k)
        owner = obj.context if k % 2 and isinstance(obj, classes_of("env row")) else obj
        name = self.choose([entry for kind in kinds_of(owner) for entry in KINDS[kind][3]
                            + [a for a, _ in KINDS[kind][2]]], k // 2)
        if name in ASSIGNED_BY_LIBRARY:
            plan = [step for step in plan if step[0] != "swap_dict"]
        self.note(self.indent + 1, "plant %r in %s" % (name, self.name_of(owner)))
        plant_first(vars(owner), HKey(name, plan, obj))

    def act_stream(self, subject, k, plan):
        """A hostile stream as a buffer of a context."""
        obj = self.subject(subject, k, "env ctx")
        context = obj if isinstance(obj, LatexContext) else obj.context
        quietly(setattr, context, ("f", "preamble")[k % 2], HStream(plan, context))

    def act_bomb(self, subject, k, plan):
        """Leaves cyclic garbage with a finalizer, and lowers the threshold of the collector
        so that it runs at allocations inside the library."""
        Bomb(plan or [(name, k) for name in ("drop", "exit", "swap_dict", "read")][k % 4:])
        if gc.get_threshold()[0] > 1:
            self.threshold = self.threshold or gc.get_threshold()
            gc.set_threshold(1 + k % 3)

    def act_drop(self, subject, k, plan):
        """Forgets objects: the callback may hold the last reference to what is being used."""
        for pool in (self.objects, self.managers):
            del pool[k % (len(pool) + 1):]
        self.entered = [m for m in self.entered if any(m is n for n in self.managers)]

    def manager(self, subject, k):
        return subject if any(subject is m for m in self.managers) else self.pick("mgr", k)

    ACTIONS = {  # the simplest; exit_last: as a with statement ends what an action entered
        "arm": lambda self, subject, k, plan: self.standing.__setitem__(slice(None), plan),
        "enter": lambda self, subject, k, plan: self.enter(self.manager(subject, k)),
        "exit": lambda self, subject, k, plan: self.manager(subject, k).__exit__(None, None, None),
        "exit_raising": lambda self, subject, k, plan: self.manager(subject, k).__exit__(
            Boom, Boom("unwinding"), None),
        "exit_last": lambda self, subject, k, plan: self.entered.pop().__exit__(None, None, None),
        "collect": lambda self, subject, k, plan: gc.collect(k % 3),
        "raise": lambda self, subject, k, plan: Boom.throw(k),
    }

    # -- steps ----------------------------------------------------------------------------

    def step(self, step, indent):
        kind, guard, text, extra = step
        self.indent, self.steps = indent, self.steps + 1
        try:
            source, names = self.resolve(text)
        except LookupError as error:
            return self.note(indent, "%s  # %s" % (text, error))
        try:
            if kind == "look":
                self.note(indent, "look(%s)" % source)
                self.look(text)
            elif kind == "do":
                self.note(indent, source + (" # %d times" % extra if extra > 1 else ""))
                for _ in range(extra):
                    self.register(eval(compiled(source), NAMESPACE, names))
            elif kind == "make":
                obj = eval(compiled(source), NAMESPACE, names)
                self.note(indent, "%s = %s" % (self.register(obj), source))
                self.inside(obj, extra, None, indent)
            else:
                self.note(indent, "with %s:" % source)
                manager = eval(compiled(source), NAMESPACE, names)
                self.register(manager)
                with manager as target:
                    self.note(indent + 1, "# as %s" % (self.register(target) or self.name_of(target)))
                    self.inside(target, *extra, indent)
        except Exception as error:
            if isinstance(error, SystemError):
                self.failures.append("SystemError: %s" % error)
            if not guard:
                raise
            self.caught(indent, error)
        finally:
            self.indent = indent

    def inside(self, target, body, raising, indent):
        self.scope.append(target)
        try:
            for step in body:
                self.step(step, indent + 1)
            if raising is not None:
                self.note(indent + 1, "raise Boom(%d)" % raising)
                raise Boom(raising)
        finally:
            self.scope.pop()

    def caught(self, indent, error):
        chain = []
        while error is not None and len(chain) < 5:
            text = error_text(error)
            with contextlib.suppress(Exception):
                text += " args=" + self.renderer.render(error.args, "args") if self.compare else ""
            chain.append(text)
            error = error.__context__
        self.note(indent, "! " + " <- ".join(chain))

    def program(self, steps):
        """Runs a whole program; returns the oracles' complaints (none if all is well)."""
        global WORLD
        WORLD = self
        try:
            for kind, _, text, extra in steps:
                self.step([kind, True, text, extra], 0)
            while self.entered:  # blocks still open end as a with statement would end them
                self.step(do("act('exit_last', None, 0)", True), 0)
        finally:
            WORLD = None
            for owner, name, before in reversed(self.undo):
                if name is None:
                    owner.remove(before)
                else:
                    setattr(owner, name, before) if before is not MISSING else delattr(owner, name)
            if self.threshold:
                gc.set_threshold(*self.threshold)
        for obj in list(self.objects):  # a finished document is all there
            if type(obj) is LatexDocument:
                stream = io.StringIO()
                try:
                    LatexDocument.dump_stream(obj, stream)  # not a method replaced on it
                except Exception as error:
                    self.failures += ["SystemError: %s" % error] * isinstance(error, SystemError)
                    continue
                text = stream.getvalue()
                if not (text.startswith("\\documentclass[") and text.endswith("\\end{document}\n")):
                    self.failures.append("a document dumps as %r" % text[-200:])
        return self.failures

    def close(self):
        """Lets the program's objects go, through the collector too."""
        self.objects = self.managers = self.entered = self.scope = None
        self.names.clear()
        gc.collect(1)

    def results(self):
        """What the mode comparison compares: the listing, every object, the files."""
        lines = self.log + ["FAILED " + failure for failure in self.failures] + [END]
        seen = set()
        for obj in self.objects + self.managers:
            name = self.names[id(obj)][0]
            try:
                lines.append("%s = %s" % (name, self.renderer.render(obj, name, seen)))
            except Exception as error:
                lines.append("%s unrenderable: %s" % (name, error_text(error)))
        lines.append("modules: %s" % sorted(m for m in sys.modules if m.startswith("pagewright")))
        for root, dirs, files in os.walk("."):
            dirs.sort()
            lines.append("dir %s" % ascii(root))
            for name in sorted(files):
                with real_open(real_join(root, name), encoding="utf-8",
                               errors="surrogateescape") as f:
                    lines.append("file %s = %s" % (ascii(name), self.renderer.clean(ascii(f.read()))))
        return lines


class Renderer:
    """Renders values for the comparison: text with no addresses and no absolute paths;
    objects get a stable name (the program's, or the path through which they were first
    seen), so that shared objects and identity show, the same in both modes."""

    def __init__(self, names, workdir):
        self.names = names
        # the working directory, as ascii() shows it or not, also as a replaced
        # os.path.join writes it (slashes doubled)
        forms = {os.path.abspath(workdir), ascii(os.path.abspath(workdir))[1:-1]}
        self.workdir = re.compile("|".join("/+".join(map(re.escape, form.split("/")))
                                           for form in forms))

    def clean(self, text):
        """Where a program cut a path short, the mode's one-character directory name is
        left: it is made the same for both modes."""
        text = self.workdir.sub("<cwd>", text) if "/" in text else text
        for form in (lambda name: ascii(name)[1:-1], str):
            text = text.replace(form(MODE_DIRECTORIES[1]), form(MODE_DIRECTORIES[0]))
        text = TEMPORARY.sub(".?.tmp", text) if ".tmp" in text else text
        return ADDRESS.sub("0x?", text) if "0x" in text else text

    def render(self, value, path="?", seen=None, depth=0):
        """Renders value; objects already shown in this call (seen) appear as @name."""
        seen = set() if seen is None else seen
        if value is None or type(value) in (bool, int, float, complex):
            return repr(value)
        if type(value) in (str, bytes):
            return self.clean(ascii(value))
        if isinstance(value, (types.FunctionType, types.BuiltinFunctionType, type,
                              types.ModuleType, types.MethodDescriptorType,
                              types.WrapperDescriptorType)):
            return "<%s %s>" % (type(value).__name__, getattr(value, "__qualname__",
                                                               getattr(value, "__name__", "?")))
        if depth > 60:
            return "<deep>"
        name = self.names.setdefault(id(value), (path, value))[0]
        if id(value) in seen:
            return "@" + name
        seen.add(id(value))
        parts = []
        if isinstance(value, types.MethodType):
            parts.append("method %s of %s" % (value.__func__.__qualname__, self.render(
                value.__self__, name + ".self", seen, depth + 1)))
        if isinstance(value, str):  # a str subclass
            parts.append(self.clean(ascii(str.__str__(value))))
        if isinstance(value, io.StringIO):
            try:
                parts.append("tell=%d text=%s" % (value.tell(), self.clean(ascii(value.getvalue()))))
            except Exception as error:
                parts.append("unreadable " + error_text(error))
        if isinstance(value, (list, tuple)):
            parts += [self.render(item, "%s[%d]" % (name, i), seen, depth + 1)
                      for i, item in enumerate(value)]
        elif isinstance(value, dict):
            parts += ["%s: %s" % (self.render(k, name + "{key}", seen, depth + 1), self.render(
                v, "%s[%s]" % (name, k if type(k) is str else "?"), seen, depth + 1))
                for k, v in list(value.items())]
        if isinstance(value, BaseException):
            parts.append(self.clean(error_text(value)))
        try:
            attributes = vars(value)
        except TypeError:
            attributes = {}
        except Exception as error:
            attributes = {}
            parts.append("vars() failed " + error_text(error))
        parts += ["%s=%s" % (k, self.render(v, "%s.%s" % (name, k), seen, depth + 1))
                  for k, v in list(attributes.items())]
        return "#%s=%s(%s)" % (name, type(value).__qualname__, ", ".join(parts))


def main():
    """The child process of the mode comparison: python random_programs.py WORKDIR reads
    batches of programs, a JSON list a line, and answers each with a line, the JSON list
    of the programs' results (after a first line that shows the value of
    PAGEWRIGHT_NO_FAST_PATHS it runs with). Each program runs in an empty directory of its
    own under WORKDIR; its listing goes to stderr as it runs."""
    workdir = os.path.abspath(sys.argv[1])
    # A hostile value's __index__ names file descriptor 1 to open(): the batches travel on
    # descriptors out of the programs' reach, and what they write to 1 goes to the log.
    requests = os.fdopen(fcntl.fcntl(0, fcntl.F_DUPFD, 200))
    answers = os.fdopen(fcntl.fcntl(1, fcntl.F_DUPFD, 200), "w")
    os.dup2(2, 1)
    print(json.dumps(os.environ.get("PAGEWRIGHT_NO_FAST_PATHS")), file=answers, flush=True)
    for batch, line in enumerate(requests):
        results = []
        for number, program in enumerate(json.loads(line)):
            os.write(2, b"batch %d program %d\n" % (batch, number))
            directory = os.path.join(workdir, "b%d" % batch, "p%d" % number)
            os.makedirs(directory)
            os.chdir(directory)
            signal.alarm(20)
            run = Run(compare=True, trace=True, workdir=workdir)
            run.program(program)
            signal.alarm(0)
            results.append(run.results())
        os.chdir(workdir)
        print(json.dumps(results), file=answers, flush=True)


if __name__ == "__main__":
    main()
