import gc
import inspect
import io
import threading
import typing

import pytest

import pagewright
from pagewright import context as ctxmod
from pagewright.context import LatexContext, UsePackage, dict_to_latex_option_string


def preamble_of(context):
    out = io.StringIO()
    context.dump_preamble(out)
    return out.getvalue()


def test_new_root_context():
    c = LatexContext()
    assert (c.graphics_path, c.parent, c.count, c.packages) == (".", None, 0, {})
    assert c.f is not c.preamble
    assert c.f.getvalue() == c.preamble.getvalue() == ""
    assert list(vars(c)) == ["f", "preamble", "graphics_path", "parent", "count", "packages"]
    assert LatexContext(graphics_path="g").graphics_path == "g"


def test_module_names():
    assert ctxmod.__all__ == ["LatexContext"]
    public = [n for n in vars(ctxmod) if not n.startswith("__")]
    assert public == ["StringIO", "Dict", "UsePackage", "dict_to_latex_option_string",
                      "LatexContext"]
    assert ctxmod.StringIO is io.StringIO and ctxmod.Dict is typing.Dict
    assert not hasattr(pagewright, "UsePackage")


def test_file_ids_climb_to_root():
    root = LatexContext()
    assert [root.generate_file_id() for _ in range(3)] == ["file0", "file1", "file2"]
    child = root.child()
    assert child.generate_file_id() == "file3"
    assert (root.count, child.count) == (4, 0)


def test_child_shares_graphics_path_at_creation():
    root = LatexContext("g")
    child = root.child()
    assert (child.graphics_path, child.parent, child.packages) == ("g", root, {})
    root.graphics_path = "h"
    assert child.graphics_path == "g"


def test_use_package_replaces_entry_in_place():
    root = LatexContext()
    opts = {"x": "1"}
    root.use_package("a")
    root.use_package("b")
    root.use_package("a", opts)
    assert list(root.packages) == ["a", "b"]
    assert root.packages["a"].options is opts


@pytest.mark.parametrize("depth", [1, 2])
def test_requests_from_descendants_reach_root(depth):
    root = LatexContext()
    node = root
    for _ in range(depth):
        node = node.child()
    node.use_package("a")
    node.require_package("b")
    assert list(root.packages) == ["a", "b"]
    assert node.packages == {}
    assert preamble_of(node) == ""


def test_require_package():
    root = LatexContext()
    root.use_package("a", {"k": "v"})
    root.require_package("a")
    assert root.packages["a"].options == {"k": "v"}
    root.use_package("b")
    root.child().require_package("a")
    assert list(root.packages) == ["a", "b"]
    assert root.packages["a"].options == {}


def test_dump_preamble():
    root = LatexContext()
    assert preamble_of(root) == ""
    root.use_package("graphicx")
    root.use_package("amsmath")
    assert preamble_of(root) == "\\usepackage[]{graphicx}\n\\usepackage[]{amsmath}\n"


@pytest.mark.parametrize("again, expected", [
    ("use_package", "\\usepackage[]{amsmath}\n"),
    ("require_package", "\\usepackage[k=v]{amsmath}\n"),
])
def test_a_name_equal_to_a_requested_one_names_the_same_entry(again, expected):
    root = LatexContext()
    root.use_package("".join(["ams", "math"]), {"k": "v"})
    getattr(root, again)("".join(["ams", "math"]))  # equal, not the same object
    assert preamble_of(root) == expected


@pytest.mark.parametrize("options, expected", [
    ({}, ""),
    ({"a": "1", "b": "2"}, "a=1,b=2"),
    ({"a": "1", "draft": None}, "a=1,draft"),
    ({"a": "1", "b": None, "c": "3"}, "a=1,b,c=3"),
])
def test_option_string(options, expected):
    assert dict_to_latex_option_string(options) == expected
    out = io.StringIO()
    UsePackage("p", options).dump_preamble(out)
    assert out.getvalue() == "\\usepackage[%s]{p}\n" % expected


@pytest.mark.parametrize("options", [None, {}, 0, ""])
def test_use_package_empty_options_become_new_dict(options):
    p = UsePackage("n", options)
    assert p.options == {} and p.options is not options
    assert vars(p) == {"name": "n", "options": {}}


@pytest.mark.parametrize("request_, expected", [
    (lambda root, child: root.use_package("p"), ("p", {})),
    (lambda root, child: child.use_package("p", None), ("p", {})),
    (lambda root, child: child.require_package("p"), ("p", {})),
    (lambda root, child: root.require_package("p"), ("p",)),
    (lambda root, child: pagewright.LatexEnvironment(child).use_package("p"), ("p", {})),
])
def test_replaced_use_package_init_sees_the_specified_arguments(monkeypatch, request_, expected):
    calls = []
    init = UsePackage.__init__
    monkeypatch.setattr(UsePackage, "__init__",
                        lambda self, *args: calls.append(args) or init(self, *args))
    root = LatexContext()
    request_(root, root.child())
    assert calls == [expected]


def test_annotations_and_docstrings():
    opt = typing.Dict[str, str]
    assert UsePackage.__init__.__annotations__ == {"name": str, "options": opt}
    assert LatexContext.use_package.__annotations__ == {"options": opt}
    assert LatexContext.child.__doc__ == "Generates a child context; sharing some data"
    for f in (LatexContext.generate_file_id, LatexContext.dump_preamble,
              LatexContext.require_package, LatexContext.use_package,
              UsePackage.dump_preamble, dict_to_latex_option_string):
        assert f.__doc__ is None
    assert LatexContext.__doc__ is None and UsePackage.__doc__ is None
    assert str(inspect.signature(LatexContext)) == "(graphics_path='.')"
    assert list(inspect.signature(LatexContext().use_package).parameters) == ["name", "options"]


