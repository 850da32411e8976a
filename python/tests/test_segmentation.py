"""Phraser, Sectioner and Stitcher through Python: names, defaults, kinds,
failures, and in-place changes on the caller's own dicts."""
import random

import pytest

from conftest import assert_type_error_names
from kelvra.common.exceptions import ErrorCodes, KvException
from kelvra.nlp.common.feature.feature import Clause, Sentence, Word
from kelvra.nlp.common.matcher import Automaton
from kelvra.nlp.common.matcher import Word as Occurrence
from kelvra.nlp.common.phraser import Phraser
from kelvra.nlp.common.sectioner import Sectioner
from kelvra.nlp.common.stitcher import Stitcher


# --- Phraser ---

def test_phraser_split_gives_sentence_records():
    first, second = Phraser().split("你好。再见！")
    assert isinstance(first, Sentence) and isinstance(first.clauses[0], Clause)
    assert (first.text, first.offset, first.length) == ("你好。", 0, 3)
    assert (second.text, second.offset, second.length, second.id) == ("再见！", 3, 3, 1)
    assert [c.tense for c in first.clauses] == ["done"]
    assert str(first) == str(first.to_json())


def test_phraser_constructor_names_defaults_and_truncation():
    assert Phraser().max_len == 510
    assert Phraser(max_len=0).max_len == 510
    assert Phraser(None, 7.9).max_len == 7
    assert Phraser(punct_chars=[]).punct_chars == set(Phraser.default_punct_chars)
    assert Phraser(["."]).punct_chars == {"."}
    assert len(Phraser.default_punct_chars) == 45 and Phraser.clause_chars[-1] == "」"
    assert [s.text for s in Phraser(punct_chars=["."]).split(input="Hi. Bye.")] == ["Hi.", " Bye."]
    assert_type_error_names("max_len", Phraser, max_len="5")
    with pytest.raises(TypeError):
        Phraser(unknown=1)


def test_class_lists_are_read_through_the_instance():
    text = "他说：“走吧。”「好，走。」然后"
    default = [s.text for s in Phraser().split(text)]
    assert default == ["他说：“走吧。”", "「好，走。」然后"]

    class NoQuotes(Phraser):
        stop_chars = []
        quote_left_char = ()
    assert [s.text for s in NoQuotes().split(text)] == ["他说：“走吧。", "”「好，走。", "」然后"]
    phraser = Phraser()
    phraser.stop_chars = []
    assert [s.text for s in phraser.split(text)] == ["他说：“走吧。", "”「好，走。」然后"]
    del phraser.stop_chars
    assert [s.text for s in phraser.split(text)] == default
    assert [c.text for c in phraser.split(text)[0].clauses] == ["他说：", "“走吧。”"]
    phraser.clause_chars = {"，"}
    assert [c.text for c in phraser.split(text)[0].clauses] == ["他说：“走吧。”"]
    words = phraser.get_single_words("好。”走")
    assert [[w.text for w in chunk] for chunk in NoQuotes().split_by_char(words, ["。"])] == [["好", "。"], ["”", "走"]]

    class Bangs(Phraser):
        default_punct_chars = ["！"]
    assert [s.text for s in Bangs().split("甲。乙！丙")] == ["甲。乙！", "丙"]
    assert Bangs().punct_chars == {"！"} and Bangs(["。"]).punct_chars == {"。"}
    phraser.quote_right_char = [5]
    assert_type_error_names("quote_right_char", phraser.split, "a")
    # The class's own lists are untouched by all of it.
    assert [s.text for s in Phraser().split(text)] == default and Phraser.stop_chars == ["”", "’"]


def test_phraser_split_of_words_and_wrong_kinds():
    words = Phraser().get_single_words("甲。乙")
    assert [(w.id, w.text, w.offset, w.length) for w in words] == [(0, "甲", 0, 1), (1, "。", 1, 1), (2, "乙", 2, 1)]
    assert [s.text for s in Phraser().split(words)] == ["甲。", "乙"]
    assert_type_error_names("words", Phraser().split, 42)
    assert_type_error_names("words", Phraser().split_by_char, "not a list")
    assert_type_error_names("chars", Phraser().split_by_char, words, 5)

    class Bare:  # a word without `length`
        id, text = 0, "x"
    with pytest.raises(AttributeError):
        Phraser().split([Bare()])


