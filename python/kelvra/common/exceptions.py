"""The maker's failure with a code, and the failure of a file that cannot be
read or parsed.

    try:
        Sectioner().split({"text": "...", "length": 10}, "NER")
    except KvException as e:
        e.code     # ErrorCodes.INVALID_PARAMETERS
        e.message  # 'type_ must in ["ner", "relation"]'
"""
import enum

from kelvra import _native

# The codes and their values come from the library.
ErrorCodes = enum.IntEnum("ErrorCodes", list(_native.common.ERROR_CODES), module=__name__)
ErrorCodes.__doc__ = "Codes carried by KvException."


class KvException(Exception):
    """A failure with a code: ``KvException(code, message)``."""

    def __init__(self, code, message):
        super().__init__(code, message)
        self.code = code
        self.message = message

    def __str__(self):
        return str(self.message)


class FileError(OSError):
    """A file that cannot be read or parsed: ``path``, ``line`` (0 when not
    known) and the message, which names both."""

    def __init__(self, path, message, line=0):
        super().__init__(message)
        self.filename = path
        self.path = path
        self.line = line

    def __str__(self):
        return str(self.args[0])

    def __reduce__(self):
        # Failures travel between processes (Dask workers) by pickling.
        return (type(self), (self.path, self.args[0], self.line))


__all__ = ["ErrorCodes", "FileError", "KvException"]
