"""The client of the remote NLP service.

``NlpClient(url, timeout=None)`` posts ``{"text", "types", "lang", "tag"}``
to ``{url}/features`` and reads back feature-set records. A subclass may
override ``features(text, types, lang, tag)`` to answer from elsewhere.
"""
from kelvra._native.service import NlpClient

__all__ = ["NlpClient"]
