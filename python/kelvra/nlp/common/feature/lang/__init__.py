"""The language registry: the extractor factory of each language code.

``get(code, default=None)`` gives the factory registered under ``code`` (or
``default``); a factory called with a client and tag settings makes the
extractor whose ``extract(text, types)`` obtains the feature sets. "zh_cn"
is registered.
"""
from kelvra._native.service import Extractor, ExtractorFactory, codes, get

__all__ = ["Extractor", "ExtractorFactory", "codes", "get"]
