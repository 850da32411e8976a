"""Cutting a document into segments of bounded length along sentences.

    >>> Sectioner().split({"text": "你好。再见！谢谢。", "length": 6}, "ner")
    [{'text': '你好。再见！', 'offset': 0, 'length': 6}, {'text': '谢谢。', 'offset': 6, 'length': 3}]
"""
import kelvra.nlp.common.phraser  # noqa: F401 (the sectioner's phraser)
from kelvra._native.segmentation import Sectioner

__all__ = ["Sectioner"]
