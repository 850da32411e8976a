"""Feature records: the words, clauses, sentences and named entities of an
analysed text, and the document that holds them.

Fields are plain attributes. Constructors check the kinds of their
arguments (a ``TypeError`` names the parameter; integers may be any number
and are truncated toward zero); ``to_json`` gives the serialised record and
the class-level ``from_json`` reads one back through the class's own
constructor. ``str()`` of a record is the text form of its serialised map.
"""
from kelvra._native import common as _check
from kelvra._native import records as _records


class _Record:
    """Records are equal when they hold the same fields with equal values; a
    record prints as the text form of its serialised map."""

    def __eq__(self, other):
        return self.__dict__ == other.__dict__

    def __str__(self):
        return _check.text_form(self.to_json())

    __repr__ = __str__


class Word(_Record):
    """One token: ``Word(id_, text, offset, length, pos="", sentence_id=None,
    clause_id=None, parent=None, relation=None)``; the identifier is kept in
    the field ``id``."""

    def __init__(self, id_, text, offset, length, pos="", sentence_id=None, clause_id=None,
                 parent=None, relation=None):
        self.id = _check.integer(id_, "id_")
        self.text = _check.string(text, "text")
        self.offset = _check.integer(offset, "offset")
        self.length = _check.integer(length, "length")
        self.pos = _check.string(pos, "pos")
        self.sentence_id = _check.optional_integer(sentence_id, "sentence_id")
        self.clause_id = _check.optional_integer(clause_id, "clause_id")
        self.parent = _check.optional_integer(parent, "parent")
        self.relation = _check.optional_string(relation, "relation")

    def to_json(self):
        return _records.word_to_json(self)

    @classmethod
    def from_json(cls, json):
        return _records.word_from_json(cls, json)


class Clause(_Record):
    """One clause: ``Clause(id_, tense, offset, length, text)``."""

    def __init__(self, id_, tense, offset, length, text):
        self.id = _check.integer(id_, "id_")
        self.tense = _check.string(tense, "tense")
        self.offset = _check.integer(offset, "offset")
        self.length = _check.integer(length, "length")
        self.text = _check.string(text, "text")

    def to_json(self):
        return _records.clause_to_json(self)

    @classmethod
    def from_json(cls, json):
        return _records.clause_from_json(cls, json)


class Sentence(_Record):
    """One sentence with its clauses: ``Sentence(id_, offset, length, text,
    clauses=None)`` (None: no clauses)."""

    def __init__(self, id_, offset, length, text, clauses=None):
        self.id = _check.integer(id_, "id_")
        self.offset = _check.integer(offset, "offset")
        self.length = _check.integer(length, "length")
        self.text = _check.string(text, "text")
        self.clauses = [] if clauses is None else _check.list(clauses, "clauses")

    def to_json(self):
        return _records.sentence_to_json(self)

    @classmethod
    def from_json(cls, json):
        return _records.sentence_from_json(cls, json)


class Entity(_Record):
    """A named entity: the serialised record itself, every key kept in order
    (``offset`` and ``length``, or ``spans``; text, type and any other keys
    ride along). Made with ``Entity.from_json(record)``."""

    def __init__(self, record):
        self.record = _check.dict(record, "json")

    def to_json(self):
        return _records.entity_to_json(self)

    @classmethod
    def from_json(cls, json):
        return _records.entity_from_json(cls, json)


class FeatureSet(_Record):
    """A document's words and named entities: ``FeatureSet(words=None,
    nes=None)``. An absent list (None) is not the same as an empty one."""

    def __init__(self, words=None, nes=None):
        self.words = _check.optional_list(words, "words")
        self.nes = _check.optional_list(nes, "nes")

    def to_json(self):
        return _records.feature_set_to_json(self)

    @classmethod
    def from_json(cls, json):
        return _records.feature_set_from_json(cls, json)


for _cls in (Word, Clause, Sentence, Entity, FeatureSet):
    _check.register_class("feature." + _cls.__name__, _cls)

__all__ = ["Clause", "Entity", "FeatureSet", "Sentence", "Word"]
