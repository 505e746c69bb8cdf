import contextlib

import pytest

from pagewright.context import LatexContext
from pagewright.environment import LatexEnvironment

from helpers import RecordingBuffer


def fresh_environment():
    return LatexEnvironment(LatexContext())


def boxed(open_box, content):
    env = fresh_environment()
    with open_box(env) as inner:
        inner.tex(content)
    return env.context.f.getvalue()


@pytest.mark.parametrize("open_box, content, expected", [
    (lambda e: e.minipage("5cm"), "", "\\begin{minipage}[]{5cm}%\n\\end{minipage}%\n"),
    (lambda e: e.minipage("5cm", "t"), "x", "\\begin{minipage}[t]{5cm}%\nx\\end{minipage}%\n"),
    (lambda e: e.minipage(align="t", width="5cm", fbox=None), "x",
     "\\begin{minipage}[t]{5cm}%\nx\\end{minipage}%\n"),
    (lambda e: e.fbox(), "x", "{\\setlength\\fboxsep{1pt}%\n\\fbox{%\nx}% fbox\n}% setlength\n"),
    (lambda e: e.fbox(sep="3mm"), "x",
     "{\\setlength\\fboxsep{3mm}%\n\\fbox{%\nx}% fbox\n}% setlength\n"),
    (lambda e: e.tightbox(), "x",
     "{\\setlength\\fboxsep{0pt}%\n\\fbox{%\nx}% fbox\n}% setlength\n"),
    (lambda e: e.resizebox("8cm"), "x", "\\resizebox{8cm}{!}{%\nx}%resizebox\n"),
    (lambda e: e.resizebox(("8cm",)), "x", "\\resizebox{8cm}{!}{%\nx}%resizebox\n"),
    (lambda e: e.mbox(), "x", "\\mbox[][c]{%\nx}%\n"),
    (lambda e: e.mbox("3cm", "r"), "x", "\\mbox[3cm][r]{%\nx}%\n"),
    (lambda e: e.minipage_bottom("4cm"), "x",
     "\\begin{minipage}[b]{4cm}%\n\\vspace{0pt}\\par%\nx\\par\\vspace{0pt}%\n"
     "\\end{minipage}%\n"),
])
def test_box_texts(open_box, content, expected):
    assert boxed(open_box, content) == expected


FRAMED = ("{\\setlength\\fboxsep{0pt}%\n\\fbox{%\n\\begin{minipage}[t]{5cm}%\nx\n"
          "\\end{minipage}%\n}% fbox\n}% setlength\n")


@pytest.mark.parametrize("flag", [True, 1, "yes"])
def test_framed_minipage(flag):
    assert boxed(lambda e: e.minipage("5cm", "t", fbox=flag), "x\n") == FRAMED


def test_frame_flag_is_tested_on_entering():
    class Flag:
        calls = 0

        def __bool__(self):
            Flag.calls += 1
            return True

    manager = fresh_environment().minipage("5cm", fbox=Flag())
    assert Flag.calls == 0
    with manager:
        assert Flag.calls == 1


def test_primary_box_copies_the_empty_preamble_with_one_write():
    env = fresh_environment()
    env.context.preamble = RecordingBuffer()
    with env.minipage("5cm"):
        pass
    assert env.context.preamble.writes == [""]


def test_nested_preamble_reaches_the_outer_context_when_both_boxes_close():
    env = fresh_environment()
    with env.fbox() as outer:
        with outer.mbox() as inner:
            inner.context.preamble.write("\\newcommand{\\x}{1}\n")
        assert env.context.preamble.getvalue() == ""
        assert outer.context.preamble.getvalue() == "\\newcommand{\\x}{1}\n"
    assert env.context.preamble.getvalue() == "\\newcommand{\\x}{1}\n"


def test_framed_minipage_preamble_travels_through_the_frame():
    env = fresh_environment()
    with env.minipage("1cm", fbox=True) as page:
        page.context.preamble.write("P")
    assert env.context.preamble.getvalue() == "P"


def test_content_collects_in_a_child_and_the_box_lands_where_the_buffer_is_at_close():
    env = fresh_environment()
    with env.resizebox("2cm") as box:
        box.tex("inside")
        env.tex("before")
        assert env.context.f.getvalue() == "before"
        assert box.context.parent is env.context
        assert box.context.graphics_path == env.context.graphics_path
    box.tex("late")
    assert env.context.f.getvalue() == "before\\resizebox{2cm}{!}{%\ninside}%resizebox\n"


