"""Objects whose text and attributes live natively until Python code looks:
what Python code then sees must be what it would have seen all along."""
import contextlib
import copy
import gc
import io
import pickle
import weakref

import pytest

import pagewright
from pagewright.context import LatexContext
from pagewright.environment import LatexEnvironment

# Long enough to be shared between buffers instead of copied, in each string
# width, so that sharing, widening and reading back are all exercised.
LONG = ["a" * 5000, "é" * 4500 + "x", "€" * 4200, "😀" * 4100]


def test_reading_a_buffer_gives_one_stream_that_goes_on_receiving_writes():
    ctx = LatexContext()
    env = LatexEnvironment(ctx)
    env.tex("ab")
    stream = ctx.f
    assert type(stream) is io.StringIO and stream.tell() == 2 and stream.getvalue() == "ab"
    env.tex("c")
    assert ctx.f is stream and stream.getvalue() == "abc"


def test_assigning_and_deleting_attributes_behave_as_dict_entries():
    ctx = LatexContext("g")
    ctx.count = 7
    del ctx.graphics_path
    with pytest.raises(AttributeError, match="object has no attribute 'graphics_path'"):
        ctx.graphics_path
    ctx.graphics_path = "h"
    assert list(vars(ctx)) == ["f", "preamble", "parent", "count", "packages", "graphics_path"]
    assert (ctx.count, ctx.graphics_path) == (7, "h")


@pytest.mark.parametrize("clone", [copy.copy, copy.deepcopy,
                                   lambda obj: pickle.loads(pickle.dumps(obj))])
def test_copies_carry_the_collected_text(clone):
    ctx = LatexContext("g")
    LatexEnvironment(ctx).tex("body")
    ctx.child().use_package("amsmath")
    twin = clone(ctx)
    assert twin.f.getvalue() == "body" and twin.graphics_path == "g"
    assert list(twin.packages) == ["amsmath"]


def test_subclass_sees_the_attributes_its_base_constructor_set():
    class Numbered(LatexContext):
        pass

    ctx = Numbered("g")
    LatexEnvironment(ctx).tex("x")
    assert ctx.f.getvalue() == "x" and vars(ctx)["graphics_path"] == "g"


@pytest.mark.parametrize("long", LONG)
def test_long_texts_shared_by_nested_boxes_read_back_whole(long):
    out = io.StringIO()
    inner = []
    with pagewright.latex_fragment(out) as frag:
        with frag.minipage("1cm") as outer:
            outer.tex(long)
            with outer.minipage("2cm") as box:
                box.tex(long + "!")
                inner.append(box)
            outer.tex("tail")
    text = out.getvalue()
    assert text.count(long) == 2 and text.count(long + "!") == 1 and "tail" in text
    # The inner box's text, read after its parent's text was written out.
    inner[0].tex("more")
    assert inner[0].context.f.getvalue() == long + "!more"


# Writes that fill tails, grow them by moving and by sealing, pass the
# largest tail size and mix widths; the text is read back along the way.
SIZES = [0, 1, 40, 3000, 2000, 2000, 5000, 100] + [1000] * 80


@pytest.mark.parametrize("chars", ["a", "é", "😀", "a_é€😀"])
def test_a_body_reads_back_every_write_in_order(chars):
    env = LatexEnvironment(LatexContext())
    expected = ""
    for i, n in enumerate(SIZES):
        env.tex(chars[i % len(chars)] * n)
        expected += chars[i % len(chars)] * n
        if i % 30 == 7:
            assert env.context.f.getvalue() == expected
    assert env.context.f.getvalue() == expected


@pytest.mark.parametrize("wide", ["é", "€", "😀"])
def test_a_shared_text_reads_back_narrow_after_a_wider_parent_was_written_out(wide):
    out = io.StringIO()
    kept = []
    with pagewright.latex_fragment(out) as frag:
        frag.tex(wide)
        with frag.fbox() as box:
            box.tex("a" * 5000)
            kept.append(box)
    kept[0].tex("z")
    assert kept[0].context.f.getvalue() == "a" * 5000 + "z"


def test_deep_nesting_writes_every_level():
    out = io.StringIO()
    with pagewright.latex_fragment(out) as frag, contextlib.ExitStack() as stack:
        env = frag
        for _ in range(3000):
            env = stack.enter_context(env.minipage("1cm"))
        env.text("core")
    text = out.getvalue()
    assert text.count("\\begin{minipage}") == 3000 == text.count("\\end{minipage}")
    assert "core" in text


def test_the_switch_keeps_every_object_in_its_dict(run_python, monkeypatch):
    monkeypatch.setenv("PAGEWRIGHT_NO_FAST_PATHS", "1")
    result = run_python("""
        import gc
        from pagewright.context import LatexContext
        print(any(type(r) is dict for r in gc.get_referents(LatexContext())))
    """)
    assert result.stdout.strip() == "True"


def test_python_code_run_mid_write_finds_the_body_it_would_have_found_as_an_object():
    ctx = LatexContext()
    env = LatexEnvironment(ctx)
    read = []

    class ReadsTheBody:
        def __str__(self):
            read.append(ctx.f)
            env.context = LatexContext()
            return "E"

    env.tex("a")
    env.hspace(ReadsTheBody())
    env.tex("b")
    assert read == [ctx.f] and ctx.f.getvalue() == "a\\hspace{E}"
    assert env.context.f.getvalue() == "b"

    class SwapsTheBody(str):
        def replace(self, old, new):
            ctx.f = io.StringIO()
            return str.replace(self, old, new)

    ctx = LatexContext()
    env = LatexEnvironment(ctx)
    env.text(SwapsTheBody("y_z"))
    # The escaped text went to the body looked up before escaping began.
    assert ctx.f.getvalue() == ""


