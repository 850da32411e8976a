"""Sentence and clause splitting of a text, or of a list of word records.

    >>> [s.text for s in Phraser().split("你好。再见！")]
    ['你好。', '再见！']
"""
from kelvra.common import LogUtil
from kelvra._native.segmentation import Phraser
from kelvra.nlp.common.feature.feature import Clause, Sentence, Word  # noqa: F401 (records of the results)

logger = LogUtil.get_logger(__name__)

__all__ = ["Phraser"]
