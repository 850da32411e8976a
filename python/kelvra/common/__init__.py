"""The maker's common services: loggers and configuration files."""
from kelvra.common.utils import ConfigUtil, LogUtil

__all__ = ["ConfigUtil", "LogUtil"]
