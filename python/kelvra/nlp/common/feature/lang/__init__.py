"""The language registry: the extractor factory of each language code.

``get(code, default=None)`` gives the factory registered under ``code``
("zh_cn" is), or ``default``; a factory called with a client and tag
settings makes the ``Extractor`` that an Annotator hands ``extract`` to.
"""
from kelvra._native.service import Extractor, ExtractorFactory, codes, get

__all__ = ["Extractor", "ExtractorFactory", "codes", "get"]
