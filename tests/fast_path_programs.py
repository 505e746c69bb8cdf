"""Generates random pagewright programs as Python source, for the fast-path comparison.

A program is built statement by statement from hypothesis draws; the zero draw of every
choice is the simplest one (the first entry of a menu, no optional extra), so a failing
program shrinks towards fewer and plainer statements. Programs use the names that
fast_path_child.py provides (caught, look, Rec, Boom, the hostile values, the stand-in
functions) and bind every object they make to a variable v1, v2, ... so that the child
can render them all at the end. Half of the programs are hostile: they pass odd values
and wrong arguments; the others take only the plain values at the head of each menu,
so that fast paths see long clean runs. A program that replaces anything in the library
starts with the line "# isolated" and runs in a process of its own.

Statements cover: the two writers (latex_document, latex_fragment) into streams and
files; every box, figure, sub-figure, table, row and cell block, nested; every writer
method, with keyword and positional arguments, wrong argument counts and hostile
values; loops of repeated calls; direct use of LatexContext, LatexEnvironment,
LatexDocument, Tabular, Tabular.Row, Figure, SubFigure and UsePackage; direct use of the
buffers (write, seek, truncate, close); looks at buffers, attributes, vars(), copies and
pickles midway; bodies that raise; replaced buffers, contexts, parents, attributes and
methods (on instances, on library classes and on Python subclasses); rebound module
globals; replaced os.path, os.makedirs, mimetypes and open.
"""

from hypothesis import strategies as st

# ----------------------------------------------------------------------------------------
# Values, as source text: the plain ones first (a hostile program may take any).

WORDS = ["'x'", "'a_b'", "'50% & more'", "'\\\\a{b}^$'", "''", "'line\\n'", "'\\u00e9\\u20ac'",
         "'\\U0001f600'", "'\\ud800'", "MyStr('s_')", "'ab' * 2000", "'\\u20ac' * 2000 + 'x'",
         "'\\U0001f600' * 1000"]
HOSTILE = ["3", "None", "1.5", "('a',)", "('a', 'b')", "['l']", "{}", "b'x'", "StrBoom()",
           "BoolBoom()", "Hostile()", "2**70", "True"]
SIZES = ["'1cm'", "'0.5\\\\linewidth'", "''", "3", "('1cm',)", "('1cm', '2cm')", "None",
         "StrBoom()", "1.5", "MyInt(2)", "MyStr('2cm')"]
BOOLS = ["False", "True", "0", "1", "None", "''", "'x'", "BoolBoom()"]
INTS = ["2", "0", "1", "3", "-1", "True", "2**70", "'2'", "None", "1.5", "MyInt(1)"]
NAMES = ["'pkg'", "'caption'", "'graphicx'", "'longtable'", "'b'", "['x']", "None", "3",
         "MyStr('pkg')"]
OPTIONS = ["None", "{}", "{'k': 'v'}", "{'k': None}", "{'a': 'b', 'c': None, 'd': 'e'}", "0",
           "''", "'opts'", "Hostile()", "{'k': 3}"]
ALIGNMENTS = ["['l', 'r']", "['c']", "['p{3cm}', 'l', 'c']", "[]", "['l', '|', 'r']", "'lr'",
              "('l',)", "['c{']", "['x']", "[3]", "['l', 'c', 'r', 'p{1cm}']", "[MyStr('l')]",
              "['{c}']", "None"]
TABLE_ENVS = ["'tabular'", "'longtable'", "'array'", "None", "['tabular']"]
CAPTIONS = ["'A'", "None", "''", "3", "('a', 'b')", "'50%_x'", "StrBoom()"]
LABELS = ["'fig:a'", "None", "''", "0", "3", "('a',)", "('a', 'b')", "StrBoom()"]
PLACEMENTS = ["'t'", "''", "None", "'h!'", "('a',)", "('a', 'b')", "{'k': 'v'}", "0"]
GRAPHICS_PATHS = ["'.'", "'g'", "'g/h'", "''", "None", "3"]
STREAMS = ["io.StringIO()", "Rec()", "Rec('old text')", "Sink()", "Broken()", "3", "None"]
FILE_NAMES = ["'out/doc.tex'", "'out/deep/d.tex'", "MyStr('out/s.tex')", "'doc.tex'",
              "b'out/b.tex'", "'out'"]
MIMES = ["pagewright.MIME_PLAIN", "pagewright.MIME_JPG", "pagewright.MIME_PNG",
         "'application/x-unknown-kind'", "None", "3"]
GIDS = ["None", "'g'", "'fig.v1/a'", "'a/b'", "3", "''", "MyStr('s.t')"]
BASENAMES = ["'data.csv'", "'sub/d.txt'", "'x.txt'", "''", "3"]
DATA = ["[[1, 2], [3, 4]]", "[['a'], []]", "[]", "None", "{0: ['x%']}", "[['&', '%_'], ('t',)]",
        "[[StrBoom()]]", "[[('a', 'b')]]"]
