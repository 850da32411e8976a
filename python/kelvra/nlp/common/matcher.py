"""Every occurrence of the words of a dictionary in a text.

    >>> [str(w) for w in Automaton(["he", "she", "hers"]).search("ushers")]
    ["{'text': 'she', 'length': 3, 'offset': 1}", "{'text': 'he', 'length': 2, 'offset': 2}", "{'text': 'hers', 'length': 4, 'offset': 2}"]
"""
from kelvra._native.retrieval import Automaton, Word

__all__ = ["Automaton", "Word"]
