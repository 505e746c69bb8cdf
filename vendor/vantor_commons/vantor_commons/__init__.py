"""Shared helpers; only the logging module is provided."""
