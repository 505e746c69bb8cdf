import importlib
import importlib.metadata
import re
import sys
import types

import pytest

import pagewright

SUBMODULES = ["compile_latex", "context", "document", "environment", "envs", "figure",
              "file_utils", "frags", "ifs", "structures", "tabular", "utils"]

STAR_EXPORTS = {
    "structures": ["BadTex"],
    "compile_latex": ["compile_tex"],
    "envs": ["latex_escape", "env", "minipage", "verbatim", "enclose", "protect", "small",
             "footnotesize", "texttt", "emph", "verbatim_soft", "color_rgb", "fbox", "hspace"],
    "utils": ["contextmanager", "Dict", "latex_escape", "begin_end"],
    "ifs": ["texif", "makeupcmd", "makecmd", "safecmd"],
    "context": ["LatexContext"],
    "environment": ["Dict", "latex_escape", "contextmanager", "mimetypes", "os", "pact",
                    "MIME_PNG", "MIME_JPG", "MIME_PLAIN", "LatexEnvironment",
                    "make_options_string"],
    "document": ["LatexDocument"],
    "frags": ["LatexEnvironment", "LatexContext", "LatexDocument", "make_sure_dir_exists",
              "contextmanager", "os", "latex_document", "latex_fragment"],
    "file_utils": ["make_sure_dir_exists"],
    "figure": ["LatexEnvironment", "begin_end", "Figure", "StructureError", "SubFigure"],
    "tabular": ["contextmanager", "LatexEnvironment", "Tabular"],
}

ALL_BOUND = {
    "context": ["StringIO", "Dict", "__all__", "UsePackage", "dict_to_latex_option_string",
                "LatexContext"],
    "document": ["os", "make_sure_dir_exists", "LatexEnvironment", "LatexContext", "__all__",
                 "LatexDocument"],
    "file_utils": ["os", "__all__", "make_sure_dir_exists"],
    "compile_latex": ["os", "subprocess", "BadTex", "__all__", "compile_tex", "run_pdflatex",
                      "clean_temporary_files"],
}


def submodule(name):
    return importlib.import_module("pagewright." + name)


def own_names(module):
    return [n for n in vars(module) if not n.startswith("__") or n == "__all__"]


def test_version_and_date_forms_agree_to_the_minute():
    version, date = pagewright.__version__, pagewright.__date__
    assert type(version) is str and type(date) is str
    match = re.fullmatch(r"\d+\.\d+\.(\d{10})", version)
    assert match, version
    date_match = re.fullmatch(r"(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d):\d\d[+-]\d\d:\d\d", date)
    assert date_match, date
    year, month, day, hour, minute = date_match.groups()
    assert match.group(1) == year[2:] + month + day + hour + minute
    assert importlib.metadata.version("pagewright") == version


def test_logger_attributes():
    from vantor_commons.logs import VLogger
    assert pagewright.VLogger is VLogger
    assert isinstance(pagewright.logger, VLogger)
    assert pagewright.logger.name == "pagewright"


@pytest.mark.parametrize("name", [""] + SUBMODULES)
def test_module_attributes(name):
    module = submodule(name) if name else pagewright
    assert module.__doc__ is None
    assert module.__cached__ is None
    assert module.__spec__.origin == module.__file__
    assert module.__spec__.has_location
    assert module.__name__ == "pagewright" + ("." + name if name else "")
    assert module.__loader__ is module.__spec__.loader
    assert "__builtins__" in vars(module)
    assert sys.modules[module.__name__] is module


def test_package_search_path():
    assert pagewright.__spec__.submodule_search_locations == pagewright.__path__
    assert pagewright.__package__ == "pagewright"


@pytest.mark.parametrize("name", SUBMODULES)
def test_submodule_is_a_package_attribute(name):
    module = submodule(name)
    assert getattr(pagewright, name) is module
    assert module.__package__ == "pagewright"


@pytest.mark.parametrize("name, exported", sorted(STAR_EXPORTS.items()))
def test_star_export_names_in_binding_order(name, exported):
    module = submodule(name)
    namespace = {}
    exec("from pagewright.%s import *" % name, namespace)
    assert [n for n in namespace if n != "__builtins__"] == exported
    if not hasattr(module, "__all__"):
        assert [n for n in vars(module) if not n.startswith("_")] == exported


@pytest.mark.parametrize("name, bound", sorted(ALL_BOUND.items()))
def test_modules_with_all_bind_their_other_names_in_order(name, bound):
    assert own_names(submodule(name)) == bound


def test_context_all_and_hidden_names():
    assert pagewright.context.__all__ == ["LatexContext"]
    assert not hasattr(pagewright, "UsePackage")
    assert hasattr(pagewright.context, "UsePackage")


def test_package_namespace_is_the_union_of_star_exports():
    expected = {"VLogger", "logger", "structures", "compile_latex", "envs", "utils", "ifs",
                "context", "environment", "document", "frags", "file_utils"}
    for name in ["structures", "compile_latex", "envs", "utils", "ifs", "context",
                 "environment", "document", "frags"]:
        expected.update(STAR_EXPORTS[name])
    public = {n for n in vars(pagewright) if not n.startswith("_")}
    # Submodules the initialisation does not import appear once imported.
    assert public - {"figure", "tabular", "build"} == expected