def test_split_by_char_returns_the_callers_word_objects():
    words = [Word(id_=i, text=t, offset=i, length=1) for i, t in enumerate("ab,cd")]
    chunks = Phraser().split_by_char(words, {","})
    assert [[w.text for w in chunk] for chunk in chunks] == [["a", "b", ","], ["c", "d"]]
    assert chunks[1][0] is words[3]
    assert Phraser().split_by_char(words=words) == [words]
    assert Phraser().split("") == [] and Phraser().split([]) == []


def test_get_single_words_of_a_list_of_strings():
    words = Phraser().get_single_words(["ab", "c"])
    assert [(w.id, w.offset, w.length) for w in words] == [(0, 0, 2), (2, 2, 1)]


# --- Sectioner ---

def test_sectioner_ner_segments_are_dicts_in_key_order():
    segments = Sectioner().split({"text": "你好。再见！谢谢。", "length": 6}, "ner")
    assert segments == [{"text": "你好。再见！", "offset": 0, "length": 6},
                        {"text": "谢谢。", "offset": 6, "length": 3}]
    assert list(segments[0]) == ["text", "offset", "length"]
    assert Sectioner().split(type_="ner", input_={"text": "", "length": 4}) == [
        {"text": "", "offset": 0, "length": 0}]
    assert [s["length"] for s in Sectioner().split({"text": "a" * 10, "length": 4.9}, "ner")] == [4, 4, 2]


def test_sectioner_failures_map_to_python_kinds():
    sectioner = Sectioner()
    for type_ in ("NER", "relations"):
        with pytest.raises(KvException) as info:
            sectioner.split({"text": "x", "length": 3}, type_)
        assert info.value.code is ErrorCodes.INVALID_PARAMETERS
        assert info.value.message == 'type_ must in ["ner", "relation"]'
    with pytest.raises(KeyError) as info:
        sectioner.split({"length": 3}, "ner")
    assert info.value.args == ("text",)
    assert_type_error_names("input_", sectioner.split, [], "ner")
    assert_type_error_names("type_", sectioner.split, {"text": "x", "length": 1}, None)
    assert_type_error_names("length", sectioner.split, {"text": "x", "length": "3"}, "ner")
    assert_type_error_names("separator", Sectioner, "。")
    assert_type_error_names("text", sectioner._split_text_by_length, b"x", 3)


def test_sectioner_relation_copies_and_leaves_the_input_alone():
    entity = {"text": "再见", "offset": 3, "length": 2, "type": "X"}
    piece = {"spans": [{"offset": 3, "length": 1}]}
    document = {"feature_set": {"text": "你好。再见！", "nes": [entity, piece]}, "length": 3}
    first, second = Sectioner().split(document, "relation")
    assert first["feature_set"] == {"text": "你好。", "nes": []}
    assert second["feature_set"]["nes"] == [{"text": "再见", "offset": 0, "length": 2, "type": "X"},
                                            {"spans": [{"offset": 0, "length": 1}]}]
    assert entity["offset"] == 3 and piece["spans"][0]["offset"] == 3
    assert second["feature_set"]["nes"][0] is not entity


def test_sectioner_internal_operations():
    sectioner = Sectioner(separator=["\n"])
    assert isinstance(sectioner.phraser, Phraser) and sectioner.phraser.punct_chars == {"\n"}
    segments, end = sectioner._split_extra_long_sentence("abcdefghi", 4, segment_offset=10)
    assert [s["offset"] for s in segments] == [10, 14, 18] and end == 19
    assert sectioner._judge_entity_in_segment({"offset": 6, "length": 2}, {"offset": 6, "length": 6})
    assert not sectioner._judge_entity_in_segment(ne={"offset": 5, "length": 3}, segment={"offset": 0, "length": 6})
    assert_type_error_names("ne", sectioner._judge_entity_in_segment, 1, {"offset": 0, "length": 1})
    # A length is looked up only for a start inside the segment.
    assert not sectioner._judge_entity_in_segment({"offset": 6}, {"offset": 7, "length": 3})
    with pytest.raises(KeyError, match="length"):
        sectioner._judge_entity_in_segment({"offset": 7}, {"offset": 7, "length": 3})


