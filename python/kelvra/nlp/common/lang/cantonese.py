"""Cantonese to Mandarin wording, word by word, with a dictionary, a
Mandarin word list and grammar rules.

Loading this module sets up the process's log output (level INFO,
``LOG_FORMAT``) unless the process configured logging already; each
dictionary load writes one INFO line through ``logger``.

    >>> Cantonese().translate("佢哋而家喺邊度食緊飯？")
    '他们现在在哪里吃饭？'

``Cantonese(dict_file=None, words_file=None, rules_file=None)`` takes the
shipped data for each file not given. ``Cantonese.converter`` is the OpenCC
converter that every translator shares.
"""
import logging

from kelvra._native import text as _text
from kelvra._native.text import OpenCC  # noqa: F401 (the class of Cantonese.converter)

LOG_FORMAT = _text.LOG_FORMAT
logging.basicConfig(level=logging.INFO, format=LOG_FORMAT)
logger = logging.getLogger(__name__)

Cantonese = _text.Cantonese

__all__ = ["Cantonese", "LOG_FORMAT", "logger"]