class Recording(LatexContext):
    def __init__(self):
        super().__init__()
        self.calls = []

    def use_package(self, name, options=None):
        self.calls.append((name, options))
        return "ignored"

    def generate_file_id(self):
        return "custom"


def test_subclass_parent_methods_are_called():
    root = Recording()
    child = root.child()
    assert child.use_package("a") is None
    assert child.require_package("b") is None
    assert child.generate_file_id() == "custom"
    assert root.calls == [("a", {}), ("b", None)]


def test_method_replaced_on_instance_or_class_is_honoured(monkeypatch):
    root = LatexContext()
    child = root.child()
    seen = []
    root.use_package = lambda *args: seen.append(args)
    child.use_package("a")
    assert seen == [("a", {})] and root.packages == {}
    monkeypatch.setattr(LatexContext, "generate_file_id", lambda self: "patched")
    assert LatexContext().child().generate_file_id() == "patched"


def test_subclass_with_instance_dict():
    class Tagged(UsePackage):
        pass

    t = Tagged("x")
    t.extra = 1
    assert vars(t) == {"name": "x", "options": {}, "extra": 1}


def test_long_chain_of_children():
    root = LatexContext()
    leaf = root
    for _ in range(100_000):
        leaf = leaf.child()
    assert leaf.generate_file_id() == "file0"
    leaf.use_package("a")
    leaf.require_package("b")
    assert list(root.packages) == ["a", "b"] and root.count == 1
    del root, leaf
    gc.collect()


@pytest.mark.parametrize("length", [1, 2, 7])
@pytest.mark.parametrize("request_", ["generate_file_id", "use_package", "require_package"])
def test_parent_cycle_raises_recursion_error(length, request_):
    nodes = [LatexContext() for _ in range(length)]
    for node, parent in zip(nodes, nodes[1:] + nodes[:1]):
        node.parent = parent
    args = () if request_ == "generate_file_id" else ("a",)
    with pytest.raises(RecursionError):
        getattr(nodes[0], request_)(*args)
    del node, parent
    nodes.clear()
    assert gc.collect() >= length


@pytest.mark.parametrize("call", [
    lambda: LatexContext().use_package(["unhashable"]),
    lambda: LatexContext().require_package(["unhashable"]),
])
def test_unhashable_name(call):
    with pytest.raises(TypeError):
        call()


def test_a_count_at_the_end_of_the_machine_range_goes_on_as_a_python_int():
    root = LatexContext()
    root.count = 2**63 - 1
    assert root.generate_file_id() == "file%d" % (2**63 - 1) and root.count == 2**63


class Counter(int):
    pass


@pytest.mark.parametrize("count", [True, 2.5, 2**70, Counter(3), -1])
def test_a_count_of_any_number_type_names_files_and_climbs_as_that_type(count):
    root = LatexContext()
    root.count = count
    assert root.count is count
    assert root.generate_file_id() == "file%s" % (count,)
    assert type(root.count) is type(count + 1) and root.count == count + 1


def made_visible_and_changed(root):
    vars(root)
    root.packages["b"].options["k"] = "changed"
    root.packages["c"].name = "renamed"


def method_replaced(root):
    UsePackage.dump_preamble = lambda self, f: f.write("patched %s\n" % self.name)


A, B, C = "\\usepackage[]{a}\n", "\\usepackage[k=v]{b}\n", "\\usepackage[]{c}\n"


@pytest.mark.parametrize("during, expected", [
    (lambda root: root.use_package("new"), [A, B, C]),
    (lambda root: root.use_package("b", {"x": "y"}), [A, B, C]),
    (lambda root: (vars(root), root.packages.clear()), [A, B, C]),
    (made_visible_and_changed, [A, "\\usepackage[k=changed]{b}\n", "\\usepackage[]{renamed}\n"]),
    (method_replaced, [A, "patched b\n", "patched c\n"]),
], ids=["added", "replaced", "made visible and cleared", "made visible and changed",
        "method replaced"])
def test_dump_preamble_writes_a_snapshot_of_the_entries_as_they_are_then(during, expected,
                                                                          monkeypatch):
    monkeypatch.setattr(UsePackage, "dump_preamble", UsePackage.dump_preamble)
    root = LatexContext()
    root.use_package("a")
    root.use_package("b", {"k": "v"})
    root.use_package("c")
    lines = []

    class Stream:
        def write(self, text):
            if not lines:
                during(root)
            lines.append(text)

    root.dump_preamble(Stream())
    assert lines == expected


def test_a_dump_that_ends_while_another_threads_dump_goes_on_leaves_that_one_in_effect():
    """Dumps interleave across threads: the first to begin ends first, and the
    other must still follow its table being made visible and changed."""
    first, second = LatexContext(), LatexContext()
    for ctx in (first, second):
        ctx.use_package("a")
        ctx.use_package("b", {"k": "v"})
        ctx.use_package("c")
    second_began, first_ended = threading.Event(), threading.Event()
    lines = []

    class Pausing:
        def __init__(self, pause):
            self.pause = pause

        def write(self, text):
            self.pause()
            self.pause = lambda: None
            lines.append(text)

    def second_dump():
        second.dump_preamble(Pausing(lambda: (second_began.set(), first_ended.wait(),
                                              made_visible_and_changed(second))))

    thread = threading.Thread(target=second_dump)
    first.dump_preamble(Pausing(lambda: (thread.start(), second_began.wait())))
    first_ended.set()
    thread.join()
    assert lines[3:] == [A, "\\usepackage[k=changed]{b}\n", "\\usepackage[]{renamed}\n"]
