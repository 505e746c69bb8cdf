import inspect
import io
import random
import typing

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pagewright
from pagewright.utils import begin_end, latex_escape


def escape_by_replace_chain(s):
    for old, new in [("\\", "\\textbackslash "), ("{", "\\{"), ("}", "\\}"),
                     ("^", "\\^"), ("_", "\\_"), ("$", "\\$")]:
        s = s.replace(old, new)
    return s


@pytest.mark.parametrize("text, expected", [
    ("a\\b", "a\\textbackslash b"),
    ("{x}", "\\{x\\}"),
    ("a^b_c$d", "a\\^b\\_c\\$d"),
    ("\\{", "\\textbackslash \\{"),
    ("}\\", "\\}\\textbackslash "),
    ("50% & #1 ~x", "50% & #1 ~x"),
    ("", ""),
    ("é\\ü", "é\\textbackslash ü"),
    ("€_€", "€\\_€"),
    ("😀{😀}", "😀\\{😀\\}"),
])
def test_latex_escape_examples(text, expected):
    assert latex_escape(text) == expected


def test_latex_escape_matches_the_replace_chain_on_random_text():
    rng = random.Random(1234)
    alphabet = "ab \\{}^_$%&#~\né€😀"
    for _ in range(2000):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 30)))
        assert latex_escape(text) == escape_by_replace_chain(text)


# Text is escaped two chunks of sixteen bytes at a time, in one pass, into
# room that grows as the replacements need it (latex_escape's is 4 KB on the
# stack, then on the heap): specials land at every position of a chunk and
# of a pair, among short and long runs, at the very end and just before it,
# in text of every width (with wide characters whose bytes are specials, and
# with the characters a quick scan takes for specials until it looks
# closer); runs of backslashes outgrow the first room midway, and one-byte
# text of about 3,200 characters starts either on the stack or on the heap.
# The text is returned and written into a body, empty or already holding
# text of any width.
@settings(max_examples=300, deadline=None, database=None)
@given(st.sampled_from(["", "\xe9", "\u5c7b", "\U0002005c"]),
       st.text(st.sampled_from("ab %\\{}^_$[]|~\x7f\xdb"), max_size=100),
       st.sampled_from("x\\_"),
       st.integers(0, 40) | st.integers(250, 350) | st.integers(3150, 3300),
       st.integers(0, 100),
       st.sampled_from(["", "a{", "\xe9" * 30, "\u5c7b", "\U0002005c"]))
def test_latex_escape_matches_the_replace_chain_at_chunk_boundaries(wide, text, fill, run, at,
                                                                    before):
    text = wide + text[:at] + fill * run + wide + text[at:]
    env = pagewright.LatexEnvironment(pagewright.LatexContext())
    env.text(before)
    env.text(text)
    expected = escape_by_replace_chain(text)
    assert latex_escape(text) == expected
    assert env.context.f.getvalue() == escape_by_replace_chain(before) + expected


def test_latex_escape_returns_text_without_special_characters_unchanged():
    text = "plain text, 100% & more"
    assert latex_escape(text) is text


def test_latex_escape_honours_a_str_subclass_replace():
    class Shouting(str):
        def replace(self, old, new):
            return Shouting(str.replace(self, old, new).upper())

    assert latex_escape(Shouting("a_b")) == "A\\_B"


@pytest.mark.parametrize("value, error", [(5, AttributeError), (None, AttributeError),
                                          (b"a_b", TypeError)])
def test_latex_escape_rejects_what_has_no_str_replace(value, error):
    with pytest.raises(error):
        latex_escape(value)


def test_latex_escape_is_one_object_across_modules():
    assert pagewright.latex_escape is pagewright.utils.latex_escape is pagewright.envs.latex_escape


def test_latex_escape_keyword_and_signature():
    assert latex_escape(s="_") == "\\_"
    assert str(inspect.signature(latex_escape)) == "(s)"
    assert latex_escape.__doc__ is None
    with pytest.raises(TypeError):
        latex_escape()


def test_begin_end_worked_example():
    stream = io.StringIO()
    with begin_end(stream, "figure", "t") as target:
        assert target is stream
        stream.write("X")
    assert stream.getvalue() == "\\begin{figure}[t]%\nX\\end{figure}%\n"


@pytest.mark.parametrize("options", [None, "", {}])
def test_begin_end_without_options_writes_no_brackets(options):
    stream = io.StringIO()
    with begin_end(stream, "center", options):
        pass
    assert stream.getvalue() == "\\begin{center}%\n\\end{center}%\n"


def test_begin_end_formats_a_dict_with_percent_s():
    stream = io.StringIO()
    with begin_end(stream, "x", {"a": "b"}):
        pass
    assert stream.getvalue() == "\\begin{x}[{'a': 'b'}]%\n\\end{x}%\n"


def test_begin_end_writes_each_piece_separately():
    class Recorder:
        def __init__(self):
            self.calls = []

        def write(self, text):
            self.calls.append(text)

    stream = Recorder()
    with begin_end(stream, "x", "t"):
        pass
    assert stream.calls == ["\\begin{x}", "[t]", "%\n", "\\end{x}%\n"]


def test_begin_end_raising_body_leaves_only_the_opening():
    stream = io.StringIO()
    with pytest.raises(KeyError, match="boom"):
        with begin_end(stream, "x"):
            stream.write("body")
            raise KeyError("boom")
    assert stream.getvalue() == "\\begin{x}%\nbody"


def test_begin_end_is_lazy_and_single_use():
    stream = io.StringIO()
    manager = begin_end(stream, "x")
    assert stream.getvalue() == ""
    with manager:
        pass
    with pytest.raises(RuntimeError):
        with manager:
            pass
    assert stream.getvalue() == "\\begin{x}%\n\\end{x}%\n"


def test_begin_end_propagates_format_errors_before_writing():
    stream = io.StringIO()
    with pytest.raises(TypeError):
        with begin_end(stream, ("a", "b")):
            pass
    assert stream.getvalue() == ""


def test_begin_end_propagates_write_errors():
    with pytest.raises(AttributeError):
        with begin_end(object(), "x"):
            pass


def test_begin_end_surface():
    assert begin_end.__annotations__ == {"options": typing.Dict[str, str]}
    assert begin_end.__name__ == begin_end.__qualname__ == "begin_end"
    assert begin_end.__module__ == "pagewright.utils"
    assert begin_end.__doc__ is None
    assert str(inspect.signature(begin_end)) == "(stream, env_name, options=None)"
    manager = begin_end(io.StringIO(), "x")
    assert hasattr(manager, "__enter__") and hasattr(manager, "__exit__")


def test_utils_names_in_binding_order():
    import contextlib
    names = [n for n in vars(pagewright.utils) if not n.startswith("_")]
    assert names == ["contextmanager", "Dict", "latex_escape", "begin_end"]
    assert pagewright.utils.contextmanager is contextlib.contextmanager
    assert pagewright.utils.Dict is typing.Dict
