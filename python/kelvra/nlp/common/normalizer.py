"""Text normalisation with change tracking.

    >>> result = Normalizer([]).normalize("頭髮Ａ")
    >>> result.normalized_text, [str(w) for w in result.alter_words][2]
    ('头发A', "{'text': 'Ａ', 'normalized_text': 'A', 'offset': 2}")
"""
from kelvra._native.text import AlterWord, Normalizer, Text

__all__ = ["AlterWord", "Normalizer", "Text"]