def test_shared_names_are_the_same_objects():
    import os
    assert pagewright.frags.LatexEnvironment is pagewright.environment.LatexEnvironment
    assert pagewright.document.LatexContext is pagewright.context.LatexContext
    assert pagewright.frags.make_sure_dir_exists is pagewright.file_utils.make_sure_dir_exists
    assert pagewright.environment.os is os
    assert isinstance(pagewright.mimetypes, types.ModuleType)


def test_fresh_import_loads_figure_and_tabular_lazily(run_python):
    result = run_python("""
        import sys, pagewright
        loaded = sorted(n for n in sys.modules if n.startswith('pagewright.'))
        print(' '.join(loaded))
        from pagewright import figure
        import pagewright.tabular
        print(pagewright.figure.Figure.__module__, pagewright.tabular.Tabular.__module__)
    """)
    first, second = result.stdout.splitlines()
    assert first.split() == ["pagewright." + n for n in sorted(SUBMODULES)
                             if n not in ("figure", "tabular")]
    assert second == "pagewright.figure pagewright.tabular"


RECORDING_LOGGER = '''
calls = []

class VLogger:
    def __init__(self, *args, **kwargs):
        calls.append(("VLogger", args, kwargs))

    def hello_module(self, *args, **kwargs):
        import sys
        calls.append(("hello_module", args, sorted(kwargs)))

    def hello_module_finished(self, *args, **kwargs):
        import sys
        calls.append(("hello_module_finished", args, kwargs,
                      "pagewright.frags" in sys.modules))
'''


def make_package(root, name, files):
    package = root / name
    package.mkdir(parents=True)
    (package / "__init__.py").write_text("")
    for filename, text in files.items():
        (package / filename).write_text(text)


def test_logger_calls_and_their_order(run_python, tmp_path):
    make_package(tmp_path / "fake", "vantor_commons", {"logs.py": RECORDING_LOGGER})
    result = run_python("""
        import pagewright
        from vantor_commons.logs import calls
        for call in calls: print(call)
        print(pagewright.logger.__class__.__module__)
    """, extra_path=[tmp_path / "fake"])
    lines = result.stdout.splitlines()
    assert lines == [
        "('VLogger', ('pagewright',), {})",
        "('hello_module', (), ['date', 'filename', 'name', 'version'])",
        "('hello_module_finished', ('pagewright',), {}, True)",
        "vantor_commons.logs",
    ]


def test_hello_module_receives_the_package_values(run_python, tmp_path):
    make_package(tmp_path / "fake", "vantor_commons", {"logs.py": '''
received = {}
class VLogger:
    def __init__(self, name): pass
    def hello_module(self, **kwargs): received.update(kwargs)
    def hello_module_finished(self, name): pass
'''})
    result = run_python("""
        import pagewright
        from vantor_commons.logs import received
        assert list(received) == ['name', 'filename', 'version', 'date'], received
        assert received['name'] == 'pagewright'
        assert received['filename'] == pagewright.__file__
        assert received['version'] == pagewright.__version__
        assert received['date'] == pagewright.__date__
        print('ok')
    """, extra_path=[tmp_path / "fake"])
    assert result.stdout.strip() == "ok"


def test_missing_logger_package_fails_the_import(run_python, tmp_path):
    make_package(tmp_path / "fake", "vantor_commons", {})
    result = run_python("""
        import sys
        try:
            import pagewright
        except ImportError as error:
            print(type(error).__name__, 'pagewright' in sys.modules)
    """, extra_path=[tmp_path / "fake"])
    assert result.stdout.split() == ["ModuleNotFoundError", "False"]


def test_failing_star_import_skips_the_finish_and_can_be_retried(run_python, tmp_path):
    make_package(tmp_path / "fake", "vantor_commons", {"logs.py": RECORDING_LOGGER})
    (tmp_path / "fake" / "pactum").mkdir()
    (tmp_path / "fake" / "pactum" / "__init__.py").write_text(
        "import sys\n"
        "attempts = sys.__dict__.setdefault('pactum_attempts', [])\n"
        "attempts.append(1)\n"
        "if len(attempts) == 1: raise RuntimeError('not yet')\n"
        "from importlib import import_module\n"
        "def pact(**specs):\n"
        "    return lambda f: f\n")
    result = run_python("""
        import sys
        try:
            import pagewright
        except RuntimeError as error:
            print('failed', error, 'pagewright' in sys.modules)
        from vantor_commons.logs import calls
        print([c[0] for c in calls])
        import pagewright
        print([c[0] for c in calls][-1], pagewright.LatexEnvironment.__name__)
    """, extra_path=[tmp_path / "fake"])
    lines = result.stdout.splitlines()
    assert lines[0] == "failed not yet False"
    assert lines[1] == "['VLogger', 'hello_module']"
    assert lines[2] == "hello_module_finished LatexEnvironment"