# --- long texts on several threads ---

def long_text(pieces=30000):
    """About 600 KB: long enough to be walked in pieces, with brackets and
    quotation marks left open across many pieces and closed much later."""
    parts = []
    for i in range(pieces):
        parts.append("第%d句话，" % i)
        if i % 997 == 3:
            parts.append("【")
        if i % 997 == 800:
            parts.append("】")
        if i % 1501 == 5:
            parts.append("「他说。")
        if i % 1501 == 1400:
            parts.append("」")
        parts.append("“好。”" if i % 7 == 0 else "。")
    return "".join(parts)


def test_split_on_several_threads_equals_one():
    text = long_text()
    assert len(text.encode()) > 2 * (1 << 18)
    phraser = Phraser(max_len=40)
    one = [s.to_json() for s in phraser.split(text)]
    for threads in (2, 3):
        assert [s.to_json() for s in phraser.split(text, threads=threads)] == one
    # The layout as arrays: where the same records lie, on any threads.
    for threads in (1, 2):
        s_off, s_len, c_off, c_len, first = phraser.layout(text, threads=threads)
        assert [str(a.dtype) for a in (s_off, s_len, c_off, c_len, first)] == ["int64"] * 5
        assert len(first) == len(one) + 1 and first[-1] == len(c_off)
        for i, sentence in enumerate(one):
            assert text[s_off[i]:s_off[i] + s_len[i]] == sentence["text"]
            clauses = [(text[c_off[c]:c_off[c] + c_len[c]], c_off[c]) for c in range(first[i], first[i + 1])]
            assert clauses == [(c["text"], c["offset"]) for c in sentence["clauses"]]
    sectioner = Sectioner()
    for type_, input_ in (("ner", {"text": text, "length": 300}),
                          ("relation", {"feature_set": {"text": text, "nes": [
                              {"offset": o, "length": 3, "type": "x"} for o in range(0, len(text), 4999)]},
                              "length": 300})):
        assert sectioner.split(input_, type_, threads=2) == sectioner.split(input_, type_)


def test_records_of_a_str_equal_those_of_its_words():
    # A str's records are slices of it, its words' records are made from the
    # words' texts: the two roads agree, characters beyond the BMP included.
    rng = random.Random(5)
    alphabet = ["你", "好", "。", "，", "：", "「", "」", "【", "】", "”", "a", " ", "\n", "😀", "𠀀", "！"]
    for _ in range(500):
        text = "".join(rng.choice(alphabet) for _ in range(rng.randrange(60)))
        phraser = Phraser(max_len=rng.choice([0, 3, 7]))
        assert [s.to_json() for s in phraser.split(text)] == \
            [s.to_json() for s in phraser.split(phraser.get_single_words(text))], text


def test_making_records_leaves_the_garbage_collector_as_it_found_it():
    import gc

    text = "今天很好。我们去公园吧！" * 50
    was = gc.isenabled()
    try:
        for enabled in (True, False):
            (gc.enable if enabled else gc.disable)()
            assert len(Phraser().split(text)) == 100 and gc.isenabled() == enabled
            assert len(Sectioner().split({"text": text, "length": 30}, "ner")) > 10 and gc.isenabled() == enabled
    finally:
        (gc.enable if was else gc.disable)()


def test_threads_is_checked_and_keyword_only():
    for call in (lambda t: Phraser().split("你好。", threads=t),
                 lambda t: Phraser().layout("你好。", threads=t),
                 lambda t: Sectioner().split({"text": "你好。", "length": 5}, "ner", threads=t)):
        for bad in (0, -1):
            with pytest.raises(KvException) as info:
                call(bad)
            assert "threads" in str(info.value) and info.value.code == ErrorCodes.INVALID_PARAMETERS
        assert_type_error_names("threads", call, "2")
    with pytest.raises(TypeError):
        Phraser().split("你好。", 2)
    assert len(Phraser().split("你好。再见！", threads=10**12)) == 2


# --- Stitcher ---

