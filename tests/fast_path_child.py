"""Runs generated pagewright programs and prints what they did, for the fast-path comparison.

    python fast_path_child.py WORKDIR

Reads batches of programs from its standard input, one line each (a JSON list of Python
sources), and answers each with one line (after a first line that shows the value of
PAGEWRIGHT_NO_FAST_PATHS it runs with): the JSON list of the programs' results. Each
program runs in an empty directory of its own under WORKDIR: one that replaces anything
in the library (its first line is "# isolated") in a forked copy of this process, the
others in this process itself. A result is a list of text lines: every exception the
program caught, every value it looked at, a deep rendering of every variable it bound,
and the files it left behind. Two runs of the same programs, one per mode, must give
identical results.
"""

import builtins
import contextlib
import copy
import io
import json
import mimetypes
import os
import pickle
import re
import signal
import sys
import traceback
import types

import pagewright
from pagewright import LatexContext, LatexDocument, LatexEnvironment

PROGRAM_FILE = "<program>"
ISOLATED = "# isolated"
TIMEOUT_SECONDS = 20
ADDRESS = re.compile(r"0x[0-9a-fA-F]+")
MODE_DIRECTORIES = ("\u00aa", "\u00ba")  # the name of the working directory of each mode


# ----------------------------------------------------------------------------------------
# Rendering: every value becomes text with no addresses and no absolute paths; objects get
# a stable name (the path through which they were first seen), so that shared objects and
# identity are visible and equal across the two runs.

class Renderer:
    def __init__(self, workdir):
        self.names = {}  # id -> (name, object): the object is kept alive so ids stay unique
        # the working directory as ascii() shows it, also as written by a replaced
        # os.path.join (slashes doubled)
        self.workdir = re.compile("/+".join(map(re.escape, ascii(workdir)[1:-1].split("/"))))

    def clean(self, text):
        """Text (already through ascii()) without addresses and with one working directory.
        Where a program cut a path short, the mode's one-character directory name is left:
        it is made the same for both modes."""
        text = self.workdir.sub("<cwd>", text) if "/" in text else text
        text = text.replace(ascii(MODE_DIRECTORIES[1])[1:-1], ascii(MODE_DIRECTORIES[0])[1:-1])
        return ADDRESS.sub("0x?", text) if "0x" in text else text

    def render(self, value, path="?", seen=None):
        """Renders value; objects already shown in this call (seen) appear as @name."""
        return self._render(value, path, set() if seen is None else seen, 0)

    def _render(self, value, path, seen, depth):
        if value is None or type(value) in (bool, int, float, complex):
            return repr(value)
        if type(value) is str:
            return self.clean(ascii(value))
        if type(value) is bytes:
            return ascii(value)
        if isinstance(value, (types.FunctionType, types.BuiltinFunctionType, type,
                              types.ModuleType, types.MethodDescriptorType,
                              types.WrapperDescriptorType)):
            return "<%s %s>" % (type(value).__name__, getattr(value, "__qualname__",
                                                               getattr(value, "__name__", "?")))
        if depth > 60:
            return "<deep>"
        key = id(value)
        if key not in self.names:
            self.names[key] = (path, value)
        name = self.names[key][0]
        if key in seen:
            return "@" + name
        seen.add(key)
        return "#%s=%s" % (name, self._body(value, name, seen, depth + 1))

    def _body(self, value, name, seen, depth):
        kind = type(value).__qualname__
        if isinstance(value, types.MethodType):
            return "method %s of %s" % (value.__func__.__qualname__,
                                        self._render(value.__self__, name + ".self", seen, depth))
        parts = []
        if isinstance(value, str):  # a str subclass
            parts.append(self.clean(ascii(str.__str__(value))))
        if isinstance(value, io.StringIO):
            try:
                parts.append("tell=%d text=%s" % (value.tell(), self.clean(ascii(value.getvalue()))))
            except Exception as error:
                parts.append("unreadable " + self.error_text(error))
        if isinstance(value, (list, tuple)):
            parts.extend(self._render(item, "%s[%d]" % (name, i), seen, depth)
                         for i, item in enumerate(value))
        elif isinstance(value, dict):
            parts.extend("%s: %s" % (self._render(k, name + "{key}", seen, depth),
                                     self._render(v, "%s[%s]" % (name, k if type(k) is str else "?"),
                                                  seen, depth))
                         for k, v in list(value.items()))
        if isinstance(value, BaseException):
            parts.append(self.error_text(value))
        try:
            attributes = vars(value)
        except TypeError:
            attributes = None
        except Exception as error:
            attributes = None
            parts.append("vars() failed " + self.error_text(error))
        if attributes is not None:
            parts.extend("%s=%s" % (k, self._render(v, "%s.%s" % (name, k), seen, depth))
                         for k, v in list(attributes.items()))
        return "%s(%s)" % (kind, ", ".join(parts))

    def name_of(self, value):
        """A shallow rendering that does not touch the object (no vars(), no attributes)."""
        if value is None or type(value) in (bool, int, float, str, bytes):
            return self.clean(ascii(value))
        entry = self.names.get(id(value))
        if entry is None:
            entry = self.names[id(value)] = ("obj%d" % len(self.names), value)
        return "%s:%s" % (type(value).__qualname__, entry[0])

    def error_text(self, error):
        try:
            message = str(error)
        except Exception as inner:
            message = "<str failed: %s>" % type(inner).__name__
        return "%s: %s" % (type(error).__qualname__, self.clean(ascii(message)))


