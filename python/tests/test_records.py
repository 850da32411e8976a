"""Feature records (base and English) through Python: constructors by
position and name, kinds refused with the parameter's name, serialised
forms, absent versus empty lists, and str() against Python's own."""
import pytest

from conftest import assert_type_error_names
from kelvra.nlp.common.feature import feature as base
from kelvra.nlp.common.feature.lang.en.feature import CN_WORD, FeatureSet, Word


def test_en_word_defaults_serialise_in_order():
    word = Word(0, "ran", 4.9, 3)
    assert isinstance(word, CN_WORD) and word.offset == 4
    assert word.to_json() == {"id": 0, "text": "ran", "offset": 4, "length": 3, "pos": "",
                              "sentence_id": None, "clause_id": None, "parent": None,
                              "relation": None, "mask": None, "lemma": None}
    assert list(word.to_json())[:2] == ["id", "text"]


def test_en_word_round_trip_equality_and_str():
    word = Word(1, "It's", 0, 4, "PRP", 0, 0, None, "nsubj", mask=True, lemma="it")
    back = Word.from_json(word.to_json())
    assert back == word and type(back) is Word
    assert Word(1, "It's", 0, 4, lemma="a") != Word(1, "It's", 0, 4, lemma="b")
    assert str(word) == str(vars(word))
    word.extra = "\t\u3000"
    assert str(word) == str(vars(word))
    with pytest.raises(AttributeError):
        word == 5  # noqa: B015 (a value without a field map)


def test_en_word_kinds_are_refused_by_name():
    assert_type_error_names("pos", Word.from_json, {"id": 0, "text": "a", "offset": 0, "length": 1, "pos": None})
    assert_type_error_names("mask", Word.from_json, {"id": 0, "text": "a", "offset": 0, "length": 1, "mask": 1})
    assert Word.from_json({"id": 0, "text": "a", "offset": 3.0, "length": 1}).offset == 3
    assert_type_error_names("text", Word, 0, None, 0, 1)
    assert_type_error_names("id_", Word, "0", "a", 0, 1)
    assert_type_error_names("lemma", Word, 0, "a", 0, 1, lemma=5)
    assert_type_error_names("json", Word.from_json, [])
    with pytest.raises(KeyError) as info:
        Word.from_json({"id": 0, "text": "a", "length": 1})
    assert info.value.args == ("offset",)


def test_subclass_from_json_builds_the_subclass():
    class Tagged(Word):
        pass
    assert type(Tagged.from_json(Word(0, "a", 0, 1).to_json())) is Tagged


def test_feature_set_absent_and_empty_lists_stay_apart():
    empty = FeatureSet()
    assert empty.to_json() == {"nes": None, "words": None, "sentences": None, "text": None}
    assert FeatureSet(sentences=[]).to_json()["sentences"] == []
    back = FeatureSet.from_json({"words": [], "nes": None, "text": "x"})
    assert (back.words, back.nes, back.sentences, back.text) == ([], None, None, "x")
    assert str(back) == str(back.to_json())


def test_feature_set_round_trip_with_every_list():
    sentence = base.Sentence(0, 0, 3, "Hi.", [base.Clause(0, "done", 0, 3, "Hi.")])
    entity = base.Entity.from_json({"text": "Hi", "offset": 0, "length": 2, "type": "X"})
    doc = FeatureSet([Word(0, "Hi", 0, 2, lemma="hi")], [entity], [sentence], "Hi.")
    back = FeatureSet.from_json(doc.to_json())
    assert back.to_json() == doc.to_json()
    assert back.words[0] == doc.words[0] and back.sentences[0] == sentence


def test_feature_set_needs_english_words_and_list_kinds():
    doc = FeatureSet(words=[base.Word(0, "a", 0, 1)])
    with pytest.raises(AttributeError):
        doc.to_json()
    assert_type_error_names("words", FeatureSet, "a")
    assert_type_error_names("feature_set_json", FeatureSet.from_json, "{}")


def test_base_records_round_trip():
    word = base.Word(id_=2, text="好", offset=1, length=1, pos="a")
    assert base.Word.from_json(word.to_json()) == word
    clause = base.Clause(0, "done", 0, 2, "你好")
    assert base.Clause.from_json(clause.to_json()) == clause
    sentence = base.Sentence(0, 0, 2, "你好", clauses=[clause])
    assert base.Sentence.from_json(sentence.to_json()) == sentence
    # Made without running the constructor, the same attributes in the same
    # order; a subclass still goes through its own constructor.
    for record in (word, clause, sentence):
        made = type(record).from_json(record.to_json())
        assert type(made) is type(record) and list(vars(made).items()) == list(vars(record).items())

    class Loud(base.Sentence):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.loud = True
    assert Loud.from_json(sentence.to_json()).loud
    doc = base.FeatureSet([word], None)
    assert base.FeatureSet.from_json(doc.to_json()).to_json() == {"words": [word.to_json()], "nes": None}
