"""Loggers and configuration files.

``LogUtil.get_logger(name)`` gives the Python ``logging`` logger of that
name, so the process's logging configuration governs the toolkit's loggers.
``ConfigUtil.load(path)`` reads a JSON configuration file into a dict, keys
in file order; a file that cannot be read or parsed raises ``FileError``
(an ``OSError``) naming the path and, for a parse error, the line.
"""
import logging

from kelvra import _native


class LogUtil:
    @staticmethod
    def get_logger(name):
        """The logger registered under ``name`` (created on first use)."""
        return logging.getLogger(name)


class ConfigUtil:
    @staticmethod
    def load(path):
        """The configuration record (a dict) read from the JSON file ``path``."""
        return _native.common.load_config(path)


__all__ = ["ConfigUtil", "LogUtil"]
