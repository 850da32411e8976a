"""kelvra: natural-language-processing utilities for Chinese (Mandarin and
Cantonese) and English text.

Import the modules by their dotted names, e.g.::

    from kelvra.nlp.common.phraser import Phraser
    Phraser().split("你好。再见！")

Every module is a thin layer over one compiled extension (kelvra._native),
which binds the C++ library; the modules hold no logic of their own.
"""
