"""Hostile programs: the library must survive callbacks that tear its objects down.

A hypothesis state machine builds random programs over the whole public API (documents
and fragments into streams and files, every box, composition, float, table, row and
cell, every writer method, contexts and their children, packages, the classes used by
hand) and enters and exits their blocks in any order: nested, out of order, twice or
never. Everywhere the library calls back into Python it meets a hostile callback: a
stream's write, an argument's __bool__, __str__, __format__, __eq__, __hash__,
__fspath__, __len__ or __iter__, a method overridden by a Python subclass, a key planted
in an instance dict whose __eq__ runs during the library's own lookups, or a finalizer
that the collector runs at an allocation. Each callback first runs a step of its plan,
an action drawn from ACTIONS: replace or delete the attributes of the objects in play,
swap their instance dicts or classes, enter or exit other blocks (or the one being set
up), write into the buffers, drop the references that kept objects alive, collect
garbage, or raise.

The oracle is that nothing crashes (run under the sanitizers by scripts/hostile.sh),
that every error is a Python exception other than SystemError (the sign of a C function
that failed without setting one, or set one and succeeded), and that a buffer's text is
a str. PW_HOSTILE_EXAMPLES sets the number of programs (default 300); PW_HOSTILE_SEED
repeats a run; PW_HOSTILE_TRACE=1 prints each step to stderr as it runs, so that the
program behind a crash can be read off.

The second test replays, one small program each, the crashes this machine has found.
"""

import copy
import gc
import io
import os
import sys
import textwrap

import pytest
from hypothesis import HealthCheck, Verbosity, seed, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, rule, run_state_machine_as_test

import pagewright
import pagewright.context
import pagewright.environment
import pagewright.figure
import pagewright.tabular
from pagewright import LatexDocument, LatexEnvironment
from pagewright.context import LatexContext, UsePackage
from pagewright.figure import Figure, SubFigure
from pagewright.tabular import Tabular

EXAMPLES = int(os.environ.get("PW_HOSTILE_EXAMPLES", "300"))
TRACE = os.environ.get("PW_HOSTILE_TRACE") == "1"
Row = Tabular.Row


class Boom(Exception):
    """Raised on purpose by a hostile callback."""


# ----------------------------------------------------------------------------------------
# The callbacks. Each runs one step of its plan (a list of (action, number) pairs, used up
# as it goes) and then answers as a harmless value would.

WORLD = None  # the machine that is running: the actions work on its objects


def churn():
    """Fills the interpreter's free lists, so that an object freed next is really freed
    and a pointer left to it shows up under the sanitizers."""
    junk = [({i: i}, [i], (i, None), float(i)) for i in range(100)]
    del junk


def strike(plan, subject=None):
    """Runs the next step of `plan` on the world; `subject` is the object the callback
    belongs to, which the actions prefer. Only Boom (raised on purpose) and SystemError
    (a fault of the library) get out; other errors of an action are its own business."""
    world = WORLD
    if world is None or not plan or world.depth >= 2:
        return
    name, number = plan.pop(0)
    world.depth += 1
    churn()
    try:
        if TRACE:
            print("    strike %s %d on %s" % (name, number, type(subject).__name__),
                  file=sys.stderr, flush=True)
        ACTIONS[name](world, subject, number)
    except (Boom, SystemError):
        raise
    except Exception as error:
        if TRACE:
            print("    (%r)" % error, file=sys.stderr, flush=True)
    finally:
        world.depth -= 1
        churn()


class Hostile:
    """A value whose every protocol strikes first, then answers as a harmless value."""

    def __init__(self, plan):
        self.plan = plan

    def __repr__(self):  # for hypothesis and error messages: harmless
        return "Hostile()"


def answering(answer):
    def protocol(self, *args):
        strike(self.plan)
        return answer()
    return protocol


# What a Hostile value's protocols answer: replace, items and index are the methods
# that the library calls on a label, an option mapping and a column entry.
for _name, _answer in {
        "__str__": lambda: "h", "__format__": lambda: "h", "__bool__": lambda: True,
        "__len__": lambda: 1, "__iter__": lambda: iter(["h"]), "__getitem__": lambda: "h",
        "__contains__": lambda: True, "__eq__": lambda: False, "__hash__": lambda: 7,
        "__fspath__": lambda: "out/hostile.tex", "replace": lambda: "h",
        "items": lambda: [("k", "h")], "__add__": lambda: 1, "__radd__": lambda: 1,
        "__gt__": lambda: False, "__lt__": lambda: False, "__index__": lambda: 1,
        "index": lambda: 0}.items():
    setattr(Hostile, _name, answering(_answer))


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
HInt = hostile_type(int, ["__eq__", "__hash__", "__str__", "__format__", "__add__",
                          "__radd__", "__gt__", "__lt__", "__index__"])
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


