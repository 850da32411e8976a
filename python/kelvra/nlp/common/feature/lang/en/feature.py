"""English feature records: a word with a mask flag and a lemma, and a
document that also carries its sentences and its text.

    >>> w = Word(1, "ran", 3, 3, pos="VBD", lemma="run")
    >>> Word.from_json(w.to_json()) == w
    True

An absent list (None) and an empty list stay different through ``to_json``
and ``from_json``.
"""
from kelvra._native import common as _check
from kelvra._native import records as _records
from kelvra.nlp.common.feature.feature import Entity, Sentence  # noqa: F401 (used unchanged)
from kelvra.nlp.common.feature.feature import FeatureSet as CN_FeatureSet
from kelvra.nlp.common.feature.feature import Word as CN_WORD


class Word(CN_WORD):
    """``Word(id_, text, offset, length, pos="", sentence_id=None,
    clause_id=None, parent=None, relation=None, mask=None, lemma=None)``."""

    def __init__(self, id_, text, offset, length, pos="", sentence_id=None, clause_id=None,
                 parent=None, relation=None, mask=None, lemma=None):
        super().__init__(id_, text, offset, length, pos, sentence_id, clause_id, parent, relation)
        self.mask = _check.optional_truth(mask, "mask")
        self.lemma = _check.optional_string(lemma, "lemma")

    def to_json(self):
        return _records.en_word_to_json(self)

    @classmethod
    def from_json(cls, json):
        return _records.en_word_from_json(cls, json)

    def __str__(self):
        # Every field, in the order the fields were first set.
        return _check.text_form(self.__dict__)

    __repr__ = __str__


class FeatureSet(CN_FeatureSet):
    """``FeatureSet(words=None, nes=None, sentences=None, text=None)``."""

    def __init__(self, words=None, nes=None, sentences=None, text=None):
        super().__init__(words, nes)
        self.sentences = _check.optional_list(sentences, "sentences")
        self.text = _check.optional_string(text, "text")

    def to_json(self):
        return _records.en_feature_set_to_json(self)

    @classmethod
    def from_json(cls, feature_set_json):
        return _records.en_feature_set_from_json(cls, feature_set_json)


_check.register_class("en.Word", Word)
_check.register_class("en.FeatureSet", FeatureSet)

__all__ = ["CN_FeatureSet", "CN_WORD", "Entity", "FeatureSet", "Sentence", "Word"]
