"""Every occurrence of the words of a dictionary in a text.

    >>> [str(w) for w in Automaton(["he", "she", "hers"]).search("ushers")]
    ["{'text': 'she', 'length': 3, 'offset': 1}", "{'text': 'he', 'length': 2, 'offset': 2}", "{'text': 'hers', 'length': 4, 'offset': 2}"]

A ``Word`` is accepted wherever the package takes an entity record (a
segment's ``nes``, a document's ``entities``) and read there as the record
``{"text", "length", "offset"}``; the stitcher shifts its ``offset`` where
it stands. ``search(text, records=True)`` gives those records as dicts,
``Word.to_json()`` one of them, and Words pickle. Two Words are equal when
their three fields are (so two searches of one text give equal lists), and
a Word reads as its record: ``w["text"]``, ``w.keys()``, ``dict(w)``.

``automaton.save(path)`` writes the built automaton to a file that
``Automaton.load(path)`` maps read-only and searches in place, one copy of
its pages shared by every process that loads it. An Automaton pickles as
its built tables, whether it was built or loaded.

``search(text, kind="leftmost-longest")`` (or ``"leftmost-first"``) reports
occurrences that never overlap; ``whole_words=True`` drops those that cut a
word. ``search_arrays(text)`` gives the same occurrences as three NumPy
arrays (offsets, lengths, ids), no object each; ``automaton.words[id]`` is
the word of an id. ``search_many(texts, threads=N)`` searches many texts on
N threads.
"""
from kelvra._native.retrieval import Automaton, Word, WordList

__all__ = ["Automaton", "Word", "WordList"]