class HPath:
    """A path object whose __fspath__ strikes first."""

    def __init__(self, plan):
        self.plan = plan

    def __fspath__(self):
        strike(self.plan)
        return "out/path.tex"


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


def subclass(base, methods):
    """A Python subclass of a library class whose overrides strike first (with the world's
    standing plan) and then do what the base does. No new slots: objects of the base can
    be switched to it and back."""

    def make(name):
        def override(self, *args, **kwargs):
            strike(WORLD.standing if WORLD else None, self)
            return getattr(super(cls, self), name)(*args, **kwargs)
        return override

    namespace = {name: make(name) for name in methods}
    namespace["__slots__"] = ()
    cls = type("Hostile" + base.__name__, (base,), namespace)
    return cls


ENV_CALLS = ["tex", "text", "use_package", "fbox", "tightbox", "minipage",
             "save_graphics_data", "hfill"]
SUBCLASSES = {
    LatexEnvironment: subclass(LatexEnvironment, ENV_CALLS),
    LatexDocument: subclass(LatexDocument, ENV_CALLS + ["dump_stream"]),
    LatexContext: subclass(LatexContext, ["child", "use_package", "generate_file_id",
                                          "dump_preamble", "require_package"]),
    Tabular: subclass(Tabular, ENV_CALLS + ["dump", "row_tex", "hline"]),
    Row: subclass(Row, ["cell_tex"]),
    Figure: subclass(Figure, ENV_CALLS + ["dump"]),
    SubFigure: subclass(SubFigure, ENV_CALLS + ["dump"]),
    UsePackage: subclass(UsePackage, ["dump_preamble"]),
}
HCtx = SUBCLASSES[LatexContext]


# ----------------------------------------------------------------------------------------
# Values of each sort of parameter: (plain, hostile). A plain entry is a value, or a
# callable that makes a fresh one (a class, a factory of a list) or picks an object of
# the program (Pick); a hostile entry is called with its plan.

class Pick:
    def __init__(self, *kinds):
        self.kinds = kinds


SORTS = {
    "text": (["x", "a_b{c}%$", "", "\u20ac\u00e9", "\U0001f600", "y" * 5000, 3, None, b"x"],
             [lambda p: HStr("s_", p), Hostile]),
    "size": (["1cm", "", 3, None], [lambda p: HStr("2cm", p), Hostile]),
    "flag": ([False, True, None], [Hostile, lambda p: HInt(0, p)]),
    "name": (["pkg", "caption", None], [lambda p: HStr("pkg", p), Hostile]),
    "options": ([None, dict, lambda: {"k": "v", "f": None}],
                [lambda p: HDict({"k": "v"}, p), Hostile, lambda p: {"k": Hostile(p)}]),
    "alignment": ([lambda: ["l", "r"], lambda: ["p{1cm}", "c"], "lr", list],
                  [lambda p: HList(["l", "c"], p), lambda p: [Hostile(p)],
                   lambda p: [HStr("l", p)]]),
    "tabenv": (["tabular", "longtable", "array"], [lambda p: HStr("tabular", p), Hostile]),
    "int": ([2, 1, 0, "x"], [lambda p: HInt(2, p), Hostile]),
    "cells": ([lambda: ["a", "b"], list, ("x", "y", "z")],
              [lambda p: HList(["a", HStr("b", p)], p), Hostile]),
    "data": ([lambda: [["1", "2"], ["3", "4"]], lambda: {0: ["x"], 1: ["y"]}],
             [lambda p: HList([HList(["a"], p)], p), Hostile]),
    "mime": ([pagewright.MIME_PLAIN, pagewright.MIME_JPG, None],
             [lambda p: HStr(pagewright.MIME_PLAIN, p), Hostile]),
    "stream": ([io.StringIO, Pick(io.StringIO, HStream), None], [HStream, Hostile]),
    "dest": ([io.StringIO, "out/d.tex"], [HStream, HPath, lambda p: HStr("out/s.tex", p),
                                         Hostile]),
    "path": ([None, ".", "g"], [lambda p: HStr("g", p), Hostile]),
    "context": ([Pick(LatexContext), LatexContext, HCtx, None], [Hostile]),
    "env": ([Pick(LatexEnvironment), None], [Hostile]),
}

