"""A thin logger class over the standard ``logging`` module."""

import logging


class VLogger:
    """Logs through the standard logger of the given name."""

    def __init__(self, name):
        self.name = name
        self.logger = logging.getLogger(name)

    def __getattr__(self, attr):
        # debug, info, warning, error, exception, ... of the wrapped logger
        return getattr(self.logger, attr)

    def hello_module(self, name, filename, version, date):
        """Announces that a module has started loading."""
        self.logger.debug("loading module %s version %s (%s) from %s",
                          name, version, date, filename)

    def hello_module_finished(self, name):
        """Announces that a module has finished loading."""
        self.logger.debug("module %s loaded", name)