ROWS = ["['a', 'b']", "[]", "['r']", "'ab'", "None", "[('x',)]"]
COLUMNS = ["['x', 'y']", "[]", "['c']", "None", "iter(['x'])", "('x', 'y', 'z')"]
LANGUAGES = ["None", "'TeX'", "''", "3", "('a', 'b')"]
PARAMS = [("width", "'3cm'"), ("keepaspectratio", "True"), ("angle", "None"), ("clip", "False"),
          ("scale", "1"), ("height", "StrBoom()")]
CLASS_NAMES = ["'article'", "'book'", "None", "3"]
BUFFERS = ["io.StringIO()", "Rec()", "io.StringIO('pre')", "Rec('pre')", "Sink()", "None",
           "Broken()"]

# (name, [(parameter, value menu, required)]) for the writer methods of an environment.
R, O = True, False
WRITERS = [
    ("tex", [("tex", "text", R)]),
    ("text", [("t", "text", R)]),
    ("hfill", []), ("vfill", []), ("parbreak", []), ("linebreak", []), ("pagebreak", []),
    ("medskip", []), ("footnotesize", []),
    ("hspace", [("size", SIZES, R)]),
    ("vspace", [("size", SIZES, R)]),
    ("color", [("r", SIZES, R), ("g", SIZES, R), ("b", SIZES, R)]),
    ("rule", [("width", SIZES, R), ("height", SIZES, R), ("color", "text", O)]),
    ("input", [("filename", "text", R)]),
    ("use_package", [("name", NAMES, R), ("options", OPTIONS, O)]),
    ("tabular_simple", [("data", DATA, R), ("row_desc", ROWS, R), ("col_desc", COLUMNS, R),
                        ("write_col_desc", BOOLS, O)]),
    ("lstlisting", [("code", "text", R), ("language", LANGUAGES, O)]),
    ("graphics_data", [("data", "text", R), ("mime", MIMES, R), ("gid", GIDS, O)]),
    ("textattachfile", [("basename", BASENAMES, R), ("data", "text", R), ("text", "text", R)]),
    ("save_graphics_data", [("data", "text", R), ("mime", MIMES, R), ("gid", GIDS, R)]),
]

# Context-manager methods of an environment: (name, parameters, kinds of the yielded object).
BLOCKS = [
    ("minipage", [("width", SIZES, R), ("align", ["'t'", "''", "'b'", "3", "None"], O),
                  ("fbox", BOOLS, O)], "env"),
    ("figure", [("caption", CAPTIONS, O), ("label", LABELS, O), ("placement", PLACEMENTS, O),
                ("double", BOOLS, O)], "fig"),
    ("tabular", [("alignment", ALIGNMENTS, R), ("env", TABLE_ENVS, O)], "tab"),
    ("subfigure", [("caption", CAPTIONS, O), ("label", LABELS, O)], "sub"),
    ("fbox", [("sep", SIZES, O)], "env"),
    ("longtable", [("alignment", ALIGNMENTS, R)], "tab"),
    ("minipage_bottom", [("width", SIZES, R)], "env"),
    ("tightbox", [], "env"),
    ("resizebox", [("width", SIZES, R)], "env"),
    ("mbox", [("width", SIZES, O), ("position", ["'c'", "'r'", "3"], O)], "env"),
]

# Python subclasses of the library's classes, defined when a program first needs one.
CLASSES = {
    "MyEnv": ("", """\
class MyEnv(LatexEnvironment):
    def tex(self, tex):
        LatexEnvironment.tex(self, '[')
        super().tex(tex)
"""),
    "MyCtx": ("", """\
class MyCtx(LatexContext):
    def child(self):
        c = super().child()
        c.tag = 'child'
        return c
"""),
    "MyDoc": ("", """\
class MyDoc(LatexDocument):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.tag = 'doc'

    def hfill(self):
        self.context.f.write('<hfill>')
"""),
    "MyTab": ("from pagewright.tabular import Tabular", """\
class MyTab(Tabular):
    allowed = ['x']

    def dump(self, main_context):
        main_context.f.write('<table>')
        super().dump(main_context)
"""),
    "MyRow": ("from pagewright.tabular import Tabular", """\
class MyRow(Tabular.Row):
    def cell_tex(self, tex=''):
        super().cell_tex('(%s)' % (tex,))
"""),
    "MyFig": ("from pagewright.figure import Figure", """\
class MyFig(Figure):
    def dump(self, main_context):
        self.caption = 'mine'
        super().dump(main_context)
"""),
    "MyUse": ("from pagewright.context import UsePackage", """\
class MyUse(UsePackage):
    def dump_preamble(self, f):
        f.write('%% %s\\n' % (self.name,))
"""),
    "MyError": ("", """\
class MyError(Exception):
    pass
"""),
}

# Methods that the library calls on a context or a writer itself (not only the caller).
CONTEXT_CALLS = ["child", "use_package", "generate_file_id", "dump_preamble",
                 "require_package"]
ENVIRONMENT_CALLS = ["tex", "use_package", "tightbox", "fbox", "minipage", "save_graphics_data"]
INSTANCE_CALLS = {"env": ENVIRONMENT_CALLS, "doc": ENVIRONMENT_CALLS + ["dump_stream"],
                  "tab": ENVIRONMENT_CALLS + ["dump"], "fig": ENVIRONMENT_CALLS + ["dump"],
                  "sub": ENVIRONMENT_CALLS + ["dump"]}

