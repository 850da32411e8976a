"""The feature types a text can be analysed for: ``Types.WORD``, ``POS``,
``NER``, ``SENTENCE`` and ``DEPENDENCY``."""
from kelvra._native.service import Types

__all__ = ["Types"]
