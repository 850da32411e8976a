import logging
from typing import Any

class LogUtil:
    @staticmethod
    def get_logger(name: str) -> logging.Logger: ...

class ConfigUtil:
    @staticmethod
    def load(path: str) -> dict[str, Any]: ...

__all__ = ["ConfigUtil", "LogUtil"]