def test_stitcher_shifts_the_callers_dicts_and_returns_them():
    a, b = {"text": "x", "offset": 5}, {"offset": 5, "length": 1}
    segments = [{"offset": 0, "nes": [a]}, {"offset": 120, "nes": [b]}]
    merged = Stitcher().merge(segments, "ner")
    assert merged == [{"text": "x", "offset": 5}, {"offset": 125, "length": 1}]
    assert merged[0] is a and merged[1] is b and segments[1]["nes"][0] is b
    assert Stitcher().merge(segments=segments, type_="ner")[1]["offset"] == 245


def test_stitcher_spans_relations_and_key_order():
    spans = [{"offset": 2}, {"offset": 9}]
    entity = {"spans": spans, "text": "ab"}
    Stitcher()._merge_nes([{"offset": 40, "nes": [entity]}])
    assert entity["spans"] is spans and spans == [{"offset": 42}, {"offset": 49}]
    assert list(entity) == ["spans", "text"]
    head, tail = {"offset": 4}, {"offset": 17}
    relation = {"head": head, "tail": tail, "type": "r"}
    assert Stitcher().merge([{"offset": 100, "relations": [relation]}], "relation") == [relation]
    assert head == {"offset": 104} and tail == {"offset": 117}


def test_stitcher_failures_change_nothing():
    first = {"offset": 1}
    segments = [{"offset": 10, "nes": [first]}, {"offset": 20, "nes": [{"text": "no offset"}]}]
    with pytest.raises(KeyError):
        Stitcher().merge(segments, "ner")
    assert first == {"offset": 1}
    with pytest.raises(KvException):
        Stitcher().merge(segments, "Ner")
    with pytest.raises(KvException):
        Stitcher().merge([{"offset": 2 ** 63 - 1, "nes": [first]}], "ner")
    assert first == {"offset": 1}
    assert_type_error_names("segments", Stitcher().merge, {"offset": 0}, "ner")
    assert_type_error_names("type_", Stitcher().merge, [], 1)
    with pytest.raises(TypeError):
        Stitcher().merge([{"offset": 0, "nes": [{"offset": "3"}]}], "ner")
    assert Stitcher().merge([], "relation") == []


# --- search results as entity records ---

def test_search_results_stitch_in_place_as_words_or_as_dicts():
    import json
    automaton = Automaton(["江城", "雨季"])
    document = "江城的雨季很长。" * 3
    for records in (False, True):
        segments = Sectioner().split({"text": document, "length": 8}, "ner")
        for segment in segments:
            segment["nes"] = automaton.search(segment["text"], records=records)
        held = [entity for segment in segments for entity in segment["nes"]]
        merged = Stitcher().merge(segments, "ner")
        assert all(a is b for a, b in zip(merged, held)) and len(merged) == 6
        offsets = [e["offset"] if records else e.offset for e in merged]
        assert offsets == [0, 3, 8, 11, 16, 19]
        assert [document[o:o + 2] for o in offsets] == ["江城", "雨季"] * 3
        if records:
            assert json.loads(json.dumps(merged, ensure_ascii=False))[2] == {"text": "江城", "length": 2, "offset": 8}
        else:
            assert all(type(e) is Occurrence for e in merged)


def test_words_are_entity_records_for_the_sectioner():
    word = Occurrence("再见", 2, 3)
    document = {"feature_set": {"text": "你好。再见！", "nes": [word]}, "length": 3}
    first, second = Sectioner().split(document, "relation")
    (copy,) = second["feature_set"]["nes"]
    assert type(copy) is Occurrence and copy is not word
    assert (copy.text, copy.length, copy.offset) == ("再见", 2, 0) and word.offset == 3
    assert first["feature_set"]["nes"] == []
    assert Sectioner()._judge_entity_in_segment(word, {"offset": 3, "length": 3})
    # As the head of a relation, and put back when a later record fails.
    with pytest.raises(TypeError):
        Stitcher().merge([{"offset": 10, "relations": [{"head": word, "tail": {"offset": "x"}}]}], "relation")
    assert word.offset == 3
    Stitcher().merge([{"offset": 10, "relations": [{"head": word, "tail": word}]}], "relation")
    assert word.offset == 23


# --- overlap and measures ---

def _stitched_search(sectioner, automaton, text, length, overlap):
    request = {"text": text, "length": length}
    if overlap is not None:
        request["overlap"] = overlap
    segments = sectioner.split(request, "ner")
    for segment in segments:
        segment["nes"] = automaton.search(segment["text"])
    return segments, sorted((w.offset, w.length, w.text) for w in Stitcher().merge(segments, "ner"))