# ----------------------------------------------------------------------------------------
# What a program sees besides pagewright.

class Boom(Exception):
    """Raised by a program's own block body."""


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
    """A stream whose write fails."""

    def write(self, text):
        raise OSError("disk full")


class StrBoom:
    def __str__(self):
        raise RuntimeError("no str")

    __repr__ = __str__


class BoolBoom:
    def __bool__(self):
        raise RuntimeError("no bool")


class Hostile(StrBoom, BoolBoom):
    def __len__(self):
        raise RuntimeError("no len")

    def __iter__(self):
        raise RuntimeError("no iter")

    def __getitem__(self, key):
        raise RuntimeError("no getitem")

    def __eq__(self, other):
        raise RuntimeError("no eq")

    __hash__ = None


class MyStr(str):
    """A str subclass whose own methods show when they are used."""

    def __str__(self):
        return "<%s>" % str.__str__(self)

    def replace(self, old, new, count=-1):
        return MyStr(str.replace(self, old, new.upper(), count))


class MyInt(int):
    def __str__(self):
        return "int %d" % self


def loud(self, *args, **kwargs):
    """Stands in for a writer method: shows its arguments in the body buffer."""
    self.context.f.write("!%d%s" % (len(args), "".join(sorted(kwargs))))


@contextlib.contextmanager
def fake_begin_end(stream, env_name, options=None):
    stream.write("<begin>")
    yield stream
    stream.write("<end>")


def fake_options(**params):
    return "|".join(params)


def fake_escape(text):
    return text.upper()


def fake_makedirs_check(d):
    program.log.append("make_sure_dir_exists(%s)" % program.renderer.render(d, "arg"))


fake_os = types.SimpleNamespace(
    path=types.SimpleNamespace(join=lambda a, b: "%s+%s" % (a, b), dirname=os.path.dirname,
                               exists=os.path.exists, relpath=os.path.relpath,
                               splitext=os.path.splitext),
    makedirs=os.makedirs, getcwd=lambda: "cwd", unlink=os.unlink)

fake_mimetypes = types.SimpleNamespace(guess_extension=lambda mime: ".dat")

# The real functions, for the harness itself and for restoring after a program replaced them.
REAL = {(os.path, "join"): os.path.join, (os.path, "dirname"): os.path.dirname,
        (os.path, "exists"): os.path.exists, (os, "makedirs"): os.makedirs,
        (os, "getcwd"): os.getcwd, (mimetypes, "guess_extension"): mimetypes.guess_extension,
        (builtins, "open"): builtins.open}
real_open = builtins.open
real_join = os.path.join


def fake_join(a, *rest):
    return real_join(a, *rest).replace("/", "//")


def fake_dirname(path):
    program.log.append("dirname(%s)" % program.renderer.name_of(path))
    return REAL[os.path, "dirname"](path)


def fake_exists(path):
    program.log.append("exists(%s)" % program.renderer.name_of(path))
    return REAL[os.path, "exists"](path)


def fake_makedirs(path, *args, **kwargs):
    program.log.append("makedirs(%s)" % program.renderer.name_of(path))
    return REAL[os, "makedirs"](path, *args, **kwargs)


def fake_open(name, *args, **kwargs):
    program.log.append("open(%s, %s)" % (program.renderer.name_of(name), args))
    return real_open(name, *args, **kwargs)


def traced(owner, name):
    """Replaces owner.name (owner a class or an instance) by a wrapper that logs each call
    and then calls the original."""
    original = getattr(owner, name)
    label = owner.__name__ if isinstance(owner, type) else program.renderer.name_of(owner)

    def wrapper(*args, **kwargs):
        shown = [program.renderer.name_of(a) for a in args]
        shown += ["%s=%s" % (k, program.renderer.name_of(v)) for k, v in kwargs.items()]
        program.log.append("call %s.%s(%s)" % (label, name, ", ".join(shown)))
        return original(*args, **kwargs)

    setattr(owner, name, wrapper)


