"""Word vectors from a word2vec file (text or binary variant), with a
character n-gram substitute for unknown words, and similar words.

Vectors are ``numpy.float32`` arrays; ``most_similar`` gives a list of
``(word, similarity)`` tuples. ``Embedding.save(path)`` writes the store in
a native format that ``Embedding(path)`` knows by its first bytes and maps
read-only in milliseconds, one copy of its pages shared by every process
that loads it. An Embedding pickles as that saved form.
"""
import numpy  # noqa: F401 (vectors are numpy arrays)

from kelvra._native.retrieval import Embedding, KeyedVectors, KeyList

__all__ = ["Embedding", "KeyedVectors", "KeyList"]