# Classes whose objects a hostile program makes without running __init__.
UNMADE = [("LatexEnvironment", "env", ""), ("LatexDocument", "doc", ""),
          ("Tabular", "tab", "from pagewright.tabular import Tabular"),
          ("Tabular.Row", "row", "from pagewright.tabular import Tabular"),
          ("Figure", "fig", "from pagewright.figure import Figure")]

CLASS_OF = {"env": "MyEnv", "doc": "MyDoc", "ctx": "MyCtx", "tab": "MyTab", "fig": "MyFig"}

# Replacements of module globals, class attributes and methods of the library.
PATCHES = [
    ("LatexEnvironment.tex = loud", []),
    ("traced(LatexContext, 'child')", []),
    ("pagewright.tabular.Tabular = MyTab", ["MyTab"]),
    ("Tabular.allowed.append('x')", ["MyTab"]),
    ("Tabular.allowed = ['l']", ["MyTab"]),
    ("Tabular.envs = ['tabular', 'array']", ["MyTab"]),
    ("Tabular.Row = MyRow", ["MyRow"]),
    ("pagewright.environment.LatexEnvironment = MyEnv", ["MyEnv"]),
    ("pagewright.tabular.LatexEnvironment = MyEnv", ["MyEnv", "MyTab"]),
    ("pagewright.figure.Figure = MyFig", ["MyFig"]),
    ("pagewright.figure.StructureError = MyError", ["MyError", "MyFig"]),
    ("pagewright.figure.begin_end = fake_begin_end", ["MyFig"]),
    ("pagewright.environment.make_options_string = fake_options", []),
    ("pagewright.environment.latex_escape = fake_escape", []),
    ("pagewright.environment.os = fake_os", []),
    ("pagewright.environment.mimetypes = fake_mimetypes", []),
    ("pagewright.environment.MIME_PLAIN = 'image/png'", []),
    ("pagewright.frags.LatexDocument = MyDoc", ["MyDoc"]),
    ("pagewright.frags.LatexContext = MyCtx", ["MyCtx"]),
    ("pagewright.frags.LatexEnvironment = MyEnv", ["MyEnv"]),
    ("pagewright.frags.os = fake_os", []),
    ("pagewright.frags.make_sure_dir_exists = fake_makedirs_check", []),
    ("pagewright.document.LatexContext = MyCtx", ["MyCtx"]),
    ("pagewright.document.make_sure_dir_exists = fake_makedirs_check", []),
    ("pagewright.context.UsePackage = MyUse", ["MyUse"]),
    ("pagewright.context.StringIO = Rec", []),
    ("pagewright.context.dict_to_latex_option_string = fake_options", []),
    ("LatexEnvironment.hfill = loud", []),
    ("LatexEnvironment.minipage = LatexEnvironment.fbox", []),
    ("traced(LatexEnvironment, 'tex')", []),
    ("traced(LatexEnvironment, 'use_package')", []),
    ("traced(LatexContext, 'use_package')", []),
    ("traced(LatexContext, 'generate_file_id')", []),
    ("traced(LatexContext, 'require_package')", []),
    ("traced(LatexContext, 'dump_preamble')", []),
    ("traced(LatexDocument, 'dump_stream')", []),
    ("traced(LatexEnvironment, 'save_graphics_data')", []),
    ("traced(LatexEnvironment, 'tightbox')", []),
    ("traced(LatexEnvironment, 'fbox')", []),
    ("traced(LatexEnvironment, 'minipage')", []),
    ("LatexEnvironment.use_package = loud", []),
    ("traced(Tabular, 'dump')", ["MyTab"]),
    ("traced(Tabular, 'row_tex')", ["MyTab"]),
    ("traced(Tabular.Row, 'cell_tex')", ["MyTab"]),
    ("traced(Figure, 'dump')", ["MyFig"]),
    ("MyEnv.hfill = loud", ["MyEnv"]),
    ("MyCtx.child = LatexContext.child", ["MyCtx"]),
    ("del MyDoc.hfill", ["MyDoc"]),
    ("LatexContext.extra = 'class attribute'", []),
    ("os.path.join = fake_join", []),
    ("os.path.dirname = fake_dirname", []),
    ("os.path.exists = fake_exists", []),
    ("os.makedirs = fake_makedirs", []),
    ("os.getcwd = fake_os.getcwd", []),
    ("mimetypes.guess_extension = fake_mimetypes.guess_extension", []),
    ("builtins.open = fake_open", []),
    # A data descriptor: a plain class attribute named like an attribute the
    # library keeps natively would hide a native instance's value, where a
    # dict-based one keeps its own (the class-level difference of native
    # attributes).
    ("LatexEnvironment.context = property(lambda self: 'class attribute')", []),
]


INTEGERS = {}
TEXTS = st.text(st.sampled_from("ab_{}^$\\%&#~ \n\u00e9\ud800\U0001f600"), max_size=6)
PARAMETER_LISTS = st.lists(st.sampled_from(PARAMS), max_size=3, unique=True)
CELL_LISTS = st.lists(st.sampled_from(WORDS[:6]), max_size=4)