def test_package_requests_inside_a_box_reach_the_root_at_once():
    env = fresh_environment()
    with env.mbox() as box:
        box.use_package("xcolor")
        assert list(env.context.packages) == ["xcolor"]


OPENERS = {
    "minipage": lambda e: e.minipage("1cm"),
    "framed minipage": lambda e: e.minipage("1cm", fbox=True),
    "minipage_bottom": lambda e: e.minipage_bottom("1cm"),
    "fbox": lambda e: e.fbox(),
    "tightbox": lambda e: e.tightbox(),
    "resizebox": lambda e: e.resizebox("1cm"),
    "mbox": lambda e: e.mbox(),
}


@pytest.mark.parametrize("name", OPENERS)
def test_a_raising_body_writes_nothing_of_the_box(name):
    env = fresh_environment()
    env.tex("kept")
    error = KeyError("boom")
    with pytest.raises(KeyError) as caught:
        with OPENERS[name](env) as box:
            box.tex("lost")
            box.context.preamble.write("lost")
            box.use_package("amsmath")
            raise error
    assert caught.value is error
    assert env.context.f.getvalue() == "kept"
    assert env.context.preamble.getvalue() == ""
    assert list(env.context.packages) == ["amsmath"]


@pytest.mark.parametrize("open_box", [
    lambda e: e.fbox(("a", "b")),
    lambda e: e.resizebox(("a", "b")),
])
def test_a_bad_box_argument_fails_at_close_after_the_preamble_copy(open_box):
    env = fresh_environment()
    env.context.preamble = RecordingBuffer()
    manager = open_box(env)
    with pytest.raises(TypeError):
        with manager as box:
            box.tex("x")
    assert env.context.preamble.writes == [""]
    assert env.context.f.getvalue() == ""


class Recorder(LatexEnvironment):
    """Logs how the compositions use the boxes they open."""

    log = []

    def fbox(self, sep="1pt"):
        return self._logged("fbox", sep, super().fbox(sep))

    def minipage(self, width, align="", fbox=False):
        return self._logged("minipage", (width, align, fbox), super().minipage(width, align, fbox))

    @contextlib.contextmanager
    def _logged(self, name, args, manager):
        Recorder.log.append(("enter", name, args))
        try:
            with manager as inner:
                yield Recorder(inner.context)
        except BaseException as error:
            Recorder.log.append(("exit", name, type(error).__name__))
            raise
        Recorder.log.append(("exit", name, None))


@pytest.fixture
def recorder():
    Recorder.log = []
    return Recorder(LatexContext())


def test_tightbox_opens_fbox_through_method_lookup(recorder):
    with recorder.tightbox() as box:
        box.tex("x")
    assert Recorder.log == [("enter", "fbox", "0pt"), ("exit", "fbox", None)]
    assert recorder.context.f.getvalue() == boxed(lambda e: e.tightbox(), "x")


def test_framed_minipage_leaves_its_boxes_innermost_first(recorder):
    with recorder.minipage("2cm", "c", fbox=True) as page:
        page.tex("x")
    assert Recorder.log == [("enter", "minipage", ("2cm", "c", True)),
                            ("enter", "fbox", "0pt"),
                            ("enter", "minipage", ("2cm", "c", False)),
                            ("exit", "minipage", None),
                            ("exit", "fbox", None),
                            ("exit", "minipage", None)]
    assert recorder.context.f.getvalue() == boxed(lambda e: e.minipage("2cm", "c", True), "x")


def test_a_raising_body_passes_through_the_boxes_of_a_composition(recorder):
    with pytest.raises(ValueError):
        with recorder.minipage_bottom("3cm") as page:
            raise ValueError
    with pytest.raises(ValueError):
        with recorder.tightbox():
            raise ValueError
    with pytest.raises(ValueError):
        with recorder.minipage("2cm", fbox=True):
            raise ValueError
    assert Recorder.log == [("enter", "minipage", ("3cm", "b", False)),
                            ("exit", "minipage", "ValueError"),
                            ("enter", "fbox", "0pt"), ("exit", "fbox", "ValueError"),
                            ("enter", "minipage", ("2cm", "", True)),
                            ("enter", "fbox", "0pt"),
                            ("enter", "minipage", ("2cm", "", False)),
                            ("exit", "minipage", "ValueError"),
                            ("exit", "fbox", "ValueError"),
                            ("exit", "minipage", "ValueError")]
    assert recorder.context.f.getvalue() == ""