# The attributes the library reads from each class, with the sort of value they hold.
ATTRIBUTES = {
    LatexContext: [("f", "stream"), ("preamble", "stream"), ("parent", "context"),
                   ("graphics_path", "path"), ("count", "int"), ("packages", "options")],
    LatexEnvironment: [("context", "context")],
    LatexDocument: [("document_class", "text"), ("class_options", "text")],
    Tabular: [("ncols", "int"), ("alignment", "alignment"), ("env", "tabenv")],
    Row: [("cols", "cells"), ("col", "int"), ("ncols", "int"), ("context", "context")],
    Figure: [("caption", "text"), ("label", "text"), ("placement", "text"),
             ("double", "flag")],
    SubFigure: [("caption", "text"), ("label", "text")],
    UsePackage: [("name", "name"), ("options", "options")],
}
# Names the library looks up in instance dicts, present or (methods) missing.
KEYS = {
    LatexContext: ["f", "preamble", "parent", "count", "packages", "graphics_path",
                   "use_package", "generate_file_id", "child"],
    LatexEnvironment: ["context", "tex", "use_package", "fbox", "tightbox", "minipage"],
    LatexDocument: ["document_class", "class_options", "dump_stream"],
    Tabular: ["ncols", "alignment", "env", "dump", "row_tex"],
    Row: ["context", "col", "ncols", "cols", "cell_tex"],
    Figure: ["caption", "label", "placement", "double", "dump"],
    SubFigure: ["caption", "label", "dump"],
    UsePackage: ["name", "options", "dump_preamble"],
}


def keys_of(obj):
    return [key for cls, keys in KEYS.items() if isinstance(obj, cls) for key in keys]


def plant_first(namespace, key):
    """Puts `key` first in the dict, so that lookups of its name probe it before the real
    entry; it strikes from then on."""
    entries = quietly(dict, namespace)
    namespace.clear()
    namespace[key] = None
    quietly(namespace.update, entries)


def attributes_of(obj):
    return [entry for cls, entries in ATTRIBUTES.items() if isinstance(obj, cls)
            for entry in entries]


# ----------------------------------------------------------------------------------------
# The actions a callback (or a rule) takes: (world, subject, number) -> anything.