def test_overlap_invariant_stitched_search_equals_the_whole_search():
    import random

    rng = random.Random(30)
    automaton = Automaton(["甲乙", "乙甲丙", "ab", "丙"])
    sectioner = Sectioner()
    for _ in range(500):
        text = "".join(rng.choice("甲乙丙。！ab 😀") for _ in range(rng.randrange(150)))
        overlap = 6 + rng.randrange(5)
        segments, stitched = _stitched_search(sectioner, automaton, text, overlap + 1 + rng.randrange(20), overlap)
        assert stitched == sorted((w.offset, w.length, w.text) for w in automaton.search(text)), text
        assert all("context" in s for s in segments)


def test_byte_identical_defaults_without_overlap():
    text = "你好。再见！谢谢。" * 5
    plain = Sectioner().split({"text": text, "length": 7}, "ner")
    assert Sectioner().split({"text": text, "length": 7, "overlap": 0}, "ner") == plain
    assert Sectioner().split({"text": text, "length": 7, "overlap": None}, "ner") == plain
    assert Sectioner(measure="code-points").split({"text": text, "length": 7}, "ner") == plain
    assert all(list(s) == ["text", "offset", "length"] for s in plain)
    assert repr(Sectioner(measure=None)) == "Sectioner(separator=None)"


def test_overlap_failures_name_it():
    for bad, error in ((-1, KvException), (2.5, KvException), ("3", TypeError)):
        with pytest.raises(error, match="overlap"):
            Sectioner().split({"text": "你好。再见！", "length": 3, "overlap": bad}, "ner")


def test_measure_bounds_and_calls_per_sentence():
    import random

    import re

    calls = [0]

    def token_count(text):  # a tokenizer-like count: words of letters, any other character one each
        return len(re.findall(r"[A-Za-z]+|[^A-Za-z]", text))

    def tokens(text):
        calls[0] += 1
        return token_count(text)

    rng = random.Random(3)
    sentences = 0
    for measure, size in (("utf-8-bytes", lambda t: len(t.encode())),
                          ("utf-16-units", lambda t: len(t.encode("utf-16-le")) // 2),
                          (tokens, token_count)):
        sectioner = Sectioner(measure=measure)
        for _ in range(300):
            text = "".join(rng.choice(["甲", "。", "ab", "c", " ", "😀", "！"]) for _ in range(rng.randrange(200)))
            length = 1 + rng.randrange(30)
            if measure is tokens:
                sentences += len(sectioner.phraser.split(text))
            segments = sectioner.split({"text": text, "length": length, "overlap": rng.choice([0, 0, 4])}, "ner")
            assert "".join(s["text"][s.get("context", 0):] for s in segments) == text
            for s in segments:
                assert s["length"] == len(s["text"])
                assert size(s["text"]) <= length or s["length"] == 1
    assert calls[0] <= 3 * sentences, (calls[0], sentences)


def test_measure_names_errors_and_pickling():
    import pickle

    with pytest.raises(KvException, match="measure"):
        Sectioner(measure="tokens")
    assert_type_error_names("measure", Sectioner, measure=3)
    with pytest.raises(ValueError, match="measure"):
        Sectioner(measure=lambda t: -1).split({"text": "一二三。四五六。", "length": 3}, "ner")
    with pytest.raises(ZeroDivisionError):
        Sectioner(measure=lambda t: 1 // 0).split({"text": "一二三。四五六。", "length": 3}, "ner")
    sectioner = Sectioner(measure="utf-16-units")
    assert pickle.loads(pickle.dumps(sectioner)).measure == "utf-16-units"
    assert pickle.loads(pickle.dumps(Sectioner(measure=len))).measure is len


def test_threads_give_the_same_segments_with_overlap_and_measures():
    text = "林秋生在城东开了一家钟表铺。江城的雨季很长！" * 30000  # long enough to walk in pieces
    for sectioner, request in ((Sectioner(measure="utf-8-bytes"), {"length": 100}),
                               (Sectioner(), {"length": 100, "overlap": 20})):
        request["text"] = text
        assert sectioner.split(request, "ner", threads=2) == sectioner.split(request, "ner")
