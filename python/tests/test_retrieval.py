"""Automaton, Embedding and Gleaner through Python: result records, numpy
vectors, and the gleaner's in-place changes with identity kept."""
import numpy
import pytest

from conftest import assert_type_error_names
from kelvra.nlp.common.embedding.embedding import Embedding
from kelvra.nlp.common.gleaner import Gleaner
from kelvra.nlp.common.matcher import Automaton, Word


# --- Automaton ---

def test_search_gives_word_records_in_order():
    found = Automaton(["he", "she", "hers"]).search("ushers")
    assert all(isinstance(w, Word) for w in found)
    assert [str(w) for w in found] == [str({"text": "she", "length": 3, "offset": 1}),
                                       str({"text": "he", "length": 2, "offset": 2}),
                                       str({"text": "hers", "length": 4, "offset": 2})]
    assert [w.offset for w in Automaton(words=["aa"]).search(text="a😀aaa")] == [2, 3]
    assert Automaton([]).search("abc") == []


def test_automaton_kinds():
    assert_type_error_names("words", Automaton, ("a", "b"))
    assert_type_error_names("words", Automaton, ["a", 1])
    assert_type_error_names("text", Automaton(["a"]).search, None)
    word = Word("a", 1.5, offset=2)
    assert (word.text, word.length, word.offset) == ("a", 1, 2)
    assert Word.from_json(word.to_json()).to_json() == {"text": "a", "length": 1, "offset": 2}
    word.offset = 7.9
    assert word.offset == 7 and str(word) == str({"text": "a", "length": 1, "offset": 7})
    with pytest.raises(TypeError):
        word.text = None
    with pytest.raises(AttributeError):
        del word.length
    assert_type_error_names("json", Word.from_json, "a")
    assert_type_error_names("offset", Word, "a", 1)  # a missing argument

    class Hit(Word):
        pass
    assert type(Hit.from_json(word.to_json())) is Hit
    assert_type_error_names("records", Automaton(["a"]).search, "a", 1)


def test_words_are_plain_data_too():
    import json
    import pickle
    found = Automaton(["北京", "京"]).search("在北京")
    assert [w.to_json() for w in found] == Automaton(["北京", "京"]).search("在北京", records=True)
    assert json.dumps(found[0].to_json(), ensure_ascii=False) == '{"text": "北京", "length": 2, "offset": 1}'
    back = pickle.loads(pickle.dumps(found))
    assert back == found
    assert type(back[0]) is Word and back[0] is not found[0]
    # Compact: the class and each distinct text once, then a few bytes a Word.
    many = [Word("北京", 2, offset) for offset in range(1000)]
    assert len(pickle.dumps(many)) < 20 * len(many)


def test_arrays_kinds_and_whole_words_agree_with_word_objects():
    import random
    rng = random.Random(27)
    letters = "ab中😀é1 -"
    for _ in range(300):
        words = ["".join(rng.choice(letters) for _ in range(rng.randrange(4)))
                 for _ in range(rng.randrange(8))]
        automaton = Automaton(words)
        assert list(automaton.words) == words
        texts = ["".join(rng.choice(letters + "z") for _ in range(rng.randrange(40)))
                 for _ in range(4)]
        for kind in ("overlapping", "leftmost-longest", "leftmost-first"):
            for whole_words in (False, True):
                options = {"kind": kind, "whole_words": whole_words}
                many = automaton.search_many(texts, threads=3, **options)
                for text, triple in zip(texts, many):
                    found = automaton.search(text, **options)
                    offsets, lengths, ids = automaton.search_arrays(text, **options)
                    assert (offsets.dtype, lengths.dtype, ids.dtype) == (
                        numpy.int64, numpy.int64, numpy.int32)
                    assert [(w.text, w.length, w.offset) for w in found] == [
                        (automaton.words[i], n, o) for o, n, i in zip(offsets, lengths, ids)]
                    assert all(words.index(automaton.words[i]) == i for i in ids)
                    for mine, theirs in zip(triple, (offsets, lengths, ids)):
                        assert numpy.array_equal(mine, theirs)


