import enum

class ErrorCodes(enum.IntEnum):
    SUCCESS: int
    INVALID_PARAMETERS: int
    NOT_FOUND: int
    IO_ERROR: int
    REMOTE_ERROR: int
    INTERNAL_ERROR: int

class KvException(Exception):
    code: ErrorCodes
    message: str
    def __init__(self, code: ErrorCodes, message: str) -> None: ...

class FileError(OSError):
    path: str
    line: int
    def __init__(self, path: str, message: str, line: int = 0) -> None: ...

__all__ = ["ErrorCodes", "FileError", "KvException"]