def mark_dicts_seen_by_the_collector(obj):
    """Writes into the dicts the collector finds in `obj`: an empty one kept
    only to cache method lookups included."""
    for referent in gc.get_referents(obj):
        if type(referent) is dict and not referent:
            referent["mark"] = 1


@pytest.mark.parametrize("left", [lambda row: setattr(row, "mark", 1),
                                  lambda row: (setattr(row, "mark", 1), delattr(row, "mark")),
                                  vars, mark_dicts_seen_by_the_collector])
def test_objects_made_again_from_freed_ones_start_afresh(left):
    """Rows, cell environments and their contexts are made again from the memory of
    freed ones: what Python code left on one must not reach the next."""
    env = LatexEnvironment(LatexContext())
    with env.tabular(["l"]) as table:
        for _ in range(3):
            with table.row() as row:
                with row.cell() as cell:
                    for obj in (row, cell, cell.context):
                        assert not hasattr(obj, "mark")  # a look that builds no dict
                        left(obj)
                    cell.text("x")
    assert env.context.f.getvalue().count("x\\\\ \n") == 3


class ReadsWhenCollected:
    """A finalizer that reads a block's context while the collector runs."""

    def __init__(self, block):
        self.block = block
        self.cycle = self

    def __del__(self):
        self.block.context.f.getvalue()


def read_while_collecting(block, owner):
    # No spare contexts left: the block's is newly allocated, which collects.
    drained = [owner.context.child() for _ in range(40)]
    ReadsWhenCollected(block)
    thresholds = gc.get_threshold()
    gc.set_threshold(1)
    try:
        block.context
    finally:
        gc.set_threshold(*thresholds)
    del drained
    gc.collect()  # the finalizer runs here if no collection ran above


# Ways Python code first sees a block's context, which is made only then;
# the last one writes "w" into it.
LOOKS = [
    lambda block, owner: block.context,
    lambda block, owner: vars(block)["context"],
    lambda block, owner: copy.copy(block).context,
    lambda block, owner: setattr(block, "__class__", LatexEnvironment),
    read_while_collecting,
    lambda block, owner: block.context.f.write("w"),
]


@contextlib.contextmanager
def cell_block(env):
    with env.tabular(["l", "l"]) as table, table.row() as row:
        row.cell_tex("0")
        with row.cell() as cell:
            yield cell, table


@contextlib.contextmanager
def box_block(env, opener):
    with opener(env) as box:
        yield box, env


# Each block, and what its owner's text shows of the block's text.
BLOCKS = {
    "cell": (cell_block, lambda text: "0 & " + text + "\\\\ \n "),
    "fbox": (lambda env: box_block(env, LatexEnvironment.fbox),
             lambda text: "\\fbox{%\n" + text + "}% fbox\n"),
    "minipage": (lambda env: box_block(env, lambda e: e.minipage("1cm")),
                 lambda text: "{1cm}%\n" + text + "\\end{minipage}"),
}


@pytest.mark.parametrize("block", BLOCKS)
@pytest.mark.parametrize("look", LOOKS)
@pytest.mark.parametrize("when", ["first", "between", "after"])
def test_a_block_context_made_when_looked_at_holds_all_its_text(block, look, when):
    opener, shown = BLOCKS[block]
    mark = "w" if look is LOOKS[-1] else ""
    env = LatexEnvironment(LatexContext())
    with opener(env) as (inner, owner):
        if when == "first":
            look(inner, owner)
        inner.text("a_")
        if when == "between":
            look(inner, owner)
        inner.tex("b")
    if when == "after":
        look(inner, owner)
    inner.text("c")
    text = {"first": mark + "a\\_b", "between": "a\\_" + mark + "b", "after": "a\\_b"}[when]
    assert shown(text) in env.context.f.getvalue()
    assert inner.context.f.getvalue() == text + (mark if when == "after" else "") + "c"
    assert inner.context.parent is owner.context
    assert inner.context.graphics_path is owner.context.graphics_path


def test_a_cycle_through_a_block_whose_context_is_pending_is_collected():
    ctx = LatexContext()
    with LatexEnvironment(ctx).fbox() as box:
        ctx.kept = box  # the box's context, not made yet, holds ctx
    gone = weakref.ref(box)
    del ctx, box
    gc.collect()
    assert gone() is None


def test_ints_read_back_are_the_very_objects_stored_or_made():
    big = int("1000000")
    ctx = LatexContext()
    ctx.count = big
    assert ctx.count is big
    env = LatexEnvironment(LatexContext())
    for _ in range(300):
        env.context.generate_file_id()
    assert env.context.count is env.context.count == 300
    with env.tabular(["l"] * 300) as table:
        assert table.ncols is table.ncols == 300
        with table.row() as row:
            for i in range(300):
                if i % 2:
                    row.cell_tex("x")
                else:
                    with row.cell() as cell:
                        cell.text("x")
            assert row.col is row.col == 300 and row.ncols is row.ncols
            row.col = big
            assert row.col is big