def test_kind_and_threads_are_checked():
    automaton = Automaton(["ab", "abc"])
    assert [w.text for w in automaton.search("abc", kind="leftmost-first")] == ["ab"]
    with pytest.raises(Exception, match="`kind` must be overlapping"):
        automaton.search("abc", kind="longest")
    assert_type_error_names("kind", automaton.search_arrays, "abc", kind=1)
    assert_type_error_names("whole_words", automaton.search, "abc", whole_words=1)
    assert_type_error_names("texts", automaton.search_many, ["a", 2])
    with pytest.raises(ValueError, match="threads"):
        automaton.search_many(["a"], threads=0)
    assert automaton.search_many([]) == []
    with pytest.raises(IndexError):
        automaton.words[2]
    assert automaton.words[-1] == "abc" and automaton.words[:] == ["ab", "abc"]


def test_folded_matching_reports_the_text_searched():
    import pickle
    automaton = Automaton(["Straße", "hello", "头发"], fold="case,width,script")
    assert automaton.fold == ("case", "width", "script")
    text = "STRASSE, ＨＥＬＬＯ 洗頭髮"
    found = automaton.search(text)
    assert [(w.text, w.offset, w.length) for w in found] == [
        ("STRASSE", 0, 7), ("ＨＥＬＬＯ", 9, 5), ("頭髮", 16, 2)]
    assert all(text[w.offset:w.offset + w.length] == w.text for w in found)
    offsets, lengths, ids = automaton.search_arrays(text, kind="leftmost-longest")
    assert list(zip(offsets, lengths, ids)) == [(0, 7, 0), (9, 5, 1), (16, 2, 2)]
    again = pickle.loads(pickle.dumps(automaton))
    assert again.fold == automaton.fold and again.search(text) == found
    assert Automaton(["ab"], fold=["width"]).fold == ("width",)
    assert Automaton(["ab"]).fold == () and Automaton(["ab"]).search("AB") == []
    assert "fold='case'" in repr(Automaton(["a"], fold="case"))
    with pytest.raises(Exception, match="`fold` must be case, width or script"):
        Automaton(["a"], fold="accents")
    assert_type_error_names("fold", Automaton, ["a"], fold=3)


# --- Embedding ---

@pytest.fixture
def embedding_file(tmp_path):
    path = tmp_path / "vectors.txt"
    path.write_text("4 2\n中国 3 4\n北京 4 3\n上 1 0\n海 0 1\n", encoding="utf-8")
    return str(path)


def test_word2vec_gives_float32_numpy_vectors(embedding_file):
    embedding = Embedding(embedding_file)
    vector = embedding.word2vec("中国")
    assert isinstance(vector, numpy.ndarray) and vector.dtype == numpy.float32 and vector.shape == (2,)
    assert numpy.allclose(vector, [0.6, 0.8])
    assert numpy.allclose(embedding.word2vec("上海", min_n=1, max_n=3), [0.5, 0.5])
    with pytest.raises(KeyError) as info:
        embedding.word2vec("广州", 2)
    assert info.value.args == ("all ngrams for word 广州 absent from model",)
    # A range without n-grams (max_n below min_n) still finds vocabulary words.
    assert numpy.allclose(embedding.word2vec("中国", 3, 1), [0.6, 0.8])
    with pytest.raises(KeyError, match="all ngrams for word 上海 absent from model"):
        embedding.word2vec("上海", max_n=0)
    assert numpy.allclose(embedding.word2vec("上海", -1, 1), [0.5, 0.5])
    assert sorted(embedding._compute_ngrams("aba", 1, 3)) == ["a", "ab", "aba", "b", "ba"]


def test_most_similar_gives_word_similarity_tuples(embedding_file):
    embedding = Embedding(embedding_file, binary=False)
    similar = embedding.most_similar("中国", topk=2.9)
    assert [w for w, _ in similar] == ["北京", "海"] and all(isinstance(p, tuple) for p in similar)
    assert similar[0][1] == pytest.approx(0.96, abs=1e-6)
    with pytest.raises(KeyError):
        embedding.most_similar("广州")
    assert [[w for w, _ in n] for n in embedding.most_similar_batch(["北京", "上"], 1)] == [["中国"], ["北京"]]
    assert_type_error_names("topk", embedding.most_similar, "中国", "2")
    store = embedding.wv_from_text
    assert "北京" in store and len(store) == 4 and store.vector_size == 2
    assert store.vectors.shape == (4, 2) and not store.vectors.flags.writeable


