"""Text normalisation with change tracking.

    >>> result = Normalizer([]).normalize("頭髮Ａ")
    >>> result.normalized_text, [str(w) for w in result.alter_words][2]
    ('头发A', "{'text': 'Ａ', 'normalized_text': 'A', 'offset': 2}")

``Normalizer.cc`` is the normaliser's OpenCC converter: ``cc.convert(text)``
is the traditional-to-simplified step on its own.
"""
from kelvra._native.text import AlterWord, Normalizer, OpenCC, Text

__all__ = ["AlterWord", "Normalizer", "OpenCC", "Text"]
