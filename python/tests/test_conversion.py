"""Values across the boundary, whatever the module: kinds of record values,
integers, text that is not Unicode, nesting, and calls from several threads
at once (long calls release the GIL)."""
import threading

import numpy
import pytest

from conftest import assert_type_error_names
from kelvra import _native
from kelvra.common.exceptions import ErrorCodes, KvException
from kelvra.nlp.common.gleaner import Gleaner
from kelvra.nlp.common.matcher import Automaton, Word
from kelvra.nlp.common.sectioner import Sectioner
from kelvra.nlp.common.stitcher import Stitcher


def test_record_values_keep_their_kinds_and_order():
    entity = {"offset": 1, "score": 0.5, "ok": True, "none": None, "empty": [], "nested": {"z": 1, "a": [1.5]},
              "text": "é😀"}
    (merged,) = Stitcher().merge([{"offset": 2, "nes": [entity]}], "ner")
    assert merged is entity
    assert entity == {"offset": 3, "score": 0.5, "ok": True, "none": None, "empty": [], "nested": {"z": 1, "a": [1.5]},
                      "text": "é😀"}
    assert list(entity["nested"]) == ["z", "a"] and type(entity["offset"]) is int


def test_integers_from_any_number():
    text = {"text": "abcdef", "length": numpy.int64(4)}
    assert [s["length"] for s in Sectioner().split(text, "ner")] == [4, 2]
    assert [s["length"] for s in Sectioner()._split_text_by_length("abcdef", numpy.float32(3.9))] == [3, 3]
    assert_type_error_names("length", Sectioner()._split_text_by_length, "abc", True)
    assert_type_error_names("length", Sectioner()._split_text_by_length, "abc", "3")
    # Numbers of the right kind that no 64-bit integer holds.
    for number in (2 ** 70, float("nan"), 1e300):
        with pytest.raises(KvException) as info:
            Sectioner()._split_text_by_length("abc", number)
        assert info.value.code is ErrorCodes.INVALID_PARAMETERS and "length" in info.value.message


def test_values_are_checked_where_they_are_read_and_named():
    # Keys an operation does not read pass through untouched, whatever they hold.
    odd = object()
    entity = {"offset": 1, "extra": odd, 7: "key of another kind"}
    assert Stitcher().merge([{"offset": 2, "nes": [entity]}], "ner")[0] is entity
    assert entity["extra"] is odd and entity["offset"] == 3
    with pytest.raises(TypeError) as info:
        Stitcher().merge([{"offset": 0, "nes": [{"offset": b"3"}]}], "ner")
    assert str(info.value) == "`offset` must be a number, got bytes"
    with pytest.raises(TypeError) as info:
        Sectioner().split({"text": None, "length": 3}, "ner")
    assert str(info.value) == "`text` must be a str, got NoneType"
    assert_type_error_names("text", Automaton(["a"]).search, "a\ud800")
    # A copy must hold only what a record can hold.
    document = {"feature_set": {"text": "ab", "nes": [{"offset": 0, "length": 1, "when": odd}]}, "length": 5}
    assert_type_error_names("ne", Sectioner().split, document, "relation")
    # The library's own kind checks speak Python too.
    with pytest.raises(TypeError) as info:
        Word.from_json({"text": 3, "length": 1, "offset": 0})
    assert str(info.value) == "`text` must be a str, got int"


def test_records_of_other_types_and_code_that_changes_them_meanwhile():
    from collections import OrderedDict
    entity = OrderedDict(offset=numpy.int64(3), length=numpy.float64(2.0))
    (merged,) = Stitcher().merge([{"offset": numpy.int32(4), "nes": [entity]}], "ner")
    assert merged is entity and entity["offset"] == 7 and type(entity["offset"]) is int

    class Sneaky:  # a number whose reading empties the lists being stitched
        def __index__(self):
            for segment in segments:
                segment["nes"].clear()
            return 2
    kept = {"offset": 1}
    segments = [{"offset": 0, "nes": [kept, {"offset": Sneaky()}, {"offset": 5}]}, {"offset": 1, "nes": [{"offset": 1}]}]
    assert Stitcher().merge(segments, "ner") == [kept, {"offset": 2}]
    segments = [{"offset": 10, "nes": [kept, {"offset": Sneaky()}, {"offset": -1}]}]
    with pytest.raises(KvException):
        Stitcher().merge(segments + [{"offset": 0, "nes": [{"offset": -1}]}], "ner")
    assert kept == {"offset": 1}


def test_deep_nesting_is_refused_where_it_is_walked():
    deep = {"offset": 0, "length": 0}
    for _ in range(2000):
        deep = {"inner": deep, "offset": 0, "length": 0}
    # Stitching walks no further than the positions.
    assert Stitcher().merge([{"offset": 1, "nes": [deep]}], "ner")[0] is deep
    # Copying refuses it before running out of stack.
    with pytest.raises(KvException) as info:
        Sectioner().split({"feature_set": {"text": "ab", "nes": [deep]}, "length": 5}, "relation")
    assert info.value.code is ErrorCodes.INVALID_PARAMETERS
    assert info.value.message == f"`ne` is nested deeper than {_native.common.MAX_RECORD_DEPTH} levels"


def test_failed_merge_changes_nothing_even_for_a_record_listed_twice():
    entity = {"offset": 1}
    with pytest.raises(KeyError):
        Stitcher().merge([{"offset": 5, "nes": [entity, entity]}, {"offset": 0, "nes": [{"x": 1}]}], "ner")
    assert entity == {"offset": 1}
    # Listed twice and stitched, it is shifted twice, as a loop over the lists would.
    assert Stitcher().merge([{"offset": 5, "nes": [entity]}, {"offset": 2, "nes": [entity]}], "ner") == [entity] * 2
    assert entity == {"offset": 8}


def test_concurrent_calls_from_threads():
    automaton = Automaton(["ab", "b", "abc"])
    text = "xabcab" * 5000
    expected = [str(w) for w in automaton.search(text)]
    docs = [{"text": "第%d行\n第二行" % i, "entities": [{"text": "二", "offset": 5, "length": 1}]} for i in range(8)]
    results, errors = {}, []

    def work(index):
        try:
            for _ in range(5):
                found = automaton.search(text)
                assert [str(w) for w in found[:50]] == expected[:50] and len(found) == len(expected)
            results[index] = Gleaner().extract(docs[index])
        except Exception as e:  # noqa: BLE001 (reported below)
            errors.append(e)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    for index, passages in results.items():
        assert passages[1]["entities"][0] is docs[index]["entities"][0]
