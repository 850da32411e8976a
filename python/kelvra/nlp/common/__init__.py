"""The package root: the character functions that the normaliser applies.

``Q2B(value)`` maps full-width ASCII variants and the ideographic space to
their half-width forms; ``replace_ctrl_char(ch, validChrList)`` gives ``ch``
itself when it is listed in ``validChrList`` or is no control character,
and a blank otherwise.
"""
from kelvra._native.nlp_common import Q2B, replace_ctrl_char

__all__ = ["Q2B", "replace_ctrl_char"]
