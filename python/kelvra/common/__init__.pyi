from kelvra.common.utils import ConfigUtil as ConfigUtil, LogUtil as LogUtil

__all__ = ["ConfigUtil", "LogUtil"]