def test_an_override_that_fails_on_leaving_replaces_the_outcome():
    class Failing(LatexEnvironment):
        @contextlib.contextmanager
        def fbox(self, sep="1pt"):
            try:
                yield LatexEnvironment(self.context.child())
            finally:
                raise LookupError("frame")

    env = Failing(LatexContext())
    with pytest.raises(LookupError, match="frame"):
        with env.tightbox():
            pass
    with pytest.raises(LookupError, match="frame") as caught:
        with env.tightbox():
            raise ValueError("body")
    assert isinstance(caught.value.__context__, ValueError)


def test_a_failing_spacer_passes_through_the_inner_minipage(recorder):
    class Broken(Recorder):
        def minipage(self, width, align="", fbox=False):
            manager = super().minipage(width, align, fbox)

            @contextlib.contextmanager
            def broken():
                with manager as page:
                    env = LatexEnvironment(page.context)
                    env.tex = None
                    yield env
            return broken()

    env = Broken(LatexContext())
    with pytest.raises(TypeError):
        with env.minipage_bottom("1cm"):
            pass
    assert Recorder.log == [("enter", "minipage", ("1cm", "b", False)),
                            ("exit", "minipage", "TypeError")]
    assert env.context.f.getvalue() == ""


@pytest.mark.parametrize("name", OPENERS)
def test_the_yielded_box_is_a_plain_environment(name):
    class Custom(LatexEnvironment):
        pass

    with OPENERS[name](Custom(LatexContext())) as box:
        assert type(box) is LatexEnvironment


@pytest.mark.parametrize("name", OPENERS)
def test_boxes_nest_hundreds_of_levels_deep(name):
    depth = 400
    env = fresh_environment()
    with contextlib.ExitStack() as stack:
        inner = env
        for _ in range(depth):
            inner = stack.enter_context(OPENERS[name](inner))
        inner.tex("core")
        inner.context.preamble.write("p")
    single = boxed(OPENERS[name], "core")
    opening, closing = single.split("core")
    assert env.context.f.getvalue() == opening * depth + "core" + closing * depth
    assert env.context.preamble.getvalue() == "p"



class Failing(LatexEnvironment):
    """An environment whose `failing` method raises KeyError."""

    def __init__(self, context, failing):
        super().__init__(context)
        setattr(self, failing, self.fail)

    def fail(self, *args, **kwargs):
        raise KeyError("set-up")


def overriding(name, target, outcome):
    """A subclass whose box `name` yields `target(child context)` and then, for an
    exception from inside, swallows it or raises ValueError("replaced")."""
    @contextlib.contextmanager
    def box(self, *args, **kwargs):
        try:
            yield target(self.context.child())
        except Exception:
            if outcome == "replace":
                raise ValueError("replaced")
    return type("Override", (LatexEnvironment,), {name: box})


# (composition, the box it enters, the method of that box's target it calls before yielding)
COMPOSED = {
    "framed minipage": (lambda env: env.minipage("1cm", fbox=True), "tightbox", "minipage"),
    "minipage_bottom": (lambda env: env.minipage_bottom("1cm"), "minipage", "tex"),
}


@pytest.mark.parametrize("name", COMPOSED)
def test_a_set_up_failure_that_a_box_swallows_means_the_composition_did_not_yield(name):
    open_box, inner, called = COMPOSED[name]
    env = overriding(inner, lambda ctx: Failing(ctx, called), "swallow")(LatexContext())
    with pytest.raises(RuntimeError, match="generator didn't yield"):
        open_box(env).__enter__()


@pytest.mark.parametrize("name", ["tightbox", *COMPOSED])
def test_an_exception_a_box_replaces_with_one_of_the_same_type_comes_out(name):
    open_box, inner, _ = COMPOSED.get(name, (lambda env: env.tightbox(), "fbox", None))
    env = overriding(inner, LatexEnvironment, "replace")(LatexContext())
    with pytest.raises(ValueError, match="replaced") as caught:
        with open_box(env):
            raise ValueError("original")
    assert str(caught.value.__context__) == "original"
