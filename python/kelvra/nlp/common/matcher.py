"""Every occurrence of the words of a dictionary in a text.

    >>> [str(w) for w in Automaton(["he", "she", "hers"]).search("ushers")]
    ["{'text': 'she', 'length': 3, 'offset': 1}", "{'text': 'he', 'length': 2, 'offset': 2}", "{'text': 'hers', 'length': 4, 'offset': 2}"]

A ``Word`` is accepted wherever the package takes an entity record (a
segment's ``nes``, a document's ``entities``) and read there as the record
``{"text", "length", "offset"}``; the stitcher shifts its ``offset`` where
it stands. ``search(text, records=True)`` gives those records as dicts,
``Word.to_json()`` one of them, and Words pickle.
"""
from kelvra._native.retrieval import Automaton, Word

__all__ = ["Automaton", "Word"]