def pick_subject(w, kinds, subject, k):
    """Mostly the callback's own object, if it has one of those kinds."""
    if isinstance(subject, kinds) and k % 4 != 3:
        return subject
    return w.pick(kinds, k // 4)


def act_exit(w, subject, k):
    w.managers[k % len(w.managers)].__exit__(None, None, None)


def act_exit_raising(w, subject, k):
    w.managers[k % len(w.managers)].__exit__(Boom, Boom("unwinding"), None)


def act_enter(w, subject, k):
    w.enter(w.managers[k % len(w.managers)])


def act_drop(w, subject, k):
    """Forgets objects: the callback may hold the last reference to what is being used."""
    for pool in (w.objects, w.managers):
        del pool[k % (len(pool) + 1):]
    w.entered = [m for m in w.entered if m in w.managers]


def act_collect(w, subject, k):
    gc.collect(k % 3)


def act_raise(w, subject, k):
    raise Boom(k)


def act_set(w, subject, k):
    """Replaces an attribute the library reads with a plain or an odd value."""
    obj = pick_subject(w, object, subject, k)
    name, sort = w.choose(attributes_of(obj), k)
    quietly(setattr, obj, name, w.make(sort, (0, k // 3, [], k)))


def act_delete(w, subject, k):
    obj = pick_subject(w, object, subject, k)
    quietly(delattr, obj, w.choose(attributes_of(obj), k)[0])


def act_read(w, subject, k):
    """Reads what turns native state into Python objects, or copies."""
    obj = pick_subject(w, (LatexContext, LatexEnvironment, Row), subject, k)
    LOOKS[k % len(LOOKS)](obj)


def context_of(obj):
    return obj if isinstance(obj, LatexContext) else obj.context


LOOKS = [lambda obj: context_of(obj).f, lambda obj: context_of(obj).preamble.getvalue(),
         vars, copy.copy, lambda obj: context_of(obj).packages]


def act_reinit(w, subject, k):
    """Runs a constructor again on a live object."""
    obj = pick_subject(w, tuple(REINIT), subject, k)
    ctx = LatexContext()
    arguments = next(args for cls, args in REINIT.items() if isinstance(obj, cls))
    quietly(obj.__init__, *[ctx if a is LatexContext else a for a in arguments])


REINIT = {LatexContext: [], LatexDocument: [], Tabular: [["l"], LatexContext],
          Row: [2, LatexContext], Figure: ["c", "l", "t", LatexContext, False],
          SubFigure: ["c", "l", LatexContext], LatexEnvironment: [LatexContext],
          UsePackage: ["p"]}


def act_rebind(w, subject, k):
    env = pick_subject(w, (LatexEnvironment, Row), subject, k)
    context = [LatexContext, lambda: w.pick(LatexContext, k), lambda: None][k % 3]()
    quietly(setattr, env, "context", context)


def act_swap_dict(w, subject, k):
    """Replaces or empties an instance dict: the old one may be freed mid-lookup."""
    obj = pick_subject(w, (LatexContext, LatexEnvironment, Row, UsePackage), subject, k)
    if k % 6 == 1:
        vars(obj).clear()
        return
    replacement = dict(vars(obj)) if k % 2 else {}
    churn()  # the old dict is really freed, not kept for reuse
    obj.__dict__ = replacement


def act_write(w, subject, k):
    """Writes into buffers while the library works on them: they grow or go away."""
    obj = pick_subject(w, (LatexContext, LatexEnvironment), subject, k)
    ctx = context_of(obj)
    [lambda: obj.tex("z" * 5000) if obj is not ctx else ctx.f.write("z" * 5000),
     lambda: ctx.f.write("\U0001f600"),
     lambda: ctx.f.truncate(0),
     lambda: ctx.f.close(),
     lambda: ctx.preamble.write("p" * 70000)][k % 5]()


def act_swap_class(w, subject, k):
    obj = pick_subject(w, tuple(SUBCLASSES), subject, k)
    for base, hostile in SUBCLASSES.items():
        if type(obj) is base:
            obj.__class__ = hostile
            return
        if type(obj) is hostile:
            obj.__class__ = base
            return


def act_call(w, subject, k):
    """Calls back into the library: a writer, a row, a context's own methods."""
    obj = pick_subject(w, (LatexEnvironment, Row, LatexContext), subject, k)
    if isinstance(obj, Row):
        [obj.cell_tex, lambda: obj.multicolumn_tex(1, "c", "m")][k % 2]()
    elif isinstance(obj, LatexContext):
        [obj.child, lambda: obj.use_package("p"), obj.generate_file_id,
         lambda: obj.require_package("q"), lambda: obj.dump_preamble(io.StringIO())][k % 5]()
    elif isinstance(obj, Tabular) and k % 2:
        obj.row_tex("a")
    else:
        [lambda: obj.tex("w"), obj.hfill, lambda: obj.text("t_"),
         lambda: obj.use_package("u")][k % 4]()


def act_patch(w, subject, k):
    """Replaces a module global or class attribute that the library reads at call time."""
    owner, name, make = PATCHES[k % len(PATCHES)]
    w.patch(owner, name, make(w))


def act_bomb(w, subject, k):
    lay_bomb(w, [(name, k) for name in ("drop", "exit", "swap_dict", "read")][k % 4:], k)


def lay_bomb(w, plan, k):
    """Leaves cyclic garbage with a finalizer, and lowers the threshold of the collector
    so that it runs at allocations inside the library."""
    Bomb(plan)
    if gc.get_threshold()[0] > 1:
        w.threshold = w.threshold or gc.get_threshold()
        gc.set_threshold(1 + k % 3)


ACTIONS = {
    "exit": act_exit, "exit_raising": act_exit_raising, "enter": act_enter, "drop": act_drop,
    "collect": act_collect, "raise": act_raise, "set": act_set, "delete": act_delete,
    "read": act_read, "reinit": act_reinit, "rebind": act_rebind, "swap_dict": act_swap_dict,
    "write": act_write, "swap_class": act_swap_class, "call": act_call, "patch": act_patch,
    "bomb": act_bomb,
}


def wrapped(cls, name):
    """cls.name, striking first with the world's standing plan."""
    method = cls.__dict__[name]

    def hostile_method(self, *args, **kwargs):
        strike(WORLD.standing if WORLD else None, self)
        return method(self, *args, **kwargs)
    return hostile_method


def hostile_begin_end(plan):
    def begin_end(*args, **kwargs):
        strike(plan)
        return pagewright.begin_end(*args, **kwargs)
    return begin_end


PATCHES = [
    (pagewright.tabular, "Tabular", lambda w: SUBCLASSES[Tabular]),
    (pagewright.tabular, "LatexEnvironment", lambda w: SUBCLASSES[LatexEnvironment]),
    (pagewright.figure, "Figure", lambda w: SUBCLASSES[Figure]),
    (pagewright.figure, "SubFigure", lambda w: SUBCLASSES[SubFigure]),
    (pagewright.figure, "begin_end", lambda w: hostile_begin_end(w.standing)),
    (Tabular, "allowed", lambda w: HList(["l", "r", "c", "p"], w.standing)),
    (Tabular, "Row", lambda w: SUBCLASSES[Row]),
    (LatexEnvironment, "use_package", lambda w: wrapped(LatexEnvironment, "use_package")),
    (LatexEnvironment, "tex", lambda w: wrapped(LatexEnvironment, "tex")),
    (LatexContext, "child", lambda w: wrapped(LatexContext, "child")),
    (Figure, "dump", lambda w: wrapped(Figure, "dump")),
]

# ----------------------------------------------------------------------------------------
# The machine.

# The actions that free what the library may be holding come up more often.
STEPS = st.tuples(st.sampled_from(sorted(ACTIONS) + ["swap_dict"] * 3 + ["drop"] * 2 +
                                  ["set", "reinit", "rebind", "exit"]),
                  st.integers(0, 11))
PLANS = st.lists(STEPS, min_size=1, max_size=4)
# (hostile or plain, which value of the sort, its plan, which object of the program)
CHOICE = st.tuples(st.integers(0, 1), st.integers(0, 11), PLANS, st.integers(0, 15))


def trap_key(w, obj, slot, plan, owner=None):
    """A key planted first in the instance dict of `obj` (a context: its own dict), named
    as one the library looks up there."""
    owner = obj if owner is None else owner
    name = w.choose(keys_of(obj), slot)
    if name in ASSIGNED_BY_LIBRARY:
        plan = [step for step in plan if step[0] != "swap_dict"]
    plant_first(vars(obj), HKey(name, plan, owner))


def trap_stream(w, obj, slot, plan):
    context = context_of(obj)
    quietly(setattr, context, ("f", "preamble")[slot % 2], HStream(plan, context))


def trap_attribute(w, obj, slot, plan):
    name, sort = w.choose(attributes_of(obj), slot)
    quietly(setattr, obj, name, w.make(sort, (1, slot // 8, plan, slot)))


# What a rule may set up on the object it is about to use: nothing, a key in its dict or
# its context's, a hostile stream as its context's buffer, a hostile attribute, a class
# of its own, a finalizer.
TRAPS = [
    lambda w, obj, slot, plan: None,
    trap_key,
    lambda w, obj, slot, plan: trap_key(w, context_of(obj), slot, plan, obj),
    trap_stream,
    trap_attribute,
    lambda w, obj, slot, plan: act_swap_class(w, obj, 0),
    lambda w, obj, slot, plan: lay_bomb(w, plan, slot),
]
TRAP = st.tuples(st.integers(0, len(TRAPS) - 1), st.integers(0, 63), PLANS)


ARGUMENTS = st.lists(CHOICE, min_size=4, max_size=4)
INDEX = st.integers(0, 63)

# (receivers, method, parameter sorts): every writer and the library's other methods.
ENV = LatexEnvironment
METHODS = [
    (ENV, "tex", ["text"]), (ENV, "text", ["text"]), (ENV, "hfill", []), (ENV, "vfill", []),
    (ENV, "parbreak", []), (ENV, "linebreak", []), (ENV, "pagebreak", []),
    (ENV, "medskip", []), (ENV, "footnotesize", []), (ENV, "hspace", ["size"]),
    (ENV, "vspace", ["size"]), (ENV, "color", ["size", "size", "size"]),
    (ENV, "rule", ["size", "size", "text"]), (ENV, "input", ["text"]),
    (ENV, "use_package", ["name", "options"]),
    (ENV, "tabular_simple", ["data", "cells", "cells", "flag"]),
    (ENV, "lstlisting", ["text", "text"]), (ENV, "graphics_data", ["text", "mime", "text"]),
    (ENV, "save_graphics_data", ["text", "mime", "text"]),
    (ENV, "textattachfile", ["text", "text", "text"]),
    (Tabular, "hline", []), (Tabular, "endhead", []), (Tabular, "row_tex", ["text", "text"]),
    ((Tabular, Figure, SubFigure), "dump", ["context"]),
    (LatexDocument, "dump_stream", ["stream"]), (LatexDocument, "fullpage", []),
    (Row, "cell_tex", ["text"]), (Row, "multicolumn_tex", ["int", "text", "text"]),
    (LatexContext, "child", []), (LatexContext, "generate_file_id", []),
    (LatexContext, "use_package", ["name", "options"]),
    (LatexContext, "require_package", ["name"]), (LatexContext, "dump_preamble", ["stream"]),
    (UsePackage, "dump_preamble", ["stream"]),
    ((io.StringIO, HStream), "getvalue", []),
]
# Context managers: (receivers, method, parameter sorts).
BLOCKS = [
    (ENV, "minipage", ["size", "text", "flag"]), (ENV, "minipage_bottom", ["size"]),
    (ENV, "fbox", ["size"]), (ENV, "resizebox", ["size"]), (ENV, "mbox", ["size", "text"]),
    (ENV, "tightbox", []), (ENV, "figure", ["text", "text", "text", "flag"]),
    (ENV, "subfigure", ["text", "text"]), (ENV, "tabular", ["alignment", "tabenv"]),
    (ENV, "longtable", ["alignment"]), (Tabular, "row", []), (Row, "cell", []),
]
# Objects made by hand: (class, parameter sorts).
MADE = [
    (LatexContext, ["path"]), (HCtx, ["path"]), (LatexEnvironment, ["context"]),
    (SUBCLASSES[LatexEnvironment], ["context"]), (LatexDocument, ["text", "text", "path"]),
    (SUBCLASSES[LatexDocument], []), (Tabular, ["alignment", "context", "tabenv"]),
    (SUBCLASSES[Tabular], ["alignment", "context"]), (Row, ["int", "context"]),
    (Figure, ["text", "text", "text", "context", "flag"]),
    (SubFigure, ["text", "text", "context"]), (UsePackage, ["name", "options"]),
    (SUBCLASSES[UsePackage], ["name", "options"]),
]


class HostilePrograms(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.objects = []  # everything a program may use again, in order of making
        self.managers = []  # every context manager made
        self.entered = []  # the managers entered and not yet exited by a rule
        self.owners = {}  # manager: the object it writes into (or to)
        self.standing = []  # the plan of overridden methods, patches and finalizers
        self.undo = []
        self.threshold = None
        self.depth = 0
        self.steps = 0

    # -- helpers --------------------------------------------------------------------------

    def pick(self, kinds, k, default=LookupError):
        found = [o for o in self.objects if isinstance(o, kinds)]
        if found:
            return found[k % len(found)]
        if default is LookupError:
            raise LookupError(kinds)
        return default

    @staticmethod
    def choose(options, k):
        return options[k % len(options)]

    def make(self, sort, choice):
        hostile, index, plan, k = choice
        maker = self.choose(SORTS[sort][hostile], index)
        if hostile:
            return maker(list(plan))
        if isinstance(maker, Pick):
            return self.pick(maker.kinds, k, default=None)
        return maker() if callable(maker) else maker

    def arguments(self, sorts, choices):
        return [self.make(sort, choice) for sort, choice in zip(sorts, choices)]

    def attempt(self, what, function, *args):
        """Runs one step of the program: any Python exception is fine but SystemError."""
        self.steps += 1
        if TRACE:
            print("step %s" % what, file=sys.stderr, flush=True)
        try:
            result = function(*args)
        except SystemError:
            raise
        except Exception:
            return None
        if isinstance(result, (LatexContext, LatexEnvironment, Row, UsePackage, io.StringIO,
                               HStream)):
            self.objects.append(result)
        return result

    def enter(self, manager):
        target = manager.__enter__()
        self.entered.append(manager)
        if target is not None:
            self.objects.append(target)

    def patch(self, owner, name, value):
        self.undo.append((owner, name, vars(owner)[name]))
        setattr(owner, name, value)

    def receiver(self, table, at, which):
        """An entry of `table` and an object of the program that receives it."""
        entries = [e for e in table if any(isinstance(obj, e[0]) for obj in self.objects)]
        if not entries:
            return None, (None, None, None)
        entry = self.choose(entries, which)
        return self.pick(entry[0], at), entry

    def set_trap(self, obj, trap):
        """Just before the library works on `obj`: one of TRAPS, with its plan."""
        kind, slot, plan = trap
        if obj is not None:
            self.attempt("trap %d" % kind, TRAPS[kind], self, obj, slot, list(plan))

    def open(self, manager, owner):
        if hasattr(manager, "__exit__"):
            self.managers.append(manager)
            self.owners[manager] = owner

    # -- rules ----------------------------------------------------------------------------

    @initialize(plan=PLANS)
    def start(self, plan):
        global WORLD
        WORLD = self
        self.standing = list(plan)
        self.objects.append(LatexContext())
        self.open(pagewright.latex_document(io.StringIO()), None)
        self.enter(self.managers[0])

    @rule(kind=st.integers(0, 2), args=ARGUMENTS)
    def open_output(self, kind, args):
        """latex_document, latex_fragment or begin_end, into a stream or a file."""
        destination = self.make("stream" if kind == 2 else "dest", args[0])
        if kind == 2:
            manager = self.attempt("begin_end", pagewright.begin_end, destination,
                                   *self.arguments(["text", "options"], args[1:]))
        elif kind:
            manager = self.attempt("latex_fragment", pagewright.latex_fragment, destination,
                                   self.make("path", args[1]))
        else:
            manager = self.attempt("latex_document", pagewright.latex_document, destination,
                                   *self.arguments(["path", "text", "text"], args[1:]))
        self.open(manager, destination)
        if isinstance(destination, (io.StringIO, HStream)):
            self.objects.append(destination)

    @rule(made=st.sampled_from(MADE), args=ARGUMENTS)
    def make_object(self, made, args):
        cls, sorts = made
        self.attempt("make %s" % cls.__name__, cls, *self.arguments(sorts, args))

    @rule(at=INDEX, which=INDEX, args=ARGUMENTS, enter=st.booleans(), trap=TRAP)
    def open_block(self, at, which, args, enter, trap):
        obj, (_, method, sorts) = self.receiver(BLOCKS, at, which)
        if obj is None:
            return
        self.set_trap(obj, trap)
        manager = self.attempt(method, lambda: getattr(obj, method)(*self.arguments(sorts, args)))
        self.open(manager, obj)
        if enter and manager in self.owners:
            self.attempt("enter", self.enter, manager)

    @rule(index=INDEX, how=st.integers(0, 3), trap=TRAP)
    def step_block(self, index, how, trap):
        """Enters a block, or exits one: the innermost as a with statement would, or any
        of them, entered or not, normally or with an exception."""
        if not self.managers or (how == 3 and not self.entered):
            return
        manager = self.entered.pop() if how == 3 else self.choose(self.managers, index)
        self.set_trap(self.owners[manager], trap)
        if how == 0:
            self.attempt("enter", self.enter, manager)
            return
        error = Boom("block") if how == 2 else None
        self.attempt("exit", manager.__exit__, type(error) if error else None, error, None)
        if manager in self.entered:
            self.entered.remove(manager)

    @rule(at=INDEX, calls=st.lists(st.tuples(INDEX, ARGUMENTS), min_size=1, max_size=3),
          trap=TRAP)
    def call(self, at, calls, trap):
        """A few calls of the library's methods on one object, after setting a trap."""
        obj, entry = self.receiver(METHODS, at, calls[0][0])
        if obj is None:
            return
        self.set_trap(obj, trap)
        for which, args in calls:
            _, name, sorts = self.choose([e for e in METHODS if isinstance(obj, e[0])], which)
            self.attempt(name, lambda: getattr(obj, name)(*self.arguments(sorts, args)))

    @rule(action=st.sampled_from(sorted(ACTIONS)), number=st.integers(0, 11))
    def act(self, action, number):
        self.attempt(action, ACTIONS[action], self, None, number)

    @rule(plan=PLANS)
    def arm(self, plan):
        self.standing = list(plan)

    def teardown(self):
        global WORLD
        try:
            while self.entered:  # blocks still open end as a with statement would end them
                manager = self.entered.pop()
                self.attempt("exit", manager.__exit__, None, None, None)
            for obj in list(self.objects):  # a finished document is all there
                if type(obj) is LatexDocument:
                    stream = io.StringIO()
                    try:
                        obj.dump_stream(stream)
                    except SystemError:
                        raise
                    except Exception:
                        continue
                    text = stream.getvalue()
                    assert text.startswith("\\documentclass[") and text.endswith(
                        "\\end{document}\n"), text[-200:]
        finally:
            WORLD = None
            for owner, name, before in reversed(self.undo):
                setattr(owner, name, before)
            if self.threshold:
                gc.set_threshold(*self.threshold)
            self.objects = self.managers = self.entered = self.owners = None
            gc.collect(1)
            COUNTS[0] += 1
            COUNTS[1] += self.steps


COUNTS = [0, 0]  # programs run, steps taken


def test_hostile_programs(tmp_path, monkeypatch, record_property):
    monkeypatch.chdir(tmp_path)  # the files that documents and graphics write
    config = settings(max_examples=EXAMPLES, stateful_step_count=30, deadline=None,
                      database=None, suppress_health_check=list(HealthCheck),
                      verbosity=Verbosity.normal)
    machine = HostilePrograms
    if "PW_HOSTILE_SEED" in os.environ:
        machine = seed(int(os.environ["PW_HOSTILE_SEED"]))(machine)
    COUNTS[:] = [0, 0]
    run_state_machine_as_test(machine, settings=config)
    record_property("programs", COUNTS[0])
    print("hostile: %d programs, %d steps, fast paths %s" % (
        COUNTS[0], COUNTS[1], "off" if os.environ.get("PAGEWRIGHT_NO_FAST_PATHS") else "on"))


# ----------------------------------------------------------------------------------------
# The crashes found, each as a small program with what it must do instead. plant(obj,
# name, action) puts a key first in obj's dict that hashes as `name` and runs `action`
# the first time a lookup compares it; allocating(function, action) runs `action` from a
# finalizer inside function().

def plant(obj, name, action):
    class Key:
        def __hash__(self):
            return hash(name)

        def __eq__(self, other):
            if calls:
                calls.pop()()
            return False

    calls = []
    plant_first(vars(obj), Key())
    calls.append(action)


def replace_dict(obj, **entries):
    """obj.__dict__ = entries, the old dict really freed."""
    entries = dict(entries)
    churn()
    obj.__dict__ = entries


def allocating(function, action):
    """function(), with `action` run by a finalizer at its first allocation of an object
    that the collector tracks (the collector runs there, as the allocation passes a
    threshold of one)."""

    class Garbage:
        def __init__(self):
            self.cycle = self

        def __del__(self):
            action()

    threshold = gc.get_threshold()
    gc.collect()
    Garbage()
    gc.set_threshold(1)
    try:
        return function()
    finally:
        gc.set_threshold(*threshold)


REPRODUCERS = {
    # Escaping empty text into a fresh body copied nothing to a null pointer.
    "empty text": """
        env = LatexEnvironment(LatexContext())
        env.text('')
        env.text('a_')
        assert env.context.f.getvalue() == 'a\\\\_'
    """,
    # An instance dict read directly, replaced by a key's __eq__ during the lookup.
    "writer's context": """
        old = LatexContext()
        env = LatexEnvironment(old)
        plant(env, 'context', lambda: replace_dict(env, context=LatexContext()))
        env.tex('x')
        assert old.f.getvalue() == 'x' and env.context.f.getvalue() == ''
    """,
    "use_package's context": """
        env = LatexEnvironment(LatexContext())
        plant(env, 'context', lambda: replace_dict(env))
        env.use_package('p')
    """,
    "row's cells": """
        row = Tabular.Row(2, LatexContext())
        plant(row, 'cols', lambda: replace_dict(row, col=0, ncols=2, cols=[]))
        row.cell_tex('a')
    """,
    "row's room for a cell": """
        row = Tabular.Row(2, LatexContext())
        plant(row, 'ncols', lambda: replace_dict(row, col=0, ncols=2, cols=[],
                                                 context=LatexContext()))
        with row.cell() as cell:
            cell.tex('a')
        assert row.cols == ['a']
    """,
    "float's own dump": """
        doc = LatexDocument()
        with pytest.raises(AttributeError):  # the figure lost its attributes
            with doc.figure('c') as fig:
                plant(fig, 'dump', lambda: replace_dict(fig))
    """,
    "parent's own use_package": """
        root = LatexContext()
        vars(root)
        child = root.child()
        plant(root, 'use_package', lambda: replace_dict(root, parent=None, packages={}))
        child.use_package('p')
    """,
    # The collector, run by an allocation, lets a finalizer take a context out of its
    # native state while the library works on it.
    "child of a context": """
        ctx = LatexContext('g')
        child = allocating(ctx.child, lambda: vars(ctx))
        assert child.parent is ctx and child.graphics_path == 'g'
    """,
    "buffer read twice": """
        ctx = LatexContext()
        stream = allocating(lambda: ctx.f, lambda: vars(ctx))
        assert ctx.f is stream
    """,
    "dict made twice": """
        ctx = LatexContext()
        LatexEnvironment(ctx).tex('hello')
        names = allocating(lambda: sorted(vars(ctx)), lambda: vars(ctx))
        assert names == ['count', 'f', 'graphics_path', 'packages', 'parent', 'preamble']
        assert ctx.f.getvalue() == 'hello'
    """,
}


@pytest.mark.parametrize("source", REPRODUCERS.values(), ids=REPRODUCERS)
def test_hostile_reproducers(source):
    namespace = dict(globals())
    exec(compile(textwrap.dedent(source), "<reproducer>", "exec"), namespace)
