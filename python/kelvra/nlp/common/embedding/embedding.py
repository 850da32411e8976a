"""Word vectors from a word2vec file (text or binary variant), with a
character n-gram substitute for unknown words, and similar words.

Vectors are ``numpy.float32`` arrays; ``most_similar`` gives a list of
``(word, similarity)`` tuples.
"""
import numpy  # noqa: F401 (vectors are numpy arrays)

from kelvra._native.retrieval import Embedding, KeyedVectors

__all__ = ["Embedding", "KeyedVectors"]