class Program:
    def __init__(self, workdir):
        self.log = []
        self.renderer = Renderer(workdir)

    def caught(self):
        return Caught(self)

    def look(self, value):
        self.log.append("look " + self.renderer.render(value, "look%d" % len(self.log)))

    def exception_lines(self, error):
        frames = [f.lineno for f in traceback.extract_tb(error.__traceback__)
                  if f.filename == PROGRAM_FILE]
        lines = [n for i, n in enumerate(frames) if i == 0 or frames[i - 1] != n]
        chain = []
        inner = error
        while inner is not None and len(chain) < 5:
            text = self.renderer.error_text(inner)
            try:
                text += " args=" + self.renderer.render(inner.args, "args")
            except Exception:
                pass
            chain.append(text)
            inner = inner.__context__
        return "raised at lines %s: %s" % (lines, " <- ".join(chain))


class Caught:
    """with caught(): logs an exception that leaves the block and goes on after it."""

    def __init__(self, program):
        self.program = program

    def __enter__(self):
        return self

    def __exit__(self, kind, error, tb):
        if error is None:
            return False
        if not isinstance(error, Exception):
            return False
        self.program.log.append("caught " + self.program.exception_lines(error))
        return True


program = None


def run_one(source, workdir):
    """Runs one program in this process and returns its result lines."""
    global program
    program = Program(workdir)
    namespace = {
        "__name__": "__program__", "pagewright": pagewright, "LatexContext": LatexContext,
        "LatexEnvironment": LatexEnvironment, "LatexDocument": LatexDocument,
        "builtins": builtins, "copy": copy, "io": io, "mimetypes": mimetypes, "os": os,
        "pickle": pickle, "sys": sys, "types": types,
        "caught": program.caught, "look": program.look, "traced": traced,
        "Boom": Boom, "Rec": Rec, "Sink": Sink, "Broken": Broken, "StrBoom": StrBoom,
        "BoolBoom": BoolBoom, "Hostile": Hostile, "MyStr": MyStr, "MyInt": MyInt, "loud": loud,
        "fake_begin_end": fake_begin_end, "fake_options": fake_options,
        "fake_escape": fake_escape, "fake_os": fake_os, "fake_mimetypes": fake_mimetypes,
        "fake_makedirs_check": fake_makedirs_check, "fake_join": fake_join,
        "fake_dirname": fake_dirname, "fake_exists": fake_exists,
        "fake_makedirs": fake_makedirs, "fake_open": fake_open,
    }
    predefined = set(namespace)
    try:
        exec(compile(source, PROGRAM_FILE, "exec"), namespace)
    except Exception as error:
        program.log.append("uncaught " + program.exception_lines(error))
    for (owner, name), function in REAL.items():
        setattr(owner, name, function)
    lines = list(program.log)
    variables = [k for k in namespace if k not in predefined and not k.startswith("__")]
    seen = set()
    for name in variables:
        try:
            lines.append("%s = %s" % (name, program.renderer.render(namespace[name], name, seen)))
        except Exception as error:
            lines.append("%s unrenderable: %s" % (name, program.renderer.error_text(error)))
    lines.append("modules: %s" % sorted(m for m in sys.modules if m.startswith("pagewright")))
    for root, dirs, files in os.walk("."):
        dirs.sort()
        lines.append("dir %s" % ascii(root))
        for name in sorted(files):
            with real_open(real_join(root, name), encoding="utf-8", errors="surrogateescape") as f:
                lines.append("file %s = %s" % (ascii(name), program.renderer.clean(ascii(f.read()))))
    return lines


def run_forked(source, directory):
    """Runs a program in a forked copy of this process, so that whatever it replaces in
    the library (methods, module globals) does not reach the programs after it."""
    result_file = directory + ".json"
    sys.stdout.flush()
    sys.stderr.flush()
    pid = os.fork()
    if pid == 0:
        status = 1
        try:
            signal.alarm(TIMEOUT_SECONDS)
            with open(result_file, "w") as f:
                json.dump(run_one(source, directory), f)
            status = 0
        except BaseException:
            traceback.print_exc()
        finally:
            os._exit(status)
    _, status = os.waitpid(pid, 0)
    if status != 0 or not os.path.exists(result_file):
        return ["process ended with status %#x" % status]
    with open(result_file) as f:
        return json.load(f)


def main():
    workdir = os.path.abspath(sys.argv[1])
    print(json.dumps(os.environ.get("PAGEWRIGHT_NO_FAST_PATHS")), flush=True)  # the mode
    for batch, line in enumerate(sys.stdin):
        results = []
        for number, source in enumerate(json.loads(line)):
            os.write(2, b"batch %d program %d\n" % (batch, number))
            directory = os.path.join(workdir, "b%d" % batch, "p%d" % number)
            os.makedirs(directory)
            os.chdir(directory)
            if source.startswith(ISOLATED):
                results.append(run_forked(source, directory))
            else:
                signal.alarm(TIMEOUT_SECONDS)
                results.append(run_one(source, directory))
                signal.alarm(0)
        os.chdir(workdir)
        print(json.dumps(results), flush=True)


if __name__ == "__main__":
    main()