def test_index_to_key_is_a_read_only_view(embedding_file):
    from collections.abc import Sequence
    keys = Embedding(embedding_file).wv_from_text.index_to_key
    assert isinstance(keys, Sequence) and len(keys) == 4
    assert list(keys) == ["中国", "北京", "上", "海"] and keys == ["中国", "北京", "上", "海"]
    assert keys[-1] == "海" and keys[1:3] == ["北京", "上"] and keys[::-2] == ["海", "北京"]
    assert "上" in keys and 3 not in keys and keys.index("上") == 2
    with pytest.raises(IndexError):
        keys[4]
    with pytest.raises(ValueError):
        keys.index("广州")
    with pytest.raises(TypeError):
        keys[0] = "x"


def test_embedding_file_errors(tmp_path):
    bad = tmp_path / "bad.txt"
    bad.write_text("1 2\nword 1\n", encoding="utf-8")
    with pytest.raises(OSError) as info:
        Embedding(str(bad))
    assert str(bad) in str(info.value)
    assert_type_error_names("embedding_file", Embedding, None)


# --- Gleaner ---

def test_extract_changes_entities_in_place_and_shares_them():
    named = {"uuid": "u1", "name": "cd", "category": "X", "offset": 3, "length": 2}
    plain = {"text": "ab", "offset": 0, "length": 2}
    doc = {"text": "ab\ncd", "entities": [named, plain]}
    passages = Gleaner().extract(doc)
    assert passages == [{"text": "ab", "offset": 0, "entities": [plain]},
                        {"text": "cd", "offset": 3, "entities": [named]}]
    assert passages[1]["entities"][0] is named and passages[0]["entities"][0] is plain
    assert doc["entities"][0] is named
    assert named == {"offset": 0, "length": 2, "text": "cd", "type": "X"}
    assert list(named) == ["offset", "length", "text", "type"]


def test_extract_absent_values():
    assert Gleaner().extract(None) is None
    assert Gleaner().extract({"text": "", "zh_content": ""}) is None
    assert Gleaner().extract(doc={"content_zh": " \n•"}) is None
    passages = Gleaner().extract({"zh_content": "x\ny", "entities": []})
    assert [p["entities"] for p in passages] == [None, None]
    assert_type_error_names("doc", Gleaner().extract, "text")


def test_extract_takes_search_results_as_entities():
    text = "林秋生\n在江城"
    entities = Automaton(["江城", "林秋生"]).search(text)
    passages = Gleaner().extract({"text": text, "entities": entities})
    assert passages[1]["entities"] == [entities[1]] and passages[1]["entities"][0] is entities[1]
    assert (entities[1].text, entities[1].offset) == ("江城", 1) and entities[0].offset == 0


def test_negative_positions_are_refused_naming_the_key():
    from kelvra.common.exceptions import ErrorCodes, KvException
    for bad, message in (({"offset": -1, "length": 1}, "`offset` must be a position or length of at least 0, got -1"),
                         ({"offset": -2 ** 63, "length": 1},
                          "`offset` must be a position or length of at least 0, got -9223372036854775808"),
                         ({"offset": 0, "length": -1}, "`length` must be a position or length of at least 0, got -1")):
        first = {"uuid": "u", "text": "a", "offset": 0, "length": 1}
        with pytest.raises(KvException) as info:
            Gleaner().extract({"text": "ab", "entities": [first, dict(bad, text="b")]})
        assert info.value.code is ErrorCodes.INVALID_PARAMETERS and info.value.message == message
        assert "uuid" in first


def test_extract_failure_changes_nothing():
    first = {"uuid": 7, "text": "a", "offset": 0, "length": 1}
    broken = {"name": "b", "offset": 1, "length": 1}
    with pytest.raises(KeyError):
        Gleaner().extract({"text": "ab", "entities": [first, broken]})
    assert first == {"uuid": 7, "text": "a", "offset": 0, "length": 1}


def test_internal_operations():
    gleaner = Gleaner()
    assert gleaner._segment("  ab") == [{"text": "ab", "offset": 2}]
    assert gleaner._segment("\n\n") is None
    entity = {"text": "\nc", "offset": 2, "length": 2}
    inside = gleaner._related_entities({"text": "cd", "offset": 3}, [entity])
    assert inside == [entity] and inside[0] is entity and entity["offset"] == 0
    assert gleaner._related_entities(seg={"text": "x", "offset": 0}, ref_entities=None) is None
