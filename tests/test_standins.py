import inspect
import logging

import pytest
from pactum import pact
from vantor_commons.logs import VLogger

import pagewright


def test_pact_checks_the_named_argument_and_returns_the_result():
    @pact(options="dict|None")
    def configure(name, options=None):
        return name, options

    assert configure("a") == ("a", None)
    assert configure("a", {"k": "v"}) == ("a", {"k": "v"})
    assert configure.__name__ == "configure"
    with pytest.raises(TypeError, match=r"'options' must be dict\|None, not list"):
        configure("a", options=[])


def test_pact_rejects_a_spec_for_a_missing_parameter():
    with pytest.raises(TypeError, match="no parameter"):
        pact(missing="int")(lambda x: x)


def test_graphics_data_is_checked_by_pact_around_the_extension_function():
    checked = pagewright.LatexEnvironment.graphics_data
    assert checked.__name__ == "graphics_data"
    assert type(checked.__wrapped__).__name__ == "function"
    assert type(checked.__wrapped__).__module__ == "pagewright"
    assert str(inspect.signature(checked)) == "(self, /, data, mime, gid=None, **params)"


def test_vlogger_logs_debug_lines_through_the_named_logger(caplog):
    logger = VLogger("pagewright.example")
    with caplog.at_level(logging.DEBUG, logger="pagewright.example"):
        logger.hello_module(name="m", filename="f.so", version="1.0", date="today")
        logger.hello_module_finished("m")
    assert [r.levelname for r in caplog.records] == ["DEBUG", "DEBUG"]
    assert "m" in caplog.records[0].getMessage() and "1.0" in caplog.records[0].getMessage()
    assert logger.name == "pagewright.example"