class Builder:
    """Builds one program; every draw goes through hypothesis."""

    MAX_DEPTH = 5

    def __init__(self, draw):
        self.draw = draw
        self.lines = []
        self.count = 0
        self.header = []  # import lines and class definitions, in order of need
        self.variables = []  # (name, kind) of every variable bound so far
        self.patched = False  # whether the program replaces anything in the library
        self.patching = self.chance(30)  # whether it may
        self.hostile = self.chance(50)  # whether it passes odd values and wrong arguments
        self.looping = False  # whether the statement being made is the body of a loop
        self.budget = self.number(3, 25)

    # -- helpers --------------------------------------------------------------------------

    def number(self, low, high):
        """An integer from low to high; the strategies are made once and reused (cheaper)."""
        key = (low, high)
        if key not in INTEGERS:
            INTEGERS[key] = st.integers(low, high)
        return self.draw(INTEGERS[key])

    def choose(self, options):
        return options[self.number(0, len(options) - 1)]

    def chance(self, percent):
        """True with about this probability; false for the simplest draw (zero)."""
        return self.number(0, 99) >= 100 - percent

    def emit(self, depth, text):
        self.lines.extend("    " * depth + line for line in text.splitlines())

    def new(self, kind):
        self.count += 1
        name = "v%d" % self.count
        self.variables.append((name, kind))
        return name

    def need(self, *names):
        for name in names:
            if name in CLASSES:
                import_line, definition = CLASSES[name]
                self.need_line(import_line)
                self.need_line(definition)
            else:
                self.need_line(name)

    def need_line(self, line):
        if line and line not in self.header:
            self.header.append(line)

    def value(self, menu):
        if menu == "text":
            if self.hostile and self.chance(12):
                return self.value(HOSTILE)
            if self.chance(30):
                return repr(self.draw(TEXTS))
            menu = WORDS
        if not self.hostile or self.chance(50):  # the plain values at the head of the menu
            return self.choose(menu[:max(2, len(menu) // 3)])
        return self.choose(menu)

    def pick(self, *makers):
        """Calls one of the functions given; only the chosen one draws anything."""
        return self.choose(makers)()

    def arguments(self, parameters):
        """Argument text for a call: some positional, the rest by keyword; sometimes with a
        required argument missing, one too many, an unknown keyword or one given twice."""
        fault = "none"
        if self.hostile and self.chance(12):
            fault = self.choose(["missing", "extra", "unknown", "twice"])
        used = [p for p in parameters if p[2] or self.chance(40)]
        if fault == "missing" and any(p[2] for p in used):
            used.remove([p for p in used if p[2]][-1])
        leading = 0
        while leading < len(used) and used[leading] is parameters[leading]:
            leading += 1
        positional = self.number(0, leading)
        pieces = [self.value(menu) for _, menu, _ in used[:positional]]
        pieces += ["%s=%s" % (name, self.value(menu)) for name, menu, _ in used[positional:]]
        if fault == "extra":
            pieces.insert(positional, self.value("text"))
        elif fault == "unknown":
            pieces.append("bogus=1")
        elif fault == "twice" and positional:
            pieces.append("%s=%s" % (parameters[0][0], self.value(parameters[0][1])))
        return ", ".join(pieces)

    def of_kind(self, *kinds):
        return [name for name, kind in self.variables if kind in kinds]

    def context_expression(self):
        options = ["%s.context" % v for v in self.of_kind("env", "fig", "sub", "tab", "doc")]
        options += self.of_kind("ctx")
        options += ["LatexContext()"] + ["None", "MyInt(3)"] * self.hostile
        return self.choose(options)

    def stream(self, depth):
        existing = self.of_kind("stream")
        if existing and self.chance(30):
            return self.choose(existing)
        name = self.new("stream")
        self.emit(depth, "%s = %s" % (name, self.value(STREAMS)))
        return name

    # -- program --------------------------------------------------------------------------

    def program(self):
        if self.patching:  # a world with replaced parts from the start, and maybe more later
            for _ in range(self.number(1, 3)):
                self.patch(0)
        while self.budget > 0:
            self.top_statement()
        isolated = ["# isolated"] if self.patched else []
        return "\n".join(isolated + self.header + self.lines) + "\n"

    def top_statement(self):
        self.budget -= 1
        kind = self.choose(["document", "fragment", "direct", "document", "look", "odd calls",
                            "tour"] + ["patch", "tour"] * self.patching)
        if kind == "patch":
            self.patch(0)
            return
        self.emit(0, "with caught():")
        if kind == "odd calls":
            self.odd_calls(1)
        elif kind == "tour":
            self.tour(1)
        elif kind == "look" and self.variables:
            self.look(1, self.choose([name for name, _ in self.variables]))
        elif kind in ("document", "look"):
            self.document(1)
        elif kind == "fragment":
            self.fragment(1)
        else:
            self.direct(1)

    def document(self, depth):
        destination = self.stream(depth) if self.chance(60) else self.value(FILE_NAMES)
        arguments = [destination]
        if self.chance(30):
            arguments.append("graphics_path=%s" % self.value(GRAPHICS_PATHS))
        if self.chance(20):
            arguments.append("document_class=%s" % self.value(CLASS_NAMES))
        if self.chance(20):
            arguments.append("class_options=%s" % self.value("text"))
        name = self.new("doc")
        self.emit(depth, "with pagewright.latex_document(%s) as %s:" % (", ".join(arguments), name))
        self.body(depth + 1, [name])

    def fragment(self, depth):
        destination = self.stream(depth) if self.chance(60) else self.value(FILE_NAMES)
        arguments = [destination]
        if self.chance(30):
            arguments.append("graphics_path=%s" % self.value(GRAPHICS_PATHS))
        name = self.new("env")
        self.emit(depth, "with pagewright.latex_fragment(%s) as %s:" % (", ".join(arguments), name))
        self.body(depth + 1, [name])

    def tour(self, depth):
        """A plain document that uses every construct once, so that whatever the program
        replaced meets every place where the library calls it. Sometimes a method that the
        library calls on one of the objects is first replaced on that object alone."""
        document = self.new("doc")
        self.emit(depth, "with pagewright.latex_document(%s) as %s:" % (self.stream(depth),
                                                                      document))
        depth += 1
        self.replace_one(depth, document, [("", "use_package"), ("", "tightbox"),
                                           ("", "fbox"), ("", "minipage"), ("", "dump_stream"),
                                           ("", "save_graphics_data")]
                         + [(".context", name) for name in CONTEXT_CALLS])
        names = {}

        def open_block(text, kind, inner, calls):
            names[kind] = self.new(kind)
            self.emit(inner, "with %s as %s:" % (text, names[kind]))
            self.replace_one(inner + 1, names[kind], calls + [(".context", "child")])

        open_block("%s.minipage_bottom('1cm')" % document, "env", depth, [("", "tex")])
        self.emit(depth + 1, "%s.tex('x')" % names["env"])
        open_block("%s.minipage('1cm', 't', fbox=True)" % document, "env", depth, [])
        self.emit(depth + 1, "%s.text('y_')" % names["env"])
        open_block("%s.figure('A', 'fig:a')" % document, "fig", depth, [("", "use_package")])
        open_block("%s.subfigure('L')" % names["fig"], "sub", depth + 1, [])
        self.emit(depth + 2, "%s.tex('z')" % names["sub"])
        open_block("%s.tabular(['l', 'r'])" % document, "tab", depth, [])
        self.emit(depth + 1, "%s.hline()" % names["tab"])
        self.emit(depth + 1, "%s.row_tex('1', '2')" % names["tab"])
        open_block("%s.row()" % names["tab"], "row", depth + 1, [])
        self.emit(depth + 2, "%s.cell_tex('a')" % names["row"])
        open_block("%s.cell()" % names["row"], "env", depth + 2, [])
        self.emit(depth + 3, "%s.text('b')" % names["env"])
        open_block("%s.resizebox('1cm')" % document, "env", depth, [])
        with_graphics = names["env"]
        self.emit(depth + 1, "%s.graphics_data('d', pagewright.MIME_PLAIN)" % with_graphics)
        open_block("%s.mbox()" % document, "env", depth, [])
        self.emit(depth + 1, "%s.lstlisting('code')" % names["env"])
        self.emit(depth, "%s.graphics_data('d', pagewright.MIME_PLAIN)" % document)
        self.emit(depth, "%s.fullpage()" % document)

    def replace_one(self, depth, name, calls):
        """Sometimes traces one of the methods given, on the object itself."""
        if self.chance(30):
            suffix, method = self.choose(calls)
            self.emit(depth, "traced(%s%s, %r)" % (name, suffix, method))

    def odd_calls(self, depth):
        """A run of writer calls with odd values and wrong arguments, each one caught."""
        stream, name = self.stream(depth), self.new("env")
        self.emit(depth, "with pagewright.latex_fragment(%s) as %s:" % (stream, name))
        hostile, self.hostile = self.hostile, True
        for _ in range(self.number(1, 8)):
            self.emit(depth + 1, "with caught():")
            self.writer(depth + 2, name)
        self.hostile = hostile

    def body(self, depth, scope):
        """Statements inside a block; scope lists the writers in reach, innermost first."""
        size = len(self.lines)
        for _ in range(self.number(0 if depth > 1 else 1, 4)):
            if self.budget <= 0:
                break
            self.budget -= 1
            self.statement(depth, scope)
        if self.chance(4 if self.hostile else 1):
            self.emit(depth, "raise Boom(%d)" % depth)
        if len(self.lines) == size:
            self.emit(depth, "pass")

    def statement(self, depth, scope):
        target = scope[0] if self.chance(80) else self.choose(scope)
        kind = dict(self.variables)[target]
        menu = ["writer", "block", "writer", "block", "look"]
        if kind == "tab":
            menu += ["table", "table", "row", "row"]
        if kind == "row":
            menu = ["cell", "cell", "cell", "look"]
        if not self.looping:  # nothing whose cost can grow with each round
            menu += ["mutate"] * (1 + self.hostile) + ["buffer"]
            menu += ["direct", "stale", "loop"] + ["patch"] * self.patching
        choice = self.choose(menu)
        guarded = self.chance(50)
        if guarded:
            self.emit(depth, "with caught():")
            depth += 1
        if choice == "loop" and depth < self.MAX_DEPTH + 1:
            # repeated calls: caches warm up, buffers grow past their first sizes
            self.emit(depth, "for i in range(%d):" % self.choose([3, 30, 100]))
            self.looping = True
            self.statement(depth + 1, scope)
            self.looping = False
        elif choice == "writer":
            self.writer(depth, target)
        elif choice == "block" and depth < self.MAX_DEPTH + 1:
            self.block(depth, target, scope)
        elif choice == "table":
            self.table_statement(depth, target)
        elif choice == "row":
            name = self.new("row")
            self.emit(depth, "with %s.row() as %s:" % (target, name))
            self.body(depth + 1, [name] + scope)
        elif choice == "cell":
            self.cell_statement(depth, target, scope)
        elif choice == "buffer" and kind != "ctx":
            self.buffer(depth, target)
        elif choice == "mutate":
            self.mutate(depth, target)
        elif choice == "patch":
            self.patch(depth)
        elif choice == "direct":
            self.direct(depth)
        elif choice == "stale" and self.of_kind("env", "fig", "sub", "tab", "doc", "row"):
            self.stale(depth, self.choose(self.of_kind("env", "fig", "sub", "tab", "doc", "row")))
        else:
            self.look(depth, target)

    def stale(self, depth, target):
        """Uses an object made earlier, perhaps after its block has ended."""
        kind = dict(self.variables)[target]
        if kind == "row":
            self.cell_statement(depth, target, [target])
        elif kind == "doc" and self.chance(50):
            self.emit(depth, "%s.dump_stream(%s)" % (target, self.stream(depth)))
        elif kind in ("tab", "fig", "sub") and self.chance(50):
            self.emit(depth, "%s.dump(%s)" % (target, self.context_expression()))
        elif self.chance(30):  # its text was copied out: changing it now changes nothing
            self.buffer(depth, target)
        else:
            self.writer(depth, target)

    def writer(self, depth, target):
        name, parameters = self.choose(WRITERS)
        arguments = self.arguments(parameters)
        if name == "graphics_data" and self.chance(50):
            chosen = self.draw(PARAMETER_LISTS)
            extra = ", ".join("%s=%s" % pair for pair in chosen)
            arguments = ", ".join(filter(None, [arguments, extra]))
        self.emit(depth, "%s.%s(%s)" % (target, name, arguments))

    def block(self, depth, target, scope):
        method, parameters, kind = self.choose(BLOCKS)
        arguments = self.arguments(parameters)
        name = self.new(kind)
        self.emit(depth, "with %s.%s(%s) as %s:" % (target, method, arguments, name))
        self.body(depth + 1, [name] + scope)

    def table_statement(self, depth, target):
        choice = self.choose(["row_tex", "hline", "endhead", "row_tex_hostile"])
        if choice == "row_tex":
            cells = self.draw(CELL_LISTS)
            self.emit(depth, "%s.row_tex(%s)" % (target, ", ".join(cells)))
        elif choice == "row_tex_hostile":
            cells = [self.value("text") for _ in range(self.number(0, 3))]
            self.emit(depth, "%s.row_tex(%s)" % (target, ", ".join(cells)))
        else:
            self.emit(depth, "%s.%s()" % (target, choice))

    def cell_statement(self, depth, target, scope):
        choice = self.choose(["cell_tex", "cell", "multicolumn_tex", "cell_tex", "cols", "col"])
        if choice == "cell_tex":
            argument = self.value("text") if self.chance(70) else ""
            self.emit(depth, "%s.cell_tex(%s)" % (target, argument))
        elif choice == "cell" and depth < self.MAX_DEPTH + 1:
            name = self.new("env")
            self.emit(depth, "with %s.cell() as %s:" % (target, name))
            self.body(depth + 1, [name] + scope)
        elif choice == "multicolumn_tex":
            self.emit(depth, "%s.multicolumn_tex(%s, %s, %s)" % (
                target, self.value(INTS), self.value("text"), self.value("text")))
        elif choice == "cols":
            self.emit(depth, "%s.cols.append(%s)" % (target, self.value("text")))
        else:
            self.emit(depth, "%s.col = %s" % (target, self.value(INTS)))

    def look(self, depth, target):
        kind = dict(self.variables)[target]
        options = ["%s" % target, "vars(%s)" % target, "%s.__dict__" % target,
                   "copy.copy(%s)" % target, "type(%s)" % target, "copy.deepcopy(%s)" % target,
                   "pickle.loads(pickle.dumps(%s))" % target,
                   "getattr(%s, 'context', 'missing')" % target,
                   "sorted(m for m in sys.modules if m.startswith('pagewright'))"]
        if kind in ("env", "fig", "sub", "tab", "doc", "row"):
            options = ["%s.context.f.getvalue()" % target, "%s.context.f" % target,
                       "%s.context.preamble.getvalue()" % target,
                       "%s.context.packages" % target, "%s.context.parent" % target,
                       "%s.context.generate_file_id()" % target,
                       "%s.context.count" % target] + options
        if kind == "row":
            options += ["%s.cols" % target, "%s.col" % target, "%s.ncols" % target]
        if kind == "tab":
            options += ["%s.ncols" % target, "%s.alignment" % target, "%s.env" % target]
        if kind in ("fig", "sub"):
            options += ["%s.caption" % target, "%s.label" % target]
        if kind == "ctx":
            options = ["%s.f.getvalue()" % target, "%s.parent" % target,
                       "%s.generate_file_id()" % target, "%s.packages" % target] + options
        self.emit(depth, "look(%s)" % self.choose(options))

    def buffer(self, depth, target):
        """Works on a context's buffers directly, as callers may."""
        name = "%s.context.%s" % (target, self.choose(["f", "preamble"]))
        self.emit(depth, self.pick(
            lambda: "%s.write(%s)" % (name, self.value("text")),
            lambda: "%s.seek(0)" % name,
            lambda: "%s.truncate(%s)" % (name, self.choose(["0", "1", ""])),
            lambda: "%s.seek(%s.tell() // 2)" % (name, name),
            lambda: "%s.close()" % name,
        ))

    def mutate(self, depth, target):
        kind = dict(self.variables)[target]
        context = target if kind == "ctx" else "%s.context" % target
        t, c, choose, value = target, context, self.choose, self.value
        makers = [
            lambda: "%s.f = %s" % (c, value(BUFFERS)),
            lambda: "%s.f = (%s).f" % (c, self.context_expression()),  # a shared buffer
            lambda: "%s.context = %s" % (t, self.context_expression()),
            lambda: "%s.preamble = %s" % (c, value(BUFFERS)),
            lambda: "%s.parent = %s" % (c, self.context_expression()),
            lambda: "%s.tex = types.MethodType(loud, %s)" % (t, t),
            lambda: "%s.extra = %s" % (t, value("text")),
            lambda: "del %s.context" % t,
            lambda: "vars(%s)['context'] = %s" % (t, self.context_expression()),
            lambda: "%s.__dict__.pop('context', None)" % t,
            lambda: "%s.count = %s" % (c, value(INTS)),
            lambda: "%s.packages = %s" % (c, choose(["{}", "None", "{'x': 3}"])),
            lambda: "%s.graphics_path = %s" % (c, value(GRAPHICS_PATHS)),
            lambda: "%s.hfill = None" % t,
            lambda: "del %s.f" % c,
        ]
        makers.append(lambda: "%s.__init__()" % c)  # a context made afresh in place
        # methods that the library itself calls on these objects, replaced on the instance
        makers.append(lambda: "traced(%s, %r)" % (c, self.choose(CONTEXT_CALLS)))
        if kind in INSTANCE_CALLS:
            makers.append(lambda: "traced(%s, %r)" % (t, self.choose(INSTANCE_CALLS[kind])))
        initialiser = {"env": "%s", "doc": "", "tab": "['l'], %s", "row": "2, %s",
                       "fig": "'c', 'l', 't', %s, False", "sub": "'c', 'l', %s"}.get(kind)
        if initialiser is not None:  # the object made afresh in place
            makers.append(lambda: "%s.__init__(%s)" % (
                t, initialiser.replace("%s", self.context_expression())))
        if kind in CLASS_OF:  # a Python subclass, set on a live object
            makers.append(lambda: self.need(CLASS_OF[kind]) or "%s.__class__ = %s" % (
                t, CLASS_OF[kind]))
        if kind == "tab":
            makers += [lambda: "%s.ncols = %s" % (t, value(INTS)),
                       lambda: "%s.alignment = %s" % (t, value(ALIGNMENTS)),
                       lambda: "%s.env = %s" % (t, value(TABLE_ENVS)),
                       lambda: "del %s.ncols" % t]
        if kind == "row":
            makers += [lambda: "%s.ncols = %s" % (t, value(INTS)),
                       lambda: "%s.cols = %s" % (t, choose(["[]", "None", "('t',)"])),
                       lambda: "del %s.col" % t]
        if kind in ("fig", "sub"):
            makers += [lambda: "%s.caption = %s" % (t, value(CAPTIONS)),
                       lambda: "%s.label = %s" % (t, value(LABELS)),
                       lambda: "del %s.label" % t]
        if kind == "fig":
            makers += [lambda: "%s.placement = %s" % (t, value(PLACEMENTS)),
                       lambda: "%s.double = %s" % (t, value(BOOLS))]
        if kind == "doc":
            makers += [lambda: "%s.document_class = %s" % (t, value(CLASS_NAMES)),
                       lambda: "%s.class_options = %s" % (t, value("text"))]
        self.emit(depth, self.pick(*makers))

    def patch(self, depth):
        text, needs = self.choose(PATCHES)
        if "Tabular" in text or "Row" in text:
            self.need("from pagewright.tabular import Tabular")
        if "Figure" in text:
            self.need("from pagewright.figure import Figure")
        self.need(*needs)
        self.emit(depth, text)
        self.patched = True

    def direct(self, depth):
        """Objects made and used by hand rather than through the writers."""
        choice = self.choose(["context", "environment", "document", "table", "row", "figure",
                              "subfigure", "package", "subclass"] + ["unmade"] * self.hostile)
        context = self.context_expression()  # drawn before the new variable exists
        own = "%s.child()" % context if self.chance(70) else context  # for a table or figure
        if choice == "context":
            parent = self.of_kind("ctx")
            name = self.new("ctx")
            if parent and self.chance(50):
                self.emit(depth, "%s = %s.child()" % (name, self.choose(parent)))
            elif self.hostile and self.chance(20):  # made without its initialiser
                self.emit(depth, "%s = LatexContext.__new__(LatexContext)" % name)
            else:
                argument = self.value(GRAPHICS_PATHS) if self.chance(40) else ""
                self.emit(depth, "%s = LatexContext(%s)" % (name, argument))
            for _ in range(self.number(0, 3)):
                self.emit(depth, self.pick(
                    lambda: "look(%s.generate_file_id())" % name,
                    lambda: "%s.require_package(%s)" % (name, self.value(NAMES)),
                    lambda: "%s.use_package(%s, %s)" % (name, self.value(NAMES),
                                                        self.value(OPTIONS)),
                    lambda: "%s.dump_preamble(%s)" % (name, self.stream(depth)),
                ))
            return
        if choice == "package":
            self.need("from pagewright.context import UsePackage")
            name = self.new("obj")
            self.emit(depth, "%s = UsePackage(%s, %s)" % (name, self.value(NAMES),
                                                          self.value(OPTIONS)))
            self.emit(depth, "%s.dump_preamble(%s)" % (name, self.stream(depth)))
            return
        if choice == "document":
            name = self.new("doc")
            arguments = self.arguments([
                ("document_class", CLASS_NAMES, O), ("class_options", ["''", "'a4paper'", "3"], O),
                ("graphics_path", GRAPHICS_PATHS, O)])
            self.emit(depth, "%s = LatexDocument(%s)" % (name, arguments))
            scope = [name]
        elif choice == "unmade":  # made without its initialiser
            cls, kind, line = self.choose(UNMADE)
            self.need(line)
            name = self.new(kind)
            self.emit(depth, "%s = %s.__new__(%s)" % (name, cls, cls))
            scope = [name]
        elif choice == "environment":
            name = self.new("env")
            self.emit(depth, "%s = LatexEnvironment(%s)" % (name, context))
            scope = [name]
        elif choice == "subclass":
            cls = self.choose(["MyEnv", "MyDoc", "MyCtx", "MyTab"])
            self.need(cls)
            kind = {"MyEnv": "env", "MyDoc": "doc", "MyCtx": "ctx", "MyTab": "tab"}[cls]
            name = self.new(kind)
            argument = {"MyEnv": context, "MyDoc": "", "MyCtx": "",
                        "MyTab": "%s, LatexContext()" % self.choose(ALIGNMENTS[:3])}[cls]
            self.emit(depth, "%s = %s(%s)" % (name, cls, argument))
            if kind == "ctx":
                return
            scope = [name]
        elif choice == "table":
            self.need("from pagewright.tabular import Tabular")
            name = self.new("tab")
            env = ", %s" % self.value(TABLE_ENVS) if self.chance(30) else ""
            self.emit(depth, "%s = Tabular(%s, %s%s)" % (
                name, self.value(ALIGNMENTS), own, env))
            scope = [name]
        elif choice == "row":
            self.need("from pagewright.tabular import Tabular")
            name = self.new("row")
            self.emit(depth, "%s = Tabular.Row(%s, %s)" % (name, self.value(INTS),
                                                          context))
            self.body(depth, [name])
            self.emit(depth, "look(' & '.join(%s.cols))" % name)
            return
        elif choice == "figure":
            self.need("from pagewright.figure import Figure")
            name = self.new("fig")
            self.emit(depth, "%s = Figure(%s, %s, %s, %s, %s)" % (
                name, self.value(CAPTIONS), self.value(LABELS), self.value(PLACEMENTS),
                own, self.value(BOOLS)))
            scope = [name]
        else:
            self.need("from pagewright.figure import SubFigure")
            name = self.new("sub")
            self.emit(depth, "%s = SubFigure(%s, %s, %s)" % (
                name, self.value(CAPTIONS), self.value(LABELS), own))
            scope = [name]
        self.body(depth, scope)
        kind = dict(self.variables)[name]
        if kind == "doc":
            if self.chance(30):
                self.emit(depth, "%s.write_to_file(%s)" % (name, self.value(FILE_NAMES)))
            else:
                self.emit(depth, "%s.dump_stream(%s)" % (name, self.stream(depth)))
        elif kind in ("tab", "fig", "sub"):
            keyword = "main_context=" if self.chance(30) else ""
            self.emit(depth, "%s.dump(%s%s)" % (name, keyword, context))
        else:
            self.emit(depth, "look(%s.context.f.getvalue())" % name)


@st.composite
def programs(draw):
    return Builder(draw).program()
